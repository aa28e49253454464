#include "host/model_json.h"

#include "output/output_file.h"
#include "host/json_document.h"

#include <cstring>

namespace hm {
namespace {

void AppendString(std::string& out, const std::string& text) {
    // Bytes that are not UTF-8 cannot go into a JSON text; they become U+FFFD.
    out += Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
}

void AppendFloats(std::string& out, const float* values, size_t count) {
    out += '[';
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) out += ", ";
        out += FloatText(values[i]);
    }
    out += ']';
}

void AppendVec3(std::string& out, const HostVec3& v) {
    const float values[3] = {v.x, v.y, v.z};
    AppendFloats(out, values, 3);
}

template <typename Key>
void AppendKeys(std::string& out, const char* name, const std::vector<Key>& keys, bool last) {
    out += "      \"";
    out += name;
    out += "\": [";
    for (size_t i = 0; i < keys.size(); ++i) {
        out += i == 0 ? "\n        { \"time\": " : ",\n        { \"time\": ";
        out += FloatText(keys[i].time);
        out += ", \"value\": ";
        AppendVec3(out, keys[i].value);
        out += " }";
    }
    out += keys.empty() ? "]" : "\n      ]";
    out += last ? "\n" : ",\n";
}

std::string FieldText(const char (&field)[32]) { return std::string(field, strnlen(field, sizeof field)); }

}  // namespace

// Layout: two-space indentation, one vertex, triangle or key per line, every
// key written out (defaults included), so a 65535-vertex mesh stays a few MB
// and each vertex can be found and edited by hand.
std::string ModelToJson(const hmModel& model) {
    std::string out = "{\n";
    out += "  \"totalFrames\": " + std::to_string(model.totalFrames) + ",\n";
    out += "  \"currentFrame\": " + std::to_string(model.currentFrame) + ",\n";

    const hmMesh emptyMesh;
    out += "  \"meshes\": [";
    for (size_t m = 0; m < model.meshes.size(); ++m) {
        const hmMesh& mesh = model.meshes[m] ? *model.meshes[m] : emptyMesh;
        out += m == 0 ? "\n    {\n" : ",\n    {\n";
        out += "      \"name\": ";
        AppendString(out, mesh.name);
        out += ",\n      \"vertices\": [";
        for (size_t v = 0; v < mesh.vertices.size(); ++v) {
            const HostVertex& vertex = mesh.vertices[v];
            out += v == 0 ? "\n        { \"position\": " : ",\n        { \"position\": ";
            AppendVec3(out, vertex.position);
            out += ", \"uv\": ";
            const float uv[2] = {vertex.texCoords[0], vertex.texCoords[1]};
            AppendFloats(out, uv, 2);
            out += ", \"bone\": " + std::to_string(vertex.boneIndex) + " }";
        }
        out += mesh.vertices.empty() ? "],\n" : "\n      ],\n";
        out += "      \"triangles\": [";
        for (size_t t = 0; t < mesh.triangles.size(); ++t) {
            const auto& c = mesh.triangles[t].corners;
            out += t == 0 ? "\n        [" : ",\n        [";
            out += std::to_string(c[0]) + ", " + std::to_string(c[1]) + ", " + std::to_string(c[2]) + "]";
        }
        out += mesh.triangles.empty() ? "]\n    }" : "\n      ]\n    }";
    }
    out += model.meshes.empty() ? "],\n" : "\n  ],\n";

    const hmMaterial emptyMaterial;
    out += "  \"materials\": [";
    for (size_t i = 0; i < model.materials.size(); ++i) {
        const hmMaterial& material = model.materials[i] ? *model.materials[i] : emptyMaterial;
        out += i == 0 ? "\n    { \"name\": " : ",\n    { \"name\": ";
        AppendString(out, material.name);
        out += ", \"diffuseTexture\": ";
        AppendString(out, material.diffuseTexture);
        out += " }";
    }
    out += model.materials.empty() ? "],\n" : "\n  ],\n";

    out += "  \"bones\": [";
    bool firstBone = true;
    for (const auto& entry : model.bones) {
        if (!entry) continue;
        const HostBone& bone = entry->record;
        out += firstBone ? "\n    {\n" : ",\n    {\n";
        firstBone = false;
        out += "      \"name\": ";
        AppendString(out, FieldText(bone.name));
        out += ",\n      \"parent\": ";
        AppendString(out, FieldText(bone.parentName));
        out += ",\n      \"position\": ";
        AppendVec3(out, bone.position);
        out += ",\n      \"rotation\": ";
        AppendVec3(out, bone.rotation);
        out += ",\n";
        AppendKeys(out, "positionKeys", entry->positionKeys, false);
        AppendKeys(out, "rotationKeys", entry->rotationKeys, true);
        out += "    }";
    }
    out += firstBone ? "]\n" : "\n  ]\n";
    out += "}\n";
    return out;
}

Error SaveModelJson(const hmModel& model, const std::string& path) {
    const std::string text = ModelToJson(model);
    OutputSet outputs;
    if (OutputFile* file = outputs.Add(path)) file->Write(text);
    if (outputs.Commit()) return {};
    return Fault(ErrorKind::kWriteFailed, outputs.Error());
}

}  // namespace hm
