// The box around a frame's posed vertices, from which the animation file
// takes its offset and scale; and a way to find it that poses only the
// vertices that could decide it.
#pragma once

#include "skeleton/transform_math.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

struct FrameBox {
    Vector3f max{0.0f, 0.0f, 0.0f};
    Vector3f min{0.0f, 0.0f, 0.0f};

    // Strict comparisons from a box at the origin: the result is the same in
    // any order of points or of boxes merged (a NaN never enters, and -0 never
    // replaces the 0 the box starts from). So a point inside the box, or on
    // its sides, changes nothing whenever it comes.
    void Add(const Vector3f& p) {
        if (p.x > max.x) max.x = p.x;
        if (p.x < min.x) min.x = p.x;
        if (p.y > max.y) max.y = p.y;
        if (p.y < min.y) min.y = p.y;
        if (p.z > max.z) max.z = p.z;
        if (p.z < min.z) min.z = p.z;
    }
    void Add(const FrameBox& other) {
        Add(other.max);
        Add(other.min);
    }
};

// The box of every one of positions.
inline FrameBox BoxOf(std::span<const Vector3f> positions) {
    FrameBox box;
    for (const Vector3f& p : positions) box.Add(p);
    return box;
}

// Bounds on a block of vertices at one frame: every position the block's
// vertices take, as the source rounds it, lies within low to high on each
// axis. A source makes them from the block's rest extent, with room for its
// rounding; a NaN bound is allowed and means "could be anywhere".
struct BlockBound {
    double low[3], high[3];
};

// Vertices in a block, at most.
inline constexpr size_t kBlockVertices = 32;

// Cuts count vertices into as few blocks as that allows, their sizes within
// one of each other: cut(first, end) for each.
template <typename Cut>
void CutBlocks(size_t count, Cut&& cut) {
    const size_t blocks = (count + kBlockVertices - 1) / kBlockVertices;
    for (size_t b = 0; b < blocks; ++b) cut(count * b / blocks, count * (b + 1) / blocks);
}

// Finds a frame's box, the same box as every vertex added, by posing the
// blocks that held its sides the frame before (frames move little from one
// to the next), then only the blocks whose bounds reach outside the box so
// far. One per evaluation state: it remembers those blocks.
class BoxScan {
public:
    // Room for the frame's bounds, one per block, for the caller to fill.
    std::span<BlockBound> Bounds(size_t blocks) {
        bounds_.resize(blocks);
        return bounds_;
    }

    // pose(b, box) adds the posed position of every vertex of block b.
    template <typename PoseBlock>
    FrameBox Run(PoseBlock&& pose) {
        const std::span<const BlockBound> bounds = bounds_;
        FrameBox box;
        posed_.assign(bounds.size(), 0);
        auto take = [&](uint32_t b) {
            posed_[b] = 1;
            const FrameBox before = box;
            pose(b, box);
            const float moved[6] = {box.max.x, box.max.y, box.max.z, box.min.x, box.min.y, box.min.z};
            const float was[6] = {before.max.x, before.max.y, before.max.z, before.min.x, before.min.y, before.min.z};
            for (int s = 0; s < 6; ++s)
                if (moved[s] != was[s]) sides_[s] = b;
        };
        for (const uint32_t b : sides_)
            if (b < bounds.size() && !posed_[b]) take(b);
        for (uint32_t b = 0; b < bounds.size(); ++b)
            if (!posed_[b] && Reaches(bounds[b], box)) take(b);
        return box;
    }

private:
    static bool Reaches(const BlockBound& bound, const FrameBox& box) {
        const float high[3] = {box.max.x, box.max.y, box.max.z}, low[3] = {box.min.x, box.min.y, box.min.z};
        for (int k = 0; k < 3; ++k)
            if (!(bound.high[k] <= high[k]) || !(bound.low[k] >= low[k])) return true;
        return false;
    }

    std::array<uint32_t, 6> sides_ = {UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX};
    std::vector<BlockBound> bounds_;
    std::vector<uint8_t> posed_;
};

// Orders indices so that vertices near one another come near one another in
// the order (along a Z-order curve through their box), so that blocks cut
// from it are small. at(i) gives index i's position as three numbers; a
// position that is not finite goes last.
template <typename PositionOf>
void OrderNearby(std::span<uint32_t> indices, PositionOf at) {
    double low[3] = {HUGE_VAL, HUGE_VAL, HUGE_VAL}, high[3] = {-HUGE_VAL, -HUGE_VAL, -HUGE_VAL};
    for (const uint32_t i : indices) {
        const auto p = at(i);
        for (int k = 0; k < 3; ++k) {
            const double v = p[k];
            if (std::isfinite(v)) {
                low[k] = std::min(low[k], v);
                high[k] = std::max(high[k], v);
            }
        }
    }
    std::vector<std::pair<uint32_t, uint32_t>> keyed;  // code, index
    keyed.reserve(indices.size());
    for (const uint32_t i : indices) {
        const auto p = at(i);
        uint32_t code = 0;
        for (int k = 0; k < 3; ++k) {
            const double v = p[k], f = high[k] > low[k] ? (v - low[k]) / (high[k] - low[k]) : 0.0;
            const uint32_t cell = f >= 0.0 && f <= 1.0 ? static_cast<uint32_t>(f * 1023.0) : 1023;
            for (int bit = 0; bit < 10; ++bit) code |= ((cell >> bit) & 1u) << (3 * bit + k);
        }
        keyed.push_back({code, i});
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t n = 0; n < keyed.size(); ++n) indices[n] = keyed[n].second;
}
