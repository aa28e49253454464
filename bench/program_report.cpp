#include "bench/program_report.h"

#include "bench/measure.h"
#include "bench/model_generator.h"
#include "host/model_json.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <sys/ptrace.h>
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
    long peakKiB = 0;      // the program's own
    long treePeakKiB = 0;  // the largest of it and the processes it started
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
    if (child && std::fscanf(child, "%lf %lf %ld %ld %d", &process.seconds, &process.cpuSeconds, &process.peakKiB,
                             &process.treePeakKiB, &ok) == 5)
        process.ok = ok == 1;
    if (!child || pclose(child) != 0) process.ok = false;
    return process;
}

struct Sample {
    double whole = 0, load = 0, floor = 0;
    double wholeCpu = 0, loadCpu = 0;
    long wholeKiB = 0, loadKiB = 0, readerKiB = 0;
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
        sample.readerKiB = whole.treePeakKiB;
        return whole.ok && load.ok;
    }

    // runs samples of each model, taken in turn: models[0], models[1], ...,
    // then again, so that a ratio between them compares runs made close
    // together, in the same state of the machine.
    bool MeasureRuns(const std::vector<fs::path>& models, int runs, std::vector<std::vector<Sample>>& samples) {
        samples.assign(models.size(), {});
        Sample sample;
        for (const fs::path& model : models)
            if (!Measure(model, sample)) return false;  // unmeasured: learns the sizes the warm-up writes
        for (int i = 0; i < runs; ++i) {
            for (size_t m = 0; m < models.size(); ++m) {
                if (!Measure(models[m], sample)) return false;
                samples[m].push_back(sample);
            }
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
    std::vector<std::vector<Sample>> paired, single;
    if (baseFile.empty() || doubledFile.empty() || shortFile.empty() || longFile.empty() ||
        !runner.MeasureRuns({baseFile, doubledFile}, runs, paired) ||
        !runner.MeasureRuns({shortFile, longFile}, 1, single)) {
        std::fprintf(stderr, "vantrel-bench: vantrel-export failed on the %s file\n", kind.c_str());
        return false;
    }
    const std::vector<Sample>& baseRuns = paired[0];
    const std::vector<Sample>& doubledRuns = paired[1];
    const std::vector<Sample>& shortRuns = single[0];
    const std::vector<Sample>& longRuns = single[1];
    // Each doubled run against the base run made just before it.
    auto doubledOver = [&](auto field) {
        std::vector<double> ratios;
        for (size_t i = 0; i < baseRuns.size(); ++i) ratios.push_back(field(doubledRuns[i]) / field(baseRuns[i]));
        return Median(ratios);
    };
    const double whole = MedianOf(baseRuns, [](const Sample& s) { return s.whole; });
    const double load = MedianOf(baseRuns, [](const Sample& s) { return s.load; });
    const double exportOnly = MedianOf(baseRuns, [](const Sample& s) { return s.Export(); });
    const double floor = MedianOf(baseRuns, [](const Sample& s) { return s.floor; });
    const double ratio = MedianOf(baseRuns, [](const Sample& s) { return s.Export() / s.floor; });
    const double doubledWhole = doubledOver([](const Sample& s) { return s.whole; });
    const double doubledExport = doubledOver([](const Sample& s) { return s.Export(); });
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
                doubledWhole, doubledExport);
    std::printf("  peak memory, export less load: %d frames %.1f MiB, %d frames %.1f MiB: %+.1f MiB   "
                "(target: within 10)\n",
                shortRun.frames, exportPeak(shortRuns[0]), longRun.frames, exportPeak(longRuns[0]),
                exportPeak(longRuns[0]) - exportPeak(shortRuns[0]));
    std::printf("  (peak of the whole run at %d frames: %.1f MiB, of loading it: %.1f MiB", longRun.frames,
                longRuns[0].wholeKiB / 1024.0, longRuns[0].loadKiB / 1024.0);
    if (longRuns[0].readerKiB > longRuns[0].wholeKiB)
        std::printf("; of the reader it started: %.1f MiB", longRuns[0].readerKiB / 1024.0);
    std::printf(")\n");
    for (const fs::path& file : {baseFile, doubledFile, shortFile, longFile}) {
        fs::remove(file);
        fs::remove(fs::path(file).replace_extension(".bin"));
    }
    return true;
}

}  // namespace

bool WriteReportModel(const GeneratedModelSize& size, const fs::path& path) {
    if (path.extension() == ".gltf") return WriteGeneratedGltf(size, path.string());
    const Error error = hm::SaveModelJson(*GenerateModel(size), path.string());
    if (!error) return true;
    std::fprintf(stderr, "vantrel-bench: %s\n", error.message.c_str());
    return false;
}

namespace {

// The peak resident size of the process pid, in KiB, from /proc; -1 when unknown.
long PeakKiB(pid_t pid) {
    std::FILE* status = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    long peak = -1;
    char line[256];
    while (status && std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "VmHWM: %ld kB", &peak) == 1) break;
    if (status) std::fclose(status);
    return peak;
}

}  // namespace

int RunChild(char** argv) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        // Traced, so that it stops once on its way out, its memory still there
        // to be read: the program's own peak, apart from any process it starts
        // (which the rusage of its end would count as well).
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execv(argv[0], argv);
        _exit(127);
    }
    if (pid < 0) return 1;
    int status = 0;
    rusage usage{};
    long ownKiB = -1;
    bool traced = false;
    while (wait4(pid, &status, 0, &usage) == pid && WIFSTOPPED(status)) {
        int deliver = 0;
        if (!traced) {  // the stop at execv
            traced = true;
            ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void*>(PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL));
        } else if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
            ownKiB = PeakKiB(pid);
        } else {
            deliver = WSTOPSIG(status);  // a signal for the program: passed on
        }
        ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(deliver)));
    }
    if (!WIFEXITED(status) && !WIFSIGNALED(status)) return 1;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("%f %f %ld %ld %d\n", seconds, cpu, ownKiB >= 0 ? ownKiB : usage.ru_maxrss, usage.ru_maxrss,
                WIFEXITED(status) && WEXITSTATUS(status) == 0);
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
