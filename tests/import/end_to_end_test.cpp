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
#include <map>
#include <regex>

namespace {

using testing_pose::AssimpReference;
using testing_pose::Point;
using testing_pose::Skinning;
using testing_support::ReadFile;
using testing_support::ScratchDir;

const std::string kData = TEST_DATA_DIR;
const std::string kExamples = EXAMPLES_DIR;
// Over the format's limits, from Debian's assimp-testmodels when installed.
const std::string kCorpus = "/usr/share/assimp/models";
const std::string kCorpusEngine = kCorpus + "/glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb";

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
                                                Skinning skinning, double fps, double scale,
                                                const std::string& onlyClip = "") {
    AssimpReference reference(path);
    EXPECT_TRUE(reference.Loaded());
    std::vector<std::vector<Point>> frames;
    auto add = [&](std::vector<Point> points) {
        for (Point& p : points)
            for (double& c : p) c *= scale;
        frames.push_back(std::move(points));
    };
    if (sequences.empty()) add(reference.Pose(-1, 0, skinning));
    for (const Sequence& sequence : sequences) {
        int clip = -1;
        for (unsigned i = 0; i < reference.Scene().mNumAnimations; ++i) {
            const std::string name = reference.Scene().mAnimations[i]->mName.C_Str();
            if (name == sequence.name || (name.empty() && sequence.name == "clip" + std::to_string(i))) clip = static_cast<int>(i);
        }
        EXPECT_GE(clip, 0) << sequence.name;
        EXPECT_TRUE(onlyClip.empty() || onlyClip == sequence.name);
        for (int f = 0; f < sequence.frames; ++f) add(reference.Pose(clip, f / fps, skinning));
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

// Exports the file and checks every frame against the reference skinned as
// asked; returns the worst error in quantisation steps.
double ExportAndCompare(const std::string& model, const std::string& options = "", Skinning skinning = Skinning::kFull,
                        double fps = 30, double scale = 1, const std::string& onlyClip = "") {
    ScratchDir dir;
    // The reference is the file's vertices, one for one.
    const Outcome outcome = RunProgram(dir, "'" + model + "' Out.3D --no-weld " + options);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    const auto sequences = SequencesPrinted(outcome.out);
    const Animation animation = ReadAnimation(dir / "Out_a.3d", VertexCount(dir / "Out_d.3d"));
    return WorstErrorInSteps(animation, ReferenceFrames(model, sequences, skinning, fps, scale, onlyClip),
                             StepFromScript(ReadFile(dir / "Out.uc")));
}

// Truncation toward zero loses up to one step; the script's six decimals
// and float arithmetic add a little.
constexpr double kStepTolerance = 1.02;

// The plug-in's path poses every vertex by its heaviest bone, as the host would.
TEST(ImportedExport, HostBakeMatchesHeaviestBoneSkinningAtEveryFrame) {
    for (const std::string& model :
         {kData + "/SimpleSkin/SimpleSkin.gltf", kData + "/RiggedSimple/RiggedSimple.gltf",
          kData + "/greenman/greenman.glb", kExamples + "/totem.gltf", kData + "/sample/animated.fbx",
          kData + "/sample/animated_arm.dae", kData + "/sample/animated_arm_zup.dae"})
        EXPECT_LT(ExportAndCompare(model, "--bake host", Skinning::kHeaviestBone), kStepTolerance) << model;
}

// The default bake follows the source's full deformation on every model; the
// table printed compares it with the host bake, both against that deformation.
TEST(ImportedExport, ExactBakeMatchesFullSkinningAtEveryFrame) {
    ScratchDir built;
    test_files::WriteText(built / "bones200_influences8_morph.gltf",
                          test_files::LadderGltf(test_files::FaceRigLadder()));
    test_files::LadderOptions elbow;  // a wide elbow bent 120 degrees, its middle held nearly equally by both sides
    elbow.bendDegrees = 240;
    elbow.halfWidth = 1;
    test_files::WriteText(built / "elbow.gltf", test_files::LadderGltf(elbow));
    test_files::WriteText(built / "prop.gltf", test_files::PropOnAnimatedNodeGltf());
    struct Row {
        std::string model;
        bool hostExports;
    };
    const Row rows[] = {{kData + "/SimpleSkin/SimpleSkin.gltf", true},
                        {kData + "/RiggedSimple/RiggedSimple.gltf", true},
                        {kData + "/greenman/greenman.glb", true},
                        {kExamples + "/totem.gltf", true},
                        {kData + "/sample/animated.fbx", true},
                        {kData + "/sample/animated_arm.dae", true},
                        {kData + "/sample/animated_arm_zup.dae", true},
                        {built / "bones200_influences8_morph.gltf", false},
                        {built / "elbow.gltf", true},
                        {built / "prop.gltf", true}};
    std::printf("%-34s %10s %10s\n", "worst error in steps", "host", "exact");
    for (const Row& row : rows) {
        const double exact = ExportAndCompare(row.model);
        const double host = row.hostExports ? ExportAndCompare(row.model, "--bake host") : NAN;
        EXPECT_LT(exact, kStepTolerance) << row.model;
        std::printf("%-34s %10.2f %10.2f\n", std::filesystem::path(row.model).filename().c_str(), host, exact);
        if (row.model == built / "elbow.gltf") {
            EXPECT_GT(host, 20);
        }
    }
}

// However many threads pose and write the frames, every file is the same,
// byte for byte: one thread poses from the host's model, more from copies.
TEST(ImportedExport, OneThreadAndManyWriteTheSameFiles) {
    ScratchDir built;
    test_files::WriteText(built / "bones200_influences8_morph.gltf",
                          test_files::LadderGltf(test_files::FaceRigLadder()));
    for (const std::string& model :
         {kData + "/SimpleSkin/SimpleSkin.gltf", kData + "/RiggedSimple/RiggedSimple.gltf",
          kData + "/greenman/greenman.glb", kData + "/sample/animated.fbx",
          built / "bones200_influences8_morph.gltf"})
        for (const std::string bake : {"host", "exact"}) {
            std::map<std::string, std::string> written[2];
            int status[2];
            for (int run = 0; run < 2; ++run) {
                ScratchDir dir;
                status[run] = RunProgram(dir, "'" + model + "' Out.3D --bake " + bake + " --threads " +
                                                  (run == 0 ? "1" : "3")).status;
                for (const std::string& name : testing_support::Files(dir.Path()))
                    written[run][name] = ReadFile(dir / name);
            }
            EXPECT_EQ(status[0], status[1]) << model << " " << bake;
            EXPECT_TRUE(written[0] == written[1]) << model << " " << bake;
            if (status[0] == 0) {
                EXPECT_TRUE(written[0].count("Out_a.3d") && written[0].count("Out.log")) << model;
            }
        }
}

// Per triangle, the record's fields after its corners (type, colour, texture
// bytes, slot, flags), and each corner's position records at every frame.
struct Drawn {
    std::vector<std::string> fields;
    std::vector<std::vector<std::array<int, 3>>> corners;  // per corner (3 per triangle), per frame
    double step = 0;
    size_t vertices = 0;
};

Drawn ReadDrawn(const ScratchDir& dir) {
    Drawn drawn;
    const std::string data = ReadFile(dir / "Out_d.3d");
    drawn.vertices = VertexCount(dir / "Out_d.3d");
    const Animation animation = ReadAnimation(dir / "Out_a.3d", drawn.vertices);
    for (size_t at = 48; at + 16 <= data.size(); at += 16) {
        drawn.fields.push_back(data.substr(at + 6, 10));
        for (size_t k = 0; k < 3; ++k) {
            uint16_t corner;
            std::memcpy(&corner, data.data() + at + 2 * k, 2);
            auto& frames = drawn.corners.emplace_back();
            for (const auto& frame : animation.records) frames.push_back(frame.at(corner));
        }
    }
    drawn.step = StepFromScript(ReadFile(dir / "Out.uc"));
    return drawn;
}

// Welding must not move a single decoded point: every triangle draws the same
// texture bytes and the same records at every frame, with the same scale.
TEST(ImportedExport, WeldingDrawsTheSameTrianglesWithFewerVertices) {
    struct Row {
        std::string model;
        bool splitByNormals;  // the file holds vertices the format cannot tell apart
        bool weightsDiffer = false;  // ... but by their weights, which only the exact bake poses
        bool uvSeams = false;  // vertices apart only by texture coordinates, which the exact route keeps per corner
    };
    ScratchDir built;
    // A cube whose faces each have their own normal: the reader makes 4 vertices a face.
    test_files::WriteText(built / "cube.obj",
                          "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 0 1\nv 1 0 1\nv 1 1 1\nv 0 1 1\n"
                          "vn 0 0 -1\nvn 0 0 1\nvn 0 -1 0\nvn 0 1 0\nvn -1 0 0\nvn 1 0 0\n"
                          "f 1//1 4//1 3//1 2//1\nf 5//2 6//2 7//2 8//2\nf 1//3 2//3 6//3 5//3\n"
                          "f 4//4 8//4 7//4 3//4\nf 1//5 5//5 8//5 4//5\nf 2//6 3//6 7//6 6//6\n");
    // A sheet whose back faces hold each vertex a little otherwise than its front.
    test_files::LadderOptions sheet;
    sheet.backFaces = true;
    test_files::WriteText(built / "sheet.gltf", test_files::LadderGltf(sheet));
    const Row rows[] = {{kData + "/SimpleSkin/SimpleSkin.gltf", false},
                             {kData + "/RiggedSimple/RiggedSimple.gltf", false},
                             {kData + "/greenman/greenman.glb", false, false, true},
                             {kExamples + "/totem.gltf", false},
                             {kData + "/sample/animated.fbx", false, false, true},
                             {kData + "/sample/animated_arm.dae", false, false, true},
                             {built / "cube.obj", true},
                             {built / "sheet.gltf", false, true}};

    std::printf("%-22s %-6s %9s %9s %10s %10s\n", "vertices", "bake", "file", "welded", "_a.3d", "welded");
    for (const Row& row : rows)
        for (const std::string bake : {"exact", "host"}) {
            ScratchDir whole, welded;
            ASSERT_EQ(RunProgram(whole, "'" + row.model + "' Out.3D --no-weld --bake " + bake).status, 0);
            ASSERT_EQ(RunProgram(welded, "'" + row.model + "' Out.3D --bake " + bake).status, 0);
            const Drawn before = ReadDrawn(whole), after = ReadDrawn(welded);
            EXPECT_EQ(after.fields, before.fields) << row.model;
            EXPECT_TRUE(after.corners == before.corners) << row.model << " " << bake;
            EXPECT_EQ(after.step, before.step) << row.model;
            if (row.splitByNormals || (row.weightsDiffer && bake == "host") || (row.uvSeams && bake == "exact"))
                EXPECT_LT(after.vertices, before.vertices) << row.model << " " << bake;
            else EXPECT_EQ(after.vertices, before.vertices) << row.model << " " << bake;
            std::printf("%-22s %-6s %9zu %9zu %10ju %10ju\n", std::filesystem::path(row.model).filename().c_str(),
                        bake.c_str(), before.vertices, after.vertices,
                        uintmax_t(std::filesystem::file_size(whole / "Out_a.3d")),
                        uintmax_t(std::filesystem::file_size(welded / "Out_a.3d")));
        }
}

// The counts after --fit are the files' own, and the printed error is the one
// the simplifier reached, below the tolerance it was given.
TEST(ImportedExport, OverTheLimitsStopsAndFitExportsWithinThem) {
    int tried = 0;
    for (const std::string& model : {kCorpusEngine, kCorpus + "/BLEND/SuzanneSubdiv_252.blend"}) {
        if (!std::filesystem::exists(model)) continue;
        ++tried;
        ScratchDir dir;
        const Outcome refused = RunProgram(dir, "'" + model + "' Out.3D");
        EXPECT_EQ(refused.status, 2) << model;
        EXPECT_NE(refused.err.find("; --fit simplifies the model to what the format holds"), std::string::npos)
            << refused.err;
        // The engine's file splits its vertices by normals.
        if (model == kCorpusEngine) {
            EXPECT_NE(RunProgram(dir, "'" + model + "' --info").out.find("Welded: 84657 vertices to 60363"),
                      std::string::npos);
        }
        const Outcome fitted = RunProgram(dir, "'" + model + "' Out.3D --fit");
        ASSERT_EQ(fitted.status, 0) << fitted.err;
        const std::string data = ReadFile(dir / "Out_d.3d");
        uint16_t triangles = 0;
        std::memcpy(&triangles, data.data(), 2);
        EXPECT_LE(VertexCount(dir / "Out_d.3d"), 8191u) << model;
        EXPECT_EQ(data.size(), 48 + 16 * size_t(triangles)) << model;
        std::smatch match;
        ASSERT_TRUE(std::regex_search(fitted.out, match,
                                      std::regex("Simplified: \\d+ triangles to (\\d+), \\d+ vertices to (\\d+), "
                                                 "relative error ([0-9.e-]+)")))
            << fitted.out;
        EXPECT_EQ(std::stoul(match[1]), triangles);
        EXPECT_EQ(std::stoul(match[2]), VertexCount(dir / "Out_d.3d"));
        EXPECT_LT(std::stod(match[3]), 1.0);  // the tolerance the simplifier is given
        std::printf("%s: %s", std::filesystem::path(model).filename().c_str(), match.str(0).c_str());
        std::printf("\n");
    }
    if (!tried) GTEST_SKIP() << "needs Assimp's test models in " << kCorpus << " (Debian's assimp-testmodels: make deps-corpus installs it)";
}

// Files made by others and a name clash of our own: bound by node, every frame
// where Assimp's own evaluation by node puts it, by both bakes.
TEST(ImportedExport, CommunityAndNameClashFilesMatchAssimpAtEveryFrame) {
    std::vector<std::string> models = {kData + "/sample/name_clash.gltf"};
    for (const char* name : {"character", "maidroid", "3d_armor_character", "homedecor_desk_fan"})
        models.push_back(kData + "/b3d/" + name + ".b3d");
    for (const std::string& model : models) {
        EXPECT_LT(ExportAndCompare(model), kStepTolerance) << model;
        EXPECT_LT(ExportAndCompare(model, "--bake host", Skinning::kHeaviestBone), kStepTolerance) << model;
    }
}

TEST(ImportedExport, ModelsWithoutAnimationExportTheirRest) {
    EXPECT_LT(ExportAndCompare(kData + "/sample/static_scaled.gltf"), kStepTolerance);
    EXPECT_LT(ExportAndCompare(kData + "/sample/static.dae"), kStepTolerance);
}

TEST(ImportedExport, OptionsShapeTheExport) {
    EXPECT_LT(ExportAndCompare(kData + "/greenman/greenman.glb", "--clip 1_idle --fps 12 --scale 40", Skinning::kFull,
                               12, 40, "1_idle"),
              kStepTolerance);
}

TEST(ImportedExport, EmbeddedTextureLandsBesideTheOutputsAndTheScriptNamesIt) {
    ScratchDir dir;
    std::filesystem::create_directory(dir / "art");
    const Outcome outcome = RunProgram(dir, "'" + kData + "/greenman/greenman.glb' art/Greenman.3D");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(testing_support::Files(dir / "art"),
              (std::vector<std::string>{"Greenman.log", "Greenman.uc", "Greenman_a.3d", "Greenman_d.3d",
                                        "greenman_body.bmp"}));
    const std::string script = ReadFile(dir / "art/Greenman.uc");
    EXPECT_NE(script.find("FILE=textures\\greenman_body.bmp"), std::string::npos);
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
    // Only the host bake drops influences.
    EXPECT_EQ(outcome.err.find("bone influence"), std::string::npos) << outcome.err;
}

// The host model file has no clips; --no-sequences leaves the plug-in's script as it is.
TEST(ImportedExport, DumpedHostModelExportsTheSameBytes) {
    ScratchDir dir;
    const std::string model = "'" + kData + "/greenman/greenman.glb'";
    ASSERT_EQ(RunProgram(dir, model + " --dump greenman.hm.json").status, 0);
    EXPECT_EQ(testing_support::Files(dir.Path()), std::vector<std::string>{"greenman.hm.json"});
    std::filesystem::create_directory(dir / "direct");
    std::filesystem::create_directory(dir / "dumped");
    ASSERT_EQ(RunProgram(dir, model + " direct/G.3D --no-sequences --bake host").status, 0);
    ASSERT_EQ(RunProgram(dir, "greenman.hm.json dumped/G.3D").status, 0);
    for (const char* file : {"G_a.3d", "G_d.3d", "G.uc"})
        EXPECT_EQ(ReadFile(dir / ("direct/" + std::string(file))), ReadFile(dir / ("dumped/" + std::string(file)))) << file;
}

// A texture an earlier export of the class wrote, which the new set does not
// use, is named and left where it is.
TEST(ImportedExport, AnEarlierExportsUnusedTextureIsNamedAndKept) {
    ScratchDir dir;
    ASSERT_EQ(RunProgram(dir, "'" + kData + "/greenman/greenman.glb' G.3D").status, 0);
    const std::string totem = "'" + kExamples + "/totem.gltf' G.3D";
    const std::string said = "greenman_body.bmp is a texture of an earlier export of this class";
    const Outcome first = RunProgram(dir, totem);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.err.find(said), std::string::npos) << first.err;
    EXPECT_TRUE(std::filesystem::is_regular_file(dir / "greenman_body.bmp"));
    const Outcome again = RunProgram(dir, totem);  // the class names only the totem's now
    EXPECT_EQ(again.err.find("earlier export"), std::string::npos) << again.err;
}

TEST(ImportedExport, InfoAndListDescribeWithoutWriting) {
    ScratchDir dir;
    const std::string model = "'" + kData + "/greenman/greenman.glb'";
    const Outcome info = RunProgram(dir, model + " --info");
    EXPECT_EQ(info.status, 0);
    EXPECT_NE(info.out.find("Meshes: 1\n  0 \"1_body\": 180 vertices, 356 triangles\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Bones: 9\n  0 root, 147 position and 147 rotation keys\n"), std::string::npos);
    EXPECT_NE(info.out.find("Frames: 147\n"), std::string::npos);
    EXPECT_NE(info.out.find("  0 \"body\": texture greenman_body.bmp\n"), std::string::npos);
    EXPECT_NE(info.out.find("  3_attack: 0.833 s, 26 frames, frames 121 to 146\n"), std::string::npos);
    EXPECT_NE(info.out.find("Bake: exact (the source's own deformation: every bone influence, morph targets, any "
                            "number of bones)\nWith --bake host:\n  158 vertices had more than one bone influence; "
                            "each keeps only its heaviest (largest weight dropped: 0.486)\n"),
              std::string::npos)
        << info.out;
    // What only the exact bake can export: too many bones for the host, and morph targets.
    test_files::LadderOptions face;
    face.bones = 200;
    face.morph = true;
    test_files::WriteText(dir / "face.gltf", test_files::LadderGltf(face));
    const Outcome faceInfo = RunProgram(dir, "face.gltf --info");
    EXPECT_NE(faceInfo.out.find("Bones: 0\n"), std::string::npos) << faceInfo.out;
    for (const char* loss :
         {"  200 bones; a vertex's bone index can name at most 128 (the host model has no skeleton)\n",
          "  2 morph target(s) left out; the host has none\n"})
        EXPECT_NE(faceInfo.out.find(loss), std::string::npos) << faceInfo.out;
    std::filesystem::remove(dir / "face.gltf");
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
        // Only the host bake is bound to the bones a vertex's 8-bit index can name.
        const Outcome outcome =
            RunProgram(dir, "in/" + name + " Out.3D" + (name == "bones.gltf" ? " --bake host" : ""));
        EXPECT_EQ(outcome.status, 2) << name;
        EXPECT_EQ(outcome.err.rfind("vantrel-export: in/" + name + ": ", 0), 0u) << outcome.err;
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    }
    const Outcome tooManyFrames = RunProgram(dir, "'" + kData + "/SimpleSkin/SimpleSkin.gltf' Out.3D --fps 12000");
    EXPECT_EQ(tooManyFrames.status, 2);
    EXPECT_NE(tooManyFrames.err.find("66001 frames; the animation file counts them in 16 bits, so at most 65535"),
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
    const std::vector<std::string> totem = {"totem.log", "totem.uc", "totem_a.3d", "totem_d.3d", "totem_skin.bmp"};
    const std::vector<Case> cases = {
        {rigged + " out", 0, {"  ->  textures\\RiggedSimple_al_001-effect.bmp\n"},
         {"RiggedSimple.log", "RiggedSimple.uc", "RiggedSimple_a.3d", "RiggedSimple_al_001-effect.bmp",
          "RiggedSimple_d.3d"},
         {"FILE=textures\\RiggedSimple_al_001-effect.bmp GROUP"}},
        {"totem.gltf out/ --clip Sway", 0, {"out/totem_skin.bmp ", "frames 61\n"}, totem,
         {"SEQ=Sway STARTFRAME=0 NUMFRAMES=61\r\n\r\n#exec MESHMAP"}},
        {"totem.gltf out --clip Hop --clip 'Armature|Sway'", 0, {"Vertices 65, triangles 112, frames 92\n"}, totem,
         {"SEQ=Hop STARTFRAME=0 NUMFRAMES=31\r\n#exec MESH SEQUENCE MESH=totem SEQ=Sway STARTFRAME=31 NUMFRAMES=61\r\n"}},
        {"totem.gltf out --clip Hop --clip Hop", 2, {}, {}, {}},
        {"totem.gltf out --clip Armature_Sway", 2, {}, {}, {}},
        {fbx + " out", 0, {"(its file says a unit is a centimetre); the engine's human-sized characters are about 78", "--height 78 makes it that tall\n", "Size: 1.1 wide, 3 tall, 1.1 deep"},
         {"animated.log", "animated.uc", "animated_a.3d", "animated_d.3d", "animated_skin.bmp"}, {}},
        {fbx + " --scale 0.01 -o out/Small.3D", 0, {"Size: 0.011 wide, 0.03 tall"},
         {"Small.log", "Small.uc", "Small_a.3d", "Small_d.3d", "animated_skin.bmp"}, {}},
        {"totem.gltf out --height 78", 0, {"Size: 28.6 wide, 78 tall, 28.6 deep"}, totem, {}},
        {"totem.gltf out --height 78 --scale 2", 2, {}, {}, {}},
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

namespace {

// Each material's kind reaches every triangle's type byte, by either bake.
TEST(ImportedExport, TriangleTypesFollowTheMaterials) {
    ScratchDir dir;
    test_files::WriteText(dir / "kinds.gltf",
                          test_files::MaterialsGltf({{.name = "OneSided", .doubleSided = false},
                                                     {.name = "TwoSided"},
                                                     {.name = "Cutout", .alphaMode = "MASK"},
                                                     {.name = "Glass", .alphaMode = "BLEND"},
                                                     {.name = "Glow", .unlit = true},
                                                     {.name = "WEAPON", .triangles = 2}}));
    const std::vector<int> expected = {0, 1, 3, 2, 1 + 16, 1 + 8, 1};
    for (const char* bake : {"exact", "host"}) {
        const Outcome outcome = RunProgram(dir, std::string("kinds.gltf Out.3D --bake ") + bake);
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        const std::string data = ReadFile(dir / "Out_d.3d");
        std::vector<int> types;
        for (size_t at = 48 + 6; at < data.size(); at += 16) types.push_back(static_cast<uint8_t>(data[at]));
        EXPECT_EQ(types, expected) << bake;
        EXPECT_NE(outcome.err.find("material 'WEAPON' holds 2 triangles; only its first is the weapon triangle"),
                  std::string::npos)
            << outcome.err;
    }
}

}  // namespace
