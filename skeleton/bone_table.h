// The skeleton of one model at a time: each bone's rest transforms (the bind
// pose), its transforms at the frame evaluated last, and the posed vertices.
#pragma once

#include "host/hm_model_lib.h"
#include "skeleton/frame_box.h"
#include "skeleton/transform_math.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

struct BoneMatrixSet {
    Matrix3x4 localBind;     // rest transform relative to the parent
    Matrix3x4 absoluteBind;  // rest transform in model space
    Matrix3x4 localPose;     // relative to the parent at the last evaluated frame
    Matrix3x4 absolutePose;  // model space at the last evaluated frame
};

// A key as posing reads it: a time in frames and a value (a position, or
// Euler angles in radians). A key the host does not hand out has a NaN time.
struct PoseKey {
    float time;
    Vector3f value;
};

// What posing reads from the host model, copied out of it once: every bone's
// keys, and every vertex's bone-local position and bone. Frames posed from the
// copy have the same bits as frames posed from the model, and need no call
// into the host's library, which need not be thread-safe: tables on other
// threads pose from one copy at once. It never changes once made.
struct PoseSnapshot {
    // Bone i's keys are positionKeys[positionStart[i] .. positionStart[i + 1]),
    // and the same for rotations; bones beyond the table's count have none.
    std::vector<uint32_t> positionStart;
    std::vector<uint32_t> rotationStart;
    std::vector<PoseKey> positionKeys;
    std::vector<PoseKey> rotationKeys;
    std::vector<Quaternion> rotationQuaternions;  // each rotation key's, as posing makes it
    // Per bone: its position (rotation) keys' times never go down and are
    // never NaN, so the key for a time is the same wherever it is looked for.
    std::vector<uint8_t> positionOrdered, rotationOrdered;
    // The vertices grouped by bone, so that one bone's are posed together:
    // group g is vertices groupStart[g] to groupStart[g + 1] - 1 of bone
    // groupBone[g] (-1: no bone of the model; the position is used as it is).
    // Vertex k's position is (x[k], y[k], z[k]), and its place in the model-wide
    // order (mesh 0's vertices, then mesh 1's, and so on) is target[k].
    std::vector<int32_t> groupBone;
    std::vector<uint32_t> groupStart;
    std::vector<float> x, y, z;
    std::vector<uint32_t> target;
    // Each group cut into blocks of vertices near one another (a group's
    // vertices are in that order), with the box around each at rest: its
    // centre, its half size and their sum of magnitudes, on each axis.
    struct Block {
        uint32_t start, end;
        int32_t bone;
        double centre[3], half[3], extent[3];
    };
    std::vector<Block> blocks;
};

// A value its caller holds and sets up for one model after another. It holds
// no storage until the first SetupBindPose, grows (keeping its entries) when a
// later model has more bones, and releases its storage only when it goes.
// Entry i describes bone i of the model set up last. New entries start zeroed,
// so even a caller that breaks the calling order never reads an undefined value.
//
// Calling order: SetupBindPose (or BuildBindPose) for a model, then any number
// of EvaluatePose calls with that same model, each followed by the posed-vertex
// reads that want that frame. One table is one evaluation state: two threads
// posing frames at once need a table each.
class BoneTable {
public:
    BoneTable() = default;
    BoneTable(const BoneTable&) = delete;
    BoneTable& operator=(const BoneTable&) = delete;

    // Fills localBind, absoluteBind and absolutePose of every bone of the model
    // (parents first, whatever the index order), then rewrites each skinned
    // vertex's host record as transpose(R) * (p - T) with R, T its bone's
    // absoluteBind. A vertex whose boneIndex is not a bone of the model is left
    // as it is, as is every vertex when the table cannot be made large enough
    // (the model then counts as having no bones, and nothing else changes).
    // Call once per model: a second call would move the vertices again.
    void SetupBindPose(hmModel* model);
    // The bind part of SetupBindPose alone, for a further table over a model
    // whose vertices another table's SetupBindPose has already moved. False
    // when the table cannot be made large enough (it then has no bones).
    bool BuildBindPose(hmModel* model);

    // Writes localPose and absolutePose of every keyed bone, and sets
    // absolutePose of every bone without keys to its absoluteBind. Expects the
    // model this table was set up for: the parents and the parents-first order
    // come from that call (names do not change during a run). Bones beyond the
    // count set up are left alone, so before any set-up nothing is done; a null
    // model is ignored. A bone with keys of one kind only takes zero
    // translation, or the identity rotation, for the kind it lacks.
    void EvaluatePose(hmModel* model, int32_t frame);
    // The same from a copy made by CopyPoseSnapshot for the model this table
    // was set up for (or another table set up for it). cursors, when it holds
    // two entries per bone of the snapshot (zero at first, then left as this
    // call leaves them), keeps where each bone's keys were found: frames
    // posed mostly in order then find theirs a key or two on.
    void EvaluatePose(const PoseSnapshot& snapshot, int32_t frame, std::span<int32_t> cursors = {});

    // The vertex under the last evaluated pose (the rest pose right after
    // set-up). A vertex attached to no bone of the model set up last comes out
    // at its stored position, bit for bit; a null vertex at (0, 0, 0).
    void GetPosedVertex(Vector3f& out, const HostVertex* vertex) const;
    // Every vertex of the model in the model-wide order (mesh 0's vertices,
    // then mesh 1's, and so on) into out, as far as out reaches.
    void GetPosedVertices(hmModel* model, std::span<Vector3f> out) const;
    void GetPosedVertices(const PoseSnapshot& snapshot, std::span<Vector3f> out) const;
    // The box of what GetPosedVertices would give into out (which it uses as
    // room to work in), to the bit, posing only the blocks that could decide
    // it. scan is kept from frame to frame by the caller.
    FrameBox BoxPosedVertices(const PoseSnapshot& snapshot, std::span<Vector3f> out, BoxScan& scan) const;

    // What EvaluatePose and GetPosedVertices read from the model, copied, after
    // SetupBindPose has moved the vertices into their bones' frames.
    PoseSnapshot CopyPoseSnapshot(hmModel* model) const;

    const BoneMatrixSet* Entry(int32_t bone) const {
        return bone >= 0 && bone < capacity_ ? &entries_[bone] : nullptr;
    }
    // Bones of the model set up last: entries below this count are defined.
    // 0 before the first set-up, and after one that could not get storage.
    int32_t BoneCount() const { return boneCount_; }
    int32_t Capacity() const { return capacity_; }

private:
    bool Reserve(int32_t count);
    void ComputeOrder(int32_t count);

    std::unique_ptr<BoneMatrixSet[]> entries_;
    // Per bone of the model set up last: the parent's index, -1 for a root.
    // A parent name that names no bone, the bone itself, or a bone of a
    // parent cycle makes a root, so following parents always ends.
    std::unique_ptr<int32_t[]> parents_;
    // The bones of the model set up last, every parent before its children;
    // bone index order whenever the model already lists parents first.
    std::unique_ptr<int32_t[]> order_;
    std::unique_ptr<uint8_t[]> marks_;  // scratch for computing the order
    int32_t capacity_ = 0;
    int32_t boneCount_ = 0;
};
