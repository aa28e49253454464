// The host's bone records and keys, made from model-space rigid transforms.
// Each value is taken against what the plug-in rebuilds from the floats
// already stored, so rounding does not pile up from parent to child.
#pragma once

#include "host/host_model.h"
#include "bake/affine.h"
#include "import/skeleton_build.h"

#include <vector>

namespace hm::imp {

// The transform the plug-in builds from a stored position and Euler rotation.
Affine Recompose(const HostVec3& position, const HostVec3& rotation);

class HostBoneWriter {
public:
    // Adds the skeleton's bones to the model with their rest transforms,
    // positions multiplied by scale.
    HostBoneWriter(hmModel& model, const Skeleton& skeleton, double scale);

    // Adds one position key and one rotation key at `time` to every bone, so
    // that the plug-in poses bone b at pose[b] (rigid, model space, before scale).
    void AddKeys(const std::vector<Affine>& pose, float time);

    // The model-space rest of each bone as the plug-in rebuilds it (after scale).
    const std::vector<Affine>& RebuiltRest() const { return rebuiltRest_; }

private:
    hmModel& model_;
    std::vector<int> parents_;
    std::vector<Affine> localRest_;    // rebuilt from the stored floats
    std::vector<Affine> rebuiltRest_;  // model space
    std::vector<Affine> rebuiltPose_;  // model space, last keys added
    double scale_;
};

}  // namespace hm::imp
