// The exact bake's evaluation of imported files against Assimp's own data
// skinned with every weight and morphed by every target.
#include "bake/exact_pose.h"
#include "import/model_import.h"
#include "tests/import/pose_check.h"
#include "tests/import/test_files.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <thread>

namespace {

using testing_pose::AssimpReference;
using testing_pose::Point;
using testing_pose::Skinning;

const std::string kData = TEST_DATA_DIR;
const std::string kExamples = EXAMPLES_DIR;

// Relative to the model's size. The reference multiplies Assimp's float
// matrices down each chain of nodes (200 deep in one case); the scene is
// evaluated in double. A quantisation step is about 4e-3.
constexpr double kTolerance = 1e-5;

hm::ImportResult ImportExact(const std::string& path, hm::ImportOptions options = {}) {
    options.exact = true;
    hm::ImportResult result = hm::ImportModel(path, options);
    EXPECT_TRUE(result.model) << result.error.message;
    EXPECT_TRUE(result.exact);
    return result;
}

std::vector<Point> Posed(const hm::imp::ExactPose& pose) {
    std::vector<Point> points;
    for (const hm::imp::Vec3d& p : pose.Positions()) points.push_back({p.x, p.y, p.z});
    return points;
}

// The largest distance, over every exported frame, relative to the model's size.
double WorstError(const std::string& path, hm::ImportOptions options = {}) {
    options.weld = false;  // the reference has Assimp's vertices, one for each texture coordinate
    const hm::ImportResult result = ImportExact(path, options);
    if (!result.exact) return INFINITY;
    AssimpReference reference(path);
    hm::imp::ExactPose pose(*result.exact);
    double worst = 0;
    auto compare = [&](int64_t frame, std::vector<Point> expected) {
        for (Point& p : expected)
            for (double& c : p) c *= options.scale;
        pose.Evaluate(frame);
        worst = std::max(worst, testing_pose::LargestDistance(Posed(pose), expected) / testing_pose::Extent(expected));
    };
    bool animated = false;
    for (size_t c = 0; c < result.clips.size(); ++c) {
        const hm::ClipInfo& clip = result.clips[c];
        if (clip.startFrame < 0) continue;
        animated = true;
        for (int64_t f = 0; f < clip.frameCount; ++f)
            compare(clip.startFrame + f,
                    reference.Pose(static_cast<int>(c), static_cast<double>(f) / options.fps, Skinning::kFull));
    }
    if (!animated) compare(0, reference.Pose(-1, 0, Skinning::kFull));
    EXPECT_EQ(pose.FrameCount(), result.model->totalFrames);
    return worst;
}

TEST(ExactPose, RealFilesMatchFullSkinningAtEveryFrame) {
    for (const std::string& path :
         {kData + "/SimpleSkin/SimpleSkin.gltf", kData + "/RiggedSimple/RiggedSimple.gltf",
          kData + "/greenman/greenman.glb", kExamples + "/totem.gltf", kData + "/sample/animated.fbx",
          kData + "/sample/animated_arm.dae", kData + "/sample/animated_arm_zup.dae",
          kData + "/sample/static_scaled.gltf", kData + "/sample/static.dae"})
        EXPECT_LT(WorstError(path), kTolerance) << path;
    hm::ImportOptions options;
    options.clips = {"1_idle"};
    options.fps = 12;
    options.scale = 40;
    EXPECT_LT(WorstError(kData + "/greenman/greenman.glb", options), kTolerance);
}

TEST(ExactPose, BuiltFilesMatchFullSkinningAtEveryFrame) {
    testing_support::ScratchDir dir;
    struct Case {
        const char* name;
        std::string text;
    };
    const Case cases[] = {{"many.gltf", test_files::LadderGltf(test_files::FaceRigLadder())},
                          {"prop.gltf", test_files::PropOnAnimatedNodeGltf()}};
    for (const Case& c : cases) {
        test_files::WriteText(dir / c.name, c.text);
        EXPECT_LT(WorstError(dir / c.name), kTolerance) << c.name;
    }
    // Every influence and both targets reach the scene, animated.
    const hm::ImportResult result = ImportExact(dir / "many.gltf");
    ASSERT_TRUE(result.exact);
    const hm::imp::ExactMesh& mesh = result.exact->meshes.at(0);
    EXPECT_EQ(mesh.influenceStart.at(1) - mesh.influenceStart.at(0), 8u);
    EXPECT_EQ(mesh.jointNodes.size(), 200u);
    EXPECT_EQ(mesh.TargetCount(), 2u);
    EXPECT_EQ(result.exact->clips.at(0).weights.size(), 1u);
}

// Vertices are posed several coordinates at a time; every double must come out
// as the plain formula gives it, in its order: the sum of w * (m p + t) over a
// vertex's influences from the first, or the mesh node's m p + t without any;
// and every float as that double rounded once. Of two NaNs meeting, which one
// comes out is the compiler's choice in either.
TEST(ExactPose, PosesAsThePlainFormulaBitForBit) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    struct Case {
        std::vector<int> influences;  // vertex v has influences[v % size] (none: no skin at all)
        size_t vertices;
        std::vector<double> weights;  // cycled over all influences
    };
    const Case cases[] = {{{0}, 41, {1}},
                          {{1}, 37, {1, -0.0, 0.0, 0.5}},
                          {{3, 4, 5, 8, 0, 1}, 43, {0.4, 0.3, 0.2, 0.1, 0.7}},
                          {{4, 2, 6}, 39, {0.25, nan, -0.0, inf, 0.0, -inf, 0.75, 1e300, -1e-310}},
                          {{}, 29, {}}};
    hm::imp::ExactScene scene;
    scene.scale = 1.5;
    for (int n = 0; n < 3; ++n) {
        scene.nodeParent.push_back(n - 1);
        scene.nodeRest.push_back(hm::imp::FromTrs({0.5 * n, -0.25, 1}, {0.1, 0.3 * n, -0.2, 0.9}, {1, 2.5, -0.5}));
    }
    const double odd[] = {0.3, -0.0, 1.75, nan, -2.5, inf, 0.0, 1e-300};
    for (const Case& c : cases) {
        hm::imp::ExactMesh mesh;
        mesh.node = 1;
        for (size_t v = 0; v < c.vertices; ++v) {
            const double a = std::sin(0.7 * v) * 3, b = std::cos(1.3 * v) * 5;
            mesh.positions.push_back(v % 4 ? hm::imp::Vec3d{a, b, a * b}
                                           : hm::imp::Vec3d{odd[v / 4 % 8], -0.0, odd[(v + 3) % 8]});
        }
        for (int j = 0; j < 3; ++j) {
            mesh.jointNodes.push_back(2 - j);
            mesh.inverseBinds.push_back(
                hm::imp::FromTrs({-0.0, 0.75, -j * 1.0}, {0.5, -0.1, 0.2 * j, 0.8}, {2, 1, 0.25}));
        }
        if (!c.influences.empty()) mesh.influenceStart.push_back(0);
        for (size_t v = 0; v < c.vertices && !c.influences.empty(); ++v) {
            for (int i = 0; i < c.influences[v % c.influences.size()]; ++i) {
                mesh.influenceJoint.push_back(static_cast<uint32_t>((v + i) % 3));
                mesh.influenceWeight.push_back(c.weights[mesh.influenceWeight.size() % c.weights.size()]);
            }
            mesh.influenceStart.push_back(static_cast<uint32_t>(mesh.influenceJoint.size()));
        }
        scene.meshes = {mesh};
        const Error error = hm::imp::CheckExactScene(scene);
        ASSERT_FALSE(error) << error.message;
        hm::imp::ExactPose pose(scene);
        pose.Evaluate(0);
        // As far as the span reaches, and not beyond.
        std::vector<Vector3f> rounded(c.vertices, {7, 7, 7});
        pose.PoseFrame(0, std::span(rounded).first(c.vertices - 1));
        hm::imp::NodePose nodes(scene);
        nodes.Evaluate({});
        auto scaled = [&](hm::imp::Affine a) {
            for (auto& row : a.m)
                for (double& e : row) e *= scene.scale;
            a.t = {a.t.x * scene.scale, a.t.y * scene.scale, a.t.z * scene.scale};
            return a;
        };
        for (size_t v = 0; v < c.vertices; ++v) {
            const hm::imp::Vec3d p = mesh.positions[v];
            double expected[3] = {0, 0, 0};
            auto add = [&](const hm::imp::Affine& a, double w, bool weighted) {
                const double t[3] = {a.t.x, a.t.y, a.t.z};
                for (int r = 0; r < 3; ++r) {
                    const double posed = a.m[r][0] * p.x + a.m[r][1] * p.y + a.m[r][2] * p.z + t[r];
                    expected[r] = weighted ? expected[r] + w * posed : posed;
                }
            };
            const uint32_t first = c.influences.empty() ? 0 : mesh.influenceStart[v];
            const uint32_t end = c.influences.empty() ? 0 : mesh.influenceStart[v + 1];
            if (first == end) add(scaled(nodes.Globals()[1]), 1, false);
            for (uint32_t i = first; i < end; ++i) {
                const uint32_t j = mesh.influenceJoint[i];
                add(scaled(hm::imp::Multiply(nodes.Globals()[static_cast<size_t>(mesh.jointNodes[j])],
                                             mesh.inverseBinds[j])),
                    mesh.influenceWeight[i], true);
            }
            const double got[3] = {pose.Positions()[v].x, pose.Positions()[v].y, pose.Positions()[v].z};
            const float gotFloat[3] = {rounded[v].x, rounded[v].y, rounded[v].z};
            for (int r = 0; r < 3; ++r) {
                EXPECT_TRUE(std::memcmp(&got[r], &expected[r], sizeof(double)) == 0 ||
                            (std::isnan(got[r]) && std::isnan(expected[r])))
                    << "vertex " << v << " of " << c.vertices << ", row " << r << ": " << got[r] << " not "
                    << expected[r];
                const float expectedFloat = v + 1 < c.vertices ? static_cast<float>(expected[r]) : 7.0f;
                EXPECT_TRUE(std::memcmp(&gotFloat[r], &expectedFloat, sizeof(float)) == 0 ||
                            (std::isnan(gotFloat[r]) && std::isnan(expectedFloat)))
                    << "vertex " << v << " of " << c.vertices << ", row " << r << " as float";
            }
        }
    }
}

// A scene from elsewhere is checked before anything reads it by its indices.
TEST(ExactPose, InconsistentScenesAreRefused) {
    testing_support::ScratchDir dir;
    test_files::LadderOptions ladder;
    ladder.morph = true;
    test_files::WriteText(dir / "ladder.gltf", test_files::LadderGltf(ladder));
    const hm::ImportResult result = ImportExact(dir / "ladder.gltf");
    ASSERT_TRUE(result.exact);
    const Error consistent = hm::imp::CheckExactScene(*result.exact);
    EXPECT_FALSE(consistent) << consistent.message;
    using Scene = hm::imp::ExactScene;
    const std::vector<std::pair<void (*)(Scene&), std::string>> damages = {
        {[](Scene& s) { s.nodeParent[0] = 5; }, "node 0 does not come after its parent"},
        {[](Scene& s) { s.nodeRest.pop_back(); }, "the node tree has transforms for"},
        {[](Scene& s) { s.meshes[0].jointNodes[1] = 99; }, "mesh 0 has a joint that names no node"},
        {[](Scene& s) { s.meshes[0].influenceJoint[0] = 99; }, "mesh 0 has an influence of no joint"},
        {[](Scene& s) { s.meshes[0].influenceStart.pop_back(); }, "mesh 0 has influences that do not match"},
        {[](Scene& s) { s.meshes[0].deltaVertex[0] = 999; }, "mesh 0 has a morph delta of no vertex"},
        {[](Scene& s) { s.meshes[0].restWeights.push_back(0); }, "mesh 0 has morph targets that do not match"},
        {[](Scene& s) { s.clips[0].weights[0].keyStart.pop_back(); }, "clip 0 has a track that does not match"},
        {[](Scene& s) { s.clips[0].weights[0].target.at(0) = 2; }, "clip 0 has a track that does not match"},
        {[](Scene& s) { s.fps = 0; }, "the frame rate is not a positive number"}};
    for (const auto& [damage, expected] : damages) {
        Scene scene = *result.exact;
        damage(scene);
        const Error error = hm::imp::CheckExactScene(scene);
        EXPECT_EQ(error.kind, ErrorKind::kBadInput) << expected;
        EXPECT_EQ(error.message.rfind(expected, 0), 0u) << error.message;
    }
}

// Meshes that share a skin share its joint transforms: each mesh must still
// come out as it does alone, whether its skin is another mesh's or only
// looks like one (the same joints, other bind matrices).
TEST(ExactPose, MeshAmongOthersPosesAsAlone) {
    hm::imp::ExactScene scene;
    for (int n = 0; n < 3; ++n) {
        scene.nodeParent.push_back(n - 1);
        scene.nodeRest.push_back(hm::imp::FromTrs({0.5 * n, -0.25, 1}, {0.1, 0.3 * n, -0.2, 0.9}, {1, 2.5, -0.5}));
    }
    auto skinned = [](double bind) {
        hm::imp::ExactMesh mesh;
        mesh.node = 0;
        mesh.influenceStart.push_back(0);
        for (uint32_t v = 0; v < 9; ++v) {
            mesh.positions.push_back({std::sin(v * 1.0), std::cos(v * 2.0), 0.5 * v});
            mesh.influenceJoint.insert(mesh.influenceJoint.end(), {v % 3, (v + 1) % 3});
            mesh.influenceWeight.insert(mesh.influenceWeight.end(), {0.75, 0.25});
            mesh.influenceStart.push_back(2 * (v + 1));
        }
        for (int j = 0; j < 3; ++j) {
            mesh.jointNodes.push_back(2 - j);
            mesh.inverseBinds.push_back(hm::imp::FromTrs({bind, 0.75, -j * 1.0}, {0.5, -0.1, 0.2 * j, 0.8}, {2, 1, 1}));
        }
        return mesh;
    };
    scene.meshes = {skinned(0.5), skinned(-3), skinned(0.5)};
    hm::imp::ExactPose together(scene);
    together.Evaluate(0);
    for (size_t m = 0; m < scene.meshes.size(); ++m) {
        hm::imp::ExactScene alone = scene;
        alone.meshes = {scene.meshes[m]};
        hm::imp::ExactPose pose(alone);
        pose.Evaluate(0);
        EXPECT_EQ(std::memcmp(pose.Positions().data(), together.Positions().data() + together.MeshStart(m),
                              pose.Positions().size() * sizeof(hm::imp::Vec3d)),
                  0)
            << "mesh " << m;
    }
}

}  // namespace

namespace {

// Rigid and skinned meshes (three on one skin): balls, each fifth about one
// axis mostly on a joint of its own, with vertices of no influence among skinned ones, weights negative,
// repeated and not summing to 1, and targets under animated weights.
hm::imp::ExactScene RandomScene(unsigned seed, bool oddValues) {
    constexpr int kNodes = 5, kVertices = 2000;
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> unit(-1, 1);
    auto around = [&](double size) { return hm::imp::Vec3d{size * unit(random), size * unit(random), size * unit(random)}; };
    hm::imp::ExactScene scene;
    scene.scale = 1.25;
    hm::imp::ExactClip clip;
    scene.fps = clip.ticksPerSecond = 30;
    clip.frameCount = 24;
    clip.durationTicks = 23;
    for (int n = 0; n < kNodes; ++n) {
        scene.nodeParent.push_back(n - 1);
        scene.nodeRest.push_back(hm::imp::FromTrs(around(1), {0.1, 0.2 * n, -0.3, 0.9}, {1, 1, 1}));
        hm::imp::NodeTrack track;
        track.node = n;
        for (int k = 0; k < 6; ++k) {
            track.positions.push_back({k * 4.5, around(1)});
            track.rotations.push_back({k * 4.5, {unit(random), unit(random), unit(random), 2 + unit(random)}});
            track.scales.push_back({k * 4.5, {1 + unit(random) / 4, 1 + unit(random) / 4, -1 + unit(random) / 4}});
        }
        clip.nodes.push_back(track);
    }
    for (int m = 0; m < 4; ++m) {
        hm::imp::ExactMesh mesh;
        mesh.node = m;
        std::mt19937 skin(seed + 1);
        std::vector<int> sector;
        for (int v = 0; v < kVertices; ++v) {
            const double z = unit(random), turn = std::numbers::pi * unit(random), r = std::sqrt(1 - z * z);
            const double size = 3 * std::cbrt(std::abs(unit(random)));  // filled: few are near the sides
            mesh.positions.push_back({size * r * std::cos(turn), size * r * std::sin(turn), size * z});
            sector.push_back(std::min(static_cast<int>((turn / std::numbers::pi + 1) / 2 * kNodes), kNodes - 1));
        }
        if (m > 0) {
            for (int j = 0; j < kNodes; ++j) {
                mesh.jointNodes.push_back(j);
                mesh.inverseBinds.push_back(hm::imp::FromTrs({0.1 * j, 0, -0.2}, {0.05, 0.0, 0.0, 1}, {1, 1, 1}));
            }
            mesh.influenceStart.push_back(0);
            for (int v = 0; v < kVertices; ++v) {
                // Summing to 1, as skins do, but with a weight over 1 and
                // one below 0, or a joint twice.
                const uint32_t joint = static_cast<uint32_t>(sector[static_cast<size_t>(v)]);
                const double w = std::uniform_real_distribution<double>(0.5, 1.3)(skin);
                const std::vector<std::pair<uint32_t, double>> influences[4] = {
                    {{joint, 1.0}},
                    {{joint, w}, {(joint + 1) % kNodes, 1 - w}},
                    {{joint, w / 2}, {joint, w / 2}, {(joint + 4) % kNodes, 1 - w}},
                    {}};  // none: posed by the mesh's node
                for (const auto& [j, weight] : influences[v % 7 == 3 ? 3 : v % 3]) {
                    mesh.influenceJoint.push_back(j);
                    mesh.influenceWeight.push_back(weight);
                }
                mesh.influenceStart.push_back(static_cast<uint32_t>(mesh.influenceJoint.size()));
            }
        }
        if (m == 3 || (m == 2 && oddValues)) {
            hm::imp::WeightTrack weights;
            weights.mesh = m;
            mesh.targetStart.push_back(0);
            for (int t = 0; t < 3; ++t) {
                mesh.restWeights.push_back(0);
                for (uint32_t v = t; v < kVertices; v += 2 + t) {
                    mesh.deltaVertex.push_back(v);
                    mesh.delta.push_back(around(0.4));
                }
                mesh.targetStart.push_back(static_cast<uint32_t>(mesh.delta.size()));
            }
            for (int k = 0; k < 5; ++k) weights.AddKey(k * 6, {2 * unit(random), 2 * unit(random), 0});
            clip.weights.push_back(weights);
        }
        scene.meshes.push_back(mesh);
    }
    if (oddValues) {
        const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
        scene.meshes[0].positions[3] = {nan, 0, 1};
        scene.meshes[1].positions[5] = {1e300, -1e300, 0};
        scene.meshes[2].influenceWeight[7] = inf;
        scene.meshes[2].delta[4] = {0, nan, 0};
    }
    scene.clips.push_back(clip);
    return scene;
}

// A frame's box found by posing only some blocks must be the box of every
// vertex, bit for bit, on a fork too, in any order of frames.
TEST(ExactPose, BoxOfAFrameIsTheBoxOfEveryVertex) {
    for (unsigned seed = 0; seed < 20; ++seed) {
        const hm::imp::ExactScene scene = RandomScene(seed, seed % 8 == 7);
        const Error error = hm::imp::CheckExactScene(scene);
        ASSERT_FALSE(error) << error.message;
        hm::imp::ExactPose pose(scene), full(scene);
        const std::unique_ptr<PoseSource> fork = pose.Fork();
        std::vector<Vector3f> all(8000), scratch(8000);
        for (const int32_t frame : {0, 1, 2, 3, 5, 8, 9, 10, 11, 12, 13, 17, 23, 30, 4, 0, 16, 7}) {
            full.PoseFrame(frame, all);
            FrameBox expected;
            for (const Vector3f& p : all) expected.Add(p);
            for (PoseSource* source : {static_cast<PoseSource*>(&pose), fork.get()}) {
                const FrameBox box = source->BoxFrame(frame, scratch);
                EXPECT_EQ(std::memcmp(&box, &expected, sizeof box), 0) << "seed " << seed << ", frame " << frame;
            }
        }
    }
}

}  // namespace

namespace {

// Three vertices on points 2, 0 and 2 of three, posed through the axes (a
// quarter turn about x) and the scale; the timeline plays source frames 3 then 1.
hm::imp::ExactScene VertexFrameScene() {
    hm::imp::ExactScene scene;
    scene.nodeParent = {-1};
    scene.nodeRest = {hm::imp::Affine{}};
    scene.axes.m = {{{1, 0, 0}, {0, 0, 1}, {0, -1, 0}}};
    scene.scale = 2;
    hm::imp::ExactMesh& mesh = scene.meshes.emplace_back();
    mesh.node = 0;
    mesh.positions = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
    mesh.framePoint = {2, 0, 2};
    scene.frames.points = 3;
    scene.frames.fileFrames = 4;
    scene.frames.timeline = {3, 1};
    for (int f = 0; f < 4; ++f)
        for (int p = 0; p < 3; ++p)
            for (int a = 0; a < 3; ++a) scene.frames.positions.push_back(static_cast<float>(100 * f + 10 * p + a));
    return scene;
}

std::vector<Vector3f> PoseAt(PoseSource& pose, int32_t frame) {
    std::vector<Vector3f> out(3);
    pose.PoseFrame(frame, out);
    return out;
}

bool Same(const std::vector<Vector3f>& a, const std::vector<Vector3f>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(Vector3f)) == 0;
}

}  // namespace

// A file's frames in place of the positions, from memory or read a frame at
// a time from a file (big-endian floats after a header, frames padded), the
// same bits either way and from a fork on another thread.
TEST(ExactPose, VertexFramesPoseEachFramesPointsFromMemoryOrTheFile) {
    const hm::imp::ExactScene inMemory = VertexFrameScene();
    ASSERT_FALSE(hm::imp::CheckExactScene(inMemory));
    testing_support::ScratchDir dir;
    hm::imp::ExactScene streamed = inMemory;
    streamed.frames.positions.clear();
    streamed.frames.path = dir / "frames.bin";
    streamed.frames.offset = 16;
    streamed.frames.stride = 40;
    streamed.frames.encoding = hm::imp::PointEncoding::kFloatBig;
    {
        std::string bytes(16, 'h');
        for (size_t i = 0; i < inMemory.frames.positions.size(); ++i) {
            uint32_t word;
            std::memcpy(&word, &inMemory.frames.positions[i], 4);
            word = __builtin_bswap32(word);
            bytes.append(reinterpret_cast<const char*>(&word), 4);
            if (i % 9 == 8) bytes += "pad!";
        }
        std::ofstream(streamed.frames.path, std::ios::binary) << bytes;
    }
    ASSERT_FALSE(hm::imp::CheckExactScene(streamed));
    ASSERT_FALSE(hm::imp::CheckFramePoints(streamed.frames));
    hm::imp::ExactPose memoryPose(inMemory), filePose(streamed);
    EXPECT_EQ(memoryPose.FrameCount(), 2);
    // Frame 0 plays source frame 3: point 2 is (320, 321, 322), turned to (320, 322, -321) and doubled.
    const std::vector<Vector3f> first = PoseAt(memoryPose, 0);
    EXPECT_EQ(first[0].x, 640);
    EXPECT_EQ(first[0].y, 644);
    EXPECT_EQ(first[0].z, -642);
    EXPECT_EQ(first[1].x, 600);
    EXPECT_TRUE(Same(PoseAt(memoryPose, 1), PoseAt(filePose, 1)));
    EXPECT_TRUE(Same(first, PoseAt(filePose, 0)));
    std::vector<Vector3f> room(3);
    const FrameBox box = memoryPose.BoxFrame(1, room), expected = BoxOf(PoseAt(memoryPose, 1));
    EXPECT_EQ(std::memcmp(&box, &expected, sizeof box), 0);
    const std::unique_ptr<PoseSource> fork = filePose.Fork();
    ASSERT_TRUE(fork);
    std::vector<Vector3f> forked;
    std::thread([&] { forked = PoseAt(*fork, 0); }).join();
    EXPECT_TRUE(Same(forked, first));

    // The file cut short under the export: the frame names the file, never garbage.
    std::filesystem::resize_file(streamed.frames.path, 16 + 2 * 40);
    hm::imp::ExactPose cut(streamed);
    EXPECT_TRUE(Same(PoseAt(cut, 1), PoseAt(memoryPose, 1)));
    try {
        PoseAt(cut, 0);
        ADD_FAILURE() << "a frame past the file's end was posed";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind(streamed.frames.path + ": frame 3 cannot be read", 0), 0u) << error.what();
    }
    EXPECT_EQ(hm::imp::CheckFramePoints(streamed.frames).message, "frame 2 cannot be read");
    streamed.frames.positions = {1, 2, NAN};
    streamed.frames.path.clear();
    streamed.frames.fileFrames = 1;
    streamed.frames.points = 1;
    EXPECT_EQ(hm::imp::CheckFramePoints(streamed.frames).message,
              "frame 0 point 0: a coordinate that is not a finite number");
}

TEST(ExactPose, InconsistentVertexFramesAreRefused) {
    using Scene = hm::imp::ExactScene;
    const std::vector<std::pair<void (*)(Scene&), std::string>> damages = {
        {[](Scene& s) { s.frames.timeline[1] = 4; }, "the vertex frames name a frame past the source's 4"},
        {[](Scene& s) { s.frames.timeline.clear(); }, "the vertex frames have no frame on the timeline"},
        {[](Scene& s) { s.frames.positions.pop_back(); }, "the vertex frames do not hold the frames they count"},
        {[](Scene& s) { s.frames.fileFrames = 5; }, "the vertex frames do not hold the frames they count"},
        {[](Scene& s) { s.clips.emplace_back(); }, "the vertex frames come with clips"},
        {[](Scene& s) { s.meshes[0].framePoint[1] = 3; }, "mesh 0 has a vertex of no point of the vertex frames"},
        {[](Scene& s) { s.meshes[0].framePoint.pop_back(); }, "mesh 0 has vertex frame points that do not match"},
        {[](Scene& s) {
             s.frames.path = "f.pc2";
             s.frames.stride = 35;
         },
         "the vertex frames overlap in the file"},
        {[](Scene& s) { s.frames.points = 0; }, "mesh 0 has a vertex of no point"},
    };
    for (const auto& [damage, expected] : damages) {
        Scene scene = VertexFrameScene();
        damage(scene);
        const Error error = hm::imp::CheckExactScene(scene);
        EXPECT_EQ(error.kind, ErrorKind::kBadInput) << expected;
        EXPECT_EQ(error.message.rfind(expected, 0), 0u) << error.message;
    }
}
