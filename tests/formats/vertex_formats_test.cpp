// Vertex-animated files through the host program: every frame of the file,
// each within a quantisation step of the file's own numbers, its animations
// with their rates, texels as the file keeps them; and lying headers refused.
#include "formats/md3_reader.h"
#include "formats/vertex_formats.h"
#include "formats/vertex_model.h"
#include "tests/formats/vertex_files.h"
#include "tests/support/test_support.h"
#include "view/exported_set.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <set>

namespace {

using namespace vertex_files;
using testing_support::ReadFile;
using testing_support::ScratchDir;
using Point = std::array<double, 3>;

const std::string kCorpus = "/usr/share/assimp/models";

struct Outcome {
    int status;
    std::string out, err;
};

Outcome RunProgram(const ScratchDir& dir, const std::string& arguments) {
    const std::string command = "cd '" + dir.Path().string() + "' && " + VANTREL_EXPORT_PATH + " " + arguments +
                                " >.stdout 2>.stderr </dev/null";
    const int raw = std::system(command.c_str());
    Outcome outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(dir / ".stdout"), ReadFile(dir / ".stderr")};
    std::filesystem::remove(dir / ".stdout");
    std::filesystem::remove(dir / ".stderr");
    return outcome;
}

void Write(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// ---- each format decoded here, apart from the readers ----------------------

// The Quake family's axes (x forward, y left, z up) as the engine's (y right).
Point Engine(double x, double y, double z) { return {x, -y, z}; }

struct Reader {
    const std::string& b;
    int32_t I32(size_t at) const { int32_t v; std::memcpy(&v, b.data() + at, 4); return v; }
    int16_t I16(size_t at) const { int16_t v; std::memcpy(&v, b.data() + at, 2); return v; }
    uint16_t U16(size_t at) const { return static_cast<uint16_t>(I16(at)); }
    float F32(size_t at) const { float v; std::memcpy(&v, b.data() + at, 4); return v; }
    uint8_t U8(size_t at) const { return static_cast<uint8_t>(b[at]); }
};

// Per frame, the positions of the points triangles use, in the engine's axes.
using Frames = std::vector<std::vector<Point>>;

Frames KeepUsed(const Frames& all, const std::set<size_t>& used) {
    Frames out;
    for (const auto& frame : all) {
        out.emplace_back();
        for (size_t p : used) out.back().push_back(frame[p]);
    }
    return out;
}

Frames DecodeMd2(const std::string& bytes) {
    const Reader r{bytes};
    const int frameSize = r.I32(16), vertices = r.I32(24), triangles = r.I32(32), frames = r.I32(40);
    std::set<size_t> used;
    for (int t = 0; t < triangles; ++t)
        for (int k = 0; k < 3; ++k) used.insert(r.U16(r.I32(52) + 12 * t + 2 * k));
    Frames all(frames);
    for (int f = 0; f < frames; ++f) {
        const size_t at = r.I32(56) + static_cast<size_t>(f) * frameSize;
        for (int v = 0; v < vertices; ++v) {
            float p[3];
            for (int a = 0; a < 3; ++a) p[a] = r.U8(at + 40 + 4 * v + a) * r.F32(at + 4 * a) + r.F32(at + 12 + 4 * a);
            all[f].push_back(Engine(p[0], p[1], p[2]));
        }
    }
    return KeepUsed(all, used);
}

Frames DecodeMdc(const std::string& bytes) {
    const Reader r{bytes};
    const int frames = r.I32(76), surfaces = r.I32(84);
    Frames out(frames);
    for (int s = 0, at = r.I32(104); s < surfaces; ++s, at += r.I32(at + 120)) {
        const int vertices = r.I32(at + 84), triangles = r.I32(at + 88);
        std::set<size_t> used;
        for (int t = 0; t < triangles; ++t)
            for (int k = 0; k < 3; ++k) used.insert(r.I32(at + r.I32(at + 92) + 12 * t + 4 * k));
        for (int f = 0; f < frames; ++f) {
            const int base = r.I16(at + r.I32(at + 112) + 2 * f), packed = r.I16(at + r.I32(at + 116) + 2 * f);
            for (size_t v : used) {
                double p[3];
                for (int a = 0; a < 3; ++a) {
                    p[a] = r.I16(at + r.I32(at + 104) + 8 * (base * vertices + v) + 2 * a) / 64.0;
                    if (packed >= 0) p[a] += (r.U8(at + r.I32(at + 108) + 4 * (packed * vertices + v) + a) - 127) * 0.05;
                }
                out[f].push_back(Engine(p[0], p[1], p[2]));
            }
        }
    }
    return out;
}

// 3D GameStudio's MDL3 and MDL5 as Debian's corpus holds them: one 16-bit skin.
Frames DecodeGameStudioMdl(const std::string& bytes) {
    const Reader r{bytes};
    const bool five = bytes[3] == '5';
    const int vertices = r.I32(60), triangles = r.I32(64), frames = r.I32(68), skinVertices = r.I32(72);
    size_t at = 84;
    for (int s = 0; s < r.I32(48); ++s) {
        const int width = five ? r.I32(at + 4) : r.I32(52), height = five ? r.I32(at + 8) : r.I32(56);
        at += (five ? 12 : 4) + 2 * static_cast<size_t>(width) * height;
    }
    at += 4 * static_cast<size_t>(skinVertices);
    std::set<size_t> used;
    for (int t = 0; t < triangles; ++t)
        for (int k = 0; k < 3; ++k) used.insert(r.U16(at + 12 * t + 2 * k));
    at += 12 * static_cast<size_t>(triangles);
    Frames all(frames);
    for (int f = 0; f < frames; ++f) {
        const bool wide = r.I32(at) == 2;
        at += 4 + (wide ? 16 : 8) + 16;
        for (int v = 0; v < vertices; ++v, at += wide ? 8 : 4) {
            float p[3];
            for (int a = 0; a < 3; ++a)
                p[a] = (wide ? r.U16(at + 2 * a) : r.U8(at + a)) * r.F32(8 + 4 * a) + r.F32(20 + 4 * a);
            all[f].push_back(Engine(p[0], p[1], p[2]));
        }
    }
    return KeepUsed(all, used);
}

// ---- the files the tests make ---------------------------------------------

// Two surfaces: a square that turns and rises, and a triangle sliding along x.
std::string TestMd3(int frames) {
    Md3Surface square{"Square", "models/test/square.tga", {{0, 1, 2}, {0, 2, 3}}, {{0, 0}, {1, 0}, {1, 1}, {0, 1}}, {}};
    Md3Surface slider{"Slider", "", {{0, 1, 2}}, {{0.5f, 0.25f}, {0.75f, 0.5f}, {0.25f, 0.75f}}, {}};
    std::vector<std::string> names;
    for (int f = 0; f < frames; ++f) {
        square.frames.emplace_back();
        for (const auto& p : SquareAt(f)) square.frames.back().push_back({int16_t(p[0] * 8), int16_t(p[1] * 8), int16_t(p[2] * 8)});
        slider.frames.push_back({{int16_t(640 * f), 0, 0}, {int16_t(640 * f + 64), 64, 0}, {int16_t(640 * f), 64, 640}});
        names.push_back("(from test)");
    }
    return Md3File({square, slider}, names);
}

Frames Md3Frames(int frames) {
    Frames out(frames);
    for (int f = 0; f < frames; ++f) {
        for (const auto& p : SquareAt(f)) out[f].push_back(Engine(p[0] * 8 / 64.0, p[1] * 8 / 64.0, p[2] * 8 / 64.0));
        for (const Point& p : {Point{640.0 * f, 0, 0}, Point{640.0 * f + 64, 64, 0}, Point{640.0 * f, 64, 640}})
            out[f].push_back(Engine(p[0] / 64, p[1] / 64, p[2] / 64));
    }
    return out;
}

// A square of stand1 to stand3, then run1 to run3 as a frame group; its
// second triangle faces away, and corner 1 lies on the seam.
QuakeMdl TestQuakeMdl() {
    QuakeMdl m;
    m.skin.assign(64, 7);
    m.texCoords = {{0, 0, 0}, {1, 3, 1}, {0, 3, 6}, {0, 0, 6}};
    m.triangles = {{1, {0, 1, 2}}, {0, {0, 2, 3}}, {0, {0, 1, 3}}};
    m.scale = {0.5f, 0.5f, 0.25f};
    m.translate = {-64, -64, 2};
    for (const char* name : {"stand1", "stand2", "stand3", "run1", "run2", "run3"})
        m.frames.push_back({name, SquareAt(static_cast<int>(m.frames.size()))});
    m.groupFrom = 3;
    return m;
}

Frames QuakeMdlFrames(const QuakeMdl& m) {
    Frames out;
    for (const auto& frame : m.frames) {
        out.emplace_back();
        for (const auto& v : frame.vertices) {
            float p[3];
            for (int a = 0; a < 3; ++a) p[a] = v[a] * m.scale[a] + m.translate[a];
            out.back().push_back(Engine(p[0], p[1], p[2]));
        }
    }
    return out;
}

std::string Patched(std::string bytes, size_t at, int32_t value);
Md2 SmallMd2(int frames);

// ---- checks on an exported set ---------------------------------------------

struct Sequence {
    std::string name;
    int first, frames;
    float rate;  // 0: the line states none
    bool operator==(const Sequence&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Sequence& s) {
    return out << s.name << " " << s.first << "+" << s.frames << " at " << s.rate;
}

std::vector<Sequence> SequencesOf(const view::ExportedSet& set) {
    std::vector<Sequence> out;
    for (const view::Sequence& s : set.script.sequences) out.push_back({s.name, s.firstFrame, s.frameCount, s.rate});
    return out;
}

// Every exported vertex stands on one of the file's points at every checked
// frame, within a step (the writer centres the box of every frame and the
// origin: decoded positions are relative to its middle).
void ExpectOnTheFilesPoints(const view::ExportedSet& set, const Frames& expected, const std::vector<uint32_t>& checked,
                            const std::string& context) {
    ASSERT_EQ(set.frameCount, expected.size()) << context;
    Point low{0, 0, 0}, high{0, 0, 0};
    for (const auto& frame : expected)
        for (const Point& p : frame)
            for (int a = 0; a < 3; ++a) low[a] = std::min(low[a], p[a]), high[a] = std::max(high[a], p[a]);
    const double step = set.scale[0], tolerance = 1.02 * step;
    size_t lost = 0;
    for (uint32_t v = 0; v < set.vertexCount; ++v) {
        bool found = false;
        for (size_t p = 0; p < expected[0].size() && !found; ++p) {
            found = true;
            for (uint32_t f : checked) {
                const auto decoded = view::DecodePosition(set, f, v);
                for (int a = 0; a < 3; ++a)
                    found = found && std::fabs(decoded[a] + (low[a] + high[a]) / 2 - expected[f][p][a]) <= tolerance;
            }
        }
        lost += !found;
    }
    EXPECT_EQ(lost, 0u) << context << ": vertices on none of the file's points, of " << set.vertexCount;
}

struct Row {
    std::string name;
    std::string model;  // "" when the row's file is absent
    std::function<Frames(const std::string& bytes)> decode;
    std::vector<Sequence> sequences;
};

TEST(VertexAnimatedFiles, ExportEveryFrameWithinAStepAndTheFilesAnimationsAtTheirRates) {
    ScratchDir made;
    Write(made / "test.md3", TestMd3(6));
    std::filesystem::create_directory(made / "configured");
    Write(made / "configured/lower.md3", TestMd3(6));
    Write(made / "configured/animation.cfg",
          "sex m\nfootsteps normal\n0 3 0 15 // BOTH_DEATH1\n3 3 3 12.5\t// LEGS_WALK\n5 9 0 10 // LEGS_RUN\n");
    const QuakeMdl quake = TestQuakeMdl();
    Write(made / "test.mdl", QuakeMdlFile(quake));
    auto corpus = [](const std::string& path) {
        return std::filesystem::exists(kCorpus + "/" + path) ? kCorpus + "/" + path : std::string();
    };
    const std::vector<Sequence> sydney = {
        {"All", 0, 198, 0},       {"stand", 0, 40, 10},    {"run", 40, 6, 10},      {"attack", 46, 8, 10},
        {"pain", 54, 12, 10},     {"jump", 66, 6, 10},     {"flip", 72, 12, 10},    {"salute", 84, 11, 10},
        {"taunt", 95, 17, 10},    {"wave", 112, 11, 10},   {"point", 123, 12, 10},  {"crstnd", 135, 19, 10},
        {"crwalk", 154, 6, 10},   {"crattak", 160, 9, 10}, {"crpain", 169, 4, 10},  {"crdeth", 173, 5, 10},
        {"death", 178, 20, 10}};
    const Row rows[] = {
        {"MD2 sydney", corpus("MD2/sydney.md2"), DecodeMd2, sydney},
        {"MD2 faerie", corpus("MD2/faerie.md2"), DecodeMd2, {}},
        {"MDC spider", corpus("MDC/spider.mdc"), DecodeMdc, {{"All", 0, 250, 0}, {"spider", 0, 250, 20}}},
        {"MDL3 minigun", corpus("MDL/MDL3 (3DGS A4)/minigun.MDL"), DecodeGameStudioMdl,
         {{"All", 0, 8, 0}, {"shot", 0, 8, 10}}},
        {"MDL5 minigun", corpus("MDL/MDL5 (3DGS A5)/minigun_mdl5.mdl"), DecodeGameStudioMdl,
         {{"All", 0, 8, 0}, {"shot", 0, 8, 10}}},
        {"MD3 made", made / "test.md3", [](const std::string&) { return Md3Frames(6); },
         {{"All", 0, 6, 0}, {"test", 0, 6, 20}}},
        {"MD3 with animation.cfg", made / "configured/lower.md3", [](const std::string&) { return Md3Frames(6); },
         {{"All", 0, 6, 0}, {"BOTH_DEATH1", 0, 3, 15}, {"LEGS_WALK", 3, 3, 12.5f}}},
        {"Quake MDL made", made / "test.mdl", [&](const std::string&) { return QuakeMdlFrames(quake); },
         {{"All", 0, 6, 0}, {"stand", 0, 3, 10}, {"run", 3, 3, 10}}},
    };
    std::string skipped;
    for (const Row& row : rows) {
        if (row.model.empty()) {
            skipped += (skipped.empty() ? "" : ", ") + row.name;
            continue;
        }
        ScratchDir dir;
        const Outcome outcome = RunProgram(dir, "'" + row.model + "' Out.3D");
        ASSERT_EQ(outcome.status, 0) << row.name << ": " << outcome.err;
        const view::ExportedSet set = view::ReadExportedSet(dir / "Out.uc");
        EXPECT_TRUE(set.Consistent()) << row.name << ": " << (set.problems.empty() ? "" : set.problems[0]);
        const Frames expected = row.decode(ReadFile(row.model));
        const uint32_t last = static_cast<uint32_t>(expected.size()) - 1;
        ExpectOnTheFilesPoints(set, expected, {0, last / 2, last}, row.name);
        if (!row.sequences.empty()) {
            EXPECT_EQ(SequencesOf(set), row.sequences) << row.name;
        }
        if (row.name == "MD3 with animation.cfg") {
            EXPECT_NE(outcome.err.find("LEGS_RUN): frames 5 to 13 are not among the model's 6"), std::string::npos)
                << outcome.err;
        }
    }
    if (!skipped.empty())
        GTEST_SKIP() << "rows " << skipped << " need Assimp's test models in " << kCorpus
                     << " (Debian's assimp-testmodels: make deps-corpus installs it)";
}

// The engine reads a texture coordinate byte b at b / 256 of the side: the
// texel the file names is the one shown. MD2 counts texels (the far edge is
// the last), MD3 keeps fractions, Quake's seam vertices take the skin's back
// half in triangles facing away. Triangles keep the file's order, each wound
// the other way round (the files' front faces turn clockwise).
TEST(VertexAnimatedFiles, TexelsAndTrianglesAsTheFileKeepsThem) {
    ScratchDir dir;
    Md2 md2;
    md2.skinWidth = 200;
    md2.skinHeight = 100;
    md2.st = {{0, 0}, {100, 50}, {200, 100}, {199, 1}};
    md2.triangles = {{{0, 1, 2}, {0, 1, 2}}, {{0, 2, 3}, {3, 2, 0}}};
    for (int f = 0; f < 2; ++f) md2.frames.push_back({{1, 1, 1}, {0, 0, 0}, "idle" + std::to_string(f), SquareAt(f)});
    Write(dir / "t.md2", Md2File(md2));
    Write(dir / "t.md3", TestMd3(2));
    Write(dir / "t.mdl", QuakeMdlFile(TestQuakeMdl()));
    struct Case {
        const char* file;
        std::vector<std::array<uint8_t, 2>> corners;  // u, v bytes of each exported corner, in order
    };
    const Case cases[] = {
        // st 0, 100 / 200 = 128, the far edge 255, 199 / 200 = 254
        {"t.md2", {{0, 0}, {255, 255}, {128, 128}, {254, 2}, {0, 0}, {255, 255}}},
        {"t.md3", {{0, 0}, {255, 255}, {255, 0}, {0, 0}, {0, 255}, {255, 255}, {127, 63}, {63, 191}, {191, 127}}},
        // skin 8 wide: texel 3 is byte 96, on the seam of a back face 3 + 4 = 7 is byte 224
        {"t.mdl", {{0, 0}, {96, 192}, {96, 32}, {0, 0}, {0, 192}, {96, 192}, {0, 0}, {0, 192}, {224, 32}}},
    };
    for (const Case& c : cases) {
        ScratchDir out;
        const Outcome outcome = RunProgram(out, "--no-weld '" + dir / c.file + "' Out.3D");
        ASSERT_EQ(outcome.status, 0) << c.file << ": " << outcome.err;
        const view::ExportedSet set = view::ReadExportedSet(out / "Out.uc");
        std::vector<std::array<uint8_t, 2>> corners;
        for (const view::SetPolygon& polygon : set.polygons)
            for (const auto& uv : polygon.uv) corners.push_back(uv);
        EXPECT_EQ(corners, c.corners) << c.file;
    }
}

// Welding joins vertices no frame tells apart: two points alike in the
// first frame but apart in another stay two; a point used with two texture
// coordinates becomes one vertex, each corner keeping its own.
TEST(VertexAnimatedFiles, WeldingKeepsApartWhatAnyFrameMovesApart) {
    Md2 m;
    m.st = {{0, 0}, {32, 16}, {63, 31}, {1, 0}};
    m.triangles = {{{0, 1, 2}, {0, 1, 2}}, {{3, 1, 2}, {0, 1, 2}}, {{0, 2, 1}, {3, 2, 1}}};
    m.frames = {{{1, 1, 1}, {0, 0, 0}, "a1", {{0, 0, 0}, {9, 9, 0}, {20, 0, 5}, {0, 0, 0}}},
                {{1, 1, 1}, {0, 0, 0}, "a2", {{0, 0, 0}, {9, 9, 0}, {20, 0, 5}, {0, 0, 7}}}};
    ScratchDir dir;
    Write(dir / "w.md2", Md2File(m));
    const Outcome outcome = RunProgram(dir, "w.md2 Out.3D");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    const view::ExportedSet joined = view::ReadExportedSet(dir / "Out.uc");
    EXPECT_EQ(joined.vertexCount, 4u);
    ASSERT_EQ(RunProgram(dir, "--no-weld w.md2 Out.3D").status, 0);
    const view::ExportedSet apart = view::ReadExportedSet(dir / "Out.uc");
    EXPECT_EQ(apart.vertexCount, 5u);  // texel 1 of 64 is byte 4: apart from texel 0
    ASSERT_EQ(joined.polygons.size(), apart.polygons.size());
    for (size_t p = 0; p < joined.polygons.size(); ++p) EXPECT_EQ(joined.polygons[p].uv, apart.polygons[p].uv) << p;
    m.frames[1].vertices[3] = {0, 0, 0};  // point 3 now follows point 0 in every frame
    Write(dir / "w.md2", Md2File(m));
    ASSERT_EQ(RunProgram(dir, "w.md2 Out.3D").status, 0);
    EXPECT_EQ(view::ReadExportedSet(dir / "Out.uc").vertexCount, 4u) << "points are told apart by number, not by value";
}

// ---- sets read back --------------------------------------------------------

int WorstRecordDifference(const view::ExportedSet& a, const view::ExportedSet& b) {
    if (a.records.size() != b.records.size()) return INT32_MAX;
    int worst = 0;
    for (size_t i = 0; i < a.records.size(); ++i) worst = std::max(worst, std::abs(a.records[i] - b.records[i]));
    return worst;
}

// A set this program wrote, given by any of its files, exports as the same
// set: the mesh data file byte for byte, every record within a step, the
// script class (its sequences with their rates among it) and the textures.
TEST(SetsReadBack, ExportTheSameSetByAnyOfItsFiles) {
    ScratchDir first;
    const std::string sydney = kCorpus + "/MD2/sydney.md2";
    // SimpleSkin's records reach the box's edge, 128 steps.
    std::vector<std::string> models = {std::string(VANTREL_SOURCE_DIR) + "/examples/totem.gltf",
                                       std::string(VANTREL_SOURCE_DIR) + "/tests/data/SimpleSkin/SimpleSkin.gltf"};
    if (std::filesystem::exists(sydney)) models.push_back(sydney);
    for (const std::string& model : models) {
        ASSERT_EQ(RunProgram(first, "'" + model + "' Set.3D").status, 0) << model;
        const view::ExportedSet original = view::ReadExportedSet(first / "Set.uc");
        for (const char* input : {"Set.uc", "Set_d.3d", "Set_a.3d"}) {
            ScratchDir again;
            const Outcome outcome = RunProgram(again, "'" + first / input + "' Set.3D");
            ASSERT_EQ(outcome.status, 0) << model << " from " << input << ": " << outcome.err;
            EXPECT_EQ(ReadFile(again / "Set_d.3d"), ReadFile(first / "Set_d.3d")) << model << " from " << input;
            const view::ExportedSet set = view::ReadExportedSet(again / "Set.uc");
            EXPECT_LE(WorstRecordDifference(set, original), 1) << model << " from " << input;
            EXPECT_EQ(ReadFile(again / "Set.uc"), ReadFile(first / "Set.uc")) << model << " from " << input;
            for (const view::SetTexture& texture : original.textures)
                EXPECT_EQ(ReadFile(again / std::filesystem::path(texture.foundPath).filename().string()),
                          ReadFile(texture.foundPath))
                    << model << " from " << input;
        }
    }
}

// --scale, --fit and --simplify make a set the tool to fix an old model:
// scaled, the records stay and the mesh map's scale follows.
TEST(SetsReadBack, ScaledTheRecordsStayAndTheMeshMapScaleFollows) {
    ScratchDir first, again;
    ASSERT_EQ(RunProgram(first, "'" + std::string(VANTREL_SOURCE_DIR) + "/examples/totem.gltf' Set.3D").status, 0);
    const Outcome outcome = RunProgram(again, "'" + first / "Set.uc" + "' Set.3D --scale 2 --simplify 0.5");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    const view::ExportedSet original = view::ReadExportedSet(first / "Set.uc"), scaled = view::ReadExportedSet(again / "Set.uc");
    EXPECT_NEAR(scaled.scale[0], 2 * original.scale[0], 1e-6);
    EXPECT_EQ(scaled.frameCount, original.frameCount);
    EXPECT_LE(scaled.polygons.size(), original.polygons.size() / 2);
    EXPECT_TRUE(scaled.Consistent()) << ::testing::PrintToString(scaled.problems);
}

std::string DataFile(const std::vector<view::SetPolygon>& polygons, uint16_t vertices) {
    std::string bytes(48, '\0');
    const uint16_t header[2] = {static_cast<uint16_t>(polygons.size()), vertices};
    std::memcpy(bytes.data(), header, 4);
    for (const view::SetPolygon& p : polygons) {
        char record[16] = {};
        std::memcpy(record, p.corners.data(), 6);
        record[6] = static_cast<char>(p.type), record[7] = static_cast<char>(p.color);
        for (int k = 0; k < 3; ++k) record[8 + 2 * k] = static_cast<char>(p.uv[k][0]), record[9 + 2 * k] = static_cast<char>(p.uv[k][1]);
        record[14] = static_cast<char>(p.textureSlot), record[15] = static_cast<char>(p.flags);
        bytes.append(record, 16);
    }
    return bytes;
}

// A set another tool wrote: 4-byte records, a MESH ORIGIN, scales that differ
// per axis, texture slots 0 and 2, a colour byte of 0, sequence lines written
// by hand in any case with a RATE=. Exported, it shows what the engine showed
// (the export centres the box of every frame and the origin), with the same
// sequences, and says what it could not keep.
TEST(SetsReadBack, SetsInTheWildAreReadAsTheEngineReadsThem) {
    ScratchDir dir;
    const std::vector<view::SetPolygon> polygons = {{{0, 1, 2}, {{{0, 0}, {255, 0}, {255, 255}}}, 0, 1, 0, 0},
                                                    {{0, 2, 3}, {{{0, 0}, {255, 255}, {0, 255}}}, 2, 3, 0, 0}};
    Write(dir / "Wild_d.3d", DataFile(polygons, 4));
    std::string anim;
    const uint16_t header[2] = {3, 16};
    anim.append(reinterpret_cast<const char*>(header), 4);
    for (int f = 0; f < 3; ++f)
        for (const auto& p : SquareAt(f)) {
            const uint32_t packed = ((p[0] * 4u) & 0x7FF) | ((static_cast<uint32_t>(-p[1]) & 0x7FF) << 11) |
                                    ((p[2] + 100u) & 0x3FF) << 22;
            anim.append(reinterpret_cast<const char*>(&packed), 4);
        }
    Write(dir / "Wild_a.3d", anim);
    Write(dir / "Wild.uc",
          "class Wild expands Actor;\n"
          "#exec MESH IMPORT MESH=Wild ANIVFILE=MODELS\\Wild_a.3d DATAFILE=MODELS\\Wild_d.3d X=0 Y=0 Z=0\n"
          "#exec MESH ORIGIN MESH=Wild X=10 Y=0 Z=-5\n"
          "#exec mesh sequence mesh=Wild seq=Turn startframe=0 numframes=2\n"
          "#exec MESH SEQUENCE MESH=Wild SEQ=Wave STARTFRAME=1 NUMFRAMES=2 RATE=8\n"
          "#exec MESHMAP SCALE MESHMAP=Wild X=0.5 Y=0.5 Z=1\n");
    const view::ExportedSet wild = view::ReadExportedSet(dir / "Wild.uc");
    ASSERT_EQ(wild.recordBytes, 4u);
    ScratchDir out;
    const Outcome outcome = RunProgram(out, "'" + dir / "Wild_a.3d" + "' Tame.3D");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    for (const char* said : {"colour byte other than 255", "texture slots are not numbered 0, 1, 2",
                             "scales X, Y and Z differ"})
        EXPECT_NE(outcome.err.find(said), std::string::npos) << said << " in " << outcome.err;
    const view::ExportedSet tame = view::ReadExportedSet(out / "Tame.uc");
    EXPECT_TRUE(tame.Consistent()) << ::testing::PrintToString(tame.problems);
    EXPECT_EQ(SequencesOf(tame), (std::vector<Sequence>{{"All", 0, 3, 0}, {"Turn", 0, 2, 0}, {"Wave", 1, 2, 8}}));
    ASSERT_EQ(tame.polygons.size(), 2u);
    EXPECT_EQ(tame.polygons[1].textureSlot, 1);
    EXPECT_EQ(tame.polygons[1].type, 3);
    // What the engine showed, less the middle of the box of every frame and the origin.
    Point low{0, 0, 0}, high{0, 0, 0};
    for (uint32_t f = 0; f < 3; ++f)
        for (uint32_t v = 0; v < 4; ++v)
            for (int a = 0; a < 3; ++a) {
                const double p = view::DecodePosition(wild, f, v)[a];
                low[a] = std::min(low[a], p), high[a] = std::max(high[a], p);
            }
    // Vertices 0 and 2 lie in both slots: written once for each, slot by slot.
    const uint32_t wildVertex[] = {0, 1, 2, 0, 2, 3};
    ASSERT_EQ(tame.vertexCount, 6u);
    EXPECT_NE(outcome.err.find("2 vertices are written once for each texture slot"), std::string::npos) << outcome.err;
    for (uint32_t f = 0; f < 3; ++f)
        for (uint32_t v = 0; v < 6; ++v)
            for (int a = 0; a < 3; ++a)
                EXPECT_NEAR(view::DecodePosition(tame, f, v)[a],
                            view::DecodePosition(wild, f, wildVertex[v])[a] - (low[a] + high[a]) / 2, 1.02 * tame.scale[0])
                    << f << " " << v << " " << a;
}

// A set whose every triangle names a vertex past those of a frame has nothing
// to export; one whose last triangle does loses that triangle alone.
TEST(SetsReadBack, TrianglesPastTheVerticesAreLeftOutAndASetOfNoneRefused) {
    ScratchDir dir;
    const view::SetPolygon inside{{0, 1, 2}, {}, 0, 1, 255, 0}, past{{0, 1, 3}, {}, 0, 1, 255, 0};
    std::string anim;
    const uint16_t header[2] = {1, 24};
    anim.append(reinterpret_cast<const char*>(header), 4);
    for (int16_t v : {0, 0, 0, 0, 100, 0, 0, 0, 0, 100, 0, 0}) anim.append(reinterpret_cast<const char*>(&v), 2);
    Write(dir / "Cut_a.3d", anim);
    Write(dir / "Cut_d.3d", DataFile({inside, past}, 3));
    const Outcome some = RunProgram(dir, "Cut_d.3d Out.3D");
    EXPECT_EQ(some.status, 0) << some.err;
    EXPECT_NE(some.err.find("1 triangles name vertices past the last and are left out"), std::string::npos) << some.err;
    EXPECT_EQ(view::ReadExportedSet(dir / "Out.uc").polygons.size(), 1u);
    Write(dir / "Cut_d.3d", DataFile({past}, 3));
    const Outcome none = RunProgram(dir, "Cut_d.3d Other.3D");
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("Cut_d.3d: every triangle names a vertex past the 3 of a frame"), std::string::npos) << none.err;
}

// ---- point caches ----------------------------------------------------------

// A box of two objects (which the reader makes two meshes, splitting and
// reordering the vertices) on eight vertex lines, and a ninth no face uses.
const char* const kCacheObj =
    "v -1 0 -1\nv 1 0 -1\nv 1 0 1\nv -1 0 1\nv 100 100 100\nv -1 2 -1\nv 1 2 -1\nv 1 2 1\nv -1 2 1\n"
    "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
    "o Bottom\nf 1/1 2/2 3/3 4/4\nf 1/1 6/2 7/3 2/4\nf 2/1 7/2 8/3 3/4\n"
    "o Top\nf 9/1 8/2 7/3 6/4\nf 3/1 8/2 9/3 4/4\nf 4/1 9/2 6/3 1/4\n";

// The box twisting about y, frame by frame, on the OBJ's nine points.
PointFrames Twist(int frames) {
    const float lines[9][3] = {{-1, 0, -1}, {1, 0, -1}, {1, 0, 1}, {-1, 0, 1}, {100, 100, 100},
                               {-1, 2, -1}, {1, 2, -1}, {1, 2, 1}, {-1, 2, 1}};
    PointFrames out(frames);
    for (int f = 0; f < frames; ++f)
        for (const auto& p : lines) {
            const float a = 0.15f * f * p[1];
            out[f].push_back({p[0] * std::cos(a) - p[2] * std::sin(a), p[1] + 0.1f * f, p[0] * std::sin(a) + p[2] * std::cos(a)});
        }
    return out;
}

// The model's points (the OBJ's, which are the host's) in the engine's axes, those faces use.
Frames EngineFrames(const PointFrames& frames) {
    Frames out;
    for (const auto& frame : frames) {
        out.emplace_back();
        for (size_t p = 0; p < frame.size(); ++p)
            if (p != 4) out.back().push_back({frame[p][0], frame[p][2], frame[p][1]});
    }
    return out;
}

// Each frame's points as another tool's axes hold them.
PointFrames Turned(PointFrames frames, std::array<float, 3> (*turn)(const std::array<float, 3>&)) {
    for (auto& frame : frames)
        for (auto& p : frame) p = turn(p);
    return frames;
}

TEST(PointCaches, MoveTheObjsVerticesInTheOrderOfItsLines) {
    ScratchDir made;
    Write(made / "box.obj", kCacheObj);
    const PointFrames twist = Twist(10);
    std::vector<float> seconds;
    for (int f = 0; f < 10; ++f) seconds.push_back(f / 25.0f);
    Write(made / "twist.pc2", Pc2File(twist));
    Write(made / "every_second.pc2", Pc2File(twist, 2));
    Write(made / "twist.mdd", MddFile(twist, seconds));
    // Blender's MDD exporter writes LightWave's axes, its PC2 exporter its own Z up.
    Write(made / "lightwave.mdd", MddFile(Turned(twist, [](const std::array<float, 3>& p) {
                                              return std::array<float, 3>{p[0], p[1], -p[2]};
                                          }),
                                          seconds));
    Write(made / "zup.pc2", Pc2File(Turned(twist, [](const std::array<float, 3>& p) {
                                        return std::array<float, 3>{p[0], -p[2], p[1]};
                                    })));
    std::filesystem::create_directory(made / "beside");
    Write(made / "beside/box.obj", kCacheObj);
    Write(made / "beside/BOX.PC2", Pc2File(twist));
    // The clip list the Blender add-on writes beside its cache.
    std::filesystem::create_directory(made / "clipped");
    Write(made / "clipped/twist.pc2", Pc2File(twist));
    Write(made / "clipped/twist.clips", "0 4 20 Bend\n# a comment, then a blank line\n\n4 6 25 Turn\r\n");
    struct Case {
        std::string arguments;
        std::vector<Sequence> sequences;
        std::string note;  // "" for none
    };
    const Case cases[] = {
        {"box.obj --point-cache twist.pc2", {{"All", 0, 10, 0}, {"twist", 0, 10, 0}}, ""},
        {"box.obj --point-cache every_second.pc2 --fps 24", {{"All", 0, 10, 0}, {"every_second", 0, 10, 12}}, ""},
        {"box.obj --point-cache twist.mdd", {{"All", 0, 10, 0}, {"twist", 0, 10, 25}}, ""},
        {"box.obj --point-cache twist.mdd --fps 20", {{"All", 0, 10, 0}, {"twist", 0, 10, 20}}, ""},
        {"box.obj --point-cache lightwave.mdd", {{"All", 0, 10, 0}, {"lightwave", 0, 10, 25}},
         "its first frame lies as the model turned from LightWave's mirrored axes"},
        {"box.obj --point-cache zup.pc2", {{"All", 0, 10, 0}, {"zup", 0, 10, 0}},
         "its first frame lies as the model turned from Blender's Z up"},
        {"box.obj --point-cache clipped/twist.pc2", {{"All", 0, 10, 0}, {"Bend", 0, 4, 20}, {"Turn", 4, 6, 25}}, ""},
        {"box.obj --point-cache clipped/twist.pc2 --fps 24",
         {{"All", 0, 10, 0}, {"Bend", 0, 4, 24}, {"Turn", 4, 6, 24}}, ""},
        {"box.obj --point-cache clipped/twist.pc2 --clip Bend --clip Turn",
         {{"All", 0, 10, 0}, {"Bend", 0, 4, 20}, {"Turn", 4, 6, 25}}, ""},
        {"beside/box.obj", {{"All", 0, 10, 0}, {"BOX", 0, 10, 0}},
         "note: beside/BOX.PC2 beside the model gives its frames (a point cache named after it)"},
    };
    for (const Case& c : cases) {
        ScratchDir out;
        const Outcome outcome = RunProgram(made, c.arguments + " '" + out / "Out.3D" + "'");
        ASSERT_EQ(outcome.status, 0) << c.arguments << ": " << outcome.err;
        const view::ExportedSet set = view::ReadExportedSet(out / "Out.uc");
        EXPECT_TRUE(set.Consistent()) << c.arguments << ": " << ::testing::PrintToString(set.problems);
        ExpectOnTheFilesPoints(set, EngineFrames(twist), {0, 4, 9}, c.arguments);
        EXPECT_EQ(SequencesOf(set), c.sequences) << c.arguments;
        if (!c.note.empty()) {
            EXPECT_NE(outcome.err.find(c.note), std::string::npos) << c.arguments << ": " << outcome.err;
        }
    }
}

// The box with a material on each half, its faces using the lines out of order.
const char* const kMaterialObj =
    "mtllib halves.mtl\n"
    "v -1 0 -1\nv 1 0 -1\nv 1 0 1\nv -1 0 1\nv 100 100 100\nv -1 2 -1\nv 1 2 -1\nv 1 2 1\nv -1 2 1\n"
    "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
    "usemtl Skin\nf 3/3 4/4 1/1 2/2\nf 1/1 6/2 7/3 2/4\nf 2/1 7/2 8/3 3/4\n"
    "usemtl Glass Pane\nf 9/1 8/2 7/3 6/4\nf 3/1 8/2 9/3 4/4\nf 4/1 9/2 6/3 1/4\n";

TEST(PointCaches, TakeTheTypesBesideThemAndNumberVerticesInTheOrderOfTheLines) {
    ScratchDir made;
    Write(made / "box.obj", kMaterialObj);
    Write(made / "halves.mtl", "newmtl Skin\nKd 1 1 1\nnewmtl Glass Pane\nKd 1 1 1\n");
    Write(made / "twist.pc2", Pc2File(Twist(4)));
    Write(made / "twist.types", "# masked glass, a one-sided skin\n0 Skin\n3 Glass Pane\n2 Nothing of the box\n");
    ScratchDir out;
    const Outcome outcome = RunProgram(made, "box.obj --point-cache twist.pc2 '" + out / "Out.3D" + "'");
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    const view::ExportedSet set = view::ReadExportedSet(out / "Out.uc");
    std::vector<int> types;
    for (const view::SetPolygon& polygon : set.polygons) types.push_back(polygon.type);
    EXPECT_EQ(types, (std::vector<int>{0, 0, 0, 0, 0, 0, 3, 3, 3, 3, 3, 3}));
    // Each vertex's line, by its place at a frame: two runs (one a mesh), each in
    // the lines' order, although the Skin's first face starts at line 3.
    const Frames frames = EngineFrames(Twist(4));
    Point low{0, 0, 0}, high{0, 0, 0};
    for (const auto& frame : frames)
        for (const Point& p : frame)
            for (int a = 0; a < 3; ++a) low[a] = std::min(low[a], p[a]), high[a] = std::max(high[a], p[a]);
    std::vector<size_t> lines;
    for (uint32_t v = 0; v < set.vertexCount; ++v) {
        const auto decoded = view::DecodePosition(set, 3, v);
        size_t best = 0;
        double nearest = HUGE_VAL;
        for (size_t line = 0; line < frames[3].size(); ++line) {
            double distance = 0;
            for (int a = 0; a < 3; ++a) distance += std::fabs(decoded[a] + (low[a] + high[a]) / 2 - frames[3][line][a]);
            if (distance < nearest) nearest = distance, best = line;
        }
        lines.push_back(best);
    }
    size_t descents = 0;
    for (size_t v = 1; v < lines.size(); ++v) descents += lines[v] < lines[v - 1];
    EXPECT_EQ(descents, 1u) << ::testing::PrintToString(lines);

    Write(made / "twist.types", "0 Skin\nglass 3\n");
    const Outcome refused = RunProgram(made, "box.obj --point-cache twist.pc2 '" + out / "Again.3D" + "'");
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("twist.types line 2: not TYPE NAME (a type from 0 to 255)"), std::string::npos)
        << refused.err;
    Write(made / "twist.types", "256 Skin\n");
    EXPECT_EQ(RunProgram(made, "box.obj --point-cache twist.pc2 '" + out / "Again.3D" + "'").status, 2);
    Write(made / "twist.types", "255 Skin\n");
    EXPECT_EQ(RunProgram(made, "box.obj --point-cache twist.pc2 '" + out / "Again.3D" + "'").status, 0);
}

TEST(PointCaches, ThoseThatDoNotFitTheModelOrTheirFileAreRefused) {
    ScratchDir made;
    Write(made / "box.obj", kCacheObj);
    Write(made / "box.gltf", ReadFile(std::string(VANTREL_SOURCE_DIR) + "/examples/totem.gltf"));
    Write(made / "own.md2", Md2File(SmallMd2(2)));
    PointFrames eight = Twist(10);
    for (auto& frame : eight) frame.pop_back();
    Write(made / "eight.pc2", Pc2File(eight));
    const std::string twist = Pc2File(Twist(10));
    Write(made / "ten.pc2", Patched(twist, 28, 10));
    Write(made / "eleven.pc2", Patched(twist, 28, 11));
    PointFrames holed = Twist(10);
    holed[3][2][1] = NAN;
    Write(made / "holed.pc2", Pc2File(holed));
    Write(made / "times.mdd", MddFile(Twist(2), {0, 1}).substr(0, 10));
    // Clip lists: the last frame of the cache, and one past it; a line that is not one.
    for (const char* folder : {"all", "past", "huge", "words"}) std::filesystem::create_directory(made / folder);
    Write(made / "all/ten.pc2", Patched(twist, 28, 10));
    Write(made / "all/ten.clips", "0 10 30 Whole\n");
    Write(made / "past/ten.pc2", Patched(twist, 28, 10));
    Write(made / "past/ten.clips", "0 5 30 Start\n5 6 30 End\n");
    Write(made / "huge/ten.pc2", Patched(twist, 28, 10));
    Write(made / "huge/ten.clips", "9000000000000000000 9000000000000000000 30 Big\n");
    Write(made / "words/ten.pc2", Patched(twist, 28, 10));
    Write(made / "words/ten.clips", "first 5 30 Start\n");
    const struct {
        std::string arguments;
        const char* says;  // "" for an export
    } cases[] = {
        {"box.obj --point-cache ten.pc2", ""},
        {"box.obj --point-cache eleven.pc2",
         "eleven.pc2: header: 11 frames of 9 points (108 bytes each) from byte 32 run past the end of the file (1112 bytes)"},
        {"box.obj --point-cache eight.pc2", "eight.pc2: 8 points, but box.obj has 9 vertices"},
        {"box.obj --point-cache holed.pc2", "holed.pc2: frames: frame 3 point 2: a coordinate that is not a finite number"},
        {"box.obj --point-cache times.mdd", "times.mdd: header: 2 frames' times run past the end of the file"},
        {"box.gltf --point-cache ten.pc2", "box.gltf: a point cache names the vertices of an OBJ file"},
        {"own.md2 --point-cache ten.pc2", "own.md2: holds frames of its own; --point-cache is for OBJ models"},
        {"box.obj --point-cache ten.pc2 --bake host", "its frames are vertex positions, which only the exact bake poses"},
        {"box.obj --point-cache all/ten.pc2", ""},
        {"box.obj --point-cache past/ten.pc2", "ten.clips line 2: 6 frames from frame 5 of a cache of 10 frames"},
        {"box.obj --point-cache huge/ten.pc2", "ten.clips line 1: 9000000000000000000 frames from frame 9000000000000000000"},
        {"box.obj --point-cache words/ten.pc2", "ten.clips line 1: not FIRST COUNT RATE NAME"},
        {"box.obj --point-cache all/ten.pc2 --clip Part", "ten.pc2: no clip named 'Part' (its clips: Whole)"},
        {"box.obj --point-cache all/ten.pc2 --clip Whole --clip Whole", "ten.pc2: the clip 'Whole' is named twice"},
    };
    for (const auto& c : cases) {
        ScratchDir out;
        const Outcome outcome = RunProgram(made, c.arguments + " '" + out / "Out.3D" + "'");
        if (std::string(c.says).empty()) {
            EXPECT_EQ(outcome.status, 0) << c.arguments << ": " << outcome.err;
            continue;
        }
        EXPECT_EQ(outcome.status, 2) << c.arguments;
        EXPECT_NE(outcome.err.find(c.says), std::string::npos) << c.arguments << ": " << outcome.err;
        EXPECT_TRUE(testing_support::Files(out.Path()).empty()) << c.arguments;
    }
}

// ---- headers that lie ------------------------------------------------------

std::string Patched(std::string bytes, size_t at, int32_t value) {
    std::memcpy(bytes.data() + at, &value, 4);
    return bytes;
}

Md2 SmallMd2(int frames) {
    Md2 m;
    m.skins = {"skins/small.pcx"};
    m.st = {{0, 0}, {10, 10}, {20, 0}};
    m.triangles = {{{0, 1, 2}, {0, 1, 2}}};
    for (int f = 0; f < frames; ++f) m.frames.push_back({{1, 1, 1}, {0, 0, 0}, "f", {{0, 0, 0}, {9, 9, 0}, {20, 0, 5}}});
    return m;
}

Mdc SmallMdc() {
    return {"skin", {{0, 1, 2}}, {{0, 0}, {1, 0}, {0, 1}}, {{0, 0, 0}, {640, 0, 0}, {0, 640, 0}},
            {{{1, 2, 3}, {-127, 0, 128}, {0, 0, 0}}}};
}

// Each reader refuses a header whose counts or offsets the file cannot hold,
// naming the place, before it allocates for them: a count at what the file
// holds reads, one past it is refused.
TEST(VertexAnimatedFiles, LyingHeadersAreRefusedNamingThePlace) {
    const std::string md2 = Md2File(SmallMd2(3)), md3 = TestMd3(2), mdc = MdcFile(SmallMdc());
    const std::string mdl = QuakeMdlFile(TestQuakeMdl());
    using hm::fmt::VertexFormat;
    struct Case {
        const char* what;
        std::string bytes;
        VertexFormat format;
        const char* says;  // "" for a file that reads
    };
    const int32_t md2Triangle = 68 + 64 + 12;  // the first triangle record
    const Case cases[] = {
        {"MD2 frames as many as there are", Patched(md2, 40, 3), VertexFormat::kMd2, ""},
        {"MD2 one frame more", Patched(md2, 40, 4), VertexFormat::kMd2, "frames: 4 x 52 bytes from byte 156 run past the end"},
        {"MD2 2^31 - 1 frames", Patched(md2, 40, INT32_MAX), VertexFormat::kMd2, "frames: 2147483647 x 52 bytes"},
        {"MD2 frames outside", Patched(md2, 56, 1 << 30), VertexFormat::kMd2, "frames: begins at byte 1073741824, past the end"},
        {"MD2 a negative count", Patched(md2, 28, -1), VertexFormat::kMd2, "header: a count or offset of -1"},
        {"MD2 frames too small", Patched(md2, 16, 51), VertexFormat::kMd2, "header: frames of 51 bytes cannot hold 3 vertices (52 bytes)"},
        {"MD2 corner past the vertices", Patched(md2, md2Triangle, 3), VertexFormat::kMd2,
         "triangle 0: corner 0 names vertex 3 of 3"},
        {"MD2 cut short", md2.substr(0, 60), VertexFormat::kMd2, "header: 1 x 68 bytes from byte 0 run past the end"},
        {"MD3 surfaces as many as there are", Patched(md3, 84, 2), VertexFormat::kMd3, ""},
        {"MD3 a surface more", Patched(md3, 84, 3), VertexFormat::kMd3, "surface 2: 1 x 108 bytes from byte 776 run past the end of the file (776 bytes)"},
        {"MD3 2^31 - 1 frames", Patched(md3, 76, INT32_MAX), VertexFormat::kMd3, "frames: 2147483647 x 56 bytes"},
        {"MD3 vertices past its frames", Patched(md3, 220 + 80, 1 << 20), VertexFormat::kMd3, "surface 0 frames: 2097152 x 8 bytes from byte 452 run past the end"},
        {"MD3 a surface that ends inside itself", Patched(md3, 220 + 104, 4), VertexFormat::kMd3,
         "surface 0: ends at byte 4 of itself"},
        {"MDC a base frame past those there are", Patched(mdc, 112 + 2 * 56 + 68 + 8, 0), VertexFormat::kMdc,
         "surface 0: no base frame"},
        {"MDC 2^31 - 1 compressed frames", Patched(mdc, 112 + 2 * 56 + 68 + 4, INT32_MAX), VertexFormat::kMdc,
         "surface 0 compressed frames: 6442450941 x 4 bytes"},
        {"Quake MDL 2^31 - 1 vertices", Patched(mdl, 60, INT32_MAX), VertexFormat::kQuakeMdl,
         "header: 4 frames of 2147483647 points and 3 triangles: more than a file of 528 bytes"},
        {"Quake MDL a skin 2^24 texels wide", Patched(mdl, 52, 1 << 24), VertexFormat::kQuakeMdl, "skin 0: 1 x 134217728 bytes"},
        {"Quake MDL a skin 2^24 + 1 texels wide", Patched(mdl, 52, (1 << 24) + 1), VertexFormat::kQuakeMdl,
         "skin 0: 16777217 x 8 texels: no skin is so large"},
        {"Quake MDL a frame more", Patched(mdl, 68, 5), VertexFormat::kQuakeMdl, "frame 6: 1 x 4 bytes"},
        {"Quake MDL a frame group of 2^31 - 1", Patched(mdl, 84 + 4 + 64 + 4 * 12 + 3 * 16 + 3 * 44 + 4, INT32_MAX),
         VertexFormat::kQuakeMdl, "frame 3 times: 2147483647 x 4 bytes"},
        {"MDL5 a skin type it does not know", Patched(Patched(mdl, 0, 0x354C444D), 84, 7), VertexFormat::kGameStudioMdl,
         "skin 0: of type 7, which this reader does not know"},
    };
    ScratchDir dir;
    for (const Case& c : cases) {
        const std::string path = dir / "model";
        Write(path, c.bytes);
        const hm::ImportResult result = hm::fmt::ReadVertexAnimated(path, c.format, hm::ImportOptions{}, false);
        if (std::string(c.says).empty()) {
            EXPECT_TRUE(result.model) << c.what << ": " << result.error.message;
            continue;
        }
        EXPECT_FALSE(result.model) << c.what;
        EXPECT_EQ(result.error.kind, ErrorKind::kBadInput) << c.what << ": " << result.error.message;
        EXPECT_NE(result.error.message.find(path + ": " + c.says), std::string::npos) << c.what << ":\n" << result.error.message;
    }
}

// ---- the pieces ------------------------------------------------------------

TEST(VertexModel, FrameNamesRunByTheirWordsAlone) {
    const auto runs = hm::fmt::RunsOfNames({"stand01", "stand02", "run1", "run_2", "pain101", "pain201", "stand03", "007", ""}, 10);
    std::vector<std::tuple<std::string, uint32_t, uint32_t>> got;
    for (const auto& r : runs) got.emplace_back(r.name, r.first, r.count);
    const std::vector<std::tuple<std::string, uint32_t, uint32_t>> want = {
        {"stand", 0, 2}, {"run", 2, 2}, {"pain", 4, 2}, {"stand", 6, 1}, {"007", 7, 1}, {"", 8, 1}};
    EXPECT_EQ(got, want);
}

TEST(VertexModel, TexelCoordinatesBecomeTheBytesOfTheSameTexel) {
    const struct {
        int64_t texel, side;
        int byte;
    } rows[] = {{0, 256, 0}, {255, 256, 255}, {256, 256, 255}, {128, 256, 128}, {100, 200, 128},
                {199, 200, 254}, {200, 200, 255}, {-1, 256, 255}, {257, 256, 1}, {5, 0, 0}};
    for (const auto& row : rows) {
        const float u = hm::fmt::TexelCoordinate(row.texel, row.side);
        EXPECT_EQ(static_cast<int>(static_cast<uint8_t>(static_cast<int64_t>(double(u) * 255))), row.byte)
            << row.texel << " of " << row.side;
    }
}

// A file may decode to at most 16 times its size and 64 MiB: at that, and one past.
TEST(VertexModel, DecodedFramesAreBoundedByTheFilesSize) {
    const hm::fmt::FileBytes file("f", std::string(1001, '\0'));
    const uint64_t most = (64u << 20) + 16 * 1001;  // 12 bytes a point or a corner, a whole number of them
    ASSERT_EQ(most % 12, 0u);
    EXPECT_FALSE(hm::fmt::CheckDecodedSize(file, most / 12, 1, 0));
    EXPECT_TRUE(hm::fmt::CheckDecodedSize(file, most / 12 + 1, 1, 0));
    EXPECT_FALSE(hm::fmt::CheckDecodedSize(file, 1, 0, most / 12));
    EXPECT_TRUE(hm::fmt::CheckDecodedSize(file, 1, 1, most / 12));
    EXPECT_TRUE(hm::fmt::CheckDecodedSize(file, UINT32_MAX, UINT32_MAX, 0));
}

TEST(VertexModel, AnimationConfigLinesBecomeRunsThoseOutsideTheFramesLeftOut) {
    hm::Warnings warnings;
    const auto runs = hm::fmt::ReadAnimationConfig(
        "// animation config\nsex f\nheadoffset 0 0 0\n0 10 10 20 // BOTH_DEATH1\n10 5 0 0\n"
        "12 9 0 15 // TORSO_ATTACK\n-1 2 0 15 // BAD\n14 6 6 -5\n",
        20, warnings);
    std::vector<std::tuple<std::string, uint32_t, uint32_t, float>> got;
    for (const auto& r : runs) got.emplace_back(r.name, r.first, r.count, r.rate);
    const std::vector<std::tuple<std::string, uint32_t, uint32_t, float>> want = {
        {"BOTH_DEATH1", 0, 10, 20}, {"anim2", 10, 5, 20}, {"anim3", 14, 6, 20}};
    EXPECT_EQ(got, want);
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_NE(warnings[0].text.find("TORSO_ATTACK"), std::string::npos);
}


// What the set shows that was likely not meant is said: a clip during which
// nothing moves, a mesh that no frame moves while others move, and
// coordinates laid out for an image that no material names.
TEST(ExportWarnings, SayWhatStaysStillAndWhatHasNoImage) {
    const std::string points = "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 3 0 0\nv 4 0 0\nv 3 1 0\n";
    const std::string faces = "o Moving\nf 1 2 3\no Still\nf 4 5 6\n";
    const std::string mapped = "vt 0 0\nvt 1 0\nvt 0 1\no Moving\nf 1/1 2/2 3/3\no Still\nf 4/1 5/2 6/3\n";
    // Frames 0 to 4 at rest, then the first triangle rises; with both, the second too.
    const auto frames = [](bool both) {
        PointFrames out(10);
        for (int f = 0; f < 10; ++f)
            for (int p = 0; p < 6; ++p) {
                const float rise = f >= 5 && (p < 3 || both) ? 0.1f * f : 0;
                out[f].push_back({float(p % 3 == 1) + 3.0f * (p >= 3), float(p % 3 == 2) + rise, 0});
            }
        return out;
    };
    struct Row {
        std::string obj;
        bool both;
        std::vector<std::string> said, unsaid;
    };
    const Row rows[] = {
        {points + mapped, false,
         {"nothing moves during clip Hold (5 frames alike)", "mesh 'Still' moves in no frame while others move",
          "has texture coordinates but no image"},
         {"clip Lift"}},
        {points + faces, true, {"nothing moves during clip Hold"}, {"moves in no frame", "no image", "clip Lift"}},
    };
    for (const Row& row : rows) {
        ScratchDir dir;
        Write(dir / "m.obj", row.obj);
        Write(dir / "m.pc2", Pc2File(frames(row.both)));
        Write(dir / "m.clips", "0 5 30 Hold\n5 5 30 Lift\n");
        const Outcome outcome = RunProgram(dir, "m.obj Out.3D");
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        for (const std::string& text : row.said) EXPECT_NE(outcome.err.find(text), std::string::npos) << text << "\n" << outcome.err;
        for (const std::string& text : row.unsaid) EXPECT_EQ(outcome.err.find(text), std::string::npos) << text << "\n" << outcome.err;
    }
}

}  // namespace
