#include "tests/skeleton/skeleton_test_support.h"

namespace {

constexpr Matrix3x4 kIdentity{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}}};

Vector3f Rotated(const Matrix3x4& m, Vector3f v) {
    Vector3f out;
    RotateVector(v, m, out);
    return out;
}

Matrix3x4 EulerMatrix(float x, float y, float z) {
    Matrix3x4 m;
    std::memset(&m, 0x7f, sizeof m);  // column 3 must be overwritten
    EulerDegreesToMatrix({x, y, z}, m);
    return m;
}

TEST(TransformMath, EulerMatrixTurnsAboutEachAxis) {
    ExpectEqualMatrices(EulerMatrix(0, 0, 0), kIdentity);
    ExpectNear(Rotated(EulerMatrix(0, 0, 90), {1, 0, 0}), 0, 1, 0, 1e-7f);
    ExpectNear(Rotated(EulerMatrix(90, 0, 0), {0, 1, 0}), 0, 0, 1, 1e-7f);
    ExpectNear(Rotated(EulerMatrix(0, 90, 0), {1, 0, 0}), 0, 0, -1, 1e-7f);
    // Turned about X first, then Y, then Z: (0, 1, 0) goes to Z, then to X.
    ExpectNear(Rotated(EulerMatrix(90, 90, 0), {0, 1, 0}), 1, 0, 0, 1e-7f);
    EXPECT_EQ(Translation(EulerMatrix(10, 20, 30)).x, 0.0f);
}

TEST(TransformMath, QuaternionMatrixMatchesEulerMatrix) {
    const float toRadians = kPi / 180.0f;
    Quaternion q;
    EulerToQuaternion({30 * toRadians, 40 * toRadians, 50 * toRadians}, q);
    Matrix3x4 fromQuaternion = kIdentity;
    fromQuaternion.m[1][3] = 7.0f;
    QuaternionToMatrix(q, fromQuaternion);
    ExpectSameRotation(fromQuaternion, EulerMatrix(30, 40, 50), 1e-6f);
    EXPECT_EQ(fromQuaternion.m[1][3], 7.0f);

    Matrix3x4 identity = fromQuaternion;
    QuaternionToMatrix({0, 0, 0, 1}, identity);
    ExpectSameRotation(identity, kIdentity, 0.0f);
    EXPECT_EQ(identity.m[1][3], 7.0f);
}

TEST(TransformMath, ConcatAppliesSecondArgumentFirst) {
    Matrix3x4 shift = kIdentity;
    shift.m[0][3] = 1;
    shift.m[1][3] = 2;
    shift.m[2][3] = 3;
    Matrix3x4 turn = EulerMatrix(0, 0, 90);
    turn.m[0][3] = 10;

    Matrix3x4 out;
    ConcatTransforms(shift, turn, out);
    ExpectSameRotation(out, turn, 0.0f);
    ExpectNear(Translation(out), 11, 2, 3, 1e-6f);
    ConcatTransforms(turn, shift, out);
    ExpectSameRotation(out, turn, 0.0f);
    ExpectNear(Translation(out), 8, 1, 3, 1e-6f);

    Matrix3x4 any = EulerMatrix(12, -34, 56);
    any.m[2][3] = -4.25f;
    ConcatTransforms(any, kIdentity, out);
    EXPECT_TRUE(SameBits(out, any));
}

TEST(TransformMath, InverseRotationUndoesRotationAndIgnoresTranslation) {
    Matrix3x4 m = EulerMatrix(-70, 25, 160);
    m.m[0][3] = 100;
    m.m[1][3] = -100;
    m.m[2][3] = 50;
    for (const Vector3f& v : {Vector3f{10, 0, 0}, Vector3f{-3, 5.5f, 7}, Vector3f{0.1f, -9.9f, 0.5f}}) {
        Vector3f back;
        InverseRotateVector(Rotated(m, v), m, back);
        ExpectNear(back, v.x, v.y, v.z, 1e-6f);
    }
    ExpectNear(Rotated(m, {0, 0, 0}), 0, 0, 0, 0.0f);
}

TEST(TransformMath, SlerpHalfwayAndAcrossHemispheres) {
    Quaternion q{0, 0, 0.70710677f, 0.70710677f};
    Quaternion out;
    SlerpQuaternions({0, 0, 0, 1}, q, 0.5f, out);
    EXPECT_NEAR(out.x, 0, 1e-7f);
    EXPECT_NEAR(out.y, 0, 1e-7f);
    EXPECT_NEAR(out.z, 0.38268343f, 1e-7f);
    EXPECT_NEAR(out.w, 0.92387956f, 1e-7f);

    for (float t : {0.0f, 0.3f, 1.0f}) {
        Quaternion opposite{0, 0, 0, -1};
        SlerpQuaternions({0, 0, 0, 1}, opposite, t, out);
        EXPECT_EQ(opposite.w, 1.0f);
        EXPECT_NEAR(out.w, 1.0f, 1e-7f);
        EXPECT_NEAR(out.z, 0.0f, 1e-7f);
    }

    Quaternion p;
    EulerToQuaternion({0.3f, -1.2f, 2.0f}, p);
    for (float t : {0.0f, 0.5f, 1.0f}) {
        Quaternion same = p;
        SlerpQuaternions(p, same, t, out);
        EXPECT_NEAR(out.x, p.x, 1e-6f);
        EXPECT_NEAR(out.y, p.y, 1e-6f);
        EXPECT_NEAR(out.z, p.z, 1e-6f);
        EXPECT_NEAR(out.w, p.w, 1e-6f);
    }
}

}  // namespace
