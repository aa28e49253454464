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

namespace {

// Index of the last key at or before the time, and the fraction towards the next.
template <typename Key>
std::pair<unsigned, double> Locate(const Key* keys, unsigned count, double ticks) {
    if (count == 1 || ticks <= keys[0].mTime) return {0, 0.0};
    if (ticks >= keys[count - 1].mTime) return {count - 1, 0.0};
    const Key* next = std::upper_bound(keys, keys + count, ticks, [](double t, const Key& k) { return t < k.mTime; });
    // A damaged file's times, out of order or NaN, can leave the search at the end.
    if (next == keys + count) return {count - 1, 0.0};
    const unsigned i = static_cast<unsigned>(next - keys) - 1;
    const double span = keys[i + 1].mTime - keys[i].mTime;
    return {i, span > 0 ? (ticks - keys[i].mTime) / span : 0.0};
}

Vec3 Lerp(const aiVectorKey* keys, unsigned count, double ticks) {
    const auto [i, f] = Locate(keys, count, ticks);
    const aiVector3D& a = keys[i].mValue;
    if (f == 0.0) return {a.x, a.y, a.z};
    const aiVector3D& b = keys[i + 1].mValue;
    return {a.x + (double(b.x) - a.x) * f, a.y + (double(b.y) - a.y) * f, a.z + (double(b.z) - a.z) * f};
}

Quat ToQuat(const aiQuaternion& q) { return {q.x, q.y, q.z, q.w}; }

}  // namespace

Affine SampleChannel(const aiNodeAnim& channel, double ticks, const aiMatrix4x4& nodeTransform) {
    aiVector3D scale, position;
    aiQuaternion rotation;
    nodeTransform.Decompose(scale, rotation, position);
    Vec3 t{position.x, position.y, position.z};
    Quat r = ToQuat(rotation);
    Vec3 s{scale.x, scale.y, scale.z};
    if (channel.mNumPositionKeys > 0 && channel.mPositionKeys) t = Lerp(channel.mPositionKeys, channel.mNumPositionKeys, ticks);
    if (channel.mNumScalingKeys > 0 && channel.mScalingKeys) s = Lerp(channel.mScalingKeys, channel.mNumScalingKeys, ticks);
    if (channel.mNumRotationKeys > 0 && channel.mRotationKeys) {
        const auto [i, f] = Locate(channel.mRotationKeys, channel.mNumRotationKeys, ticks);
        r = ToQuat(channel.mRotationKeys[i].mValue);
        if (f != 0.0) r = Slerp(r, ToQuat(channel.mRotationKeys[i + 1].mValue), f);
    }
    return FromTrs(t, r, s);
}

void SampleGlobals(const SourceScene& scene, const std::vector<const aiNodeAnim*>& channels, const ClipTiming& timing,
                   double fps, int64_t frame, const std::vector<bool>& wanted, std::vector<Affine>& globals) {
    const double ticks = std::min(static_cast<double>(frame) / fps * timing.ticksPerSecond, timing.durationTicks);
    globals.resize(scene.nodes.size());
    // Parents come first, so one pass suffices; `wanted` already includes the ancestors.
    for (size_t i = 0; i < scene.nodes.size(); ++i) {
        if (!wanted[i]) continue;
        const SourceNode& node = scene.nodes[i];
        const Affine local =
            channels[i] ? SampleChannel(*channels[i], ticks, node.node->mTransformation) : node.local;
        globals[i] = Multiply(node.parent < 0 ? scene.axes : globals[static_cast<size_t>(node.parent)], local);
    }
}

}  // namespace hm::imp
