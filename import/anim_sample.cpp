#include "import/anim_sample.h"

#include "import/model_import.h"

#include <algorithm>
#include <cmath>
#include <iterator>

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

double StatedFrameRate(const aiScene& scene) {
    // The FBX time modes, by number: 0 is the application's default, which
    // names no rate, and 14 is the custom rate stated beside it.
    static constexpr double kTimeModes[] = {0,  120, 100,   60,   50, 48,   30,     30,     29.97, 29.97,
                                            25, 24,  1000, 23.976, 0,  96, 72, 59.94, 119.88};
    const aiMetadata* metadata = scene.mMetaData;
    int32_t mode = 0;
    if (!metadata || !metadata->Get("FrameRate", mode) || mode < 0 || mode >= int32_t{std::size(kTimeModes)}) return 0;
    double rate = kTimeModes[mode];
    float custom = 0;
    if (mode == 14 && metadata->Get("CustomFrameRate", custom)) rate = custom;
    return FpsProblem(rate).empty() ? rate : 0;
}

std::vector<const aiNodeAnim*> ChannelsByNode(const SourceScene& scene, unsigned clip) {
    std::vector<const aiNodeAnim*> channels(scene.nodes.size(), nullptr);
    const aiAnimation& animation = *scene.scene->mAnimations[clip];
    for (unsigned i = 0; i < animation.mNumChannels; ++i) {
        const int node = scene.bindings.channelNodes[clip][i];
        if (node >= 0 && !channels[static_cast<size_t>(node)]) channels[static_cast<size_t>(node)] = animation.mChannels[i];
    }
    return channels;
}

NodeTrack TrackOf(const aiNodeAnim& channel, int node, const aiMatrix4x4& nodeTransform) {
    auto vec = [](const aiVector3D& v) { return Vec3d{v.x, v.y, v.z}; };
    NodeTrack track;
    track.node = node;
    aiVector3D scale, position;
    aiQuaternion rotation;
    nodeTransform.Decompose(scale, rotation, position);
    track.restTranslation = vec(position);
    track.restRotation = {rotation.x, rotation.y, rotation.z, rotation.w};
    track.restScale = vec(scale);
    if (channel.mPositionKeys)
        for (unsigned k = 0; k < channel.mNumPositionKeys; ++k)
            track.positions.push_back({channel.mPositionKeys[k].mTime, vec(channel.mPositionKeys[k].mValue)});
    if (channel.mScalingKeys)
        for (unsigned k = 0; k < channel.mNumScalingKeys; ++k)
            track.scales.push_back({channel.mScalingKeys[k].mTime, vec(channel.mScalingKeys[k].mValue)});
    if (channel.mRotationKeys)
        for (unsigned k = 0; k < channel.mNumRotationKeys; ++k) {
            const aiQuaternion& q = channel.mRotationKeys[k].mValue;
            track.rotations.push_back({channel.mRotationKeys[k].mTime, {q.x, q.y, q.z, q.w}});
        }
    return track;
}

}  // namespace hm::imp
