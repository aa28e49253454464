#include "import/texture_files.h"

#include "export/output_file.h"

#include <algorithm>
#include <cmath>
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

TextureWriteResult WriteTextureFiles(const std::vector<TextureFile>& textures, const std::string& directory,
                                     const std::string& previousScript) {
    TextureWriteResult result;
    OutputSet outputs;
    for (const TextureFile& texture : textures) {
        const std::filesystem::path target = std::filesystem::path(directory.empty() ? "." : directory) / texture.fileName;
        const std::vector<uint8_t>& bytes = texture.bytes;
        std::error_code code;
        if (!texture.sourcePath.empty() && std::filesystem::equivalent(target, texture.sourcePath, code)) {
            result.kept.push_back(target.string());
            continue;
        }
        if (std::filesystem::is_regular_file(target, code)) {
            std::vector<uint8_t> existing;
            if (ReadBytes(target.string(), existing) && existing == bytes) continue;
            if (previousScript.find("FILE=textures\\" + texture.fileName + " ") == std::string::npos) {
                result.kept.push_back(target.string());
                continue;
            }
        }
        OutputFile* file = outputs.Add(target.string());
        if (!file) break;
        file->Write(bytes.data(), bytes.size());
    }
    if (outputs.Commit()) return result;
    result.ok = false;
    result.error = outputs.Error();
    return result;
}

}  // namespace hm
