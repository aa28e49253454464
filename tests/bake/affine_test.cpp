#include "bake/affine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

using namespace hm::imp;

constexpr double kPi = 3.14159265358979323846;

Mat3 FloatRecompose(Vec3d angles) {
    // The host stores the angles as floats; the recomposed rotation must stay close.
    return RotationFromEuler({static_cast<float>(angles.x), static_cast<float>(angles.y), static_cast<float>(angles.z)});
}

TEST(EulerFromRotation, RecomposesEverywhereIncludingNinetyDegreesAboutY) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> angle(-kPi, kPi);
    std::uniform_real_distribution<double> tiny(-1e-6, 1e-6);
    double worst = 0;
    for (int i = 0; i < 20000; ++i) {
        double y = angle(random) / 2;
        if (i % 4 == 1) y = kPi / 2 + tiny(random);   // at and around the lock, from both sides
        if (i % 4 == 2) y = -kPi / 2 + tiny(random);
        if (i % 4 == 3) y = (i % 8 == 3 ? 1 : -1) * kPi / 2;
        const Mat3 r = RotationFromEuler({angle(random), y, angle(random)});
        const Vec3d found = EulerFromRotation(r);
        EXPECT_LE(std::fabs(found.y), kPi / 2 + 1e-12);
        worst = std::max(worst, MaxDifference(FloatRecompose(found), r));
    }
    EXPECT_LT(worst, 1e-6);
}

TEST(EulerFromRotation, KnownAngles) {
    const Vec3d a = EulerFromRotation(RotationFromEuler({0.3, -0.4, 0.5}));
    EXPECT_NEAR(a.x, 0.3, 1e-12);
    EXPECT_NEAR(a.y, -0.4, 1e-12);
    EXPECT_NEAR(a.z, 0.5, 1e-12);
    // A quarter turn about Z takes x to y.
    const Mat3 r = RotationFromEuler({0, 0, kPi / 2});
    const Vec3d p = Apply(r, Vec3d{1, 0, 0});
    EXPECT_NEAR(p.x, 0, 1e-15);
    EXPECT_NEAR(p.y, 1, 1e-15);
}

TEST(SplitRigid, SeparatesRotationFromScaleShearAndMirror) {
    const Affine rotation = FromTrs({1, 2, 3}, Quat{0.2, -0.3, 0.1, 0.9}, {1, 1, 1});
    for (Vec3d scale : {Vec3d{2, 2, 2}, Vec3d{0.5, 3, 1}, Vec3d{-1, 1, 1}, Vec3d{0.01, 0.01, 0.01}}) {
        Affine a = FromTrs({1, 2, 3}, Quat{0.2, -0.3, 0.1, 0.9}, scale);
        a.m[0][1] += 0.02 * scale.y;  // a little shear
        const RigidSplit split = SplitRigid(a);
        EXPECT_NEAR(Determinant(split.rigid.m), 1.0, 1e-12);
        EXPECT_LT(MaxDifference(Multiply(Transpose(split.rigid.m), split.rigid.m), kIdentity3), 1e-12);
        EXPECT_LT(MaxDifference(Multiply(split.rigid.m, split.stretch), a.m), 1e-12);
        EXPECT_EQ(split.rigid.t.z, 3);
        if (scale.x > 0 && scale.x == scale.y) {
            EXPECT_LT(MaxDifference(split.rigid.m, rotation.m), 0.05);
        }
    }
    Affine flat;
    flat.m[2] = {0, 0, 0};
    EXPECT_EQ(SplitRigid(flat).rigid.m, kIdentity3);
    EXPECT_EQ(SplitRigid(flat).stretch, flat.m);
}

// A turn of 160 degrees at an even rate: a quarter of the way, a blend of the
// ends (which agrees halfway) would be degrees off.
TEST(Slerp, EvenRateAndShortestArc) {
    const double theta = 160 * kPi / 180;
    for (const double f : {0.25, 0.5, 0.75}) {
        const Quat q = Slerp({0, 0, 0, 1}, {0, 0, std::sin(theta / 2), std::cos(theta / 2)}, f);
        EXPECT_NEAR(q.z, std::sin(f * theta / 2), 1e-12) << f;
        EXPECT_NEAR(q.w, std::cos(f * theta / 2), 1e-12) << f;
    }
    const double s = std::sqrt(0.5);
    const Quat half = Slerp({0, 0, 0, 1}, {0, 0, s, s}, 0.5);
    // -q is the same rotation: the way there is the short one.
    const Quat viaNegated = Slerp({0, 0, 0, 1}, {0, 0, -s, -s}, 0.5);
    EXPECT_LT(MaxDifference(RotationFromQuat(viaNegated), RotationFromQuat(half)), 1e-12);
}

TEST(Affine, InverseUndoes) {
    const Affine a = FromTrs({1, -2, 3}, Quat{0.1, 0.2, 0.3, 0.9}, {2, 0.5, 1.5});
    const Affine identity = Multiply(Inverse(a), a);
    EXPECT_LT(MaxDifference(identity.m, kIdentity3), 1e-12);
    EXPECT_NEAR(identity.t.x, 0, 1e-12);
    EXPECT_NEAR(identity.t.y, 0, 1e-12);
}

}  // namespace
