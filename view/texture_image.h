// Turns a texture file the engine imports (BMP, TGA, PCX, PNG and the other
// formats stb reads) into a PNG a browser can show.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace view {

struct PngImage {
    int width = 0, height = 0;
    std::vector<uint8_t> bytes;
};

// False with error set (the reader's reason) when the file cannot be read or
// decoded; the result is then empty.
bool LoadImageAsPng(const std::string& path, PngImage& image, std::string& error);

}  // namespace view
