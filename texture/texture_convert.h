// Source images into the one kind of texture every importer of the engine
// reads as painted: 8-bit palettised BMP, sides powers of two, entry 0 kept
// for the holes a masked import shows as see-through.
#pragma once

#include "host/error.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hm {

// Every renderer of the engine takes 256; some take up to 2048.
inline constexpr int kDefaultTextureSide = 256;
inline constexpr int kMaxTextureSide = 2048;

struct RgbaImage {
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;  // 4 bytes a pixel (sRGB, straight alpha), top row first
};

struct IndexedImage {
    int width = 0, height = 0;
    std::array<std::array<uint8_t, 3>, 256> palette{};  // red, green, blue
    std::vector<uint8_t> indices;                        // a byte a pixel, top row first
};

// stb's decoders (PNG, JPEG, TGA, BMP, GIF, PSD, HDR, PIC, PNM). kBadInput,
// with the decoder's reason, for anything else; an image of more than 64
// million pixels or a side over 16384 is refused before it is decoded.
Error DecodeImage(const uint8_t* bytes, size_t size, RgbaImage& image);

// The power of two nearest to side (by ratio), at most maxSide, at least 1.
int PowerOfTwoSide(int side, int maxSide);

// Both sides resampled to PowerOfTwoSide with a Mitchell filter (Catmull-Rom
// when enlarging) in linear light, alpha-weighted so that the colour of holes
// does not bleed into their edges.
RgbaImage ResampleToPowerOfTwo(const RgbaImage& image, int maxSide);

// At most 255 colours (libimagequant) at entries 1 to 255. A pixel with
// alpha below one half is entry 0 and no other pixel is. Entry 0 holds the
// mean of the opaque pixels, so that an unmasked import shows no dark fringe.
// dither: Floyd-Steinberg error diffusion at full strength.
IndexedImage Quantise(const RgbaImage& image, bool dither);

// Peak signal-to-noise ratio (dB, over red, green and blue) of the indexed
// image against the image it was made from, over the pixels that are not
// holes in the source; infinity when they are equal.
double Psnr(const RgbaImage& source, const IndexedImage& indexed);

// The same after a 3 x 3 box blur of both: what the eye sees from a
// distance, where dithering's noise averages out but banding does not.
double BlurredPsnr(const RgbaImage& source, const IndexedImage& indexed);

// 8 x 8 pixels of one colour at entry 1. The colour is linear (as materials
// hold it), 0 to 1; the image holds it in sRGB, as the artist saw it.
IndexedImage ColourTexture(float red, float green, float blue);

// Uncompressed 8-bit BMP (BITMAPINFOHEADER, 256-entry palette, rows bottom up).
std::vector<uint8_t> EncodeBmp(const IndexedImage& image);

struct ConvertedTexture {
    std::vector<uint8_t> bmp;  // empty when the source did not decode
    std::string error;         // the decoder's reason then
    int width = 0, height = 0;
    bool holes = false;        // some pixel is entry 0
    bool dithered = false;
    double psnr = 0;           // against the resampled source
};

// Decode, resample, quantise with dithering where it wins (the higher
// blurred PSNR, while the plain PSNR stays at least 32 dB), encode.
ConvertedTexture ConvertTexture(const RgbaImage& source, int maxSide);
ConvertedTexture ConvertTexture(const uint8_t* bytes, size_t size, int maxSide);

}  // namespace hm
