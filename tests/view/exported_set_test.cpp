// The reader on the golden sample and on damaged copies of it: every damage
// is a problem line, never a crash.
#include "view/exported_set.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

std::string Bytes(const std::string& path) { return ReadFile(path); }
void Write(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// 2 x 2, 8-bit palettised as the engine imports textures, no pixel at entry 0
// (or another width or bit depth, or every pixel at entry 0).
std::string SmallBmp(uint32_t width = 2, char bits = 8, bool allAtEntryZero = false) {
    const uint32_t palette = bits == 8 ? 1024 : 0, row = (width * (bits / 8) + 3) & ~3u;
    std::string bmp(54 + palette + 2 * row, '\0');
    auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&bmp[at], &v, 4); };
    bmp[0] = 'B', bmp[1] = 'M';
    put32(2, static_cast<uint32_t>(bmp.size()));
    put32(10, 54 + palette);
    put32(14, 40);
    put32(18, width);
    put32(22, 2);
    bmp[26] = 1, bmp[28] = bits;
    for (size_t i = 54; i < bmp.size(); ++i) bmp[i] = static_cast<char>(i * 37);
    for (size_t i = 54 + palette; i < bmp.size() && bits == 8; ++i) bmp[i] = static_cast<char>(allAtEntryZero ? 0 : 1 + i % 4);
    return bmp;
}

// A copy of the golden set with its two textures in a textures folder.
struct GoldenCopy {
    GoldenCopy() {
        for (const char* name : {"Sample_d.3d", "Sample_a.3d", "Sample.uc"})
            fs::copy_file(fs::path(GOLDEN_DIR) / name, dir.Path() / name);
        fs::create_directory(dir.Path() / "textures");
        Write(dir / "textures/SampleBody.bmp", SmallBmp());
        Write(dir / "textures/SampleArm.bmp", SmallBmp());
    }
    std::string Path(const std::string& name) const { return dir / name; }
    void Replace(const std::string& name, const std::string& from, const std::string& to) const {
        std::string text = Bytes(Path(name));
        size_t at = text.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        Write(Path(name), text.replace(at, from.size(), to));
    }
    ScratchDir dir;
};

int16_t RecordAt(const std::string& anim, size_t at) {
    int16_t value;
    std::memcpy(&value, anim.data() + at, 2);
    return value;
}

TEST(ExportedSet, GoldenSampleIsReadAsTheEngineReadsIt) {
    GoldenCopy golden;
    view::ExportedSet set = view::ReadExportedSet(golden.Path("Sample.3D"));
    EXPECT_TRUE(set.Consistent()) << ::testing::PrintToString(set.problems);
    EXPECT_TRUE(set.notes.empty()) << ::testing::PrintToString(set.notes);
    EXPECT_EQ(set.meshName, "Sample");
    EXPECT_EQ(set.vertexCount, 24u);
    EXPECT_EQ(set.polygons.size(), 36u);
    EXPECT_EQ(set.frameCount, 48u);
    EXPECT_EQ(set.scale, (std::array<float, 3>{0.008235f, 0.008235f, 0.008235f}));
    ASSERT_EQ(set.script.sequences.size(), 1u);
    EXPECT_EQ(set.script.sequences[0].name, "All");
    EXPECT_EQ(set.script.sequences[0].frameCount, 48);
    ASSERT_EQ(set.textures.size(), 3u);
    for (const view::SetTexture& texture : set.textures) {
        EXPECT_EQ(texture.width, 2);
        EXPECT_FALSE(texture.png.empty());
    }

    // Vertex 5 of frame 7 straight from the file's bytes: x, y, z times the scale.
    const std::string anim = Bytes(golden.Path("Sample_a.3d"));
    const size_t at = 4 + 8 * (7 * 24 + 5);
    auto position = view::DecodePosition(set, 7, 5);
    for (int axis = 0; axis < 3; ++axis)
        EXPECT_EQ(position[axis], RecordAt(anim, at + 2 * axis) * 0.008235f) << axis;

    // Any file of the set names it, in any case.
    for (const char* other : {"Sample_d.3d", "Sample_A.3D", "Sample.uc", "Sample.html"}) {
        view::ExportedSet again = view::ReadExportedSet(golden.Path(other));
        EXPECT_TRUE(again.Consistent()) << other;
        EXPECT_EQ(again.records, set.records) << other;
    }
}

struct Damage {
    const char* what;
    std::function<void(const GoldenCopy&)> damage;
    const char* problem;  // a part of one problem line
};

const std::string kScaleLine = "#exec MESHMAP SCALE MESHMAP=Sample X=0.008235 Y=0.008235 Z=0.008235";

const Damage kDamages[] = {
    {"data file cut inside a record",
     [](const GoldenCopy& g) { fs::resize_file(g.Path("Sample_d.3d"), 48 + 16 * 10 + 7); },
     "Sample_d.3d: 7 bytes after the last whole triangle record"},
    {"data file cut to whole records",
     [](const GoldenCopy& g) { fs::resize_file(g.Path("Sample_d.3d"), 48 + 16 * 10); },
     "Sample_d.3d: the header counts 36 triangles, the file holds 10 (cut short)"},
    {"data file shorter than its header", [](const GoldenCopy& g) { fs::resize_file(g.Path("Sample_d.3d"), 20); },
     "Sample_d.3d: 20 bytes, shorter than its 48-byte header"},
    {"a corner past the vertices",
     [](const GoldenCopy& g) {
         std::string data = Bytes(g.Path("Sample_d.3d"));
         data[48 + 16 * 3 + 2] = static_cast<char>(0xE7), data[48 + 16 * 3 + 3] = 3;  // 999
         Write(g.Path("Sample_d.3d"), data);
     },
     "Sample_d.3d: triangle 3 corner 1 names vertex 999, past the 24 vertices of a frame"},
    {"more vertices than a frame size holds",
     [](const GoldenCopy& g) {
         std::string data = Bytes(g.Path("Sample_d.3d"));
         data[2] = static_cast<char>(9000 & 255), data[3] = static_cast<char>(9000 >> 8);
         Write(g.Path("Sample_d.3d"), data);
     },
     "9000 vertices take 72000 bytes a frame, more than the 16-bit frame size can state"},
    {"frame size against vertex count",
     [](const GoldenCopy& g) {
         std::string anim = Bytes(g.Path("Sample_a.3d"));
         anim[2] = 8;
         Write(g.Path("Sample_a.3d"), anim);
     },
     "the frame size is 8 bytes, but 24 vertices take 192"},
    {"animation file cut short",
     [](const GoldenCopy& g) { fs::resize_file(g.Path("Sample_a.3d"), 4 + 192 * 47 + 100); },
     "the header says 48 frames of 24 vertices (9220 bytes), the file holds 9128 bytes: 47 whole frames"},
    {"bytes after the frames",
     [](const GoldenCopy& g) { fs::resize_file(g.Path("Sample_a.3d"), 9220 + 6); },
     "Sample_a.3d: 6 bytes after the last of its 48 frames of 24 vertices"},
    {"animation file shorter than its header", [](const GoldenCopy& g) { fs::resize_file(g.Path("Sample_a.3d"), 3); },
     "Sample_a.3d: 3 bytes, shorter than its 4-byte header"},
    {"animation file missing", [](const GoldenCopy& g) { fs::remove(g.Path("Sample_a.3d")); },
     "Sample_a.3d: not found"},
    {"script class missing", [](const GoldenCopy& g) { fs::remove(g.Path("Sample.uc")); }, "Sample.uc: not found"},
    {"a hand-added sequence past the last frame",
     [](const GoldenCopy& g) {
         g.Replace("Sample.uc", "// add further",
                   "#exec MESH SEQUENCE MESH=Sample SEQ=Wave STARTFRAME=40 NUMFRAMES=20\r\n// add further");
     },
     "Sample.uc: line 11: sequence Wave runs to frame 59, past the last frame 47"},
    {"no scale line", [](const GoldenCopy& g) { g.Replace("Sample.uc", kScaleLine, ""); },
     "no #exec MESHMAP SCALE line for Sample"},
    {"a scale that is no number",
     [](const GoldenCopy& g) { g.Replace("Sample.uc", "X=0.008235", "X=0,008235"); },
     "MESHMAP SCALE X=0,008235 is not a number"},
    {"a texture missing", [](const GoldenCopy& g) { fs::remove(g.Path("textures/SampleBody.bmp")); },
     "line 20: texture SampleTex0: textures\\SampleBody.bmp not found"},
    {"a texture unreadable", [](const GoldenCopy& g) { Write(g.Path("textures/SampleArm.bmp"), "BM garbage"); },
     "SampleArm.bmp cannot decode it"},
    // What the engine's texture importer trips over.
    {"a texture not palettised", [](const GoldenCopy& g) { Write(g.Path("textures/SampleArm.bmp"), SmallBmp(2, 24)); },
     "SampleArm.bmp is a 24-bit BMP; the engine imports 8-bit palettised BMP or PCX only"},
    {"a side not a power of two", [](const GoldenCopy& g) { Write(g.Path("textures/SampleArm.bmp"), SmallBmp(3)); },
     "SampleArm.bmp is 3 x 2; the engine keeps each side a power of two"},
    {"every pixel at entry 0 under a masked import",
     [](const GoldenCopy& g) { Write(g.Path("textures/SampleArm.bmp"), SmallBmp(2, 8, true)); },
     "SampleArm.bmp: every pixel is at palette entry 0"},
    {"a slot no texture fills",
     [](const GoldenCopy& g) {
         g.Replace("Sample.uc", "#exec MESHMAP SETTEXTURE MESHMAP=Sample NUM=2 TEXTURE=SampleTex2", "");
     },
     "triangles have texture slot 2, which no MESHMAP SETTEXTURE NUM=2 line fills"},
    {"all three files empty",
     [](const GoldenCopy& g) {
         for (const char* name : {"Sample_d.3d", "Sample_a.3d", "Sample.uc"}) Write(g.Path(name), "");
     },
     "no #exec MESH IMPORT line"},
};

TEST(ExportedSet, EachDamageIsReportedAndTheRestStillRead) {
    for (const Damage& damage : kDamages) {
        GoldenCopy golden;
        damage.damage(golden);
        view::ExportedSet set = view::ReadExportedSet(golden.Path("Sample_d.3d"));
        bool found = false;
        for (const std::string& problem : set.problems) found = found || problem.find(damage.problem) != std::string::npos;
        EXPECT_TRUE(found) << damage.what << ": " << ::testing::PrintToString(set.problems);
        // Only whole frames of the stated vertex count are kept.
        EXPECT_EQ(set.records.size(), size_t{set.frameCount} * set.vertexCount * 4) << damage.what;
    }
}

}  // namespace

namespace {

// The engine's older records: 4 bytes a vertex, x and y in 11 bits, z in 10,
// told apart by the header's frame size. Unpacked at each field's extremes.
TEST(ExportedSet, FourByteRecordsAreUnpackedAsTheEngineReadsThem) {
    GoldenCopy golden;
    const std::string data = Bytes(golden.Path("Sample_d.3d"));
    uint16_t vertices;
    std::memcpy(&vertices, data.data() + 2, 2);
    const int xy[] = {-1024, 1023, -1, 0, 5}, z[] = {-512, 511, 0, -1, 7};
    std::string anim(4, '\0');
    const uint16_t header[2] = {2, static_cast<uint16_t>(4 * vertices)};
    std::memcpy(anim.data(), header, 4);
    for (int f = 0; f < 2; ++f)
        for (uint16_t v = 0; v < vertices; ++v) {
            const uint32_t packed = (static_cast<uint32_t>(xy[(v + f) % 5]) & 0x7FF) |
                                    (static_cast<uint32_t>(xy[(v + 1) % 5]) & 0x7FF) << 11 |
                                    (static_cast<uint32_t>(z[v % 5]) & 0x3FF) << 22;
            anim.append(reinterpret_cast<const char*>(&packed), 4);
        }
    Write(golden.Path("Sample_a.3d"), anim);
    golden.Replace("Sample.uc", "NUMFRAMES=48", "NUMFRAMES=2");
    const view::ExportedSet set = view::ReadExportedSet(golden.Path("Sample.uc"));
    EXPECT_EQ(set.recordBytes, 4u);
    EXPECT_EQ(set.frameCount, 2u);
    ASSERT_EQ(set.records.size(), size_t{2} * vertices * 4);
    for (int f = 0; f < 2; ++f)
        for (uint16_t v = 0; v < vertices; ++v) {
            const int16_t* r = &set.records[(static_cast<size_t>(f) * vertices + v) * 4];
            EXPECT_EQ(r[0], xy[(v + f) % 5]) << f << " " << v;
            EXPECT_EQ(r[1], xy[(v + 1) % 5]) << f << " " << v;
            EXPECT_EQ(r[2], z[v % 5]) << f << " " << v;
        }
    for (const std::string& problem : set.problems) EXPECT_EQ(problem.find("frame size"), std::string::npos) << problem;
    EXPECT_NE(::testing::PrintToString(set.notes).find("4-byte records"), std::string::npos);
}

}  // namespace
