#include "skeleton/frame_pose.h"

#include "skeleton/bone_table.h"
#include "skeleton/wide_clones.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace {

using Key = PoseKey;

// A key the host does not hand out reads as a NaN time, which the search
// steps over as it does any NaN.
template <typename HostKey>
Key ReadKey(const HostKey* key) {
    if (!key) return {std::numeric_limits<float>::quiet_NaN(), {0.0f, 0.0f, 0.0f}};
    const HostVec3 value = key->value;
    return {key->time, {value.x, value.y, value.z}};
}

// One bone's keys of one kind, read from the host a key at a time, or from a
// copy. Posing is written once over both, so both give the same bits.
struct HostPositionKeys {
    HostBone* bone;
    int32_t count;
    Key operator[](int32_t index) const { return ReadKey(hmBone_GetPositionKeyAt(bone, index)); }
};

struct HostRotationKeys {
    HostBone* bone;
    int32_t count;
    Key operator[](int32_t index) const { return ReadKey(hmBone_GetRotationKeyAt(bone, index)); }
    Quaternion QuaternionAt(int32_t, const Key& key) const {
        Quaternion q;
        EulerToQuaternion(key.value, q);
        return q;
    }
};

// A copy's rotation keys also hold each key's quaternion, made once. hint,
// when given, is where the keys were found last; only keys whose times never
// go down and are never NaN have one.
struct CopiedKeys {
    const Key* keys;
    const Quaternion* quaternions;
    int32_t count;
    int32_t* hint = nullptr;
    Key operator[](int32_t index) const { return keys[index]; }
    Quaternion QuaternionAt(int32_t index, const Key&) const { return quaternions[index]; }
};

bool Ordered(const Key* keys, size_t count) {
    for (size_t k = 0; k < count; ++k)
        if (std::isnan(keys[k].time) || (k > 0 && keys[k].time < keys[k - 1].time)) return false;
    return true;
}

// Lower bound of "time >= t". The walk from the first key answers the first
// key for which that holds, stepping over NaN times. Judging a NaN key by the
// nearest real key before it (false when there is none, or when that key lies
// below the part still searched) turns that into a
// predicate that is false before the walk's answer and true from it on, for
// every list whose real times ascend, so bisection finds the same key. Only a
// run of NaN keys costs more than one look.
template <typename Keys>
int32_t FindNextKey(const Keys& keys, float t) {
    if constexpr (std::is_same_v<Keys, CopiedKeys>) {
        // In ordered keys the answer is the one place with a time below t
        // just before it and none below t from it on.
        if (keys.hint && keys.count > 0) {
            for (int32_t k = std::max(*keys.hint, 0); k <= keys.count && k < *keys.hint + 4; ++k)
                if ((k == 0 || keys[k - 1].time < t) && (k == keys.count || keys[k].time >= t)) return *keys.hint = k;
        }
    }
    int32_t low = 0;
    int32_t high = std::max(keys.count, 0);
    while (low < high) {
        const int32_t middle = low + (high - low) / 2;
        int32_t judge = middle;
        float time = keys[judge].time;
        while (std::isnan(time) && judge > low) time = keys[--judge].time;
        if (time >= t)
            high = middle;
        else
            low = middle + 1;
    }
    if constexpr (std::is_same_v<Keys, CopiedKeys>) {
        if (keys.hint) *keys.hint = low;
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

Vector3f DegreesOf(const Vector3f& radians) {
    return {RadiansToDegrees(radians.x), RadiansToDegrees(radians.y), RadiansToDegrees(radians.z)};
}

template <typename Keys>
Vector3f KeyedPosition(const Keys& keys, float t) {
    if (keys.count <= 0) return {0.0f, 0.0f, 0.0f};
    const int32_t next = FindNextKey(keys, t);
    if (next == 0) return keys[0].value;
    const Key before = keys[next - 1];
    if (next == keys.count) return before.value;
    const Key after = keys[next];
    const float f = Fraction(before, after, t);
    return {Lerp(before.value.x, after.value.x, f), Lerp(before.value.y, after.value.y, f),
            Lerp(before.value.z, after.value.z, f)};
}

// Rotation columns of the key transform; column 3 is left to the caller.
template <typename Keys>
void KeyedRotation(const Keys& keys, float t, Matrix3x4& out) {
    if (keys.count <= 0) {
        out = kIdentity;
        return;
    }
    const int32_t next = FindNextKey(keys, t);
    if (next == 0) {
        EulerDegreesToMatrix(DegreesOf(keys[0].value), out);
        return;
    }
    const Key before = keys[next - 1];
    if (next == keys.count) {
        EulerDegreesToMatrix(DegreesOf(before.value), out);
        return;
    }
    const Key after = keys[next];
    const float f = Fraction(before, after, t);
    const Quaternion from = keys.QuaternionAt(next - 1, before);
    Quaternion to = keys.QuaternionAt(next, after);
    Quaternion between;
    SlerpQuaternions(from, to, f, between);
    QuaternionToMatrix(between, out);
}

// One bone at time t: its rest pose when it has no keys, otherwise its keys
// after its rest transform and, when it has a parent, under the parent's pose.
template <typename PositionKeys, typename RotationKeys>
void PoseBone(BoneMatrixSet& entry, const BoneMatrixSet* parent, const PositionKeys& positions,
              const RotationKeys& rotations, float t) {
    if (positions.count <= 0 && rotations.count <= 0) {
        entry.absolutePose = entry.absoluteBind;
        return;
    }
    const Vector3f position = KeyedPosition(positions, t);
    Matrix3x4 key;
    KeyedRotation(rotations, t, key);
    key.m[0][3] = position.x;
    key.m[1][3] = position.y;
    key.m[2][3] = position.z;
    ConcatTransforms(entry.localBind, key, entry.localPose);
    if (!parent)
        entry.absolutePose = entry.localPose;
    else
        ConcatTransforms(parent->absolutePose, entry.localPose, entry.absolutePose);
}

}  // namespace

int32_t FindNextPositionKey(HostBone* bone, float t) {
    return FindNextKey(HostPositionKeys{bone, hmBone_GetPositionKeyCount(bone)}, t);
}

int32_t FindNextRotationKey(HostBone* bone, float t) {
    return FindNextKey(HostRotationKeys{bone, hmBone_GetRotationKeyCount(bone)}, t);
}

void BoneTable::EvaluatePose(hmModel* model, int32_t frame) {
    if (!model) return;
    const float t = static_cast<float>(frame);
    const int32_t count = std::min(hmModel_GetBoneCount(model), boneCount_);

    for (int32_t k = 0; k < boneCount_; ++k) {
        const int32_t i = order_[k];
        if (i >= count) continue;
        HostBone* bone = hmModel_GetBoneAt(model, i);
        const int32_t parent = parents_[i];
        PoseBone(entries_[i], parent < 0 ? nullptr : &entries_[parent],
                 HostPositionKeys{bone, hmBone_GetPositionKeyCount(bone)},
                 HostRotationKeys{bone, hmBone_GetRotationKeyCount(bone)}, t);
    }
}

void BoneTable::EvaluatePose(const PoseSnapshot& snapshot, int32_t frame, std::span<int32_t> cursors) {
    const float t = static_cast<float>(frame);
    const int32_t count = std::min(static_cast<int32_t>(snapshot.positionStart.size()) - 1, boneCount_);
    const bool cursored = cursors.size() == 2 * (snapshot.positionStart.size() - 1);
    auto hint = [&](const std::vector<uint8_t>& ordered, int32_t bone, size_t kind) {
        return cursored && ordered[static_cast<size_t>(bone)] ? &cursors[2 * static_cast<size_t>(bone) + kind] : nullptr;
    };

    for (int32_t k = 0; k < boneCount_; ++k) {
        const int32_t i = order_[k];
        if (i >= count) continue;
        const uint32_t p = snapshot.positionStart[i], r = snapshot.rotationStart[i];
        const int32_t parent = parents_[i];
        PoseBone(entries_[i], parent < 0 ? nullptr : &entries_[parent],
                 CopiedKeys{snapshot.positionKeys.data() + p, nullptr,
                            static_cast<int32_t>(snapshot.positionStart[i + 1] - p),
                            hint(snapshot.positionOrdered, i, 0)},
                 CopiedKeys{snapshot.rotationKeys.data() + r, snapshot.rotationQuaternions.data() + r,
                            static_cast<int32_t>(snapshot.rotationStart[i + 1] - r),
                            hint(snapshot.rotationOrdered, i, 1)},
                 t);
    }
}

PoseSnapshot BoneTable::CopyPoseSnapshot(hmModel* model) const {
    PoseSnapshot snapshot;
    const int32_t count = model ? std::min(hmModel_GetBoneCount(model), boneCount_) : 0;
    snapshot.positionStart.push_back(0);
    snapshot.rotationStart.push_back(0);
    for (int32_t i = 0; i < count; ++i) {
        HostBone* bone = hmModel_GetBoneAt(model, i);
        const HostPositionKeys positions{bone, hmBone_GetPositionKeyCount(bone)};
        const HostRotationKeys rotations{bone, hmBone_GetRotationKeyCount(bone)};
        for (int32_t k = 0; k < positions.count; ++k) snapshot.positionKeys.push_back(positions[k]);
        for (int32_t k = 0; k < rotations.count; ++k) {
            snapshot.rotationKeys.push_back(rotations[k]);
            snapshot.rotationQuaternions.push_back(rotations.QuaternionAt(k, snapshot.rotationKeys.back()));
        }
        snapshot.positionStart.push_back(static_cast<uint32_t>(snapshot.positionKeys.size()));
        snapshot.rotationStart.push_back(static_cast<uint32_t>(snapshot.rotationKeys.size()));
        snapshot.positionOrdered.push_back(Ordered(snapshot.positionKeys.data() + snapshot.positionStart[i],
                                                   static_cast<size_t>(positions.count)));
        snapshot.rotationOrdered.push_back(Ordered(snapshot.rotationKeys.data() + snapshot.rotationStart[i],
                                                   static_cast<size_t>(rotations.count)));
    }
    // Each vertex's bone, in the model-wide order, then the vertices bone by bone.
    std::vector<std::pair<int32_t, Vector3f>> vertices;
    for (int32_t m = 0; model && m < hmModel_GetMeshCount(model); ++m) {
        hmMesh* mesh = hmModel_GetMeshAt(model, m);
        for (int32_t v = 0; v < hmMesh_GetVertexCount(mesh); ++v) {
            const HostVertex* vertex = hmMesh_GetVertexAt(mesh, v);
            if (!vertex) {
                vertices.push_back({-1, {0.0f, 0.0f, 0.0f}});
                continue;
            }
            const HostVec3 position = vertex->position;
            const int32_t bone = vertex->boneIndex >= 0 && vertex->boneIndex < boneCount_ ? vertex->boneIndex : -1;
            vertices.push_back({bone, {position.x, position.y, position.z}});
        }
    }
    std::vector<uint32_t> byBone(vertices.size());
    for (size_t k = 0; k < byBone.size(); ++k) byBone[k] = static_cast<uint32_t>(k);
    std::stable_sort(byBone.begin(), byBone.end(),
                     [&](uint32_t a, uint32_t b) { return vertices[a].first < vertices[b].first; });
    for (size_t first = 0, end = 0; first < byBone.size(); first = end) {
        const int32_t bone = vertices[byBone[first]].first;
        while (end < byBone.size() && vertices[byBone[end]].first == bone) ++end;
        std::span<uint32_t> group(byBone.data() + first, end - first);
        OrderNearby(group, [&](uint32_t k) {
            const Vector3f& p = vertices[k].second;
            return std::array<float, 3>{p.x, p.y, p.z};
        });
        snapshot.groupBone.push_back(bone);
        snapshot.groupStart.push_back(static_cast<uint32_t>(first));
        CutBlocks(end - first, [&](size_t from, size_t to) {
            PoseSnapshot::Block block{static_cast<uint32_t>(first + from), static_cast<uint32_t>(first + to), bone,
                                      {}, {}, {}};
            for (int k = 0; k < 3; ++k) {
                float low = HUGE_VALF, high = -HUGE_VALF;
                for (size_t n = block.start; n < block.end; ++n) {
                    const Vector3f& p = vertices[byBone[n]].second;
                    const float c = k == 0 ? p.x : k == 1 ? p.y : p.z;
                    // A NaN stays, and makes the block's bounds NaN: it is then always posed.
                    low = std::isnan(c) ? c : std::min(low, c);
                    high = std::isnan(c) ? c : std::max(high, c);
                }
                block.centre[k] = (static_cast<double>(low) + high) / 2;
                block.half[k] = (static_cast<double>(high) - low) / 2;
                block.extent[k] = std::fabs(block.centre[k]) + block.half[k];
            }
            snapshot.blocks.push_back(block);
        });
    }
    for (const uint32_t k : byBone) {
        snapshot.x.push_back(vertices[k].second.x);
        snapshot.y.push_back(vertices[k].second.y);
        snapshot.z.push_back(vertices[k].second.z);
        snapshot.target.push_back(k);
    }
    snapshot.groupStart.push_back(static_cast<uint32_t>(snapshot.target.size()));
    return snapshot;
}

namespace {

// R * p + T of the bone's pose, each sum rounded to float where it is stored.
inline void PoseVertex(const Matrix3x4& pose, const Vector3f& position, Vector3f& out) {
    RotateVector(position, pose, out);
    out.x = static_cast<float>(static_cast<double>(out.x) + pose.m[0][3]);
    out.y = static_cast<float>(static_cast<double>(out.y) + pose.m[1][3]);
    out.z = static_cast<float>(static_cast<double>(out.z) + pose.m[2][3]);
}

}  // namespace

void BoneTable::GetPosedVertex(Vector3f& out, const HostVertex* vertex) const {
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
    PoseVertex(entries_[bone].absolutePose, {position.x, position.y, position.z}, out);
}

namespace {

// Posing four vertices at once gives the same bits as posing each alone: the
// same operations in the same order, each rounded as there.
using Float4 = float __attribute__((vector_size(16)));
using Double4 = double __attribute__((vector_size(32)));

// One bone's vertices, `count` of them from x, y, z, into ox, oy, oz.
VANTREL_WIDE_CLONES
void PoseBoneVertices(const Matrix3x4& pose, const float* x, const float* y, const float* z, size_t count, float* ox,
                      float* oy, float* oz) {
    // The pose's elements in double, read once: the stores below could
    // otherwise alias them.
    Double4 m[3][4];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) {
            const double v = pose.m[r][c];
            m[r][c] = Double4{v, v, v, v};  // not 0 + v, which would turn -0 into 0
        }
    size_t v = 0;
    for (; v + 4 <= count; v += 4) {
        Float4 fx, fy, fz;
        std::memcpy(&fx, x + v, sizeof fx);
        std::memcpy(&fy, y + v, sizeof fy);
        std::memcpy(&fz, z + v, sizeof fz);
        const Double4 dx = __builtin_convertvector(fx, Double4);
        const Double4 dy = __builtin_convertvector(fy, Double4);
        const Double4 dz = __builtin_convertvector(fz, Double4);
        Float4 out[3];
        for (int r = 0; r < 3; ++r) {
            const Float4 rotated = __builtin_convertvector(dx * m[r][0] + dy * m[r][1] + dz * m[r][2], Float4);
            out[r] = __builtin_convertvector(__builtin_convertvector(rotated, Double4) + m[r][3], Float4);
        }
        std::memcpy(ox + v, &out[0], sizeof out[0]);
        std::memcpy(oy + v, &out[1], sizeof out[1]);
        std::memcpy(oz + v, &out[2], sizeof out[2]);
    }
    for (; v < count; ++v) {
        Vector3f posed;
        PoseVertex(pose, {x[v], y[v], z[v]}, posed);
        ox[v] = posed.x;
        oy[v] = posed.y;
        oz[v] = posed.z;
    }
}

}  // namespace

void BoneTable::GetPosedVertices(const PoseSnapshot& snapshot, std::span<Vector3f> out) const {
    constexpr size_t kBlock = 256;
    float ox[kBlock], oy[kBlock], oz[kBlock];
    for (size_t g = 0; g + 1 < snapshot.groupStart.size(); ++g) {
        const int32_t bone = snapshot.groupBone[g];
        const bool posed = bone >= 0 && bone < boneCount_;
        for (size_t first = snapshot.groupStart[g]; first < snapshot.groupStart[g + 1]; first += kBlock) {
            const size_t count = std::min<size_t>(kBlock, snapshot.groupStart[g + 1] - first);
            const float* x = snapshot.x.data() + first;
            const float* y = snapshot.y.data() + first;
            const float* z = snapshot.z.data() + first;
            if (posed) {
                PoseBoneVertices(entries_[bone].absolutePose, x, y, z, count, ox, oy, oz);
                x = ox;
                y = oy;
                z = oz;
            }
            for (size_t v = 0; v < count; ++v) {
                const uint32_t place = snapshot.target[first + v];
                if (place < out.size()) out[place] = {x[v], y[v], z[v]};
            }
        }
    }
}

FrameBox BoneTable::BoxPosedVertices(const PoseSnapshot& snapshot, std::span<Vector3f> out, BoxScan& scan) const {
    if (out.size() != snapshot.target.size()) {  // places beyond out, or places left as they were
        GetPosedVertices(snapshot, out);
        return BoxOf(out);
    }
    // A posed coordinate is R * p rounded to float, plus T, rounded again:
    // within 2^-23 of (|R| * |p| + |T|) of the exact value. The bounds allow
    // eight times that.
    const std::span<BlockBound> bounds = scan.Bounds(snapshot.blocks.size());
    for (size_t b = 0; b < snapshot.blocks.size(); ++b) {
        const PoseSnapshot::Block& block = snapshot.blocks[b];
        BlockBound& bound = bounds[b];
        const bool posed = block.bone >= 0 && block.bone < boneCount_;
        for (int r = 0; r < 3; ++r) {
            if (!posed) {  // the extent, with room for the centre and half size's rounding
                const double room = 0x1p-20 * block.extent[r] + 0x1p-140;
                bound.low[r] = block.centre[r] - block.half[r] - room;
                bound.high[r] = block.centre[r] + block.half[r] + room;
                continue;
            }
            const float* row = entries_[block.bone].absolutePose.m[r];
            const double a = row[0], b = row[1], c = row[2], t = row[3];
            const double middle = t + a * block.centre[0] + b * block.centre[1] + c * block.centre[2];
            const double reach = std::fabs(a) * block.half[0] + std::fabs(b) * block.half[1] +
                                 std::fabs(c) * block.half[2] +
                                 0x1p-20 * (std::fabs(t) + std::fabs(a) * block.extent[0] +
                                            std::fabs(b) * block.extent[1] + std::fabs(c) * block.extent[2]) +
                                 0x1p-140;
            bound.low[r] = middle - reach;
            bound.high[r] = middle + reach;
        }
    }
    return scan.Run([&](uint32_t b, FrameBox& box) {
        const PoseSnapshot::Block& block = snapshot.blocks[b];
        const size_t count = block.end - block.start;
        float ox[kBlockVertices], oy[kBlockVertices], oz[kBlockVertices];
        const float* x = snapshot.x.data() + block.start;
        const float* y = snapshot.y.data() + block.start;
        const float* z = snapshot.z.data() + block.start;
        if (block.bone >= 0 && block.bone < boneCount_) {
            PoseBoneVertices(entries_[block.bone].absolutePose, x, y, z, count, ox, oy, oz);
            x = ox;
            y = oy;
            z = oz;
        }
        for (size_t v = 0; v < count; ++v) box.Add(Vector3f{x[v], y[v], z[v]});
    });
}

// A mesh whose records the host keeps side by side (its first and last records
// are count - 1 records apart) is read through the first record's pointer; any
// other is asked for vertex by vertex. Both give the same records.
void BoneTable::GetPosedVertices(hmModel* model, std::span<Vector3f> out) const {
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
