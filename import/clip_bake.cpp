#include "import/clip_bake.h"

#include <cmath>
#include <cstdio>

namespace hm::imp {
namespace {

// Scale changes smaller than this during a clip are rounding in the file.
constexpr double kStretchTolerance = 1e-3;
// Node transforms within this of the rest (relative to the rest's distance
// from the origin, for translations) hold no pose of their own.
constexpr double kRestTolerance = 1e-6;

double TranslationDistance(const Affine& a, const Affine& b) {
    return std::fabs(a.t.x - b.t.x) + std::fabs(a.t.y - b.t.y) + std::fabs(a.t.z - b.t.z);
}

double DistanceFromOrigin(const Affine& a) { return std::fabs(a.t.x) + std::fabs(a.t.y) + std::fabs(a.t.z); }

bool AwayFromRest(const Affine& pose, const Affine& rest) {
    return MaxDifference(pose.m, rest.m) > kRestTolerance ||
           TranslationDistance(pose, rest) > kRestTolerance * (1 + DistanceFromOrigin(rest));
}

}  // namespace

int64_t BakeKeys(const SourceScene& source, const Skeleton& skeleton, const std::vector<BakeClip>& clips, double fps,
                 const std::vector<bool>& boneHoldsVertices, HostBoneWriter& writer, Warnings& warnings) {
    if (clips.empty()) {
        // One frame showing the model as its nodes stand, which is its rest
        // unless the file's nodes hold a pose of their own.
        std::vector<Affine> pose;
        bool posed = false;
        for (const SkeletonBone& bone : skeleton.bones) {
            pose.push_back(SplitRigid(source.nodes[static_cast<size_t>(bone.node)].global).rigid);
            posed = posed || AwayFromRest(pose.back(), bone.rest);
        }
        if (posed) writer.AddKeys(pose, 0.0f);
        return 1;
    }
    std::vector<bool> wanted(source.nodes.size(), false);
    for (const SkeletonBone& bone : skeleton.bones)
        for (int n = bone.node; n >= 0 && !wanted[static_cast<size_t>(n)]; n = source.nodes[static_cast<size_t>(n)].parent)
            wanted[static_cast<size_t>(n)] = true;
    std::vector<Affine> globals;
    std::vector<Affine> pose(skeleton.bones.size());
    int64_t time = 0;
    for (const BakeClip& clip : clips) {
        const auto channels = ChannelsByNode(source, *clip.animation);
        double largestStretch = 0;
        std::string stretchedBone;
        for (int64_t f = 0; f < clip.frames; ++f, ++time) {
            SampleGlobals(source, channels, clip.timing, fps, f, wanted, globals);
            for (size_t b = 0; b < skeleton.bones.size(); ++b) {
                const RigidSplit split = SplitRigid(globals[static_cast<size_t>(skeleton.bones[b].node)]);
                pose[b] = split.rigid;
                const double change = MaxDifference(split.stretch, skeleton.bones[b].stretch);
                if (boneHoldsVertices[b] && change > largestStretch) {
                    largestStretch = change;
                    stretchedBone = skeleton.bones[b].name;
                }
            }
            writer.AddKeys(pose, static_cast<float>(time));
        }
        if (largestStretch > kStretchTolerance) {
            char amount[32];
            std::snprintf(amount, sizeof amount, "%.4g", largestStretch);
            AddWarning(warnings, WarningKind::ScaledInClip,
                       "clip '" + clip.name + "' scales bone '" + stretchedBone + "' away from its rest (by up to " +
                           amount + "); the host's bones do not scale, so its vertices keep their rest size",
                       1, {stretchedBone});
        }
    }
    return time;
}

}  // namespace hm::imp
