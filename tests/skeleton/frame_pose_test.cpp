#include "skeleton/bone_table.h"
#include "skeleton/frame_pose.h"
#include "tests/skeleton/skeleton_test_support.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

Vector3f Posed(const BoneTable& table, const HostVertex& vertex) {
    Vector3f out;
    table.GetPosedVertex(out, &vertex);
    return out;
}

// A root moving from the origin to (10, 0, 0) while it turns a quarter about
// Z over frames 0 to 10, with a keyed and an unkeyed child. Vertices: (1, 0, 0)
// on the root, (6, 0, 0) on the keyed child, (2, 3, 4) on the unkeyed one.
struct MovingRoot : ::testing::Test {
    hm::ModelPtr model{hm::CreateModel()};
    hmMesh* mesh = hm::AddMesh(model.get(), "body");
    BoneTable table;

    const BoneMatrixSet& Entry(int32_t bone) const { return *table.Entry(bone); }
    Vector3f Posed(const HostVertex& vertex) const { return ::Posed(table, vertex); }

    void SetUp() override {
        HostBoneEntry* root = hm::AddBone(model.get(), "root", "", {0, 0, 0}, {0, 0, 0});
        root->positionKeys = {{0, {0, 0, 0}}, {10, {10, 0, 0}}};
        root->rotationKeys = {{0, {0, 0, 0}}, {10, {0, 0, kPi / 2}}};
        HostBoneEntry* keyed = hm::AddBone(model.get(), "keyed", "root", {5, 0, 0}, {0, 0, 0});
        keyed->positionKeys = {{0, {0, 0, 0}}};
        keyed->rotationKeys = {{0, {0, 0, 0}}};
        hm::AddBone(model.get(), "still", "root", {0, 2, 0}, {0.3f, 0, 0});
        mesh->vertices = {hm::MakeVertex({1, 0, 0}, 0, 0, 0), hm::MakeVertex({6, 0, 0}, 0, 0, 1),
                          hm::MakeVertex({2, 3, 4}, 0, 0, 2)};
        table.SetupBindPose(model.get());
    }
};

TEST_F(MovingRoot, RootVertexAtKeysBetweenAndBeyond) {
    table.EvaluatePose(model.get(), 0);
    ExpectNear(Posed(mesh->vertices[0]), 1, 0, 0, 1e-6f);
    table.EvaluatePose(model.get(), 5);
    ExpectNear(Posed(mesh->vertices[0]), 5.7071068f, 0.70710677f, 0, 1e-6f);
    table.EvaluatePose(model.get(), 10);
    ExpectNear(Posed(mesh->vertices[0]), 10, 1, 0, 1e-6f);
    table.EvaluatePose(model.get(), 12);
    ExpectNear(Posed(mesh->vertices[0]), 10, 1, 0, 1e-6f);
}

TEST_F(MovingRoot, KeyedChildFollowsUnkeyedChildStays) {
    for (int32_t frame : {0, 5, 10}) {
        table.EvaluatePose(model.get(), frame);
        EXPECT_TRUE(SameBits(Entry(2).absolutePose, Entry(2).absoluteBind));
        ExpectNear(Posed(mesh->vertices[2]), 2, 3, 4, 1e-5f);
    }
    ExpectSameRotation(Entry(1).absolutePose, Entry(0).absolutePose, 0.0f);
    ExpectNear(Translation(Entry(1).absolutePose), 10, 5, 0, 1e-6f);
    ExpectNear(Posed(mesh->vertices[1]), 10, 6, 0, 1e-6f);
}

TEST_F(MovingRoot, SameFrameTwiceIsIdenticalAndUnboundVerticesKeepTheirBits) {
    const HostVertex loose[] = {hm::MakeVertex({-0.0f, 1e-40f, 3.3f}), hm::MakeVertex({1, 2, 3}, 0, 0, 3),
                                hm::MakeVertex({4, 5, 6}, 0, 0, -7)};
    table.EvaluatePose(model.get(), 7);
    const Vector3f first = Posed(mesh->vertices[0]);
    table.EvaluatePose(model.get(), 3);
    table.EvaluatePose(model.get(), 7);
    EXPECT_TRUE(SameBits(Posed(mesh->vertices[0]), first));
    for (const HostVertex& vertex : loose) EXPECT_TRUE(SameBits(Posed(vertex), PositionOf(vertex)));
    Vector3f out{1, 1, 1};
    table.GetPosedVertex(out, nullptr);
    ExpectNear(out, 0, 0, 0, 0.0f);
}

// Bones beyond the count set up are left alone, even in a table that held a
// larger model before, and a null model changes nothing.
TEST_F(MovingRoot, ModelLargerThanSetUpTouchesOnlySetUpBones) {
    hm::ModelPtr larger(hm::CreateModel());
    for (int i = 0; i < 5; ++i) hm::AddBone(larger.get(), "b" + std::to_string(i), "", {float(i), 0, 0}, {});
    BoneTable reused;
    ASSERT_TRUE(reused.BuildBindPose(larger.get()));
    ASSERT_TRUE(reused.BuildBindPose(model.get()));  // the fixture's table has moved the vertices
    reused.EvaluatePose(model.get(), 10);
    hm::AddBone(model.get(), "late", "root", {1, 1, 1}, {})->positionKeys = {{0, {1, 1, 1}}};
    const Matrix3x4 untouched = reused.Entry(3)->absolutePose;
    const Matrix3x4 root = reused.Entry(0)->absolutePose;
    reused.EvaluatePose(nullptr, 5);
    EXPECT_TRUE(SameBits(reused.Entry(0)->absolutePose, root));
    reused.EvaluatePose(model.get(), 5);
    EXPECT_TRUE(SameBits(reused.Entry(3)->absolutePose, untouched));
    EXPECT_FALSE(SameBits(reused.Entry(0)->absolutePose, root));
}

// With every key at zero the pose is the rest pose: vertices come back to
// where they were before SetupBindPose, through bones with rest rotations,
// listed child before parent.
TEST(FramePose, ZeroKeysGiveRestPoseInAnyBoneOrder) {
    BoneTable table;
    auto Entry = [&](int32_t bone) -> const BoneMatrixSet& { return *table.Entry(bone); };
    const std::vector<HostVec3> points = {{1, 2, 3}, {-4, 0.5f, 9}, {7, -7, 0.25f}};
    auto build = [&](bool parentsFirst) {
        hm::ModelPtr model(hm::CreateModel());
        auto add = [&](const char* name, const char* parent, HostVec3 at, HostVec3 turn) {
            HostBoneEntry* bone = hm::AddBone(model.get(), name, parent, at, turn);
            bone->positionKeys = {{0, {0, 0, 0}}, {4, {0, 0, 0}}};
            bone->rotationKeys = {{0, {0, 0, 0}}};
        };
        if (parentsFirst) add("a", "", {1, 2, 3}, {0.4f, -0.2f, 1.1f});
        add("b", "a", {0, 3, 0}, {-0.7f, 0.3f, 0.0f});
        add("c", "b", {2, 0, -1}, {0.0f, 1.3f, -0.4f});
        if (!parentsFirst) add("a", "", {1, 2, 3}, {0.4f, -0.2f, 1.1f});
        hmMesh* mesh = hm::AddMesh(model.get(), "m");
        for (const HostVec3& p : points) mesh->vertices.push_back(hm::MakeVertex(p, 0, 0, parentsFirst ? 2 : 1));
        return model;
    };
    std::vector<Vector3f> posed[2];
    for (bool parentsFirst : {true, false}) {
        hm::ModelPtr model = build(parentsFirst);
        table.SetupBindPose(model.get());
        table.EvaluatePose(model.get(), 2);
        for (int32_t bone = 0; bone < 3; ++bone) ExpectEqualMatrices(Entry(bone).absolutePose, Entry(bone).absoluteBind);
        for (size_t k = 0; k < points.size(); ++k) {
            posed[parentsFirst].push_back(Posed(table, model->meshes[0]->vertices[k]));
            ExpectNear(posed[parentsFirst].back(), points[k].x, points[k].y, points[k].z, 1e-5f);
        }
    }
    for (size_t k = 0; k < points.size(); ++k) EXPECT_TRUE(SameBits(posed[0][k], posed[1][k]));
}

TEST(FramePose, SelfParentAndCycleAreRootsKeysOfOneKindLeaveTheOtherAtRest) {
    BoneTable table;
    auto Entry = [&](int32_t bone) -> const BoneMatrixSet& { return *table.Entry(bone); };
    hm::ModelPtr model(hm::CreateModel());
    hm::AddBone(model.get(), "self", "self", {1, 0, 0}, {0, 0, 0.5f})->positionKeys = {{0, {0, 3, 0}}};
    hm::AddBone(model.get(), "ping", "pong", {0, 0, 2}, {0.2f, 0, 0})->rotationKeys = {{0, {0, 0, 1}}};
    hm::AddBone(model.get(), "pong", "ping", {0, 4, 0}, {0, 0, 0})->positionKeys = {{0, {1, 0, 0}}};
    table.SetupBindPose(model.get());
    table.EvaluatePose(model.get(), 1);
    for (int32_t bone = 0; bone < 3; ++bone)
        EXPECT_TRUE(SameBits(Entry(bone).absolutePose, Entry(bone).localPose)) << bone;
    ExpectSameRotation(Entry(0).localPose, Entry(0).localBind, 0.0f);
    ExpectNear(Translation(Entry(1).localPose), 0, 0, 2, 0.0f);
    ExpectNear(Translation(Entry(2).localPose), 1, 4, 0, 0.0f);
}

int32_t LinearNextKey(HostBone* bone, float t) {
    const int32_t count = hmBone_GetPositionKeyCount(bone);
    for (int32_t k = 0; k < count; ++k)
        if (hmBone_GetPositionKeyAt(bone, k)->time >= t) return k;
    return count;
}

TEST(FramePose, BisectionFindsTheKeyTheLinearWalkFinds) {
    std::mt19937 random(1234);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    hm::ModelPtr model(hm::CreateModel());
    HostBoneEntry* bone = hm::AddBone(model.get(), "b", "", {}, {});
    for (int round = 0; round < 300; ++round) {
        const int count = int(random() % 12);
        std::vector<HostPositionKey>& keys = bone->positionKeys;
        keys.clear();
        float time = float(int(random() % 5)) - 2;
        for (int k = 0; k < count; ++k) {
            time += float(int(random() % 3)) * 0.5f;  // steps of 0: equal times in a row
            keys.push_back({time, {}});
        }
        if (round % 3 == 0)  // NaN times sprinkled among ascending ones
            for (HostPositionKey& key : keys)
                if (random() % 3 == 0) key.time = nan;
        for (float t = -3; t <= time + 1; t += 0.5f)
            ASSERT_EQ(FindNextPositionKey(&bone->record, t), LinearNextKey(&bone->record, t))
                << "round " << round << " t " << t;
    }
}

// The bake's threads pose from a copy of the keys and vertices, four vertices
// of a bone at a time: every frame must come out bit for bit as posed from the
// host's model, vertex by vertex.
TEST(FramePose, CopyPosesAsTheModelBitForBit) {
    std::mt19937 random(99);
    std::uniform_real_distribution<float> angle(-3.2f, 3.2f), place(-4.0f, 4.0f);
    auto value = [&](int k) { return k % 5 == 0 ? -0.0f : place(random); };
    hm::ModelPtr model(hm::CreateModel());
    for (int b = 0; b < 9; ++b) {
        HostBoneEntry* bone = hm::AddBone(model.get(), "b" + std::to_string(b), b ? "b" + std::to_string(b / 2) : "",
                                          {value(b), value(b + 1), 0}, {angle(random), angle(random), angle(random)});
        for (int k = 0; b % 4 != 3 && k < 4 + b; ++k) {  // every fourth bone unkeyed
            // Bone 5's times repeat, bone 6's go down once, bone 2's hold a NaN.
            const float time = b == 5 ? float(k / 2 * 3) : b == 6 && k == 3 ? 1.0f : b == 2 && k == 2 ? NAN : k * 3.0f;
            bone->positionKeys.push_back({time, {value(k), value(k + 2), -0.0f}});
            bone->rotationKeys.push_back({time * 2 / 3, {angle(random), angle(random), angle(random)}});
        }
    }
    for (int m = 0; m < 3; ++m) {
        hmMesh* mesh = hm::AddMesh(model.get(), "m" + std::to_string(m));
        for (int v = 0; v < 11 + m; ++v)  // bones -1 to 9 (9: none of the model's)
            mesh->vertices.push_back(hm::MakeVertex({v % 3 ? place(random) : 0.0f, v % 3 ? place(random) : -0.0f, 0.0f},
                                                    0, 0, static_cast<int8_t>(v % 11 - 1)));
    }
    BoneTable table, forked;
    table.SetupBindPose(model.get());
    ASSERT_TRUE(forked.BuildBindPose(model.get()));
    const PoseSnapshot snapshot = table.CopyPoseSnapshot(model.get());
    std::vector<Vector3f> fromModel(36), fromCopy(36);
    // Frames in order, as a worker of several takes them, backwards and by
    // jumps: a copy looks for each frame's keys from where it found the last.
    std::vector<int32_t> cursors(2 * 9);
    BoxScan scan;
    for (int32_t frame : {-1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 11, 13, 15, 17, 19, 25,
                          12, 9, 7, 4, 2, 0, 5, 3, 1, 20, 0, 6, 14, 8, 10}) {
        table.EvaluatePose(model.get(), frame);
        table.GetPosedVertices(model.get(), fromModel);
        forked.EvaluatePose(snapshot, frame, cursors);
        forked.GetPosedVertices(snapshot, fromCopy);
        ASSERT_EQ(std::memcmp(fromModel.data(), fromCopy.data(), fromModel.size() * sizeof(Vector3f)), 0)
            << "frame " << frame;
        // The box from the blocks that could decide it is every vertex's box.
        FrameBox expected;
        for (const Vector3f& p : fromModel) expected.Add(p);
        const FrameBox box = forked.BoxPosedVertices(snapshot, fromCopy, scan);
        ASSERT_EQ(std::memcmp(&box, &expected, sizeof box), 0) << "frame " << frame;
    }
}

}  // namespace
