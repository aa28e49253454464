#include "import/node_identity.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

using namespace hm::imp;

aiNode* Node(const char* name, std::vector<aiNode*> children = {}) {
    auto* node = new aiNode(name);
    if (!children.empty()) node->addChildren(static_cast<unsigned>(children.size()), children.data());
    return node;
}

// A scene whose one mesh, skinned to a bone called "joint", hangs from `holder`.
struct Scene {
    aiScene scene;
    NodeTree tree;

    Scene(aiNode* root, const std::string& holder) {
        scene.mRootNode = root;
        auto* mesh = new aiMesh();
        mesh->mNumBones = 1;
        mesh->mBones = new aiBone*[1]{new aiBone()};
        mesh->mBones[0]->mName.Set("joint");
        scene.mNumMeshes = 1;
        scene.mMeshes = new aiMesh*[1]{mesh};
        std::function<void(aiNode*, int)> add = [&](aiNode* node, int parent) {
            tree.nodes.push_back(node);
            tree.parent.push_back(parent);
            const int index = static_cast<int>(tree.nodes.size()) - 1;
            for (unsigned i = 0; i < node->mNumChildren; ++i) add(node->mChildren[i], index);
        };
        add(root, -1);
        aiNode* meshNode = root->FindNode(holder.c_str());
        meshNode->mNumMeshes = 1;
        meshNode->mMeshes = new unsigned[1]{0};
    }
    std::string Bound(const NodeBindings& bindings) const {
        const int node = bindings.boneNodes[0][0];
        return node < 0 ? "" : tree.nodes[static_cast<size_t>(node)]->mParent->mName.C_Str();
    }
};

// Where the names alone leave a choice, the bone nearest the skinned mesh's
// node is the one meant; only a tie is reported, with the node taken.
TEST(BindNodes, SharedNameGoesToTheBoneNearestTheMesh) {
    struct Case {
        const char* holder;  // the node that holds the mesh
        const char* bound;   // the parent of the bone bound
        bool warned;
    };
    for (const Case& c : {Case{"LeftBody", "Left", false}, Case{"RightBody", "Right", false},
                          Case{"Root", "Left", true}}) {
        Scene s(Node("Root", {Node("Left", {Node("joint"), Node("LeftBody")}),
                              Node("Right", {Node("joint"), Node("RightBody")})}),
                c.holder);
        const NodeBindings bindings = BindNodes(s.scene, s.tree);
        EXPECT_EQ(s.Bound(bindings), c.bound) << c.holder;
        ASSERT_EQ(bindings.warnings.size(), c.warned ? 1u : 0u) << c.holder;
        if (c.warned) {
            EXPECT_EQ(bindings.warnings[0].text,
                      "bone 'joint' may mean any of 2 nodes ('Root/Left/joint', 'Root/Right/joint'); taken as "
                      "'Root/Left/joint', the first in the file, as nothing in the file tells them apart");
        }
    }
}

}  // namespace
