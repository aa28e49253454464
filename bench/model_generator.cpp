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
