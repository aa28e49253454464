#include "skeleton/bone_table.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// The host's parent lookup, made safe: the name field need not be terminated,
// and an answer outside the model, or the bone itself, makes a root.
int32_t FindParent(hmModel* model, const HostBone* bone, int32_t index, int32_t count) {
    if (!bone) return -1;
    char name[sizeof bone->parentName + 1];
    std::memcpy(name, bone->parentName, sizeof bone->parentName);
    name[sizeof bone->parentName] = '\0';
    const int32_t parent = hmModel_FindBoneByName(model, name);
    return parent >= 0 && parent < count && parent != index ? parent : -1;
}

void MoveIntoBoneFrame(HostVertex& vertex, const Matrix3x4& absoluteBind) {
    const HostVec3 position = vertex.position;
    vertex.position.x = static_cast<float>(static_cast<double>(position.x) - absoluteBind.m[0][3]);
    vertex.position.y = static_cast<float>(static_cast<double>(position.y) - absoluteBind.m[1][3]);
    vertex.position.z = static_cast<float>(static_cast<double>(position.z) - absoluteBind.m[2][3]);
    const Vector3f shifted{vertex.position.x, vertex.position.y, vertex.position.z};
    Vector3f local;
    InverseRotateVector(shifted, absoluteBind, local);
    vertex.position.x = local.x;
    vertex.position.y = local.y;
    vertex.position.z = local.z;
}

}  // namespace

bool BoneTable::Reserve(int32_t count) {
    if (count <= capacity_) return true;
    const size_t size = static_cast<size_t>(count);
    std::unique_ptr<BoneMatrixSet[]> entries(new (std::nothrow) BoneMatrixSet[size]());
    std::unique_ptr<int32_t[]> parents(new (std::nothrow) int32_t[size]());
    std::unique_ptr<int32_t[]> order(new (std::nothrow) int32_t[size]());
    std::unique_ptr<uint8_t[]> marks(new (std::nothrow) uint8_t[size]());
    if (!entries || !parents || !order || !marks) return false;
    if (capacity_ > 0) std::copy_n(entries_.get(), capacity_, entries.get());
    entries_ = std::move(entries);
    parents_ = std::move(parents);
    order_ = std::move(order);
    marks_ = std::move(marks);
    capacity_ = count;
    return true;
}

// Lists every bone after its parent. Walking up from each bone not yet placed
// collects the unplaced part of its chain, bottom up, at the end of the
// order; reversing that stretch puts it top down. A chain that comes back to
// a bone of its own stretch is a cycle, and each bone of the cycle becomes a
// root. When parents already come first every stretch is one bone long, so
// the order is the index order.
void BoneTable::ComputeOrder(int32_t count) {
    enum : uint8_t { kUnplaced, kOnStretch, kPlaced };
    int32_t* parents = parents_.get();
    int32_t* order = order_.get();
    uint8_t* marks = marks_.get();
    std::fill_n(marks, count, kUnplaced);
    int32_t placed = 0;
    for (int32_t bone = 0; bone < count; ++bone) {
        const int32_t start = placed;
        int32_t walk = bone;
        while (walk >= 0 && marks[walk] == kUnplaced) {
            marks[walk] = kOnStretch;
            order[placed++] = walk;
            walk = parents[walk];
        }
        if (walk >= 0 && marks[walk] == kOnStretch) {
            for (int32_t k = placed - 1;; --k) {
                const int32_t member = order[k];
                parents[member] = -1;
                if (member == walk) break;
            }
        }
        for (int32_t k = start; k < placed; ++k) marks[order[k]] = kPlaced;
        std::reverse(order + start, order + placed);
    }
}

bool BoneTable::BuildBindPose(hmModel* model) {
    if (!model) return false;
    const int32_t count = std::max(hmModel_GetBoneCount(model), 0);
    if (!Reserve(count)) {
        boneCount_ = 0;
        return false;
    }
    boneCount_ = count;

    for (int32_t i = 0; i < count; ++i) {
        const HostBone* bone = hmModel_GetBoneAt(model, i);
        Matrix3x4& localBind = entries_[i].localBind;
        const HostVec3 rotation = bone ? bone->rotation : HostVec3{};
        const HostVec3 position = bone ? bone->position : HostVec3{};
        const Vector3f degrees{RadiansToDegrees(rotation.x), RadiansToDegrees(rotation.y),
                              RadiansToDegrees(rotation.z)};
        EulerDegreesToMatrix(degrees, localBind);
        localBind.m[0][3] = position.x;
        localBind.m[1][3] = position.y;
        localBind.m[2][3] = position.z;
        parents_[i] = FindParent(model, bone, i, count);
    }

    ComputeOrder(count);
    for (int32_t k = 0; k < count; ++k) {
        const int32_t i = order_[k];
        BoneMatrixSet& entry = entries_[i];
        const int32_t parent = parents_[i];
        if (parent < 0)
            entry.absoluteBind = entry.localBind;
        else
            ConcatTransforms(entries_[parent].absoluteBind, entry.localBind, entry.absoluteBind);
        entry.absolutePose = entry.absoluteBind;
    }
    return true;
}

void BoneTable::SetupBindPose(hmModel* model) {
    if (!BuildBindPose(model)) return;
    const int32_t meshCount = hmModel_GetMeshCount(model);
    for (int32_t m = 0; m < meshCount; ++m) {
        hmMesh* mesh = hmModel_GetMeshAt(model, m);
        const int32_t vertexCount = hmMesh_GetVertexCount(mesh);
        for (int32_t v = 0; v < vertexCount; ++v) {
            HostVertex* vertex = hmMesh_GetVertexAt(mesh, v);
            if (!vertex) continue;
            const int32_t bone = vertex->boneIndex;
            if (bone < 0 || bone >= boneCount_) continue;
            MoveIntoBoneFrame(*vertex, entries_[bone].absoluteBind);
        }
    }
}
