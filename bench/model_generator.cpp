#include "bench/model_generator.h"

#include <algorithm>
#include <cmath>
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
        for (int f = 0; f < size.frames; f += 10) {
            weights.times.push_back(f);
            weights.weights.insert(weights.weights.end(),
                                   {0.5 + 0.5 * std::sin(0.2 * f), 0.5 + 0.5 * std::cos(0.3 * f)});
        }
        clip.weights.push_back(std::move(weights));
        scene.meshes.push_back(std::move(mesh));
    }
    scene.clips.push_back(std::move(clip));
    return scene;
}
