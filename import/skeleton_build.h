// Which nodes of a file become the host's bones, in which order and under
// which names, and where each rests: from the skins' bind matrices where it has any.
#pragma once

#include "host/format_limits.h"
#include "host/warnings.h"
#include "bake/affine.h"
#include "import/source_scene.h"

#include <string>
#include <vector>

namespace hm::imp {


struct SkeletonBone {
    int node = -1;
    int parent = -1;  // bone index, -1 for the root
    std::string name;  // as the host holds it: at most 31 bytes, unique
    Affine rest;       // rigid, model space (before --scale)
    Mat3 stretch = kIdentity3;  // what the rest held besides rotation and translation
};

struct Skeleton {
    std::vector<SkeletonBone> bones;  // parents first, in node order
    std::vector<int> boneOfNode;      // bone index of each node, -1 for none
    // Meshes without a skin under an animated node ride that node whole: the
    // node's bone for each instance, -1 for the rest.
    std::vector<int> rigidBoneOfInstance;
    // Where each instance's vertices lie in model space as the file stands:
    // its node's transform, or for a skinned mesh, where its skeleton puts it.
    std::vector<Affine> placementOfInstance;
};

// The bones are the nodes that move vertices (through a skin, or as the
// animated node of a mesh without one) and their ancestors up to the nearest
// node common to all of them. A skin is anchored where the file's node tree
// puts its root-most bone; the bind matrices place every other bone relative
// to that one. animated[i] tells whether node i or one of its
// ancestors has a channel in some clip. The skeleton may have more bones than
// the host can name (kMaxBones); the caller decides what that means.
void BuildSkeleton(const SourceScene& scene, const std::vector<bool>& animated, Skeleton& out,
                   Warnings& warnings);

// True when the weight counts as an influence.
inline bool Influences(float weight) { return weight > 0.0f && weight <= 1e30f; }

}  // namespace hm::imp
