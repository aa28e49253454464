#include "texture/texture_files.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace hm {

namespace {

bool ReadBytes(const std::string& path, std::vector<uint8_t>& bytes) {
    std::error_code code;
    if (!std::filesystem::is_regular_file(path, code)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

TexturePlan PlanTextureFiles(const std::vector<TextureFile>& textures, const std::string& directory,
                             const std::string& previousScript) {
    TexturePlan plan;
    for (const TextureFile& texture : textures) {
        const std::filesystem::path target = std::filesystem::path(directory.empty() ? "." : directory) / texture.fileName;
        std::error_code code;
        if (!texture.sourcePath.empty() && std::filesystem::equivalent(target, texture.sourcePath, code)) {
            plan.kept.push_back(target.string());
            continue;
        }
        if (std::filesystem::is_regular_file(target, code)) {
            std::vector<uint8_t> existing;
            if (ReadBytes(target.string(), existing) && existing == texture.bytes) continue;
            if (previousScript.find("FILE=textures\\" + texture.fileName + " ") == std::string::npos) {
                plan.kept.push_back(target.string());
                continue;
            }
        }
        plan.files.push_back({target.string(), texture.bytes});
    }
    return plan;
}

std::vector<std::string> UnusedTextureFiles(const std::vector<TextureFile>& textures, const std::string& directory,
                                            const std::string& previousScript) {
    std::vector<std::string> unused;
    const std::string marker = "FILE=textures\\";
    for (size_t at = previousScript.find(marker); at != std::string::npos; at = previousScript.find(marker, at)) {
        at += marker.size();
        const std::string name = previousScript.substr(at, previousScript.find_first_of(" \t\r\n", at) - at);
        const std::filesystem::path file = directory.empty() ? std::filesystem::path(name)
                                                             : std::filesystem::path(directory) / name;
        std::error_code code;
        const bool replaced = std::any_of(textures.begin(), textures.end(),
                                          [&](const TextureFile& texture) { return texture.fileName == name; });
        if (!name.empty() && name.find_first_of("/\\") == std::string::npos && !replaced &&
            std::filesystem::is_regular_file(file, code) &&
            std::find(unused.begin(), unused.end(), file.string()) == unused.end())
            unused.push_back(file.string());
    }
    return unused;
}

}  // namespace hm
