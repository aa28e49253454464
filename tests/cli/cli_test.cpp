// The host program end to end: the real executable, the real plug-in, real files.
#include "host/model_json.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fstream>

using namespace testing_support;

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

// Runs vantrel-export with the given arguments in dir, stdin closed.
Outcome RunProgram(const ScratchDir& dir, const std::string& arguments) {
    std::string command = "cd '" + dir.Path().string() + "' && " + VANTREL_EXPORT_PATH + " " + arguments +
                          " >.stdout 2>.stderr </dev/null";
    int raw = std::system(command.c_str());
    Outcome outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(dir / ".stdout"), ReadFile(dir / ".stderr")};
    std::filesystem::remove(dir / ".stdout");
    std::filesystem::remove(dir / ".stderr");
    return outcome;
}

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

void SaveModel(const hmModel& model, const std::string& path) {
    std::string error;
    ASSERT_TRUE(hm::SaveModelJson(model, path, error)) << error;
}

TEST(HostProgram, ExportsAModelWithItsDefaultName) {
    ScratchDir dir;
    SaveModel(*OneTriangleModel(), dir / "Tri.hm.json");
    Outcome outcome = RunProgram(dir, "-v Tri.hm.json");
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_NE(outcome.out.find("Plug-in: Vantrel 3d..."), std::string::npos);
    EXPECT_NE(outcome.out.find("VantrelExport.log"), std::string::npos);
    std::string log = ReadFile(dir / "VantrelExport.log");
    EXPECT_EQ(log.rfind("Tri_d.3dTri_a.3d", 0), 0u) << log;
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
    const std::vector<std::string> exported = {"Tri.hm.json", "Tri.uc", "Tri_a.3d", "Tri_d.3d", "VantrelExport.log"};
    const std::vector<std::string> untouched = {"Tri.hm.json"};
    const std::vector<Case> cases = {
        {"Tri.hm.json", 0, "Vertices 3, triangles 1, frames 1\n", "", exported},
        {"Tri.hm.json", 0, "  Tri.uc                 ", "", exported},
        {"Tri.hm.json", 0, "->  MODELS\\Tri_a.3d\n", "", exported},
        {"Tri.hm.json", 0, "Size: 2 wide, 4 tall, 0 deep (model units, at rest)\n", "", exported},
        {"Tri.hm.json", 0, "Mesh-map scale 0.015625: positions are stored in steps of 0.015625 units", "", exported},
        {"-q Tri.hm.json", 0, "", "", exported},
        {"Tri.hm.json --no-log", 0, "Tri.uc", "", {"Tri.hm.json", "Tri.uc", "Tri_a.3d", "Tri_d.3d"}},
        {"Tri.hm.json --log trace.txt", 0, "trace.txt: the diagnostic log",  "",
         {"Tri.hm.json", "Tri.uc", "Tri_a.3d", "Tri_d.3d", "trace.txt"}},
        {"Tri.hm.json -o Guard", 0, "Exported Guard.", "", {"Guard.uc", "Guard_a.3d", "Guard_d.3d", "Tri.hm.json",
                                                               "VantrelExport.log"}},
        {"Tri.hm.json 2-guard.3D", 2, "", "the class would be named \"2-guard\"", untouched},
        {"Tri.hm.json out/", 2, "", "out/: no such folder", untouched},
        {"Tri.hm.json --ask", 2, "", "--ask needs a terminal", untouched},
        {"Tri.hm.json --scale 2 --clip Walk", 2, "", "--scale, --clip: only for models in common 3D formats", untouched},
        {"Tri.hm.json --list", 0, "it exports its 1 frame(s)", "", untouched},
        {"Tri.hm.json --fsp 3", 2, "", "unknown option --fsp; did you mean --fps?", untouched},
        {"Tri.hm.json --log trace.txt --no-log", 2, "", "contradict", untouched},
        {"Tri.hm.json --fps", 2, "", "vantrel-export: --fps needs a value\n", untouched},
        {"Tri.hm.json A.3D -o B.3D", 2, "", "give one", untouched},
        {"--version", 0, "vantrel-export 1.0.0 (Assimp 5.", "", untouched},
        {"--help", 0, "Output:\n  -o,--output NAME|FOLDER", "", untouched},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        SaveModel(*OneTriangleModel(), dir / "Tri.hm.json");
        const Outcome outcome = RunProgram(dir, c.arguments);
        EXPECT_EQ(outcome.status, c.status) << c.arguments << "\n" << outcome.err;
        EXPECT_NE(outcome.out.find(c.out), std::string::npos) << c.arguments << "\n" << outcome.out;
        if (c.err.empty()) EXPECT_EQ(outcome.err, "") << c.arguments;
        else EXPECT_EQ(outcome.err, "vantrel-export: " + outcome.err.substr(16, outcome.err.find('\n') - 16) + "\n")
            << c.arguments << ": one line\n" << outcome.err;
        EXPECT_NE(outcome.err.find(c.err), std::string::npos) << c.arguments << "\n" << outcome.err;
        EXPECT_EQ(Files(dir.Path()), c.files) << c.arguments;
    }
}

TEST(HostProgram, FolderDestinationGetsTheModelsName) {
    ScratchDir dir;
    SaveModel(*OneTriangleModel(), dir / "Tri.hm.json");
    std::filesystem::create_directory(dir / "out");
    for (const char* destination : {"out", "out/"}) {
        const Outcome outcome = RunProgram(dir, std::string("Tri.hm.json ") + destination);
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(Files(dir / "out"), (std::vector<std::string>{"Tri.uc", "Tri_a.3d", "Tri_d.3d"})) << destination;
        EXPECT_NE(ReadFile(dir / "out/Tri.uc").find("class Tri extends Actor;"), std::string::npos);
    }
}

TEST(HostProgram, LogAskedForElsewhereLeavesTheCurrentOneAlone) {
    ScratchDir dir;
    SaveModel(*OneTriangleModel(), dir / "Tri.hm.json");
    WriteText(dir / "VantrelExport.log", "an earlier run's");
    EXPECT_EQ(RunProgram(dir, "Tri.hm.json --no-log").status, 0);
    EXPECT_EQ(ReadFile(dir / "VantrelExport.log"), "an earlier run's");
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
    for (const char* name : {"Sample_d.3d", "Sample_a.3d", "Sample.uc", "VantrelExport.log"})
        EXPECT_TRUE(ReadFile(dir / name) == ReadFile(kSource + "/tests/data/golden/" + name)) << name;
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
    for (const std::string& name : Files(dir.Path())) EXPECT_EQ(name.find("vantrel-tmp"), std::string::npos);
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
    EXPECT_EQ(ReadFile(dir / "VantrelExport.log"),
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

}  // namespace
