#include "import/texture_files.h"


#include <assimp/texture.h>

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

uint8_t ToSrgbByte(float linear) {
    const double c = std::clamp(static_cast<double>(std::isfinite(linear) ? linear : 0.0f), 0.0, 1.0);
    const double srgb = c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(c, 1 / 2.4) - 0.055;
    return static_cast<uint8_t>(std::lround(srgb * 255));
}

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

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

std::vector<uint8_t> ColourImage(float red, float green, float blue) {
    constexpr uint32_t kSide = 8, kPalette = 256, kPixels = kSide * kSide;
    constexpr uint32_t kDataOffset = 14 + 40 + 4 * kPalette;
    std::vector<uint8_t> out = {'B', 'M'};
    PutU32(out, kDataOffset + kPixels);
    PutU32(out, 0);
    PutU32(out, kDataOffset);
    PutU32(out, 40);  // BITMAPINFOHEADER
    PutU32(out, kSide);
    PutU32(out, kSide);
    out.insert(out.end(), {1, 0, 8, 0});  // one plane, 8 bits per pixel
    PutU32(out, 0);                       // uncompressed
    PutU32(out, kPixels);
    PutU32(out, 2835);  // 72 dots per inch
    PutU32(out, 2835);
    PutU32(out, kPalette);
    PutU32(out, 0);
    out.insert(out.end(), {ToSrgbByte(blue), ToSrgbByte(green), ToSrgbByte(red), 0});
    out.resize(kDataOffset, 0);  // the rest of the palette black; every pixel is entry 0
    out.resize(kDataOffset + kPixels, 0);
    return out;
}

TexturePlan PlanTextureFiles(const std::vector<TextureFile>& textures, const std::string& directory,
                             const std::string& previousScript) {
    TexturePlan plan;
    for (const TextureFile& texture : textures) {
        const std::filesystem::path target = std::filesystem::path(directory.empty() ? "." : directory) / texture.fileName;
        std::vector<uint8_t> bytes = texture.bytes;
        if (!texture.sourcePath.empty() && !ReadBytes(texture.sourcePath, bytes)) {
            plan.error = Fault(ErrorKind::kBadInput, texture.sourcePath + ": cannot be read");
            return plan;
        }
        std::error_code code;
        if (std::filesystem::is_regular_file(target, code)) {
            std::vector<uint8_t> existing;
            if (ReadBytes(target.string(), existing) && existing == bytes) continue;
            if (previousScript.find("FILE=textures\\" + texture.fileName + " ") == std::string::npos) {
                plan.kept.push_back(target.string());
                continue;
            }
        }
        plan.files.push_back({target.string(), std::move(bytes)});
    }
    return plan;
}

}  // namespace hm
