// A file's animation clips: their length in frames at the chosen rate, and
// every node's transform at any moment of a clip, interpolated as the file's
// own tools do it (positions and scales linearly, rotations along the shortest arc).
#pragma once

#include "import/affine.h"
#include "import/source_scene.h"

#include <cstdint>
#include <vector>

namespace hm::imp {

struct ClipTiming {
    double ticksPerSecond = 25;  // Assimp's default when the file states none
    double durationTicks = 0;
    double seconds = 0;
    int64_t frames = 1;  // frame 0 at the start, the last one at or just past the end
};

ClipTiming TimeClip(const aiAnimation& clip, double fps);

// Clip `clip`'s channel for each node, or null.
std::vector<const aiNodeAnim*> ChannelsByNode(const SourceScene& scene, unsigned clip);

// Model-space transforms, at frame `frame` of the clip, of the nodes marked in
// `wanted`, which must mark every ancestor of a marked node too (the others
// are left as they were). Nodes
// without a channel keep the transform the file gives them.
void SampleGlobals(const SourceScene& scene, const std::vector<const aiNodeAnim*>& channels, const ClipTiming& timing,
                   double fps, int64_t frame, const std::vector<bool>& wanted, std::vector<Affine>& globals);

// Local transform of a channel at a time in ticks; key kinds the channel
// lacks come from the node's own transform.
Affine SampleChannel(const aiNodeAnim& channel, double ticks, const aiMatrix4x4& nodeTransform);

}  // namespace hm::imp
