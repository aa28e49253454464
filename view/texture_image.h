// Turns a texture file the engine imports (BMP, TGA, PCX, PNG and the other
// formats stb reads) into a PNG a browser can show, and says whether the
// engine's importer takes it as painted.
#pragma once

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

// False with error set (the reader's reason) when the file cannot be read or
// decoded; the result is then empty. With masked, a palettised file's entry
// 0 is see-through in the PNG, as the engine draws it.
bool LoadImageAsPng(const std::string& path, PngImage& image, std::string& error, bool masked = false,
                    TextureFacts* facts = nullptr);

}  // namespace view
