// What the exported format can hold, each limit with its reason, and the one
// check every route into an export (host model file, imported file) runs first.
#pragma once

#include "host/hm_model_lib.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hm {

// The files' layout: the mesh data file's header and triangle records, the
// animation file's header and the record of one vertex in one frame.
inline constexpr size_t kDataHeaderBytes = 48;
inline constexpr size_t kPolygonRecordBytes = 16;
inline constexpr size_t kAnimHeaderBytes = 4;
inline constexpr int64_t kFrameVertexBytes = 8;
// The most a 16-bit count or number of the files holds.
inline constexpr int64_t kMax16Bit = 65535;

// The animation file states a frame's size, 8 bytes a vertex, in 16 bits:
// this is the tightest limit on the vertices of a model.
inline constexpr int64_t kMaxFrameVertices = kMax16Bit / kFrameVertexBytes;
// The mesh data file's header counts vertices and triangles in 16 bits, and a
// polygon's corners are 16-bit model-wide vertex numbers.
inline constexpr int64_t kMaxVertexTotal = kMaxFrameVertices;
inline constexpr int64_t kMaxTriangleTotal = kMax16Bit;
// The host's triangle corners are 16-bit indices into their own mesh.
inline constexpr int64_t kMaxMeshVertices = kMax16Bit + 1;
// The animation file counts its frames in 16 bits.
inline constexpr int64_t kMaxFrames = kMax16Bit;
// A polygon names its texture by its mesh's index, in 8 bits.
inline constexpr int64_t kTextureSlots = 256;
// A vertex names its bone with a signed 8-bit index.
inline constexpr int64_t kMaxBones = 128;
// Bone, parent, mesh and texture names sit in 32-byte fields, zero-terminated.
inline constexpr size_t kNameField = 32;
inline constexpr size_t kMaxNameBytes = kNameField - 1;

// What a model holds, against the limits above.
struct ModelCounts {
    int64_t vertices = 0;
    int64_t triangles = 0;
    int64_t frames = 0;
    int64_t meshes = 0;
    int64_t bones = 0;
    int64_t largestMeshVertices = 0;
    std::string largestMesh;  // its name
};

HM_API ModelCounts CountModel(const hmModel& model);

enum class FormatLimit { MeshVertices, VertexTotal, TriangleTotal, Frames, TextureSlots, Bones };
// The bone limit belongs to the host's way of posing (a vertex names its bone
// in 8 bits); a route that poses vertices otherwise is not held to it.
enum class InputRoute { HostModelFile, Imported };

struct LimitFinding {
    FormatLimit limit;
    int64_t count;      // what the model holds
    int64_t most;       // what the format holds
    bool stops;         // the export may not go on
    std::string text;   // one line for the user, without the file's name
};

// Every limit the counts pass. One policy for every route: over a limit the
// export stops, naming the limit, the count and the reason; with force it goes
// on, and the text says what wraps. Decided here and nowhere else.
HM_API std::vector<LimitFinding> CheckFormatLimits(const ModelCounts& counts, InputRoute route, bool force);

}  // namespace hm
