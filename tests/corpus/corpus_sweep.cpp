// Runs every model file of a folder (Assimp's own test files) through the
// host program, each in a process of its own bounded in time and memory, and
// checks what comes out: an exit status of 0 to 3 and never a signal or a
// hang; a consistent set of files for each export; and for animated models,
// the exported positions against Assimp's own evaluation at the first,
// middle and last frame of each clip. Writes a table of the results.
//
//   corpus_sweep --models DIR --exporter PATH --table FILE.md [--jobs N]
//                [--timeout SECONDS] [--memory-mb MB, 0 for no bound] [--skinning heaviest|weights]
//   corpus_sweep --check MODEL FOLDER [--skinning ...] [--exporter PATH]   (one export, in a bounded child)
// With --exporter the check also takes the set the way back: read into glTF,
// exported again, and compared with itself.
#include "formats/vertex_formats.h"
#include "tests/import/pose_check.h"
#include "view/exported_set.h"
#include "view/gltf_writer.h"
#include "view/set_compare.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Truncation toward zero loses up to one step; the log's six decimals of the
// offset and float arithmetic add a little.
constexpr double kStepTolerance = 1.02;
constexpr double kFps = 30;  // the engine's rate, where a sequence line states none

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// ---- one export, checked in a child process -------------------------------

struct Sequence {
    int start = 0, frames = 0;
    double rate = kFps;  // at which the program sampled the clip
};

// Prints "round-trip held <steps>" or "round-trip broken <what differs>".
void RoundTrip(const view::ExportedSet& set, const fs::path& folder, const std::string& exporter) {
    if (exporter.empty()) return;
    view::GltfReport report;
    if (const Error error = view::WriteSetAsGltf(set, (folder / "Back.glb").string(), report)) {
        std::cout << "round-trip broken " << error.message << "\n";
        return;
    }
    std::string options;
    for (const std::string& option : report.exportOptions) options += " '" + option + "'";
    const std::string command = "cd '" + folder.string() + "' && '" + exporter + "' --no-log Back.glb Back.3D" + options +
                                " >back.out 2>&1 </dev/null";
    if (std::system(command.c_str()) != 0) {
        const std::string said = ReadAll(folder / "back.out");
        std::cout << "round-trip broken the export of the glTF failed: " << said.substr(0, said.find('\n')) << "\n";
        return;
    }
    const view::SetComparison comparison =
        view::CompareSets(set, view::ReadExportedSet((folder / "Back.3D").string()));
    std::string differences;
    for (const std::string& line : comparison.differences) differences += (differences.empty() ? "" : "; ") + line;
    if (comparison.Holds(1)) std::cout << "round-trip held " << comparison.largestStep << "\n";
    else std::cout << "round-trip broken " << differences << "\n";
}

// Prints "ok <worst error in steps or -1>" or "bad <reason>"; exit 0 when consistent.
int CheckExport(const std::string& model, const fs::path& folder, testing_pose::Skinning skinning,
                const std::string& exporter) {
    auto bad = [](const std::string& reason) {
        std::cout << "bad " << reason << "\n";
        return 1;
    };
    // The set as the engine reads it. Textures the model names are not
    // copied by the export, so not finding them says nothing about it.
    view::ReadOptions options;
    options.extraTextureFolders.push_back(fs::path(model).parent_path().string());
    const view::ExportedSet set = view::ReadExportedSet((folder / "Out.3D").string(), options);
    for (const std::string& problem : set.problems)
        if (problem.find(": texture ") == std::string::npos || problem.find(" not found in ") == std::string::npos)
            return bad(problem);
    const uint32_t vertices = set.vertexCount, frames = set.frameCount;
    if (set.polygons.size() != set.headerPolygonCount) return bad("the triangles read differ from the header's count");

    const std::string printed = ReadAll(folder / "stdout");
    std::vector<Sequence> sequences;
    const std::regex line("SEQ=\\w+ STARTFRAME=(\\d+) NUMFRAMES=(\\d+)(?: RATE=([0-9.]+))?");
    for (auto it = std::sregex_iterator(printed.begin(), printed.end(), line); it != std::sregex_iterator(); ++it)
        sequences.push_back({std::stoi((*it)[1]), std::stoi((*it)[2]), (*it)[3].matched ? std::stod((*it)[3]) : kFps});
    // A vertex-animated file exports its own frames one to one, its
    // animations where they lie (tests/formats holds them to the file's numbers).
    if (hm::fmt::RecogniseVertexFormat(model) != hm::fmt::VertexFormat::kNone) {
        for (const Sequence& s : sequences)
            if (s.start < 0 || s.frames < 1 || static_cast<uint32_t>(s.start + s.frames) > frames)
                return bad("a sequence lies outside the frames");
        std::cout << "ok -1\n";
        RoundTrip(set, folder, exporter);
        return 0;
    }
    // The clips the program printed lie end to end over every frame.
    uint32_t next = 0;
    for (const Sequence& s : sequences) {
        if (s.start != static_cast<int>(next) || s.frames < 1) return bad("clips do not lie end to end");
        next += static_cast<uint32_t>(s.frames);
    }
    if (!sequences.empty() && next != frames) return bad("clips do not add up to the frame count");
    if (sequences.empty() && frames != 1) return bad("a model without clips has " + std::to_string(frames) + " frames");

    testing_pose::AssimpReference reference(model, skinning);
    bool evaluates = false;
    for (unsigned a = 0; reference.Loaded() && a < reference.Scene().mNumAnimations; ++a)
        evaluates = evaluates || reference.Scene().mAnimations[a]->mNumChannels > 0;
    if (sequences.empty() || !evaluates) {
        std::cout << "ok -1\n";
        RoundTrip(set, folder, exporter);
        return 0;
    }
    if (sequences.size() != reference.Scene().mNumAnimations) return bad("not every clip was exported");
    const std::string log = ReadAll(folder / "Out.log");
    std::smatch match;
    if (!std::regex_search(log, match, std::regex("Offset Values - (\\S+) (\\S+) (\\S+)\r?\n")))
        return bad("the log states no offset");
    const double offset[3] = {std::stod(match[1]), std::stod(match[2]), std::stod(match[3])};
    if (!std::regex_search(log, match, std::regex("Scale factor - (\\S+)\r?\n"))) return bad("the log states no scale");
    const double step = 1.0 / std::stod(match[1]);
    double worst = 0;
    for (size_t c = 0; c < sequences.size(); ++c) {
        const int n = sequences[c].frames;
        for (int f : {0, (n - 1) / 2, n - 1}) {
            const auto expected = reference.Pose(static_cast<int>(c), f / sequences[c].rate);
            if (expected.size() != vertices)
                return bad("Assimp's evaluation has " + std::to_string(expected.size()) + " vertices, the export " +
                           std::to_string(vertices));
            const size_t base = 4 * (size_t(sequences[c].start + f) * vertices);
            for (unsigned v = 0; v < vertices; ++v) {
                // Records hold x, z, y.
                const int16_t* record = &set.records[base + 4 * v];
                const int q[3] = {record[0], record[2], record[1]};
                for (int a = 0; a < 3; ++a)
                    worst = std::max(worst, std::fabs(q[a] * step + offset[a] - expected[v][a]) / step);
            }
        }
    }
    std::cout << "ok " << worst << "\n";
    RoundTrip(set, folder, exporter);
    return worst <= kStepTolerance ? 0 : 1;
}

// ---- the sweep ------------------------------------------------------------

struct Limits {
    double seconds = 20;
    long memoryMb = 2048;
};

struct Outcome {
    std::string path, format;
    enum Kind { Exported, NothingExported, Refused, WriteFailed, Crashed, Hung } kind = Hung;
    std::string reason;     // refusals: the program's one line, without its name and the file's
    bool consistent = true;
    std::string problem;    // what the check found wrong
    double worstSteps = -1; // animated and compared; -1 otherwise
    // Off by more than a step where the program warned it would be: bones
    // that scale during a clip, which the host's rigid bones cannot follow.
    bool approximated = false;
    double seconds = 0;
    // The set read into glTF and exported again.
    enum RoundTripKind { NotTried, Held, Broken } roundTrip = NotTried;
    int roundTripSteps = 0;
    std::string roundTripWhy;
};

struct Job {
    pid_t pid = 0;
    size_t file = 0;
    bool checking = false;
    Clock::time_point started;
    fs::path folder;
};

pid_t Spawn(const std::vector<std::string>& arguments, const fs::path& folder, const std::string& output, const Limits& limits) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    setpgid(0, 0);
    if (chdir(folder.c_str()) != 0) _exit(125);
    // 0 leaves memory unbounded, for builds (AddressSanitizer) that reserve more address space than they use.
    const rlim_t bytes = static_cast<rlim_t>(limits.memoryMb) << 20;
    const rlimit memory{bytes, bytes}, noCore{0, 0};
    if (limits.memoryMb > 0) setrlimit(RLIMIT_AS, &memory);
    setrlimit(RLIMIT_CORE, &noCore);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open((output + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv;
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(126);
}

std::string FormatOf(const fs::path& path) {
    std::string ext = path.extension().string();
    if (ext.empty()) return "(none)";
    ext = ext.substr(1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::toupper(c); });
    return ext;
}

// The program's last line, less "vantrel-export: " and the file's path.
std::string Reason(const std::string& errors, const std::string& path) {
    std::string last;
    std::istringstream lines(errors);
    for (std::string line; std::getline(lines, line);)
        if (line.find(": warning: ") == std::string::npos && !line.empty()) last = line;
    const std::string program = "vantrel-export: ";
    if (last.rfind(program, 0) == 0) last = last.substr(program.size());
    if (last.rfind(path + ": ", 0) == 0) last = last.substr(path.size() + 2);
    return last;
}

// Every file but what lies beside models: images, buffers, materials,
// shaders and notes. Formats this Assimp cannot read stay in, to be told so.
std::vector<fs::path> ModelFiles(const fs::path& root) {
    static const std::set<std::string> companions = {".png", ".jpg", ".jpeg", ".bmp", ".tga", ".dds", ".bin", ".txt",
                                                     ".md", ".mtl", ".material", ".glsl", ".vert", ".frag"};
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file()) continue;
        const fs::path& path = entry.path();
        std::string ext = path.extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
        const std::string name = path.filename().string();
        if (companions.count(ext) || name.rfind("README", 0) == 0 || name.rfind("LICENSE", 0) == 0) continue;
        files.push_back(path);
    }
    std::sort(files.begin(), files.end());
    return files;
}

void WriteTable(const std::string& target, const std::vector<Outcome>& outcomes, const fs::path& root,
                const std::string& reference) {
    struct Row {
        int files = 0, exported = 0, animated = 0, refused = 0, nothing = 0, failed = 0, approximated = 0;
        double worst = -1;
        std::map<std::string, int> reasons;
    };
    std::map<std::string, Row> rows;
    Row total;
    std::map<std::string, int> reasons;
    for (const Outcome& o : outcomes) {
        for (Row* row : {&rows[o.format], &total}) {
            ++row->files;
            if (o.kind == Outcome::Exported) ++row->exported;
            if (o.worstSteps >= 0 && !o.approximated) ++row->animated, row->worst = std::max(row->worst, o.worstSteps);
            if (o.approximated) ++row->approximated;
            if (o.kind == Outcome::Refused) ++row->refused, ++row->reasons[o.reason];
            if (o.kind == Outcome::NothingExported) ++row->nothing;
            if (o.kind == Outcome::Crashed || o.kind == Outcome::Hung || o.kind == Outcome::WriteFailed || !o.consistent ||
                o.roundTrip == Outcome::Broken)
                ++row->failed;
        }
        if (o.kind == Outcome::Refused) ++reasons[o.reason];
    }
    auto worst = [](double w) { return w < 0 ? std::string("–") : (std::ostringstream() << std::fixed << std::setprecision(2) << w).str(); };
    std::ostringstream md;
    md << "# The corpus sweep\n\n"
       << "`make test-corpus` runs every model file of Debian's `assimp-testmodels` (Assimp's own test\n"
       << "files, in `" << root.string() << "`) through `vantrel-export`, each in a process of its own\n"
       << "bounded in time and memory, and checks that it ends with exit 0 to 3, never a signal or a hang;\n"
       << "that every exported set is consistent (file sizes, vertex indices, frame count, clips end to end);\n"
       << "and that every animated model matches Assimp's own evaluation of the file (" << reference << ")\n"
       << "within one quantisation step at the first, middle and last frame of each clip. Many of these\n"
       << "files test Assimp's parsers with broken or partial data on purpose, so refusals are expected.\n\n"
       << "Exit 2 (refused) is bad input: the reason is the program's own line. Exit 1 is a model with\n"
       << "nothing to export. \"Animated\" counts the exports compared with Assimp's evaluation, and\n"
       << "\"Worst\" is their largest error in quantisation steps.\n\n"
       << "\"Scaling\" counts animated exports whose clips scale bones, which the host's rigid bones cannot\n"
       << "follow: the program warns, and they are listed below with their error, not held to a step.\n\n"
       << "| Format | Files | Exported | Animated | Worst (steps) | Scaling | Nothing to export | Refused | Failed |\n"
       << "|---|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    auto line = [&](const std::string& format, const Row& row) {
        md << "| " << format << " | " << row.files << " | " << row.exported << " | " << row.animated << " | "
           << worst(row.worst) << " | " << row.approximated << " | " << row.nothing << " | " << row.refused << " | "
           << row.failed << " |\n";
    };
    for (const auto& [format, row] : rows) line(format, row);
    line("**all**", total);
    md << "\n";
    md << "Failed counts crashes, hangs, failed writes, inconsistent sets, animated exports off by\n"
       << "more than a step and sets that do not come back the way back (below); it must be 0.\n\n"
       << "## Why files were refused\n\n| Reason | Files |\n|---|---:|\n";
    std::vector<std::pair<int, std::string>> byCount;
    for (const auto& [reason, count] : reasons) byCount.emplace_back(-count, reason);
    std::sort(byCount.begin(), byCount.end());
    auto escape = [](std::string text) {
        std::string out;
        for (char c : text) out += c == '|' ? std::string("\\|") : std::string(1, c);
        return out;
    };
    for (const auto& [count, reason] : byCount) md << "| " << escape(reason) << " | " << -count << " |\n";
    md << "\n## Animated exports whose clips scale bones\n\n| File | Error (steps) |\n|---|---:|\n";
    for (const Outcome& o : outcomes)
        if (o.approximated) md << "| " << fs::relative(o.path, root).string() << " | " << worst(o.worstSteps) << " |\n";
    int held = 0, broken = 0, steps = 0;
    for (const Outcome& o : outcomes) {
        held += o.roundTrip == Outcome::Held;
        broken += o.roundTrip == Outcome::Broken;
        if (o.roundTrip == Outcome::Held) steps = std::max(steps, o.roundTripSteps);
    }
    md << "\n## The way back\n\n"
       << "Each consistent set read into glTF (`vantrel-view --gltf`) and exported again with the options it\n"
       << "names: the same mesh data file byte for byte, frames within one step, the same sequences,\n"
       << "textures alike.\n\n"
       << "| Held | Largest step | Broken |\n|---:|---:|---:|\n| " << held << " | " << steps << " | " << broken << " |\n";
    if (broken) {
        md << "\n| File | What differs |\n|---|---|\n";
        for (const Outcome& o : outcomes)
            if (o.roundTrip == Outcome::Broken)
                md << "| " << fs::relative(o.path, root).string() << " | " << escape(o.roundTripWhy) << " |\n";
    }
    md << "\n## Every file that was not exported\n\n| File | Exit | Reason |\n|---|---:|---|\n";
    for (const Outcome& o : outcomes) {
        if (o.kind == Outcome::Exported && o.consistent) continue;
        const char* exit = o.kind == Outcome::NothingExported ? "1" : o.kind == Outcome::Refused ? "2"
                         : o.kind == Outcome::WriteFailed ? "3" : o.kind == Outcome::Crashed ? "signal"
                         : o.kind == Outcome::Hung ? "hung" : "0";
        md << "| " << fs::relative(o.path, root).string() << " | " << exit << " | "
           << escape(o.consistent ? o.reason : o.problem) << " |\n";
    }
    std::ofstream(target, std::ios::binary) << md.str();
}

int Sweep(const fs::path& root, const std::string& exporter, const std::string& table, int jobs, const Limits& limits,
          const std::string& skinning) {
    const std::vector<fs::path> files = ModelFiles(root);
    if (files.empty()) {
        std::cerr << "corpus_sweep: no model files under " << root << "\n";
        return 2;
    }
    const fs::path work = fs::temp_directory_path() / ("corpus_sweep." + std::to_string(getpid()));
    fs::create_directories(work);
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    std::vector<Outcome> outcomes(files.size());
    std::vector<Job> running;
    size_t next = 0;
    const auto began = Clock::now();
    auto start = [&](Job job, const std::vector<std::string>& arguments, const std::string& output) {
        job.started = Clock::now();
        job.pid = Spawn(arguments, job.folder, output, limits);
        setpgid(job.pid, job.pid);  // also here, so a kill cannot come before the child's own call
        running.push_back(job);
    };
    while (next < files.size() || !running.empty()) {
        while (next < files.size() && running.size() < static_cast<size_t>(jobs)) {
            Job job;
            job.file = next;
            job.folder = work / std::to_string(next);
            fs::create_directories(job.folder);
            outcomes[next].path = files[next].string();
            outcomes[next].format = FormatOf(files[next]);
            // Unwelded, so the set compares vertex for vertex with the reference.
            start(job, {exporter, files[next].string(), "Out.3D", "--no-weld"}, "stdout");
            ++next;
        }
        int status = 0;
        const pid_t done = waitpid(-1, &status, WNOHANG);
        if (done <= 0) {
            const auto now = Clock::now();
            for (Job& job : running)
                if (std::chrono::duration<double>(now - job.started).count() > limits.seconds) kill(-job.pid, SIGKILL);
            usleep(5000);
            continue;
        }
        const auto found = std::find_if(running.begin(), running.end(), [done](const Job& j) { return j.pid == done; });
        if (found == running.end()) continue;
        Job job = *found;
        running.erase(found);
        kill(-job.pid, SIGKILL);  // anything the run left behind
        Outcome& o = outcomes[job.file];
        o.seconds += std::chrono::duration<double>(Clock::now() - job.started).count();
        const bool timedOut = o.seconds > limits.seconds;
        if (!job.checking) {
            if (WIFSIGNALED(status)) {
                o.kind = timedOut ? Outcome::Hung : Outcome::Crashed;
                o.reason = timedOut ? "ran past " + std::to_string(std::lround(limits.seconds)) + " s"
                                    : std::string("ended by signal ") + strsignal(WTERMSIG(status));
            } else {
                const int code = WEXITSTATUS(status);
                o.kind = code == 0 ? Outcome::Exported : code == 1 ? Outcome::NothingExported
                       : code == 2 ? Outcome::Refused : code == 3 ? Outcome::WriteFailed : Outcome::Crashed;
                o.reason = Reason(ReadAll(job.folder / "stdout.err"), o.path);
                if (code > 3) o.reason = "exit " + std::to_string(code) + ": " + o.reason;
            }
            if (o.kind == Outcome::Exported) {
                job.checking = true;
                start(job, {self, "--check", o.path, job.folder.string(), "--skinning", skinning, "--exporter", exporter},
                      "check");
                continue;
            }
        } else {
            const std::string said = ReadAll(job.folder / "check");
            o.consistent = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            if (said.rfind("ok ", 0) == 0) o.worstSteps = std::stod(said.substr(3));
            if (const size_t at = said.find("round-trip "); at != std::string::npos) {
                std::string line = said.substr(at + 11);
                line = line.substr(0, line.find('\n'));
                o.roundTrip = line.rfind("held ", 0) == 0 ? Outcome::Held : Outcome::Broken;
                if (o.roundTrip == Outcome::Held) o.roundTripSteps = std::stoi(line.substr(5));
                else o.roundTripWhy = line.substr(7);
            }
            if (!o.consistent && o.worstSteps >= 0 &&
                ReadAll(job.folder / "stdout.err").find("the host's bones do not scale") != std::string::npos) {
                o.approximated = true;
                o.consistent = true;
            }
            if (!o.consistent)
                o.problem = said.rfind("bad ", 0) == 0 ? "export inconsistent: " + said.substr(4, said.size() - 5)
                          : said.rfind("ok ", 0) == 0 ? "off Assimp's evaluation by " + said.substr(3, said.size() - 4) + " steps"
                          : WIFSIGNALED(status) ? std::string("check ended by signal ") + strsignal(WTERMSIG(status))
                                                : "check failed";
        }
        fs::remove_all(job.folder);
    }
    fs::remove_all(work);
    const double elapsed = std::chrono::duration<double>(Clock::now() - began).count();
    WriteTable(table, outcomes, root,
               skinning == "weights" ? "every vertex moved by all its bone weights"
                                     : "each vertex moved by its heaviest bone, as the host's one bone per vertex");

    int exported = 0, refused = 0, nothing = 0, crashed = 0, hung = 0, writes = 0, failed = 0, animated = 0, scaling = 0;
    int held = 0, brokenWays = 0;
    double worst = 0;
    for (const Outcome& o : outcomes) {
        exported += o.kind == Outcome::Exported;
        refused += o.kind == Outcome::Refused;
        nothing += o.kind == Outcome::NothingExported;
        crashed += o.kind == Outcome::Crashed;
        hung += o.kind == Outcome::Hung;
        writes += o.kind == Outcome::WriteFailed;
        if (o.worstSteps >= 0 && !o.approximated) ++animated, worst = std::max(worst, o.worstSteps);
        scaling += o.approximated;
        const bool bad = o.kind == Outcome::Crashed || o.kind == Outcome::Hung || o.kind == Outcome::WriteFailed || !o.consistent;
        failed += bad || o.roundTrip == Outcome::Broken;
        if (bad)
            std::cout << "FAILED " << o.path << ": " << (o.consistent ? o.reason : o.problem) << "\n";
        else if (o.roundTrip == Outcome::Broken)
            std::cout << "FAILED " << o.path << ": the way back broken: " << o.roundTripWhy << "\n";
        held += o.roundTrip == Outcome::Held;
        brokenWays += o.roundTrip == Outcome::Broken;
    }
    std::cout << files.size() << " files: " << exported << " exported (" << animated << " animated, worst "
              << worst << " steps; " << scaling << " more whose clips scale bones), " << refused << " refused, " << nothing << " with nothing to export, " << writes
              << " failed writes, crashed " << crashed << ", hung " << hung << "; " << std::lround(elapsed)
              << " s; table in " << table << "\n";
    std::cout << "the way back (glTF and exported again): " << held << " held, " << brokenWays << " broken\n";
    std::cout << "corpus: " << files.size() - failed << " passed, " << failed << " failed\n";
    return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string models, exporter, table, skinning = "heaviest";
    int jobs = 2;
    Limits limits;
    std::string checkModel, checkFolder;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) {
                std::cerr << "corpus_sweep: " << a << " needs a value\n";
                std::exit(2);
            }
            return args[++i];
        };
        if (a == "--models") models = value();
        else if (a == "--exporter") exporter = value();
        else if (a == "--table") table = value();
        else if (a == "--jobs") jobs = std::max(1, std::stoi(value()));
        else if (a == "--timeout") limits.seconds = std::stod(value());
        else if (a == "--memory-mb") limits.memoryMb = std::stol(value());
        else if (a == "--skinning") skinning = value();
        else if (a == "--check") checkModel = value(), checkFolder = value();
        else {
            std::cerr << "corpus_sweep: unknown argument " << a << "\n";
            return 2;
        }
    }
    if (skinning != "heaviest" && skinning != "weights") {
        std::cerr << "corpus_sweep: --skinning is heaviest or weights\n";
        return 2;
    }
    const auto mode = skinning == "weights" ? testing_pose::Skinning::AllWeights : testing_pose::Skinning::HeaviestBone;
    if (!checkModel.empty()) return CheckExport(checkModel, checkFolder, mode, exporter);
    if (models.empty() || exporter.empty() || table.empty()) {
        std::cerr << "usage: corpus_sweep --models DIR --exporter PATH --table FILE.md [--jobs N] [--timeout S] "
                     "[--memory-mb MB] [--skinning heaviest|weights]\n";
        return 2;
    }
    return Sweep(models, fs::absolute(exporter).string(), table, jobs, limits, skinning);
}
