// Writes an exported set as one glTF 2.0 binary file, the way back into a
// modelling tool: triangles, textures, every frame and every sequence.
#pragma once

#include "host/error.h"
#include "view/exported_set.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace view {

// What the file holds beside the set, and how to export it back.
//
// Texture coordinates: byte b is written as (b + 1/8) / 255, which the
// exporter's truncation of t × 255 turns back into b (the margin of 1/8 is far
// above a float's rounding, a v turned over and back included); it lies
// between 1/8 and 9/8 of a texel (of a 256-texel image) past the engine's b / 256.
// Positions: each frame decoded as the engine does (DecodePosition), in the
// host's axes (engine x, z, y), each record in the middle of the span the
// exporter truncates to it; the mesh holds frame 0 (or the first frame whose
// vertices a reader will not merge), every other distinct frame is a morph
// target of it (a frame equal to an earlier one shares its target).
// Sequences: one animation each, whose weights hold frame k flat from
// (k - 1/4) / rate to (k + 1/4) / rate, so that sampling at k / rate lands on
// frame k however the times round. The file is bounded by the set: sequences
// of one range and rate share their data, and those past 4096 animations or
// past 64 MiB of animation beyond the morph targets are left out (a
// difference names them); the sequences of the timeline always go in.
struct GltfReport {
    std::vector<std::string> differences;  // what exporting the file back will not give as the set has it
    std::vector<std::string> exportOptions;  // vantrel-export options that give the set back
    std::vector<uint32_t> vertices;  // the set vertex of each of the file's vertices, primitive after primitive
    size_t morphTargets = 0;
    size_t primitives = 0;
    uint64_t bytes = 0;
};

// Where the frames go: morph targets and animations (every tool plays them),
// or nowhere (a point cache holds them, see point_cache_writer.h): the file
// then holds the mesh alone, its sequences only in its extras.
enum class GltfFrames { kMorphTargets, kMeshOnly };

// A vertex of a frame as the file holds it: decoded as the engine does, in
// the host's axes (engine x, z, y), in the middle of its record's span.
std::array<float, 3> GltfPosition(const ExportedSet& set, uint32_t frame, uint32_t vertex);

// Written through a temporary of a unique name, created exclusively beside
// path and renamed over it when complete (output/). kWriteFailed when the
// file cannot be written, kLimit when the set is too large for glTF (or its
// timeline's animations for the bound above), kBadInput when no triangle
// names the set's vertices or a number would not be finite, kOutOfMemory; an
// earlier file of that name is then left as it was. Never throws.
Error WriteSetAsGltf(const ExportedSet& set, const std::string& path, GltfReport& report,
                     GltfFrames frames = GltfFrames::kMorphTargets);

}  // namespace view
