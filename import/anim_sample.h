// A file's animation clips: their length in frames at the chosen rate, which
// node each channel animates, and the channels as plain data.
#pragma once

#include "bake/affine.h"
#include "bake/exact_scene.h"
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

// The frame rate the file says its animation was made at, or 0 where it says
// none (only FBX files say, as a time mode or a custom rate).
double StatedFrameRate(const aiScene& scene);

// Clip `clip`'s channel for each node, or null.
std::vector<const aiNodeAnim*> ChannelsByNode(const SourceScene& scene, unsigned clip);

// A channel as plain data, for the node whose own transform is nodeTransform:
// the kinds of key it lacks keep that transform's values.
NodeTrack TrackOf(const aiNodeAnim& channel, int node, const aiMatrix4x4& nodeTransform);

}  // namespace hm::imp
