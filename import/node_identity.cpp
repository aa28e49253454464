#include "import/node_identity.h"

#include <algorithm>
#include <set>

namespace hm::imp {

namespace {

using Candidates = std::vector<int>;

// Keeps the candidates that pass, unless none does.
template <typename Test>
void Prefer(Candidates& candidates, Test test) {
    Candidates kept;
    for (int c : candidates)
        if (test(c)) kept.push_back(c);
    if (!kept.empty()) candidates = std::move(kept);
}

class Binder {
public:
    Binder(const aiScene& scene, const NodeTree& tree) : scene_(scene), tree_(tree) {
        meshNode_.assign(scene.mNumMeshes, -1);
        for (size_t i = 0; i < tree.nodes.size(); ++i) {
            byName_[tree.nodes[i]->mName.C_Str()].push_back(static_cast<int>(i));
            for (unsigned k = 0; k < tree.nodes[i]->mNumMeshes; ++k) {
                const unsigned mesh = tree.nodes[i]->mMeshes[k];
                if (mesh < meshNode_.size() && meshNode_[mesh] < 0) meshNode_[mesh] = static_cast<int>(i);
            }
        }
    }

    NodeBindings Run() {
        NodeBindings out;
        for (unsigned m = 0; m < scene_.mNumMeshes; ++m) out.boneNodes.push_back(BindSkin(*scene_.mMeshes[m], meshNode_[m]));
        for (const auto& skin : out.boneNodes)
            for (int node : skin)
                if (node >= 0) skinned_.insert(node);
        for (unsigned a = 0; a < scene_.mNumAnimations; ++a) {
            const aiAnimation& clip = *scene_.mAnimations[a];
            std::vector<int> nodes;
            for (unsigned c = 0; c < clip.mNumChannels; ++c) {
                Candidates candidates = Named(clip.mChannels[c]->mNodeName);
                Prefer(candidates, [&](int n) { return skinned_.count(n) > 0; });
                Prefer(candidates, [&](int n) { return tree_.nodes[static_cast<size_t>(n)]->mNumMeshes == 0; });
                nodes.push_back(Choose(candidates, "channel"));
            }
            out.channelNodes.push_back(std::move(nodes));
        }
        out.warnings = std::move(warnings_);
        return out;
    }

private:
    Candidates Named(const aiString& name) const {
        const auto found = byName_.find(name.C_Str());
        return found == byName_.end() ? Candidates() : found->second;
    }

    int Depth(int node) const {
        int depth = 0;
        for (int n = node; n >= 0; n = tree_.parent[static_cast<size_t>(n)]) ++depth;
        return depth;
    }

    // How deep the nearest node above both lies: a skin's bones usually hang
    // from the node that holds the skinned mesh, or near it.
    int CommonDepth(int a, int b) const {
        std::set<int> above;
        for (int n = a; n >= 0; n = tree_.parent[static_cast<size_t>(n)]) above.insert(n);
        for (int n = b; n >= 0; n = tree_.parent[static_cast<size_t>(n)])
            if (above.count(n)) return Depth(n);
        return 0;
    }

    std::vector<int> BindSkin(const aiMesh& mesh, int meshNode) {
        std::vector<Candidates> candidates;
        for (unsigned b = 0; b < mesh.mNumBones; ++b) {
            candidates.push_back(Named(mesh.mBones[b]->mName));
            Prefer(candidates.back(), [&](int n) { return tree_.nodes[static_cast<size_t>(n)]->mNumMeshes == 0; });
        }
        // A skin's joints form one tree: a candidate next to a joint already
        // known (its parent, or its child) is the one the skin means. Each
        // settled name may settle another, so go on while that happens.
        for (bool progress = true; progress;) {
            progress = false;
            std::set<int> settled;
            for (const Candidates& c : candidates)
                if (c.size() == 1) settled.insert(c.front());
            for (Candidates& c : candidates) {
                if (c.size() < 2) continue;
                const size_t before = c.size();
                Prefer(c, [&](int n) {
                    if (settled.count(tree_.parent[static_cast<size_t>(n)])) return true;
                    for (int s : settled)
                        if (tree_.parent[static_cast<size_t>(s)] == n) return true;
                    return false;
                });
                progress = progress || c.size() < before;
            }
        }
        if (meshNode >= 0)
            for (Candidates& c : candidates) {
                int deepest = 0;
                for (int n : c) deepest = std::max(deepest, CommonDepth(n, meshNode));
                Prefer(c, [&](int n) { return CommonDepth(n, meshNode) == deepest; });
            }
        std::vector<int> nodes;
        for (const Candidates& c : candidates) nodes.push_back(Choose(c, "bone"));
        return nodes;
    }

    std::string Path(int node) const {
        std::string path;
        for (int n = node; n >= 0; n = tree_.parent[static_cast<size_t>(n)])
            path = tree_.nodes[static_cast<size_t>(n)]->mName.C_Str() + (path.empty() ? "" : "/" + path);
        return path;
    }

    int Choose(const Candidates& candidates, const char* what) {
        if (candidates.empty()) return -1;
        if (candidates.size() > 1) {
            const std::string name = tree_.nodes[static_cast<size_t>(candidates.front())]->mName.C_Str();
            if (reported_.insert(std::string(what) + "/" + name).second) {
                std::vector<std::string> paths;
                std::string list;
                for (int c : candidates) {
                    paths.push_back(Path(c));
                    list += (list.empty() ? "'" : ", '") + paths.back() + "'";
                }
                AddWarning(warnings_, WarningKind::AmbiguousName,
                           std::string(what) + " '" + name + "' may mean any of " + std::to_string(candidates.size()) +
                               " nodes (" + list + "); taken as '" + paths.front() +
                               "', the first in the file, as nothing in the file tells them apart",
                           static_cast<int64_t>(candidates.size()), paths);
            }
        }
        return candidates.front();
    }

    const aiScene& scene_;
    const NodeTree& tree_;
    std::unordered_map<std::string, Candidates> byName_;
    std::vector<int> meshNode_;  // the first node that holds each mesh, or -1
    std::set<int> skinned_;
    std::set<std::string> reported_;
    Warnings warnings_;
};

}  // namespace

NodeBindings BindNodes(const aiScene& scene, const NodeTree& tree) { return Binder(scene, tree).Run(); }

}  // namespace hm::imp
