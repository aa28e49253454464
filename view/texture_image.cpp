#include "view/texture_image.h"

#include <stb_image.h>
#include <stb_image_write.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>

namespace view {

namespace {

// Larger than any texture the engine takes; a bound so that a wrong file named
// as a texture cannot exhaust memory.
constexpr std::streamoff kMaxTextureFileBytes = 256ll << 20;

// An image's sides are checked against the bytes of its file before a pixel
// is allocated, so that a few bytes claiming a vast image are refused rather
// than decoded into gigabytes:
// - the largest side read, past any texture the engine imports or picture a
//   page shows;
constexpr int64_t kMaxSide = 8192;
// - the largest ratio of deflate, which packs a PNG's rows;
constexpr uint64_t kMaxDeflateRatio = 1032;
// - a PCX run of 63 bytes takes two;
constexpr uint64_t kMaxPcxRatio = 32;
// - pixels one byte may stand for in the other formats (run-length and
//   dictionary codes, JPEG's blocks): more than any of them gives a real picture.
constexpr uint64_t kMaxPixelsPerByte = 1024;

struct Rgba {
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;   // 4 bytes per pixel, top row first
    std::vector<uint8_t> indices;  // palette entry per pixel, for palettised files
};

Error Unread(std::string reason) { return Fault(ErrorKind::kBadInput, std::move(reason)); }

uint32_t U32(const std::vector<uint8_t>& bytes, size_t at) {
    return static_cast<uint32_t>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16) |
           static_cast<uint32_t>(bytes[at + 3]) << 24;
}

uint16_t U16(const std::vector<uint8_t>& bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

uint32_t U32BigEndian(const std::vector<uint8_t>& bytes, size_t at) {
    return static_cast<uint32_t>(bytes[at]) << 24 | static_cast<uint32_t>(bytes[at + 1] << 16 | bytes[at + 2] << 8 | bytes[at + 3]);
}

// Whether a file of size bytes, at least fewest of which an image of these
// sides takes, may be decoded; before anything is allocated for its pixels.
Error CheckSides(int64_t width, int64_t height, uint64_t fewest, uint64_t size) {
    const std::string sides = std::to_string(width) + " x " + std::to_string(height) + " pixels";
    if (width <= 0 || height <= 0) return Unread("claims " + sides + ": a damaged header");
    if (width > kMaxSide || height > kMaxSide)
        return Unread("claims " + sides + ", more than the " + std::to_string(kMaxSide) +
                      " a side read (no texture the engine imports is that large)");
    if (fewest > size)
        return Unread("claims " + sides + " in " + std::to_string(size) + " bytes, which cannot hold them (" +
                      std::to_string(fewest) + " at least): damaged, or made to exhaust memory");
    return {};
}

// stb reads no PCX, the engine's usual texture format: run-length encoded
// 8-bit images with a 256-colour palette at the end, or 24-bit in 3 planes.
Error DecodePcx(const std::vector<uint8_t>& bytes, Rgba& image) {
    if (bytes.size() < 128 || bytes[0] != 0x0A || bytes[2] != 1) return Unread("not a run-length encoded PCX file");
    const int bits = bytes[3], planes = bytes[65], lineBytes = U16(bytes, 66);
    const int width = U16(bytes, 8) - U16(bytes, 4) + 1, height = U16(bytes, 10) - U16(bytes, 6) + 1;
    const bool paletted = bits == 8 && planes == 1, trueColour = bits == 8 && planes == 3;
    if (!paletted && !trueColour)
        return Unread("PCX with " + std::to_string(bits) + " bits in " + std::to_string(planes) +
                      " planes (only 8-bit paletted and 24-bit are read)");
    if (width <= 0 || height <= 0 || lineBytes < width) return Unread("PCX with a damaged header");
    if (paletted && (bytes.size() < 128 + 769 || bytes[bytes.size() - 769] != 0x0C))
        return Unread("PCX without its palette");
    const size_t end = paletted ? bytes.size() - 769 : bytes.size();
    const size_t scanline = static_cast<size_t>(lineBytes) * planes;
    const uint64_t runs = (static_cast<uint64_t>(scanline) * height + kMaxPcxRatio - 1) / kMaxPcxRatio;
    if (Error error = CheckSides(width, height, bytes.size() - end + 128 + runs, bytes.size())) return error;
    std::vector<uint8_t> plain(scanline * height);
    size_t at = 128, out = 0;
    while (out < plain.size()) {
        if (at >= end) return Unread("PCX cut short");
        uint8_t value = bytes[at++];
        size_t count = 1;
        if ((value & 0xC0) == 0xC0) {
            count = value & 0x3F;
            if (at >= end) return Unread("PCX cut short");
            value = bytes[at++];
        }
        for (; count > 0 && out < plain.size(); --count) plain[out++] = value;
    }
    image.width = width;
    image.height = height;
    image.pixels.resize(static_cast<size_t>(width) * height * 4);
    if (paletted) image.indices.resize(static_cast<size_t>(width) * height);
    const uint8_t* palette = bytes.data() + bytes.size() - 768;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const uint8_t* line = plain.data() + scanline * y;
            uint8_t* pixel = image.pixels.data() + (static_cast<size_t>(y) * width + x) * 4;
            for (int c = 0; c < 3; ++c) pixel[c] = paletted ? palette[line[x] * 3 + c] : line[c * lineBytes + x];
            pixel[3] = 255;
            if (paletted) image.indices[static_cast<size_t>(y) * width + x] = line[x];
        }
    return {};
}

// An uncompressed 8-bit BMP with its indices (stb gives only colours).
// False when the file is another kind of BMP, for stb to read.
bool DecodeBmp8(const std::vector<uint8_t>& bytes, Rgba& image) {
    if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M') return false;
    const uint32_t offset = U32(bytes, 10), header = U32(bytes, 14);
    if (header < 40 || 14 + static_cast<uint64_t>(header) > bytes.size()) return false;
    const int32_t width = static_cast<int32_t>(U32(bytes, 18)), height = static_cast<int32_t>(U32(bytes, 22));
    if (U16(bytes, 28) != 8 || U32(bytes, 30) != 0 || width <= 0 || width > kMaxSide || height == 0 ||
        height < -kMaxSide || height > kMaxSide)
        return false;
    uint32_t colours = U32(bytes, 46);
    if (colours == 0 || colours > 256) colours = 256;
    const size_t rows = static_cast<size_t>(height < 0 ? -static_cast<int64_t>(height) : height);
    const size_t stride = (static_cast<size_t>(width) + 3) & ~size_t{3};
    if (14 + header + 4 * static_cast<uint64_t>(colours) > bytes.size() || offset > bytes.size() ||
        stride * rows > bytes.size() - offset)
        return false;
    image.width = width;
    image.height = static_cast<int>(rows);
    image.pixels.resize(static_cast<size_t>(width) * rows * 4);
    image.indices.resize(static_cast<size_t>(width) * rows);
    const uint8_t* palette = bytes.data() + 14 + header;
    for (size_t y = 0; y < rows; ++y) {
        const uint8_t* line = bytes.data() + offset + stride * (height < 0 ? y : rows - 1 - y);
        for (int x = 0; x < width; ++x) {
            const uint8_t entry = line[x];
            uint8_t* pixel = image.pixels.data() + (y * width + x) * 4;
            const uint8_t* colour = palette + 4 * (entry < colours ? entry : 0);
            pixel[0] = colour[2], pixel[1] = colour[1], pixel[2] = colour[0], pixel[3] = 255;
            image.indices[y * width + x] = entry;
        }
    }
    return true;
}

std::string FormatName(const std::vector<uint8_t>& bytes) {
    if (bytes.size() >= 30 && bytes[0] == 'B' && bytes[1] == 'M')
        return std::to_string(U16(bytes, 28)) + "-bit BMP" + (U32(bytes, 30) ? " (compressed)" : "");
    if (!bytes.empty() && bytes[0] == 0x0A && bytes.size() >= 66)
        return std::to_string(bytes[3] * bytes[65]) + "-bit PCX";
    if (bytes.size() >= 4 && bytes[1] == 'P' && bytes[2] == 'N' && bytes[3] == 'G') return "PNG";
    if (bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8) return "JPEG";
    return "not BMP or PCX";
}

// The sides a file says and the fewest bytes that can hold them, for the
// formats stb reads: BMP (stb reads only uncompressed ones) and PNG from
// their headers, the rest from stb's own look at the header.
Error CheckSidesForStb(const std::vector<uint8_t>& bytes) {
    const uint64_t size = bytes.size();
    if (size >= 30 && bytes[0] == 'B' && bytes[1] == 'M') {
        const uint32_t header = U32(bytes, 14);
        const bool os2 = header == 12;
        const int64_t width = os2 ? U16(bytes, 18) : static_cast<int32_t>(U32(bytes, 18));
        const int64_t height = os2 ? static_cast<int16_t>(U16(bytes, 20)) : static_cast<int32_t>(U32(bytes, 22));
        const uint64_t bits = U16(bytes, os2 ? 24 : 28);
        const uint64_t rows = static_cast<uint64_t>(height < 0 ? -height : height);
        if (width <= 0 || rows == 0 || width > kMaxSide || rows > static_cast<uint64_t>(kMaxSide))
            return CheckSides(width, static_cast<int64_t>(rows), 0, size);
        const uint64_t stride = (static_cast<uint64_t>(width) * bits + 31) / 32 * 4;
        return CheckSides(width, static_cast<int64_t>(rows), 14 + uint64_t{header} + stride * rows, size);
    }
    if (size >= 26 && bytes[1] == 'P' && bytes[2] == 'N' && bytes[3] == 'G') {
        const int64_t width = U32BigEndian(bytes, 16), height = U32BigEndian(bytes, 20);
        if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return CheckSides(width, height, 0, size);
        static const uint64_t kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
        const uint64_t channels = bytes[25] < 7 ? kChannels[bytes[25]] : 0, depth = bytes[24];
        const uint64_t rowBytes = 1 + (static_cast<uint64_t>(width) * channels * depth + 7) / 8;
        return CheckSides(width, height, rowBytes * static_cast<uint64_t>(height) / kMaxDeflateRatio, size);
    }
    int width = 0, height = 0, channels = 0;
    if (!stbi_info_from_memory(bytes.data(), static_cast<int>(bytes.size()), &width, &height, &channels))
        return Unread(std::string("cannot decode it (") + stbi_failure_reason() + ")");
    return CheckSides(width, height, static_cast<uint64_t>(width) * height / kMaxPixelsPerByte, size);
}

Error DecodeWithStb(const std::vector<uint8_t>& bytes, Rgba& image) {
    if (Error error = CheckSidesForStb(bytes)) return error;
    int channels = 0;
    std::unique_ptr<stbi_uc, void (*)(void*)> pixels(
        stbi_load_from_memory(bytes.data(), static_cast<int>(bytes.size()), &image.width, &image.height, &channels, 4),
        stbi_image_free);
    if (!pixels) return Unread(std::string("cannot decode it (") + stbi_failure_reason() + ")");
    image.pixels.assign(pixels.get(), pixels.get() + static_cast<size_t>(image.width) * image.height * 4);
    return {};
}

void AppendBytes(void* context, void* data, int size) {
    auto* out = static_cast<std::vector<uint8_t>*>(context);
    out->insert(out->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
}

bool IsPng(const std::vector<uint8_t>& bytes) {
    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return bytes.size() >= 8 && std::memcmp(bytes.data(), signature, 8) == 0;
}

}  // namespace

Error LoadImageAsPng(const std::string& path, PngImage& image, bool masked, TextureFacts* facts) {
    image = PngImage();
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return Unread(std::string("cannot be opened (") + std::strerror(errno) + ")");
    std::streamoff size = in.tellg();
    if (size < 0 || size > kMaxTextureFileBytes) return Unread("is not a texture (" + std::to_string(size) + " bytes)");
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), size))
        return Unread(std::string("cannot be read (") + std::strerror(errno) + ")");

    Rgba rgba;
    const bool pcx = !bytes.empty() && bytes[0] == 0x0A;
    if (Error error = pcx ? DecodePcx(bytes, rgba) : (DecodeBmp8(bytes, rgba) ? Error() : DecodeWithStb(bytes, rgba)))
        return error;
    image.width = rgba.width;
    image.height = rgba.height;
    int64_t entryZero = 0;
    for (size_t p = 0; p < rgba.indices.size(); ++p)
        if (rgba.indices[p] == 0) {
            ++entryZero;
            if (masked) rgba.pixels[4 * p + 3] = 0;
        }
    if (facts) {
        facts->palettised = !rgba.indices.empty();
        facts->format = FormatName(bytes);
        facts->pixels = static_cast<int64_t>(rgba.width) * rgba.height;
        facts->entryZero = entryZero;
    }
    if (IsPng(bytes)) {  // the browser shows it as it is
        image.bytes = std::move(bytes);
        return {};
    }
    // stb's PNG writer fails only when it cannot allocate.
    if (!stbi_write_png_to_func(AppendBytes, &image.bytes, rgba.width, rgba.height, 4, rgba.pixels.data(),
                                rgba.width * 4)) {
        image = PngImage();
        return Fault(ErrorKind::kOutOfMemory, "cannot be converted to PNG");
    }
    return {};
}

}  // namespace view
