#include "skeleton/frame_pose.h"

#include "skeleton/bone_table.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

struct Key {
    float time;
    Vector3 value;
};

// A key the host does not hand out reads as a NaN time, which the search
// steps over as it does any NaN.
Key ReadKey(const HostPositionKey* key) {
    if (!key) return {std::numeric_limits<float>::quiet_NaN(), {0.0f, 0.0f, 0.0f}};
    const HostVec3 value = key->value;
    return {key->time, {value.x, value.y, value.z}};
}

Key ReadKey(const HostRotationKey* key) {
    if (!key) return {std::numeric_limits<float>::quiet_NaN(), {0.0f, 0.0f, 0.0f}};
    const HostVec3 value = key->value;
    return {key->time, {value.x, value.y, value.z}};
}

Key PositionKeyAt(HostBone* bone, int32_t index) {
    return ReadKey(hmBone_GetPositionKeyAt(bone, index));
}

Key RotationKeyAt(HostBone* bone, int32_t index) {
    return ReadKey(hmBone_GetRotationKeyAt(bone, index));
}

// Lower bound of "time >= t". The walk from the first key answers the first
// key for which that holds, stepping over NaN times. Judging a NaN key by the
// nearest real key before it (false when there is none, or when that key lies
// below the part still searched) turns that into a
// predicate that is false before the walk's answer and true from it on, for
// every list whose real times ascend, so bisection finds the same key. Only a
// run of NaN keys costs more than one look.
int32_t FindNextKey(HostBone* bone, int32_t count, float t, Key (*keyAt)(HostBone*, int32_t)) {
    int32_t low = 0;
    int32_t high = std::max(count, 0);
    while (low < high) {
        const int32_t middle = low + (high - low) / 2;
        int32_t judge = middle;
        float time = keyAt(bone, judge).time;
        while (std::isnan(time) && judge > low) time = keyAt(bone, --judge).time;
        if (time >= t)
            high = middle;
        else
            low = middle + 1;
    }
    return low;
}

constexpr Matrix3x4 kIdentity{{{1.0f, 0.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 1.0f, 0.0f}}};

// Fraction of the way from prev to next at time t.
float Fraction(const Key& prev, const Key& next, float t) {
    const float span = static_cast<float>(static_cast<double>(next.time) - prev.time);
    return static_cast<float>((static_cast<double>(t) - prev.time) / span);
}

float Lerp(float from, float to, float f) {
    return static_cast<float>((static_cast<double>(to) - from) * f + from);
}

Vector3 DegreesOf(const Vector3& radians) {
    return {RadiansToDegrees(radians.x), RadiansToDegrees(radians.y), RadiansToDegrees(radians.z)};
}

Vector3 KeyedPosition(HostBone* bone, int32_t count, float t) {
    if (count <= 0) return {0.0f, 0.0f, 0.0f};
    const int32_t next = FindNextKey(bone, count, t, PositionKeyAt);
    if (next == 0) return PositionKeyAt(bone, 0).value;
    const Key before = PositionKeyAt(bone, next - 1);
    if (next == count) return before.value;
    const Key after = PositionKeyAt(bone, next);
    const float f = Fraction(before, after, t);
    return {Lerp(before.value.x, after.value.x, f), Lerp(before.value.y, after.value.y, f),
            Lerp(before.value.z, after.value.z, f)};
}

// Rotation columns of the key transform; column 3 is left to the caller.
void KeyedRotation(HostBone* bone, int32_t count, float t, Matrix3x4& out) {
    if (count <= 0) {
        out = kIdentity;
        return;
    }
    const int32_t next = FindNextKey(bone, count, t, RotationKeyAt);
    if (next == 0) {
        EulerDegreesToMatrix(DegreesOf(RotationKeyAt(bone, 0).value), out);
        return;
    }
    const Key before = RotationKeyAt(bone, next - 1);
    if (next == count) {
        EulerDegreesToMatrix(DegreesOf(before.value), out);
        return;
    }
    const Key after = RotationKeyAt(bone, next);
    const float f = Fraction(before, after, t);
    Quaternion from;
    Quaternion to;
    Quaternion between;
    EulerToQuaternion(before.value, from);
    EulerToQuaternion(after.value, to);
    SlerpQuaternions(from, to, f, between);
    QuaternionToMatrix(between, out);
}

}  // namespace

int32_t FindNextPositionKey(HostBone* bone, float t) {
    return FindNextKey(bone, hmBone_GetPositionKeyCount(bone), t, PositionKeyAt);
}

int32_t FindNextRotationKey(HostBone* bone, float t) {
    return FindNextKey(bone, hmBone_GetRotationKeyCount(bone), t, RotationKeyAt);
}

void BoneTable::EvaluatePose(hmModel* model, int32_t frame) {
    if (!model) return;
    const float t = static_cast<float>(frame);
    const int32_t count = std::min(hmModel_GetBoneCount(model), boneCount_);

    for (int32_t k = 0; k < boneCount_; ++k) {
        const int32_t i = order_[k];
        if (i >= count) continue;
        BoneMatrixSet& entry = entries_[i];
        HostBone* bone = hmModel_GetBoneAt(model, i);
        const int32_t positionKeys = hmBone_GetPositionKeyCount(bone);
        const int32_t rotationKeys = hmBone_GetRotationKeyCount(bone);
        if (positionKeys <= 0 && rotationKeys <= 0) {
            entry.absolutePose = entry.absoluteBind;
            continue;
        }

        const Vector3 position = KeyedPosition(bone, positionKeys, t);
        Matrix3x4 key;
        KeyedRotation(bone, rotationKeys, t, key);
        key.m[0][3] = position.x;
        key.m[1][3] = position.y;
        key.m[2][3] = position.z;
        ConcatTransforms(entry.localBind, key, entry.localPose);

        const int32_t parent = parents_[i];
        if (parent < 0)
            entry.absolutePose = entry.localPose;
        else
            ConcatTransforms(entries_[parent].absolutePose, entry.localPose, entry.absolutePose);
    }
}

void BoneTable::GetPosedVertex(Vector3& out, const HostVertex* vertex) const {
    if (!vertex) {
        out = {0.0f, 0.0f, 0.0f};
        return;
    }
    const HostVec3 position = vertex->position;
    const int32_t bone = vertex->boneIndex;
    if (bone < 0 || bone >= boneCount_) {
        out = {position.x, position.y, position.z};
        return;
    }
    const Matrix3x4& pose = entries_[bone].absolutePose;
    RotateVector({position.x, position.y, position.z}, pose, out);
    out.x = static_cast<float>(static_cast<double>(out.x) + pose.m[0][3]);
    out.y = static_cast<float>(static_cast<double>(out.y) + pose.m[1][3]);
    out.z = static_cast<float>(static_cast<double>(out.z) + pose.m[2][3]);
}

// A mesh whose records the host keeps side by side (its first and last records
// are count - 1 records apart) is read through the first record's pointer; any
// other is asked for vertex by vertex. Both give the same records.
void BoneTable::GetPosedVertices(hmModel* model, std::span<Vector3> out) const {
    size_t at = 0;
    for (int32_t m = 0; m < hmModel_GetMeshCount(model) && at < out.size(); ++m) {
        hmMesh* mesh = hmModel_GetMeshAt(model, m);
        const int32_t count = static_cast<int32_t>(
            std::min<int64_t>(hmMesh_GetVertexCount(mesh), static_cast<int64_t>(out.size() - at)));
        const HostVertex* first = count > 0 ? hmMesh_GetVertexAt(mesh, 0) : nullptr;
        if (first && hmMesh_GetVertexAt(mesh, count - 1) == first + (count - 1)) {
            for (int32_t v = 0; v < count; ++v) GetPosedVertex(out[at++], first + v);
            continue;
        }
        for (int32_t v = 0; v < count; ++v) GetPosedVertex(out[at++], hmMesh_GetVertexAt(mesh, v));
    }
}
