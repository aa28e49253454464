#include "import/bone_keys.h"
#include "skeleton/bone_table.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace hm::imp;

Affine Rigid(Vec3d angles, Vec3d t) { return {RotationFromEuler(angles), t}; }

// Within tolerance of the double transform, rotation and translation.
void ExpectPose(const Matrix3x4& m, const Affine& a, double tolerance) {
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(m.m[r][c], a.m[r][c], tolerance) << r << "," << c;
    }
    EXPECT_NEAR(m.m[0][3], a.t.x, tolerance);
    EXPECT_NEAR(m.m[1][3], a.t.y, tolerance);
    EXPECT_NEAR(m.m[2][3], a.t.z, tolerance);
}

// The contract with the plug-in: its table, built from the bones and keys
// written, rests where RebuiltRest says and poses each bone where the keys
// asked, frame after frame, scale included.
TEST(HostBoneWriter, PluginPosesEachBoneWhereTheKeysAsk) {
    Skeleton skeleton;
    skeleton.bones = {{0, -1, "root", Rigid({0.3, -0.2, 0.1}, {1, 2, 3})},
                      {1, 0, "arm", Rigid({0.3, 0.5, 0.1}, {1, 4, 3})},
                      {2, 1, "hand", Rigid({-1.2, 0.5, 1.0}, {2, 5, 3})}};
    const double scale = 2.0;
    hm::ModelPtr model(hm::CreateModel());
    HostBoneWriter writer(*model, skeleton, scale);
    const std::vector<std::vector<Affine>> frames = {
        {Rigid({0.1, 0.2, 0.3}, {0, 1, 0}), Rigid({0.4, 0.2, 1.3}, {1, 2, 0}), Rigid({1.5, 0.2, -0.3}, {1, 3, 1})},
        {Rigid({0.2, 1.5, 0.3}, {0, 1, 1}), Rigid({0.4, 1.5, 0.3}, {1, 1, 1}), Rigid({0.4, 1.5, 2.9}, {2, 1, 1})}};
    for (size_t f = 0; f < frames.size(); ++f) writer.AddKeys(frames[f], static_cast<float>(f));

    BoneTable table;
    ASSERT_TRUE(table.BuildBindPose(model.get()));
    ASSERT_EQ(table.BoneCount(), 3);
    for (int32_t b = 0; b < 3; ++b) ExpectPose(table.Entry(b)->absoluteBind, writer.RebuiltRest()[b], 1e-5);
    for (size_t f = 0; f < frames.size(); ++f) {
        table.EvaluatePose(model.get(), static_cast<int32_t>(f));
        for (int32_t b = 0; b < 3; ++b) {
            Affine expected = frames[f][b];
            expected.t = {expected.t.x * scale, expected.t.y * scale, expected.t.z * scale};
            ExpectPose(table.Entry(b)->absolutePose, expected, 1e-5);
        }
    }
}

}  // namespace
