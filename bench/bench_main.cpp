// Measures the export: its pieces with Google Benchmark ("pieces"), and whole
// runs against the I/O floor of the same bytes ("report").
#include "bench/measure.h"
#include "bench/model_generator.h"
#include "bench/program_report.h"
#include "bench/texture_measure.h"
#include "export/export_run.h"
#include "export/frame_pipeline.h"
#include "export/frame_records.h"
#include "export/pose_source.h"
#include "bake/exact_pose.h"
#include "platform/platform_ui.h"
#include "skeleton/bone_table.h"
#include "skeleton/frame_box.h"

#include <CLI/CLI.hpp>
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <iostream>
#include <optional>
#include <cstdlib>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// ---- pieces ----

void BM_FormatFixed(benchmark::State& state) {
    char text[400];
    float value = 85.333336f;
    for (auto _ : state) {
        benchmark::DoNotOptimize(FormatFixed(value, text));
        value += 0.25f;
    }
}
BENCHMARK(BM_FormatFixed);

void BM_VertexLogLine(benchmark::State& state) {
    OutputFile file;
    file.Open("/dev/null", false);
    TextOutput text(file);
    int16_t x = -128;
    for (auto _ : state) {
        text.Print("To file: Vertex ", 12345, " - ", x, " ", static_cast<int16_t>(x + 7), " ",
                   static_cast<int16_t>(x - 3), "\n");
        ++x;
    }
    file.Commit();
}
BENCHMARK(BM_VertexLogLine);

void BM_EvaluatePose(benchmark::State& state) {
    hm::ModelPtr model = GenerateModel({1000, 1, static_cast<int>(state.range(0)), 2000});
    BoneTable table;
    table.SetupBindPose(model.get());
    int32_t frame = 0;
    for (auto _ : state) {
        table.EvaluatePose(model.get(), frame);
        frame = (frame + 1) % 2000;
    }
}
BENCHMARK(BM_EvaluatePose)->Arg(60);

void BM_PosedVertices(benchmark::State& state) {
    hm::ModelPtr model = GenerateModel({20000, 1, 60, 2});
    BoneTable table;
    table.SetupBindPose(model.get());
    table.EvaluatePose(model.get(), 1);
    std::vector<Vector3f> positions(20000);
    for (auto _ : state) {
        table.GetPosedVertices(model.get(), positions);
        benchmark::DoNotOptimize(positions.data());
    }
    state.SetItemsProcessed(state.iterations() * 20000);
}
BENCHMARK(BM_PosedVertices);

// A frame as each of the bake's threads poses it: from the copy of the keys
// and vertices, one bone's vertices at a time.
void BM_ForkedPoseFrame(benchmark::State& state) {
    hm::ModelPtr model = GenerateModel({8000, 8, 60, 1500});
    BoneTable table;
    table.SetupBindPose(model.get());
    SkeletonSource source(table, model.get());
    std::unique_ptr<PoseSource> fork = source.Fork();
    std::vector<Vector3f> positions(8000);
    int32_t frame = 0;
    for (auto _ : state) {
        fork->PoseFrame(frame, positions);
        benchmark::DoNotOptimize(positions.data());
        frame = (frame + 1) % 1500;
    }
    state.SetItemsProcessed(state.iterations() * 8000);
}
BENCHMARK(BM_ForkedPoseFrame);

// A posed frame's records and log lines.
void BM_FrameRecords(benchmark::State& state) {
    hm::ModelPtr model = GenerateModel({8000, 8, 60, 1500});
    BoneTable table;
    table.SetupBindPose(model.get());
    table.EvaluatePose(model.get(), 700);
    std::vector<Vector3f> positions(8000);
    table.GetPosedVertices(model.get(), positions);
    const std::vector<int32_t> meshVertices(8, 1000);
    const VertexLines lines(1000);
    std::vector<uint8_t> records(8000 * kFrameVertexSize);
    std::vector<char> text(8000 * VertexLines::kLineRoom);
    // The frame's own box, as the export quantises it: every coordinate
    // within -128 to 128, the lines all from the tables.
    const FrameBox box = BoxOf(positions);
    const Vector3f offset{(box.max.x + box.min.x) / 2, (box.max.y + box.min.y) / 2, (box.max.z + box.min.z) / 2};
    const float scale = 256.0f / std::max({box.max.x - box.min.x, box.max.y - box.min.y, box.max.z - box.min.z});
    const bool format = state.range(0) != 0;
    for (auto _ : state) {
        QuantiseFrame(positions, offset, scale, records.data());
        benchmark::DoNotOptimize(records.data());
        if (format) benchmark::DoNotOptimize(lines.Format(meshVertices, records.data(), text.data()));
    }
    state.SetItemsProcessed(state.iterations() * 8000);
}
BENCHMARK(BM_FrameRecords)->ArgName("lines")->Arg(0)->Arg(1);

void BM_ExactPosedVertices(benchmark::State& state) {
    const hm::imp::ExactScene scene = GenerateExactScene({20000, 1, 60, 2000});
    hm::imp::ExactPose pose(scene);
    std::vector<Vector3f> positions(20000);
    int32_t frame = 0;
    for (auto _ : state) {
        pose.PoseFrame(frame, positions);
        benchmark::DoNotOptimize(positions.data());
        frame = (frame + 1) % 2000;
    }
    state.SetItemsProcessed(state.iterations() * 20000);
}
BENCHMARK(BM_ExactPosedVertices);

// A 2048 x 2048 photograph from decoded pixels to the BMP's bytes: at the
// default side, and kept at 2048 (--texture-size 2048).
void BM_ConvertTexture(benchmark::State& state) {
    const hm::RgbaImage photo = GeneratePhoto(0, 2048, 2048);
    for (auto _ : state) benchmark::DoNotOptimize(hm::ConvertTexture(photo, static_cast<int>(state.range(0))).bmp.data());
}
BENCHMARK(BM_ConvertTexture)->ArgName("side")->Arg(256)->Arg(2048)->Unit(benchmark::kMillisecond);

// ---- whole runs ----

struct RunFigures {
    double total = 0;      // the export through Run, files and log on disk
    double floor = 0;      // the same bytes written from memory
    double pose = 0;       // both passes of pose evaluation and posed vertices, on one thread
    double noDisk = 0;     // the writers with their files and log going to /dev/null, on every thread
    uintmax_t bytes = 0;
};

// The sizes of the last export's files, for the write that warms up the next.
std::vector<uintmax_t> lastSizes;

// Where a measured run takes its frames from: the host's skeleton through the
// plug-in's path (scene null), or the exact bake's evaluation of the scene.
class Bake {
public:
    Bake(hmModel* model, const hm::imp::ExactScene* scene) {
        if (scene) {
            source_ = &exact_.emplace(*scene);
            return;
        }
        table_.SetupBindPose(model);
        source_ = &skeleton_.emplace(table_, model);
    }
    PoseSource& Source() { return *source_; }

private:
    BoneTable table_;
    std::optional<SkeletonSource> skeleton_;
    std::optional<hm::imp::ExactPose> exact_;
    PoseSource* source_ = nullptr;
};

// The whole export as the plug-in (scene null) or the host program runs it.
int32_t RunExport(hmModel* model, const hm::imp::ExactScene* scene) {
    if (!scene) return Run(model);
    hm::imp::ExactPose poses(*scene);
    return Run(model, poses);
}

RunFigures MeasureRun(const GeneratedModelSize& size, const fs::path& dir, bool exact) {
    RunFigures figures;
    std::optional<hm::imp::ExactScene> scene;
    if (exact) scene = GenerateExactScene(size);
    const hm::imp::ExactScene* exactScene = scene ? &*scene : nullptr;
    platform::SetMessagesPrinted(true);
    platform::SetSaveDialogAnswer((dir / "Bench.3D").string());
    {
        hmModel* model = GenerateModel(size).release();
        // Memory the kernel has just freed is written far faster than memory
        // it must first get back (this machine returns freed memory to its
        // host within seconds): the export and the floor each follow the
        // deletion of as many bytes, immediately.
        IoFloor(dir, lastSizes);
        int32_t result = 0;
        figures.total = Seconds([&] { result = RunExport(model, exactScene); });
        if (result != 0) {
            std::cerr << "vantrel-bench: the export failed\n";
            std::exit(1);
        }
    }
    std::vector<uintmax_t> sizes;
    for (const char* name : {"Bench_d.3d", "Bench_a.3d", "Bench.uc", "VantrelExport.log"})
        sizes.push_back(SizeOrZero(dir / name));
    for (uintmax_t s : sizes) figures.bytes += s;
    for (const char* name : {"Bench_d.3d", "Bench_a.3d", "Bench.uc", "VantrelExport.log"}) fs::remove(dir / name);
    figures.floor = IoFloor(dir, sizes);
    lastSizes = sizes;

    {
        hm::ModelPtr model = GenerateModel(size);
        figures.pose = Seconds([&] {
            Bake bake(model.get(), exactScene);
            // What each of the bake's threads poses from.
            std::unique_ptr<PoseSource> fork = bake.Source().Fork();
            PoseSource& poses = fork ? *fork : bake.Source();
            std::vector<Vector3f> positions(static_cast<size_t>(size.vertices));
            const int32_t frames = static_cast<uint16_t>(poses.FrameCount());
            for (int pass = 0; pass < 2; ++pass)
                for (int32_t f = 0; f < frames; ++f) {
                    poses.PoseFrame(f, positions);
                    benchmark::DoNotOptimize(positions.data());
                }
        });
    }
    {
        hm::ModelPtr model = GenerateModel(size);
        figures.noDisk = Seconds([&] {
            ExportLog log;
            log.Open("/dev/null");
            OutputFile data, anim, script;
            data.Open("/dev/null", false);
            anim.Open("/dev/null", false);
            script.Open("/dev/null", false);
            Bake bake(model.get(), exactScene);
            WriteExport(model.get(), bake.Source(), "Bench", log, data, anim, script);
            data.Commit();
            anim.Commit();
            script.Commit();
            log.Close();
        });
    }
    return figures;
}

long PeakMemoryKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// One whole export in a fresh process; its peak resident memory in KiB.
long PeakMemoryOfRun(const GeneratedModelSize& size, const fs::path& dir, bool exact) {
    std::string command = fs::read_symlink("/proc/self/exe").string() + " memory " + std::to_string(size.vertices) +
                          " " + std::to_string(size.frames) + " '" + dir.string() + "'" + (exact ? " --exact" : "");
    std::FILE* child = popen(command.c_str(), "r");
    long peak = -1;
    if (!child || std::fscanf(child, "%ld", &peak) != 1) peak = -1;
    if (child && pclose(child) != 0) peak = -1;
    return peak;
}

int MemoryMode(const GeneratedModelSize& size, const fs::path& dir, bool exact) {
    fs::current_path(dir);
    platform::SetMessagesPrinted(true);
    platform::SetSaveDialogAnswer((dir / "Memory.3D").string());
    std::optional<hm::imp::ExactScene> scene;
    if (exact) scene = GenerateExactScene(size);
    int32_t result = RunExport(GenerateModel(size).release(), scene ? &*scene : nullptr);
    for (const char* name : {"Memory_d.3d", "Memory_a.3d", "Memory.uc", "VantrelExport.log"}) fs::remove(dir / name);
    std::printf("%ld\n", PeakMemoryKiB());
    return result == 0 ? 0 : 1;
}

void PrintRun(const char* title, const GeneratedModelSize& size, const std::vector<RunFigures>& runs,
              const char* target) {
    auto median = [&](double RunFigures::*field) {
        std::vector<double> values;
        for (const RunFigures& run : runs) values.push_back(run.*field);
        return Median(values);
    };
    std::vector<double> ratios;
    for (const RunFigures& run : runs) ratios.push_back(run.total / run.floor);
    const double total = median(&RunFigures::total), pose = median(&RunFigures::pose);
    const double noDisk = median(&RunFigures::noDisk);
    const double vertexFrames = static_cast<double>(size.vertices) * size.frames;
    std::printf("%s: %d vertices, %d bones, %d frames (median of %zu runs)\n", title, size.vertices, size.bones,
                size.frames, runs.size());
    std::printf("  whole export          %8.3f s   %6.1f M vertex-frames/s\n", total, vertexFrames / total / 1e6);
    std::printf("  pose evaluation       %8.3f s   (both passes, one thread)\n", pose);
    std::printf("  writers to /dev/null  %8.3f s   (every thread)\n", noDisk);
    std::printf("  file and log writing  %8.3f s   (whole export less writers to /dev/null)\n",
                std::max(0.0, total - noDisk));
    std::printf("  bytes written         %8.1f MiB\n", static_cast<double>(runs[0].bytes) / (1 << 20));
    std::printf("  I/O floor             %8.3f s   (same bytes, large buffered writes)\n", median(&RunFigures::floor));
    std::printf("  export / floor        %8.2f x   (target: at most %s)\n", Median(ratios), target);
}

int ReportMode(int runs, fs::path dir) {
    // Only a folder of its own is removed at the end, never one it was given.
    const bool ownFolder = dir.empty();
    if (ownFolder) dir = fs::temp_directory_path() / ("vantrel-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::current_path(dir);  // the log goes to the current directory
    std::printf("Output directory: %s\n", dir.c_str());
    const char* threads = std::getenv("VANTREL_THREADS");  // what the plug-in's run reads in a host
    std::printf("Threads: %s\n\n", threads ? threads : (std::to_string(MachineThreads()) + " (the machine's cores)").c_str());

    // Each bake: one unmeasured run first, which learns the sizes the warm-up writes.
    for (const bool exact : {false, true}) {
        // 8000 vertices (a frame holds at most 8191), 60 bones keyed at every
        // frame, 1500 frames: 12 million vertex-frames.
        GeneratedModelSize base{8000, 8, 60, 1500};
        MeasureRun(base, dir, exact);
        std::vector<RunFigures> baseRuns;
        for (int i = 0; i < runs; ++i) baseRuns.push_back(MeasureRun(base, dir, exact));
        if (exact) std::printf("\n");
        PrintRun(exact ? "Exact bake (4 influences a vertex, 2 animated morph targets a mesh)" : "Whole export", base,
                 baseRuns, exact ? "3.0" : "2.0");

        GeneratedModelSize doubled = base;
        doubled.frames *= 2;
        std::vector<double> baseTimes, doubledTimes;
        for (const RunFigures& run : baseRuns) baseTimes.push_back(run.total);
        MeasureRun(doubled, dir, exact);
        for (int i = 0; i < runs; ++i) doubledTimes.push_back(MeasureRun(doubled, dir, exact).total);
        std::printf("\nLinearity: %d frames %.3f s, %d frames %.3f s: %.2f x   (target: at most 2.1)\n", base.frames,
                    Median(baseTimes), doubled.frames, Median(doubledTimes), Median(doubledTimes) / Median(baseTimes));

        GeneratedModelSize shortRun = base, longRun = base;
        shortRun.frames = 100;
        longRun.frames = 2000;
        long shortPeak = PeakMemoryOfRun(shortRun, dir, exact);
        long longPeak = PeakMemoryOfRun(longRun, dir, exact);
        std::printf("\nPeak memory: %d frames %.1f MiB, %d frames %.1f MiB: %+.1f MiB   (target: within 10)\n",
                    shortRun.frames, shortPeak / 1024.0, longRun.frames, longPeak / 1024.0,
                    (longPeak - shortPeak) / 1024.0);
        // The models' keys grow with the frames (the host model's, and the
        // exact scene's tracks); what is evaluated from them does not.
        const double extraKeys = static_cast<double>(longRun.frames - shortRun.frames) * base.bones;
        double keyBytes = extraKeys * (sizeof(HostPositionKey) + sizeof(HostRotationKey));
        if (exact) keyBytes += extraKeys * (sizeof(hm::imp::VectorKey) + sizeof(hm::imp::RotationKey));
        std::printf("(the models' keys for the extra frames: %.1f MiB)\n", keyBytes / (1 << 20));
    }
    std::printf("(this process: %.1f MiB)\n", PeakMemoryKiB() / 1024.0);
    fs::current_path(fs::temp_directory_path());
    if (ownFolder) fs::remove_all(dir);
    return 0;
}

int PiecesMode(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> texts{program};
    texts.insert(texts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : texts) argv.push_back(text.data());
    int argc = static_cast<int>(argv.size());
    benchmark::Initialize(&argc, argv.data());
    if (benchmark::ReportUnrecognizedArguments(argc, argv.data())) return 2;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[1]) == "child") return RunChild(argv + 2);
    CLI::App app{"Measures the export: its pieces, or whole runs against the I/O floor.", "vantrel-bench"};
    app.require_subcommand(1);

    CLI::App* pieces = app.add_subcommand("pieces", "The pieces, with Google Benchmark (its --benchmark_* options follow)");
    pieces->allow_extras();

    CLI::App* report = app.add_subcommand("report", "Whole exports: time against the I/O floor, linearity, memory");
    int runs = 5;
    std::string dir;
    report->add_option("--runs", runs, "Measured runs of each size (the median is shown)")->check(CLI::Range(1, 1000));
    report->add_option("--dir", dir, "Where the exports are written (default: a new folder in the temporary folder)");

    CLI::App* program = app.add_subcommand("program", "Whole runs of vantrel-export, a process each, on a host model "
                                                      "file and a glTF: time against the I/O floor, linearity, memory");
    std::string exporter = (fs::read_symlink("/proc/self/exe").parent_path() / "vantrel-export").string();
    program->add_option("--runs", runs, "Measured runs of each size (the median is shown)")->check(CLI::Range(1, 1000));
    program->add_option("--exporter", exporter, "The vantrel-export to run (default: the one beside this program)")
        ->check(CLI::ExistingFile);

    CLI::App* memory = app.add_subcommand("memory", "One export in this process; prints its peak memory in KiB");
    GeneratedModelSize size;
    std::string memoryDir;
    memory->add_option("VERTICES", size.vertices)->required()->check(CLI::Range(1, 65535));
    memory->add_option("FRAMES", size.frames)->required()->check(CLI::Range(1, 65535));
    memory->add_option("DIR", memoryDir)->required()->check(CLI::ExistingDirectory);
    bool memoryExact = false;
    memory->add_flag("--exact", memoryExact, "The exact bake of a scene of that size, not the plug-in's");

    CLI::App* model = app.add_subcommand("model", "Writes the program report's model as FILE (.hm.json, or .gltf with "
                                                  "its .bin), to profile a run of vantrel-export on it");
    std::string modelFile;
    GeneratedModelSize modelSize{8000, 8, 60, 1500};
    model->add_option("FILE", modelFile)->required();
    model->add_option("--frames", modelSize.frames, "Frames of the animation")->check(CLI::Range(1, 65535));

    CLI::App* textures = app.add_subcommand("textures", "The texture conversion's quality (PSNR) on made images and FILES");
    std::vector<std::string> textureFiles;
    int textureSide = hm::kDefaultTextureSide;
    textures->add_option("FILES", textureFiles, "Images to measure besides the two made here");
    textures->add_option("--texture-size", textureSide, "Largest side of the textures")->check(CLI::Range(1, 2048));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error);
    }
    if (*pieces) return PiecesMode(argv[0], pieces->remaining());
    if (*report) return ReportMode(runs, dir);
    if (*program) {
        const fs::path folder = fs::temp_directory_path() / ("vantrel-bench-program-" + std::to_string(getpid()));
        fs::create_directories(folder);
        fs::current_path(folder);  // the log goes to the current directory
        const int status = ProgramReport(runs, fs::absolute(exporter), folder);
        fs::current_path(fs::temp_directory_path());
        fs::remove_all(folder);
        return status;
    }
    if (*model) return WriteReportModel(modelSize, modelFile) ? 0 : 1;
    if (*textures) return TextureMode(textureFiles, textureSide);
    return MemoryMode(size, memoryDir, memoryExact);
}
