// The reader on the golden sample and on damaged copies of it: every damage
// is a problem line, never a crash, and what the reader keeps still makes a
// page and a glTF file. Damages include sets made to harm: files out of the
// set's folder, headers claiming far more than their files hold.
#include "view/exported_set.h"
#include "view/gltf_writer.h"
#include "view/preview_page.h"
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

// A copy of the golden set in a folder "set" with its two textures in a
// textures folder there, and a folder "outside" beside it holding a texture
// and the mesh files, for a set that tries to read them.
struct GoldenCopy {
    GoldenCopy() {
        fs::create_directories(dir.Path() / "set/textures");
        fs::create_directories(dir.Path() / "outside");
        for (const char* name : {"Sample_d.3d", "Sample_a.3d", "Sample.uc"}) {
            fs::copy_file(fs::path(GOLDEN_DIR) / name, dir.Path() / "set" / name);
            fs::copy_file(fs::path(GOLDEN_DIR) / name, dir.Path() / "outside" / name);
        }
        Write(Path("textures/SampleBody.bmp"), SmallBmp());
        Write(Path("textures/SampleArm.bmp"), SmallBmp());
        Write(dir / "outside/secret.bmp", SmallBmp());
    }
    std::string Path(const std::string& name) const { return dir / ("set/" + name); }
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

// In a package, the script class is in Classes, the mesh files in MODELS and
// the textures in Textures beside it: the package's folder is the set's.
TEST(ExportedSet, APackageIsReadFromItsFolderAndNoFurther) {
    GoldenCopy golden;
    const fs::path package = golden.dir.Path() / "set";
    fs::create_directories(package / "Classes");
    fs::create_directories(package / "MODELS");
    fs::rename(package / "Sample.uc", package / "Classes/Sample.uc");
    for (const char* name : {"Sample_d.3d", "Sample_a.3d"}) fs::rename(package / name, package / "MODELS" / name);
    view::ExportedSet set = view::ReadExportedSet((package / "Classes/Sample.uc").string());
    EXPECT_TRUE(set.Consistent()) << ::testing::PrintToString(set.problems);
    ASSERT_EQ(set.textures.size(), 3u);
    EXPECT_EQ(set.textures[0].shownPath, "../textures/SampleBody.bmp");

    golden.Replace("Classes/Sample.uc", "FILE=textures\\SampleArm.bmp", "FILE=..\\outside\\secret.bmp");
    set = view::ReadExportedSet((package / "Classes/Sample.uc").string());
    ASSERT_EQ(set.problems.size(), 1u) << ::testing::PrintToString(set.problems);
    EXPECT_NE(set.problems[0].find("..\\outside\\secret.bmp leads out of the package's folder"), std::string::npos)
        << set.problems[0];
}

struct Damage {
    const char* what;
    std::function<void(const GoldenCopy&)> damage;
    const char* problem;  // a part of one problem line; null: the set stays consistent
};

void SetCorner(const GoldenCopy& g, int triangle, int corner, uint16_t vertex) {
    std::string data = Bytes(g.Path("Sample_d.3d"));
    std::memcpy(&data[48 + 16 * triangle + 2 * corner], &vertex, 2);
    Write(g.Path("Sample_d.3d"), data);
}

// The two counts of the mesh data file's header, and the animation file's
// header followed by payload zero bytes.
void Claim(const GoldenCopy& g, uint16_t vertices, uint16_t frames, uint16_t frameSize, size_t payload) {
    std::string data = Bytes(g.Path("Sample_d.3d"));
    std::memcpy(&data[2], &vertices, 2);
    Write(g.Path("Sample_d.3d"), data);
    std::string anim(4 + payload, '\0');
    std::memcpy(&anim[0], &frames, 2);
    std::memcpy(&anim[2], &frameSize, 2);
    Write(g.Path("Sample_a.3d"), anim);
}

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
    {"a corner past the vertices", [](const GoldenCopy& g) { SetCorner(g, 3, 1, 999); },
     "Sample_d.3d: triangle 3 corner 1 names vertex 999, past the 24 vertices of a frame"},
    {"a corner at the vertex count", [](const GoldenCopy& g) { SetCorner(g, 3, 1, 24); },
     "Sample_d.3d: triangle 3 corner 1 names vertex 24, past the 24 vertices of a frame"},
    {"a corner at the last vertex", [](const GoldenCopy& g) { SetCorner(g, 3, 1, 23); }, nullptr},
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
    // Headers that claim far more than their files hold.
    {"65535 overlapping frames of 65535 vertices in 512 KB (34 GB read whole)",
     [](const GoldenCopy& g) { Claim(g, 65535, 65535, 0, 524280); },
     "Sample_a.3d: its 65535 frames of 524280 bytes overlap (a frame size of 0): only 1 frame is read"},
    {"65535 overlapping frames of 4000 vertices in 32 KB (2 GB read whole)",
     [](const GoldenCopy& g) { Claim(g, 4000, 65535, 0, 32000); },
     "Sample_a.3d: its 65535 frames of 32000 bytes overlap (a frame size of 0): only 1 frame is read"},
    {"overlapping frames read as far as the file holds them",
     [](const GoldenCopy& g) { Claim(g, 24, 65535, 8, 192 * 3 + 5); },
     "its 49 frames of 192 bytes overlap (a frame size of 8): only 3 frames are read"},
    // Files out of the set's folder, by .. or a link.
    {"a texture out of the set's folder",
     [](const GoldenCopy& g) { g.Replace("Sample.uc", "FILE=textures\\SampleArm.bmp", "FILE=..\\outside\\secret.bmp"); },
     "texture SampleTex1: ..\\outside\\secret.bmp leads out of the set's folder (through .. or a link), so it is "
     "not read"},
    {"a texture linked out of the set's folder",
     [](const GoldenCopy& g) {
         fs::remove(g.Path("textures/SampleArm.bmp"));
         fs::create_symlink(g.dir.Path() / "outside/secret.bmp", g.Path("textures/SampleArm.bmp"));
     },
     "texture SampleTex1: textures\\SampleArm.bmp leads out of the set's folder"},
    {"a mesh data file out of the set's folder",
     [](const GoldenCopy& g) {
         fs::remove(g.Path("Sample_d.3d"));
         g.Replace("Sample.uc", "DATAFILE=MODELS\\Sample_d.3d", "DATAFILE=..\\outside\\Sample_d.3d");
     },
     "Sample_d.3d: DATAFILE=..\\outside\\Sample_d.3d leads out of the set's folder"},
    {"an animation file out of the set's folder",
     [](const GoldenCopy& g) {
         fs::remove(g.Path("Sample_a.3d"));
         g.Replace("Sample.uc", "ANIVFILE=MODELS\\Sample_a.3d", "ANIVFILE=../outside/Sample_a.3d");
     },
     "Sample_a.3d: ANIVFILE=../outside/Sample_a.3d leads out of the set's folder"},
    {"an animation file linked out of the set's folder",
     [](const GoldenCopy& g) {
         fs::remove(g.Path("Sample_a.3d"));
         fs::create_symlink("../outside/Sample_a.3d", g.Path("Sample_a.3d"));
     },
     "Sample_a.3d: Sample_a.3d leads out of the set's folder"},
    {"a texture in the set's folder by a way out and back in",
     [](const GoldenCopy& g) {
         g.Replace("Sample.uc", "FILE=textures\\SampleArm.bmp", "FILE=..\\set\\textures\\SampleArm.bmp");
     },
     nullptr},
    // Names Windows and the engine's packages take as one.
    {"texture files whose names differ only in case",
     [](const GoldenCopy& g) {
         Write(g.Path("textures/samplearm.bmp"), SmallBmp());
         g.Replace("Sample.uc", "FILE=textures\\SampleArm.bmp", "FILE=textures\\samplearm.bmp");
     },
     "FILE=textures\\samplearm.bmp differ only in case: on Windows they are one file"},
    {"texture names that differ only in case",
     [](const GoldenCopy& g) { g.Replace("Sample.uc", "NAME=SampleTex2", "NAME=SAMPLETEX1"); },
     "texture SampleTex1 differ only in case: the engine's package holds one of them"},
    {"a rate no float keeps finite",
     [](const GoldenCopy& g) { g.Replace("Sample.uc", "NUMFRAMES=48", "NUMFRAMES=48 RATE=1e-45"); },
     "sequence All: RATE=1e-45 is outside 0.001 to 100000 frames a second"},
    {"a scale and origin past a float",
     [](const GoldenCopy& g) { g.Replace("Sample.uc", "X=0.008235", "X=1e38"); },
     "MESHMAP SCALE X=1e+38 with MESH ORIGIN X=0 decodes positions beyond 1e+30"},
};

TEST(ExportedSet, EachDamageIsReportedAndTheRestStillRead) {
    for (const Damage& damage : kDamages) {
        GoldenCopy golden;
        damage.damage(golden);
        view::ExportedSet set = view::ReadExportedSet(golden.Path("Sample_d.3d"));
        if (damage.problem) {
            bool found = false;
            for (const std::string& problem : set.problems)
                found = found || problem.find(damage.problem) != std::string::npos;
            EXPECT_TRUE(found) << damage.what << ": " << ::testing::PrintToString(set.problems);
        } else {
            EXPECT_TRUE(set.Consistent()) << damage.what << ": " << ::testing::PrintToString(set.problems);
        }
        // Only whole frames of the stated vertex count are kept, no more than the file holds.
        EXPECT_EQ(set.records.size(), size_t{set.frameCount} * set.vertexCount * 4) << damage.what;
        EXPECT_LE(set.records.size() * 2, fs::exists(golden.Path("Sample_a.3d")) ? fs::file_size(golden.Path("Sample_a.3d")) : 0)
            << damage.what;
        // Nothing out of the set's folder is read.
        for (const view::SetTexture& texture : set.textures)
            EXPECT_TRUE(texture.foundPath.empty() || texture.foundPath.find("outside") == std::string::npos) << damage.what;
        EXPECT_EQ(set.dataPath.find("outside"), std::string::npos) << damage.what;
        EXPECT_EQ(set.animPath.find("outside"), std::string::npos) << damage.what;
        // What was read makes a page and a glTF file, or a failure that says why.
        std::string html;
        const Error page = view::BuildPreviewPage(set, html);
        EXPECT_FALSE(page) << damage.what << ": " << page.message;
        view::GltfReport report;
        const Error glb = view::WriteSetAsGltf(set, golden.dir / "Sample.glb", report);
        EXPECT_TRUE(!glb || !glb.message.empty()) << damage.what;
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
