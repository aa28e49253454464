#include "export/mesh_data_file.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>


using namespace testing_support;

namespace {

struct Written {
    std::string bytes;
    std::string log;
    uint16_t vertexTotal;
};

Written WriteDataFile(hmModel* model) {
    ScratchDir dir;
    ExportLog log;
    EXPECT_TRUE(log.Open(dir / "log"));
    OutputFile file;
    EXPECT_TRUE(file.Open(dir / "m_d.3d"));
    uint16_t total = WriteMeshDataFile(model, file, log);
    EXPECT_TRUE(file.Commit());
    EXPECT_TRUE(log.Close());
    return {ReadFile(dir / "m_d.3d"), ReadFile(dir / "log"), total};
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

uint16_t U16(const std::string& bytes, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8);
}

uint8_t U8(const std::string& bytes, size_t at) { return static_cast<uint8_t>(bytes[at]); }

// A mesh of n unbound vertices at the origin and the given triangles.
hmMesh* AddPlainMesh(hmModel* model, const std::string& name, int vertices,
                     std::vector<std::array<uint16_t, 3>> triangles) {
    hmMesh* mesh = hm::AddMesh(model, name);
    mesh->vertices.assign(static_cast<size_t>(vertices), hm::MakeVertex({0, 0, 0}));
    for (auto& corners : triangles) mesh->triangles.push_back({corners});
    return mesh;
}

TEST(MeshDataFile, OneTriangleModelGivesTheExactFileAndLog) {
    hm::ModelPtr model = OneTriangleModel();
    Written out = WriteDataFile(model.get());

    std::string expected("\x01\x00\x03\x00", 4);
    expected += std::string(44, '\0');
    expected += std::string("\x00\x00\x01\x00\x02\x00\x01\xFF\x00\x00\xFF\x00\x00\xFF\x00\x00", 16);
    EXPECT_EQ(out.bytes, expected);
    EXPECT_EQ(out.vertexTotal, 3);
    EXPECT_EQ(out.log,
              "Group Tri Vertex Count 3 PolyCount 1\r\n"
              "To File: No of Triangles - 1\r\n"
              "To File: No of Verticies - 3\r\n"
              "To File: Padding Zeros\r\n"
              "HM uv coords - 0.000000 0.000000\r\n"
              "VT uv coords - 0 0\r\n"
              "HM uv coords - 1.000000 0.000000\r\n"
              "VT uv coords - 255 0\r\n"
              "HM uv coords - 0.000000 1.000000\r\n"
              "VT uv coords - 0 255\r\n"
              "To file - Poly: 0 1 2 1 255 0 0 255 0 0 255 0 0\r\n"
              "End of _d.3d file\r\n");
}

TEST(MeshDataFile, SecondMeshIsShiftedBySlotAndVertexBase) {
    hm::ModelPtr model(hm::CreateModel());
    AddPlainMesh(model.get(), "A", 3, {{0, 1, 2}});
    AddPlainMesh(model.get(), "B", 4, {{0, 1, 2}, {3, 2, 1}});
    Written out = WriteDataFile(model.get());

    ASSERT_EQ(out.bytes.size(), 96u);
    EXPECT_EQ(U16(out.bytes, 0), 3);
    EXPECT_EQ(U16(out.bytes, 2), 7);
    for (size_t at = 4; at < 48; ++at) EXPECT_EQ(out.bytes[at], '\0');
    EXPECT_EQ(U8(out.bytes, 48 + 14), 0);
    const size_t b0 = 64, b1 = 80;
    EXPECT_EQ(U16(out.bytes, b0), 3);
    EXPECT_EQ(U16(out.bytes, b0 + 2), 4);
    EXPECT_EQ(U16(out.bytes, b0 + 4), 5);
    EXPECT_EQ(U16(out.bytes, b1), 6);
    EXPECT_EQ(U16(out.bytes, b1 + 2), 5);
    EXPECT_EQ(U16(out.bytes, b1 + 4), 4);
    EXPECT_EQ(U8(out.bytes, b0 + 14), 1);
    EXPECT_EQ(U8(out.bytes, b1 + 14), 1);

    std::vector<std::string> lines = Lines(out.log);
    ASSERT_EQ(lines.size(), 2u + 4 + 7 * 3);  // M + 4 + 7T
    EXPECT_EQ(lines[0], "Group A Vertex Count 3 PolyCount 1");
    EXPECT_EQ(lines[1], "Group B Vertex Count 7 PolyCount 3");
}

TEST(MeshDataFile, VertexOnlyMeshStillCountsAndAdvancesTheBase) {
    hm::ModelPtr model(hm::CreateModel());
    AddPlainMesh(model.get(), "Points", 5, {});
    AddPlainMesh(model.get(), "Tri", 3, {{2, 1, 0}});
    Written out = WriteDataFile(model.get());
    ASSERT_EQ(out.bytes.size(), 64u);
    EXPECT_EQ(U16(out.bytes, 2), 8);
    EXPECT_EQ(U16(out.bytes, 48), 7);
    EXPECT_EQ(U16(out.bytes, 50), 6);
    EXPECT_EQ(U16(out.bytes, 52), 5);
    EXPECT_EQ(U8(out.bytes, 48 + 14), 1);
}

TEST(MeshDataFile, TextureSlotWrapsAt256) {
    hm::ModelPtr model(hm::CreateModel());
    for (int i = 0; i < 257; ++i) AddPlainMesh(model.get(), "m", 3, {{0, 1, 2}});
    Written out = WriteDataFile(model.get());
    ASSERT_EQ(out.bytes.size(), 48u + 16 * 257);
    EXPECT_EQ(U8(out.bytes, 48 + 16 * 255 + 14), 255);
    EXPECT_EQ(U8(out.bytes, 48 + 16 * 256 + 14), 0);
    EXPECT_EQ(U16(out.bytes, 48 + 16 * 256), 768);
}

TEST(MeshDataFile, TotalsAndIndicesWrapAt65536) {
    hm::ModelPtr model(hm::CreateModel());
    AddPlainMesh(model.get(), "Big", 65530, {});
    AddPlainMesh(model.get(), "Rest", 4470, {{0, 5, 6}});
    Written out = WriteDataFile(model.get());
    EXPECT_EQ(U16(out.bytes, 2), 4464);  // 70000 modulo 65536
    EXPECT_EQ(out.vertexTotal, 4464);
    EXPECT_EQ(U16(out.bytes, 48), 65530);
    EXPECT_EQ(U16(out.bytes, 50), 65535);
    EXPECT_EQ(U16(out.bytes, 52), 0);  // model-wide vertex 65536

    hm::ModelPtr many(hm::CreateModel());
    hmMesh* mesh = AddPlainMesh(many.get(), "Many", 3, {});
    mesh->triangles.assign(65536, hmTriangle{{0, 1, 2}});
    Written all = WriteDataFile(many.get());
    EXPECT_EQ(U16(all.bytes, 0), 0);
    EXPECT_EQ(all.bytes.size(), 48u + 16u * 65536);
}

TEST(MeshDataFile, LoggedBytesAreTheRecordsBytes) {
    hm::ModelPtr model(hm::CreateModel());
    hmMesh* mesh = hm::AddMesh(model.get(), "Uv");
    mesh->vertices = {hm::MakeVertex({0, 0, 0}, -0.5f, 1.5f), hm::MakeVertex({0, 0, 0}, 2.0f, 1.004f),
                      hm::MakeVertex({0, 0, 0}, 0.5f, 1.0f)};
    mesh->triangles = {{{0, 1, 2}}};
    Written out = WriteDataFile(model.get());
    std::vector<std::string> lines = Lines(out.log);
    EXPECT_EQ(lines[4], "HM uv coords - -0.500000 1.500000");
    EXPECT_EQ(lines[5], "VT uv coords - 129 126");
    EXPECT_EQ(lines[7], "VT uv coords - 254 0");
    EXPECT_EQ(lines[9], "VT uv coords - 127 255");
    EXPECT_EQ(lines[10], "To file - Poly: 0 1 2 1 255 129 126 254 0 127 255 0 0");
    const uint8_t expected[6] = {129, 126, 254, 0, 127, 255};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(U8(out.bytes, 48 + 8 + static_cast<size_t>(i)), expected[i]);
}

TEST(MeshDataFile, CornerBeyondItsMeshKeepsItsIndexWithZeroCoordinates) {
    hm::ModelPtr model(hm::CreateModel());
    AddPlainMesh(model.get(), "A", 2, {});
    hmMesh* mesh = AddPlainMesh(model.get(), "B", 3, {{0, 1, 40000}});
    mesh->vertices[0].texCoords[0] = 1.0f;
    Written out = WriteDataFile(model.get());
    ASSERT_EQ(out.bytes.size(), 64u);
    EXPECT_EQ(U16(out.bytes, 52), 40002);
    EXPECT_EQ(U8(out.bytes, 48 + 8), 255);
    EXPECT_EQ(U8(out.bytes, 48 + 12), 0);
    EXPECT_EQ(U8(out.bytes, 48 + 13), 0);
}

}  // namespace
