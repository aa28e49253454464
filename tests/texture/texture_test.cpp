// Textures as the engine imports them: converted images, colour textures,
// and the importer's choice of which images it may read and how it names them.
#include "import/model_import.h"
#include "texture/texture_convert.h"
#include "tests/import/test_files.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <stb_image_resize.h>
#include <stb_image_write.h>

#include <cmath>
#include <cstring>
#include <filesystem>

namespace {

namespace fs = std::filesystem;

// Sky-like gradients with a few hard edges: what a photograph asks of a palette.
hm::RgbaImage Photo(int width, int height, bool holedEdge = false) {
    hm::RgbaImage image{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height * 4)};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &image.pixels[(static_cast<size_t>(y) * width + x) * 4];
            const double u = double(x) / width, v = double(y) / height;
            p[0] = static_cast<uint8_t>(120 + 100 * std::sin(6 * u + 2 * v));
            p[1] = static_cast<uint8_t>(v < 0.6 ? 90 + 150 * v : 40 + 60 * u);
            p[2] = static_cast<uint8_t>(200 - 160 * v * v + (x / 16 % 2) * 20);
            const bool edge = x < width / 8 || y < height / 8 || x >= width - width / 8 || y >= height - height / 8;
            p[3] = holedEdge && edge ? (x + y) % 100 : 255;  // holes of alpha 0 to 99
        }
    return image;
}

// The photo with the given alphas in turn, pixel after pixel.
hm::RgbaImage Alphas(int width, int height, std::vector<uint8_t> alphas) {
    hm::RgbaImage image = Photo(width, height);
    for (size_t p = 0; p < image.pixels.size() / 4; ++p) image.pixels[4 * p + 3] = alphas[p % alphas.size()];
    return image;
}

std::vector<uint8_t> Encoded(const hm::RgbaImage& image, bool jpeg) {
    std::vector<uint8_t> out;
    const auto append = [](void* context, void* data, int size) {
        auto* bytes = static_cast<std::vector<uint8_t>*>(context);
        bytes->insert(bytes->end(), static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
    };
    if (jpeg) stbi_write_jpg_to_func(append, &out, image.width, image.height, 4, image.pixels.data(), 95);
    else stbi_write_png_to_func(append, &out, image.width, image.height, 4, image.pixels.data(), image.width * 4);
    return out;
}

uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
    uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

// An 8-bit BMP read back by its own header, as the engine's importer reads it.
struct Bmp {
    int width = 0, height = 0, bits = 0;
    std::vector<uint8_t> indices;  // top row first
    std::vector<uint8_t> rgba;
};
Bmp ReadBmp(const std::vector<uint8_t>& b) {
    Bmp bmp;
    if (b.size() < 54 || b[0] != 'B' || b[1] != 'M') return bmp;
    bmp.width = static_cast<int>(U32(b, 18));
    bmp.height = static_cast<int>(U32(b, 22));
    bmp.bits = b[28];
    const size_t stride = (static_cast<size_t>(bmp.width) + 3) & ~size_t{3}, data = U32(b, 10);
    for (int y = bmp.height - 1; y >= 0; --y)
        for (int x = 0; x < bmp.width; ++x) {
            const uint8_t index = b.at(data + stride * y + x);
            bmp.indices.push_back(index);
            bmp.rgba.insert(bmp.rgba.end(), {b[54 + 4 * index + 2], b[54 + 4 * index + 1], b[54 + 4 * index], 255});
        }
    return bmp;
}

double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    double error = 0;
    size_t n = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (i % 4 != 3) error += (double(a[i]) - b[i]) * (double(a[i]) - b[i]), ++n;
    return 10 * std::log10(255.0 * 255.0 * n / error);
}

TEST(TextureConvert, PowerOfTwoSides) {
    const struct { int side, max, expected; } cases[] = {
        {256, 256, 256}, {300, 256, 256}, {100, 256, 128}, {90, 256, 64}, {181, 256, 128}, {182, 256, 256},
        {1000, 256, 256}, {1000, 2048, 1024}, {3000, 2048, 2048}, {1, 256, 1}, {3, 2048, 4},
    };
    for (const auto& c : cases) EXPECT_EQ(hm::PowerOfTwoSide(c.side, c.max), c.expected) << c.side << " " << c.max;
}

// Holes at entry 0 and nothing else there; sides powers of two; the look kept.
TEST(TextureConvert, ImagesBecomePalettisedBmpsThatLookTheSame) {
    const struct {
        const char* what;
        hm::RgbaImage image;
        bool jpeg;
        int maxSide, width, height;
    } cases[] = {
        {"transparent-edged PNG", Photo(64, 64, true), false, 256, 64, 64},
        {"non-square JPEG of other sides", Photo(300, 170), true, 256, 256, 128},
        {"larger than the default", Photo(600, 600), false, 256, 256, 256},
        {"--texture-size 1024", Photo(600, 600), false, 1024, 512, 512},
        {"alpha 127 a hole, 128 not", Alphas(64, 64, {127, 128}), false, 256, 64, 64},
    };
    for (const auto& c : cases) {
        const std::vector<uint8_t> file = Encoded(c.image, c.jpeg);
        const hm::ConvertedTexture converted = hm::ConvertTexture(file.data(), file.size(), c.maxSide);
        Bmp bmp = ReadBmp(converted.bmp);
        ASSERT_EQ(bmp.bits, 8) << c.what << converted.error;
        EXPECT_EQ(bmp.width, c.width) << c.what;
        EXPECT_EQ(bmp.height, c.height) << c.what;
        // The source at the texture's size, by another resampler, holes marked.
        hm::RgbaImage decoded;
        ASSERT_FALSE(hm::DecodeImage(file.data(), file.size(), decoded));
        std::vector<uint8_t> sized(static_cast<size_t>(bmp.width) * bmp.height * 4);
        stbir_resize_uint8(decoded.pixels.data(), decoded.width, decoded.height, 0, sized.data(), bmp.width,
                           bmp.height, 0, 4);
        for (size_t p = 0; p < bmp.indices.size(); ++p) {
            if (c.width == c.image.width) {
                ASSERT_EQ(bmp.indices[p] == 0, decoded.pixels[4 * p + 3] < 128) << c.what << p;
            }
            if (bmp.indices[p] != 0) continue;  // a hole: its colour is no one's
            for (int k = 0; k < 3; ++k) sized[4 * p + k] = bmp.rgba[4 * p + k] = 0;
        }
        EXPECT_GE(Psnr(sized, bmp.rgba), 32) << c.what;
    }
}

TEST(TextureConvert, ColourTextureHasNoPixelAtEntryZero) {
    const Bmp bmp = ReadBmp(hm::EncodeBmp(hm::ColourTexture(1.0f, 0.2159f, 0.0f)));
    EXPECT_EQ(bmp.width, 8);
    EXPECT_EQ(bmp.indices, std::vector<uint8_t>(64, 1));
    EXPECT_EQ((std::vector<int>{bmp.rgba[0], bmp.rgba[1], bmp.rgba[2]}), (std::vector<int>{255, 128, 0}));  // sRGB
}

class ImportedTextures : public ::testing::Test {
protected:
    hm::ImportResult Import(const std::vector<test_files::GltfMaterial>& materials,
                            std::vector<std::string> textureFolders = {}) {
        fs::create_directories(dir / "model");
        test_files::WriteText(dir / "model/m.gltf", test_files::MaterialsGltf(materials));
        hm::ImportOptions options;
        options.textureFolders = std::move(textureFolders);
        return hm::ImportModel(dir / "model/m.gltf", options);
    }
    std::string Warnings(const hm::ImportResult& result) {
        std::string all;
        for (const hm::Warning& warning : result.warnings)
            if (warning.kind == hm::WarningKind::TextureRefused || warning.kind == hm::WarningKind::MissingTexture)
                all += warning.text + "\n";
        return all;
    }
    testing_support::ScratchDir dir;
};

TEST_F(ImportedTextures, ImageInsideTheFileIsConverted) {
    const hm::ImportResult result = Import({{.name = "Skin", .embeddedPng = Encoded(Photo(40, 20, true), false)}});
    ASSERT_TRUE(result.model) << result.error.message;
    ASSERT_EQ(result.textures.size(), 1u);
    EXPECT_EQ(result.model->materials[0]->diffuseTexture, result.textures[0].fileName);
    const Bmp bmp = ReadBmp(result.textures[0].bytes);
    EXPECT_EQ(std::make_pair(bmp.width, bmp.height), std::make_pair(32, 16));
    EXPECT_NE(std::count(bmp.indices.begin(), bmp.indices.end(), 0), 0);  // its holes
}

TEST_F(ImportedTextures, LongNamesSharingAPrefixKeepTheirEndsApart) {
    const std::string prefix = "character_body_armour_diffuse_";
    const hm::ImportResult result = Import({{.name = prefix + "left"}, {.name = prefix + "right"}});
    ASSERT_TRUE(result.model) << result.error.message;
    ASSERT_EQ(result.textures.size(), 2u);
    EXPECT_NE(result.textures[0].fileName, result.textures[1].fileName);
    EXPECT_EQ(result.textures[0].fileName.substr(result.textures[0].fileName.size() - 9), "_left.bmp");
    EXPECT_EQ(result.textures[1].fileName.substr(result.textures[1].fileName.size() - 10), "_right.bmp");
    for (const hm::TextureFile& texture : result.textures) EXPECT_LE(texture.fileName.size(), 31u);
}

// A downloaded model names files anywhere on the disk, or files that are no images.
TEST_F(ImportedTextures, OnlyImagesFromTheAllowedFoldersAreRead) {
    fs::create_directories(dir / "elsewhere");
    fs::create_directories(dir / "model");
    const std::vector<uint8_t> png = Encoded(Photo(8, 8), false);
    test_files::WriteText(dir / "elsewhere/secret.png", std::string(png.begin(), png.end()));
    test_files::WriteText(dir / "model/notes.png", "a text file named as an image");
    const std::string absolute = dir / "elsewhere/secret.png";
    const hm::ImportResult result = Import({{.name = "Up", .imageUri = "../elsewhere/secret.png"},
                                            {.name = "Absolute", .imageUri = absolute},
                                            {.name = "Text", .imageUri = "notes.png"}});
    ASSERT_TRUE(result.model) << result.error.message;
    const std::string warnings = Warnings(result);
    for (const std::string& uri : {std::string("../elsewhere/secret.png"), absolute})
        EXPECT_NE(warnings.find("texture '" + uri + "' lies outside the model's folder"), std::string::npos) << warnings;
    EXPECT_NE(warnings.find("texture 'notes.png' not an image the decoder reads"), std::string::npos) << warnings;
    for (const hm::TextureFile& texture : result.textures) {
        EXPECT_TRUE(texture.sourcePath.empty()) << texture.fileName;  // each a colour texture
        EXPECT_EQ(ReadBmp(texture.bytes).width, 8) << texture.fileName;
    }
    // A folder the user names is allowed.
    const hm::ImportResult allowed = Import({{.name = "Up", .imageUri = "../elsewhere/secret.png"}}, {dir / "elsewhere"});
    ASSERT_EQ(allowed.textures.size(), 1u);
    EXPECT_EQ(allowed.textures[0].sourcePath, fs::canonical(absolute).string());
    EXPECT_EQ(Warnings(allowed), "");
}

}  // namespace
