#include "mesh_edit/weld.h"

#include "export/quantise.h"
#include "mesh_edit/mesh_vertices.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>

namespace hm::imp {

namespace {

template <typename T>
void Append(std::string& key, T value) {
    char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    key.append(bytes, sizeof value);
}

// Equal values, equal bytes: -0 and 0 are one position.
void AppendNumber(std::string& key, double value) { Append(key, value + 0.0); }
void AppendVec(std::string& key, Vec3d v) {
    AppendNumber(key, v.x);
    AppendNumber(key, v.y);
    AppendNumber(key, v.z);
}

std::string PositionKey(const HostVertex& vertex) {
    std::string key;
    AppendNumber(key, vertex.position.x);
    AppendNumber(key, vertex.position.y);
    AppendNumber(key, vertex.position.z);
    return key;
}

std::string HostKey(const HostVertex& vertex) {
    std::string key = PositionKey(vertex);
    Append(key, vertex.boneIndex);
    Append(key, QuantiseTexCoord(vertex.texCoords[0]));
    Append(key, QuantiseTexCoord(vertex.texCoords[1]));
    return key;
}

// Each vertex's morph deltas as (target, delta), in target order.
std::vector<std::vector<std::pair<uint32_t, Vec3d>>> DeltasByVertex(const ExactMesh& mesh) {
    std::vector<std::vector<std::pair<uint32_t, Vec3d>>> out(mesh.positions.size());
    for (size_t t = 0; t + 1 < mesh.targetStart.size(); ++t)
        for (uint32_t i = mesh.targetStart[t]; i < mesh.targetStart[t + 1]; ++i)
            out[mesh.deltaVertex[i]].emplace_back(static_cast<uint32_t>(t), mesh.delta[i]);
    return out;
}

void AppendExact(std::string& key, const ExactMesh& mesh, size_t v,
                 const std::vector<std::pair<uint32_t, Vec3d>>& deltas) {
    AppendVec(key, mesh.positions[v]);
    // Vertices of one point move as one in every frame; of two, apart.
    if (!mesh.framePoint.empty()) Append(key, mesh.framePoint[v]);
    if (!mesh.influenceStart.empty()) {
        std::vector<std::pair<uint32_t, double>> influences;
        for (uint32_t i = mesh.influenceStart[v]; i < mesh.influenceStart[v + 1]; ++i)
            influences.emplace_back(mesh.influenceJoint[i], mesh.influenceWeight[i]);
        std::sort(influences.begin(), influences.end());
        Append(key, static_cast<uint32_t>(influences.size()));
        for (const auto& [joint, weight] : influences) {
            Append(key, joint);
            AppendNumber(key, weight);
        }
    }
    Append(key, static_cast<uint32_t>(deltas.size()));
    for (const auto& [target, delta] : deltas) {
        Append(key, target);
        AppendVec(key, delta);
    }
}

}  // namespace

WeldCounts WeldVertices(hmModel& model, ExactScene& exact, std::vector<Corners>& corners, bool exactKeys) {
    WeldCounts counts;
    for (size_t m = 0; m < model.meshes.size(); ++m) {
        hmMesh& host = *model.meshes[m];
        ExactMesh& source = exact.meshes[m];
        const size_t count = host.vertices.size();
        counts.before += static_cast<int64_t>(count);
        const auto deltas = exactKeys ? DeltasByVertex(source) : decltype(DeltasByVertex(source))();
        std::unordered_map<std::string, uint32_t> byKey;
        byKey.reserve(count);
        std::vector<uint32_t> newIndex(count);
        for (size_t v = 0; v < count; ++v) {
            std::string key = HostKey(host.vertices[v]);
            if (exactKeys) AppendExact(key, source, v, deltas[v]);
            newIndex[v] = byKey.emplace(std::move(key), static_cast<uint32_t>(byKey.size())).first->second;
        }
        const auto welded = static_cast<uint32_t>(byKey.size());
        if (welded < count) RenumberVertices(host, source, corners[m], newIndex, welded);
        counts.after += static_cast<int64_t>(host.vertices.size());
    }
    return counts;
}

WeldCounts JoinAcrossSeams(hmModel& model, ExactScene& exact, std::vector<Corners>& corners,
                           std::vector<float>& cornerTexCoords) {
    WeldCounts counts;
    for (size_t m = 0; m < model.meshes.size(); ++m) {
        hmMesh& host = *model.meshes[m];
        ExactMesh& source = exact.meshes[m];
        for (uint32_t corner : corners[m]) {
            // Copied out first: the host's vertex record is packed, its floats unaligned.
            const float u = host.vertices[corner].texCoords[0], v = host.vertices[corner].texCoords[1];
            cornerTexCoords.insert(cornerTexCoords.end(), {u, v});
        }
        const size_t count = host.vertices.size();
        counts.before += static_cast<int64_t>(count);
        const auto deltas = DeltasByVertex(source);
        std::unordered_map<std::string, uint32_t> byKey;
        byKey.reserve(count);
        std::vector<uint32_t> newIndex(count);
        for (size_t v = 0; v < count; ++v) {
            std::string key = PositionKey(host.vertices[v]);
            AppendExact(key, source, v, deltas[v]);
            newIndex[v] = byKey.emplace(std::move(key), static_cast<uint32_t>(byKey.size())).first->second;
        }
        const auto joined = static_cast<uint32_t>(byKey.size());
        if (joined < count) RenumberVertices(host, source, corners[m], newIndex, joined);
        counts.after += static_cast<int64_t>(host.vertices.size());
    }
    return counts;
}

}  // namespace hm::imp
