#include "bench/texture_measure.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace {

double Hash(int x, int y, int seed) {
    uint32_t h = static_cast<uint32_t>(x) * 374761393u + static_cast<uint32_t>(y) * 668265263u + static_cast<uint32_t>(seed) * 2246822519u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return ((h ^ (h >> 16)) & 0xFFFFFF) / double(0xFFFFFF);
}

// Value noise, smoothly interpolated, summed over octaves: 0 to about 1.
double Fractal(double x, double y, int seed, int octaves) {
    double sum = 0, amplitude = 0.5;
    for (int o = 0; o < octaves; ++o, x *= 2, y *= 2, amplitude /= 2) {
        const int ix = static_cast<int>(std::floor(x)), iy = static_cast<int>(std::floor(y));
        const double fx = x - ix, fy = y - iy, sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
        const double a = Hash(ix, iy, seed + o), b = Hash(ix + 1, iy, seed + o), c = Hash(ix, iy + 1, seed + o),
                     d = Hash(ix + 1, iy + 1, seed + o);
        sum += amplitude * ((a + (b - a) * sx) * (1 - sy) + (c + (d - c) * sx) * sy);
    }
    return sum;
}

uint8_t Byte(double v) { return static_cast<uint8_t>(std::clamp(v, 0.0, 255.0)); }

}  // namespace

hm::RgbaImage GeneratePhoto(int kind, int width, int height) {
    hm::RgbaImage image{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height * 4, 255)};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double u = double(x) / width, v = double(y) / height;
            const double grain = (Hash(x, y, 99) - 0.5) * 6;
            double r, g, b;
            if (kind == 0) {
                const double hill = 0.55 + 0.12 * Fractal(u * 3, 0.5, 7, 4);
                if (v < hill) {
                    const double cloud = std::max(0.0, Fractal(u * 4, v * 8, 3, 6) - 0.45) * 2.5;
                    r = 90 + 90 * v + 160 * cloud, g = 140 + 70 * v + 110 * cloud, b = 230 - 20 * v + 25 * cloud;
                } else {
                    const double grass = Fractal(u * 60, v * 90, 11, 4);
                    r = 50 + 70 * grass, g = 90 + 110 * grass - 40 * (v - hill), b = 30 + 30 * grass;
                }
            } else {
                const double horizon = 0.6, sun = std::hypot(u - 0.62, (v - 0.52) * 1.4);
                const double glow = std::exp(-sun * 9) * 200;
                if (v < horizon) {
                    r = 250 - 120 * (horizon - v) + glow, g = 120 - 60 * (horizon - v) + glow * 0.8, b = 90 + 90 * (horizon - v);
                } else {
                    const double ripple = Fractal(u * 8, v * 70, 5, 3) - 0.5;
                    const double reflect = std::exp(-std::abs(u - 0.62) * 6) * (1 - (v - horizon)) * 140;
                    r = 120 + reflect + 50 * ripple, g = 60 + reflect * 0.7 + 30 * ripple, b = 80 + 40 * ripple;
                }
            }
            uint8_t* p = &image.pixels[(static_cast<size_t>(y) * width + x) * 4];
            p[0] = Byte(r + grain), p[1] = Byte(g + grain), p[2] = Byte(b + grain);
        }
    return image;
}

int TextureMode(const std::vector<std::string>& files, int maxSide) {
    std::printf("| image | source | texture | PSNR plain | PSNR dithered | blurred plain | blurred dithered | kept |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    const auto row = [&](const std::string& name, const hm::RgbaImage& source) {
        const hm::RgbaImage sized = hm::ResampleToPowerOfTwo(source, maxSide);
        const hm::IndexedImage plain = hm::Quantise(sized, false), dithered = hm::Quantise(sized, true);
        const hm::ConvertedTexture kept = hm::ConvertTexture(source, maxSide);
        std::printf("| %s | %d x %d | %d x %d | %.1f dB | %.1f dB | %.1f dB | %.1f dB | %s |\n", name.c_str(),
                    source.width, source.height, sized.width, sized.height, hm::Psnr(sized, plain),
                    hm::Psnr(sized, dithered), hm::BlurredPsnr(sized, plain), hm::BlurredPsnr(sized, dithered),
                    kept.dithered ? "dithered" : "plain");
    };
    row("landscape (made here)", GeneratePhoto(0, 1024, 768));
    row("sunset (made here)", GeneratePhoto(1, 1024, 768));
    for (const std::string& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        hm::RgbaImage image;
        if (const Error error = hm::DecodeImage(bytes.data(), bytes.size(), image)) {
            std::printf("| %s | %s | | | | | | |\n", file.c_str(), error.message.c_str());
            continue;
        }
        row(file.substr(file.find_last_of('/') + 1), image);
    }
    return 0;
}
