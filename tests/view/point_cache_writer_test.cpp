// A set as a glTF file of the mesh alone and a point cache of every frame,
// the way a big set goes into Blender: the cache's points are the file's
// vertices, frame k is the set's frame k, the sequences are in the extras.
#include "view/gltf_writer.h"
#include "view/point_cache_writer.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <fstream>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

TEST(PointCacheWriter, HoldsEveryFrameOfTheMeshOnlyGltfsVertices) {
    ScratchDir dir;
    for (const char* name : {"Sample_d.3d", "Sample_a.3d"}) fs::copy_file(fs::path(GOLDEN_DIR) / name, dir.Path() / name);
    std::string script = ReadFile(std::string(GOLDEN_DIR) + "/Sample.uc");
    script += "#exec MESH SEQUENCE MESH=Sample SEQ=Slow STARTFRAME=4 NUMFRAMES=10 RATE=15\r\n";
    std::ofstream(dir / "Sample.uc", std::ios::binary) << script;
    const view::ExportedSet set = view::ReadExportedSet(dir / "Sample.uc");
    ASSERT_GT(set.frameCount, 1u);

    view::GltfReport report;
    Error error = view::WriteSetAsGltf(set, dir / "Sample.glb", report, view::GltfFrames::kMeshOnly);
    ASSERT_FALSE(error) << error.message;
    EXPECT_EQ(report.morphTargets, 0u);
    const std::string glb = ReadFile(dir / "Sample.glb");
    uint32_t length = 0;
    std::memcpy(&length, glb.data() + 12, 4);
    const nlohmann::json json = nlohmann::json::parse(glb.substr(20, length));
    EXPECT_FALSE(json.contains("animations"));
    size_t points = 0;
    for (const auto& primitive : json["meshes"][0]["primitives"]) {
        EXPECT_FALSE(primitive.contains("targets"));
        points += json["accessors"][primitive["attributes"]["POSITION"].get<int>()]["count"].get<size_t>();
    }
    ASSERT_EQ(points, report.vertices.size());
    const auto& sequences = json["extras"]["vantrelSequences"];
    ASSERT_EQ(sequences.size(), 2u);
    EXPECT_EQ(sequences[1]["name"], "Slow");
    EXPECT_EQ(sequences[1]["firstFrame"], 4);
    EXPECT_EQ(sequences[1]["frames"], 10);
    EXPECT_EQ(sequences[1]["rate"], 15.0);

    uint64_t bytes = 0;
    error = view::WriteSetAsPointCache(set, report.vertices, dir / "Sample.pc2", bytes);
    ASSERT_FALSE(error) << error.message;
    const std::string cache = ReadFile(dir / "Sample.pc2");
    ASSERT_EQ(cache.size(), bytes);
    ASSERT_EQ(cache.size(), 32 + size_t{set.frameCount} * points * 12);
    EXPECT_EQ(cache.substr(0, 12), std::string("POINTCACHE2\0", 12));
    int32_t header[5];
    std::memcpy(header, cache.data() + 12, 20);
    float start, step;
    std::memcpy(&start, &header[2], 4);
    std::memcpy(&step, &header[3], 4);
    EXPECT_EQ(header[0], 1);
    EXPECT_EQ(header[1], static_cast<int32_t>(points));
    EXPECT_EQ(start, 0.0f);
    EXPECT_EQ(step, 1.0f);
    EXPECT_EQ(header[4], static_cast<int32_t>(set.frameCount));
    // The points are the glTF file's vertices in its order: frame 0, which the
    // mesh holds, is the file's positions, primitive after primitive.
    std::vector<float> mesh;
    for (const auto& primitive : json["meshes"][0]["primitives"]) {
        const auto& accessor = json["accessors"][primitive["attributes"]["POSITION"].get<int>()];
        const auto& view = json["bufferViews"][accessor["bufferView"].get<int>()];
        const size_t at = 20 + length + 8 + view["byteOffset"].get<size_t>();
        std::vector<float> values(accessor["count"].get<size_t>() * 3);
        std::memcpy(values.data(), glb.data() + at, values.size() * 4);
        mesh.insert(mesh.end(), values.begin(), values.end());
    }
    std::vector<float> first(points * 3);
    std::memcpy(first.data(), cache.data() + 32, first.size() * 4);
    EXPECT_EQ(first, mesh);
    for (uint32_t frame : {0u, 7u, set.frameCount - 1}) {
        for (size_t i = 0; i < points; ++i) {
            float xyz[3];
            std::memcpy(xyz, cache.data() + 32 + (size_t{frame} * points + i) * 12, 12);
            const std::array<float, 3> expected = view::GltfPosition(set, frame, report.vertices[i]);
            ASSERT_EQ((std::array<float, 3>{xyz[0], xyz[1], xyz[2]}), expected) << "frame " << frame << " point " << i;
            // The engine's x, z, y: the host's axes.
            const std::array<float, 3> engine = view::DecodePosition(set, frame, report.vertices[i]);
            EXPECT_NEAR(xyz[0], engine[0], set.scale[0]);
            EXPECT_NEAR(xyz[1], engine[2], set.scale[2]);
        }
    }
}

TEST(PointCacheWriter, RefusesAVertexPastTheLast) {
    ScratchDir dir;
    const view::ExportedSet set = view::ReadExportedSet(std::string(GOLDEN_DIR) + "/Sample.uc");
    uint64_t bytes = 0;
    const Error error = view::WriteSetAsPointCache(set, {0, set.vertexCount}, dir / "Bad.pc2", bytes);
    EXPECT_EQ(error.kind, ErrorKind::kBadInput);
    EXPECT_FALSE(fs::exists(dir / "Bad.pc2"));
}

}  // namespace
