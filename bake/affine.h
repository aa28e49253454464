// Double-precision transforms for the importer: composing a source file's node
// transforms, splitting off their scale, and the Euler angles the host stores.
#pragma once

#include <array>

namespace hm::imp {

// Doubles, as the importer and the exact bake compute (the plug-in's
// 32-bit vector is Vector3f).
struct Vec3d {
    double x = 0, y = 0, z = 0;
};

struct Quat {
    double x = 0, y = 0, z = 0, w = 1;
};

using Mat3 = std::array<std::array<double, 3>, 3>;

inline constexpr Mat3 kIdentity3{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};

// p' = m * p + t on column vectors; m may hold scale and shear.
struct Affine {
    Mat3 m = kIdentity3;
    Vec3d t;
};

Mat3 Multiply(const Mat3& a, const Mat3& b);
Mat3 Transpose(const Mat3& a);
double Determinant(const Mat3& a);
// Largest absolute element of a - b.
double MaxDifference(const Mat3& a, const Mat3& b);

Affine Multiply(const Affine& a, const Affine& b);  // b first, then a
// Every element a number: no NaN, no infinity.
bool IsFinite(const Affine& a);
// Exact for any invertible m; a singular m gives non-finite elements.
Affine Inverse(const Affine& a);
Vec3d Apply(const Affine& a, Vec3d p);
Vec3d Apply(const Mat3& m, Vec3d p);

// Translation, then rotation, then scale as a node's animation keys give them:
// p' = T + R * (S * p). The quaternion need not be normalised.
Affine FromTrs(Vec3d translation, Quat rotation, Vec3d scale);
Mat3 RotationFromQuat(Quat q);
// Shortest-arc spherical interpolation between two unit quaternions.
Quat Slerp(Quat a, Quat b, double f);

// a = rigid * stretch: rigid is the proper rotation closest to a's linear part
// (polar decomposition) with a's translation; stretch (rigid's rotation
// transposed times a's linear part) is what scale, shear or mirroring a holds.
// A singular linear part gives the identity rotation and the whole of it as stretch.
struct RigidSplit {
    Affine rigid;
    Mat3 stretch = kIdentity3;
};
RigidSplit SplitRigid(const Affine& a);

// Rotations composed as Rz(z) * Ry(y) * Rx(x), angles in radians. For any
// rotation matrix the angles recompose to it to within rounding, also at and
// near y = +-90 degrees, where x and z are no longer separable (x is then
// whatever the matrix's rounding suggests, and z makes up for it).
Mat3 RotationFromEuler(Vec3d angles);
Vec3d EulerFromRotation(const Mat3& r);

}  // namespace hm::imp
