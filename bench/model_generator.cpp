#include "bench/model_generator.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>

hm::ModelPtr GenerateModel(const GeneratedModelSize& size) {
    hm::ModelPtr model(hm::CreateModel());
    model->totalFrames = size.frames;

    for (int b = 0; b < size.bones; ++b) {
        std::string parent = b == 0 ? "" : "bone" + std::to_string(b - 1);
        HostBoneEntry* bone = hm::AddBone(model.get(), "bone" + std::to_string(b), parent,
                                          {b == 0 ? 0.0f : 0.5f, 0.1f, 0.0f}, {0.0f, 0.05f, 0.02f});
        // One key at every frame, as the importer writes them.
        for (int f = 0; f < size.frames; ++f) {
            const float t = static_cast<float>(f);
            const float phase = 0.1f * t + 0.3f * static_cast<float>(b);
            bone->positionKeys.push_back({t, {0.01f * std::sin(phase), 0.0f, 0.01f * std::cos(phase)}});
            bone->rotationKeys.push_back({t, {0.2f * std::sin(phase), 0.1f * std::cos(phase), 0.15f * std::sin(0.5f * phase)}});
        }
    }

    const int meshes = std::max(size.meshes, 1);
    for (int m = 0; m < meshes; ++m) {
        hmMesh* mesh = hm::AddMesh(model.get(), "mesh" + std::to_string(m));
        const int count = size.vertices / meshes + (m < size.vertices % meshes ? 1 : 0);
        for (int v = 0; v < count; ++v) {
            const int bone = (m * 7 + v) % std::max(size.bones, 1);
            const float x = 0.5f * static_cast<float>(bone) + 0.01f * static_cast<float>(v % 50);
            const float y = 0.1f + 0.02f * static_cast<float>(v % 37);
            const float z = 0.03f * static_cast<float>(v % 23);
            mesh->vertices.push_back(hm::MakeVertex({x, y, z}, static_cast<float>(v % 64) / 63.0f,
                                                    static_cast<float>(v % 32) / 31.0f,
                                                    static_cast<int8_t>(size.bones > 0 ? bone : -1)));
        }
        for (int v = 0; v + 2 < count; v += 2)
            mesh->triangles.push_back({{static_cast<uint16_t>(v), static_cast<uint16_t>(v + 1),
                                        static_cast<uint16_t>(v + 2)}});
    }
    return model;
}

hm::imp::ExactScene GenerateExactScene(const GeneratedModelSize& size, int influences) {
    using namespace hm::imp;
    ExactScene scene;
    scene.fps = 30;
    ExactClip clip;
    clip.ticksPerSecond = 30;
    clip.durationTicks = std::max(size.frames - 1, 0);
    clip.frameCount = size.frames;
    const int bones = std::max(size.bones, 1);
    std::vector<Affine> restGlobal;
    for (int b = 0; b < bones; ++b) {
        Affine local;
        local.t = {b == 0 ? 0.0 : 0.5, 0.1, 0.0};
        scene.nodeParent.push_back(b - 1);
        scene.nodeRest.push_back(local);
        restGlobal.push_back(b == 0 ? local : Multiply(restGlobal.back(), local));
        NodeTrack track;
        track.node = b;
        track.restTranslation = local.t;
        for (int f = 0; f < size.frames; ++f) {
            const double phase = 0.1 * f + 0.3 * b, half = 0.1 * std::sin(phase);
            track.positions.push_back(
                {double(f), {local.t.x + 0.01 * std::sin(phase), local.t.y, 0.01 * std::cos(phase)}});
            track.rotations.push_back({double(f), {0, std::sin(half), 0.5 * std::sin(half), std::cos(half)}});
        }
        clip.nodes.push_back(std::move(track));
    }
    hm::ModelPtr host = GenerateModel(size);  // the same vertices
    for (size_t m = 0; m < host->meshes.size(); ++m) {
        ExactMesh mesh;
        mesh.node = 0;
        for (int j = 0; j < bones; ++j) {
            mesh.jointNodes.push_back(j);
            mesh.inverseBinds.push_back(Inverse(restGlobal[static_cast<size_t>(j)]));
        }
        const auto& vertices = host->meshes[m]->vertices;
        mesh.influenceStart.push_back(0);
        for (size_t v = 0; v < vertices.size(); ++v) {
            const HostVec3& p = vertices[v].position;
            mesh.positions.push_back({p.x, p.y, p.z});
            const double weights[] = {0.4, 0.3, 0.2, 0.1};
            for (int i = 0; i < influences; ++i) {
                mesh.influenceJoint.push_back(
                    static_cast<uint32_t>((std::max<int>(vertices[v].boneIndex, 0) + i) % bones));
                mesh.influenceWeight.push_back(influences == 4 ? weights[i] : 1.0 / influences);
            }
            mesh.influenceStart.push_back(static_cast<uint32_t>(mesh.influenceJoint.size()));
        }
        mesh.targetStart.push_back(0);
        for (int t = 0; t < 2; ++t) {
            mesh.restWeights.push_back(0);
            for (size_t v = static_cast<size_t>(t); v < vertices.size(); v += 2) {
                mesh.deltaVertex.push_back(static_cast<uint32_t>(v));
                mesh.delta.push_back({0.02 * t, 0.05, -0.03});
            }
            mesh.targetStart.push_back(static_cast<uint32_t>(mesh.delta.size()));
        }
        WeightTrack weights;
        weights.mesh = static_cast<int>(m);
        for (int f = 0; f < size.frames; f += 10)
            weights.AddKey(f, {0.5 + 0.5 * std::sin(0.2 * f), 0.5 + 0.5 * std::cos(0.3 * f)});
        clip.weights.push_back(std::move(weights));
        scene.meshes.push_back(std::move(mesh));
    }
    scene.clips.push_back(std::move(clip));
    return scene;
}

namespace {

// Appends values to the buffer and describes them as an accessor on a view of their own.
struct GltfBuilder {
    std::string bin;
    nlohmann::json views = nlohmann::json::array(), accessors = nlohmann::json::array();

    template <typename T>
    int Add(const std::vector<T>& values, int componentType, const char* type, size_t count,
            const nlohmann::json& extra = nlohmann::json::object()) {
        while (bin.size() % 4) bin.push_back('\0');
        const size_t offset = bin.size();
        bin.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
        views.push_back({{"buffer", 0}, {"byteOffset", offset}, {"byteLength", values.size() * sizeof(T)}});
        nlohmann::json accessor = {{"bufferView", views.size() - 1}, {"componentType", componentType},
                                   {"count", count}, {"type", type}};
        accessor.update(extra);
        accessors.push_back(accessor);
        return static_cast<int>(accessors.size() - 1);
    }
};

constexpr int kFloat = 5126, kUnsignedShort = 5123;

}  // namespace

bool WriteGeneratedGltf(const GeneratedModelSize& size, const std::string& path) {
    const hm::ModelPtr host = GenerateModel(size);
    const int bones = std::max(size.bones, 1);
    GltfBuilder b;
    nlohmann::json nodes = nlohmann::json::array(), meshes = nlohmann::json::array();

    // The chain: each joint half a unit along x from its parent, at rest unrotated.
    std::vector<float> inverseBinds;
    float restX = 0;
    for (int j = 0; j < bones; ++j) {
        const float x = j == 0 ? 0.0f : 0.5f, y = 0.1f;
        restX += x;
        nodes.push_back({{"name", "bone" + std::to_string(j)}, {"translation", {x, y, 0.0f}}});
        if (j + 1 < bones) nodes.back()["children"] = {j + 1};
        const float inverse[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, -restX, -0.1f * static_cast<float>(j + 1), 0, 1};
        inverseBinds.insert(inverseBinds.end(), inverse, inverse + 16);
    }
    const int inverseBindAccessor = b.Add(inverseBinds, kFloat, "MAT4", static_cast<size_t>(bones));
    std::vector<int> joints(static_cast<size_t>(bones));
    for (int j = 0; j < bones; ++j) joints[static_cast<size_t>(j)] = j;

    std::vector<int> sceneNodes{0};
    for (size_t m = 0; m < host->meshes.size(); ++m) {
        const hmMesh& mesh = *host->meshes[m];
        std::vector<float> positions, uvs, weights;
        std::vector<uint16_t> jointIndices, indices;
        float low[3] = {1e30f, 1e30f, 1e30f}, high[3] = {-1e30f, -1e30f, -1e30f};
        for (const HostVertex& vertex : mesh.vertices) {
            const float p[3] = {vertex.position.x, vertex.position.y, vertex.position.z};
            for (int k = 0; k < 3; ++k) {
                low[k] = std::min(low[k], p[k]);
                high[k] = std::max(high[k], p[k]);
            }
            positions.insert(positions.end(), p, p + 3);
            uvs.insert(uvs.end(), {vertex.texCoords[0], vertex.texCoords[1]});
            for (int i = 0; i < 4; ++i)
                jointIndices.push_back(static_cast<uint16_t>((std::max<int>(vertex.boneIndex, 0) + i) % bones));
            weights.insert(weights.end(), {0.4f, 0.3f, 0.2f, 0.1f});
        }
        for (const hmTriangle& triangle : mesh.triangles)
            indices.insert(indices.end(), triangle.corners.begin(), triangle.corners.end());
        const size_t count = mesh.vertices.size();
        nlohmann::json attributes = {
            {"POSITION", b.Add(positions, kFloat, "VEC3", count,
                               {{"min", {low[0], low[1], low[2]}}, {"max", {high[0], high[1], high[2]}}})},
            {"TEXCOORD_0", b.Add(uvs, kFloat, "VEC2", count)},
            {"JOINTS_0", b.Add(jointIndices, kUnsignedShort, "VEC4", count)},
            {"WEIGHTS_0", b.Add(weights, kFloat, "VEC4", count)}};
        meshes.push_back({{"name", mesh.name},
                          {"primitives", {{{"attributes", attributes},
                                           {"indices", b.Add(indices, kUnsignedShort, "SCALAR", indices.size())}}}}});
        nodes.push_back({{"name", mesh.name}, {"mesh", m}, {"skin", 0}});
        sceneNodes.push_back(static_cast<int>(nodes.size() - 1));
    }

    // A key at every frame for every joint.
    std::vector<float> times;
    for (int f = 0; f < size.frames; ++f) times.push_back(static_cast<float>(f) / 30.0f);
    const int timeAccessor =
        b.Add(times, kFloat, "SCALAR", times.size(), {{"min", {times.front()}}, {"max", {times.back()}}});
    nlohmann::json channels = nlohmann::json::array(), samplers = nlohmann::json::array();
    for (int j = 0; j < bones; ++j) {
        std::vector<float> translations, rotations;
        for (int f = 0; f < size.frames; ++f) {
            const float phase = 0.1f * static_cast<float>(f) + 0.3f * static_cast<float>(j);
            const float half = 0.1f * std::sin(phase);
            translations.insert(translations.end(),
                                {(j == 0 ? 0.0f : 0.5f) + 0.01f * std::sin(phase), 0.1f, 0.01f * std::cos(phase)});
            const float qy = std::sin(half), qz = 0.5f * std::sin(half), qw = std::cos(half);
            const float norm = std::sqrt(qy * qy + qz * qz + qw * qw);
            rotations.insert(rotations.end(), {0.0f, qy / norm, qz / norm, qw / norm});
        }
        samplers.push_back({{"input", timeAccessor}, {"output", b.Add(translations, kFloat, "VEC3", times.size())}});
        channels.push_back({{"sampler", samplers.size() - 1}, {"target", {{"node", j}, {"path", "translation"}}}});
        samplers.push_back({{"input", timeAccessor}, {"output", b.Add(rotations, kFloat, "VEC4", times.size())}});
        channels.push_back({{"sampler", samplers.size() - 1}, {"target", {{"node", j}, {"path", "rotation"}}}});
    }

    const std::filesystem::path gltfPath(path);
    const std::string binName = gltfPath.stem().string() + ".bin";
    nlohmann::json gltf = {
        {"asset", {{"version", "2.0"}}},
        {"scene", 0},
        {"scenes", {{{"nodes", sceneNodes}}}},
        {"nodes", nodes},
        {"meshes", meshes},
        {"skins", {{{"joints", joints}, {"inverseBindMatrices", inverseBindAccessor}, {"skeleton", 0}}}},
        {"animations", {{{"name", "Move"}, {"channels", channels}, {"samplers", samplers}}}},
        {"buffers", {{{"uri", binName}, {"byteLength", b.bin.size()}}}},
        {"bufferViews", b.views},
        {"accessors", b.accessors}};
    std::ofstream bin(gltfPath.parent_path() / binName, std::ios::binary);
    bin.write(b.bin.data(), static_cast<std::streamsize>(b.bin.size()));
    std::ofstream text(gltfPath, std::ios::binary);
    text << gltf.dump();
    bin.close();
    text.close();
    return bin.good() && text.good();
}
