#include "texture/texture_convert.h"

#include <libimagequant.h>
#ifdef VANTREL_IMAGEQUANT_OPENMP
#include <omp.h>
#endif
#include <stb_image.h>
#include <stb_image_resize.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>
#include <limits>
#include <memory>

namespace hm {

namespace {

constexpr int kMaxDecodedSide = 16384;
constexpr int64_t kMaxDecodedPixels = 64ll << 20;
constexpr uint8_t kHoleAlpha = 128;  // below: a hole

uint8_t ToSrgbByte(float linear) {
    const double c = std::clamp(static_cast<double>(std::isfinite(linear) ? linear : 0.0f), 0.0, 1.0);
    const double srgb = c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(c, 1 / 2.4) - 0.055;
    return static_cast<uint8_t>(std::lround(srgb * 255));
}

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Attr = std::unique_ptr<liq_attr, Deleter<liq_attr, liq_attr_destroy>>;
using Image = std::unique_ptr<liq_image, Deleter<liq_image, liq_image_destroy>>;
using Result = std::unique_ptr<liq_result, Deleter<liq_result, liq_result_destroy>>;

double PsnrOf(double squaredError, int64_t samples) {
    if (samples == 0 || squaredError == 0) return std::numeric_limits<double>::infinity();
    return 10 * std::log10(255.0 * 255.0 * samples / squaredError);
}

// Channel c of pixel (x, y), clamped to the image, averaged over 3 x 3.
template <typename Get>
double Blurred(int width, int height, int x, int y, Get get) {
    double sum = 0;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
            sum += get(std::clamp(x + dx, 0, width - 1), std::clamp(y + dy, 0, height - 1));
    return sum / 9;
}

uint32_t Little(const uint8_t* b, size_t at, size_t size) {
    uint32_t value = 0;
    for (size_t i = size; i-- > 0;) value = value << 8 | b[at + i];
    return value;
}

// The format stb decodes a file as: by the bytes it begins with, tested in
// stb's order; TGA has none, and is stb's last guess.
const char* FormatOf(const uint8_t* b, size_t size) {
    const auto starts = [&](std::string_view magic) {
        return size >= magic.size() && std::memcmp(b, magic.data(), magic.size()) == 0;
    };
    if (starts("\xFF\xD8")) return "JPEG";
    if (starts("\x89PNG\r\n\x1A\n")) return "PNG";
    if (starts("BM")) return "BMP";
    if (starts("GIF8")) return "GIF";
    if (starts("8BPS")) return "PSD";
    if (starts("\x53\x80\xF6\x34")) return "PIC";
    if (starts("P5") || starts("P6")) return "PNM";
    if (starts("#?")) return "HDR";
    return "TGA";
}

// The bytes a file of width x height pixels in this format needs at least,
// so that sides a damaged or cut file claims are refused before the decoder
// allocates them (it reads past the end as zeros): the pixel bytes of an
// uncompressed BMP, TGA and PNM, and for the compressed formats the pixels
// over the most a byte of each can hold (deflate 1032:1 over rows of at
// least a bit a pixel; a JPEG block of 64 pixels takes a bit at least; an
// LZW code of 12 bits at most 4096 pixels; run lengths of at most 128 bytes
// in 2 in PSD, HDR and RLE TGA; PIC's 16-bit runs).
uint64_t LeastBytes(const char* format, const uint8_t* b, size_t size, uint64_t width, uint64_t height) {
    const std::string_view f(format);
    const uint64_t pixels = width * height;
    if (f == "BMP" && size >= 30) {
        const uint32_t header = Little(b, 14, 4);
        const uint64_t bits = header == 12 ? Little(b, 24, 2) : Little(b, 28, 2);
        const uint32_t compression = header == 12 || size < 34 ? 0 : Little(b, 30, 4);
        if (compression == 0 || compression == 3)  // stored as rows, each padded to 4 bytes
            return Little(b, 10, 4) + (width * bits + 31) / 32 * 4 * height;
        return 0;
    }
    if (f == "TGA" && size >= 18) {
        const uint64_t pixelBytes = (b[16] + 7u) / 8, colourMap = b[1] ? Little(b, 5, 2) * ((b[7] + 7u) / 8) : 0;
        const uint64_t start = 18 + b[0] + colourMap;
        if (b[2] >= 1 && b[2] <= 3) return start + pixels * pixelBytes;
        if (b[2] >= 9 && b[2] <= 11) return start + (pixels + 127) / 128 * (1 + pixelBytes);
        return 0;
    }
    if (f == "PNM") return pixels * (b[1] == '6' ? 3 : 1);
    if (f == "PNG") return height * (1 + (width + 7) / 8) / 1032;
    if (f == "JPEG") return (width + 7) / 8 * ((height + 7) / 8) / 8;
    if (f == "GIF") return pixels / 4096;
    if (f == "PIC") return pixels / 16384;
    return pixels / 64;  // PSD, HDR
}

}  // namespace

Error DecodeImage(const uint8_t* bytes, size_t size, RgbaImage& image) {
    const auto refused = [](std::string reason) { return Fault(ErrorKind::kBadInput, std::move(reason)); };
    image = RgbaImage();
    if (size == 0 || size > static_cast<size_t>(std::numeric_limits<int>::max()))
        return refused(size ? "larger than any image the decoder reads" : "an empty file");
    int width = 0, height = 0, channels = 0;
    const std::string format = FormatOf(bytes, size);
    // stb tries every format on a file whose header it cannot read, and
    // names the last one's complaint; a file that begins as one is named so.
    if (!stbi_info_from_memory(bytes, static_cast<int>(size), &width, &height, &channels))
        return refused(format == "TGA"
                           ? std::string("not an image the decoder reads (") + stbi_failure_reason() + ")"
                           : "is a " + format + " file whose header cannot be read (damaged or cut short)");
    const std::string sides = std::to_string(width) + " x " + std::to_string(height) + " pixels";
    if (width > kMaxDecodedSide || height > kMaxDecodedSide ||
        static_cast<int64_t>(width) * height > kMaxDecodedPixels)
        return refused(sides + ", more than a texture can use");
    if (const uint64_t least = LeastBytes(format.c_str(), bytes, size, static_cast<uint64_t>(width),
                                          static_cast<uint64_t>(height));
        least > size)
        return refused("is a " + format + " of " + sides + ", which needs at least " + std::to_string(least) +
                       " bytes; the file holds " + std::to_string(size) + " (damaged or cut short)");
    std::unique_ptr<stbi_uc, void (*)(void*)> pixels(
        stbi_load_from_memory(bytes, static_cast<int>(size), &width, &height, &channels, 4), stbi_image_free);
    if (!pixels || width <= 0 || height <= 0)
        return refused("cannot be decoded as " + format + " (" + (pixels ? "no pixels" : stbi_failure_reason()) + ")");
    image.width = width;
    image.height = height;
    image.pixels.assign(pixels.get(), pixels.get() + static_cast<size_t>(width) * height * 4);
    return {};
}

int PowerOfTwoSide(int side, int maxSide) {
    int power = 1;
    // Up when side is nearer (by ratio) to the next power than to this one: side^2 > power * 2power.
    while (power < maxSide && static_cast<int64_t>(side) * side > static_cast<int64_t>(power) * power * 2) power *= 2;
    return std::min(power, std::max(maxSide, 1));
}

RgbaImage ResampleToPowerOfTwo(const RgbaImage& image, int maxSide) {
    RgbaImage out;
    out.width = PowerOfTwoSide(image.width, maxSide);
    out.height = PowerOfTwoSide(image.height, maxSide);
    if (out.width == image.width && out.height == image.height) return image;
    out.pixels.resize(static_cast<size_t>(out.width) * out.height * 4);
    // stb premultiplies by alpha (channel 3) while filtering, and converts sRGB to linear.
    stbir_resize_uint8_srgb_edgemode(image.pixels.data(), image.width, image.height, 0, out.pixels.data(), out.width,
                                     out.height, 0, 4, 3, 0, STBIR_EDGE_CLAMP);
    return out;
}

namespace {

// The library's indices moved up by one, its transparent entry dropped;
// holes at entry 0 and no other pixel there, whatever the library did.
IndexedImage Remapped(IndexedImage out, const std::vector<uint8_t>& rgba, const std::vector<uint8_t>& remapped,
                      const liq_palette* palette) {
    const size_t count = remapped.size();
    const bool done = palette != nullptr;
    // liq's palette without its transparent entry, from entry 1 on.
    std::array<int, 256> entryOf{};
    entryOf.fill(-1);
    int next = 1;
    if (done) {
        for (unsigned i = 0; i < palette->count && i < 256 && next < 256; ++i) {
            const liq_color& colour = palette->entries[i];
            if (colour.a < kHoleAlpha) continue;
            out.palette[next] = {colour.r, colour.g, colour.b};
            entryOf[i] = next++;
        }
    }
    if (next == 1) {  // the library failed: one colour, the mean, still a valid texture
        out.palette[1] = out.palette[0];
        next = 2;
    }
    for (size_t p = 0; p < count; ++p) {
        const uint8_t* px = &rgba[4 * p];
        if (px[3] == 0) continue;  // a hole: entry 0
        const int entry = done ? entryOf[remapped[p]] : -1;
        if (entry > 0) {
            out.indices[p] = static_cast<uint8_t>(entry);
            continue;
        }
        // An opaque pixel the library put at its transparent entry: the nearest opaque one.
        int best = 1;
        int64_t bestDistance = std::numeric_limits<int64_t>::max();
        for (int e = 1; e < next; ++e) {
            int64_t distance = 0;
            for (int c = 0; c < 3; ++c) distance += (px[c] - out.palette[e][c]) * (px[c] - out.palette[e][c]);
            if (distance < bestDistance) bestDistance = distance, best = e;
        }
        out.indices[p] = static_cast<uint8_t>(best);
    }
    return out;
}

// One palette for the image, remapped once for each of dithers.
std::vector<IndexedImage> QuantiseWays(const RgbaImage& image, std::initializer_list<bool> dithers) {
    IndexedImage out;
    out.width = image.width;
    out.height = image.height;
    const size_t count = static_cast<size_t>(image.width) * image.height;
    out.indices.assign(count, 0);
    // Holes as one transparent colour, everything else opaque: the palette
    // then has at most one entry for holes, and the remap never mixes the two.
    std::vector<uint8_t> rgba(image.pixels);
    double sum[3] = {0, 0, 0};
    size_t opaque = 0;
    for (size_t p = 0; p < count; ++p) {
        uint8_t* px = &rgba[4 * p];
        if (px[3] < kHoleAlpha) {
            px[0] = px[1] = px[2] = px[3] = 0;
        } else {
            px[3] = 255;
            for (int c = 0; c < 3; ++c) sum[c] += px[c];
            ++opaque;
        }
    }
    if (opaque)
        for (int c = 0; c < 3; ++c) out.palette[0][c] = static_cast<uint8_t>(std::lround(sum[c] / opaque));
    if (!opaque || count == 0) return std::vector<IndexedImage>(dithers.size(), out);

    // One thread: libimagequant parallelises with OpenMP, whose thread pool
    // does not survive a fork, and the model reader runs in a forked child of
    // a process that may have converted a texture before. (The Windows build
    // of libimagequant has no OpenMP: one thread there too.)
#ifdef VANTREL_IMAGEQUANT_OPENMP
    omp_set_num_threads(1);
#endif
    Attr attr(liq_attr_create());
    Image liqImage;
    Result result;
    if (attr && liq_set_max_colors(attr.get(), 255) == LIQ_OK && liq_set_speed(attr.get(), 4) == LIQ_OK) {
        liqImage.reset(liq_image_create_rgba(attr.get(), rgba.data(), image.width, image.height, 0));
        liq_result* raw = nullptr;
        if (liqImage && liq_image_quantize(liqImage.get(), attr.get(), &raw) == LIQ_OK) result.reset(raw);
    }
    std::vector<IndexedImage> ways;
    for (bool dither : dithers) {
        std::vector<uint8_t> remapped(count, 0);
        bool done = false;
        if (result) {
            liq_set_dithering_level(result.get(), dither ? 1.0f : 0.0f);
            done = liq_write_remapped_image(result.get(), liqImage.get(), remapped.data(), remapped.size()) == LIQ_OK;
        }
        ways.push_back(Remapped(out, rgba, remapped, done ? liq_get_palette(result.get()) : nullptr));
    }
    return ways;
}

}  // namespace

IndexedImage Quantise(const RgbaImage& image, bool dither) { return QuantiseWays(image, {dither}).front(); }


double Psnr(const RgbaImage& source, const IndexedImage& indexed) {
    double error = 0;
    int64_t samples = 0;
    const size_t count = static_cast<size_t>(source.width) * source.height;
    for (size_t p = 0; p < count && p < indexed.indices.size(); ++p) {
        if (source.pixels[4 * p + 3] < kHoleAlpha) continue;
        const auto& colour = indexed.palette[indexed.indices[p]];
        for (int c = 0; c < 3; ++c) {
            const double d = static_cast<double>(source.pixels[4 * p + c]) - colour[c];
            error += d * d;
        }
        samples += 3;
    }
    return PsnrOf(error, samples);
}

double BlurredPsnr(const RgbaImage& source, const IndexedImage& indexed) {
    double error = 0;
    int64_t samples = 0;
    const int w = source.width, h = source.height;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t p = static_cast<size_t>(y) * w + x;
            if (source.pixels[4 * p + 3] < kHoleAlpha) continue;
            for (int c = 0; c < 3; ++c) {
                const double a = Blurred(w, h, x, y, [&](int u, int v) {
                    return static_cast<double>(source.pixels[4 * (static_cast<size_t>(v) * w + u) + c]);
                });
                const double b = Blurred(w, h, x, y, [&](int u, int v) {
                    return static_cast<double>(indexed.palette[indexed.indices[static_cast<size_t>(v) * w + u]][c]);
                });
                error += (a - b) * (a - b);
                ++samples;
            }
        }
    return PsnrOf(error, samples);
}

IndexedImage ColourTexture(float red, float green, float blue) {
    IndexedImage image;
    image.width = image.height = 8;
    image.palette[1] = {ToSrgbByte(red), ToSrgbByte(green), ToSrgbByte(blue)};
    image.palette[0] = image.palette[1];
    image.indices.assign(64, 1);
    return image;
}

std::vector<uint8_t> EncodeBmp(const IndexedImage& image) {
    constexpr uint32_t kPalette = 256, kDataOffset = 14 + 40 + 4 * kPalette;
    const uint32_t row = (static_cast<uint32_t>(image.width) + 3) & ~3u;
    const uint32_t pixels = row * static_cast<uint32_t>(image.height);
    std::vector<uint8_t> out = {'B', 'M'};
    out.reserve(kDataOffset + pixels);
    PutU32(out, kDataOffset + pixels);
    PutU32(out, 0);
    PutU32(out, kDataOffset);
    PutU32(out, 40);  // BITMAPINFOHEADER
    PutU32(out, static_cast<uint32_t>(image.width));
    PutU32(out, static_cast<uint32_t>(image.height));  // positive: bottom row first
    out.insert(out.end(), {1, 0, 8, 0});               // one plane, 8 bits per pixel
    PutU32(out, 0);                                    // uncompressed
    PutU32(out, pixels);
    PutU32(out, 2835);  // 72 dots per inch
    PutU32(out, 2835);
    PutU32(out, kPalette);
    PutU32(out, 0);
    for (const auto& colour : image.palette) out.insert(out.end(), {colour[2], colour[1], colour[0], 0});
    for (int y = image.height - 1; y >= 0; --y) {
        const auto first = image.indices.begin() + static_cast<ptrdiff_t>(y) * image.width;
        out.insert(out.end(), first, first + image.width);
        out.resize(out.size() + (row - static_cast<uint32_t>(image.width)), 0);
    }
    return out;
}

ConvertedTexture ConvertTexture(const RgbaImage& source, int maxSide) {
    ConvertedTexture converted;
    const RgbaImage sized = ResampleToPowerOfTwo(source, maxSide);
    std::vector<IndexedImage> ways = QuantiseWays(sized, {false, true});
    IndexedImage& chosen = ways[0];
    converted.psnr = Psnr(sized, ways[0]);
    // Dithering trades per-pixel error for smooth gradients: kept only where
    // it shows the image better from a distance and stays close up close.
    const double ditheredPsnr = Psnr(sized, ways[1]);
    if (converted.psnr < std::numeric_limits<double>::infinity() && ditheredPsnr >= 32 &&
        BlurredPsnr(sized, ways[1]) > BlurredPsnr(sized, ways[0]) + 0.5) {
        chosen = ways[1];
        converted.psnr = ditheredPsnr;
        converted.dithered = true;
    }
    converted.width = chosen.width;
    converted.height = chosen.height;
    converted.holes = std::find(chosen.indices.begin(), chosen.indices.end(), 0) != chosen.indices.end();
    converted.bmp = EncodeBmp(chosen);
    return converted;
}

ConvertedTexture ConvertTexture(const uint8_t* bytes, size_t size, int maxSide) {
    RgbaImage image;
    ConvertedTexture converted;
    if (Error error = DecodeImage(bytes, size, image)) {
        converted.error = std::move(error.message);
        return converted;
    }
    return ConvertTexture(image, maxSide);
}

}  // namespace hm
