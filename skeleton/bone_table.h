// The process-wide bone table and the bind pose: each bone's rest transforms,
// and every skinned vertex moved into its bone's rest frame.
#pragma once

#include "host/hm_model_lib.h"
#include "skeleton/transform_math.h"

#include <cstdint>
#include <memory>

struct BoneMatrixSet {
    Matrix3x4 localBind;     // rest transform relative to the parent
    Matrix3x4 absoluteBind;  // rest transform in model space
    Matrix3x4 localPose;     // relative to the parent at the last evaluated frame
    Matrix3x4 absolutePose;  // model space at the last evaluated frame
};

// One table for the whole process. It holds no storage until the first
// SetupBindPose, grows (keeping its entries) when a later model has more bones,
// and is released only when the library is unloaded. Entry i describes bone i
// of the model set up last. New entries start zeroed, so even a caller that
// breaks the calling order never reads an undefined value.
struct BoneTable {
    std::unique_ptr<BoneMatrixSet[]> entries;
    // Per bone of the model set up last: the parent's index, -1 for a root.
    // A parent name that names no bone, the bone itself, or a bone of a
    // parent cycle makes a root, so following parents always ends.
    std::unique_ptr<int32_t[]> parents;
    // The bones of the model set up last, every parent before its children;
    // bone index order whenever the model already lists parents first.
    std::unique_ptr<int32_t[]> order;
    std::unique_ptr<uint8_t[]> marks;  // scratch for computing the order
    int32_t capacity = 0;
    // Bones of the model set up last: entries, parents and order below this
    // count are defined. 0 before the first SetupBindPose, and after a
    // SetupBindPose that could not get storage for its model.
    int32_t boneCount = 0;

    BoneMatrixSet* Entry(int32_t bone) {
        return bone >= 0 && bone < capacity ? &entries[bone] : nullptr;
    }
};

BoneTable& TheBoneTable();

// Fills localBind, absoluteBind and absolutePose of every bone of the model
// (parents first, whatever the index order), then rewrites each skinned
// vertex's host record as transpose(R) * (p - T) with R, T its bone's
// absoluteBind. A vertex whose boneIndex is not a bone of the model is left as
// it is, as is every vertex when the table cannot be made large enough (the
// model then counts as having no bones, and nothing else changes). Call once
// per model: a second call would move the vertices again.
void SetupBindPose(hmModel* model);
