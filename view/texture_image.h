// Turns a texture file the engine imports (BMP, TGA, PCX, PNG and the other
// formats stb reads) into a PNG a browser can show, and says whether the
// engine's importer takes it as painted.
#pragma once

#include "host/error.h"

#include <cstdint>
#include <string>
#include <vector>

namespace view {

struct PngImage {
    int width = 0, height = 0;
    std::vector<uint8_t> bytes;
};

// What the engine's texture importer cares about in a file.
struct TextureFacts {
    bool palettised = false;  // an 8-bit palettised BMP (uncompressed) or PCX: what the importer reads
    std::string format;       // "8-bit BMP", "8-bit PCX", or what else it is ("24-bit BMP", "PNG", ...)
    int64_t pixels = 0;
    int64_t entryZero = 0;    // pixels at palette entry 0: holes under a masked import
};

// kBadInput with the reader's reason (not the file's name) when the file
// cannot be read or decoded, kOutOfMemory when the PNG cannot be made; the
// image is then empty. The sides a file claims are checked before its pixels
// are allocated: at most 8192 each, and no more than its bytes can hold (a
// few bytes claiming a vast image are refused, not decoded into gigabytes). With masked, a palettised file's entry 0 is
// see-through in the PNG, as the engine draws it.
Error LoadImageAsPng(const std::string& path, PngImage& image, bool masked = false, TextureFacts* facts = nullptr);

}  // namespace view
