#include "export/animation_file.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <vector>

using namespace testing_support;

namespace {

struct Written {
    std::string bytes;
    std::string log;
    AnimationResult result;
};

Written WriteAnimFile(hmModel* model, PoseSource& poses, uint16_t vertexTotal) {
    ScratchDir dir;
    ExportLog log;
    EXPECT_TRUE(log.Open(dir / "log"));
    OutputFile file;
    EXPECT_TRUE(file.Open(dir / "m_a.3d"));
    AnimationResult result = WriteAnimationFile(model, poses, file, log, vertexTotal);
    EXPECT_TRUE(file.Commit());
    EXPECT_TRUE(log.Close());
    return {ReadFile(dir / "m_a.3d"), ReadFile(dir / "log"), result};
}

// Posed by the host's skeleton, as a run poses it.
Written WriteAnimFile(hmModel* model, uint16_t vertexTotal) {
    BoneTable table;
    table.SetupBindPose(model);
    SkeletonSource poses(table, model);
    return WriteAnimFile(model, poses, vertexTotal);
}

// Frames given position by position.
class ListedFrames : public PoseSource {
public:
    explicit ListedFrames(std::vector<std::vector<Vector3f>> frames) : frames_(std::move(frames)) {}
    int32_t FrameCount() const override { return static_cast<int32_t>(frames_.size()); }
    void PoseFrame(int32_t frame, std::span<Vector3f> positions) override {
        std::copy_n(frames_[frame].begin(), std::min(positions.size(), frames_[frame].size()), positions.begin());
    }

private:
    std::vector<std::vector<Vector3f>> frames_;
};

int16_t S16(const std::string& bytes, size_t at) {
    return static_cast<int16_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8);
}

// A model of unbound vertices (posed where they stand) in one mesh.
hm::ModelPtr StillModel(std::vector<HostVec3> positions, int32_t frames) {
    hm::ModelPtr model(hm::CreateModel());
    hmMesh* mesh = hm::AddMesh(model.get(), "M");
    for (HostVec3 p : positions) mesh->vertices.push_back(hm::MakeVertex(p));
    model->totalFrames = frames;
    return model;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(AnimationFile, SingleVertexBoundsOffsetScaleAndRecord) {
    hm::ModelPtr model = StillModel({{1, 2, 3}}, 2);
    Written out = WriteAnimFile(model.get(), 1);
    EXPECT_EQ(out.result.frameCount, 2);
    EXPECT_EQ(out.result.scale, 85.333336f);
    ASSERT_EQ(out.bytes.size(), 4u + 8 * 2);
    for (size_t frame = 0; frame < 2; ++frame) {
        size_t at = 4 + 8 * frame;
        EXPECT_EQ(S16(out.bytes, at), 42);
        EXPECT_EQ(S16(out.bytes, at + 2), 128);
        EXPECT_EQ(S16(out.bytes, at + 4), 85);
        EXPECT_EQ(S16(out.bytes, at + 6), 0);
    }
    EXPECT_EQ(out.log,
              "Beginning _a.3d file\r\n"
              "To File: Number of Frames - 2\r\n"
              "To File: Framesize - 8\r\n"
              "Max Values - 1.000000 2.000000 3.000000\r\n"
              " Min Values - 0.000000 0.000000 0.000000\r\n"
              "Offset Values - 0.500000 1.000000 1.500000\r\n"
              "Largest Magnitude - 1.500000\r\n"
              "Scale factor - 85.333336\r\n"
              "Writing frame no. 0\r\n"
              "To file: Vertex 0 - 42 128 85\r\n"
              "Writing frame no. 0\r\n"
              "To file: Vertex 0 - 42 128 85\r\n");
}

TEST(AnimationFile, SymmetricAndOneSidedBoxes) {
    Written symmetric = WriteAnimFile(StillModel({{-2, 0, 0}, {2, 0, 0}}, 1).get(), 2);
    EXPECT_EQ(symmetric.result.scale, 64.0f);
    EXPECT_EQ(S16(symmetric.bytes, 4), -128);
    EXPECT_EQ(S16(symmetric.bytes, 12), 128);

    // The box always holds the origin, so x from 4 to 6 spans 0 to 6.
    Written oneSided = WriteAnimFile(StillModel({{4, 0, 0}, {6, 0, 0}}, 1).get(), 2);
    EXPECT_EQ(oneSided.result.scale, 42.666668f);
    EXPECT_EQ(S16(oneSided.bytes, 4), 42);
    EXPECT_EQ(S16(oneSided.bytes, 12), 128);
    EXPECT_NE(oneSided.log.find("Offset Values - 3.000000 0.000000 0.000000\r\n"), std::string::npos);
}

TEST(AnimationFile, OneTriangleModelGivesTheExactFile) {
    hm::ModelPtr model = OneTriangleModel();
    Written out = WriteAnimFile(model.get(), 3);
    const std::string expected("\x01\x00\x18\x00"
                               "\xC0\xFF\x00\x00\x80\xFF\x00\x00"
                               "\x40\x00\x00\x00\x80\xFF\x00\x00"
                               "\xC0\xFF\x00\x00\x80\x00\x00\x00",
                               28);
    EXPECT_EQ(out.bytes, expected);
    EXPECT_NE(out.log.find("Max Values - 2.000000 4.000000 0.000000\r\n"), std::string::npos) << out.log;
}

TEST(AnimationFile, VertexNumbersRestartWithEachMesh) {
    hm::ModelPtr model = StillModel({{1, 0, 0}, {2, 0, 0}}, 1);
    hm::AddMesh(model.get(), "N")->vertices = {hm::MakeVertex({3, 0, 0})};
    Written out = WriteAnimFile(model.get(), 3);
    EXPECT_NE(out.log.find("To file: Vertex 1 - 42 0 0\r\nTo file: Vertex 0 - 128 0 0\r\n"), std::string::npos)
        << out.log;
}

TEST(AnimationFile, NoFramesGivesTheHeaderAlone) {
    for (int32_t total : {0, 65536}) {
        Written out = WriteAnimFile(StillModel({{1, 2, 3}}, total).get(), 1);
        EXPECT_EQ(out.bytes, std::string("\x00\x00\x08\x00", 4)) << total;
        EXPECT_EQ(out.result.frameCount, 0);
        EXPECT_EQ(Count(out.log, "Writing frame no."), 0u);
    }
}

TEST(AnimationFile, FrameSizeWrapsWhileFramesStayWhole) {
    std::vector<HostVec3> many(8192, HostVec3{1, 1, 1});
    Written out = WriteAnimFile(StillModel(many, 2).get(), 8192);
    EXPECT_EQ(out.bytes.substr(0, 4), std::string("\x02\x00\x00\x00", 4));
    EXPECT_EQ(out.bytes.size(), 4u + 2 * 65536);
}

TEST(AnimationFile, EverythingAtTheOriginGivesAnInfiniteScaleAndZeros) {
    Written out = WriteAnimFile(StillModel({{0, 0, 0}, {0, 0, 0}}, 3).get(), 2);
    EXPECT_EQ(out.result.scale, std::numeric_limits<float>::infinity());
    EXPECT_NE(out.log.find("Largest Magnitude - 0.000000\r\nScale factor - inf\r\n"), std::string::npos);
    EXPECT_EQ(out.bytes.size(), 4u + 3 * 2 * 8);
    EXPECT_EQ(out.bytes.substr(4), std::string(48, '\0'));
}

// The frame count and every position come from the source; the model gives
// only the meshes' vertex counts.
TEST(AnimationFile, FramesAndPositionsComeFromTheSource) {
    hm::ModelPtr model = StillModel({{9, 9, 9}, {9, 9, 9}}, 5);
    ListedFrames source({{{2, 0, 0}, {0, 0, 1}}, {{-2, 0, 0}, {0, 0, -1}}, {{1, 0, 0}, {0, 0, 0}}});
    Written out = WriteAnimFile(model.get(), source, 2);
    EXPECT_EQ(out.result.frameCount, 3);
    EXPECT_EQ(out.result.scale, 64.0f);
    ASSERT_EQ(out.bytes.size(), 4u + 3 * 2 * 8);
    const int16_t expected[3][2][2] = {{{128, 0}, {0, 64}}, {{-128, 0}, {0, -64}}, {{64, 0}, {0, 0}}};
    for (size_t f = 0; f < 3; ++f)
        for (size_t v = 0; v < 2; ++v) {
            EXPECT_EQ(S16(out.bytes, 4 + 16 * f + 8 * v), expected[f][v][0]) << f << " " << v;
            EXPECT_EQ(S16(out.bytes, 6 + 16 * f + 8 * v), expected[f][v][1]) << f << " " << v;
        }
}

TEST(AnimationFile, FrameLinesShowTheHostsCurrentFrame) {
    hm::ModelPtr model = StillModel({{1, 0, 0}}, 3);
    model->currentFrame = 17;
    Written out = WriteAnimFile(model.get(), 1);
    EXPECT_EQ(Count(out.log, "Writing frame no. 17\r\n"), 3u);
    EXPECT_EQ(Count(out.log, "Writing frame no."), 3u);
}

}  // namespace
