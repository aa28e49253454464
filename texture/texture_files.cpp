#include "texture/texture_files.h"

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

}  // namespace hm
