#include "tests/import/test_files.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

namespace test_files {

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

namespace {

std::string Base64(const std::vector<uint8_t>& bytes) {
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t chunk = static_cast<uint32_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) chunk |= static_cast<uint32_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) chunk |= bytes[i + 2];
        out += digits[(chunk >> 18) & 63];
        out += digits[(chunk >> 12) & 63];
        out += i + 1 < bytes.size() ? digits[(chunk >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? digits[chunk & 63] : '=';
    }
    return out;
}

// One buffer of little-endian floats and integers, cut into views and accessors.
class Buffer {
public:
    template <typename T>
    int Add(const std::vector<T>& values, int componentType, const char* type, size_t count) {
        while (bytes_.size() % 4) bytes_.push_back(0);
        const size_t offset = bytes_.size();
        bytes_.resize(offset + values.size() * sizeof(T));
        std::memcpy(bytes_.data() + offset, values.data(), values.size() * sizeof(T));
        if (!views_.empty()) views_ += ",";
        views_ += "{\"buffer\":0,\"byteOffset\":" + std::to_string(offset) +
                  ",\"byteLength\":" + std::to_string(values.size() * sizeof(T)) + "}";
        if (!accessors_.empty()) accessors_ += ",";
        accessors_ += "{\"bufferView\":" + std::to_string(count_) + ",\"componentType\":" + std::to_string(componentType) +
                      ",\"count\":" + std::to_string(count) + ",\"type\":\"" + type + "\"" + Bounds(values, type) + "}";
        return count_++;
    }
    std::string Json() const {
        return "\"buffers\":[{\"byteLength\":" + std::to_string(bytes_.size()) +
               ",\"uri\":\"data:application/octet-stream;base64," + Base64(bytes_) + "\"}],\"bufferViews\":[" + views_ +
               "],\"accessors\":[" + accessors_ + "]";
    }

private:
    template <typename T>
    static std::string Bounds(const std::vector<T>& values, const char* type) {
        // Animation inputs must state their range.
        if (std::string(type) != "SCALAR" || !std::is_same_v<T, float>) return "";
        return ",\"min\":[" + std::to_string(values.front()) + "],\"max\":[" + std::to_string(values.back()) + "]";
    }
    std::vector<uint8_t> bytes_;
    std::string views_, accessors_;
    int count_ = 0;
};

const std::vector<float> kTriangle = {0, 0, 0, 1, 0, 0, 0, 1, 0};

}  // namespace

std::string ChainGltf(int bones) {
    Buffer buffer;
    const int positions = buffer.Add(kTriangle, 5126, "VEC3", 3);
    const int indices = buffer.Add(std::vector<uint16_t>{0, 1, 2, 0}, 5123, "SCALAR", 3);
    const uint16_t last = static_cast<uint16_t>(bones - 1);
    const int joints = buffer.Add(std::vector<uint16_t>{0, 0, 0, 0, last, 0, 0, 0, last, 0, 0, 0}, 5123, "VEC4", 3);
    const int weights = buffer.Add(std::vector<float>{1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}, 5126, "VEC4", 3);
    std::vector<float> inverseBinds;
    for (int i = 0; i < bones; ++i) {
        // Joint i sits i / 8 up the y axis (exact in floats); column-major inverse.
        const std::vector<float> m = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, -0.125f * static_cast<float>(i), 0, 1};
        inverseBinds.insert(inverseBinds.end(), m.begin(), m.end());
    }
    const int binds = buffer.Add(inverseBinds, 5126, "MAT4", static_cast<size_t>(bones));
    std::string nodes = "{\"mesh\":0,\"skin\":0}";
    std::string jointList;
    for (int i = 0; i < bones; ++i) {
        nodes += ",{\"name\":\"joint" + std::to_string(i) + "\",\"translation\":[0," + (i ? "0.125" : "0") + ",0]" +
                 (i + 1 < bones ? ",\"children\":[" + std::to_string(i + 2) + "]" : "") + "}";
        jointList += (i ? "," : "") + std::to_string(i + 1);
    }
    return "{\"asset\":{\"version\":\"2.0\"},\"scene\":0,\"scenes\":[{\"nodes\":[0,1]}],\"nodes\":[" + nodes +
           "],\"meshes\":[{\"primitives\":[{\"attributes\":{\"POSITION\":" + std::to_string(positions) +
           ",\"JOINTS_0\":" + std::to_string(joints) + ",\"WEIGHTS_0\":" + std::to_string(weights) +
           "},\"indices\":" + std::to_string(indices) + "}]}],\"skins\":[{\"joints\":[" + jointList +
           "],\"inverseBindMatrices\":" + std::to_string(binds) + "}]," + buffer.Json() + "}";
}

std::string PropOnAnimatedNodeGltf() {
    Buffer buffer;
    const int positions = buffer.Add(kTriangle, 5126, "VEC3", 3);
    const int times = buffer.Add(std::vector<float>{0, 1}, 5126, "SCALAR", 2);
    const float s = 0.70710678f;
    const int turns = buffer.Add(std::vector<float>{0, 0, 0, 1, 0, s, 0, s}, 5126, "VEC4", 2);
    return "{\"asset\":{\"version\":\"2.0\"},\"scene\":0,\"scenes\":[{\"nodes\":[0]}],\"nodes\":["
           "{\"name\":\"Turntable\",\"translation\":[2,0,0],\"children\":[1]},"
           "{\"name\":\"Prop\",\"mesh\":0,\"translation\":[0,0,1]}],"
           "\"meshes\":[{\"primitives\":[{\"attributes\":{\"POSITION\":" + std::to_string(positions) + "}}]}],"
           "\"animations\":[{\"name\":\"Spin\",\"samplers\":[{\"input\":" + std::to_string(times) +
           ",\"output\":" + std::to_string(turns) + "}],\"channels\":[{\"sampler\":0,\"target\":{\"node\":0,\"path\":\"rotation\"}}]}]," +
           buffer.Json() + "}";
}

std::string SharedJointNameGltf() {
    Buffer buffer;
    const int positions = buffer.Add(kTriangle, 5126, "VEC3", 3);
    const int joints = buffer.Add(std::vector<uint16_t>(12, 0), 5123, "VEC4", 3);
    const int weights = buffer.Add(std::vector<float>{1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}, 5126, "VEC4", 3);
    const int binds = buffer.Add(std::vector<float>{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, -1, 0, 1}, 5126, "MAT4", 1);
    return "{\"asset\":{\"version\":\"2.0\"},\"scene\":0,\"scenes\":[{\"nodes\":[0,1,3]}],\"nodes\":["
           "{\"name\":\"Skin\",\"mesh\":0,\"skin\":0},"
           "{\"name\":\"Left\",\"children\":[2],\"translation\":[-5,0,0]},{\"name\":\"joint\",\"translation\":[0,1,0]},"
           "{\"name\":\"Right\",\"children\":[4],\"translation\":[5,0,0]},{\"name\":\"joint\",\"translation\":[0,1,0]}],"
           "\"meshes\":[{\"primitives\":[{\"attributes\":{\"POSITION\":" + std::to_string(positions) +
           ",\"JOINTS_0\":" + std::to_string(joints) + ",\"WEIGHTS_0\":" + std::to_string(weights) + "}}]}],"
           "\"skins\":[{\"joints\":[4],\"inverseBindMatrices\":" + std::to_string(binds) + "}]," + buffer.Json() + "}";
}

std::string NoMeshGltf() {
    return "{\"asset\":{\"version\":\"2.0\"},\"scene\":0,\"scenes\":[{\"nodes\":[0]}],\"nodes\":[{\"name\":\"Empty\"}]}";
}

std::string LadderGltf(const LadderOptions& o) {
    const float step = 0.25f;  // between joints
    const float height = step * static_cast<float>(o.bones - 1 > 0 ? o.bones - 1 : 1);
    const int pairs = o.levels + 1;
    std::vector<float> positions;
    std::vector<uint16_t> joints[2], indices;
    std::vector<float> weights[2];
    for (int level = 0; level < pairs; ++level) {
        const float y = height * static_cast<float>(level) / static_cast<float>(o.levels);
        // The joints nearest the level, weighted by nearness, the nearest heaviest.
        const int nearest = static_cast<int>(y / step + 0.5f);
        const int first = std::max(0, std::min(nearest - o.influences / 2, o.bones - o.influences));
        std::vector<float> w(static_cast<size_t>(o.influences));
        float total = 0;
        for (int i = 0; i < o.influences; ++i) {
            w[static_cast<size_t>(i)] = 1.0f / (1.0f + std::abs(static_cast<float>(first + i) * step - y) / step) +
                                        0.01f * static_cast<float>(i);
            total += w[static_cast<size_t>(i)];
        }
        for (float x : {-static_cast<float>(o.halfWidth), static_cast<float>(o.halfWidth)}) {
            positions.insert(positions.end(), {x, y, 0});
            for (int set = 0; set < 2; ++set)
                for (int i = 4 * set; i < 4 * set + 4; ++i) {
                    const bool used = i < o.influences;
                    joints[set].push_back(static_cast<uint16_t>(used ? first + i : 0));
                    weights[set].push_back(used ? w[static_cast<size_t>(i)] / total : 0.0f);
                }
        }
        if (level > 0) {
            const uint16_t a = static_cast<uint16_t>(2 * level - 2), b = static_cast<uint16_t>(a + 1);
            indices.insert(indices.end(), {a, b, static_cast<uint16_t>(a + 3), a, static_cast<uint16_t>(a + 3),
                                           static_cast<uint16_t>(a + 2)});
        }
    }
    std::vector<float> normals;
    if (o.backFaces) {
        const size_t front = positions.size() / 3;
        positions.insert(positions.end(), positions.begin(), positions.end());
        normals.assign(3 * front, 0.0f);
        for (size_t v = 0; v < front; ++v) normals[3 * v + 2] = 1;
        for (size_t v = 0; v < front; ++v) normals.insert(normals.end(), {0, 0, -1});
        for (int set = 0; set < 2; ++set) {
            joints[set].insert(joints[set].end(), joints[set].begin(), joints[set].end());
            weights[set].insert(weights[set].end(), weights[set].begin(), weights[set].end());
        }
        for (size_t v = front; v < 2 * front; ++v) {
            float* w[8];
            for (int i = 0; i < 8; ++i) w[i] = &weights[i / 4][4 * v + i % 4];
            int heaviest = 0;
            for (int i = 1; i < 8; ++i)
                if (*w[i] > *w[heaviest]) heaviest = i;
            for (float* weight : w) *weight *= 0.9f;
            *w[heaviest] += 0.1f;
        }
        const size_t frontIndices = indices.size();
        for (size_t i = 0; i < frontIndices; i += 3)
            indices.insert(indices.end(), {static_cast<uint16_t>(indices[i] + front),
                                           static_cast<uint16_t>(indices[i + 2] + front),
                                           static_cast<uint16_t>(indices[i + 1] + front)});
    }
    Buffer buffer;
    const size_t count = positions.size() / 3;
    const int position = buffer.Add(positions, 5126, "VEC3", count);
    const int index = buffer.Add(indices, 5123, "SCALAR", indices.size());
    std::string attributes = "\"POSITION\":" + std::to_string(position);
    if (o.backFaces) attributes += ",\"NORMAL\":" + std::to_string(buffer.Add(normals, 5126, "VEC3", count));
    for (int set = 0; set < (o.influences > 4 ? 2 : 1); ++set) {
        attributes +=
            ",\"JOINTS_" + std::to_string(set) + "\":" + std::to_string(buffer.Add(joints[set], 5123, "VEC4", count));
        attributes +=
            ",\"WEIGHTS_" + std::to_string(set) + "\":" + std::to_string(buffer.Add(weights[set], 5126, "VEC4", count));
    }
    std::vector<float> inverseBinds;
    for (int i = 0; i < o.bones; ++i) {
        const std::vector<float> m = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, -step * static_cast<float>(i), 0, 1};
        inverseBinds.insert(inverseBinds.end(), m.begin(), m.end());
    }
    const int binds = buffer.Add(inverseBinds, 5126, "MAT4", static_cast<size_t>(o.bones));
    const int times = buffer.Add(std::vector<float>{0, 0.5f, 1}, 5126, "SCALAR", 3);
    const double half = o.bendDegrees / o.bones * 3.14159265358979 / 360;
    const float s = static_cast<float>(std::sin(half)), c = static_cast<float>(std::cos(half));
    const float s2 = static_cast<float>(std::sin(-half / 2)), c2 = static_cast<float>(std::cos(-half / 2));
    const int turns = buffer.Add(std::vector<float>{0, 0, 0, 1, 0, 0, s, c, 0, 0, s2, c2}, 5126, "VEC4", 3);
    std::string nodes = "{\"name\":\"Ladder\",\"mesh\":0,\"skin\":0}";
    std::string jointList,
        samplers = "{\"input\":" + std::to_string(times) + ",\"output\":" + std::to_string(turns) + "}", channels;
    for (int i = 0; i < o.bones; ++i) {
        nodes += ",{\"name\":\"joint" + std::to_string(i) + "\",\"translation\":[0," + (i ? "0.25" : "0") + ",0]" +
                 (i + 1 < o.bones ? ",\"children\":[" + std::to_string(i + 2) + "]" : "") + "}";
        jointList += (i ? "," : "") + std::to_string(i + 1);
        channels += std::string(i ? "," : "") + "{\"sampler\":0,\"target\":{\"node\":" + std::to_string(i + 1) +
                    ",\"path\":\"rotation\"}}";
    }
    std::string targets;
    if (o.morph) {
        std::vector<float> out, wide;
        for (size_t v = 0; v < count; ++v) {
            const bool top = v + 2 >= count;
            out.insert(out.end(), {0, 0, 0.1f * static_cast<float>(v % 3)});
            wide.insert(wide.end(), {top ? positions[3 * v] : 0.0f, 0, 0});
        }
        targets = ",\"targets\":[{\"POSITION\":" + std::to_string(buffer.Add(out, 5126, "VEC3", count)) +
                  "},{\"POSITION\":" + std::to_string(buffer.Add(wide, 5126, "VEC3", count)) + "}]";
        const int weightKeys = buffer.Add(std::vector<float>{0, 0.2f, 1, 0.5f, 0.3f, 1}, 5126, "SCALAR", 6);
        samplers += ",{\"input\":" + std::to_string(times) + ",\"output\":" + std::to_string(weightKeys) + "}";
        channels += ",{\"sampler\":1,\"target\":{\"node\":0,\"path\":\"weights\"}}";
    }
    return "{\"asset\":{\"version\":\"2.0\"},\"scene\":0,\"scenes\":[{\"nodes\":[0,1]}],\"nodes\":[" + nodes +
           "],\"meshes\":[{\"primitives\":[{\"attributes\":{" + attributes + "},\"indices\":" + std::to_string(index) +
           targets + "}]" + (o.morph ? ",\"weights\":[0,0]" : "") + "}],\"skins\":[{\"joints\":[" + jointList +
           "],\"inverseBindMatrices\":" + std::to_string(binds) +
           "}],\"animations\":[{\"name\":\"Bend\",\"samplers\":[" + samplers + "],\"channels\":[" + channels + "]}]," +
           buffer.Json() + "}";
}

LadderOptions FaceRigLadder() {
    LadderOptions options;
    options.bones = 200;
    options.influences = 8;
    options.levels = 100;
    options.bendDegrees = 270;
    options.morph = true;
    return options;
}

std::string MaterialsGltf(const std::vector<GltfMaterial>& materials) {
    Buffer buffer;
    std::string nodes, meshes, gltfMaterials, textures, images;
    const auto join = [](std::string& list, const std::string& item) { list += (list.empty() ? "" : ",") + item; };
    for (size_t m = 0; m < materials.size(); ++m) {
        const GltfMaterial& material = materials[m];
        std::vector<float> positions, uvs;
        for (int t = 0; t < material.triangles; ++t) {
            const float x = static_cast<float>(m) * 2 + static_cast<float>(t) * 0.1f;
            positions.insert(positions.end(), {x, 0, 0, x + 1, 0, 0, x, 1, 0});
            uvs.insert(uvs.end(), {0, 1, 1, 1, 0, 0});
        }
        const int count = 3 * material.triangles;
        const int p = buffer.Add(positions, 5126, "VEC3", count), uv = buffer.Add(uvs, 5126, "VEC2", count);
        join(nodes, "{\"name\":\"Part" + std::to_string(m) + "\",\"mesh\":" + std::to_string(m) + "}");
        join(meshes, "{\"primitives\":[{\"attributes\":{\"POSITION\":" + std::to_string(p) + ",\"TEXCOORD_0\":" +
                         std::to_string(uv) + "},\"material\":" + std::to_string(m) + "}]}");
        std::string entry = "{\"name\":\"" + material.name + "\",\"doubleSided\":" +
                            (material.doubleSided ? "true" : "false") + ",\"alphaMode\":\"" + material.alphaMode + "\"";
        if (material.unlit) entry += ",\"extensions\":{\"KHR_materials_unlit\":{}}";
        entry += ",\"pbrMetallicRoughness\":{\"baseColorFactor\":[0.8,0.2,0.1,1]";
        if (!material.imageUri.empty() || !material.embeddedPng.empty()) {
            if (material.embeddedPng.empty()) {
                join(images, "{\"uri\":\"" + material.imageUri + "\"}");
            } else {
                const int view = buffer.Add(material.embeddedPng, 5121, "SCALAR", material.embeddedPng.size());
                join(images, "{\"name\":\"" + material.name + "\",\"bufferView\":" + std::to_string(view) +
                                 ",\"mimeType\":\"image/png\"}");
            }
            const std::string index = std::to_string(std::count(images.begin(), images.end(), '{') - 1);
            join(textures, "{\"source\":" + index + "}");
            entry += ",\"baseColorTexture\":{\"index\":" + index + "}";
        }
        join(gltfMaterials, entry + "}}");
    }
    std::string scene;
    for (size_t m = 0; m < materials.size(); ++m) join(scene, std::to_string(m));
    std::string json = "{\"asset\":{\"version\":\"2.0\"},\"extensionsUsed\":[\"KHR_materials_unlit\"],\"scene\":0,"
                       "\"scenes\":[{\"nodes\":[" + scene + "]}],\"nodes\":[" + nodes + "],\"meshes\":[" + meshes +
                       "],\"materials\":[" + gltfMaterials + "]";
    if (!images.empty()) json += ",\"images\":[" + images + "],\"textures\":[" + textures + "]";
    return json + "," + buffer.Json() + "}";
}

}  // namespace test_files
