#include "import/clip_bake.h"

#include "bake/exact_pose.h"

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

// What a clip holds that the export leaves out. `wanted` marks the bones and
// their ancestors, the nodes whose motion reaches a vertex.
void ReportLeftOut(const SourceScene& source, const BakeClip& clip, const std::vector<const aiNodeAnim*>& channels,
                   const std::vector<bool>& wanted, Warnings& warnings) {
    const aiAnimation& animation = *source.scene->mAnimations[clip.index];
    const std::string name = "clip '" + clip.name + "'";
    int64_t unbound = 0;
    std::vector<std::string> examples;
    for (unsigned c = 0; c < animation.mNumChannels; ++c)
        if (source.bindings.channelNodes[clip.index][c] < 0) {
            ++unbound;
            examples.push_back(animation.mChannels[c]->mNodeName.C_Str());
        }
    if (unbound)
        AddWarning(warnings, WarningKind::ChannelWithoutNode,
                   name + ": " + std::to_string(unbound) + " channel(s) name no node of the file; left out", unbound,
                   examples);
    if (animation.mNumMorphMeshChannels)
        AddWarning(warnings, WarningKind::MorphAnimation,
                   name + " animates the morph targets of " + std::to_string(animation.mNumMorphMeshChannels) +
                       " mesh(es); that motion is left out",
                   animation.mNumMorphMeshChannels, {clip.name});
    if (animation.mNumMeshChannels)
        AddWarning(warnings, WarningKind::MorphAnimation,
                   name + " swaps the meshes of " + std::to_string(animation.mNumMeshChannels) +
                       " node(s); that motion is left out",
                   animation.mNumMeshChannels, {clip.name});
    bool movesBone = false;
    for (size_t n = 0; n < channels.size() && !movesBone; ++n) movesBone = channels[n] && wanted[n];
    if (!movesBone)
        AddWarning(warnings, WarningKind::ClipMovesNoBone,
                   name + " moves no bone of the model; its " + std::to_string(clip.frames) + " frame(s) show it at rest",
                   1, {clip.name});
}

}  // namespace

int64_t BakeKeys(const SourceScene& source, const ExactScene& scene, const Skeleton& skeleton,
                 const std::vector<BakeClip>& clips, const std::vector<bool>& boneHoldsVertices,
                 HostBoneWriter& writer, Warnings& warnings) {
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
    // The bones and their ancestors: the nodes whose motion reaches a vertex.
    std::vector<bool> wanted(source.nodes.size(), false);
    for (const SkeletonBone& bone : skeleton.bones)
        for (int n = bone.node; n >= 0 && !wanted[static_cast<size_t>(n)]; n = source.nodes[static_cast<size_t>(n)].parent)
            wanted[static_cast<size_t>(n)] = true;
    NodePose nodes(scene);
    const std::vector<Affine>& globals = nodes.Globals();
    std::vector<Affine> pose(skeleton.bones.size());
    int64_t time = 0;
    for (const BakeClip& clip : clips) {
        const auto channels = ChannelsByNode(source, clip.index);
        ReportLeftOut(source, clip, channels, wanted, warnings);
        double largestStretch = 0;
        std::string stretchedBone;
        std::vector<bool> stretched(skeleton.bones.size(), false);
        for (int64_t f = 0; f < clip.frames; ++f, ++time) {
            nodes.Evaluate(FrameTime(scene, time));
            for (size_t b = 0; b < skeleton.bones.size(); ++b) {
                const RigidSplit split = SplitRigid(globals[static_cast<size_t>(skeleton.bones[b].node)]);
                pose[b] = split.rigid;
                const double change = MaxDifference(split.stretch, skeleton.bones[b].stretch);
                if (boneHoldsVertices[b] && change > kStretchTolerance) stretched[b] = true;
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
            std::vector<std::string> names;
            for (size_t b = 0; b < stretched.size(); ++b)
                if (stretched[b]) names.push_back(skeleton.bones[b].name);
            AddWarning(warnings, WarningKind::ScaledInClip,
                       "clip '" + clip.name + "' scales " + std::to_string(names.size()) +
                           " bone(s) away from their rest ('" + stretchedBone + "' by up to " + amount +
                           "); the host's bones do not scale, so their vertices keep their rest size",
                       static_cast<int64_t>(names.size()), names);
        }
    }
    return time;
}

}  // namespace hm::imp
