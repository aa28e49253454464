#include "host/format_limits.h"
#include "host/host_model.h"

#include <gtest/gtest.h>

namespace {

hm::ModelCounts AtTheLimits() {
    hm::ModelCounts counts;
    counts.vertices = hm::kMaxVertexTotal;
    counts.triangles = hm::kMaxTriangleTotal;
    counts.frames = hm::kMaxFrames;
    counts.meshes = hm::kTextureSlots;
    counts.bones = hm::kMaxBones;
    counts.largestMeshVertices = hm::kMaxMeshVertices;
    counts.largestMesh = "body";
    return counts;
}

TEST(FormatLimits, CountsAtTheLimitsPassEveryRoute) {
    for (hm::InputRoute route : {hm::InputRoute::HostModelFile, hm::InputRoute::Imported})
        for (bool force : {false, true}) EXPECT_TRUE(hm::CheckFormatLimits(AtTheLimits(), route, force).empty());
}

// One past each limit, alone: every route stops, naming the count, the limit
// and its reason; forced, it goes on and says what wraps. Bones bind the
// routes that pose through the host's bone table.
TEST(FormatLimits, EveryRouteStopsUnlessForcedAndSaysWhy) {
    struct Case {
        hm::FormatLimit limit;
        int64_t hm::ModelCounts::*count;
        const char* reason;
    };
    const Case cases[] = {
        {hm::FormatLimit::VertexTotal, &hm::ModelCounts::vertices, "8192 vertices in all; the animation file states a frame's size"},
        {hm::FormatLimit::MeshVertices, &hm::ModelCounts::largestMeshVertices, "mesh 'body' has 65537 vertices; a triangle corner is a 16-bit index"},
        {hm::FormatLimit::TriangleTotal, &hm::ModelCounts::triangles, "65536 triangles in all; the mesh data file counts them in 16 bits"},
        {hm::FormatLimit::Frames, &hm::ModelCounts::frames, "65536 frames; the animation file counts them in 16 bits"},
        {hm::FormatLimit::TextureSlots, &hm::ModelCounts::meshes, "257 meshes; a polygon names its texture slot in 8 bits"},
        {hm::FormatLimit::Bones, &hm::ModelCounts::bones, "129 bones; a vertex names its bone with a signed 8-bit index"},
    };
    for (const Case& c : cases) {
        hm::ModelCounts counts = AtTheLimits();
        counts.*c.count += 1;
        for (hm::InputRoute route : {hm::InputRoute::HostModelFile, hm::InputRoute::Imported})
            for (bool force : {false, true}) {
                const auto findings = hm::CheckFormatLimits(counts, route, force);
                ASSERT_EQ(findings.size(), 1u) << c.reason;
                EXPECT_EQ(findings[0].limit, c.limit);
                EXPECT_EQ(findings[0].count, counts.*c.count);
                EXPECT_EQ(findings[0].stops, !force);
                EXPECT_EQ(findings[0].text.rfind(c.reason, 0), 0u) << findings[0].text;
                EXPECT_NE(findings[0].text.find(force ? "exporting as asked: " : "(--force exports anyway: "),
                          std::string::npos) << findings[0].text;
            }
    }
}

TEST(FormatLimits, CountModelTakesTheLargestMesh) {
    hm::ModelPtr model(hm::CreateModel());
    hm::AddMesh(model.get(), "small")->vertices.assign(2, hm::MakeVertex({0, 0, 0}));
    hmMesh* large = hm::AddMesh(model.get(), "large");
    large->vertices.assign(5, hm::MakeVertex({0, 0, 0}));
    large->triangles.assign(3, hmTriangle{{0, 1, 2}});
    model->totalFrames = 9;
    const hm::ModelCounts counts = hm::CountModel(*model);
    EXPECT_EQ(counts.vertices, 7);
    EXPECT_EQ(counts.triangles, 3);
    EXPECT_EQ(counts.frames, 9);
    EXPECT_EQ(counts.meshes, 2);
    EXPECT_EQ(counts.largestMeshVertices, 5);
    EXPECT_EQ(counts.largestMesh, "large");
}

}  // namespace
