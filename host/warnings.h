// What a host program is told about a model it has loaded: typed entries,
// each with the count it stands for and a few examples, in one list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
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
    TextureNameChanged, // a texture name made of the engine's name characters, or cut to what the host holds
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
    FileRefused,        // another file the model names (a buffer, a material library) outside the folders allowed
    // The export itself.
    LogNotCreated,      // the log could not be created; the export went on without it
    // Vertex-animated files, read by our own readers.
    SkinStandIn,        // a skin taken from another image than the one the file names
    Note,               // nothing lost, worth knowing (a point cache found beside the model)
    // Added later, each at the end (the order is part of the import result's encoding).
    CoordinatesWithoutImage,  // a material with texture coordinates and no image: one flat colour
    StillMesh,          // a mesh that moves in no frame while others move
    StillClip,          // a clip during which nothing moves
    UnusedTexture,      // an earlier export's texture of this class that the new set does not use
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

// Text from a model as a message shows it: every control character (C0, DEL
// and C1), the Unicode line and paragraph separators, and every byte that is
// not part of UTF-8 written as \xNN or \uNNNN, so that nothing a file holds
// moves a terminal's cursor, rings its bell or starts a line of a log.
// Printable text comes back as it is (a backslash stays one).
inline std::string Printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    const auto escape = [&out](const char* format, unsigned value) {
        char code[8];
        std::snprintf(code, sizeof code, format, value);
        out += code;
    };
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F) escape("\\x%02x", c);
            else out += static_cast<char>(c);
            ++i;
            continue;
        }
        // A UTF-8 sequence: its length by its lead byte, each byte after it 10xxxxxx, no overlong form.
        const size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        unsigned code = length == 2 ? c & 0x1Fu : length == 3 ? c & 0x0Fu : c & 0x07u;
        bool valid = length != 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = code << 6 | (next & 0x3Fu);
        }
        valid = valid && !(length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) &&
                !(length == 4 && (code < 0x10000 || code > 0x10FFFF));
        if (!valid) {
            escape("\\x%02x", c);
            ++i;
            continue;
        }
        if (code <= 0x9F || code == 0x2028 || code == 0x2029) escape("\\u%04x", code);
        else out.append(text.substr(i, length));
        i += length;
    }
    return out;
}

}  // namespace hm
