#include "import/skeleton_build.h"
#include "tests/import/test_files.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

namespace {

using namespace hm::imp;

bool Load(const std::string& path, const std::string& text, SourceScene& scene) {
    test_files::WriteText(path, text);
    hm::Warnings warnings;
    const Error error = LoadSourceScene(path, scene, warnings);
    EXPECT_FALSE(error) << error.message;
    return !error;
}

// The joints between the two that move vertices become bones, parents first,
// each resting where its bind matrix puts it.
TEST(BuildSkeleton, ChainBetweenTheDeformingJointsRestsWhereBound) {
    testing_support::ScratchDir dir;
    SourceScene scene;
    ASSERT_TRUE(Load(dir / "chain.gltf", test_files::ChainGltf(4), scene));
    Skeleton skeleton;
    hm::Warnings warnings;
    BuildSkeleton(scene, std::vector<bool>(scene.nodes.size(), false), skeleton, warnings);
    ASSERT_EQ(skeleton.bones.size(), 4u);
    for (size_t b = 0; b < skeleton.bones.size(); ++b) {
        EXPECT_EQ(skeleton.bones[b].parent, static_cast<int>(b) - 1);
        EXPECT_EQ(skeleton.bones[b].name, "joint" + std::to_string(b));
        EXPECT_EQ(skeleton.boneOfNode[static_cast<size_t>(skeleton.bones[b].node)], static_cast<int>(b));
        EXPECT_NEAR(skeleton.bones[b].rest.t.y, 0.125 * static_cast<double>(b), 1e-9);
    }
    EXPECT_TRUE(warnings.empty());
}

// The host's limit on bones is the caller's to apply: only one of the bakes has it.
TEST(BuildSkeleton, MoreBonesThanAVertexCanNameAreAllBuilt) {
    testing_support::ScratchDir dir;
    SourceScene scene;
    ASSERT_TRUE(Load(dir / "chain.gltf", test_files::ChainGltf(129), scene));
    Skeleton skeleton;
    hm::Warnings warnings;
    BuildSkeleton(scene, std::vector<bool>(scene.nodes.size(), false), skeleton, warnings);
    EXPECT_EQ(skeleton.bones.size(), 129u);
}

// A mesh without a skin under an animated node rides that node as a bone.
TEST(BuildSkeleton, UnskinnedMeshUnderAnAnimatedNodeRidesIt) {
    testing_support::ScratchDir dir;
    SourceScene scene;
    ASSERT_TRUE(Load(dir / "prop.gltf", test_files::PropOnAnimatedNodeGltf(), scene));
    std::vector<bool> animated(scene.nodes.size(), false);
    int turntable = -1;
    for (size_t n = 0; n < scene.nodes.size(); ++n)
        if (std::string(scene.nodes[n].node->mName.C_Str()) == "Turntable") turntable = static_cast<int>(n);
    ASSERT_GE(turntable, 0);
    for (size_t n = 0; n < scene.nodes.size(); ++n)
        for (int up = static_cast<int>(n); up >= 0; up = scene.nodes[static_cast<size_t>(up)].parent)
            if (up == turntable) animated[n] = true;
    Skeleton skeleton;
    hm::Warnings warnings;
    BuildSkeleton(scene, animated, skeleton, warnings);
    ASSERT_EQ(scene.instances.size(), 1u);
    const int bone = skeleton.rigidBoneOfInstance[0];
    ASSERT_GE(bone, 0);
    EXPECT_EQ(skeleton.bones[static_cast<size_t>(bone)].node, scene.instances[0].node);
}

}  // namespace
