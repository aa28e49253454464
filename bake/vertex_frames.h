// The points of a scene's vertex frames, a frame at a time: from memory, or
// read from the file with memory for one frame only, however long the file.
#pragma once

#include "bake/exact_scene.h"
#include "host/error.h"

#include <cstdint>
#include <fstream>
#include <vector>

namespace hm::imp {

// One reader per thread that poses: a streamed file is opened by each.
class FramePoints {
public:
    explicit FramePoints(const VertexFrames& frames) : frames_(frames) {}
    // Frame f's points, x, y, z each, as the file holds them; valid until the
    // next call. A streamed frame that cannot be read (the file changed since
    // it was checked) throws std::runtime_error naming the file and the frame.
    const float* Read(uint32_t frame);

private:
    const VertexFrames& frames_;
    std::ifstream file_;
    std::vector<char> bytes_;
    std::vector<float> points_;
    int64_t loaded_ = -1;
};

// Reads every frame once: kBadInput naming the frame and point of the first
// coordinate that is not a finite number, or the frame that cannot be read
// (the caller names the file).
Error CheckFramePoints(const VertexFrames& frames);

}  // namespace hm::imp
