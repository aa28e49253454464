// A file read with Assimp and laid out for building the host model: its
// node tree parents first with each node's transform in the host's axes.
#pragma once

#include "bake/affine.h"
#include "host/error.h"
#include "import/node_identity.h"

#include <assimp/Importer.hpp>
#include <assimp/scene.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace hm::imp {

struct SourceNode {
    const aiNode* node = nullptr;
    int parent = -1;  // index into SourceScene::nodes, -1 for the root
    Affine local;     // as the file holds it
    Affine global;    // model space: right-handed, Y up
};

// One placement of a mesh: a mesh referenced by two nodes is placed twice.
struct MeshInstance {
    unsigned mesh = 0;
    int node = 0;
};

struct SourceScene {
    std::unique_ptr<Assimp::Importer> importer;  // owns the scene
    const aiScene* scene = nullptr;
    std::vector<SourceNode> nodes;                // depth first, parents before children
    std::vector<MeshInstance> instances;          // in node order
    NodeBindings bindings;                        // the node each bone and channel means
    Affine axes;                                  // file axes to model space, applied above the root
    bool mirrored = false;                        // the change of axes flips handedness
    uint32_t fileVertices = 0;                    // numbered: the file's vertex lines
};

// A vertex's number among the file's vertex lines, which a numbered OBJ's
// reader carries in the vertex's colour through every vertex it makes of it:
// a point cache names vertices so.
inline constexpr float kVertexNumberBase = 4096;  // a colour channel counts up to this, exactly

Affine ToAffine(const aiMatrix4x4& m);

// Reads the file (format chosen by its content and extension), repairs what
// is safe to repair (a warning for each), then triangulates it and joins
// identical vertices. The other files it names are read only from its folder
// and `folders` (import/model_files.h): a warning names each refused, or the
// failure does when the file cannot be read without it. Every failure is
// kBadInput, naming the file and the problem. numberVertices (an OBJ file):
// each vertex carries its number (see kVertexNumberBase).
Error LoadSourceScene(const std::string& path, SourceScene& out, Warnings& warnings,
                      const std::vector<std::string>& folders = {}, bool numberVertices = false);

// The node mesh `mesh`'s bone `bone` means, or -1.
inline int BoneNode(const SourceScene& scene, unsigned mesh, unsigned bone) {
    return scene.bindings.boneNodes[mesh][bone];
}

}  // namespace hm::imp
