// Takes out of a file read with Assimp what the exact bake evaluates: the node
// tree, the clips' tracks, each placed mesh's skin and morph targets.
#pragma once

#include "import/anim_sample.h"
#include "bake/exact_scene.h"
#include "import/source_scene.h"

#include <string>
#include <vector>

namespace hm::imp {

// The node tree, axes and options; no meshes and no clips yet.
ExactScene ExtractNodes(const SourceScene& scene, double scale, double fps);

// Adds the instance's mesh, keeping the file's vertices `kept` in that order
// (the host mesh's vertices). Joints that name no node, and weights that are
// not positive and finite, are left out; each vertex's weights are scaled to
// sum to 1.
void AddExactMesh(const SourceScene& scene, const MeshInstance& instance, const std::vector<unsigned>& kept,
                  ExactScene& out);

// Appends a clip to the timeline. meshInstances[i] is the placement exact
// mesh i came from; a morph channel animates the meshes of the node it names
// (or, failing that, the meshes of that name).
void AddExactClip(const SourceScene& scene, unsigned clipIndex, const ClipTiming& timing,
                  const std::vector<MeshInstance>& meshInstances, ExactScene& out);

}  // namespace hm::imp
