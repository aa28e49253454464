// Rigid-transform arithmetic for the skeleton: Euler angles, 3x4 matrices and
// quaternions, computed so that every exported vertex comes out byte-exact.
#pragma once

// Precision, the same in every operation here and in its callers in skeleton/:
// every stored value (each element of a result, each sine, cosine and
// arc-cosine, each named intermediate) is a 32-bit float. The products and sums
// inside one formula are formed in double precision from those float operands,
// left to right as written, and rounded to float once, when the result is
// stored. With -ffp-contract=off and no fast-math this does not depend on
// compiler flags. Sine, cosine and arc-cosine are in double, from
// skeleton/trig.h.
//
// Every operation takes its inputs first and writes its result through the last
// argument, which must not alias any input: results are written element by
// element while the inputs are still being read.

// 32-bit floats, as the host holds positions and the plug-in computes them
// (the importer's double-precision vector is hm::imp::Vec3d).
struct Vector3f {
    float x, y, z;
};

// 3 rows by 4 columns, row after row; columns 0 to 2 are the rotation R,
// column 3 the translation T: p' = R * p + T on column vectors.
struct Matrix3x4 {
    float m[3][4];
};

// Scalar last. Nothing here normalises a quaternion.
struct Quaternion {
    float x, y, z, w;
};

// pi / 180 in double precision, applied to degrees inside EulerDegreesToMatrix.
inline constexpr double kDegreesToRadians = 0.017453292519943295;

// The host's radians to the degrees EulerDegreesToMatrix takes: radians * 180 /
// 3.1415927 with single-precision constants, rounded to float. Single pi on the
// way in and double pi on the way back scale the angle by 0.99999997; the
// exported bytes depend on both conversions being made.
float RadiansToDegrees(float radians);

// Rotation Rz(z) * Ry(y) * Rx(x) from angles in degrees; column 3 set to 0.
void EulerDegreesToMatrix(const Vector3f& degrees, Matrix3x4& out);

// out = a * b as 4x4 transforms with last row (0, 0, 0, 1): b applies first.
void ConcatTransforms(const Matrix3x4& a, const Matrix3x4& b, Matrix3x4& out);

// out = R(m) * v; column 3 is not used.
void RotateVector(const Vector3f& v, const Matrix3x4& m, Vector3f& out);

// out = transpose(R(m)) * v; undoes RotateVector for an orthonormal R.
void InverseRotateVector(const Vector3f& v, const Matrix3x4& m, Vector3f& out);

// The quaternion of Rz(z) * Ry(y) * Rx(x) from angles in radians. Its matrix
// agrees with EulerDegreesToMatrix of the same angles to about 5e-7.
void EulerToQuaternion(const Vector3f& radians, Quaternion& out);

// Writes the rotation columns 0 to 2 only; column 3 of out keeps its value.
void QuaternionToMatrix(const Quaternion& q, Matrix3x4& out);

// Spherical interpolation from p (t = 0) to q (t = 1). When q lies in the
// other hemisphere from p it is negated in place first, so the caller's q
// holds the negated quaternion afterwards.
void SlerpQuaternions(const Quaternion& p, Quaternion& q, float t, Quaternion& out);
