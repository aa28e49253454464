#include "skeleton/transform_math.h"

#include "skeleton/trig.h"

#include <cmath>

namespace {

// Rounds a double-precision result to the float it is stored as, and hands it
// back widened so the next formula keeps working in double.
double Stored(double value) { return static_cast<float>(value); }

float ToFloat(double value) { return static_cast<float>(value); }

constexpr double kInterpolationThreshold = 1e-8;

}  // namespace

float RadiansToDegrees(float radians) {
    return ToFloat(static_cast<double>(radians) * 180.0f / 3.1415927f);
}

void EulerDegreesToMatrix(const Vector3f& degrees, Matrix3x4& out) {
    const double az = degrees.z * kDegreesToRadians;
    const double sz = Stored(Sine(az));
    const double cz = Stored(Cosine(az));
    const double ay = degrees.y * kDegreesToRadians;
    const double sy = Stored(Sine(ay));
    const double cy = Stored(Cosine(ay));
    const double ax = degrees.x * kDegreesToRadians;
    const double sx = Stored(Sine(ax));
    const double cx = Stored(Cosine(ax));

    out.m[0][0] = ToFloat(cy * cz);
    out.m[0][1] = ToFloat(sx * sy * cz - cx * sz);
    out.m[0][2] = ToFloat(cx * sy * cz + sx * sz);
    out.m[0][3] = 0.0f;
    out.m[1][0] = ToFloat(cy * sz);
    out.m[1][1] = ToFloat(sx * sy * sz + cx * cz);
    out.m[1][2] = ToFloat(cx * sy * sz - sx * cz);
    out.m[1][3] = 0.0f;
    out.m[2][0] = ToFloat(-sy);
    out.m[2][1] = ToFloat(sx * cy);
    out.m[2][2] = ToFloat(cx * cy);
    out.m[2][3] = 0.0f;
}

void ConcatTransforms(const Matrix3x4& a, const Matrix3x4& b, Matrix3x4& out) {
    for (int r = 0; r < 3; ++r) {
        const double a0 = a.m[r][0];
        const double a1 = a.m[r][1];
        const double a2 = a.m[r][2];
        for (int j = 0; j < 3; ++j)
            out.m[r][j] = ToFloat(a0 * b.m[0][j] + a1 * b.m[1][j] + a2 * b.m[2][j]);
        out.m[r][3] = ToFloat(a0 * b.m[0][3] + a1 * b.m[1][3] + a2 * b.m[2][3] + a.m[r][3]);
    }
}

void RotateVector(const Vector3f& v, const Matrix3x4& m, Vector3f& out) {
    const double x = v.x;
    const double y = v.y;
    const double z = v.z;
    out.x = ToFloat(x * m.m[0][0] + y * m.m[0][1] + z * m.m[0][2]);
    out.y = ToFloat(x * m.m[1][0] + y * m.m[1][1] + z * m.m[1][2]);
    out.z = ToFloat(x * m.m[2][0] + y * m.m[2][1] + z * m.m[2][2]);
}

void InverseRotateVector(const Vector3f& v, const Matrix3x4& m, Vector3f& out) {
    const double x = v.x;
    const double y = v.y;
    const double z = v.z;
    out.x = ToFloat(x * m.m[0][0] + y * m.m[1][0] + z * m.m[2][0]);
    out.y = ToFloat(x * m.m[0][1] + y * m.m[1][1] + z * m.m[2][1]);
    out.z = ToFloat(x * m.m[0][2] + y * m.m[1][2] + z * m.m[2][2]);
}

void EulerToQuaternion(const Vector3f& radians, Quaternion& out) {
    const double hz = radians.z * 0.5;
    const double sz = Stored(Sine(hz));
    const double cz = Stored(Cosine(hz));
    const double hy = radians.y * 0.5;
    const double sy = Stored(Sine(hy));
    const double cy = Stored(Cosine(hy));
    const double hx = radians.x * 0.5;
    const double sx = Stored(Sine(hx));
    const double cx = Stored(Cosine(hx));

    out.x = ToFloat(sx * cy * cz - cx * sy * sz);
    out.y = ToFloat(cx * sy * cz + sx * cy * sz);
    out.z = ToFloat(cx * cy * sz - sx * sy * cz);
    out.w = ToFloat(cx * cy * cz + sx * sy * sz);
}

void QuaternionToMatrix(const Quaternion& q, Matrix3x4& out) {
    const double x = q.x;
    const double y = q.y;
    const double z = q.z;
    const double w = q.w;
    out.m[0][0] = ToFloat(1.0 - (y + y) * y - (z + z) * z);
    out.m[0][1] = ToFloat((x + x) * y - (w + w) * z);
    out.m[0][2] = ToFloat((x + x) * z + (w + w) * y);
    out.m[1][0] = ToFloat((x + x) * y + (w + w) * z);
    out.m[1][1] = ToFloat(1.0 - (x + x) * x - (z + z) * z);
    out.m[1][2] = ToFloat((y + y) * z - (w + w) * x);
    out.m[2][0] = ToFloat((x + x) * z - (w + w) * y);
    out.m[2][1] = ToFloat((y + y) * z + (w + w) * x);
    out.m[2][2] = ToFloat(1.0 - (x + x) * x - (y + y) * y);
}

void SlerpQuaternions(const Quaternion& p, Quaternion& q, float t, Quaternion& out) {
    const float pc[4] = {p.x, p.y, p.z, p.w};
    const float qc[4] = {q.x, q.y, q.z, q.w};
    double apart = 0.0;
    double together = 0.0;
    for (int i = 0; i < 4; ++i) {
        const double difference = static_cast<double>(pc[i]) - qc[i];
        const double sum = static_cast<double>(pc[i]) + qc[i];
        apart = Stored(apart + difference * difference);
        together = Stored(together + sum * sum);
    }
    if (apart > together) {
        q.x = -q.x;
        q.y = -q.y;
        q.z = -q.z;
        q.w = -q.w;
    }

    const double dot = Stored(static_cast<double>(p.x) * q.x + static_cast<double>(p.y) * q.y +
                              static_cast<double>(p.z) * q.z + static_cast<double>(p.w) * q.w);
    double k0;
    double k1;
    if (1.0 - dot > kInterpolationThreshold) {
        const double omega = Stored(ArcCosine(dot));
        const double s = Stored(Sine(omega));
        k0 = Stored(Stored(Sine((1.0 - t) * omega)) / s);
        k1 = Stored(Stored(Sine(t * omega)) / s);
    } else {
        k0 = Stored(1.0 - t);
        k1 = t;
    }

    out.x = ToFloat(k0 * p.x + k1 * q.x);
    out.y = ToFloat(k0 * p.y + k1 * q.y);
    out.z = ToFloat(k0 * p.z + k1 * q.z);
    out.w = ToFloat(k0 * p.w + k1 * q.w);
}
