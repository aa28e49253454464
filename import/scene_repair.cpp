#include "import/scene_repair.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

namespace hm::imp {

namespace {

std::string Name(const aiString& name, const std::string& fallback) {
    return name.length ? "'" + std::string(name.C_Str()) + "'" : fallback;
}

Error Refused(std::string problem) { return Fault(ErrorKind::kBadInput, std::move(problem)); }

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// Removes the entries that fail `keep` from an array of `count`, in place.
template <typename T, typename Keep>
unsigned Compact(T* items, unsigned& count, Keep keep) {
    if (!items) {
        const unsigned lost = count;
        count = 0;
        return lost;
    }
    unsigned kept = 0;
    for (unsigned i = 0; i < count; ++i)
        if (keep(items[i])) items[kept++] = items[i];
    const unsigned lost = count - kept;
    count = kept;
    return lost;
}

// The last key time of the clip's channels (sorted), or 0 without keys.
double LastKeyTime(const aiAnimation& clip) {
    double last = 0;
    for (unsigned c = 0; c < clip.mNumChannels; ++c) {
        const aiNodeAnim* channel = clip.mChannels[c];
        if (!channel) continue;
        if (channel->mNumPositionKeys && channel->mPositionKeys)
            last = std::max(last, channel->mPositionKeys[channel->mNumPositionKeys - 1].mTime);
        if (channel->mNumRotationKeys && channel->mRotationKeys)
            last = std::max(last, channel->mRotationKeys[channel->mNumRotationKeys - 1].mTime);
        if (channel->mNumScalingKeys && channel->mScalingKeys)
            last = std::max(last, channel->mScalingKeys[channel->mNumScalingKeys - 1].mTime);
    }
    return last;
}

class Repair {
public:
    Repair(aiScene& scene, Warnings& warnings) : scene_(scene), warnings_(warnings) {}

    Error Run() {
        if (!scene_.mRootNode) return Refused("the file holds no nodes");
        if (Error error = Nodes(scene_.mRootNode)) return error;
        for (unsigned m = 0; m < scene_.mNumMeshes; ++m)
            if (Error error = Mesh(m)) return error;
        Compact(scene_.mAnimations, scene_.mNumAnimations, [](const aiAnimation* a) { return a != nullptr; });
        for (unsigned a = 0; a < scene_.mNumAnimations; ++a) Clip(a);
        return {};
    }

private:
    void Warn(WarningKind kind, std::string text, int64_t count, const std::string& example) {
        AddWarning(warnings_, kind, std::move(text), count, {example});
    }

    // Node references to meshes past the file's meshes are dropped; a node
    // reached twice would be exported twice or forever.
    Error Nodes(aiNode* node) {
        if (!visited_.insert(node).second)
            return Refused("node " + Name(node->mName, "without a name") + " appears twice in the node tree");
        for (unsigned r = 0; r < 4; ++r)
            for (unsigned c = 0; c < 4; ++c)
                if (!std::isfinite(node->mTransformation[r][c]))
                    return Refused("node " + Name(node->mName, "without a name") +
                                   " has a transform that is not a finite number");
        const unsigned meshes = scene_.mNumMeshes;
        const unsigned lost = Compact(node->mMeshes, node->mNumMeshes, [meshes](unsigned m) { return m < meshes; });
        if (lost)
            Warn(WarningKind::MissingMesh,
                 "node " + Name(node->mName, "without a name") + " names " + std::to_string(lost) +
                     " mesh(es) the file does not hold (it holds " + std::to_string(meshes) + "); left out",
                 lost, node->mName.C_Str());
        Compact(node->mChildren, node->mNumChildren, [](const aiNode* child) { return child != nullptr; });
        for (unsigned i = 0; i < node->mNumChildren; ++i) {
            node->mChildren[i]->mParent = node;
            if (Error error = Nodes(node->mChildren[i])) return error;
        }
        return {};
    }

    Error Mesh(unsigned index) {
        aiMesh* mesh = scene_.mMeshes[index];
        if (!mesh) return Refused("mesh " + std::to_string(index) + " is missing from the file");
        const std::string name = Name(mesh->mName, "number " + std::to_string(index + 1));
        if (!mesh->mVertices) mesh->mNumVertices = 0;
        if (!mesh->mFaces) mesh->mNumFaces = 0;
        unsigned infinite = 0;
        for (unsigned v = 0; v < mesh->mNumVertices; ++v) infinite += !Finite(mesh->mVertices[v]);
        if (infinite)
            return Refused("mesh " + name + " has " + std::to_string(infinite) +
                           " vertex position(s) that are not finite numbers");
        for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
            const aiFace& face = mesh->mFaces[f];
            if (face.mNumIndices && !face.mIndices) return Refused("mesh " + name + " has a polygon without corners");
            for (unsigned k = 0; k < face.mNumIndices; ++k)
                if (face.mIndices[k] >= mesh->mNumVertices)
                    return Refused("mesh " + name + " has a polygon corner past its " +
                                   std::to_string(mesh->mNumVertices) + " vertices");
        }
        // Joining identical vertices walks each morph target along the mesh's vertices.
        const unsigned vertices = mesh->mNumVertices;
        unsigned misfits = 0;
        for (unsigned t = 0; mesh->mAnimMeshes && t < mesh->mNumAnimMeshes; ++t) {
            aiAnimMesh*& target = mesh->mAnimMeshes[t];
            if (target && (target->mNumVertices != vertices || (vertices && !target->mVertices))) {
                delete target;
                target = nullptr;
                ++misfits;
            }
        }
        Compact(mesh->mAnimMeshes, mesh->mNumAnimMeshes, [](const aiAnimMesh* t) { return t != nullptr; });
        if (misfits)
            Warn(WarningKind::MisfitMorphTargets,
                 "mesh " + name + " has " + std::to_string(misfits) + " morph target(s) whose vertices do not match its " +
                     std::to_string(vertices) + "; left out",
                 misfits, name);
        Compact(mesh->mBones, mesh->mNumBones, [](const aiBone* bone) { return bone != nullptr; });
        unsigned strayWeights = 0;
        for (unsigned b = 0; b < mesh->mNumBones; ++b) {
            aiBone& bone = *mesh->mBones[b];
            strayWeights += Compact(bone.mWeights, bone.mNumWeights,
                                    [vertices](const aiVertexWeight& w) { return w.mVertexId < vertices; });
        }
        if (strayWeights)
            Warn(WarningKind::StrayWeights,
                 "mesh " + name + " has " + std::to_string(strayWeights) + " bone weight(s) for vertices past its " +
                     std::to_string(mesh->mNumVertices) + "; left out",
                 strayWeights, name);
        return {};
    }

    void Clip(unsigned index) {
        aiAnimation& clip = *scene_.mAnimations[index];
        const std::string name = Name(clip.mName, "'clip" + std::to_string(index) + "'");
        Compact(clip.mChannels, clip.mNumChannels, [](const aiNodeAnim* c) { return c != nullptr; });
        unsigned dropped = 0, unordered = 0;
        for (unsigned c = 0; c < clip.mNumChannels; ++c) {
            aiNodeAnim& channel = *clip.mChannels[c];
            dropped += Keys(channel.mPositionKeys, channel.mNumPositionKeys, unordered);
            dropped += Keys(channel.mRotationKeys, channel.mNumRotationKeys, unordered);
            dropped += Keys(channel.mScalingKeys, channel.mNumScalingKeys, unordered);
        }
        if (dropped)
            Warn(WarningKind::BadKeys,
                 "clip " + name + ": " + std::to_string(dropped) + " key(s) with a time or value that is not a number; left out",
                 dropped, name);
        if (unordered)
            Warn(WarningKind::KeysOutOfOrder,
                 "clip " + name + ": " + std::to_string(unordered) + " track(s) with keys out of time order; put in order",
                 unordered, name);
        const double last = LastKeyTime(clip);
        if (!std::isfinite(clip.mDuration) || clip.mDuration < 0) clip.mDuration = 0;
        if (last > clip.mDuration) {
            // Files written by some tools count the end one tick short; the
            // keys are what the artist made, so the clip runs to them.
            Warn(WarningKind::KeysPastClipEnd,
                 "clip " + name + ": keys run to " + Number(last) + " ticks, past its stated end at " +
                     Number(clip.mDuration) + "; the clip is extended to its last key",
                 1, name);
            clip.mDuration = last;
        }
    }

    // Keys that cannot be placed in time are dropped and the rest put in
    // order; the count dropped is returned, `unordered` counts the tracks sorted.
    template <typename Key>
    static unsigned Keys(Key* keys, unsigned& count, unsigned& unordered) {
        const unsigned dropped = Compact(keys, count, [](const Key& key) { return std::isfinite(key.mTime) && Finite(key.mValue); });
        if (keys && !std::is_sorted(keys, keys + count, [](const Key& a, const Key& b) { return a.mTime < b.mTime; })) {
            std::stable_sort(keys, keys + count, [](const Key& a, const Key& b) { return a.mTime < b.mTime; });
            ++unordered;
        }
        return dropped;
    }

    static bool Finite(const aiVector3D& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }
    static bool Finite(const aiQuaternion& q) {
        return std::isfinite(q.x) && std::isfinite(q.y) && std::isfinite(q.z) && std::isfinite(q.w) &&
               q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w > 0;
    }

    aiScene& scene_;
    Warnings& warnings_;
    std::set<const aiNode*> visited_;
};

}  // namespace

Error RepairScene(aiScene& scene, Warnings& warnings) { return Repair(scene, warnings).Run(); }

}  // namespace hm::imp
