#include "bake/exact_pose.h"
#include "import/model_import.h"
#include "tests/import/pose_check.h"
#include "tests/import/test_files.h"
#include "tests/support/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

namespace {

using testing::ElementsAre;
using testing_pose::AssimpReference;
using testing_pose::Extent;
using testing_pose::LargestDistance;
using testing_pose::Point;
using testing_pose::PoseHostModel;

const std::string kData = TEST_DATA_DIR;
const std::string kExamples = EXAMPLES_DIR;

// Float storage of rest, keys and vertices keeps the plug-in's pose this close
// to the source, relative to the model's size.
constexpr double kPoseTolerance = 1e-5;

std::vector<std::string> BoneNames(const hmModel& model) {
    std::vector<std::string> names;
    for (const auto& bone : model.bones) names.emplace_back(bone->record.name);
    return names;
}

std::string Parent(const hmModel& model, const std::string& bone) {
    const int i = hmModel_FindBoneByName(&model, bone.c_str());
    return i < 0 ? "?" : model.bones[static_cast<size_t>(i)]->record.parentName;
}

// What the host program prints for the exported clips.
std::string SequenceLines(const std::vector<hm::ClipInfo>& clips, const std::string& meshName) {
    std::string lines;
    for (const AnimationSequence& sequence : hm::ClipSequences(clips)) lines += SequenceLine(meshName, sequence);
    return lines;
}

// The result's warning of that kind, or null.
const hm::Warning* FindWarning(const hm::ImportResult& result, hm::WarningKind kind) {
    for (const hm::Warning& warning : result.warnings)
        if (warning.kind == kind) return &warning;
    return nullptr;
}

int64_t WarningCount(const hm::ImportResult& result, hm::WarningKind kind) {
    const hm::Warning* warning = FindWarning(result, kind);
    return warning ? warning->count : 0;
}

std::vector<std::pair<std::string, int64_t>> ClipFrames(const hm::ImportResult& result) {
    std::vector<std::pair<std::string, int64_t>> clips;
    for (const hm::ClipInfo& clip : result.clips) clips.emplace_back(clip.name, clip.frameCount);
    return clips;
}

std::vector<Point> Scaled(std::vector<Point> points, double factor) {
    for (Point& p : points)
        for (double& c : p) c *= factor;
    return points;
}

// Every exported frame of every exported clip against Assimp's own data at
// the same moment: the largest distance relative to the model's size.
double WorstFrameError(const std::string& path, const hm::ImportResult& result, double fps = 30.0, double scale = 1.0) {
    AssimpReference reference(path);
    EXPECT_TRUE(reference.Loaded());
    double worst = 0;
    for (size_t c = 0; c < result.clips.size(); ++c) {
        const hm::ClipInfo& clip = result.clips[c];
        if (clip.startFrame < 0) continue;
        for (int64_t f = 0; f < clip.frameCount; ++f) {
            const auto expected = Scaled(reference.Pose(static_cast<int>(c), static_cast<double>(f) / fps), scale);
            const auto actual = PoseHostModel(*result.model, static_cast<int>(clip.startFrame + f));
            worst = std::max(worst, LargestDistance(actual, expected) / Extent(expected));
        }
    }
    return worst;
}

// The one frame of a model without animation against the file's own pose.
double RestError(const std::string& path, const hm::ImportResult& result) {
    AssimpReference reference(path);
    EXPECT_TRUE(reference.Loaded());
    const auto expected = reference.Pose(-1, 0);
    return LargestDistance(PoseHostModel(*result.model, 0), expected) / Extent(expected);
}

std::vector<Point> RestPositions(const hmModel& model) {
    std::vector<Point> points;
    for (const auto& mesh : model.meshes)
        for (const HostVertex& v : mesh->vertices) points.push_back({v.position.x, v.position.y, v.position.z});
    return points;
}

// Z up (x, y, z) seen with Y up.
std::vector<Point> ZUpToYUp(std::vector<Point> points) {
    for (Point& p : points) p = {p[0], p[2], -p[1]};
    return points;
}

hm::ImportResult Import(const std::string& path, hm::ImportOptions options = {}) {
    hm::ImportResult result = hm::ImportModel(path, options);
    EXPECT_TRUE(result.model) << result.error.message;
    return result;
}

TEST(ImportRealFiles, SimpleSkinMatchesTheSourceAtEveryFrame) {
    const std::string path = kData + "/SimpleSkin/SimpleSkin.gltf";
    const hm::ImportResult result = Import(path);
    ASSERT_TRUE(result.model);
    const hmModel& model = *result.model;
    ASSERT_EQ(model.meshes.size(), 1u);
    EXPECT_EQ(model.meshes[0]->vertices.size(), 10u);
    EXPECT_EQ(model.meshes[0]->triangles.size(), 8u);
    EXPECT_EQ(BoneNames(model), (std::vector<std::string>{"nodes[1]", "nodes[2]"}));
    EXPECT_EQ(Parent(model, "nodes[1]"), "");
    EXPECT_EQ(Parent(model, "nodes[2]"), "nodes[1]");
    EXPECT_EQ(ClipFrames(result), (std::vector<std::pair<std::string, int64_t>>{{"clip0", 166}}));  // 5.5 s at 30/s
    EXPECT_EQ(model.totalFrames, 166);
    for (const auto& bone : model.bones) {
        ASSERT_EQ(bone->positionKeys.size(), 166u);
        ASSERT_EQ(bone->rotationKeys.size(), 166u);
        EXPECT_EQ(bone->rotationKeys[165].time, 165.0f);
    }
    EXPECT_EQ(WarningCount(result, hm::WarningKind::InfluencesDropped), 6);
    ASSERT_TRUE(FindWarning(result, hm::WarningKind::InfluencesDropped));
    EXPECT_NE(FindWarning(result, hm::WarningKind::InfluencesDropped)->text.find("largest weight dropped: 0.5"),
              std::string::npos);
    EXPECT_LT(WorstFrameError(path, result), kPoseTolerance);
}

TEST(ImportRealFiles, RiggedSimpleIsStoodUpByItsRootNode) {
    const std::string path = kData + "/RiggedSimple/RiggedSimple.gltf";
    const hm::ImportResult result = Import(path);
    ASSERT_TRUE(result.model);
    const hmModel& model = *result.model;
    ASSERT_EQ(model.meshes.size(), 1u);
    EXPECT_EQ(model.meshes[0]->name, "nodes[1]");  // named after its node, as Assimp names it
    EXPECT_EQ(model.meshes[0]->vertices.size(), 96u);
    EXPECT_EQ(model.meshes[0]->triangles.size(), 188u);
    EXPECT_EQ(BoneNames(model), (std::vector<std::string>{"nodes[2]", "nodes[3]"}));
    EXPECT_EQ(ClipFrames(result), (std::vector<std::pair<std::string, int64_t>>{{"clip0", 64}}));
    // The file is modelled Z up under a root node that turns it Y up: the
    // host's rest keeps the cylinder standing along Y.
    double top = 0;
    for (const Point& p : RestPositions(model)) top = std::max(top, p[1]);
    EXPECT_NEAR(top, 4.575, 1e-3);
    EXPECT_LT(WorstFrameError(path, result), kPoseTolerance);
}

TEST(ImportRealFiles, GreenmanClipsTexturesAndPoses) {
    const std::string path = kData + "/greenman/greenman.glb";
    const hm::ImportResult result = Import(path);
    ASSERT_TRUE(result.model);
    const hmModel& model = *result.model;
    ASSERT_EQ(model.meshes.size(), 1u);
    EXPECT_EQ(model.meshes[0]->vertices.size(), 196u);
    EXPECT_EQ(model.meshes[0]->triangles.size(), 356u);
    // Joints that hold no weight and sit outside the moving ones (sockets) are no bones.
    EXPECT_EQ(BoneNames(model), (std::vector<std::string>{"root", "body_low", "body_up", "hand_L", "hand_R", "hip_L",
                                                          "leg_L", "hip_R", "leg_R"}));
    EXPECT_EQ(Parent(model, "leg_R"), "hip_R");
    EXPECT_EQ(ClipFrames(result), (std::vector<std::pair<std::string, int64_t>>{
                                      {"0_pose", 6}, {"1_idle", 76}, {"2_move", 39}, {"3_attack", 26}}));
    EXPECT_EQ(result.clips[2].startFrame, 82);
    EXPECT_EQ(model.totalFrames, 6 + 76 + 39 + 26);
    EXPECT_EQ(SequenceLines(result.clips, "Greenman"),
              "#exec MESH SEQUENCE MESH=Greenman SEQ=0_pose STARTFRAME=0 NUMFRAMES=6\n"
              "#exec MESH SEQUENCE MESH=Greenman SEQ=1_idle STARTFRAME=6 NUMFRAMES=76\n"
              "#exec MESH SEQUENCE MESH=Greenman SEQ=2_move STARTFRAME=82 NUMFRAMES=39\n"
              "#exec MESH SEQUENCE MESH=Greenman SEQ=3_attack STARTFRAME=121 NUMFRAMES=26\n");

    ASSERT_EQ(model.materials.size(), 1u);
    EXPECT_EQ(model.materials[0]->name, "body");
    EXPECT_EQ(model.materials[0]->diffuseTexture, "greenman_body.bmp");
    ASSERT_EQ(result.textures.size(), 1u);
    EXPECT_EQ(result.textures[0].fileName, "greenman_body.bmp");
    EXPECT_EQ(std::string(result.textures[0].bytes.begin(), result.textures[0].bytes.begin() + 2), "BM");

    // The host's v grows downwards; Assimp's upwards.
    AssimpReference reference(path);
    const aiMesh& source = *reference.Scene().mMeshes[0];
    for (unsigned v = 0; v < source.mNumVertices; ++v) {
        float uv[2];  // the record is packed: read it through the host's call
        hmVertex_GetTexCoords(&model.meshes[0]->vertices[v], uv);
        EXPECT_EQ(uv[0], source.mTextureCoords[0][v].x);
        EXPECT_EQ(uv[1], 1.0f - source.mTextureCoords[0][v].y);
    }
    EXPECT_LT(WorstFrameError(path, result), kPoseTolerance);
}

// Clips are sampled at the rate the file was animated at, where it states
// one, and the sequences say so; a rate given decides.
TEST(ImportOptions, ClipsTakeTheFilesOwnRateUnlessOneIsGiven) {
    struct Row {
        std::string file;
        bool fileRate;
        double fps;
        float rate;  // of every clip
        int64_t firstClipFrames;  // 2 s in the FBX
    };
    const Row rows[] = {
        {"sample/animated.fbx", true, 30, 24, 49},       // the FBX's time mode says 24
        {"sample/animated.fbx", false, 30, 30, 61},      // --fps 30
        {"sample/animated.fbx", false, 12, 12, 25},      // --fps 12
        {"greenman/greenman.glb", true, 30, 30, 6},      // glTF states no rate
        {"greenman/greenman.glb", false, 25, 25, 6},
    };
    for (const Row& row : rows) {
        hm::ImportOptions options;
        options.fileRate = row.fileRate;
        options.fps = row.fps;
        const hm::ImportResult result = Import(kData + "/" + row.file, options);
        ASSERT_TRUE(result.model) << row.file;
        for (const hm::ClipInfo& clip : result.clips) EXPECT_EQ(clip.rate, row.rate) << row.file << " " << clip.name;
        EXPECT_EQ(result.clips[0].frameCount, row.firstClipFrames) << row.file << " at " << row.fps;
        const bool stated = SequenceLines(result.clips, "M").find(" RATE=") != std::string::npos;
        EXPECT_EQ(stated, row.rate != kDefaultSequenceRate) << row.file;
    }
}

TEST(ImportOptions, OneClipAnotherRateAndAScale) {
    const std::string path = kData + "/greenman/greenman.glb";
    hm::ImportOptions options;
    options.clips = {"2_move"};
    options.fps = 24;
    options.scale = 2.5;
    const hm::ImportResult result = Import(path, options);
    ASSERT_TRUE(result.model);
    EXPECT_EQ(ClipFrames(result), (std::vector<std::pair<std::string, int64_t>>{
                                      {"0_pose", 5}, {"1_idle", 61}, {"2_move", 31}, {"3_attack", 21}}));
    EXPECT_EQ(result.clips[0].startFrame, -1);
    EXPECT_EQ(result.clips[2].startFrame, 0);
    EXPECT_EQ(result.model->totalFrames, 31);
    EXPECT_EQ(result.model->bones[0]->positionKeys.size(), 31u);
    EXPECT_EQ(SequenceLines(result.clips, "G"), "#exec MESH SEQUENCE MESH=G SEQ=2_move STARTFRAME=0 NUMFRAMES=31 RATE=24\n");
    EXPECT_LT(WorstFrameError(path, result, 24.0, 2.5), kPoseTolerance);
}

TEST(ImportOptions, UnknownClipAndBadValuesAreErrors) {
    const std::string path = kData + "/greenman/greenman.glb";
    hm::ImportOptions options;
    options.clips = {"dance"};
    hm::ImportResult result = hm::ImportModel(path, options);
    EXPECT_FALSE(result.model);
    EXPECT_EQ(result.error.message, path + ": no clip named 'dance' (its clips: 0_pose, 1_idle, 2_move, 3_attack)");
    options.clips = {"1_idle", "1_idle"};
    EXPECT_EQ(hm::ImportModel(path, options).error.message, path + ": the clip '1_idle' is named twice");

    for (double scale : {0.0, -1.0, std::nan("")}) {
        result = hm::ImportModel(path, {scale, 30.0, false, {}, false, false, true, {}, hm::kDefaultTextureSide, {}});
        EXPECT_FALSE(result.model);
        EXPECT_NE(result.error.message.find("scale"), std::string::npos);
    }
    result = hm::ImportModel(path, {1.0, 0.0, false, {}, false, false, true, {}, hm::kDefaultTextureSide, {}});
    EXPECT_FALSE(result.model);
    EXPECT_NE(result.error.message.find("frame rate"), std::string::npos);
}

TEST(ImportSample, BundledSampleExportsAsAuthored) {
    const std::string path = kExamples + "/totem.gltf";
    const hm::ImportResult result = Import(path);
    ASSERT_TRUE(result.model);
    const hmModel& model = *result.model;
    EXPECT_EQ(BoneNames(model), (std::vector<std::string>{"Base", "Middle", "Top"}));
    EXPECT_EQ(ClipFrames(result), (std::vector<std::pair<std::string, int64_t>>{{"Sway", 61}, {"Hop", 31}}));
    ASSERT_EQ(model.materials.size(), 1u);
    EXPECT_EQ(model.materials[0]->diffuseTexture, "totem_skin.bmp");
    ASSERT_EQ(result.textures.size(), 1u);  // the model's own image, converted
    EXPECT_EQ(result.textures[0].sourcePath, std::filesystem::canonical(kExamples + "/totem_skin.png").string());
    EXPECT_LT(WorstFrameError(path, result), kPoseTolerance);
}

TEST(ImportSample, ScaledArmatureRestsWhereTheFileShowsIt) {
    // The armature node is turned and halved, and holds the mesh's node too.
    const std::string path = kData + "/sample/static_scaled.gltf";
    const hm::ImportResult result = Import(path);
    ASSERT_TRUE(result.model);
    EXPECT_TRUE(result.clips.empty());
    EXPECT_EQ(result.model->totalFrames, 1);
    EXPECT_GT(WarningCount(result, hm::WarningKind::ScaledRest), 0);
    for (const auto& bone : result.model->bones) EXPECT_TRUE(bone->positionKeys.empty());
    EXPECT_LT(RestError(path, result), kPoseTolerance);
}

TEST(ImportOtherFormats, ColladaLoadsAndTurnsZUpToYUp) {
    const hm::ImportResult yUp = Import(kData + "/sample/static.dae");
    const hm::ImportResult zUp = Import(kData + "/sample/static_zup.dae");
    ASSERT_TRUE(yUp.model && zUp.model);
    ASSERT_EQ(yUp.model->meshes.size(), 1u);
    EXPECT_EQ(yUp.model->meshes[0]->vertices.size(), 65u);
    EXPECT_EQ(yUp.model->meshes[0]->triangles.size(), 112u);
    EXPECT_EQ(BoneNames(*yUp.model), (std::vector<std::string>{"Base", "Middle", "Top"}));
    EXPECT_EQ(yUp.model->materials[0]->diffuseTexture, "static_skin.bmp");
    EXPECT_LT(RestError(kData + "/sample/static.dae", yUp), kPoseTolerance);
    EXPECT_LT(LargestDistance(RestPositions(*zUp.model), ZUpToYUp(RestPositions(*yUp.model))), 1e-5);
}

TEST(ImportOtherFormats, AnimatedColladaMovesAsAuthored) {
    // Joints driven by a <rotate> angle and a <translate>, by whole <matrix>
    // keys, and by two angles keyed at different times; two skins naming
    // their joints in different orders; a bind shape matrix.
    const std::string path = kData + "/sample/animated_arm.dae";
    const hm::ImportResult yUp = Import(path);
    const hm::ImportResult zUp = Import(kData + "/sample/animated_arm_zup.dae");
    ASSERT_TRUE(yUp.model && zUp.model);
    const hmModel& model = *yUp.model;
    ASSERT_EQ(model.meshes.size(), 2u);
    EXPECT_EQ(model.meshes[0]->vertices.size(), 37u);
    EXPECT_EQ(model.meshes[0]->triangles.size(), 55u);
    EXPECT_EQ(model.meshes[1]->vertices.size(), 6u);
    EXPECT_EQ(BoneNames(model), (std::vector<std::string>{"arm_Root", "arm_Upper", "arm_Lower", "arm_Tip"}));
    EXPECT_EQ(Parent(model, "arm_Tip"), "arm_Lower");
    // Collada keys its times in seconds: 1.5 s at 30 per second.
    EXPECT_EQ(ClipFrames(yUp), (std::vector<std::pair<std::string, int64_t>>{{"Wave_Wave", 46}}));
    ASSERT_EQ(model.materials.size(), 2u);
    EXPECT_EQ(model.materials[0]->diffuseTexture, "arm_skin.bmp");
    EXPECT_EQ(model.materials[1]->diffuseTexture, "cap_skin.bmp");
    EXPECT_EQ(WarningCount(yUp, hm::WarningKind::InfluencesDropped), 17);
    EXPECT_LT(WorstFrameError(path, yUp), kPoseTolerance);

    // Every channel starts and ends at the bind pose, and swings well away from it between.
    const auto rest = RestPositions(model);
    EXPECT_LT(LargestDistance(PoseHostModel(model, 0), rest), 1e-5);
    EXPECT_LT(LargestDistance(PoseHostModel(model, 45), rest), 1e-5);
    EXPECT_GT(LargestDistance(PoseHostModel(model, 22), rest), 0.5);

    EXPECT_LT(LargestDistance(RestPositions(*zUp.model), ZUpToYUp(rest)), 1e-5);
    EXPECT_LT(LargestDistance(PoseHostModel(*zUp.model, 22), ZUpToYUp(PoseHostModel(model, 22))), 1e-5);
}

TEST(ImportOtherFormats, FbxLoadsWithClipsAndStatedAxes) {
    const std::string path = kData + "/sample/animated.fbx";
    const hm::ImportResult yUp = Import(path);
    const hm::ImportResult zUp = Import(kData + "/sample/animated_zup.fbx");
    ASSERT_TRUE(yUp.model && zUp.model);
    EXPECT_EQ(yUp.model->meshes[0]->vertices.size(), 65u);
    EXPECT_EQ(BoneNames(*yUp.model), (std::vector<std::string>{"Base", "Middle", "Top"}));
    EXPECT_EQ(ClipFrames(yUp), (std::vector<std::pair<std::string, int64_t>>{{"Sway", 61}, {"Hop", 31}}));
    EXPECT_EQ(yUp.model->materials[0]->diffuseTexture, "animated_skin.bmp");
    EXPECT_LT(WorstFrameError(path, yUp), kPoseTolerance);
    EXPECT_LT(LargestDistance(RestPositions(*zUp.model), ZUpToYUp(RestPositions(*yUp.model))), 1e-5);
    // The same holds for the posed frames: the whole model turns.
    EXPECT_LT(LargestDistance(PoseHostModel(*zUp.model, 70), ZUpToYUp(PoseHostModel(*yUp.model, 70))), 1e-5);
}

TEST(ImportBuiltFiles, MeshWithoutSkinRidesItsAnimatedNode) {
    const testing_support::ScratchDir scratch;
    const std::string dir = scratch.Path().string();
    const std::string path = dir + "/prop.gltf";
    test_files::WriteText(path, test_files::PropOnAnimatedNodeGltf());
    const hm::ImportResult result = Import(path);
    ASSERT_TRUE(result.model);
    // Only the prop's node is a bone: the turntable moves it through its pose.
    EXPECT_EQ(BoneNames(*result.model), (std::vector<std::string>{"Prop"}));
    for (const HostVertex& v : result.model->meshes[0]->vertices) EXPECT_EQ(v.boneIndex, 0);
    EXPECT_LT(WorstFrameError(path, result), kPoseTolerance);
    // Half way the turntable has turned 45 degrees about Y: the prop's corner
    // at (0, 0, 1) from it has swung out towards +x.
    const auto half = PoseHostModel(*result.model, 15);
    EXPECT_NEAR(half[0][0], 2 + std::sqrt(0.5), 1e-5);
    EXPECT_NEAR(half[0][2], std::sqrt(0.5), 1e-5);
}

TEST(ImportBuiltFiles, MoreBonesThanAVertexCanNameIsAnError) {
    const testing_support::ScratchDir scratch;
    const std::string dir = scratch.Path().string();
    test_files::WriteText(dir + "/128.gltf", test_files::ChainGltf(128));
    test_files::WriteText(dir + "/129.gltf", test_files::ChainGltf(129));
    const hm::ImportResult fits = Import(dir + "/128.gltf");
    ASSERT_TRUE(fits.model);
    EXPECT_EQ(fits.model->bones.size(), 128u);
    EXPECT_EQ(fits.model->meshes[0]->vertices[0].boneIndex, 0);
    EXPECT_EQ(fits.model->meshes[0]->vertices[1].boneIndex, 127);
    EXPECT_LT(RestError(dir + "/128.gltf", fits), kPoseTolerance);

    const hm::ImportResult tooMany = hm::ImportModel(dir + "/129.gltf", {});
    EXPECT_FALSE(tooMany.model);
    EXPECT_EQ(tooMany.error.message, dir + "/129.gltf: 129 bones; a vertex's bone index can name at most 128");
}

TEST(ImportBuiltFiles, LinesPointsAndNames) {
    const testing_support::ScratchDir scratch;
    const std::string dir = scratch.Path().string();
    const std::string longName = "a_group_name_that_is_much_longer_than_the_host_keeps";
    std::string obj = "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 0 0 1\n";
    obj += "g " + longName + "_one\nf 1 2 3\nl 3 4\np 4\n";  // vertex 4 is only used by the line and point
    obj += "g " + longName + "_two\nf 1 3 4\n";
    obj += "g wire\nl 1 2\n";
    test_files::WriteText(dir + "/names.obj", obj);
    const hm::ImportResult result = Import(dir + "/names.obj");
    ASSERT_TRUE(result.model);
    ASSERT_EQ(result.model->meshes.size(), 2u);
    const std::string first = result.model->meshes[0]->name, second = result.model->meshes[1]->name;
    EXPECT_EQ(first, longName.substr(0, 31));
    EXPECT_LE(second.size(), 31u);
    EXPECT_NE(first, second);
    EXPECT_EQ(result.model->meshes[0]->vertices.size(), 3u);
    EXPECT_EQ(result.model->materials.size(), 2u);
    ASSERT_TRUE(FindWarning(result, hm::WarningKind::MeshWithoutTriangles));
    EXPECT_THAT(FindWarning(result, hm::WarningKind::MeshWithoutTriangles)->examples, ElementsAre("wire"));
    EXPECT_EQ(WarningCount(result, hm::WarningKind::LinesAndPoints), 3);
}

TEST(ImportBuiltFiles, FormatLimitsStopTheImportUnlessForced) {
    const testing_support::ScratchDir scratch;
    const std::string dir = scratch.Path().string();
    const int triangles = 21846;  // 65538 distinct vertices
    std::string vertices, firstHalf, secondHalf;
    for (int t = 0; t < triangles; ++t) {
        for (int k = 0; k < 3; ++k) vertices += "v " + std::to_string(t) + " " + std::to_string(k) + " 0\n";
        (t < triangles / 2 ? firstHalf : secondHalf) +=
            "f " + std::to_string(3 * t + 1) + " " + std::to_string(3 * t + 2) + " " + std::to_string(3 * t + 3) + "\n";
    }
    test_files::WriteText(dir + "/big.obj", vertices + "g first\n" + firstHalf + "g second\n" + secondHalf);
    hm::ImportResult result = hm::ImportModel(dir + "/big.obj", {});
    EXPECT_FALSE(result.model);
    EXPECT_EQ(result.error.message,
              dir + "/big.obj: 65538 vertices in all; the animation file states a frame's size (8 bytes a "
                    "vertex) in 16 bits, so it holds at most 8191 (--force exports anyway: the frame size and "
                    "the vertex numbers wrap); --fit simplifies the model to what the format holds");
    hm::ImportOptions force;
    force.force = true;
    result = hm::ImportModel(dir + "/big.obj", force);
    ASSERT_TRUE(result.model);
    EXPECT_EQ(result.model->meshes.size(), 2u);
    EXPECT_EQ(WarningCount(result, hm::WarningKind::FormatLimit), 65538);
    // In one mesh they are more than the host's 16-bit triangle corners reach.
    test_files::WriteText(dir + "/one.obj", vertices + firstHalf + secondHalf);
    result = hm::ImportModel(dir + "/one.obj", force);
    ASSERT_TRUE(result.model);
    EXPECT_GE(WarningCount(result, hm::WarningKind::FormatLimit), 65538);

    const std::string skin = kData + "/SimpleSkin/SimpleSkin.gltf";
    hm::ImportOptions fast;
    fast.fps = 12000;  // 5.5 s gives 66001 frames
    result = hm::ImportModel(skin, fast);
    EXPECT_FALSE(result.model);
    EXPECT_EQ(result.error.message,
              skin + ": 66001 frames; the animation file counts them in 16 bits, so at most 65535 "
                     "(--force exports anyway: the frame count wraps, and only that many frames are written)");
    fast.force = true;
    result = hm::ImportModel(skin, fast);
    ASSERT_TRUE(result.model);
    EXPECT_EQ(result.model->totalFrames, 66001);
}

TEST(ImportBadFiles, EachGetsAClearErrorAndNoModel) {
    const testing_support::ScratchDir scratch;
    const std::string dir = scratch.Path().string();
    const std::string glb = testing_support::ReadFile(kData + "/greenman/greenman.glb");
    test_files::WriteText(dir + "/truncated.glb", glb.substr(0, glb.size() / 2));
    test_files::WriteText(dir + "/notes.gltf", "These are notes, not a model.\n");
    test_files::WriteText(dir + "/empty.gltf", test_files::NoMeshGltf());
    test_files::WriteText(dir + "/points.obj", "v 0 0 0\nv 1 0 0\np 1\np 2\n");
    std::filesystem::copy_file(kData + "/sample/corner_past_end.ply", dir + "/corner.ply");
    std::string infinite = testing_support::ReadFile(kData + "/sample/corner_past_end.ply");
    infinite.replace(infinite.find("1 0 0\n"), 6, "inf 0 0\n");
    test_files::WriteText(dir + "/infinite.ply", infinite);
    test_files::WriteText(dir + "/point.obj", "v 0 0 0\nv 0 0 0\nv 0 0 0\nf 1 2 3\n");
    struct Case {
        std::string file;
        std::string problem;
    };
    for (const Case& c : {Case{"/missing.glb", ": no such file"},
                          Case{"/truncated.glb", ": not a model file that can be read ("},
                          Case{"/notes.gltf", ": not a model file that can be read ("},
                          Case{"/empty.gltf", ": the file holds no meshes"},
                          Case{"/points.obj", ": the file holds no triangles"},
                          Case{"/corner.ply", ": mesh number 1 has a polygon corner past its 3 vertices"},
                          Case{"/infinite.ply", ": mesh number 1 has 1 vertex position(s) that are not finite numbers"},
                          Case{"/point.obj", ": every vertex lies at the origin; the model has no size to export"},
                          Case{"", ": is a directory, not a model file"}}) {
        const hm::ImportResult result = hm::ImportModel(dir + c.file, {});
        EXPECT_FALSE(result.model) << c.file;
        EXPECT_EQ(result.error.message.rfind(dir + c.file + c.problem, 0), 0u) << result.error.message;
        EXPECT_EQ(result.error.message.find('\n'), std::string::npos);
    }
}

// A glTF made like many exported from artists' tools: a skinned mesh node
// named like the joint it hangs on, listed first, and a locator sharing
// another joint's name.
TEST(ImportRealWorld, NameClashBindsBonesAndChannelsToTheirNodes) {
    const std::string path = kData + "/sample/name_clash.gltf";
    const hm::ImportResult result = Import(path);
    ASSERT_TRUE(result.model);
    EXPECT_EQ(BoneNames(*result.model), (std::vector<std::string>{"Hips", "Neck", "Head"}));
    EXPECT_EQ(Parent(*result.model, "Neck"), "Hips");
    EXPECT_EQ(Parent(*result.model, "Head"), "Neck");
    EXPECT_FALSE(FindWarning(result, hm::WarningKind::AmbiguousName));
    EXPECT_LT(WorstFrameError(path, result), kPoseTolerance);
}

// Names two nodes share are told apart by the file itself: a glTF skin lists
// its joints by node, an FBX cluster links its bone by id (and Assimp would
// otherwise merge the two bones' curves into one channel).
TEST(ImportRealWorld, SharedNamesBindTheFilesOwnNodes) {
    const testing_support::ScratchDir scratch;
    const std::string gltf = scratch.Path().string() + "/shared.gltf";
    test_files::WriteText(gltf, test_files::SharedJointNameGltf());
    const hm::ImportResult joint = Import(gltf);
    ASSERT_TRUE(joint.model);
    EXPECT_FALSE(FindWarning(joint, hm::WarningKind::AmbiguousName));
    for (const HostVertex& vertex : joint.model->meshes[0]->vertices) {
        const float x = vertex.position.x;  // a packed record: no reference into it
        EXPECT_GT(x, 4.0f);
    }

    // Written by tests/blender/armatures_test.py (its cowboy.fbx): a body and a hat with an
    // armature each, both with a bone "Bone", both animated.
    const hm::ImportResult hat = Import(kData + "/sample/two_armatures.fbx");
    ASSERT_TRUE(hat.model);
    EXPECT_FALSE(FindWarning(hat, hm::WarningKind::AmbiguousName));
    EXPECT_EQ(BoneNames(*hat.model), (std::vector<std::string>{"RootNode", "Cowboy", "Bone", "Chest", "Hat", "Bone_2"}));
    EXPECT_EQ(Parent(*hat.model, "Bone_2"), "Hat");
    for (const char* name : {"Bone", "Bone_2"}) {
        const HostBoneEntry& bone = **std::find_if(hat.model->bones.begin(), hat.model->bones.end(),
                                                   [&](const auto& b) { return std::string(b->record.name) == name; });
        std::set<std::vector<float>> turns;
        for (const HostRotationKey& key : bone.rotationKeys) turns.insert({key.value.x, key.value.y, key.value.z});
        EXPECT_GT(turns.size(), 2u) << name << " keeps its own keys";
    }
    int onHat = 0;
    for (const auto& mesh : hat.model->meshes)
        for (const HostVertex& vertex : mesh->vertices)
            onHat += vertex.boneIndex >= 0 &&
                     std::string(hat.model->bones[static_cast<size_t>(vertex.boneIndex)]->record.name) == "Bone_2";
    EXPECT_GT(onHat, 0);
}

// Defects that can be repaired are, with a warning each; what the host
// cannot hold is named with its count.
TEST(ImportRealWorld, RepairsAndDropsAreReported) {
    struct Case {
        std::string file;
        hm::WarningKind kind;
        int64_t count;
    };
    const std::string morph = kData + "/sample/morph.gltf";
    for (const Case& c : {Case{kData + "/b3d/character.b3d", hm::WarningKind::KeysPastClipEnd, 1},
                          Case{kData + "/sample/empty_solid.stl", hm::WarningKind::MeshWithoutTriangles, 1},
                          Case{morph, hm::WarningKind::MorphAnimation, 1},
                          Case{morph, hm::WarningKind::ClipMovesNoBone, 1},
                          Case{morph, hm::WarningKind::MorphTargets, 1},
                          Case{morph, hm::WarningKind::CamerasAndLights, 2}}) {
        const hm::ImportResult result = Import(c.file);
        EXPECT_EQ(WarningCount(result, c.kind), c.count) << c.file << ": kind " << static_cast<int>(c.kind);
    }
    hm::ImportOptions exact;
    exact.exact = true;
    EXPECT_EQ(WarningCount(Import(morph, exact), hm::WarningKind::MorphTargets), 0) << "the exact bake poses them";
    const hm::ImportResult b3d = Import(kData + "/b3d/character.b3d");
    ASSERT_TRUE(FindWarning(b3d, hm::WarningKind::KeysPastClipEnd));
    EXPECT_EQ(FindWarning(b3d, hm::WarningKind::KeysPastClipEnd)->text,
              "clip 'clip0': keys run to 221 ticks, past its stated end at 220; the clip is extended to its last key");
}

TEST(ImportRealWorld, CommunityB3dModelsKeepTheirMotion) {
    for (const char* name : {"character", "maidroid", "3d_armor_character", "homedecor_desk_fan"}) {
        const std::string path = kData + "/b3d/" + name + ".b3d";
        hm::ImportOptions unwelded;  // vertex for vertex against the reference
        unwelded.weld = false;
        const hm::ImportResult result = Import(path, unwelded);
        ASSERT_TRUE(result.model) << name;
        EXPECT_GT(result.model->totalFrames, 40) << name;
        EXPECT_LT(WorstFrameError(path, result), kPoseTolerance) << name;
        const auto first = PoseHostModel(*result.model, 0);
        double farthest = 0;
        for (int f = 1; f < result.model->totalFrames; ++f)
            farthest = std::max(farthest, LargestDistance(PoseHostModel(*result.model, f), first));
        EXPECT_GT(farthest, 0.2 * Extent(first)) << name << " does not move";
    }
}

TEST(TextureFiles, WrittenBesideTheOutputsWithoutTakingAnotherFile) {
    const hm::ImportResult result = Import(kData + "/greenman/greenman.glb");
    ASSERT_TRUE(result.model);
    const testing_support::ScratchDir scratch;
    const std::string dir = scratch.Path().string();
    const std::vector<uint8_t>& made = result.textures[0].bytes;
    hm::TexturePlan plan = hm::PlanTextureFiles(result.textures, dir, "");
    ASSERT_EQ(plan.files.size(), 1u);
    EXPECT_EQ(plan.files[0].path, dir + "/greenman_body.bmp");
    EXPECT_EQ(plan.files[0].bytes, made);

    // The same bytes already there are left alone.
    std::ofstream(dir + "/greenman_body.bmp", std::ios::binary).write(reinterpret_cast<const char*>(made.data()),
                                                                       static_cast<std::streamsize>(made.size()));
    EXPECT_TRUE(hm::PlanTextureFiles(result.textures, dir, "").files.empty());

    // Someone else's file of that name stays, unless the earlier export's class named it.
    std::ofstream(dir + "/greenman_body.bmp", std::ios::binary) << "the user's";
    plan = hm::PlanTextureFiles(result.textures, dir, "FILE=textures\\other.png ");
    EXPECT_EQ(plan.kept, std::vector<std::string>{dir + "/greenman_body.bmp"});
    EXPECT_TRUE(plan.files.empty());
    plan = hm::PlanTextureFiles(result.textures, dir, "FILE=textures\\greenman_body.bmp GROUP=Skins");
    EXPECT_TRUE(plan.kept.empty());
    EXPECT_EQ(plan.files.size(), 1u);
}


}  // namespace

namespace {

// Simplifying only removes vertices: every kept vertex is one of the whole
// model's, posed exactly as before at every frame, so the clips still move.
TEST(ImportSimplify, HalfTheTrianglesKeepsEachKeptVertexsDeformation) {
    hm::ImportOptions options;
    options.exact = true;
    const std::string path = kData + "/greenman/greenman.glb";
    const hm::ImportResult whole = hm::ImportModel(path, options);
    options.simplify.fraction = 0.5;
    const hm::ImportResult half = hm::ImportModel(path, options);
    ASSERT_TRUE(whole.model && half.model) << half.error.message;
    const hm::imp::SimplifyResult& fit = half.fit.simplify;
    EXPECT_TRUE(half.fit.simplified);
    EXPECT_LE(fit.trianglesAfter, fit.trianglesBefore / 2);
    EXPECT_GT(fit.trianglesAfter, fit.trianglesBefore / 3);
    // Joined across texture seams after simplifying: the corners keep the coordinates.
    EXPECT_GE(fit.verticesAfter, int64_t(half.model->meshes[0]->vertices.size()));
    EXPECT_GT(fit.error, 0);
    EXPECT_LT(fit.error, hm::imp::kSimplifyTolerance);

    // Each kept vertex, in order, among the whole mesh's: same host record, same source position.
    const auto& kept = half.model->meshes[0]->vertices;
    const auto& all = whole.model->meshes[0]->vertices;
    std::vector<size_t> from;
    for (size_t v = 0, w = 0; v < kept.size() && w < all.size(); ++w)
        if (std::memcmp(&kept[v], &all[w], sizeof kept[v]) == 0 &&
            half.exact->meshes[0].positions[v].x == whole.exact->meshes[0].positions[w].x) {
            from.push_back(w);
            ++v;
        }
    ASSERT_EQ(from.size(), kept.size());
    std::vector<bool> used(kept.size(), false);
    for (const hmTriangle& triangle : half.model->meshes[0]->triangles)
        for (uint16_t corner : triangle.corners) used.at(corner) = true;
    EXPECT_EQ(std::count(used.begin(), used.end(), false), 0);

    hm::imp::ExactPose before(*whole.exact), after(*half.exact);
    after.Evaluate(0);
    const std::vector<hm::imp::Vec3d> rest = after.Positions();
    double moved = 0;
    for (int64_t frame : {0, 40, 90, 130}) {
        before.Evaluate(frame);
        after.Evaluate(frame);
        for (size_t v = 0; v < kept.size(); ++v) {
            const hm::imp::Vec3d a = after.Positions()[v], b = before.Positions()[from[v]];
            EXPECT_TRUE(a.x == b.x && a.y == b.y && a.z == b.z) << frame << " " << v;
            moved = std::max(moved, std::fabs(a.y - rest[v].y) + std::fabs(a.x - rest[v].x));
        }
    }
    EXPECT_GT(moved, 0.05);
}

TEST(ClipSequences, OneWordUniqueNamesForExportedClipsOnly) {
    const std::vector<hm::ClipInfo> clips = {
        {"Walk cycle", 1.0, 31, 0, ""}, {"Walk cycle", 1.0, 31, 31, ""}, {"Skipped", 2.0, 61, -1, ""}, {"", 0.0, 1, 62, ""}};
    const std::vector<AnimationSequence> sequences = hm::ClipSequences(clips);
    ASSERT_EQ(sequences.size(), 3u);
    EXPECT_EQ(SequenceLine("M", sequences[0]), "#exec MESH SEQUENCE MESH=M SEQ=Walk_cycle STARTFRAME=0 NUMFRAMES=31\n");
    EXPECT_EQ(SequenceLine("M", sequences[1]), "#exec MESH SEQUENCE MESH=M SEQ=Walk_cycle_2 STARTFRAME=31 NUMFRAMES=31\n");
    EXPECT_EQ(SequenceLine("M", sequences[2]), "#exec MESH SEQUENCE MESH=M SEQ=clip STARTFRAME=62 NUMFRAMES=1\n");
}

TEST(ClipSequences, AClipNamedAllOverEveryFrameIsThePlugInsLine) {
    EXPECT_TRUE(hm::ClipSequences({{"all", 1.0, 31, 0, ""}}).empty());
    const std::vector<AnimationSequence> partial =
        hm::ClipSequences({{"All", 1.0, 31, 0, ""}, {"Hop", 1.0, 31, 31, ""}, {"All_2", 1.0, 1, 62, ""}});
    ASSERT_EQ(partial.size(), 3u);
    EXPECT_EQ(partial[0].name, "All_3");
}

}  // namespace
