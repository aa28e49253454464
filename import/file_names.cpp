#include "import/file_names.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

namespace hm::imp {

namespace {

// Files larger than this are read as they are: the copy would double the
// memory of a file that is large already.
constexpr std::uintmax_t kLargestRewritten = 256u << 20;

uint64_t ReadLittle(const std::string& data, size_t at, size_t size) {
    uint64_t value = 0;
    for (size_t i = size; i-- > 0;) value = value << 8 | static_cast<unsigned char>(data[at + i]);
    return value;
}

void WriteLittle(std::string& data, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) data[at + i] = static_cast<char>(value >> (8 * i) & 0xff);
}

// Binary FBX: a tree of records, each with its end offset, properties and
// children. Models are the records "Model" under "Objects"; the second
// property is the name, "Name\0\1Model".
struct FbxRecord {
    uint64_t end = 0;
    uint64_t propertyBytes = 0;
    std::string name;
    size_t properties = 0;  // offset of the first property
};

class FbxReader {
public:
    explicit FbxReader(const std::string& data) : data_(data) {}

    // The offset and length of each model's name, or false for a file that is not a binary FBX we can read.
    bool ModelNames(std::vector<std::pair<size_t, size_t>>& names) {
        static const char kMagic[] = "Kaydara FBX Binary  ";
        if (data_.size() < 27 || data_.compare(0, 20, kMagic) != 0) return false;
        wide_ = ReadLittle(data_, 23, 4) >= 7500;
        for (size_t at = 27;;) {
            FbxRecord top;
            if (!Read(at, data_.size(), top)) return false;
            if (top.end == 0) return true;
            if (top.name == "Objects") {
                for (size_t child = top.properties + top.propertyBytes;;) {
                    FbxRecord model;
                    if (!Read(child, top.end, model)) return false;
                    if (model.end == 0) break;
                    if (model.name == "Model" && !Name(model, names)) return false;
                    child = model.end;
                }
            }
            at = top.end;
        }
    }

private:
    bool Read(size_t at, uint64_t limit, FbxRecord& out) const {
        const size_t field = wide_ ? 8 : 4;
        if (at + 3 * field + 1 > limit || limit > data_.size()) return false;
        out.end = ReadLittle(data_, at, field);
        out.propertyBytes = ReadLittle(data_, at + 2 * field, field);
        const size_t nameLength = static_cast<unsigned char>(data_[at + 3 * field]);
        out.properties = at + 3 * field + 1 + nameLength;
        if (out.end == 0) return true;
        if (out.end <= at || out.end > limit || out.properties > out.end ||
            out.propertyBytes > out.end - out.properties)
            return false;
        out.name = data_.substr(at + 3 * field + 1, nameLength);
        return true;
    }

    bool Name(const FbxRecord& model, std::vector<std::pair<size_t, size_t>>& names) const {
        const size_t at = model.properties;  // an id (L, 8 bytes), then the name (S, 4-byte length)
        if (at + 14 > model.end || data_[at] != 'L' || data_[at + 9] != 'S') return true;
        const size_t length = ReadLittle(data_, at + 10, 4), text = at + 14;
        if (length > model.end - text) return false;
        const size_t separator = data_.find(std::string("\0\1", 2), text);
        names.emplace_back(text, separator < text + length ? separator - text : length);
        return true;
    }

    const std::string& data_;
    bool wide_ = false;
};

// A name of the same length as `name`, unused so far: FBX records keep their
// offsets. Its last bytes become a counter in control characters, which no
// name a person gives contains.
std::string SameLength(const std::string& name, std::set<std::string>& used, uint64_t& counter) {
    constexpr unsigned kDigits = 30;  // 0x02 to 0x1f; 0 and 1 separate an FBX name from its class
    for (;; ++counter) {
        std::string made = name;
        uint64_t n = counter;
        for (size_t i = made.size(); i-- > 0 && n;) {
            made[i] = static_cast<char>(2 + n % kDigits);
            n /= kDigits;
        }
        if (n) return "";  // the name is too short to count this far
        if (used.insert(made).second) return made;
    }
}

void UniqueFbx(const std::string& data, FileNames& out) {
    std::vector<std::pair<size_t, size_t>> names;
    if (!FbxReader(data).ModelNames(names)) return;
    std::set<std::string> used, seen;
    for (const auto& [at, length] : names) used.insert(data.substr(at, length));
    std::string rewritten = data;
    uint64_t counter = 1;
    for (const auto& [at, length] : names) {
        const std::string name = data.substr(at, length);
        if (seen.insert(name).second) continue;
        const std::string made = SameLength(name, used, counter);
        if (made.empty()) continue;
        rewritten.replace(at, length, made);
        out.original[made] = name;
    }
    if (!out.original.empty()) out.rewritten = std::move(rewritten);
}

// glTF: the nodes' names in its JSON, in a .gltf or in the first chunk of a .glb.
bool UniqueGltfNodes(nlohmann::json& document, FileNames& out) {
    if (!document.is_object() || !document.contains("nodes") || !document["nodes"].is_array()) return false;
    std::set<std::string> used, seen;
    for (const auto& node : document["nodes"])
        if (node.is_object() && node.contains("name") && node["name"].is_string())
            used.insert(node["name"].get<std::string>());
    for (auto& node : document["nodes"]) {
        if (!node.is_object() || !node.contains("name") || !node["name"].is_string()) continue;
        const std::string name = node["name"].get<std::string>();
        if (seen.insert(name).second) continue;
        std::string made;
        for (int n = 2; made.empty() || !used.insert(made).second; ++n) made = name + "\x01" + std::to_string(n);
        node["name"] = made;
        out.original[made] = name;
    }
    return !out.original.empty();
}

// Assimp reads an image's data URI only with a comma before the data and
// the data in base64; otherwise the image comes without data or file, and
// the material shows its colour without a word.
void UnreadableDataUris(const nlohmann::json& document, FileNames& out) {
    if (!document.is_object() || !document.contains("images") || !document["images"].is_array()) return;
    for (const auto& image : document["images"]) {
        if (!image.is_object() || !image.contains("uri") || !image["uri"].is_string()) continue;
        const std::string uri = image["uri"].get<std::string>();
        if (uri.compare(0, 5, "data:") != 0) continue;
        const size_t comma = uri.find(',');
        const char* problem = comma == std::string::npos                          ? "without a comma before its data"
                              : uri.substr(0, comma).find(";base64") == std::string::npos ? "not in base64"
                                                                                          : nullptr;
        if (!problem) continue;
        const std::string shown = uri.size() > 48 ? uri.substr(0, 45) + "..." : uri;
        out.unreadableImages.push_back("texture '" + shown + "' is a data URI " + problem +
                                       ", which cannot be read; the material's colour stands in");
    }
}

void UniqueGltf(const std::string& data, FileNames& out) {
    constexpr uint32_t kJsonChunk = 0x4E4F534A;
    const bool binary = data.size() >= 20 && data.compare(0, 4, "glTF") == 0;
    size_t jsonLength = data.size();
    if (binary) {
        jsonLength = ReadLittle(data, 12, 4);
        if (ReadLittle(data, 16, 4) != kJsonChunk || jsonLength > data.size() - 20) return;
    }
    const auto json = data.begin() + (binary ? 20 : 0);
    nlohmann::json document = nlohmann::json::parse(json, json + static_cast<long>(jsonLength), nullptr, false);
    if (!document.is_discarded()) UnreadableDataUris(document, out);
    if (document.is_discarded() || !UniqueGltfNodes(document, out)) return;
    std::string text = document.dump();
    if (!binary) {
        out.rewritten = std::move(text);
        return;
    }
    text.append((4 - text.size() % 4) % 4, ' ');
    std::string rewritten = data.substr(0, 20) + text + data.substr(20 + jsonLength);
    WriteLittle(rewritten, 8, static_cast<uint32_t>(rewritten.size()));
    WriteLittle(rewritten, 12, static_cast<uint32_t>(text.size()));
    out.rewritten = std::move(rewritten);
}

void Restore(aiString& name, const FileNames& names) {
    const auto found = names.original.find(name.C_Str());
    if (found != names.original.end()) name.Set(found->second);
}

void RestoreNodes(aiNode& node, const FileNames& names) {
    Restore(node.mName, names);
    for (unsigned i = 0; i < node.mNumChildren; ++i) RestoreNodes(*node.mChildren[i], names);
}

}  // namespace

FileNames MakeNamesUnique(const std::string& path) {
    FileNames out;
    std::error_code code;
    const std::uintmax_t size = std::filesystem::file_size(path, code);
    if (code || size > kLargestRewritten) return out;
    std::ifstream file(path, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file.good() && !file.eof()) return out;
    const std::string extension = std::filesystem::path(path).extension().string();
    try {
        if (data.compare(0, 18, "Kaydara FBX Binary") == 0) UniqueFbx(data, out);
        else if (data.compare(0, 4, "glTF") == 0 || extension == ".gltf" || extension == ".GLTF") UniqueGltf(data, out);
    } catch (const nlohmann::json::exception&) {
        return {};  // text that is not UTF-8 cannot be written back; Assimp reads the file as it is
    }
    return out;
}

void RestoreNames(aiScene& scene, const FileNames& names) {
    if (names.original.empty()) return;
    if (scene.mRootNode) RestoreNodes(*scene.mRootNode, names);
    for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
        aiMesh& mesh = *scene.mMeshes[m];
        Restore(mesh.mName, names);
        for (unsigned b = 0; b < mesh.mNumBones; ++b) Restore(mesh.mBones[b]->mName, names);
    }
    for (unsigned a = 0; a < scene.mNumAnimations; ++a) {
        aiAnimation& clip = *scene.mAnimations[a];
        for (unsigned c = 0; c < clip.mNumChannels; ++c) Restore(clip.mChannels[c]->mNodeName, names);
        for (unsigned c = 0; c < clip.mNumMorphMeshChannels; ++c) Restore(clip.mMorphMeshChannels[c]->mName, names);
    }
}

}  // namespace hm::imp
