#include "import/texture_files.h"

#include "export/output_file.h"

#include <assimp/texture.h>

#include <filesystem>

namespace hm {

EncodedTexture EncodeEmbeddedTexture(const aiTexture& texture) {
    EncodedTexture encoded;
    if (texture.mHeight == 0) {  // compressed: the file's own bytes, format named by the hint
        encoded.extension = texture.achFormatHint[0] ? std::string(texture.achFormatHint) : "bin";
        const auto* bytes = reinterpret_cast<const uint8_t*>(texture.pcData);
        encoded.bytes.assign(bytes, bytes + texture.mWidth);
        return encoded;
    }
    encoded.extension = "tga";
    const uint8_t header[18] = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                static_cast<uint8_t>(texture.mWidth), static_cast<uint8_t>(texture.mWidth >> 8),
                                static_cast<uint8_t>(texture.mHeight), static_cast<uint8_t>(texture.mHeight >> 8),
                                32, 0x28};
    encoded.bytes.assign(header, header + sizeof header);
    const size_t texels = static_cast<size_t>(texture.mWidth) * texture.mHeight;
    for (size_t t = 0; t < texels; ++t) {
        const aiTexel& texel = texture.pcData[t];
        encoded.bytes.insert(encoded.bytes.end(), {texel.b, texel.g, texel.r, texel.a});
    }
    return encoded;
}

bool WriteEmbeddedTextures(const std::vector<EmbeddedTexture>& textures, const std::string& directory,
                           std::string& error) {
    OutputSet outputs;
    for (const EmbeddedTexture& texture : textures) {
        const std::filesystem::path target = std::filesystem::path(directory.empty() ? "." : directory) / texture.fileName;
        OutputFile* file = outputs.Add(target.string());
        if (!file) break;
        file->Write(texture.bytes.data(), texture.bytes.size());
    }
    if (outputs.Commit()) return true;
    error = outputs.Error();
    return false;
}

}  // namespace hm
