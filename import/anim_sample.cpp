#include "import/anim_sample.h"

#include <algorithm>
#include <cmath>

namespace hm::imp {

ClipTiming TimeClip(const aiAnimation& clip, double fps) {
    ClipTiming timing;
    if (std::isfinite(clip.mTicksPerSecond) && clip.mTicksPerSecond > 0) timing.ticksPerSecond = clip.mTicksPerSecond;
    if (std::isfinite(clip.mDuration) && clip.mDuration > 0) timing.durationTicks = clip.mDuration;
    timing.seconds = timing.durationTicks / timing.ticksPerSecond;
    // A length a hair past a whole frame (rounding in the file's times) does
    // not earn a frame of its own.
    const double last = std::ceil(timing.seconds * fps - 1e-3);
    timing.frames = last > 1e12 ? static_cast<int64_t>(1e12) : static_cast<int64_t>(std::max(0.0, last)) + 1;
    return timing;
}

std::vector<const aiNodeAnim*> ChannelsByNode(const SourceScene& scene, const aiAnimation& clip) {
    std::vector<const aiNodeAnim*> channels(scene.nodes.size(), nullptr);
    for (unsigned i = 0; i < clip.mNumChannels; ++i) {
        const aiNodeAnim* channel = clip.mChannels[i];
        const int node = channel ? FindNode(scene, channel->mNodeName) : -1;
        if (node >= 0 && !channels[static_cast<size_t>(node)]) channels[static_cast<size_t>(node)] = channel;
    }
    return channels;
}

}  // namespace hm::imp
