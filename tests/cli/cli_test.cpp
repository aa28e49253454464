// The host program end to end: the real executable, the real plug-in, real files.
#include "host/model_json.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <map>
#include <regex>

using namespace testing_support;

namespace {


struct Outcome {
    int status;
    std::string out;
    std::string err;
};

// Runs command in dir, stdin closed.
Outcome RunCommand(const ScratchDir& dir, const std::string& line) {
    std::string command = "cd '" + dir.Path().string() + "' && " + line + " >.stdout 2>.stderr </dev/null";
    int raw = std::system(command.c_str());
    Outcome outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(dir / ".stdout"), ReadFile(dir / ".stderr")};
    std::filesystem::remove(dir / ".stdout");
    std::filesystem::remove(dir / ".stderr");
    return outcome;
}

// Runs vantrel-export with the given arguments in dir, stdin closed.
Outcome RunProgram(const ScratchDir& dir, const std::string& arguments) {
    return RunCommand(dir, std::string(VANTREL_EXPORT_PATH) + " " + arguments);
}

const std::string kTotem = std::string(VANTREL_SOURCE_DIR) + "/examples/totem.gltf";

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

void SaveModel(const hmModel& model, const std::string& path) {
    const Error error = hm::SaveModelJson(model, path);
    ASSERT_FALSE(error) << error.message;
}

TEST(HostProgram, ExportsAModelWithItsDefaultName) {
    ScratchDir dir;
    SaveModel(*OneTriangleModel(), dir / "Tri.hm.json");
    Outcome outcome = RunProgram(dir, "-v Tri.hm.json");
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_NE(outcome.out.find("Plug-in: Vantrel 3d..."), std::string::npos);
    EXPECT_NE(outcome.out.find("Tri.log"), std::string::npos);
    std::string log = ReadFile(dir / "Tri.log");
    EXPECT_EQ(log.rfind("Tri_d.3dTri_a.3d", 0), 0u) << log;
}

// The page's address opens in a browser: a space and a non-ASCII letter of
// its folder percent-encoded, as a URL must have them.
TEST(HostProgram, PreviewAddressIsAUrl) {
    ScratchDir dir;
    std::filesystem::create_directory(dir / "a b\xC3\xA9");
    SaveModel(*OneTriangleModel(), dir / "Tri.hm.json");
    Outcome outcome = RunProgram(dir, "Tri.hm.json 'a b\xC3\xA9/Tri.3D' --preview");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    const std::string url = "file://" + std::filesystem::canonical(dir.Path()).string() + "/a%20b%C3%A9/Tri.html\n";
    EXPECT_NE(outcome.out.find("Preview: " + url), std::string::npos) << outcome.out;
}

TEST(HostProgram, EmptyModelIsReportedAndNothingWritten) {
    ScratchDir dir;
    WriteText(dir / "empty.hm.json", R"({"meshes": []})");
    Outcome outcome = RunProgram(dir, "empty.hm.json out.3D");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "vantrel-export: nothing exported: The model is empty!  Nothing exported!\n");
    EXPECT_EQ(Files(dir.Path()), std::vector<std::string>{"empty.hm.json"});
}

TEST(HostProgram, BadInputExitsTwoWithOneClearLineAndWritesNothing) {
    ScratchDir dir;
    WriteText(dir / "broken.hm.json", R"({"meshes": [ {"vertices": [)");
    Outcome broken = RunProgram(dir, "broken.hm.json");
    EXPECT_EQ(broken.status, 2);
    EXPECT_NE(broken.err.find("broken.hm.json"), std::string::npos) << broken.err;
    EXPECT_EQ(std::count(broken.err.begin(), broken.err.end(), '\n'), 1) << broken.err;

    Outcome missing = RunProgram(dir, "missing.hm.json");
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("missing.hm.json"), std::string::npos) << missing.err;

    SaveModel(*OneTriangleModel(), dir / "Tri.hm.json");
    Outcome noFolder = RunProgram(dir, "Tri.hm.json nowhere/Tri.3D");
    EXPECT_EQ(noFolder.status, 2);
    EXPECT_NE(noFolder.err.find("nowhere"), std::string::npos) << noFolder.err;

    Outcome badOption = RunProgram(dir, "--no-such-option Tri.hm.json");
    EXPECT_EQ(badOption.status, 2);

    // A host model file holds one bone per vertex: only the plug-in's bake applies.
    Outcome exact = RunProgram(dir, "Tri.hm.json --bake exact");
    EXPECT_EQ(exact.status, 2);
    EXPECT_NE(exact.err.find("Tri.hm.json: a host model file holds one bone per vertex"), std::string::npos)
        << exact.err;

    EXPECT_EQ(Files(dir.Path()), (std::vector<std::string>{"Tri.hm.json", "broken.hm.json"}));
}

// Command lines and what they give, on a one-triangle host model file.
TEST(HostProgram, CommandLines) {
    struct Case {
        std::string arguments;
        int status;
        std::string out;  // found in standard output
        std::string err;  // found in standard error; "" for nothing printed there
        std::vector<std::string> files;
    };
    const std::vector<std::string> exported = {"Tri.hm.json", "Tri.log", "Tri.uc", "Tri_a.3d", "Tri_d.3d"};
    const std::vector<std::string> untouched = {"Tri.hm.json"};
    const std::vector<Case> cases = {
        {"Tri.hm.json", 0, "Vertices 3, triangles 1, frames 1 (no animation: one frame at rest)\n", "", exported},
        {"Tri.hm.json", 0, "  Tri.uc                 ", "", exported},
        {"Tri.hm.json", 0, "->  MODELS\\Tri_a.3d\n", "", exported},
        {"Tri.hm.json", 0, "Size: 2 wide, 4 tall, 0 deep (model units, at rest)\n", "", exported},
        {"Tri.hm.json", 0, "Mesh-map scale 0.015625: positions are stored in steps of 0.015625 units", "", exported},
        {"-q Tri.hm.json", 0, "", "", exported},
        {"Tri.hm.json --no-log", 0, "Tri.uc", "", {"Tri.hm.json", "Tri.uc", "Tri_a.3d", "Tri_d.3d"}},
        {"Tri.hm.json --log trace.txt", 0, "  trace.txt ", "",
         {"Tri.hm.json", "Tri.uc", "Tri_a.3d", "Tri_d.3d", "trace.txt"}},
        {"Tri.hm.json -o Guard.3D", 0, "Exported Guard.", "", {"Guard.log", "Guard.uc", "Guard_a.3d", "Guard_d.3d",
                                                                  "Tri.hm.json"}},
        {"Tri.hm.json -o Guard", 2, "", "Guard: no such folder, and no extension to make it a file name; give Guard.3D",
         untouched},
        {"Tri.hm.json 2-guard.3D", 2, "", "the class would be named \"2-guard\", which the engine cannot compile "
         "(letters, digits and '_', not starting with a digit); name the outputs, as in Model2_guard.3D", untouched},
        {"Tri.hm.json Actor.3D", 2, "", "a class of the engine's own, which it would hide or extend; name the outputs, "
         "as in ActorModel.3D", untouched},
        {"Tri.hm.json none.3D", 2, "", "a reserved word of the engine's script language; name the outputs, as in "
         "noneModel.3D", untouched},
        {"Tri.hm.json aCTOR.3D", 2, "", "a class of the engine's own, which it would hide or extend; name the "
         "outputs, as in aCTORModel.3D", untouched},
        {"Tri.hm.json out/", 2, "", "out/: no such folder", untouched},
        {"Tri.hm.json --ask", 2, "", "--ask needs a terminal", untouched},
        {"Tri.hm.json --scale 2 --clip Walk", 2, "", "--scale, --clip: only for models in common 3D formats", untouched},
        {"Tri.hm.json --fps 24 --no-weld --texture-size 64 --texture-folder . --bake host", 2, "",
         "--fps, --no-weld, --texture-size, --texture-folder: only for models in common 3D formats", untouched},
        {"Tri.hm.json --list", 0, "it exports its 1 frame(s)", "", untouched},
        {"'" + kTotem + "' --list --texture-size 2048", 0, "clip(s)", "", untouched},
        {"'" + kTotem + "' --list --texture-size 4096", 2, "", "--texture-size: must be a power of two from 1 to 2048, "
         "not 4096", untouched},
        {"'" + kTotem + "' --list --texture-size 3", 2, "", "must be a power of two from 1 to 2048, not 3", untouched},
        {"Tri.hm.json --fsp 3", 2, "", "unknown option --fsp; did you mean --fps?", untouched},
        {"Tri.hm.json --log trace.txt --no-log", 2, "", "contradict", untouched},
        {"Tri.hm.json --fps", 2, "", "vantrel-export: --fps needs a value\n", untouched},
        {"Tri.hm.json A.3D -o B.3D", 2, "", "give one", untouched},
        {"Tri.hm.json --threads 256 -q", 0, "", "", exported},
        {"Tri.hm.json --threads 257", 2, "", "--threads: must be a whole number from 1 to 256, not 257", untouched},
        {"Tri.hm.json --threads 2x", 2, "", "--threads: must be a whole number from 1 to 256, not 2x", untouched},
        {"Tri.hm.json --bake foo", 2, "", "--bake: must be exact or host, not foo", untouched},
        {"Tri.hm.json --timeout 5s", 2, "", "--timeout: not a number: 5s", untouched},
        {"Tri.hm.json --texture-folder Tri.hm.json", 2, "", "--texture-folder: Tri.hm.json: a file, not a folder",
         untouched},
        {"Tri.hm.json --point-cache none.pc2", 2, "", "--point-cache: none.pc2: no such file", untouched},
        {"--version", 0, "vantrel-export 1.0.0 (Assimp 5.", "", untouched},
        {"--help", 0, "Output:\n  -o,--output NAME|FOLDER", "", untouched},
        {"--help", 0, "  --texture-size N          Largest side", "", untouched},
        {"--help", 0, "  --threads N               Threads", "", untouched},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        SaveModel(*OneTriangleModel(), dir / "Tri.hm.json");
        const Outcome outcome = RunProgram(dir, c.arguments);
        EXPECT_EQ(outcome.status, c.status) << c.arguments << "\n" << outcome.err;
        EXPECT_NE(outcome.out.find(c.out), std::string::npos) << c.arguments << "\n" << outcome.out;
        if (c.err.empty()) { EXPECT_EQ(outcome.err, "") << c.arguments; }
        else EXPECT_EQ(outcome.err, "vantrel-export: " + outcome.err.substr(16, outcome.err.find('\n') - 16) + "\n")
            << c.arguments << ": one line\n" << outcome.err;
        EXPECT_NE(outcome.err.find(c.err), std::string::npos) << c.arguments << "\n" << outcome.err;
        EXPECT_EQ(Files(dir.Path()), c.files) << c.arguments;
    }
}

// Both programs' help in one style: the usage first, each option with the
// name of its value and no parser tags, the exit statuses last; --help and
// --version need nothing else.
TEST(Programs, HelpAndVersionInOneStyle) {
    ScratchDir dir;
    const std::regex optionColumn(R"(  (-\w,)?--[a-z-]+( [A-Za-z0-9|.,]+)? *)");
    for (const std::string program : {"vantrel-export", "vantrel-view"}) {
        const std::string path = program == "vantrel-export" ? VANTREL_EXPORT_PATH : VANTREL_VIEW_PATH;
        const Outcome help = RunCommand(dir, path + " --help");
        EXPECT_EQ(help.status, 0) << program;
        EXPECT_EQ(help.out.rfind("Usage: " + program + " ", 0), 0u) << help.out;
        EXPECT_NE(help.out.find("\n  -h,--help                 Print this help and stop\n"), std::string::npos) << help.out;
        EXPECT_NE(help.out.find("\n  --version                 Print the version and stop\n"), std::string::npos) << help.out;
        EXPECT_NE(help.out.find("\n\nExit status: 0 "), std::string::npos) << help.out;
        std::istringstream lines(help.out);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("  -", 0) == 0) {
                EXPECT_TRUE(std::regex_match(line.substr(0, 28), optionColumn)) << program << ": " << line;
            }
        const Outcome version = RunCommand(dir, path + " --version");
        EXPECT_EQ(version.status, 0) << version.err;
        EXPECT_EQ(version.out.rfind(program + " 1.", 0), 0u) << version.out;
    }
}

// Every command-line error is one line that starts with the program's name;
// a command it suggests is quoted for the shell.
TEST(Programs, CommandLineErrorsAreOneLineInWords) {
    const std::string view = VANTREL_VIEW_PATH;
    const struct {
        std::string command;
        std::string message;
    } cases[] = {
        {view, "vantrel-view: no PATH given (vantrel-view --help tells the rest)"},
        {view + " --chek Tri.3D", "vantrel-view: unknown option --chek; did you mean --check? (vantrel-view --help lists "
                                  "the options)"},
        {view + " Tri.3D Other.3D", "vantrel-view: too many arguments: Other.3D (PATH only)"},
        {view + " Tri.3D --gltf", "vantrel-view: --gltf needs a value"},
        {std::string(VANTREL_EXPORT_PATH), "vantrel-export: no MODEL given (vantrel-export --help tells the rest)"},
        {std::string(VANTREL_EXPORT_PATH) + " Tri.hm.json A.3D C.3D", "vantrel-export: too many arguments: C.3D (MODEL "
                                                                       "and DEST at most)"},
        {std::string(VANTREL_EXPORT_PATH) + " Tri.hm.json 'No Such Out/Tri.3D'",
         "the folder No Such Out does not exist; make it first (mkdir -p 'No Such Out')"},
        {std::string(VANTREL_EXPORT_PATH) + " Tri.hm.json 'new & old'",
         "or make the folder first (mkdir -p 'new & old')"},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        SaveModel(*OneTriangleModel(), dir / "Tri.hm.json");
        const Outcome outcome = RunCommand(dir, c.command);
        EXPECT_EQ(outcome.status, 2) << c.command;
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
        EXPECT_NE(outcome.err.find(c.message), std::string::npos) << c.command << "\n" << outcome.err;
        EXPECT_EQ(outcome.err.rfind(c.command.find("vantrel-view") == std::string::npos ? "vantrel-export: "
                                                                                         : "vantrel-view: ", 0), 0u);
    }
}

// The way back's command, pasted into the shell as printed, exports the set
// again, from and to folders whose names the shell would split.
TEST(Programs, ExportBackRunsAsPrinted) {
    ScratchDir dir;
    std::filesystem::create_directory(dir / "it's a set");
    ASSERT_EQ(RunProgram(dir, "'" + kTotem + "' \"it's a set/Totem.3D\" --no-log").status, 0);
    const Outcome view = RunCommand(dir, std::string(VANTREL_VIEW_PATH) + " \"it's a set/Totem.3D\" --gltf \"it's a set/T & T.glb\"");
    ASSERT_EQ(view.status, 0) << view.err;
    const size_t at = view.out.find("Export back: vantrel-export ");
    ASSERT_NE(at, std::string::npos) << view.out;
    const std::string command = view.out.substr(at + 28, view.out.find('\n', at) - at - 28);
    EXPECT_EQ(command.rfind("'it'\\''s a set/T & T.glb' Totem.3D ", 0), 0u) << command;
    const Outcome back = RunProgram(dir, command + " --no-log");
    EXPECT_EQ(back.status, 0) << command << "\n" << back.err;
    EXPECT_TRUE(std::filesystem::exists(dir / "Totem_a.3d")) << command;
}

// Without DEST the class takes the model's name, or the nearest the engine
// compiles, and says so; a name the user gives is never changed.
TEST(HostProgram, ModelsNameTheEngineCannotCompileBecomesTheNearestThatItCan) {
    ScratchDir dir;
    SaveModel(*OneTriangleModel(), dir / "2-guard.hm.json");
    const Outcome outcome = RunProgram(dir, "2-guard.hm.json");
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out.rfind("The class is named Model2_guard (from the model's name, the class would be named", 0), 0u)
        << outcome.out;
    EXPECT_NE(ReadFile(dir / "Model2_guard.uc").find("class Model2_guard extends"), std::string::npos);
    EXPECT_EQ(RunProgram(dir, "2-guard.hm.json 2-guard.3D").status, 2);
}

TEST(HostProgram, FolderDestinationGetsTheModelsName) {
    ScratchDir dir;
    SaveModel(*OneTriangleModel(), dir / "Tri.hm.json");
    std::filesystem::create_directory(dir / "out");
    for (const char* destination : {"out", "out/"}) {
        const Outcome outcome = RunProgram(dir, std::string("Tri.hm.json ") + destination);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(Files(dir / "out"), (std::vector<std::string>{"Tri.log", "Tri.uc", "Tri_a.3d", "Tri_d.3d"}))
            << destination;
        EXPECT_NE(ReadFile(dir / "out/Tri.uc").find("class Tri extends Actor;"), std::string::npos);
    }
}

TEST(HostProgram, LogAskedForElsewhereLeavesTheCurrentOneAlone) {
    ScratchDir dir;
    SaveModel(*OneTriangleModel(), dir / "Tri.hm.json");
    WriteText(dir / "Tri.log", "an earlier run's");
    EXPECT_EQ(RunProgram(dir, "Tri.hm.json --no-log").status, 0);
    EXPECT_EQ(ReadFile(dir / "Tri.log"), "an earlier run's");

    // A pipe (as /dev/null) gets the log, and stays a pipe.
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    const int reader = open((dir / "pipe").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(RunProgram(dir, "Tri.hm.json --log pipe").status, 0);
    char text[64] = {};
    EXPECT_GT(read(reader, text, sizeof text - 1), 0);
    EXPECT_EQ(std::string(text).rfind("Tri_d.3d", 0), 0u) << text;
    close(reader);
    EXPECT_TRUE(std::filesystem::is_fifo(dir / "pipe"));
    EXPECT_EQ(ReadFile(dir / "Tri.log"), "an earlier run's");
}

TEST(HostProgram, MissingPlugInIsBadInput) {
    ScratchDir dir;
    SaveModel(*OneTriangleModel(), dir / "Tri.hm.json");
    Outcome outcome = RunProgram(dir, "--plugin ./none.so Tri.hm.json");
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.err.find("cannot load the plug-in"), std::string::npos) << outcome.err;
}

}  // namespace

namespace {

const std::string kSource = VANTREL_SOURCE_DIR;

// Every output of the bundled sample, byte for byte as it was first written:
// speed work on the export must not change a byte.
TEST(HostProgram, SampleExportMatchesTheStoredOutputs) {
    ScratchDir dir;
    Outcome outcome = RunProgram(dir, "'" + kSource + "/examples/sample.hm.json' Sample.3D");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    for (const char* name : {"Sample_d.3d", "Sample_a.3d", "Sample.uc"})
        EXPECT_TRUE(ReadFile(dir / name) == ReadFile(kSource + "/tests/data/golden/" + name)) << name;
    // The log of a set this small traces every frame, as the plug-in's does.
    EXPECT_TRUE(ReadFile(dir / "Sample.log") == ReadFile(kSource + "/tests/data/golden/VantrelExport.log"));
}

// The two mesh files agree: every polygon's indices address a record of every
// frame, and the sizes are what the counts say.
TEST(HostProgram, MeshFilesAgreeWithEachOther) {
    ScratchDir dir;
    Outcome outcome = RunProgram(dir, "'" + kSource + "/examples/sample.hm.json' Sample.3D");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    std::string data = ReadFile(dir / "Sample_d.3d");
    std::string anim = ReadFile(dir / "Sample_a.3d");
    auto u16 = [](const std::string& bytes, size_t at) {
        return static_cast<size_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8);
    };
    const size_t polygons = u16(data, 0), vertices = u16(data, 2);
    const size_t frames = u16(anim, 0), frameSize = u16(anim, 2);
    EXPECT_EQ(polygons, 36u);
    EXPECT_EQ(vertices, 24u);
    EXPECT_EQ(frames, 48u);
    EXPECT_EQ(frameSize, vertices * 8);
    ASSERT_EQ(data.size(), 48 + 16 * polygons);
    ASSERT_EQ(anim.size(), 4 + frameSize * frames);
    for (size_t p = 0; p < polygons; ++p)
        for (size_t k = 0; k < 3; ++k) EXPECT_LT(u16(data, 48 + 16 * p + 2 * k), vertices);
    EXPECT_NE(anim.substr(4, frameSize), anim.substr(4 + 12 * frameSize, frameSize));  // it moves
}

TEST(HostProgram, UnwritableDestinationExitsThreeAndKeepsEarlierFiles) {
    ScratchDir dir;
    SaveModel(*OneTriangleModel(), dir / "Tri.hm.json");
    WriteText(dir / "Tri_d.3d", "earlier");
    std::filesystem::create_directory(dir / "Tri.uc");  // the script's name is taken
    Outcome outcome = RunProgram(dir, "Tri.hm.json Tri.3D");
    EXPECT_EQ(outcome.status, 3);
    EXPECT_NE(outcome.err.find("Tri.uc"), std::string::npos) << outcome.err;
    EXPECT_EQ(ReadFile(dir / "Tri_d.3d"), "earlier");
    EXPECT_FALSE(std::filesystem::exists(dir / "Tri_a.3d"));
    for (const std::string& name : Files(dir.Path())) EXPECT_NE(name.rfind(".vt", 0), 0u);
}

}  // namespace

namespace {

TEST(HostProgram, OneTriangleModelGivesTheExactFilesAndLog) {
    ScratchDir dir;
    SaveModel(*OneTriangleModel(), dir / "Tri.hm.json");
    Outcome outcome = RunProgram(dir, "Tri.hm.json Guard.3D");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(ReadFile(dir / "Guard_d.3d"),
              std::string("\x01\x00\x03\x00", 4) + std::string(44, '\0') +
                  std::string("\x00\x00\x01\x00\x02\x00\x01\xFF\x00\x00\xFF\x00\x00\xFF\x00\x00", 16));
    EXPECT_EQ(ReadFile(dir / "Guard_a.3d"), std::string("\x01\x00\x18\x00"
                                                        "\xC0\xFF\x00\x00\x80\xFF\x00\x00"
                                                        "\x40\x00\x00\x00\x80\xFF\x00\x00"
                                                        "\xC0\xFF\x00\x00\x80\x00\x00\x00",
                                                        28));
    EXPECT_EQ(ReadFile(dir / "Guard.log"),
              "Guard_d.3dGuard_a.3dGroup Tri Vertex Count 3 PolyCount 1\r\n"
              "To File: No of Triangles - 1\r\n"
              "To File: No of Verticies - 3\r\n"
              "To File: Padding Zeros\r\n"
              "HM uv coords - 0.000000 0.000000\r\n"
              "VT uv coords - 0 0\r\n"
              "HM uv coords - 1.000000 0.000000\r\n"
              "VT uv coords - 255 0\r\n"
              "HM uv coords - 0.000000 1.000000\r\n"
              "VT uv coords - 0 255\r\n"
              "To file - Poly: 0 1 2 1 255 0 0 255 0 0 255 0 0\r\n"
              "End of _d.3d file\r\n"
              "Beginning _a.3d file\r\n"
              "To File: Number of Frames - 1\r\n"
              "To File: Framesize - 24\r\n"
              "Max Values - 2.000000 4.000000 0.000000\r\n"
              " Min Values - 0.000000 0.000000 0.000000\r\n"
              "Offset Values - 1.000000 2.000000 0.000000\r\n"
              "Largest Magnitude - 2.000000\r\n"
              "Scale factor - 64.000000\r\n"
              "Writing frame no. 0\r\n"
              "To file: Vertex 0 - -64 0 -128\r\n"
              "To file: Vertex 1 - 64 0 -128\r\n"
              "To file: Vertex 2 - -64 0 128\r\n");
    std::string script = ReadFile(dir / "Guard.uc");
    EXPECT_NE(script.find("class Guard extends Actor;\r\n"), std::string::npos);
    EXPECT_NE(script.find("#exec MESHMAP SCALE MESHMAP=Guard X=0.015625 Y=0.015625 Z=0.015625\r\n"),
              std::string::npos);
}


// A model of the given size: vertices spread along x over meshes of at most
// 60000, one triangle per three vertices, bones in a chain.
hm::ModelPtr SizedModel(int vertices, int frames, int bones = 0) {
    hm::ModelPtr model(hm::CreateModel());
    for (int done = 0, m = 0; done < vertices; ++m) {
        hmMesh* mesh = hm::AddMesh(model.get(), "m" + std::to_string(m));
        const int count = std::min(vertices - done, 60000);
        for (int v = 0; v < count; ++v)
            mesh->vertices.push_back(hm::MakeVertex({static_cast<float>(done + v), 1.0f, 2.0f}));
        for (int t = 0; t + 2 < count; t += 3)
            mesh->triangles.push_back(hmTriangle{{uint16_t(t), uint16_t(t + 1), uint16_t(t + 2)}});
        done += count;
    }
    for (int b = 0; b < bones; ++b)
        hm::AddBone(model.get(), "b" + std::to_string(b), b ? "b" + std::to_string(b - 1) : "", {0, 0, 0}, {0, 0, 0});
    model->totalFrames = frames;
    return model;
}

// What the format cannot hold stops the export with the count, the limit and
// its reason; --force exports the wrap, says so, and the log says it again.
TEST(HostProgramLimits, OverALimitStopsUnlessForced) {
    struct Case {
        const char* name;
        hm::ModelPtr model;
        const char* error;
        const char* logLine;  // with --force; null: not exported forced here
    };
    Case cases[] = {
        {"v9000", SizedModel(9000, 1), "9000 vertices in all; the animation file states a frame's size",
         "Wrap: 9000 vertices in all; the frame size holds 8191 vertices, so it reads 6464 while a frame holds 72000 bytes"},
        {"f65536", SizedModel(3, 65536), "65536 frames; the animation file counts them in 16 bits",
         "Wrap: 65536 frames; the frame count holds 65535, so 0 frames are written"},
        {"b129", SizedModel(3, 1, 129), "129 bones; a vertex names its bone with a signed 8-bit index", nullptr},
    };
    for (Case& c : cases) {
        ScratchDir dir;
        SaveModel(*c.model, dir / (std::string(c.name) + ".hm.json"));
        const Outcome refused = RunProgram(dir, std::string(c.name) + ".hm.json Out.3D");
        EXPECT_EQ(refused.status, 2) << c.name;
        EXPECT_NE(refused.err.find(c.error), std::string::npos) << refused.err;
        EXPECT_EQ(Files(dir.Path()).size(), 1u) << c.name;
        if (!c.logLine) continue;
        const Outcome forced = RunProgram(dir, std::string(c.name) + ".hm.json Out.3D --force");
        EXPECT_EQ(forced.status, 0) << forced.err;
        EXPECT_NE(forced.err.find("exporting as asked"), std::string::npos) << forced.err;
        EXPECT_NE(ReadFile(dir / "Out.log").find(std::string(c.logLine) + "\r\n"), std::string::npos)
            << c.name;
    }
}

// Bad inputs: each exit 2 with a clear message, nothing written. (An existing
// folder as destination receives outputs named after the model.)
TEST(HostProgramInputs, WhatCannotBeExportedIsRefused) {
    ScratchDir dir;
    SaveModel(*OneTriangleModel(), dir / "Tri.hm.json");
    ASSERT_EQ(mkfifo((dir / "fifo.hm.json").c_str(), 0600), 0);
    std::filesystem::create_directory(dir / "folder.hm.json");
    std::filesystem::create_symlink("/dev/zero", dir / "zero.hm.json");
    const std::string longName(260, 'x');
    const struct {
        std::string arguments;
        const char* message;
    } cases[] = {
        {"fifo.hm.json Out.3D", "fifo.hm.json: a device or a pipe, not a model file"},
        {"folder.hm.json Out.3D", "folder.hm.json: a folder, not a model file"},
        {"zero.hm.json Out.3D", "zero.hm.json: a device or a pipe, not a model file"},
        {"Tri.hm.json " + longName + ".3D", "bytes; the save dialog holds a path of at most 255"},
        {"Tri.hm.json " + std::string(251, 'y') + ".3D", "a file name of 256 bytes; the file system holds at most 255"},
        {"'" + kSource + "/examples/totem.gltf' Out.3D --scale 1e300", "makes positions too large"},
        {"'" + kSource + "/examples/totem.gltf' Out.3D --scale 1e-45", "shrinks the model to a point"},
    };
    for (const auto& c : cases) {
        const Outcome outcome = RunProgram(dir, c.arguments);
        EXPECT_EQ(outcome.status, 2) << c.arguments << "\n" << outcome.err;
        EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
    }
    EXPECT_EQ(Files(dir.Path()), (std::vector<std::string>{"Tri.hm.json", "fifo.hm.json", "folder.hm.json",
                                                           "zero.hm.json"}));
    // A long stem whose final names are legal: the temporaries do not take it over the limit.
    const Outcome longStem = RunProgram(dir, "Tri.hm.json " + std::string(249, 'z') + ".3D");
    EXPECT_EQ(longStem.status, 0) << longStem.err;
}

// Exports too large for the file system are refused before anything is written.
TEST(HostProgramInputs, ExportLargerThanTheFreeSpaceIsRefused) {
    ScratchDir dir;
    struct statvfs fs;
    ASSERT_EQ(statvfs(dir.Path().c_str(), &fs), 0);
    const double free = double(fs.f_bavail) * fs.f_frsize;
    const int vertices = static_cast<int>(free / (65535.0 * 8 * 5)) + 1;  // the log takes the rest
    if (vertices > 2000000) GTEST_SKIP() << "too much free space to fill";
    SaveModel(*SizedModel(vertices, 65535), dir / "big.hm.json");
    const Outcome outcome = RunProgram(dir, "big.hm.json Out.3D --force --full-log");
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.err.find("not enough room in"), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find("_a.3d " + std::to_string(4 + 8ull * vertices * 65535) + " bytes"), std::string::npos)
        << outcome.err;
    EXPECT_EQ(Files(dir.Path()), std::vector<std::string>{"big.hm.json"});
}

// The files of an export as they are on disk, the log left out.
std::vector<std::string> OutputSetOf(const ScratchDir& dir) {
    return {ReadFile(dir / "Out_d.3d"), ReadFile(dir / "Out_a.3d"), ReadFile(dir / "Out.uc")};
}

bool NoTemporary(const ScratchDir& dir) {
    for (const std::string& name : Files(dir.Path()))
        if (name.rfind(".vt", 0) == 0 || name.find("vantrel-tmp") != std::string::npos) return false;
    return true;
}

// Two processes exporting to one destination at once leave one complete set,
// from one of them.
TEST(HostProgramOutputs, ConcurrentExportsLeaveOneWholeSet) {
    ScratchDir dir;
    SaveModel(*SizedModel(6000, 40), dir / "A.hm.json");
    SaveModel(*SizedModel(5000, 60), dir / "B.hm.json");
    ASSERT_EQ(RunProgram(dir, "A.hm.json Out.3D").status, 0);
    const auto a = OutputSetOf(dir);
    ASSERT_EQ(RunProgram(dir, "B.hm.json Out.3D").status, 0);
    const auto b = OutputSetOf(dir);
    const std::string program = VANTREL_EXPORT_PATH;
    for (int round = 0; round < 8; ++round) {
        const std::string both = "cd '" + dir.Path().string() + "' && (" + program + " A.hm.json Out.3D & " + program +
                                 " B.hm.json Out.3D & wait) >/dev/null 2>&1";
        ASSERT_EQ(std::system(both.c_str()), 0);
        const auto now = OutputSetOf(dir);
        EXPECT_TRUE(now == a || now == b) << "round " << round;
        EXPECT_TRUE(NoTemporary(dir));
    }
}

// Two models that name one texture, exported into one folder at once: the
// texture is planned and committed with its set, so the class and the
// texture it names always come from the same model.
TEST(HostProgramOutputs, ConcurrentExportsKeepEachSetsOwnTexture) {
    ScratchDir dir;
    for (const char* model : {"A", "B"}) {
        std::filesystem::create_directories(dir / model);
        std::filesystem::copy_file(kSource + "/examples/totem.gltf", dir / (std::string(model) + "/totem.gltf"));
    }
    std::filesystem::copy_file(kSource + "/examples/totem_skin.png", dir / "A/totem_skin.png");
    std::filesystem::copy_file(kSource + "/tests/data/sample/cap_skin.png", dir / "B/totem_skin.png");
    std::filesystem::create_directory(dir / "out");
    const std::string a = "A/totem.gltf out/Out.3D", b = "B/totem.gltf out/Out.3D --scale 2";
    const auto set = [&] { return std::make_pair(ReadFile(dir / "out/Out.uc"), ReadFile(dir / "out/totem_skin.bmp")); };
    ASSERT_EQ(RunProgram(dir, a).status, 0);
    const auto fromA = set();
    ASSERT_EQ(RunProgram(dir, b).status, 0);
    const auto fromB = set();
    ASSERT_NE(fromA.second, fromB.second);
    const std::string program = VANTREL_EXPORT_PATH;
    for (int round = 0; round < 12; ++round) {
        const std::string both = "cd '" + dir.Path().string() + "' && (" + program + " -q " + a + " & " + program +
                                 " -q " + b + " & wait) >/dev/null 2>&1";
        ASSERT_EQ(std::system(both.c_str()), 0);
        EXPECT_TRUE(set() == fromA || set() == fromB) << "round " << round;
    }
}

// A signal in the middle of an export removes its temporaries and leaves the
// earlier set as it was.
TEST(HostProgramOutputs, InterruptedExportLeavesNoTemporary) {
    ScratchDir dir;
    SaveModel(*OneTriangleModel(), dir / "Tri.hm.json");
    SaveModel(*SizedModel(8000, 3000), dir / "Big.hm.json");
    ASSERT_EQ(RunProgram(dir, "Tri.hm.json Out.3D").status, 0);
    const auto earlier = OutputSetOf(dir);
    for (int signal : {SIGINT, SIGTERM}) {
        const pid_t child = fork();
        if (child == 0) {
            if (chdir(dir.Path().c_str()) != 0) _exit(127);
            execl(VANTREL_EXPORT_PATH, VANTREL_EXPORT_PATH, "Big.hm.json", "Out.3D", static_cast<char*>(nullptr));
            _exit(127);
        }
        while (NoTemporary(dir)) usleep(1000);
        usleep(100000);
        kill(child, signal);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_TRUE(NoTemporary(dir));
        EXPECT_TRUE(OutputSetOf(dir) == earlier);
    }
}

// A full file system, made with the process's file size limit at many sizes
// across all four files: exit 3 naming the file, the earlier set and log
// intact byte for byte, no temporary left.
TEST(HostProgramOutputs, FullFileSystemLeavesTheEarlierSet) {
    ScratchDir dir;
    SaveModel(*OneTriangleModel(), dir / "Tri.hm.json");
    SaveModel(*SizedModel(60, 12), dir / "Small.hm.json");
    ASSERT_EQ(RunProgram(dir, "Tri.hm.json Out.3D").status, 0);
    const auto earlier = OutputSetOf(dir);
    const std::string earlierLog = ReadFile(dir / "Out.log");
    // 512-byte steps up to the largest file (the log), each failing a different write.
    for (int blocks = 0;; ++blocks) {
        const std::string command = "cd '" + dir.Path().string() + "' && sh -c \"trap '' XFSZ; ulimit -f " +
                                    std::to_string(blocks) + "; exec " + VANTREL_EXPORT_PATH +
                                    " Small.hm.json Out.3D\" >.stdout 2>.stderr";
        const int raw = std::system(command.c_str());
        const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        const std::string err = ReadFile(dir / ".stderr");
        std::filesystem::remove(dir / ".stdout");
        std::filesystem::remove(dir / ".stderr");
        if (status == 0) {
            EXPECT_GT(blocks, 10);  // the log alone is larger than 5 KB
            break;
        }
        ASSERT_EQ(status, 3) << blocks << err;
        // The limit holds for the message too: at 0 bytes it cannot be written.
        if (blocks > 0) {
            EXPECT_NE(err.find("File too large"), std::string::npos) << blocks << err;
        }
        EXPECT_TRUE(OutputSetOf(dir) == earlier) << blocks;
        EXPECT_EQ(ReadFile(dir / "Out.log"), earlierLog) << blocks;
        EXPECT_TRUE(NoTemporary(dir)) << blocks;
    }
}

}  // namespace

namespace {

// Names and contents of the files in dir, temporaries included.
std::map<std::string, std::string> FolderContents(const std::filesystem::path& dir) {
    std::map<std::string, std::string> contents;
    for (const std::string& name : Files(dir))
        contents[name] = std::filesystem::is_directory(dir / name) ? "(folder)" : ReadFile((dir / name).string());
    return contents;
}

// Every file of an export is in its one commit, on both routes: the class
// with its sequence lines, a texture, the log or the page that cannot be
// written fails the export with exit 3 and leaves the earlier set byte for byte.
TEST(HostProgramOutputs, FileOfTheSetThatCannotBeWrittenLeavesTheEarlierSet) {
    for (const char* bake : {"exact", "host"}) {
        for (const char* blocked : {"Totem.uc", "totem_skin.bmp", "trace.log", "Totem.html"}) {
            SCOPED_TRACE(std::string(bake) + " " + blocked);
            ScratchDir dir;
            std::filesystem::create_directory(dir / "out");
            for (const char* name : {"totem.gltf", "totem_skin.png"})
                std::filesystem::copy_file(kSource + "/examples/" + name, dir / name);
            const std::string arguments =
                std::string("totem.gltf out/Totem.3D --preview --log out/trace.log --bake ") + bake;
            ASSERT_EQ(RunProgram(dir, arguments).status, 0);
            std::filesystem::remove(dir.Path() / "out" / blocked);
            std::filesystem::create_directory(dir.Path() / "out" / blocked);
            const auto earlier = FolderContents(dir / "out");
            const Outcome outcome = RunProgram(dir, arguments + " --scale 2");
            EXPECT_EQ(outcome.status, 3) << outcome.err;
            EXPECT_NE(outcome.err.find(blocked), std::string::npos) << outcome.err;
            EXPECT_TRUE(FolderContents(dir / "out") == earlier);
        }
    }
}

// The exit status follows from the kind of failure.
TEST(HostProgram, ExitStatusFollowsTheKindOfFailure) {
    ScratchDir dir;
    WriteText(dir / "empty.hm.json", R"({"meshes": []})");
    SaveModel(*SizedModel(9000, 1), dir / "big.hm.json");
    SaveModel(*OneTriangleModel(), dir / "Tri.hm.json");
    std::filesystem::create_directory(dir / "Tri_a.3d");
    std::filesystem::copy_file(kSource + "/examples/totem.gltf", dir / "totem.gltf");
    const struct {
        const char* arguments;
        int status;
    } cases[] = {
        {"empty.hm.json Out.3D", 1},           // nothing exported
        {"missing.gltf Out.3D", 2},            // bad input
        {"big.hm.json Out.3D", 2},             // a limit
        {"totem.gltf --max-memory 1 Out.3D", 2},  // the reader stopped
        {"Tri.hm.json Tri.3D", 3},             // an output that cannot be written
    };
    for (const auto& c : cases) EXPECT_EQ(RunProgram(dir, c.arguments).status, c.status) << c.arguments;
}

}  // namespace

// The README's sample output is what the program prints for the README's
// command. VANTREL_UPDATE_README=1 writes the program's output into the README.
TEST(HostProgram, ReadmeSampleIsTheProgramsOutput) {
    const std::string readmePath = kSource + "/README.md";
    std::string readme = ReadFile(readmePath);
    const std::string command = "$ build/vantrel-export examples/totem.gltf out/Totem.3D\n";
    const size_t start = readme.find(command);
    ASSERT_NE(start, std::string::npos) << "the README shows no export of the totem";
    const size_t end = readme.find("```", start);
    ASSERT_NE(end, std::string::npos);

    ScratchDir dir;
    std::filesystem::create_directories(dir / "build");
    std::filesystem::create_directory(dir / "out");
    std::filesystem::create_directory_symlink(kSource + "/examples", dir / "examples");
    std::filesystem::create_symlink(VANTREL_EXPORT_PATH, dir / "build/vantrel-export");
    // Errors and warnings come first, as they are printed while the model loads.
    const std::string shell = "cd '" + dir.Path().string() + "' && build/vantrel-export examples/totem.gltf out/Totem.3D " +
                              "2>.stderr >.stdout; cat .stderr .stdout";
    std::string printed;
    if (FILE* pipe = popen(shell.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) printed.append(buffer, n);
        pclose(pipe);
    }
    const std::string shown = readme.substr(start + command.size(), end - start - command.size());
    if (std::getenv("VANTREL_UPDATE_README") && shown != printed) {
        readme.replace(start + command.size(), shown.size(), printed);
        std::ofstream(readmePath, std::ios::binary) << readme;
        return;
    }
    EXPECT_EQ(shown, printed) << "the README's sample output differs from the program's; "
                                 "VANTREL_UPDATE_README=1 build/cli_tests --gtest_filter='*Readme*' puts it there";
}

namespace {

// The README's walk-throughs as a reader types them: in a code block, a command
// ("$ build/..." or "build/...") and the output quoted after it ("#   " lines in
// a shell block, bare lines after a "$ " command). Each quoted line must be a
// line of what the program prints now, in the order quoted.
TEST(Readme, QuotedOutputIsWhatTheProgramsPrint) {
    ScratchDir dir;
    std::filesystem::create_directory_symlink(kSource + "/examples", dir / "examples");
    std::filesystem::create_directory_symlink(std::filesystem::path(VANTREL_EXPORT_PATH).parent_path(), dir / "build");
    std::istringstream readme(ReadFile(kSource + "/README.md"));
    // Each block's commands, with what is quoted after each; only blocks that quote run.
    using Command = std::pair<std::string, std::vector<std::string>>;
    std::vector<std::vector<Command>> blocks;
    bool inBlock = false, dollarBlock = false;
    for (std::string line; std::getline(readme, line);) {
        if (line.rfind("```", 0) == 0) {
            inBlock = !inBlock;
            dollarBlock = false;
            if (inBlock) blocks.emplace_back();
            continue;
        }
        if (!inBlock) continue;
        std::vector<Command>& commands = blocks.back();
        const bool dollar = line.rfind("$ ", 0) == 0;
        if (dollar) dollarBlock = true;
        const std::string command = dollar ? line.substr(2) : line;
        if (command.rfind("build/", 0) == 0 || command.rfind("mkdir ", 0) == 0)
            commands.push_back({command.substr(0, command.find("  #")), {}});
        else if (!commands.empty() && (line.rfind("#   ", 0) == 0 || (dollarBlock && !dollar)))
            commands.back().second.push_back(line.rfind("#   ", 0) == 0 ? line.substr(4) : line);
    }
    size_t quoted = 0;
    for (const std::vector<Command>& commands : blocks) {
        if (std::all_of(commands.begin(), commands.end(), [](const Command& c) { return c.second.empty(); })) continue;
        for (const auto& [command, expected] : commands) {
            const std::string run = "cd '" + dir.Path().string() + "' && " + command + " >.out 2>&1 </dev/null";
            ASSERT_EQ(std::system(run.c_str()), 0) << command << "\n" << ReadFile(dir / ".out");
            std::istringstream printed(ReadFile(dir / ".out"));
            size_t next = 0;
            for (std::string line; std::getline(printed, line) && next < expected.size();)
                if (line == expected[next]) ++next;
            if (!expected.empty()) {
                EXPECT_EQ(next, expected.size()) << command << ": the README quotes \"" << expected[std::min(next, expected.size() - 1)]
                                                 << "\"; the program printed\n" << ReadFile(dir / ".out");
            }
            quoted += expected.size();
        }
    }
    EXPECT_GE(quoted, 12u) << "the walk-throughs were not found";
}

}  // namespace
