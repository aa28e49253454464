// The host's keys from a file's clips: every bone keyed at every frame of the
// chosen clips, end to end, or at rest when there are none.
#pragma once

#include "host/warnings.h"
#include "import/anim_sample.h"
#include "import/bone_keys.h"
#include "bake/exact_scene.h"
#include "import/skeleton_build.h"
#include "import/source_scene.h"

#include <cstdint>
#include <string>
#include <vector>

namespace hm::imp {

struct BakeClip {
    unsigned index;      // the file's animation
    std::string name;    // for warnings
    int64_t frames;      // at the chosen rate
};

// Keys every bone at every frame of the clips through writer, the clips one
// after the other on the timeline; without clips, keys them once where the
// file's nodes stand when that differs from their rest. The nodes move as
// the exact scene's tracks say (whose clips are these, in this order), so
// both bakes follow one sampling of the file's animation. Warns about a clip
// that scales a bone holding vertices (boneHoldsVertices, per bone). Returns
// the frames on the timeline (1 without clips). Also warns about what a clip
// holds that is left out: channels naming no node, morph or mesh animation,
// and a clip that moves no bone.
int64_t BakeKeys(const SourceScene& source, const ExactScene& scene, const Skeleton& skeleton,
                 const std::vector<BakeClip>& clips, const std::vector<bool>& boneHoldsVertices,
                 HostBoneWriter& writer, Warnings& warnings);

}  // namespace hm::imp
