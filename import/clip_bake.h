// The host's keys from a file's clips: every bone keyed at every frame of the
// chosen clips, end to end, or at rest when there are none.
#pragma once

#include "host/warnings.h"
#include "import/anim_sample.h"
#include "import/bone_keys.h"
#include "import/skeleton_build.h"
#include "import/source_scene.h"

#include <cstdint>
#include <string>
#include <vector>

namespace hm::imp {

struct BakeClip {
    const aiAnimation* animation;
    std::string name;    // for warnings
    int64_t frames;      // at the chosen rate
    ClipTiming timing;
};

// Keys every bone at every frame of the clips through writer, the clips one
// after the other on the timeline; without clips, keys them once where the
// file's nodes stand when that differs from their rest. Warns about a clip
// that scales a bone holding vertices (boneHoldsVertices, per bone). Returns
// the frames on the timeline (1 without clips).
int64_t BakeKeys(const SourceScene& source, const Skeleton& skeleton, const std::vector<BakeClip>& clips, double fps,
                 const std::vector<bool>& boneHoldsVertices, HostBoneWriter& writer, Warnings& warnings);

}  // namespace hm::imp
