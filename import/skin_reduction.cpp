#include "import/skin_reduction.h"

#include "import/skeleton_build.h"

#include <algorithm>

namespace hm::imp {

std::vector<int> HeaviestBones(const aiMesh& mesh, const std::vector<bool>& usable, SkinReduction& tally) {
    std::vector<int> heaviest(mesh.mNumVertices, -1);
    std::vector<float> weight(mesh.mNumVertices, 0.0f);
    std::vector<float> dropped(mesh.mNumVertices, 0.0f);
    std::vector<int> influences(mesh.mNumVertices, 0);
    for (unsigned b = 0; b < mesh.mNumBones; ++b) {
        const aiBone& bone = *mesh.mBones[b];
        if (!usable[b]) continue;
        for (unsigned w = 0; w < bone.mNumWeights; ++w) {
            const aiVertexWeight& entry = bone.mWeights[w];
            if (entry.mVertexId >= mesh.mNumVertices || !Influences(entry.mWeight)) continue;
            const unsigned v = entry.mVertexId;
            ++influences[v];
            if (entry.mWeight > weight[v]) {
                dropped[v] = std::max(dropped[v], weight[v]);
                weight[v] = entry.mWeight;
                heaviest[v] = static_cast<int>(b);
            } else {
                dropped[v] = std::max(dropped[v], entry.mWeight);
            }
        }
    }
    for (unsigned v = 0; v < mesh.mNumVertices; ++v) {
        if (influences[v] > 1) ++tally.multiInfluence;
        if (influences[v] == 0) ++tally.unweighted;
        tally.largestDropped = std::max(tally.largestDropped, dropped[v]);
    }
    return heaviest;
}

}  // namespace hm::imp
