#include "bench/program_report.h"

#include "bench/measure.h"
#include "bench/model_generator.h"
#include "host/model_json.h"

#include <fcntl.h>
#include <unistd.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Process {
    double seconds = 0;     // wall
    double cpuSeconds = 0;  // user and system, on every thread
    long peakKiB = 0;
    bool ok = false;
};

std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Runs the program through this program's "child" mode: a process of its own
// whose peak memory is the program's, not that of this process's models.
Process RunProgram(const std::vector<std::string>& arguments) {
    std::string command = Quoted(fs::read_symlink("/proc/self/exe").string()) + " child";
    for (const std::string& argument : arguments) command += " " + Quoted(argument);
    Process process;
    std::FILE* child = popen(command.c_str(), "r");
    int ok = 0;
    if (child && std::fscanf(child, "%lf %lf %ld %d", &process.seconds, &process.cpuSeconds, &process.peakKiB, &ok) == 4)
        process.ok = ok == 1;
    if (!child || pclose(child) != 0) process.ok = false;
    return process;
}

struct Sample {
    double whole = 0, load = 0, floor = 0;
    double wholeCpu = 0, loadCpu = 0;
    long wholeKiB = 0, loadKiB = 0;
    double Export() const { return whole - load; }
};

class Runner {
public:
    Runner(fs::path exporter, fs::path dir) : exporter_(std::move(exporter)), dir_(std::move(dir)) {
        fs::create_directories(dir_ / "out");
    }

    // One whole run and one load-only run of model; false when either fails.
    bool Measure(const fs::path& model, Sample& sample) {
        const fs::path out = dir_ / "out";
        // As in the process report: the export and the floor each follow the
        // deletion of as many bytes.
        IoFloor(out, lastSizes_);
        const Process whole = RunProgram({exporter_.string(), model.string(), (out / "Bench.3D").string()});
        std::vector<uintmax_t> sizes;
        for (const fs::directory_entry& entry : fs::directory_iterator(out)) sizes.push_back(SizeOrZero(entry.path()));
        for (const char* log : {"VantrelExport.log"}) sizes.push_back(SizeOrZero(dir_ / log));
        fs::remove(dir_ / "VantrelExport.log");
        for (const fs::directory_entry& entry : fs::directory_iterator(out)) fs::remove(entry.path());
        sample.floor = IoFloor(out, sizes);
        lastSizes_ = sizes;
        const Process load = RunProgram({exporter_.string(), "--info", model.string()});
        sample.whole = whole.seconds;
        sample.load = load.seconds;
        sample.wholeCpu = whole.cpuSeconds;
        sample.loadCpu = load.cpuSeconds;
        sample.wholeKiB = whole.peakKiB;
        sample.loadKiB = load.peakKiB;
        return whole.ok && load.ok;
    }

    bool MeasureRuns(const fs::path& model, int runs, std::vector<Sample>& samples) {
        Sample sample;
        if (!Measure(model, sample)) return false;  // unmeasured: learns the sizes the warm-up writes
        for (int i = 0; i < runs; ++i) {
            if (!Measure(model, sample)) return false;
            samples.push_back(sample);
        }
        return true;
    }

private:
    fs::path exporter_, dir_;
    std::vector<uintmax_t> lastSizes_;
};

template <typename Field>
double MedianOf(const std::vector<Sample>& samples, Field field) {
    std::vector<double> values;
    for (const Sample& sample : samples) values.push_back(field(sample));
    return Median(values);
}

// Writes the model of that size as the kind of file given ("hm.json" or "gltf").
fs::path WriteModel(const fs::path& dir, const GeneratedModelSize& size, const std::string& kind) {
    const fs::path path = dir / ("Bench" + std::to_string(size.frames) + "." + kind);
    return WriteReportModel(size, path) ? path : fs::path();
}

bool ReportKind(Runner& runner, int runs, const fs::path& dir, const std::string& kind) {
    GeneratedModelSize base{8000, 8, 60, 1500};
    GeneratedModelSize doubled = base, shortRun = base, longRun = base;
    doubled.frames *= 2;
    shortRun.frames = 100;
    longRun.frames = 2000;
    const fs::path baseFile = WriteModel(dir, base, kind), doubledFile = WriteModel(dir, doubled, kind);
    const fs::path shortFile = WriteModel(dir, shortRun, kind), longFile = WriteModel(dir, longRun, kind);
    std::vector<Sample> baseRuns, doubledRuns, shortRuns, longRuns;
    if (baseFile.empty() || doubledFile.empty() || shortFile.empty() || longFile.empty() ||
        !runner.MeasureRuns(baseFile, runs, baseRuns) || !runner.MeasureRuns(doubledFile, runs, doubledRuns) ||
        !runner.MeasureRuns(shortFile, 1, shortRuns) || !runner.MeasureRuns(longFile, 1, longRuns)) {
        std::fprintf(stderr, "vantrel-bench: vantrel-export failed on the %s file\n", kind.c_str());
        return false;
    }
    const double whole = MedianOf(baseRuns, [](const Sample& s) { return s.whole; });
    const double load = MedianOf(baseRuns, [](const Sample& s) { return s.load; });
    const double exportOnly = MedianOf(baseRuns, [](const Sample& s) { return s.Export(); });
    const double floor = MedianOf(baseRuns, [](const Sample& s) { return s.floor; });
    const double ratio = MedianOf(baseRuns, [](const Sample& s) { return s.Export() / s.floor; });
    const double doubledWhole = MedianOf(doubledRuns, [](const Sample& s) { return s.whole; });
    const double doubledExport = MedianOf(doubledRuns, [](const Sample& s) { return s.Export(); });
    auto exportPeak = [](const Sample& s) { return (s.wholeKiB - s.loadKiB) / 1024.0; };
    std::printf("\nvantrel-export on a .%s of %d vertices, %d bones, %d frames (%.1f MiB; median of %d runs)\n",
                kind.c_str(), base.vertices, base.bones, base.frames,
                static_cast<double>(SizeOrZero(baseFile) + SizeOrZero(fs::path(baseFile).replace_extension(".bin"))) /
                    (1 << 20),
                runs);
    std::printf("  whole run             %8.3f s   (%.3f s of processor time)\n", whole,
                MedianOf(baseRuns, [](const Sample& s) { return s.wholeCpu; }));
    std::printf("  load only (--info)    %8.3f s   (%.3f s of processor time; target for the .hm.json: at most 0.1)\n",
                load, MedianOf(baseRuns, [](const Sample& s) { return s.loadCpu; }));
    std::printf("  export less load      %8.3f s   (%.3f s of processor time)\n", exportOnly,
                MedianOf(baseRuns, [](const Sample& s) { return s.wholeCpu - s.loadCpu; }));
    std::printf("  I/O floor             %8.3f s   (the same bytes, after deleting as many)\n", floor);
    std::printf("  export less load / floor %5.2f x   (target: at most 2.0)\n", ratio);
    std::printf("  twice the frames      %8.2f x whole run, %.2f x export less load   (target: at most 2.1)\n",
                doubledWhole / whole, doubledExport / exportOnly);
    std::printf("  peak memory, export less load: %d frames %.1f MiB, %d frames %.1f MiB: %+.1f MiB   "
                "(target: within 10)\n",
                shortRun.frames, exportPeak(shortRuns[0]), longRun.frames, exportPeak(longRuns[0]),
                exportPeak(longRuns[0]) - exportPeak(shortRuns[0]));
    std::printf("  (peak of the whole run at %d frames: %.1f MiB, of loading it: %.1f MiB)\n", longRun.frames,
                longRuns[0].wholeKiB / 1024.0, longRuns[0].loadKiB / 1024.0);
    for (const fs::path& file : {baseFile, doubledFile, shortFile, longFile}) {
        fs::remove(file);
        fs::remove(fs::path(file).replace_extension(".bin"));
    }
    return true;
}

}  // namespace

bool WriteReportModel(const GeneratedModelSize& size, const fs::path& path) {
    if (path.extension() == ".gltf") return WriteGeneratedGltf(size, path.string());
    std::string error;
    if (hm::SaveModelJson(*GenerateModel(size), path.string(), error)) return true;
    std::fprintf(stderr, "vantrel-bench: %s\n", error.c_str());
    return false;
}

int RunChild(char** argv) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execv(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return 1;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("%f %f %ld %d\n", seconds, cpu, usage.ru_maxrss, WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return 0;
}

int ProgramReport(int runs, const fs::path& exporter, const fs::path& dir) {
    std::printf("\nThe program: %s, a process a run (load average now: ", exporter.c_str());
    double load[3] = {};
    if (getloadavg(load, 3) == 3) std::printf("%.2f %.2f %.2f)\n", load[0], load[1], load[2]);
    else std::printf("unknown)\n");
    Runner runner(exporter, dir);
    bool ok = true;
    for (const char* kind : {"hm.json", "gltf"}) ok = ReportKind(runner, runs, dir, kind) && ok;
    fs::remove_all(dir / "out");
    return ok ? 0 : 1;
}
