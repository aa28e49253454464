// Point caches (.pc2, .mdd): every frame's position of each of a model's
// vertices, in the model file's order, read from the file a frame at a time.
#pragma once

#include "bake/exact_scene.h"
#include "host/error.h"
#include "import/model_import.h"

#include <string>

namespace hm::fmt {

struct PointCache {
    imp::VertexFrames frames;  // streamed from the file, every frame on the timeline
    double rate = 0;           // frames a second the file states (MDD's times); 0 when it states none
    double step = 1;           // the scene's frames from one sample to the next (PC2's)
};

// The header and the frames' layout: PC2 ("POINTCACHE2", little-endian) or
// MDD (big-endian, each frame's time in seconds), told by content. Refused
// (kBadInput, naming the file and the place) when the header's counts do not
// fit the file or a coordinate is not a finite number (every frame is read
// once, a frame at a time).
Error OpenPointCache(const std::string& path, PointCache& cache);

// PATH with .pc2 or .mdd (in any case) for the model's extension, where such
// a file is beside the model; "" otherwise.
std::string PointCacheBeside(const std::string& modelPath);

// The cache's frames in place of the model's rest: the model, imported with
// its vertices numbered (ImportOptions::numberFileVertices), must have as many
// vertices as the cache has points, or the cache is refused naming both
// counts. The cache's axes are turned to the model's where its first frame
// lies as Blender's exporters turn theirs (with a note); one clip, named
// after the cache, at the rate it states, else at options.fps.
Error AttachPointCache(ImportResult& result, const std::string& modelPath, const std::string& cachePath,
                       const ImportOptions& options, bool rateGiven);

}  // namespace hm::fmt
