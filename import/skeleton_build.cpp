#include "import/skeleton_build.h"

#include "names/host_names.h"

#include <cmath>
#include <optional>
#include <set>

namespace hm::imp {

namespace {

// Differences below this count as rounding in the file's own numbers.
constexpr double kBindTolerance = 1e-4;

double Difference(const Affine& a, const Affine& b) {
    double most = MaxDifference(a.m, b.m);
    most = std::max({most, std::fabs(a.t.x - b.t.x), std::fabs(a.t.y - b.t.y), std::fabs(a.t.z - b.t.z)});
    return most;
}

std::string Quoted(const aiString& name) { return "'" + std::string(name.C_Str()) + "'"; }

}  // namespace

void BuildSkeleton(const SourceScene& scene, const std::vector<bool>& animated, Skeleton& out,
                   Warnings& warnings) {
    const size_t nodeCount = scene.nodes.size();
    std::vector<std::optional<Affine>> bind(nodeCount);
    std::vector<bool> deforms(nodeCount, false);
    std::set<std::string> reported;

    out.rigidBoneOfInstance.assign(scene.instances.size(), -1);
    out.placementOfInstance.clear();
    for (const MeshInstance& instance : scene.instances) {
        const aiMesh* mesh = scene.scene->mMeshes[instance.mesh];
        const Affine& nodeGlobal = scene.nodes[static_cast<size_t>(instance.node)].global;
        out.placementOfInstance.push_back(nodeGlobal);
        if (mesh->mNumBones == 0) {
            if (animated[static_cast<size_t>(instance.node)]) {
                deforms[static_cast<size_t>(instance.node)] = true;
                if (!bind[static_cast<size_t>(instance.node)]) bind[static_cast<size_t>(instance.node)] = nodeGlobal;
            }
            continue;
        }
        // The skin's own space, in model space: the root-most bone's node
        // transform undoing its bind matrix. Formats differ on whether the
        // mesh's node takes part in skinning; the bones' nodes always do.
        std::vector<int> nodes(mesh->mNumBones, -1);
        int anchor = -1, anchorDepth = 0;
        for (unsigned b = 0; b < mesh->mNumBones; ++b) {
            const aiBone* bone = mesh->mBones[b];
            nodes[b] = BoneNode(scene, instance.mesh, b);
            if (nodes[b] < 0) {
                if (reported.insert(bone->mName.C_Str()).second)
                    AddWarning(warnings, WarningKind::BoneWithoutNode,
                               "bone " + Quoted(bone->mName) + " names no node; its weights are left out", 1,
                               {bone->mName.C_Str()});
                continue;
            }
            int depth = 0;
            for (int n = nodes[b]; n >= 0; n = scene.nodes[static_cast<size_t>(n)].parent) ++depth;
            const bool invertible = IsFinite(Inverse(ToAffine(bone->mOffsetMatrix)));
            if (invertible && (anchor < 0 || depth < anchorDepth)) {
                anchor = static_cast<int>(b);
                anchorDepth = depth;
            }
        }
        if (anchor < 0) continue;
        const Affine placement = Multiply(scene.nodes[static_cast<size_t>(nodes[static_cast<size_t>(anchor)])].global,
                                          ToAffine(mesh->mBones[anchor]->mOffsetMatrix));
        out.placementOfInstance.back() = placement;
        for (unsigned b = 0; b < mesh->mNumBones; ++b) {
            const aiBone* bone = mesh->mBones[b];
            const int node = nodes[b];
            if (node < 0) continue;
            for (unsigned w = 0; w < bone->mNumWeights; ++w)
                if (Influences(bone->mWeights[w].mWeight)) deforms[static_cast<size_t>(node)] = true;
            const Affine atBind = Multiply(placement, Inverse(ToAffine(bone->mOffsetMatrix)));
            if (!IsFinite(atBind)) {
                if (reported.insert(bone->mName.C_Str()).second)
                    AddWarning(warnings, WarningKind::BindNotInvertible,
                               "bone " + Quoted(bone->mName) + " has a bind matrix that cannot be inverted", 1,
                               {bone->mName.C_Str()});
                continue;
            }
            auto& known = bind[static_cast<size_t>(node)];
            const double size = std::max(1.0, std::fabs(atBind.t.x) + std::fabs(atBind.t.y) + std::fabs(atBind.t.z));
            if (!known) {
                known = atBind;
            } else if (Difference(*known, atBind) > kBindTolerance * size) {
                if (reported.insert(bone->mName.C_Str()).second)
                    AddWarning(warnings, WarningKind::BoundDifferently,
                               "bone " + Quoted(bone->mName) +
                                   " is bound differently by two meshes; it rests where the first one puts it",
                               1, {bone->mName.C_Str()});
            }
        }
    }

    // The nodes between each moving node and the nearest common ancestor.
    int common = -1;
    for (size_t i = 0; i < nodeCount; ++i) {
        if (!deforms[i]) continue;
        if (common < 0) {
            common = static_cast<int>(i);
            continue;
        }
        std::vector<bool> above(nodeCount, false);
        for (int n = static_cast<int>(i); n >= 0; n = scene.nodes[static_cast<size_t>(n)].parent) above[static_cast<size_t>(n)] = true;
        while (!above[static_cast<size_t>(common)]) common = scene.nodes[static_cast<size_t>(common)].parent;
    }
    std::vector<bool> isBone(nodeCount, false);
    for (size_t i = 0; i < nodeCount; ++i) {
        if (!deforms[i]) continue;
        for (int n = static_cast<int>(i); n >= 0; n = scene.nodes[static_cast<size_t>(n)].parent) {
            isBone[static_cast<size_t>(n)] = true;
            if (n == common) break;
        }
    }

    out.bones.clear();
    out.boneOfNode.assign(nodeCount, -1);
    UniqueNames names;
    std::vector<std::string> stretched;
    double largestStretch = 0;
    for (size_t i = 0; i < nodeCount; ++i) {  // node order puts parents first
        if (!isBone[i]) continue;
        SkeletonBone bone;
        bone.node = static_cast<int>(i);
        const int parentNode = scene.nodes[i].parent;
        bone.parent = parentNode >= 0 ? out.boneOfNode[static_cast<size_t>(parentNode)] : -1;
        bone.name = names.Make(scene.nodes[i].node->mName.C_Str(), "bone" + std::to_string(out.bones.size()));
        // A bone without a bind matrix does not move vertices itself; its
        // rest only sets the frame its keys are relative to.
        const RigidSplit split = SplitRigid(bind[i] ? *bind[i] : scene.nodes[i].global);
        bone.rest = split.rigid;
        bone.stretch = split.stretch;
        const double change = MaxDifference(split.stretch, kIdentity3);
        if (deforms[i] && change > kBindTolerance) {
            stretched.push_back(bone.name);
            largestStretch = std::max(largestStretch, change);
        }
        out.boneOfNode[i] = static_cast<int>(out.bones.size());
        out.bones.push_back(bone);
    }
    if (!stretched.empty()) {
        std::string list;
        for (size_t i = 0; i < stretched.size() && i < 5; ++i) list += (i ? ", '" : "'") + stretched[i] + "'";
        if (stretched.size() > 5) list += ", ...";
        char amount[32];
        std::snprintf(amount, sizeof amount, "%.4g", largestStretch);
        AddWarning(warnings, WarningKind::ScaledRest,
                   std::to_string(stretched.size()) + " bone(s) rest with a scale other than 1 (" + list +
                       "; off by up to " + amount + "); the scale is folded into their vertices",
                   static_cast<int64_t>(stretched.size()), stretched);
    }
    for (size_t k = 0; k < scene.instances.size(); ++k) {
        const MeshInstance& instance = scene.instances[k];
        if (scene.scene->mMeshes[instance.mesh]->mNumBones == 0 && animated[static_cast<size_t>(instance.node)])
            out.rigidBoneOfInstance[k] = out.boneOfNode[static_cast<size_t>(instance.node)];
    }
}

}  // namespace hm::imp
