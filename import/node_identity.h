// Which node a bone or an animation channel means. Assimp hands both over by
// name, but names in a file need not be unique: a mesh object named after the
// bone it hangs on is common, and so are locators that share a joint's name.
#pragma once

#include "host/warnings.h"

#include <assimp/scene.h>

#include <string>
#include <unordered_map>
#include <vector>

namespace hm::imp {

struct NodeTree {
    std::vector<const aiNode*> nodes;  // depth first, parents before children
    std::vector<int> parent;           // index into nodes, -1 for the root
};

struct NodeBindings {
    std::vector<std::vector<int>> boneNodes;     // per mesh, per bone: its node, -1 when no node has its name
    std::vector<std::vector<int>> channelNodes;  // per animation, per channel: its node, or -1
    Warnings warnings;                           // names that stayed ambiguous, with their candidates
};

// A joint is a node that a skin or a channel targets and that carries no
// mesh. Among several nodes of a bone's name, the joints are preferred, then
// the one hanging from or holding another bone of the same skin, then the
// one nearest the skinned mesh's node (their common ancestor the deepest);
// among several of a channel's name, a node some skin binds, then the joints.
// A name still shared after that goes to its first candidate, with a warning
// naming them all. (Files whose names the importer can make unique before
// Assimp reads them never get here: see import/file_names.h.)
NodeBindings BindNodes(const aiScene& scene, const NodeTree& tree);

}  // namespace hm::imp
