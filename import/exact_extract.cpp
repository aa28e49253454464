#include "import/exact_extract.h"

#include "import/skeleton_build.h"

#include <cmath>

namespace hm::imp {

namespace {

Vec3d ToVec(const aiVector3D& v) { return {v.x, v.y, v.z}; }

// A morph channel names the node whose mesh it animates: among nodes of that
// name, the one that carries a mesh; -1 when none does.
int MorphNode(const SourceScene& scene, const aiString& name) {
    int found = -1;
    for (size_t n = 0; n < scene.nodes.size(); ++n)
        if (scene.nodes[n].node->mName == name && (found < 0 || scene.nodes[n].node->mNumMeshes > 0)) {
            found = static_cast<int>(n);
            if (scene.nodes[n].node->mNumMeshes > 0) break;
        }
    return found;
}

void AddSkin(const SourceScene& scene, unsigned meshIndex, const std::vector<int>& keptIndex, size_t keptCount,
             ExactMesh& out) {
    const aiMesh& mesh = *scene.scene->mMeshes[meshIndex];
    std::vector<std::vector<std::pair<uint32_t, double>>> influences(keptCount);
    for (unsigned b = 0; b < mesh.mNumBones; ++b) {
        const aiBone& bone = *mesh.mBones[b];
        const int node = BoneNode(scene, meshIndex, b);
        const Affine inverseBind = ToAffine(bone.mOffsetMatrix);
        if (node < 0 || !IsFinite(inverseBind)) continue;
        const auto joint = static_cast<uint32_t>(out.jointNodes.size());
        out.jointNodes.push_back(node);
        out.inverseBinds.push_back(inverseBind);
        for (unsigned w = 0; w < bone.mNumWeights; ++w) {
            const aiVertexWeight& entry = bone.mWeights[w];
            if (entry.mVertexId >= mesh.mNumVertices || !Influences(entry.mWeight)) continue;
            const int v = keptIndex[entry.mVertexId];
            if (v >= 0) influences[static_cast<size_t>(v)].emplace_back(joint, entry.mWeight);
        }
    }
    out.influenceStart.push_back(0);
    for (auto& list : influences) {
        double sum = 0;
        for (const auto& [joint, weight] : list) sum += weight;
        for (const auto& [joint, weight] : list) {
            out.influenceJoint.push_back(joint);
            out.influenceWeight.push_back(weight / sum);
        }
        out.influenceStart.push_back(static_cast<uint32_t>(out.influenceJoint.size()));
    }
}

void AddTargets(const aiMesh& mesh, const std::vector<unsigned>& kept, ExactMesh& out) {
    out.targetStart.push_back(0);
    for (unsigned t = 0; t < mesh.mNumAnimMeshes; ++t) {
        const aiAnimMesh* target = mesh.mAnimMeshes[t];
        out.restWeights.push_back(target && std::isfinite(target->mWeight) ? target->mWeight : 0.0);
        // Targets hold whole positions; a target without them moves nothing.
        if (target && target->mVertices && target->mNumVertices == mesh.mNumVertices) {
            for (size_t k = 0; k < kept.size(); ++k) {
                const aiVector3D& base = mesh.mVertices[kept[k]];
                const aiVector3D& moved = target->mVertices[kept[k]];
                const Vec3d d{double(moved.x) - base.x, double(moved.y) - base.y, double(moved.z) - base.z};
                if (d.x == 0 && d.y == 0 && d.z == 0) continue;
                if (!std::isfinite(d.x) || !std::isfinite(d.y) || !std::isfinite(d.z)) continue;
                out.deltaVertex.push_back(static_cast<uint32_t>(k));
                out.delta.push_back(d);
            }
        }
        out.targetStart.push_back(static_cast<uint32_t>(out.delta.size()));
    }
}

}  // namespace

ExactScene ExtractNodes(const SourceScene& scene, double scale, double fps) {
    ExactScene out;
    out.axes = scene.axes;
    out.scale = scale;
    out.fps = fps;
    for (const SourceNode& node : scene.nodes) {
        out.nodeParent.push_back(node.parent);
        out.nodeRest.push_back(node.local);
    }
    return out;
}

void AddExactMesh(const SourceScene& scene, const MeshInstance& instance, const std::vector<unsigned>& kept,
                  ExactScene& out) {
    const aiMesh& mesh = *scene.scene->mMeshes[instance.mesh];
    ExactMesh exact;
    exact.node = instance.node;
    std::vector<int> keptIndex(mesh.mNumVertices, -1);
    for (size_t k = 0; k < kept.size(); ++k) {
        keptIndex[kept[k]] = static_cast<int>(k);
        exact.positions.push_back(ToVec(mesh.mVertices[kept[k]]));
    }
    if (mesh.mNumBones > 0) AddSkin(scene, instance.mesh, keptIndex, kept.size(), exact);
    if (mesh.mNumAnimMeshes > 0) AddTargets(mesh, kept, exact);
    out.meshes.push_back(std::move(exact));
}

void AddExactClip(const SourceScene& scene, unsigned clipIndex, const ClipTiming& timing,
                  const std::vector<MeshInstance>& meshInstances, ExactScene& out) {
    const aiAnimation& clip = *scene.scene->mAnimations[clipIndex];
    ExactClip exact;
    exact.ticksPerSecond = timing.ticksPerSecond;
    exact.durationTicks = timing.durationTicks;
    exact.frameCount = timing.frames;
    const auto channels = ChannelsByNode(scene, clipIndex);
    for (size_t n = 0; n < channels.size(); ++n) {
        const aiNodeAnim* channel = channels[n];
        if (!channel) continue;
        exact.nodes.push_back(TrackOf(*channel, static_cast<int>(n), scene.nodes[n].node->mTransformation));
    }
    for (unsigned c = 0; c < clip.mNumMorphMeshChannels; ++c) {
        const aiMeshMorphAnim* channel = clip.mMorphMeshChannels[c];
        if (!channel || channel->mNumKeys == 0 || !channel->mKeys) continue;
        const int node = MorphNode(scene, channel->mName);
        for (size_t m = 0; m < meshInstances.size(); ++m) {
            const aiMesh& mesh = *scene.scene->mMeshes[meshInstances[m].mesh];
            const size_t targets = out.meshes[m].TargetCount();
            const bool named = node >= 0 ? meshInstances[m].node == node : mesh.mName == channel->mName;
            if (!named || targets == 0) continue;
            WeightTrack track;
            track.mesh = static_cast<int>(m);
            std::vector<double> weights;
            for (unsigned k = 0; k < channel->mNumKeys; ++k) {
                const aiMeshMorphKey& key = channel->mKeys[k];
                weights.assign(targets, 0.0);
                for (unsigned i = 0; key.mValues && key.mWeights && i < key.mNumValuesAndWeights; ++i)
                    if (key.mValues[i] < targets && std::isfinite(key.mWeights[i]))
                        weights[key.mValues[i]] = key.mWeights[i];
                track.AddKey(key.mTime, weights);
            }
            exact.weights.push_back(std::move(track));
        }
    }
    out.clips.push_back(std::move(exact));
}

}  // namespace hm::imp
