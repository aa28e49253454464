// The animation file ("_a.3d"): for every frame, every vertex's posed position
// quantised into signed 16-bit integers inside a cube of half-width 128.
#pragma once

#include "export/export_log.h"
#include "export/frame_records.h"
#include "output/output_file.h"
#include "export/pose_source.h"
#include "host/format_limits.h"
#include "host/hm_model_lib.h"

#include <cstdint>

inline constexpr size_t kAnimHeaderSize = hm::kAnimHeaderBytes;

struct AnimationResult {
    uint16_t frameCount;  // the frames written: the host's total, modulo 65536
    float scale;          // 128 / the largest half-extent; +infinity when that is 0
    // What moves: a hash of each frame's records, and for each mesh whether
    // any of its records differs between frames (empty when the meshes times
    // the frames are too many to keep a hash of each).
    std::vector<uint64_t> frameHashes;
    std::vector<bool> meshMoves;
};

// Makes two passes over the source's frames: the first finds the box of every
// posed vertex (always containing the origin), the second writes. Both are
// shared among `threads` threads (0: the machine's cores), each posing with a fork of the source
// (or, with one thread or a source that cannot fork, on the calling thread
// alone); a few frames per thread are held at a time, whatever the frame
// count. The model is used on the calling thread only: it gives the meshes'
// vertex counts (every vertex of every mesh gets a record in every frame,
// numbered within its mesh in the log) and the current frame the log shows.
// The files are the same with any number of threads.
//
// Each record holds x, the host's z, the host's y (the second and third axes
// exchanged) as (p - offset) × scale truncated toward zero, and a fourth
// field, unused by the engine, written as 0. Decoding value / scale + offset
// gives each coordinate to within 1 / scale (half-extent / 128), the error
// lying toward the offset. An infinite scale is logged as printf prints it
// ("inf"); every coordinate is then 0.
//
// The log traces the vertices of the first tracedFrames frames; a line then
// says which frames it leaves out.
AnimationResult WriteAnimationFile(hmModel* model, PoseSource& poses, OutputFile& file, ExportLog& log,
                                   uint16_t vertexTotal, int threads = 0, int32_t tracedFrames = INT32_MAX);
