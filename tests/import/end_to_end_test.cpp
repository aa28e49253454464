// Imported models through the real host program and plug-in: the animation
// file, decoded with the script's mesh scale, against Assimp's own data.
#include "host/model_json.h"
#include "tests/import/pose_check.h"
#include "tests/import/test_files.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <regex>

namespace {

using testing_pose::AssimpReference;
using testing_pose::Point;
using testing_support::ReadFile;
using testing_support::ScratchDir;

const std::string kData = TEST_DATA_DIR;
const std::string kExamples = EXAMPLES_DIR;

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome RunProgram(const ScratchDir& dir, const std::string& arguments) {
    const std::string command = "cd '" + dir.Path().string() + "' && " + VANTREL_EXPORT_PATH + " " + arguments +
                                " >.stdout 2>.stderr </dev/null";
    const int raw = std::system(command.c_str());
    Outcome outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(dir / ".stdout"), ReadFile(dir / ".stderr")};
    std::filesystem::remove(dir / ".stdout");
    std::filesystem::remove(dir / ".stderr");
    return outcome;
}

// The animation file: per frame, per vertex, the quantised x, y and z in the host's axes.
struct Animation {
    int frames = 0;
    std::vector<std::vector<std::array<int, 3>>> records;
};

Animation ReadAnimation(const std::string& path, size_t vertices) {
    const std::string bytes = ReadFile(path);
    Animation animation;
    if (bytes.size() < 4) return animation;
    auto read16 = [&](size_t at) {
        int16_t value;
        std::memcpy(&value, bytes.data() + at, 2);
        return static_cast<int>(value);
    };
    animation.frames = static_cast<uint16_t>(read16(0));
    EXPECT_EQ(bytes.size(), 4 + 8 * vertices * static_cast<size_t>(animation.frames));
    for (int f = 0; f < animation.frames; ++f) {
        animation.records.emplace_back();
        for (size_t v = 0; v < vertices; ++v) {
            const size_t at = 4 + 8 * (static_cast<size_t>(f) * vertices + v);
            animation.records.back().push_back({read16(at), read16(at + 4), read16(at + 2)});  // file y is host z
        }
    }
    return animation;
}

// MESHMAP SCALE's X: one quantisation step in model units.
double StepFromScript(const std::string& script) {
    std::smatch match;
    if (!std::regex_search(script, match, std::regex("MESHMAP SCALE MESHMAP=\\w+ X=([0-9.]+)"))) return 0;
    return std::stod(match[1]);
}

struct Sequence {
    std::string name;
    int start;
    int frames;
};

std::vector<Sequence> SequencesPrinted(const std::string& out) {
    std::vector<Sequence> sequences;
    const std::regex line("#exec MESH SEQUENCE MESH=\\w+ SEQ=(\\w+) STARTFRAME=(\\d+) NUMFRAMES=(\\d+)");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it)
        sequences.push_back({(*it)[1], std::stoi((*it)[2]), std::stoi((*it)[3])});
    return sequences;
}

// The reference position of every vertex at every exported frame.
std::vector<std::vector<Point>> ReferenceFrames(const std::string& path, const std::vector<Sequence>& sequences,
                                                double fps, double scale, const std::string& onlyClip = "") {
    AssimpReference reference(path);
    EXPECT_TRUE(reference.Loaded());
    std::vector<std::vector<Point>> frames;
    auto add = [&](std::vector<Point> points) {
        for (Point& p : points)
            for (double& c : p) c *= scale;
        frames.push_back(std::move(points));
    };
    if (sequences.empty()) add(reference.Pose(-1, 0));
    for (const Sequence& sequence : sequences) {
        int clip = -1;
        for (unsigned i = 0; i < reference.Scene().mNumAnimations; ++i) {
            const std::string name = reference.Scene().mAnimations[i]->mName.C_Str();
            if (name == sequence.name || (name.empty() && sequence.name == "clip" + std::to_string(i))) clip = static_cast<int>(i);
        }
        EXPECT_GE(clip, 0) << sequence.name;
        EXPECT_TRUE(onlyClip.empty() || onlyClip == sequence.name);
        for (int f = 0; f < sequence.frames; ++f) add(reference.Pose(clip, f / fps));
    }
    return frames;
}

// Decodes every record with the script's step and the offset the writer
// derives (the centre of the box around every posed vertex and the origin),
// and returns the largest error in steps.
double WorstErrorInSteps(const Animation& animation, const std::vector<std::vector<Point>>& expected, double step) {
    EXPECT_EQ(static_cast<size_t>(animation.frames), expected.size());
    if (static_cast<size_t>(animation.frames) != expected.size() || step <= 0) return INFINITY;
    Point low{0, 0, 0}, high{0, 0, 0};
    for (const auto& frame : expected)
        for (const Point& p : frame)
            for (int a = 0; a < 3; ++a) {
                low[a] = std::min(low[a], p[a]);
                high[a] = std::max(high[a], p[a]);
            }
    double worst = 0;
    for (size_t f = 0; f < expected.size(); ++f)
        for (size_t v = 0; v < expected[f].size(); ++v)
            for (int a = 0; a < 3; ++a) {
                const double decoded = animation.records[f][v][a] * step + (low[a] + high[a]) / 2;
                worst = std::max(worst, std::fabs(decoded - expected[f][v][a]) / step);
            }
    return worst;
}

size_t VertexCount(const std::string& dataFile) {
    const std::string bytes = ReadFile(dataFile);
    uint16_t count = 0;
    if (bytes.size() >= 4) std::memcpy(&count, bytes.data() + 2, 2);
    return count;
}

// Exports the file and checks every frame; returns the worst error in quantisation steps.
double ExportAndCompare(const std::string& model, const std::string& options = "", double fps = 30, double scale = 1,
                        const std::string& onlyClip = "") {
    ScratchDir dir;
    const Outcome outcome = RunProgram(dir, "'" + model + "' Out.3D " + options);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    const auto sequences = SequencesPrinted(outcome.out);
    const Animation animation = ReadAnimation(dir / "Out_a.3d", VertexCount(dir / "Out_d.3d"));
    return WorstErrorInSteps(animation, ReferenceFrames(model, sequences, fps, scale, onlyClip),
                             StepFromScript(ReadFile(dir / "Out.uc")));
}

// Truncation toward zero loses up to one step; the script's six decimals
// and float arithmetic add a little.
constexpr double kStepTolerance = 1.02;

TEST(ImportedExport, RealFilesMatchAssimpAtEveryFrame) {
    EXPECT_LT(ExportAndCompare(kData + "/SimpleSkin/SimpleSkin.gltf"), kStepTolerance);
    EXPECT_LT(ExportAndCompare(kData + "/RiggedSimple/RiggedSimple.gltf"), kStepTolerance);
    EXPECT_LT(ExportAndCompare(kData + "/greenman/greenman.glb"), kStepTolerance);
    EXPECT_LT(ExportAndCompare(kExamples + "/totem.gltf"), kStepTolerance);
    EXPECT_LT(ExportAndCompare(kData + "/sample/animated.fbx"), kStepTolerance);
    EXPECT_LT(ExportAndCompare(kData + "/sample/animated_arm.dae"), kStepTolerance);
    EXPECT_LT(ExportAndCompare(kData + "/sample/animated_arm_zup.dae"), kStepTolerance);
}

TEST(ImportedExport, ModelsWithoutAnimationExportTheirRest) {
    EXPECT_LT(ExportAndCompare(kData + "/sample/static_scaled.gltf"), kStepTolerance);
    EXPECT_LT(ExportAndCompare(kData + "/sample/static.dae"), kStepTolerance);
}

TEST(ImportedExport, OptionsShapeTheExport) {
    EXPECT_LT(ExportAndCompare(kData + "/greenman/greenman.glb", "--clip 1_idle --fps 12 --scale 40", 12, 40, "1_idle"),
              kStepTolerance);
}

TEST(ImportedExport, EmbeddedTextureLandsBesideTheOutputsAndTheScriptNamesIt) {
    ScratchDir dir;
    std::filesystem::create_directory(dir / "art");
    const Outcome outcome = RunProgram(dir, "'" + kData + "/greenman/greenman.glb' art/Greenman.3D");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(testing_support::Files(dir / "art"),
              (std::vector<std::string>{"Greenman.uc", "Greenman_a.3d", "Greenman_d.3d", "greenman_body.png"}));
    const std::string script = ReadFile(dir / "art/Greenman.uc");
    EXPECT_NE(script.find("FILE=textures\\greenman_body.png"), std::string::npos);
    EXPECT_NE(script.find("animation sections\r\n"
                          "#exec MESH SEQUENCE MESH=Greenman SEQ=0_pose STARTFRAME=0 NUMFRAMES=6\r\n"
                          "#exec MESH SEQUENCE MESH=Greenman SEQ=1_idle STARTFRAME=6 NUMFRAMES=76\r\n"
                          "#exec MESH SEQUENCE MESH=Greenman SEQ=2_move STARTFRAME=82 NUMFRAMES=39\r\n"
                          "#exec MESH SEQUENCE MESH=Greenman SEQ=3_attack STARTFRAME=121 NUMFRAMES=26\r\n\r\n"
                          "#exec MESHMAP NEW"),
              std::string::npos)
        << script;
    EXPECT_NE(outcome.out.find("#exec MESH SEQUENCE MESH=Greenman SEQ=2_move STARTFRAME=82 NUMFRAMES=39\n"),
              std::string::npos)
        << outcome.out;
    EXPECT_NE(outcome.err.find("warning: 158 vertices had more than one bone influence"), std::string::npos);
}

// The host model file has no clips; --no-sequences leaves the plug-in's script as it is.
TEST(ImportedExport, DumpedHostModelExportsTheSameBytes) {
    ScratchDir dir;
    const std::string model = "'" + kData + "/greenman/greenman.glb'";
    ASSERT_EQ(RunProgram(dir, model + " --dump greenman.hm.json").status, 0);
    EXPECT_EQ(testing_support::Files(dir.Path()), std::vector<std::string>{"greenman.hm.json"});
    std::filesystem::create_directory(dir / "direct");
    std::filesystem::create_directory(dir / "dumped");
    ASSERT_EQ(RunProgram(dir, model + " direct/G.3D --no-sequences").status, 0);
    ASSERT_EQ(RunProgram(dir, "greenman.hm.json dumped/G.3D").status, 0);
    for (const char* file : {"G_a.3d", "G_d.3d", "G.uc"})
        EXPECT_EQ(ReadFile(dir / ("direct/" + std::string(file))), ReadFile(dir / ("dumped/" + std::string(file)))) << file;
}

TEST(ImportedExport, InfoAndListDescribeWithoutWriting) {
    ScratchDir dir;
    const std::string model = "'" + kData + "/greenman/greenman.glb'";
    const Outcome info = RunProgram(dir, model + " --info");
    EXPECT_EQ(info.status, 0);
    EXPECT_NE(info.out.find("Meshes: 1\n  0 \"1_body\": 196 vertices, 356 triangles\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Bones: 9\n  0 root, 147 position and 147 rotation keys\n"), std::string::npos);
    EXPECT_NE(info.out.find("Frames: 147\n"), std::string::npos);
    EXPECT_NE(info.out.find("  0 \"body\": texture greenman_body.png\n"), std::string::npos);
    EXPECT_NE(info.out.find("  3_attack: 0.833 s, 26 frames, frames 121 to 146\n"), std::string::npos);
    const Outcome list = RunProgram(dir, model + " --list --fps 24");
    EXPECT_EQ(list.status, 0);
    EXPECT_NE(list.out.find("4 clip(s), frames at 24 per second; name them to --clip as in the first column:\n  0_pose  0.167 s  5 frames\n"), std::string::npos)
        << list.out;
    EXPECT_TRUE(testing_support::Files(dir.Path()).empty());
    const Outcome dump = RunProgram(dir, model + " --dump nowhere/G.hm.json");
    EXPECT_EQ(dump.status, 3);
    EXPECT_NE(dump.err.find("nowhere/G.hm.json"), std::string::npos) << dump.err;
}

TEST(ImportedExport, BadFilesExitTwoAndWriteNothing) {
    ScratchDir dir;
    const std::string glb = ReadFile(kData + "/greenman/greenman.glb");
    std::filesystem::create_directory(dir / "in");
    test_files::WriteText(dir / "in/truncated.glb", glb.substr(0, glb.size() / 3));
    test_files::WriteText(dir / "in/notes.fbx", "not a model at all\n");
    test_files::WriteText(dir / "in/empty.gltf", test_files::NoMeshGltf());
    test_files::WriteText(dir / "in/bones.gltf", test_files::ChainGltf(130));
    for (const std::string name : {"missing.glb", "truncated.glb", "notes.fbx", "empty.gltf", "bones.gltf"}) {
        const Outcome outcome = RunProgram(dir, "in/" + name + " Out.3D");
        EXPECT_EQ(outcome.status, 2) << name;
        EXPECT_EQ(outcome.err.rfind("vantrel-export: in/" + name + ": ", 0), 0u) << outcome.err;
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    }
    const Outcome tooManyFrames = RunProgram(dir, "'" + kData + "/SimpleSkin/SimpleSkin.gltf' Out.3D --fps 12000");
    EXPECT_EQ(tooManyFrames.status, 2);
    EXPECT_NE(tooManyFrames.err.find("66001 frames in all; the format holds at most 65535 (--force exports anyway)"),
              std::string::npos);
    EXPECT_EQ(testing_support::Files(dir.Path()), std::vector<std::string>{"in"});
}

}  // namespace

namespace {

// The first hour with an imported model: what a newcomer types, and what they must get.
TEST(ImportedExport, FirstHourCommandLines) {
    struct Case {
        std::string arguments;  // run in a folder holding out/ and a totem whose first clip is "Armature|Sway"
        int status;
        std::vector<std::string> out;  // each found in standard output
        std::vector<std::string> files;  // out/'s files afterwards
        std::vector<std::string> script;  // each found in out/'s script class
    };
    const std::string rigged = "'" + kData + "/RiggedSimple/RiggedSimple.gltf'";
    const std::string fbx = "'" + kData + "/sample/animated.fbx'";
    const std::vector<std::string> totem = {"totem.uc", "totem_a.3d", "totem_d.3d", "totem_skin.png"};
    const std::vector<Case> cases = {
        {rigged + " out", 0, {"  ->  textures\\RiggedSimple_Material_001-e.bmp\n"},
         {"RiggedSimple.uc", "RiggedSimple_Material_001-e.bmp", "RiggedSimple_a.3d", "RiggedSimple_d.3d"},
         {"FILE=textures\\RiggedSimple_Material_001-e.bmp GROUP"}},
        {"totem.gltf out/ --clip Armature_Sway", 0, {"out/totem_skin.png ", "frames 61\n"}, totem,
         {"SEQ=Armature_Sway STARTFRAME=0 NUMFRAMES=61\r\n\r\n#exec MESHMAP"}},
        {"totem.gltf out --clip Hop --clip 'Armature|Sway'", 0, {"Vertices 65, triangles 112, frames 92\n"}, totem,
         {"SEQ=Hop STARTFRAME=0 NUMFRAMES=31\r\n#exec MESH SEQUENCE MESH=totem SEQ=Armature_Sway STARTFRAME=31 NUMFRAMES=61\r\n"}},
        {"totem.gltf out --clip Hop --clip Hop", 2, {}, {}, {}},
        {"totem.gltf out --clip Sway", 2, {}, {}, {}},
        {fbx + " out", 0, {"try --scale 0.01\n", "Size: 1.1 wide, 3 tall, 1.1 deep"},
         {"animated.uc", "animated_a.3d", "animated_d.3d", "animated_skin.png"}, {}},
        {fbx + " --scale 0.01 -o out/Small", 0, {"Size: 0.011 wide, 0.03 tall"},
         {"Small.uc", "Small_a.3d", "Small_d.3d", "animated_skin.png"}, {}},
        {"totem.gltf --info", 0, {"Vertices: 65\nTriangles: 112\n", "Size: 1.1 wide, 3 tall, 1.1 deep"}, {}, {}},
    };
    std::string gltf = ReadFile(kExamples + "/totem.gltf");
    gltf.replace(gltf.find("\"Sway\""), 6, "\"Armature|Sway\"");
    for (const Case& c : cases) {
        ScratchDir dir;
        std::filesystem::create_directory(dir / "out");
        std::ofstream(dir / "totem.gltf", std::ios::binary) << gltf;
        std::filesystem::copy_file(kExamples + "/totem_skin.png", dir / "totem_skin.png");
        const Outcome outcome = RunProgram(dir, c.arguments);
        EXPECT_EQ(outcome.status, c.status) << c.arguments << "\n" << outcome.err;
        for (const std::string& text : c.out)
            EXPECT_NE(outcome.out.find(text), std::string::npos) << c.arguments << ": " << text << "\n" << outcome.out;
        EXPECT_EQ(testing_support::Files(dir / "out"), c.files) << c.arguments;
        const std::vector<std::string> files = testing_support::Files(dir / "out");
        for (const std::string& name : files)
            if (name.size() > 3 && name.compare(name.size() - 3, 3, ".uc") == 0) {
                const std::string script = ReadFile(dir / ("out/" + name));
                EXPECT_EQ(script.find("FILE=textures\\ "), std::string::npos) << c.arguments;
                for (const std::string& text : c.script)
                    EXPECT_NE(script.find(text), std::string::npos) << c.arguments << ": " << text << "\n" << script;
            }
    }
}

}  // namespace
