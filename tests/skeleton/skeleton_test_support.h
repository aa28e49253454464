// What the skeleton tests share: comparisons of vectors and matrices, and a
// model built through the host's building API.
#pragma once

#include "host/host_model.h"
#include "skeleton/transform_math.h"

#include <gtest/gtest.h>

#include <cstring>

inline constexpr float kPi = 3.14159265358979f;

inline void ExpectNear(const Vector3f& v, float x, float y, float z, float tolerance) {
    EXPECT_NEAR(v.x, x, tolerance);
    EXPECT_NEAR(v.y, y, tolerance);
    EXPECT_NEAR(v.z, z, tolerance);
}

inline bool SameBits(const Matrix3x4& a, const Matrix3x4& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

inline bool SameBits(const Vector3f& a, const Vector3f& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Equal element by element; 0 and -0 count as equal.
inline void ExpectEqualMatrices(const Matrix3x4& a, const Matrix3x4& b) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_EQ(a.m[r][c], b.m[r][c]) << r << "," << c;
}

inline Vector3f Translation(const Matrix3x4& m) { return {m.m[0][3], m.m[1][3], m.m[2][3]}; }

inline void ExpectSameRotation(const Matrix3x4& a, const Matrix3x4& b, float tolerance) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(a.m[r][c], b.m[r][c], tolerance) << r << "," << c;
}

inline Vector3f PositionOf(const HostVertex& vertex) {
    const HostVec3 p = vertex.position;
    return {p.x, p.y, p.z};
}
