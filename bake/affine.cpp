#include "bake/affine.h"

#include "skeleton/trig.h"

#include <algorithm>
#include <cmath>

namespace hm::imp {

Mat3 Multiply(const Mat3& a, const Mat3& b) {
    Mat3 out{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) out[r][c] = a[r][0] * b[0][c] + a[r][1] * b[1][c] + a[r][2] * b[2][c];
    return out;
}

Mat3 Transpose(const Mat3& a) {
    Mat3 out{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) out[r][c] = a[c][r];
    return out;
}

double Determinant(const Mat3& a) {
    return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
}

double MaxDifference(const Mat3& a, const Mat3& b) {
    double most = 0;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) most = std::max(most, std::fabs(a[r][c] - b[r][c]));
    return most;
}

namespace {

Mat3 InverseMat(const Mat3& a) {
    const double det = Determinant(a);
    Mat3 out{};
    out[0][0] = (a[1][1] * a[2][2] - a[1][2] * a[2][1]) / det;
    out[0][1] = (a[0][2] * a[2][1] - a[0][1] * a[2][2]) / det;
    out[0][2] = (a[0][1] * a[1][2] - a[0][2] * a[1][1]) / det;
    out[1][0] = (a[1][2] * a[2][0] - a[1][0] * a[2][2]) / det;
    out[1][1] = (a[0][0] * a[2][2] - a[0][2] * a[2][0]) / det;
    out[1][2] = (a[0][2] * a[1][0] - a[0][0] * a[1][2]) / det;
    out[2][0] = (a[1][0] * a[2][1] - a[1][1] * a[2][0]) / det;
    out[2][1] = (a[0][1] * a[2][0] - a[0][0] * a[2][1]) / det;
    out[2][2] = (a[0][0] * a[1][1] - a[0][1] * a[1][0]) / det;
    return out;
}

double Norm(const Mat3& a) {
    double sum = 0;
    for (const auto& row : a)
        for (double v : row) sum += v * v;
    return std::sqrt(sum);
}

}  // namespace

bool IsFinite(const Affine& a) {
    for (const auto& row : a.m)
        for (double v : row)
            if (!std::isfinite(v)) return false;
    return std::isfinite(a.t.x) && std::isfinite(a.t.y) && std::isfinite(a.t.z);
}

Affine Multiply(const Affine& a, const Affine& b) {
    Affine out;
    out.m = Multiply(a.m, b.m);
    out.t = Apply(a, b.t);
    return out;
}

Affine Inverse(const Affine& a) {
    Affine out;
    out.m = InverseMat(a.m);
    const Vec3d t = Apply(out.m, a.t);
    out.t = {-t.x, -t.y, -t.z};
    return out;
}

Vec3d Apply(const Mat3& m, Vec3d p) {
    return {m[0][0] * p.x + m[0][1] * p.y + m[0][2] * p.z, m[1][0] * p.x + m[1][1] * p.y + m[1][2] * p.z,
            m[2][0] * p.x + m[2][1] * p.y + m[2][2] * p.z};
}

Vec3d Apply(const Affine& a, Vec3d p) {
    const Vec3d r = Apply(a.m, p);
    return {r.x + a.t.x, r.y + a.t.y, r.z + a.t.z};
}

Mat3 RotationFromQuat(Quat q) {
    const double n = std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w);
    if (!(n > 0)) return kIdentity3;
    const double x = q.x / n, y = q.y / n, z = q.z / n, w = q.w / n;
    return {{{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
             {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
             {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}}};
}

Affine FromTrs(Vec3d translation, Quat rotation, Vec3d scale) {
    Affine out;
    const Mat3 r = RotationFromQuat(rotation);
    const double s[3] = {scale.x, scale.y, scale.z};
    for (int row = 0; row < 3; ++row)
        for (int c = 0; c < 3; ++c) out.m[row][c] = r[row][c] * s[c];
    out.t = translation;
    return out;
}

Quat Slerp(Quat a, Quat b, double f) {
    double dot = a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w;
    if (dot < 0) {
        b = {-b.x, -b.y, -b.z, -b.w};
        dot = -dot;
    }
    double k0 = 1 - f, k1 = f;
    if (dot < 0.9999) {
        // The skeleton's functions: the same bits on every system's runtime.
        const double omega = ArcCosine(dot);
        const double s = Sine(omega);
        k0 = Sine((1 - f) * omega) / s;
        k1 = Sine(f * omega) / s;
    }
    Quat out{k0 * a.x + k1 * b.x, k0 * a.y + k1 * b.y, k0 * a.z + k1 * b.z, k0 * a.w + k1 * b.w};
    const double n = std::sqrt(out.x * out.x + out.y * out.y + out.z * out.z + out.w * out.w);
    if (n > 0) out = {out.x / n, out.y / n, out.z / n, out.w / n};
    return out;
}

RigidSplit SplitRigid(const Affine& a) {
    RigidSplit out;
    out.rigid.t = a.t;
    const double scale = Norm(a.m);
    const double det = Determinant(a.m);
    if (!(std::fabs(det) > 1e-12 * scale * scale * scale)) {
        out.stretch = a.m;
        return out;
    }
    // Newton's iteration for the polar factor; a mirrored matrix is negated
    // first so that the factor is a proper rotation and the mirroring stays in
    // the stretch.
    Mat3 r = a.m;
    if (det < 0)
        for (auto& row : r)
            for (double& v : row) v = -v;
    for (int i = 0; i < 100; ++i) {
        const Mat3 inverseT = Transpose(InverseMat(r));
        Mat3 next{};
        for (int row = 0; row < 3; ++row)
            for (int c = 0; c < 3; ++c) next[row][c] = 0.5 * (r[row][c] + inverseT[row][c]);
        const double change = MaxDifference(next, r);
        r = next;
        if (change < 1e-15) break;
    }
    out.rigid.m = r;
    out.stretch = Multiply(Transpose(r), a.m);
    return out;
}

Mat3 RotationFromEuler(Vec3d angles) {
    const double sx = Sine(angles.x), cx = Cosine(angles.x);
    const double sy = Sine(angles.y), cy = Cosine(angles.y);
    const double sz = Sine(angles.z), cz = Cosine(angles.z);
    return {{{cy * cz, sx * sy * cz - cx * sz, cx * sy * cz + sx * sz},
             {cy * sz, sx * sy * sz + cx * cz, cx * sy * sz - sx * cz},
             {-sy, sx * cy, cx * cy}}};
}

Vec3d EulerFromRotation(const Mat3& r) {
    // y from both of its sine and cosine keeps it accurate near +-90 degrees;
    // z is then solved from x, whatever x came out as, so the three always
    // recompose to r.
    const double y = std::atan2(-r[2][0], std::hypot(r[0][0], r[1][0]));
    const double x = std::atan2(r[2][1], r[2][2]);
    const double sx = Sine(x), cx = Cosine(x);
    const double z = std::atan2(sx * r[0][2] - cx * r[0][1], cx * r[1][1] - sx * r[1][2]);
    return {x, y, z};
}

}  // namespace hm::imp
