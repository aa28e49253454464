// What a host program is told about a model it has loaded: typed entries,
// each with the count it stands for and a few examples, in one list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace hm {

enum class WarningKind {
    // Host model files: what the host may hold but the exporter has to cope with.
    UnknownBone,        // vertices bound to a bone the model lacks
    ParentIsItself,     // a bone naming itself as its parent
    ParentAfterChild,   // a parent listed after its child
    // Either route.
    FormatLimit,        // past a limit of the format, going on as the policy allows
    // Imported files: what was dropped, cut or approximated.
    BoneWithoutNode,    // a skin's bone that names no node; its weights are left out
    BindNotInvertible,  // a bind matrix that cannot be inverted
    BoundDifferently,   // a bone bound differently by two meshes
    ScaledRest,         // bones resting with a scale other than 1
    ScaledInClip,       // a clip scaling a bone away from its rest
    MeshWithoutTriangles,
    LinesAndPoints,     // lines and points left out
    InfluencesDropped,  // vertices reduced to their heaviest bone
    UnweightedVertices, // vertices of skinned meshes without a weight
    TextureNameCut,     // a texture name longer than the host holds
    MissingTexture,     // meshes without a diffuse texture
};

// How many examples an entry keeps at most.
inline constexpr size_t kWarningExamples = 5;

struct Warning {
    WarningKind kind;
    std::string text;                   // the line the user is shown
    int64_t count = 1;                  // how many things of the kind it concerns
    std::vector<std::string> examples;  // the first few of them: names or places
};

using Warnings = std::vector<Warning>;

inline void AddWarning(Warnings& warnings, WarningKind kind, std::string text, int64_t count = 1,
                       std::vector<std::string> examples = {}) {
    if (examples.size() > kWarningExamples) examples.resize(kWarningExamples);
    warnings.push_back({kind, std::move(text), count, std::move(examples)});
}

}  // namespace hm
