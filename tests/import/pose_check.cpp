#include "tests/import/pose_check.h"

#include <assimp/postprocess.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>

namespace testing_pose {

namespace {

struct Rigid {
    double r[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    double t[3] = {0, 0, 0};
};

Rigid FromEuler(const HostVec3& angles, const HostVec3& position) {
    const double sx = std::sin(angles.x), cx = std::cos(angles.x);
    const double sy = std::sin(angles.y), cy = std::cos(angles.y);
    const double sz = std::sin(angles.z), cz = std::cos(angles.z);
    // Rz * Ry * Rx, multiplied out.
    const double rz[3][3] = {{cz, -sz, 0}, {sz, cz, 0}, {0, 0, 1}};
    const double ry[3][3] = {{cy, 0, sy}, {0, 1, 0}, {-sy, 0, cy}};
    const double rx[3][3] = {{1, 0, 0}, {0, cx, -sx}, {0, sx, cx}};
    double zy[3][3] = {};
    Rigid out;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) zy[i][j] += rz[i][k] * ry[k][j];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            out.r[i][j] = 0;
            for (int k = 0; k < 3; ++k) out.r[i][j] += zy[i][k] * rx[k][j];
        }
    out.t[0] = position.x;
    out.t[1] = position.y;
    out.t[2] = position.z;
    return out;
}

Rigid Compose(const Rigid& a, const Rigid& b) {
    Rigid out;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            out.r[i][j] = 0;
            for (int k = 0; k < 3; ++k) out.r[i][j] += a.r[i][k] * b.r[k][j];
        }
        out.t[i] = a.t[i];
        for (int k = 0; k < 3; ++k) out.t[i] += a.r[i][k] * b.t[k];
    }
    return out;
}

template <typename Key>
const Key* KeyAt(const std::vector<Key>& keys, int frame) {
    for (const Key& key : keys)
        if (key.time == static_cast<float>(frame)) return &key;
    return nullptr;
}

template <typename Key>
std::pair<unsigned, float> Locate(const Key* keys, unsigned count, double ticks) {
    unsigned i = 0;
    while (i + 1 < count && keys[i + 1].mTime <= ticks) ++i;
    if (i + 1 >= count || ticks <= keys[i].mTime) return {i, 0.0f};
    return {i, static_cast<float>((ticks - keys[i].mTime) / (keys[i + 1].mTime - keys[i].mTime))};
}

aiMatrix4x4 LocalAt(const aiNode& node, const aiNodeAnim* channel, double ticks) {
    if (!channel) return node.mTransformation;
    aiVector3D scale, position;
    aiQuaternion rotation;
    node.mTransformation.Decompose(scale, rotation, position);
    if (channel->mNumPositionKeys) {
        auto [i, f] = Locate(channel->mPositionKeys, channel->mNumPositionKeys, ticks);
        position = channel->mPositionKeys[i].mValue;
        if (f > 0) position += (channel->mPositionKeys[i + 1].mValue - position) * f;
    }
    if (channel->mNumScalingKeys) {
        auto [i, f] = Locate(channel->mScalingKeys, channel->mNumScalingKeys, ticks);
        scale = channel->mScalingKeys[i].mValue;
        if (f > 0) scale += (channel->mScalingKeys[i + 1].mValue - scale) * f;
    }
    if (channel->mNumRotationKeys) {
        auto [i, f] = Locate(channel->mRotationKeys, channel->mNumRotationKeys, ticks);
        rotation = channel->mRotationKeys[i].mValue;
        if (f > 0) {
            aiQuaternion out;
            aiQuaternion::Interpolate(out, rotation, channel->mRotationKeys[i + 1].mValue, f);
            rotation = out;
        }
    }
    // Files round their quaternions; a rotation is meant either way. Composed
    // as T * R * S: Assimp's (scale, rotation, position) constructor scales the
    // rows, which differs once the scale is not uniform.
    aiMatrix4x4 translation, scaling;
    aiMatrix4x4::Translation(position, translation);
    aiMatrix4x4::Scaling(scale, scaling);
    return translation * aiMatrix4x4(rotation.Normalize().GetMatrix()) * scaling;
}

// The axes FBX files state in metadata, turned into x right, y up, z towards the viewer.
aiMatrix4x4 StatedAxes(const aiMetadata* meta) {
    auto get = [meta](const char* key, int fallback) {
        int32_t value = fallback;
        if (meta) meta->Get(key, value);
        return value;
    };
    const int axis[3] = {get("CoordAxis", 0), get("UpAxis", 1), get("FrontAxis", 2)};
    const int sign[3] = {get("CoordAxisSign", 1), get("UpAxisSign", 1), get("FrontAxisSign", 1)};
    aiMatrix4x4 m;
    if (axis[0] == axis[1] || axis[1] == axis[2] || axis[0] == axis[2]) return m;
    for (int r = 0; r < 3; ++r) {
        if (axis[r] < 0 || axis[r] > 2) return aiMatrix4x4();
        for (int c = 0; c < 3; ++c) m[r][c] = c == axis[r] ? (sign[r] < 0 ? -1.0f : 1.0f) : 0.0f;
    }
    return m;
}

double LastKey(const aiAnimation& clip) {
    double last = clip.mDuration;
    for (unsigned c = 0; c < clip.mNumChannels; ++c) {
        const aiNodeAnim& ch = *clip.mChannels[c];
        if (ch.mNumPositionKeys) last = std::max(last, ch.mPositionKeys[ch.mNumPositionKeys - 1].mTime);
        if (ch.mNumRotationKeys) last = std::max(last, ch.mRotationKeys[ch.mNumRotationKeys - 1].mTime);
        if (ch.mNumScalingKeys) last = std::max(last, ch.mScalingKeys[ch.mNumScalingKeys - 1].mTime);
    }
    return last;
}

}  // namespace

std::vector<Point> PoseHostModel(const hmModel& model, int frame) {
    const size_t n = model.bones.size();
    std::vector<Rigid> rest(n), pose(n), localRest(n);
    std::vector<int> parent(n, -1);
    for (size_t i = 0; i < n; ++i) {
        const HostBoneEntry& bone = *model.bones[i];
        parent[i] = hmModel_FindBoneByName(&model, bone.record.parentName);
        localRest[i] = FromEuler(bone.record.rotation, bone.record.position);
        rest[i] = parent[i] >= 0 ? Compose(rest[static_cast<size_t>(parent[i])], localRest[i]) : localRest[i];
        const HostPositionKey* position = KeyAt(bone.positionKeys, frame);
        const HostRotationKey* rotation = KeyAt(bone.rotationKeys, frame);
        if (!position || !rotation) {
            pose[i] = rest[i];
            continue;
        }
        const Rigid local = Compose(localRest[i], FromEuler(rotation->value, position->value));
        pose[i] = parent[i] >= 0 ? Compose(pose[static_cast<size_t>(parent[i])], local) : local;
    }
    std::vector<Point> out;
    for (const auto& mesh : model.meshes) {
        for (const HostVertex& vertex : mesh->vertices) {
            const double p[3] = {vertex.position.x, vertex.position.y, vertex.position.z};
            const int b = vertex.boneIndex;
            if (b < 0 || static_cast<size_t>(b) >= n) {
                out.push_back({p[0], p[1], p[2]});
                continue;
            }
            double local[3];
            for (int i = 0; i < 3; ++i) {
                local[i] = 0;
                for (int k = 0; k < 3; ++k) local[i] += rest[b].r[k][i] * (p[k] - rest[b].t[k]);
            }
            Point posed;
            for (int i = 0; i < 3; ++i) {
                posed[i] = pose[b].t[i];
                for (int k = 0; k < 3; ++k) posed[i] += pose[b].r[i][k] * local[k];
            }
            out.push_back(posed);
        }
    }
    return out;
}

AssimpReference::AssimpReference(const std::string& path, Skinning skinning) : skinning_(skinning) {
    if (!importer_.ReadFile(path, 0)) return;
    scene_ = importer_.ApplyPostProcessing(aiProcess_Triangulate | aiProcess_JoinIdenticalVertices);
    if (!scene_) return;
    std::vector<std::pair<const aiNode*, int>> stack{{scene_->mRootNode, -1}};
    while (!stack.empty()) {
        const auto [node, parent] = stack.back();
        stack.pop_back();
        nodes_.push_back(node);
        parents_.push_back(parent);
        for (unsigned i = node->mNumChildren; i-- > 0;)  // some readers leave gaps among the children
            if (node->mChildren[i]) stack.emplace_back(node->mChildren[i], static_cast<int>(nodes_.size()) - 1);
    }
    for (unsigned m = 0; m < scene_->mNumMeshes; ++m) {
        const aiMesh& mesh = *scene_->mMeshes[m];
        std::multimap<std::string, size_t> named;
        for (size_t n = 0; n < nodes_.size(); ++n)
            if (nodes_[n]->mNumMeshes == 0) named.emplace(nodes_[n]->mName.C_Str(), n);
        std::vector<int> bones;
        for (unsigned b = 0; b < mesh.mNumBones; ++b) {
            // The candidate with most of the skin's bone names above it.
            int best = -1, bestScore = -1;
            const auto [first, last] = named.equal_range(mesh.mBones[b]->mName.C_Str());
            for (auto it = first; it != last; ++it) {
                int score = 0;
                for (int p = parents_[it->second]; p >= 0; p = parents_[static_cast<size_t>(p)])
                    for (unsigned o = 0; o < mesh.mNumBones; ++o) score += nodes_[static_cast<size_t>(p)]->mName == mesh.mBones[o]->mName;
                if (score > bestScore) best = static_cast<int>(it->second), bestScore = score;
            }
            bones.push_back(best);
        }
        boneNodes_.push_back(bones);
    }
}

namespace {

// A mesh's morph-target weights at the moment: the clip's keys for the mesh's
// node (or the mesh's name), linearly between them, else the targets' own.
std::vector<double> MorphWeights(const aiScene& scene, int animation, double ticks, const aiNode& node,
                                 const aiMesh& mesh) {
    std::vector<double> weights;
    for (unsigned t = 0; t < mesh.mNumAnimMeshes; ++t) weights.push_back(mesh.mAnimMeshes[t]->mWeight);
    if (animation < 0) return weights;
    const aiAnimation& clip = *scene.mAnimations[animation];
    for (unsigned c = 0; c < clip.mNumMorphMeshChannels; ++c) {
        const aiMeshMorphAnim& channel = *clip.mMorphMeshChannels[c];
        if (channel.mName != node.mName && channel.mName != mesh.mName) continue;
        unsigned k = 0;
        while (k + 1 < channel.mNumKeys && channel.mKeys[k + 1].mTime <= ticks) ++k;
        double f = 0;
        if (k + 1 < channel.mNumKeys && ticks > channel.mKeys[k].mTime)
            f = (ticks - channel.mKeys[k].mTime) / (channel.mKeys[k + 1].mTime - channel.mKeys[k].mTime);
        std::fill(weights.begin(), weights.end(), 0.0);
        for (unsigned i = 0; i < channel.mKeys[k].mNumValuesAndWeights; ++i)
            weights[channel.mKeys[k].mValues[i]] += (1 - f) * channel.mKeys[k].mWeights[i];
        if (f > 0)
            for (unsigned i = 0; i < channel.mKeys[k + 1].mNumValuesAndWeights; ++i)
                weights[channel.mKeys[k + 1].mValues[i]] += f * channel.mKeys[k + 1].mWeights[i];
        break;
    }
    return weights;
}

}  // namespace

std::vector<Point> AssimpReference::Pose(int animation, double seconds, Skinning skinning) const {
    std::vector<const aiNodeAnim*> channels(nodes_.size(), nullptr);
    double ticks = 0;
    if (animation >= 0) {
        const aiAnimation& clip = *scene_->mAnimations[animation];
        const double perSecond = clip.mTicksPerSecond > 0 ? clip.mTicksPerSecond : 25.0;
        ticks = std::min(seconds * perSecond, LastKey(clip));
        std::set<int> bound;
        for (const auto& skin : boneNodes_) bound.insert(skin.begin(), skin.end());
        for (unsigned i = 0; i < clip.mNumChannels; ++i) {
            // A node some skin binds, else one without a mesh, else any.
            int chosen = -1, rank = -1;
            for (size_t n = 0; n < nodes_.size(); ++n) {
                if (nodes_[n]->mName != clip.mChannels[i]->mNodeName) continue;
                const int r = bound.count(static_cast<int>(n)) ? 2 : nodes_[n]->mNumMeshes == 0 ? 1 : 0;
                if (r > rank) chosen = static_cast<int>(n), rank = r;
            }
            if (chosen >= 0 && !channels[static_cast<size_t>(chosen)]) channels[static_cast<size_t>(chosen)] = clip.mChannels[i];
        }
    }
    std::vector<aiMatrix4x4> globals(nodes_.size());
    const aiMatrix4x4 axes = StatedAxes(scene_->mMetaData);
    for (size_t n = 0; n < nodes_.size(); ++n)
        globals[n] = (parents_[n] < 0 ? axes : globals[static_cast<size_t>(parents_[n])]) * LocalAt(*nodes_[n], channels[n], ticks);
    std::vector<Point> out;
    for (size_t n = 0; n < nodes_.size(); ++n) {
        for (unsigned m = 0; m < nodes_[n]->mNumMeshes; ++m) {
            const unsigned meshIndex = nodes_[n]->mMeshes[m];
            const aiMesh& mesh = *scene_->mMeshes[meshIndex];
            std::vector<bool> used(mesh.mNumVertices, false);
            for (unsigned f = 0; f < mesh.mNumFaces; ++f)
                if (mesh.mFaces[f].mNumIndices == 3)
                    for (unsigned k = 0; k < 3; ++k) used[mesh.mFaces[f].mIndices[k]] = true;
            std::vector<std::vector<std::pair<unsigned, float>>> influences(mesh.mNumVertices);
            for (unsigned b = 0; b < mesh.mNumBones; ++b)
                for (unsigned w = 0; w < mesh.mBones[b]->mNumWeights; ++w) {
                    const aiVertexWeight& entry = mesh.mBones[b]->mWeights[w];
                    if (boneNodes_[meshIndex][b] >= 0 && entry.mWeight > 0) influences[entry.mVertexId].emplace_back(b, entry.mWeight);
                }
            std::vector<double> morph;
            if (skinning == Skinning::AllWeights) morph = MorphWeights(*scene_, animation, ticks, *nodes_[n], mesh);
            for (unsigned v = 0; v < mesh.mNumVertices; ++v) {
                if (!used[v]) continue;
                aiVector3D base = mesh.mVertices[v];
                for (size_t t = 0; t < morph.size(); ++t)
                    base += (mesh.mAnimMeshes[t]->mVertices[v] - mesh.mVertices[v]) * static_cast<float>(morph[t]);
                auto& list = influences[v];
                if (skinning == Skinning::HeaviestBone && list.size() > 1) {
                    auto heaviest = list.begin();
                    for (auto it = list.begin(); it != list.end(); ++it)
                        if (it->second > heaviest->second) heaviest = it;
                    list = {{heaviest->first, 1.0f}};
                }
                aiVector3D p;
                if (list.empty()) p = globals[n] * base;
                float total = 0;
                for (const auto& [b, weight] : list) total += weight;
                for (const auto& [b, weight] : list) {
                    const aiBone& bone = *mesh.mBones[b];
                    p += (globals[static_cast<size_t>(boneNodes_[meshIndex][b])] * bone.mOffsetMatrix * base) *
                         (weight / total);
                }
                out.push_back({p.x, p.y, p.z});
            }
        }
    }
    return out;
}

double LargestDistance(const std::vector<Point>& a, const std::vector<Point>& b) {
    if (a.size() != b.size()) return std::numeric_limits<double>::infinity();
    double most = 0;
    for (size_t i = 0; i < a.size(); ++i)
        most = std::max(most, std::hypot(a[i][0] - b[i][0], a[i][1] - b[i][1], a[i][2] - b[i][2]));
    return most;
}

double Extent(const std::vector<Point>& points) {
    double most = 0;
    for (const Point& p : points)
        for (double c : p) most = std::max(most, std::fabs(c));
    return most;
}

}  // namespace testing_pose
