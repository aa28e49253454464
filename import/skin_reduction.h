// Skinned vertices reduced to the one bone a host vertex holds: the heaviest
// influence among the bones the host has, with a tally of what that drops.
#pragma once

#include <assimp/mesh.h>

#include <cstdint>
#include <vector>

namespace hm::imp {

struct SkinReduction {
    int64_t multiInfluence = 0;  // vertices that had more than one influence
    int64_t unweighted = 0;      // vertices of skinned meshes with none
    float largestDropped = 0;    // the heaviest weight any vertex lost
};

// The heaviest influence on each vertex of the mesh among the bones marked
// usable (those that have a host bone): the aiBone index, or -1. Adds to tally.
std::vector<int> HeaviestBones(const aiMesh& mesh, const std::vector<bool>& usable, SkinReduction& tally);

}  // namespace hm::imp
