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
    counts.largestMeshVertices = hm::kMaxMeshVertices;
    counts.largestMesh = "body";
    return counts;
}

TEST(FormatLimits, CountsAtTheLimitsPassEveryRoute) {
    for (hm::InputRoute route : {hm::InputRoute::HostModelFile, hm::InputRoute::Imported})
        for (bool force : {false, true}) EXPECT_TRUE(hm::CheckFormatLimits(AtTheLimits(), route, force).empty());
}

// One past each limit, alone: what each route does about it today.
TEST(FormatLimits, EachRouteStopsOrWarnsAsItsPolicySays) {
    struct Case {
        hm::FormatLimit limit;
        int64_t hm::ModelCounts::*count;
        bool hostFileWarns;
        bool importStops;  // unless forced, where it warns
        bool forceHelps;
    };
    const Case cases[] = {
        {hm::FormatLimit::MeshVertices, &hm::ModelCounts::largestMeshVertices, false, true, false},
        {hm::FormatLimit::VertexTotal, &hm::ModelCounts::vertices, true, true, true},
        {hm::FormatLimit::TriangleTotal, &hm::ModelCounts::triangles, true, true, true},
        {hm::FormatLimit::Frames, &hm::ModelCounts::frames, false, true, true},
        {hm::FormatLimit::TextureSlots, &hm::ModelCounts::meshes, false, false, false},
    };
    for (const Case& c : cases) {
        hm::ModelCounts counts = AtTheLimits();
        counts.*c.count += 1;
        const auto hostFile = hm::CheckFormatLimits(counts, hm::InputRoute::HostModelFile, false);
        ASSERT_EQ(hostFile.size(), c.hostFileWarns ? 1u : 0u) << int(c.limit);
        if (c.hostFileWarns) {
            EXPECT_FALSE(hostFile[0].stops);
        }

        for (bool force : {false, true}) {
            const auto imported = hm::CheckFormatLimits(counts, hm::InputRoute::Imported, force);
            ASSERT_EQ(imported.size(), 1u) << int(c.limit);
            EXPECT_EQ(imported[0].limit, c.limit);
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
