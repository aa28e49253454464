#include "host/format_limits.h"
#include "host/host_model.h"

#include <gtest/gtest.h>

namespace {

// An import stops at the frame size's vertex count, long before the vertex total's.
hm::ModelCounts AtTheLimits() {
    hm::ModelCounts counts;
    counts.vertices = hm::kMaxFrameVertices;
    counts.triangles = hm::kMaxTriangleTotal;
    counts.frames = hm::kMaxFrames;
    counts.meshes = hm::kTextureSlots;
    counts.largestMeshVertices = hm::kMaxMeshVertices;
    counts.largestMesh = "body";
    return counts;
}

TEST(FormatLimits, CountsAtTheLimitsPassEveryRoute) {
    for (hm::InputRoute route : {hm::InputRoute::HostModelFile, hm::InputRoute::Imported})
        for (bool force : {false, true}) EXPECT_TRUE(hm::CheckFormatLimits(AtTheLimits(), route, force).empty());
}

// One past each limit: what each route does about it today.
TEST(FormatLimits, EachRouteStopsOrWarnsAsItsPolicySays) {
    struct Case {
        hm::FormatLimit limit;
        int64_t hm::ModelCounts::*count;
        int64_t most;
        bool hostFileWarns;
        bool importStops;  // unless forced, where it warns
        bool forceHelps;
    };
    const Case cases[] = {
        {hm::FormatLimit::MeshVertices, &hm::ModelCounts::largestMeshVertices, hm::kMaxMeshVertices, false, true, false},
        {hm::FormatLimit::VertexTotal, &hm::ModelCounts::vertices, hm::kMaxVertexTotal, true, true, true},
        {hm::FormatLimit::TriangleTotal, &hm::ModelCounts::triangles, hm::kMaxTriangleTotal, true, true, true},
        {hm::FormatLimit::Frames, &hm::ModelCounts::frames, hm::kMaxFrames, false, true, true},
        {hm::FormatLimit::TextureSlots, &hm::ModelCounts::meshes, hm::kTextureSlots, false, false, false},
        {hm::FormatLimit::FrameSize, &hm::ModelCounts::vertices, hm::kMaxFrameVertices, false, true, true},
    };
    auto only = [](const std::vector<hm::LimitFinding>& findings, hm::FormatLimit limit) {
        std::vector<hm::LimitFinding> kept;
        for (const hm::LimitFinding& finding : findings)
            if (finding.limit == limit) kept.push_back(finding);
        return kept;
    };
    for (const Case& c : cases) {
        hm::ModelCounts counts = AtTheLimits();
        counts.*c.count = c.most + 1;
        const auto hostFile = only(hm::CheckFormatLimits(counts, hm::InputRoute::HostModelFile, false), c.limit);
        ASSERT_EQ(hostFile.size(), c.hostFileWarns ? 1u : 0u) << int(c.limit);
        if (c.hostFileWarns) {
            EXPECT_FALSE(hostFile[0].stops);
        }

        for (bool force : {false, true}) {
            const auto imported = only(hm::CheckFormatLimits(counts, hm::InputRoute::Imported, force), c.limit);
            ASSERT_EQ(imported.size(), 1u) << int(c.limit);
            EXPECT_EQ(imported[0].count, counts.*c.count);
            EXPECT_EQ(imported[0].stops, c.importStops && !(force && c.forceHelps)) << int(c.limit) << force;
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
