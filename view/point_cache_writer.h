// Writes every frame of an exported set as a point cache (PC2), the frames
// beside a glTF file of the set written without them (GltfFrames::kMeshOnly):
// Blender's Mesh Cache modifier (and other tools' point-cache readers) play
// them from the file, a frame at a time, where thousands of morph targets
// would each become a shape key.
#pragma once

#include "host/error.h"
#include "view/exported_set.h"

#include <cstdint>
#include <string>
#include <vector>

namespace view {

// PC2: "POINTCACHE2\0", version 1, the points, start frame 0, one sample a
// frame, the frames; then each frame's points as three little-endian floats.
// Point i of each frame is set vertex vertices[i] (GltfReport::vertices: the
// glTF file's vertices in its order) at GltfPosition: the host's axes (Y up),
// the very numbers of the glTF file's mesh. Every frame of the set is written,
// equal frames included, so that frame k of the cache is frame k of the set.
//
// Written through a temporary beside path and renamed over it when complete
// (output/). kWriteFailed when it cannot be written, kLimit past the format's
// 32-bit counts, kBadInput when the set's frames are not whole or a vertex
// is past the last, kOutOfMemory. Never throws.
Error WriteSetAsPointCache(const ExportedSet& set, const std::vector<uint32_t>& vertices, const std::string& path,
                           uint64_t& bytes);

}  // namespace view
