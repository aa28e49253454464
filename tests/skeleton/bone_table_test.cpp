#include "skeleton/bone_table.h"
#include "tests/skeleton/skeleton_test_support.h"

namespace {

// One mesh holding the given vertices, bound as given.
hmMesh* AddVertices(hmModel* model, std::initializer_list<HostVertex> vertices) {
    hmMesh* mesh = hm::AddMesh(model, "body");
    mesh->vertices.assign(vertices);
    return mesh;
}

TEST(BindPose, TranslatedRootMovesVertexIntoItsFrame) {
    BoneTable table;
    hm::ModelPtr model(hm::CreateModel());
    hm::AddBone(model.get(), "root", "", {1, 2, 3}, {0, 0, 0});
    hmMesh* mesh = AddVertices(model.get(), {hm::MakeVertex({1, 2, 4}, 0, 0, 0),
                                             hm::MakeVertex({-0.0f, 1e-40f, 3.3f}, 0, 0, -1)});
    const HostVertex unbound = mesh->vertices[1];
    table.SetupBindPose(model.get());

    Matrix3x4 expected{{{1, 0, 0, 1}, {0, 1, 0, 2}, {0, 0, 1, 3}}};
    ExpectEqualMatrices(table.Entry(0)->localBind, expected);
    ExpectEqualMatrices(table.Entry(0)->absoluteBind, expected);
    ExpectEqualMatrices(table.Entry(0)->absolutePose, expected);
    ExpectNear(PositionOf(mesh->vertices[0]), 0, 0, 1, 0.0f);
    EXPECT_EQ(std::memcmp(&mesh->vertices[1], &unbound, sizeof unbound), 0);
}

TEST(BindPose, RotatedRootAndChildUnderIt) {
    BoneTable table;
    hm::ModelPtr model(hm::CreateModel());
    hm::AddBone(model.get(), "root", "", {0, 0, 10}, {0, 0, kPi / 2});
    hm::AddBone(model.get(), "child", "root", {5, 0, 0}, {0, 0, 0});
    hmMesh* mesh = AddVertices(model.get(), {hm::MakeVertex({0, 1, 10}, 0, 0, 0),
                                             hm::MakeVertex({0, 6, 10}, 0, 0, 1)});
    table.SetupBindPose(model.get());

    ExpectNear(Translation(table.Entry(1)->absoluteBind), 0, 5, 10, 1e-6f);
    ExpectSameRotation(table.Entry(1)->absoluteBind, table.Entry(0)->absoluteBind, 0.0f);
    EXPECT_TRUE(SameBits(table.Entry(1)->absolutePose, table.Entry(1)->absoluteBind));
    ExpectNear(PositionOf(mesh->vertices[0]), 1, 0, 0, 1e-6f);
    ExpectNear(PositionOf(mesh->vertices[1]), 1, 0, 0, 1e-6f);
}

// Bones named after a parent that is listed later, or that names no bone,
// itself, or a partner in a cycle.
TEST(BindPose, ParentsComeFirstWhateverTheOrderAndCyclesBecomeRoots) {
    BoneTable table;
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
    table.SetupBindPose(ordered.get());
    const Matrix3x4 tipBind = table.Entry(2)->absoluteBind;

    table.SetupBindPose(model.get());
    EXPECT_TRUE(SameBits(table.Entry(0)->absoluteBind, tipBind));
    EXPECT_TRUE(SameBits(PositionOf(mesh->vertices[0]), PositionOf(orderedMesh->vertices[0])));
    for (int32_t root : {3, 4, 5}) EXPECT_TRUE(SameBits(table.Entry(root)->absoluteBind, table.Entry(root)->localBind));
    ExpectNear(Translation(table.Entry(6)->absoluteBind), 6, 1, 0, 0.0f);
    for (int32_t k : {1, 2}) ExpectNear(PositionOf(mesh->vertices[k]), 1, 2, 3, 0.0f);
}

TEST(BoneTable, GrowsForLargerModelsAndKeepsWhatItHeld) {
    BoneTable table;
    hm::ModelPtr small(hm::CreateModel());
    hm::AddBone(small.get(), "a", "", {1, 0, 0}, {0, 0, 0});
    hm::AddBone(small.get(), "b", "a", {0, 1, 0}, {0, 0, 0})->positionKeys.push_back({0, {0, 0, 2}});
    table.SetupBindPose(small.get());
    table.EvaluatePose(small.get(), 0);
    const BoneMatrixSet before = *table.Entry(1);

    const int32_t bones = table.Capacity() + 3;
    hm::ModelPtr large(hm::CreateModel());
    for (int32_t i = 0; i < bones; ++i) hm::AddBone(large.get(), "n" + std::to_string(i), "", {float(i), 0, 0}, {});
    AddVertices(large.get(), {hm::MakeVertex({0, 0, 0}, 0, 0, 2)});
    table.SetupBindPose(large.get());
    ASSERT_GE(table.Capacity(), bones);
    EXPECT_TRUE(SameBits(table.Entry(1)->localPose, before.localPose));
    EXPECT_EQ(table.Entry(bones - 1)->absoluteBind.m[0][3], float(bones - 1));
    EXPECT_EQ(PositionOf(large->meshes[0]->vertices[0]).x, -2.0f);

    // A smaller model again: entries past its bones keep the larger model's values.
    table.SetupBindPose(small.get());
    EXPECT_EQ(table.BoneCount(), 2);
    EXPECT_EQ(table.Entry(bones - 1)->absoluteBind.m[0][3], float(bones - 1));
}

}  // namespace
