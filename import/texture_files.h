// Images held inside a model file, as files of their own: encoded (raw texels
// as an uncompressed TGA) and written beside the export's outputs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct aiTexture;

namespace hm {

// An image held inside the model file, to be written beside the outputs
// under the name the materials use.
struct EmbeddedTexture {
    std::string fileName;
    std::vector<uint8_t> bytes;
};

struct EncodedTexture {
    std::string extension;  // without the '.'
    std::vector<uint8_t> bytes;
};

// A compressed image keeps the file's own bytes, its extension from the
// format hint ("bin" without one); raw BGRA texels become a 32-bit
// uncompressed TGA, top row first.
EncodedTexture EncodeEmbeddedTexture(const aiTexture& texture);

// Writes the textures into the directory ("" for the current one), all of
// them or none. False, with error naming the file and the reason, when one
// cannot be written.
bool WriteEmbeddedTextures(const std::vector<EmbeddedTexture>& textures, const std::string& directory,
                           std::string& error);

}  // namespace hm
