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
    TooManyBones,       // more bones than a vertex's index can name (the exact bake goes on without them)
    MorphTargetsDropped,  // morph targets, which the host does not have
    UnweightedVertices, // vertices of skinned meshes without a weight
    TextureNameCut,     // a texture name longer than the host holds
    MissingTexture,     // meshes without a diffuse texture
    EmptyTexture,       // a texture held in the file without data
    AmbiguousName,      // a bone's or channel's name shared by nodes the file does not tell apart
    ChannelWithoutNode, // a clip's channels that name no node
    ClipMovesNoBone,    // a clip that moves nothing the model has
    MorphTargets,       // meshes with morph targets, exported in their base shape
    MorphAnimation,     // a clip animating morph targets or swapping meshes
    CamerasAndLights,   // cameras and lights left out
    // Imported files: defects repaired before the export.
    MissingMesh,        // a node naming meshes the file does not hold
    StrayWeights,       // bone weights for vertices a mesh does not have
    MisfitMorphTargets, // morph targets whose vertices do not match their mesh
    BadKeys,            // keys whose time or value is not a number
    KeysOutOfOrder,     // tracks whose keys were put in time order
    KeysPastClipEnd,    // a clip extended to its last key
    // Imported files, added later (the order is part of the import result's encoding).
    TextureRefused,     // an image outside the folders allowed, or one that does not decode
    WeaponTriangles,    // a weapon material with more than its one triangle
    // The export itself.
    LogNotCreated,      // the log could not be created; the export went on without it
    // Vertex-animated files, read by our own readers.
    SkinStandIn,        // a skin taken from another image than the one the file names
    Note,               // nothing lost, worth knowing (a point cache found beside the model)
};

// Entries that lose nothing: said as notes, not warnings.
inline bool IsNote(WarningKind kind) { return kind == WarningKind::SkinStandIn || kind == WarningKind::Note; }

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
