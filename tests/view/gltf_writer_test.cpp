// The glTF file of a set, read back as a glTF reader would: sequences from a
// hand-edited script class, and a set whose frame size wrapped.
#include "view/gltf_writer.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <set>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

void Write(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// The JSON chunk of a glTF binary file, and a float accessor's values.
struct Glb {
    explicit Glb(const std::string& path) : bytes(ReadFile(path)) {
        uint32_t length = 0;
        std::memcpy(&length, bytes.data() + 12, 4);
        json = nlohmann::json::parse(bytes.substr(20, length));
        bin = 20 + length + 8;
    }
    std::vector<float> Floats(int accessor) const {
        const auto& a = json["accessors"][accessor];
        const auto& view = json["bufferViews"][a["bufferView"].get<int>()];
        std::vector<float> values(view["byteLength"].get<size_t>() / 4);
        std::memcpy(values.data(), bytes.data() + bin + view["byteOffset"].get<size_t>(), values.size() * 4);
        return values;
    }
    std::string bytes;
    nlohmann::json json;
    size_t bin = 0;
};

std::string Differences(const view::GltfReport& report) {
    std::string text;
    for (const std::string& line : report.differences) text += line + "\n";
    return text;
}

// The golden sample (48 frames, sequence All) with a script class edited by
// hand: other case, odd spacing, comments, other directives, a rate, a
// sequence over frames already in another, and one line commented out.
TEST(GltfWriter, EverySequenceOfAHandEditedClassIsAnAnimation) {
    ScratchDir dir;
    for (const char* name : {"Sample_d.3d", "Sample_a.3d"}) fs::copy_file(fs::path(GOLDEN_DIR) / name, dir.Path() / name);
    std::string script = ReadFile(std::string(GOLDEN_DIR) + "/Sample.uc");
    const std::string all = "#exec MESH SEQUENCE MESH=Sample SEQ=All STARTFRAME=0 NUMFRAMES=48";
    script.replace(script.find(all), all.size(),
                   "#EXEC  mesh sequence   mesh=sample seq=Walk startframe=0  numframes=30 RATE=15\r\n"
                   "\t#exec MESH SEQUENCE MESH=Sample SEQ=Jump STARTFRAME=30 NUMFRAMES=18 GROUP=Moves\r\n"
                   "#exec MESH SEQUENCE MESH=Sample SEQ=Kick STARTFRAME=40 NUMFRAMES=4  // a hand-added line\r\n"
                   "/* #exec MESH SEQUENCE MESH=Sample SEQ=Gone STARTFRAME=0 NUMFRAMES=2 */\r\n"
                   "#exec MESH LODPARAMS MESH=Sample STRENGTH=0.5\r\n");
    Write(dir / "Sample.uc", script);

    const view::ExportedSet set = view::ReadExportedSet(dir / "Sample.uc");
    view::GltfReport report;
    const Error error = view::WriteSetAsGltf(set, dir / "Sample.glb", report);
    ASSERT_FALSE(error) << error.message;
    const Glb glb(dir / "Sample.glb");
    std::vector<std::string> names;
    for (const auto& animation : glb.json["animations"]) names.push_back(animation["name"]);
    EXPECT_EQ(names, (std::vector<std::string>{"Walk", "Jump", "Kick"}));
    // Walk's last frame, 29, at 29 / 15 s; Kick holds frames 40 to 43 at 30 a second.
    const auto& walk = glb.json["animations"][0]["samplers"][0];
    EXPECT_FLOAT_EQ(glb.Floats(walk["input"]).back(), 29.0f / 15);
    EXPECT_FLOAT_EQ(glb.Floats(glb.json["animations"][2]["samplers"][0]["input"]).back(), 3.0f / 30);
    EXPECT_EQ(report.exportOptions,
              (std::vector<std::string>{"--scale", report.exportOptions[1], "--fps", "15", "--clip",
                                        "Walk", "--clip", "Jump"}));
    const std::string differences = Differences(report);
    EXPECT_NE(differences.find("sequence Kick (line 12) is not a clip on the exported timeline"), std::string::npos)
        << differences;
    EXPECT_NE(differences.find("play at different rates"), std::string::npos) << differences;
    EXPECT_NE(differences.find("sequence Jump has no RATE= (30); exported back, its line has RATE=15"),
              std::string::npos)
        << differences;
    EXPECT_NE(differences.find("gains sequence All"), std::string::npos) << differences;
    // A target for each distinct frame but the mesh's own.
    std::set<std::vector<int16_t>> frames;
    const size_t words = size_t{set.vertexCount} * 4;
    for (size_t f = 0; f < set.frameCount; ++f)
        frames.emplace(set.records.begin() + f * words, set.records.begin() + (f + 1) * words);
    EXPECT_EQ(report.morphTargets + 1, frames.size());
    EXPECT_EQ(glb.json["meshes"][0]["primitives"].size(), 3u);
}

// 8193 vertices take 65544 bytes a frame, which the 16-bit frame size states
// as 8: the engine steps 8 bytes from frame to frame, and so does the reader.
TEST(GltfWriter, AFrameSizeThatWrappedIsReadAsTheEngineReadsIt) {
    ScratchDir dir;
    const uint32_t vertices = 8193, frames = 3;
    std::string data(48 + 16, '\0');
    data[0] = 1, data[2] = static_cast<char>(vertices & 255), data[3] = static_cast<char>(vertices >> 8);
    data[48 + 2] = 1, data[48 + 4] = 2, data[48 + 6] = 1, data[48 + 7] = static_cast<char>(255);
    Write(dir / "Wrap_d.3d", data);
    std::string anim(4 + 8ull * vertices * frames, '\0');
    anim[0] = frames, anim[2] = 8;
    for (uint32_t i = 0; i < vertices * frames; ++i) {
        const int16_t x = static_cast<int16_t>(i % 200 - 100);
        std::memcpy(&anim[4 + 8 * i], &x, 2);
    }
    Write(dir / "Wrap_a.3d", anim);
    Write(dir / "Wrap.uc",
          "#exec MESH IMPORT MESH=Wrap ANIVFILE=MODELS\\Wrap_a.3d DATAFILE=MODELS\\Wrap_d.3d\r\n"
          "#exec MESH SEQUENCE MESH=Wrap SEQ=All STARTFRAME=0 NUMFRAMES=3\r\n"
          "#exec MESHMAP SCALE MESHMAP=Wrap X=0.5 Y=0.5 Z=0.5\r\n");

    const view::ExportedSet set = view::ReadExportedSet(dir / "Wrap.uc");
    ASSERT_EQ(set.frameCount, frames);
    std::string problems;
    for (const std::string& problem : set.problems) problems += problem + "\n";
    EXPECT_NE(problems.find("it wrapped to 8, and the engine reads frame f from byte 4 + 8 x f"), std::string::npos)
        << problems;
    // Frame 2 starts 16 bytes in: vertex 0 of frame 2 is vertex 2 of frame 0.
    EXPECT_EQ(view::DecodePosition(set, 2, 0), view::DecodePosition(set, 0, 2));

    view::GltfReport report;
    const Error error = view::WriteSetAsGltf(set, dir / "Wrap.glb", report);
    ASSERT_FALSE(error) << error.message;
    const std::string differences = Differences(report);
    EXPECT_NE(differences.find("8190 vertices no triangle uses are left out"), std::string::npos) << differences;
    EXPECT_NE(differences.find("texture slot 0 has no image"), std::string::npos) << differences;
    EXPECT_EQ(Glb(dir / "Wrap.glb").json["accessors"][0]["count"], 3);
}

// The file goes through a temporary of a unique name, created exclusively:
// links planted at the file's name or at the temporary's old name
// (OUT.<pid>.vantrel-tmp) are replaced or left alone, never written through.
TEST(GltfWriter, WritesThroughNoLinkPlantedForIt) {
    ScratchDir dir;
    const view::ExportedSet set = view::ReadExportedSet(std::string(GOLDEN_DIR) + "/Sample.uc");
    Write(dir / "victim", "kept");
    Write(dir / "other", "kept too");
    fs::create_symlink(dir / "victim", dir / ("Sample.glb." + std::to_string(getpid()) + ".vantrel-tmp"));
    fs::create_symlink(dir / "other", dir / "Sample.glb");
    view::GltfReport report;
    const Error error = view::WriteSetAsGltf(set, dir / "Sample.glb", report);
    ASSERT_FALSE(error) << error.message;
    EXPECT_EQ(ReadFile(dir / "victim"), "kept");
    EXPECT_EQ(ReadFile(dir / "other"), "kept too");
    EXPECT_FALSE(fs::is_symlink(dir / "Sample.glb"));
    EXPECT_EQ(Glb(dir / "Sample.glb").json["asset"]["generator"], "vantrel-view");
}

// A set of one triangle over three vertices whose frames all differ, and a
// script class with these sequence lines.
std::string SetOfFrames(const ScratchDir& dir, uint16_t frames, const std::string& sequences) {
    std::string data(48 + 16, '\0');
    data[0] = 1, data[2] = 3, data[48 + 2] = 1, data[48 + 4] = 2, data[48 + 6] = 1;
    Write(dir / "Frames_d.3d", data);
    std::string anim(4 + 24ull * frames, '\0');
    std::memcpy(&anim[0], &frames, 2);
    anim[2] = 24;
    for (uint16_t f = 0; f < frames; ++f) {
        const int16_t x = static_cast<int16_t>(f % 200 - 100), y = static_cast<int16_t>(f / 200 - 100), z = 50;
        std::memcpy(&anim[4 + 24 * f], &x, 2), std::memcpy(&anim[4 + 24 * f + 2], &y, 2), std::memcpy(&anim[4 + 24 * f + 4], &z, 2);
    }
    Write(dir / "Frames_a.3d", anim);
    Write(dir / "Frames.uc", "#exec MESH IMPORT MESH=Frames ANIVFILE=MODELS\\Frames_a.3d DATAFILE=MODELS\\Frames_d.3d\r\n" +
                                 sequences + "#exec MESHMAP SCALE MESHMAP=Frames X=0.5 Y=0.5 Z=0.5\r\n");
    return dir / "Frames.uc";
}

std::string Lines(int count, const std::function<std::string(int)>& line) {
    std::string text;
    for (int i = 0; i < count; ++i) text += line(i) + "\r\n";
    return text;
}

// What a set makes of the file is bounded by the set's own size: sequences
// share their data or are left out, with a difference that says so, and no
// number JSON cannot hold reaches it. (A script class of 20,000 sequences
// wrote 1.1 GB; RATE=1e-45 wrote "max": null; a name not in UTF-8 failed.)
struct Bound {
    const char* what;
    std::function<std::string(const ScratchDir&)> make;  // the set's path
    std::function<void(view::ExportedSet&)> change;       // made past the reader, or null
    uint64_t largest;          // the file's largest size
    const char* difference;    // a part of one difference, or null
    ErrorKind refused;         // the failure expected, or kNone
};

TEST(GltfWriter, TheFileIsBoundedByTheSet) {
    const Bound bounds[] = {
        {"5000 sequences of one range",
         [](const ScratchDir& dir) {
             return SetOfFrames(dir, 100, Lines(5000, [](int i) {
                                    return "#exec MESH SEQUENCE MESH=Frames SEQ=S" + std::to_string(i) +
                                           " STARTFRAME=0 NUMFRAMES=100";
                                }));
         },
         nullptr, 4u << 20, "904 sequences are left out of the file (S4096, S4097, S4098 and 901 more): it holds at most 4096",
         ErrorKind::kNone},
        {"300 sequences of other ranges",
         [](const ScratchDir& dir) {
             return SetOfFrames(dir, 300, Lines(300, [](int i) {
                                    return "#exec MESH SEQUENCE MESH=Frames SEQ=S" + std::to_string(i) + " STARTFRAME=" +
                                           std::to_string(i % 10) + " NUMFRAMES=" + std::to_string(290 - i / 10);
                                }));
         },
         nullptr, 68u << 20, "their animations would take more than the", ErrorKind::kNone},
        {"a timeline of 3000 frames, each its own target",
         [](const ScratchDir& dir) { return SetOfFrames(dir, 3000, "#exec MESH SEQUENCE MESH=Frames SEQ=All STARTFRAME=0 NUMFRAMES=3000\r\n"); },
         nullptr, 0, nullptr, ErrorKind::kLimit},
        {"a sequence named in a Windows code page, not UTF-8",
         [](const ScratchDir& dir) { return SetOfFrames(dir, 10, "#exec MESH SEQUENCE MESH=Frames SEQ=D\xE9part STARTFRAME=0 NUMFRAMES=10\r\n"); },
         nullptr, 1u << 20, nullptr, ErrorKind::kNone},
        {"a rate no float keeps finite, past the reader",
         [](const ScratchDir& dir) { return SetOfFrames(dir, 10, "#exec MESH SEQUENCE MESH=Frames SEQ=All STARTFRAME=0 NUMFRAMES=10\r\n"); },
         [](view::ExportedSet& set) { set.script.sequences[0].rate = 1e-45f; }, 0, nullptr, ErrorKind::kBadInput},
        {"a scale no float keeps finite, past the reader",
         [](const ScratchDir& dir) { return SetOfFrames(dir, 10, "#exec MESH SEQUENCE MESH=Frames SEQ=All STARTFRAME=0 NUMFRAMES=10\r\n"); },
         [](view::ExportedSet& set) { set.scale = {3e38f, 3e38f, 3e38f}; }, 0, nullptr, ErrorKind::kBadInput},
    };
    for (const Bound& bound : bounds) {
        ScratchDir dir;
        view::ExportedSet set = view::ReadExportedSet(bound.make(dir));
        ASSERT_EQ(set.frameCount, set.headerFrameCount) << bound.what << ": " << ::testing::PrintToString(set.problems);
        if (bound.change) bound.change(set);
        view::GltfReport report;
        const Error error = view::WriteSetAsGltf(set, dir / "Frames.glb", report);
        EXPECT_EQ(error.kind, bound.refused) << bound.what << ": " << error.message;
        if (error) {
            EXPECT_FALSE(fs::exists(dir / "Frames.glb")) << bound.what;
            continue;
        }
        EXPECT_LE(report.bytes, bound.largest) << bound.what;
        EXPECT_EQ(Glb(dir / "Frames.glb").bytes.substr(0, 20 + Glb(dir / "Frames.glb").bin).find("null"), std::string::npos)
            << bound.what;
        if (bound.difference) {
            EXPECT_NE(Differences(report).find(bound.difference), std::string::npos) << bound.what << ":\n" << Differences(report);
        }
    }
}

}  // namespace

namespace {

// --scale stretches a set fitted to 128 steps back to them; a set another
// tool wrote, whose records reach a few steps, keeps the size the engine
// shows it at: stretched, it would come back many times larger.
TEST(GltfWriter, OnlyASetFittedTo128StepsIsStretchedBack) {
    for (const int reach : {8, 125, 127, 128}) {
        ScratchDir dir;
        fs::copy_file(fs::path(GOLDEN_DIR) / "Sample_d.3d", dir.Path() / "Sample_d.3d");
        fs::copy_file(fs::path(GOLDEN_DIR) / "Sample.uc", dir.Path() / "Sample.uc");
        std::string anim = ReadFile(std::string(GOLDEN_DIR) + "/Sample_a.3d");
        int16_t most = 0;
        for (size_t at = 4; at + 8 <= anim.size(); at += 8)
            for (size_t a = 0; a < 3; ++a) {
                int16_t value;
                std::memcpy(&value, anim.data() + at + 2 * a, 2);
                most = std::max<int16_t>(most, static_cast<int16_t>(std::abs(value)));
            }
        for (size_t at = 4; at + 8 <= anim.size(); at += 8)
            for (size_t a = 0; a < 3; ++a) {
                int16_t value;
                std::memcpy(&value, anim.data() + at + 2 * a, 2);
                value = static_cast<int16_t>(value * reach / most);
                std::memcpy(anim.data() + at + 2 * a, &value, 2);
            }
        Write(dir / "Sample_a.3d", anim);
        view::GltfReport report;
        ASSERT_FALSE(view::WriteSetAsGltf(view::ReadExportedSet(dir / "Sample.uc"), dir / "Sample.glb", report));
        const bool stretched = std::find(report.exportOptions.begin(), report.exportOptions.end(), "--scale") !=
                               report.exportOptions.end();
        EXPECT_EQ(stretched, reach >= 127) << reach << ": " << ::testing::PrintToString(report.exportOptions);
    }
}

}  // namespace
