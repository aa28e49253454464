#include "skeleton/bone_table.h"
#include "skeleton/frame_pose.h"
#include "tests/skeleton/skeleton_test_support.h"

namespace {

const BoneMatrixSet& Entry(int32_t bone) { return *TheBoneTable().Entry(bone); }

// One mesh holding the given vertices, bound as given.
hmMesh* AddVertices(hmModel* model, std::initializer_list<HostVertex> vertices) {
    hmMesh* mesh = hm::AddMesh(model, "body");
    mesh->vertices.assign(vertices);
    return mesh;
}

TEST(BindPose, TranslatedRootMovesVertexIntoItsFrame) {
    hm::ModelPtr model(hm::CreateModel());
    hm::AddBone(model.get(), "root", "", {1, 2, 3}, {0, 0, 0});
    hmMesh* mesh = AddVertices(model.get(), {hm::MakeVertex({1, 2, 4}, 0, 0, 0),
                                             hm::MakeVertex({-0.0f, 1e-40f, 3.3f}, 0, 0, -1)});
    const HostVertex unbound = mesh->vertices[1];
    SetupBindPose(model.get());

    Matrix3x4 expected{{{1, 0, 0, 1}, {0, 1, 0, 2}, {0, 0, 1, 3}}};
    ExpectEqualMatrices(Entry(0).localBind, expected);
    ExpectEqualMatrices(Entry(0).absoluteBind, expected);
    ExpectEqualMatrices(Entry(0).absolutePose, expected);
    ExpectNear(PositionOf(mesh->vertices[0]), 0, 0, 1, 0.0f);
    EXPECT_EQ(std::memcmp(&mesh->vertices[1], &unbound, sizeof unbound), 0);
}

TEST(BindPose, RotatedRootAndChildUnderIt) {
    hm::ModelPtr model(hm::CreateModel());
    hm::AddBone(model.get(), "root", "", {0, 0, 10}, {0, 0, kPi / 2});
    hm::AddBone(model.get(), "child", "root", {5, 0, 0}, {0, 0, 0});
    hmMesh* mesh = AddVertices(model.get(), {hm::MakeVertex({0, 1, 10}, 0, 0, 0),
                                             hm::MakeVertex({0, 6, 10}, 0, 0, 1)});
    SetupBindPose(model.get());

    ExpectNear(Translation(Entry(1).absoluteBind), 0, 5, 10, 1e-6f);
    ExpectSameRotation(Entry(1).absoluteBind, Entry(0).absoluteBind, 0.0f);
    EXPECT_TRUE(SameBits(Entry(1).absolutePose, Entry(1).absoluteBind));
    ExpectNear(PositionOf(mesh->vertices[0]), 1, 0, 0, 1e-6f);
    ExpectNear(PositionOf(mesh->vertices[1]), 1, 0, 0, 1e-6f);
}

// Bones named after a parent that is listed later, or that names no bone,
// itself, or a partner in a cycle.
TEST(BindPose, ParentsComeFirstWhateverTheOrderAndCyclesBecomeRoots) {
    hm::ModelPtr model(hm::CreateModel());
    hm::AddBone(model.get(), "tip", "mid", {0, 2, 0}, {0.1f, 0, 0});
    hm::AddBone(model.get(), "mid", "base", {3, 0, 0}, {0, 0.5f, 0});
    hm::AddBone(model.get(), "base", "nobody", {0, 0, 1}, {0, 0, 0.7f});
    hm::AddBone(model.get(), "self", "self", {4, 0, 0}, {0, 0, 0});
    hm::AddBone(model.get(), "ping", "pong", {5, 0, 0}, {0, 0, 0});
    hm::AddBone(model.get(), "pong", "ping", {6, 0, 0}, {0, 0, 0});
    hm::AddBone(model.get(), "hang", "pong", {0, 1, 0}, {0, 0, 0});
    hmMesh* mesh = AddVertices(model.get(), {hm::MakeVertex({1, 2, 3}, 0, 0, 0),
                                             hm::MakeVertex({1, 2, 3}, 0, 0, 7),
                                             hm::MakeVertex({1, 2, 3}, 0, 0, -5)});

    hm::ModelPtr ordered(hm::CreateModel());
    hm::AddBone(ordered.get(), "base", "", {0, 0, 1}, {0, 0, 0.7f});
    hm::AddBone(ordered.get(), "mid", "base", {3, 0, 0}, {0, 0.5f, 0});
    hm::AddBone(ordered.get(), "tip", "mid", {0, 2, 0}, {0.1f, 0, 0});
    hmMesh* orderedMesh = AddVertices(ordered.get(), {hm::MakeVertex({1, 2, 3}, 0, 0, 2)});
    SetupBindPose(ordered.get());
    const Matrix3x4 tipBind = Entry(2).absoluteBind;

    SetupBindPose(model.get());
    EXPECT_TRUE(SameBits(Entry(0).absoluteBind, tipBind));
    EXPECT_TRUE(SameBits(PositionOf(mesh->vertices[0]), PositionOf(orderedMesh->vertices[0])));
    for (int32_t root : {3, 4, 5}) EXPECT_TRUE(SameBits(Entry(root).absoluteBind, Entry(root).localBind));
    ExpectNear(Translation(Entry(6).absoluteBind), 6, 1, 0, 0.0f);
    for (int32_t k : {1, 2}) ExpectNear(PositionOf(mesh->vertices[k]), 1, 2, 3, 0.0f);
}

TEST(BoneTable, GrowsForLargerModelsAndKeepsWhatItHeld) {
    hm::ModelPtr small(hm::CreateModel());
    hm::AddBone(small.get(), "a", "", {1, 0, 0}, {0, 0, 0});
    hm::AddBone(small.get(), "b", "a", {0, 1, 0}, {0, 0, 0})->positionKeys.push_back({0, {0, 0, 2}});
    SetupBindPose(small.get());
    EvaluatePose(small.get(), 0);
    const BoneMatrixSet before = Entry(1);

    const int32_t bones = TheBoneTable().capacity + 3;
    hm::ModelPtr large(hm::CreateModel());
    for (int32_t i = 0; i < bones; ++i) hm::AddBone(large.get(), "n" + std::to_string(i), "", {float(i), 0, 0}, {});
    AddVertices(large.get(), {hm::MakeVertex({0, 0, 0}, 0, 0, 2)});
    SetupBindPose(large.get());
    ASSERT_GE(TheBoneTable().capacity, bones);
    EXPECT_TRUE(SameBits(Entry(1).localPose, before.localPose));
    EXPECT_EQ(Entry(bones - 1).absoluteBind.m[0][3], float(bones - 1));
    EXPECT_EQ(PositionOf(large->meshes[0]->vertices[0]).x, -2.0f);

    // A smaller model again: entries past its bones keep the larger model's values.
    SetupBindPose(small.get());
    EXPECT_EQ(TheBoneTable().boneCount, 2);
    EXPECT_EQ(Entry(bones - 1).absoluteBind.m[0][3], float(bones - 1));
}

}  // namespace
