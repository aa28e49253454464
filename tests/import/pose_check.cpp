#include "tests/import/pose_check.h"

#include <assimp/postprocess.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

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
    // Files round their quaternions; a rotation is meant either way.
    return aiMatrix4x4(scale, rotation.Normalize(), position);
}

void Globals(const aiNode& node, const aiMatrix4x4& parent, const std::map<std::string, const aiNodeAnim*>& channels,
             double ticks, std::map<std::string, aiMatrix4x4>& out,
             std::vector<std::pair<const aiNode*, aiMatrix4x4>>& meshNodes) {
    const auto found = channels.find(node.mName.C_Str());
    const aiMatrix4x4 global = parent * LocalAt(node, found == channels.end() ? nullptr : found->second, ticks);
    out.emplace(node.mName.C_Str(), global);
    for (unsigned i = 0; i < node.mNumMeshes; ++i) meshNodes.emplace_back(&node, global);
    for (unsigned i = 0; i < node.mNumChildren; ++i) Globals(*node.mChildren[i], global, channels, ticks, out, meshNodes);
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

AssimpReference::AssimpReference(const std::string& path) {
    scene_ = importer_.ReadFile(path, aiProcess_Triangulate | aiProcess_JoinIdenticalVertices |
                                          aiProcess_ValidateDataStructure);
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
    std::map<std::string, const aiNodeAnim*> channels;
    double ticks = 0;
    if (animation >= 0) {
        const aiAnimation& clip = *scene_->mAnimations[animation];
        const double perSecond = clip.mTicksPerSecond > 0 ? clip.mTicksPerSecond : 25.0;
        ticks = std::min(seconds * perSecond, clip.mDuration);
        for (unsigned i = 0; i < clip.mNumChannels; ++i) channels.emplace(clip.mChannels[i]->mNodeName.C_Str(), clip.mChannels[i]);
    }
    std::map<std::string, aiMatrix4x4> globals;
    std::vector<std::pair<const aiNode*, aiMatrix4x4>> meshNodes;
    Globals(*scene_->mRootNode, aiMatrix4x4(), channels, ticks, globals, meshNodes);
    std::vector<Point> out;
    for (const auto& [node, nodeGlobal] : meshNodes) {
        for (unsigned m = 0; m < node->mNumMeshes; ++m) {
            const aiMesh& mesh = *scene_->mMeshes[node->mMeshes[m]];
            // Each vertex's (bone, weight) pairs, the heaviest first.
            std::vector<std::vector<std::pair<int, double>>> weights(mesh.mNumVertices);
            for (unsigned b = 0; b < mesh.mNumBones; ++b)
                for (unsigned w = 0; w < mesh.mBones[b]->mNumWeights; ++w) {
                    const aiVertexWeight& entry = mesh.mBones[b]->mWeights[w];
                    if (entry.mWeight <= 0) continue;
                    auto& list = weights[entry.mVertexId];
                    list.emplace_back(static_cast<int>(b), entry.mWeight);
                    if (list.front().second < entry.mWeight) std::swap(list.front(), list.back());
                }
            std::vector<double> morph;
            if (skinning == Skinning::kFull) morph = MorphWeights(*scene_, animation, ticks, *node, mesh);
            for (unsigned v = 0; v < mesh.mNumVertices; ++v) {
                const aiVector3D base = mesh.mVertices[v];
                double p[3] = {base.x, base.y, base.z};
                for (size_t t = 0; t < morph.size(); ++t) {
                    const aiVector3D target = mesh.mAnimMeshes[t]->mVertices[v];
                    p[0] += morph[t] * (double(target.x) - base.x);
                    p[1] += morph[t] * (double(target.y) - base.y);
                    p[2] += morph[t] * (double(target.z) - base.z);
                }
                auto transformed = [&](const aiMatrix4x4& a) {
                    return Point{a.a1 * p[0] + a.a2 * p[1] + a.a3 * p[2] + a.a4,
                                 a.b1 * p[0] + a.b2 * p[1] + a.b3 * p[2] + a.b4,
                                 a.c1 * p[0] + a.c2 * p[1] + a.c3 * p[2] + a.c4};
                };
                const auto& list = weights[v];
                if (list.empty()) {
                    out.push_back(transformed(nodeGlobal));
                    continue;
                }
                const size_t used = skinning == Skinning::kFull ? list.size() : 1;
                double total = 0;
                for (size_t i = 0; i < used; ++i) total += list[i].second;
                Point sum{0, 0, 0};
                for (size_t i = 0; i < used; ++i) {
                    const aiBone& bone = *mesh.mBones[list[i].first];
                    const Point q = transformed(globals.at(bone.mName.C_Str()) * bone.mOffsetMatrix);
                    for (int a = 0; a < 3; ++a) sum[a] += list[i].second / total * q[a];
                }
                out.push_back(sum);
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
