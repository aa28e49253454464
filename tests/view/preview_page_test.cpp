// The page as written: what it holds unpacks to the set read, and it asks
// the network for nothing. Textures in the engine's PCX come out as PNG.
#include "view/preview_page.h"
#include "view/texture_image.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <stb_image.h>
#include <zlib.h>

#include <fstream>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> Base64(const std::string& text) {
    std::vector<uint8_t> out;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        const char* at = std::strchr(digits, c);
        if (c == '=' || !at) continue;
        bits = bits << 6 | static_cast<uint32_t>(at - digits);
        if ((count += 6) >= 8) out.push_back(static_cast<uint8_t>(bits >> (count -= 8)));
    }
    return out;
}

std::string Gunzip(const std::vector<uint8_t>& in) {
    z_stream stream{};
    inflateInit2(&stream, 15 + 16);
    std::string out(1 << 20, '\0');
    stream.next_in = const_cast<Bytef*>(in.data());
    stream.avail_in = static_cast<uInt>(in.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    inflateEnd(&stream);
    return out;
}

TEST(PreviewPage, HoldsTheSetAndFetchesNothing) {
    ScratchDir dir;
    const std::string golden = std::string(GOLDEN_DIR) + "/Sample.uc";
    view::ExportedSet set = view::ReadExportedSet(golden);
    Error error = view::WritePreviewPage(set, dir / "Sample.html");
    ASSERT_FALSE(error) << error.message;
    const std::string page = ReadFile(dir / "Sample.html");
    for (const char* absent : {"http:", "https:", "src=", "href=", "@STYLE@", "@SCRIPT@", "@DATA@", "@TITLE@"})
        EXPECT_EQ(page.find(absent), std::string::npos) << absent;

    std::string encoded;
    const std::string open = "class=\"set-data\">";
    for (size_t at = page.find(open); at != std::string::npos; at = page.find(open, at)) {
        at += open.size();
        encoded += page.substr(at, page.find("</script>", at) - at);
    }
    const std::string blob = Gunzip(Base64(encoded));
    uint32_t length;
    std::memcpy(&length, blob.data(), 4);
    const auto meta = nlohmann::json::parse(blob.substr(4, length));
    const size_t sections = (4 + length + 7) / 8 * 8;
    EXPECT_EQ(meta["vertexCount"], 24);
    EXPECT_EQ(meta["frameCount"], 48);
    EXPECT_EQ(meta["problems"].size(), set.problems.size());
    const std::string anim = ReadFile(std::string(GOLDEN_DIR) + "/Sample_a.3d");
    // Frames are stored as differences from the frame before.
    std::string frames = blob.substr(sections + meta["frames"]["offset"].get<size_t>(), meta["frames"]["length"]);
    ASSERT_EQ(frames.size(), anim.size() - 4);
    auto word = [&](size_t at) {
        return static_cast<uint16_t>(static_cast<uint8_t>(frames[at]) | static_cast<uint8_t>(frames[at + 1]) << 8);
    };
    for (size_t at = 192; at + 1 < frames.size(); at += 2) {
        uint16_t sum = static_cast<uint16_t>(word(at) + word(at - 192));
        frames[at] = static_cast<char>(sum), frames[at + 1] = static_cast<char>(sum >> 8);
    }
    EXPECT_EQ(frames, anim.substr(4));
    const std::string data = ReadFile(std::string(GOLDEN_DIR) + "/Sample_d.3d");
    const std::string polygons = blob.substr(sections + meta["polygons"]["offset"].get<size_t>(), meta["polygons"]["length"]);
    ASSERT_EQ(polygons.size(), data.size() - 48);
    for (size_t i = 0; i < polygons.size(); i += 16) {
        EXPECT_EQ(polygons.substr(i, 6), data.substr(48 + i, 6)) << i;        // corners
        EXPECT_EQ(polygons.substr(i + 8, 7), data.substr(48 + i + 8, 7)) << i;  // texture coordinates, slot
    }

    error = view::WritePreviewPage(set, dir / "no/such/folder/Sample.html");
    EXPECT_EQ(error.kind, ErrorKind::kWriteFailed);
    EXPECT_NE(error.message.find("no/such/folder/Sample.html"), std::string::npos) << error.message;
}

// An 8-bit PCX of 3 x 1 pixels (lines padded to 4 bytes), run-length encoded.
std::string PalettedPcx() {
    std::string pcx(128, '\0');
    pcx[0] = 0x0A, pcx[1] = 5, pcx[2] = 1, pcx[3] = 8;
    pcx[8] = 2;   // xmax
    pcx[65] = 1;  // planes
    pcx[66] = 4;  // bytes per line
    pcx += std::string{static_cast<char>(0xC2), 1, 2, 0};  // 1, 1, 2, padding
    pcx += '\x0C';
    std::string palette(768, '\0');
    palette[3] = 10, palette[4] = 20, palette[5] = 30, palette[6] = static_cast<char>(200);
    return pcx + palette;
}

TEST(TextureImage, PcxBecomesPngOfTheSamePixels) {
    ScratchDir dir;
    std::ofstream(dir / "skin.pcx", std::ios::binary) << PalettedPcx();
    view::PngImage image;
    Error error = view::LoadImageAsPng(dir / "skin.pcx", image);
    ASSERT_FALSE(error) << error.message;
    int width, height, channels;
    stbi_uc* pixels = stbi_load_from_memory(image.bytes.data(), static_cast<int>(image.bytes.size()), &width, &height,
                                            &channels, 4);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(width, 3);
    EXPECT_EQ(height, 1);
    EXPECT_EQ(std::vector<int>(pixels, pixels + 12), (std::vector<int>{10, 20, 30, 255, 10, 20, 30, 255, 200, 0, 0, 255}));
    stbi_image_free(pixels);

    std::string cut = PalettedPcx();
    cut.erase(129, 3);
    std::ofstream(dir / "cut.pcx", std::ios::binary) << cut;
    error = view::LoadImageAsPng(dir / "cut.pcx", image);
    EXPECT_EQ(error.kind, ErrorKind::kBadInput);
    EXPECT_EQ(error.message, "PCX cut short");
}

// Files a few bytes long that claim vast images: each refused before its
// pixels are allocated (a 70-byte BMP took 2.1 GB and 50 s, a 144-byte PCX 790 MB).
std::string Put(std::string bytes, size_t at, uint64_t value, int size, bool bigEndian = false) {
    for (int i = 0; i < size; ++i) bytes[at + i] = static_cast<char>(value >> 8 * (bigEndian ? size - 1 - i : i));
    return bytes;
}

std::string BmpClaiming(uint32_t side, int bits) {
    std::string bmp(70, '\0');
    bmp[0] = 'B', bmp[1] = 'M';
    for (auto [at, value] : {std::pair<size_t, uint32_t>{2, 70}, {10, 70}, {14, 40}, {18, side}, {22, side}, {46, 4}})
        bmp = Put(bmp, at, value, 4);
    bmp[26] = 1, bmp[28] = static_cast<char>(bits);
    return bmp;
}

struct Claim {
    const char* what;
    std::string bytes;
    const char* reason;  // a part of the error's message
};

TEST(TextureImage, SidesAreCheckedAgainstTheBytesPresent) {
    std::string pcx = PalettedPcx().substr(0, 128) + std::string(16, '\xFF');
    pcx = Put(Put(Put(pcx, 8, 8191, 2), 10, 8191, 2), 66, 8192, 2);
    pcx[65] = 3;
    std::string png = "\x89PNG\r\n\x1A\n" + std::string(4, '\0') + "IHDR" + std::string(13 + 4 + 12, '\0');
    png = Put(Put(Put(png, 8, 13, 4, true), 16, 8192, 4, true), 20, 8192, 4, true);
    png[24] = 8, png[25] = 6;
    std::string tga(18 + 16, '\0');
    tga[2] = 2, tga[16] = 32;
    tga = Put(Put(tga, 12, 8192, 2), 14, 8192, 2);
    const Claim claims[] = {
        {"a 70-byte 8-bit BMP of 8192 x 8192", BmpClaiming(8192, 8),
         "claims 8192 x 8192 pixels in 70 bytes, which cannot hold them"},
        {"a 70-byte 24-bit BMP of 8192 x 8192", BmpClaiming(8192, 24), "in 70 bytes, which cannot hold them"},
        {"a 70-byte BMP of 16384 x 16384", BmpClaiming(16384, 8),
         "claims 16384 x 16384 pixels, more than the 8192 a side read"},
        {"a 144-byte PCX of 8192 x 8192 in 3 planes", pcx, "claims 8192 x 8192 pixels in 144 bytes"},
        {"a PNG header of 8192 x 8192", png, "claims 8192 x 8192 pixels in 45 bytes"},
        {"a TGA header of 8192 x 8192", tga, "claims 8192 x 8192 pixels in 34 bytes"},
    };
    ScratchDir dir;
    for (const Claim& claim : claims) {
        std::ofstream(dir / "claim", std::ios::binary) << claim.bytes;
        view::PngImage image;
        const Error error = view::LoadImageAsPng(dir / "claim", image);
        EXPECT_EQ(error.kind, ErrorKind::kBadInput) << claim.what;
        EXPECT_NE(error.message.find(claim.reason), std::string::npos) << claim.what << ": " << error.message;
        EXPECT_TRUE(image.bytes.empty()) << claim.what;
    }
}

// Pages are shared: they name the set's files relative to it and a source
// image by its name, never by a folder of the machine that wrote them.
TEST(PreviewPage, NamesNoFolderOfTheMachine) {
    ScratchDir dir;
    const fs::path set = fs::absolute(dir.Path()) / "Mods/Sample";
    fs::create_directories(set / "textures");
    fs::create_directories(dir.Path() / "TexTest/Orig");
    for (const char* name : {"Sample_d.3d", "Sample_a.3d", "Sample.uc"}) fs::copy_file(fs::path(GOLDEN_DIR) / name, set / name);
    std::ofstream(set / "textures/SampleBody.bmp", std::ios::binary) << BmpClaiming(8192, 8);  // unreadable: a problem
    std::ofstream(set / "textures/SampleArm.bmp", std::ios::binary) << PalettedPcx();
    std::ofstream(dir / "TexTest/Orig/arm_skin.pcx", std::ios::binary) << PalettedPcx();
    view::ReadOptions options;
    options.sourceImages["SampleArm.bmp"] = (fs::absolute(dir.Path()) / "TexTest/Orig/arm_skin.pcx").string();
    const view::ExportedSet read = view::ReadExportedSet((set / "Sample.uc").string(), options);
    ASSERT_FALSE(read.Consistent());
    std::string html;
    const Error error = view::BuildPreviewPage(read, html);
    ASSERT_FALSE(error) << error.message;

    std::string encoded;
    const std::string open = "class=\"set-data\">";
    for (size_t at = html.find(open); at != std::string::npos; at = html.find(open, at)) {
        at += open.size();
        encoded += html.substr(at, html.find("</script>", at) - at);
    }
    const std::string blob = Gunzip(Base64(encoded));
    uint32_t length;
    std::memcpy(&length, blob.data(), 4);
    const std::string meta = blob.substr(4, length);
    EXPECT_EQ(meta.find(fs::absolute(dir.Path()).string()), std::string::npos) << meta;
    EXPECT_EQ(html.find(fs::absolute(dir.Path()).string()), std::string::npos);
    const auto json = nlohmann::json::parse(meta);
    EXPECT_EQ(json["textures"][0]["found"], "textures/SampleBody.bmp");
    EXPECT_EQ(json["textures"][1]["source"], "arm_skin.pcx");
}

}  // namespace
