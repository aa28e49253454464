#include "bake/vertex_frames.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

namespace hm::imp {

static_assert(std::endian::native == std::endian::little, "little-endian floats are copied as they are stored");

const float* FramePoints::Read(uint32_t frame) {
    const size_t values = static_cast<size_t>(frames_.points) * 3;
    if (!frames_.Streamed()) return frames_.positions.data() + frame * values;
    if (loaded_ == frame) return points_.data();
    if (!file_.is_open()) {
        file_.open(frames_.path, std::ios::binary);
        bytes_.resize(values * 4);
        points_.resize(values);
    }
    loaded_ = -1;
    file_.clear();
    file_.seekg(static_cast<std::streamoff>(frames_.offset + frame * frames_.stride));
    if (!file_ || !file_.read(bytes_.data(), static_cast<std::streamsize>(bytes_.size())))
        throw std::runtime_error(frames_.path + ": frame " + std::to_string(frame) +
                                 " cannot be read (the file changed or was cut short while exporting)");
    const bool swap = frames_.encoding == PointEncoding::kFloatBig;
    for (size_t i = 0; i < values; ++i) {
        uint32_t word;
        std::memcpy(&word, bytes_.data() + 4 * i, 4);
        if (swap) word = __builtin_bswap32(word);
        std::memcpy(&points_[i], &word, 4);
    }
    loaded_ = frame;
    return points_.data();
}

Error CheckFramePoints(const VertexFrames& frames) {
    FramePoints reader(frames);
    for (uint32_t f = 0; f < frames.fileFrames; ++f) {
        const float* points;
        try {
            points = reader.Read(f);
        } catch (const std::runtime_error&) {
            return Fault(ErrorKind::kBadInput, "frame " + std::to_string(f) + " cannot be read");
        }
        for (size_t i = 0; i < static_cast<size_t>(frames.points) * 3; ++i)
            if (!std::isfinite(points[i]))
                return Fault(ErrorKind::kBadInput, "frame " + std::to_string(f) + " point " + std::to_string(i / 3) +
                                                       ": a coordinate that is not a finite number");
    }
    return {};
}

}  // namespace hm::imp
