// One frame of the animation file: every vertex's quantised record, and the
// log's line for each, made apart from the file so that threads can share it.
#pragma once

#include "host/format_limits.h"
#include "skeleton/transform_math.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

inline constexpr size_t kFrameVertexSize = hm::kFrameVertexBytes;

// Each position's record: x, the host's z, the host's y (the second and third
// axes exchanged) as QuantisePosition gives them with the offset's matching
// coordinate, then 0. records holds 8 bytes per position.
void QuantiseFrame(std::span<const Vector3f> positions, const Vector3f& offset, float scale, uint8_t* records);

// The "To file: Vertex" lines of a frame, assembled from pieces made once per
// export: the line's start for each vertex number, and the text of every
// coordinate from -128 to 128 (every coordinate, whenever the scale is
// finite) with what follows it; anything else is printed with to_chars.
// Read-only once made, so every thread shares one.
class VertexLines {
public:
    // Room a line needs where it is written: the longest line (52 bytes), and
    // the slack of the fixed-size copies.
    static constexpr size_t kLineRoom = 64;

    explicit VertexLines(int32_t largestMesh);

    // The lines of records (8 bytes each), vertex numbers restarting at 0 with
    // each mesh of meshVertices, written from text on (kLineRoom bytes a
    // record); returns their end.
    char* Format(std::span<const int32_t> meshVertices, const uint8_t* records, char* text) const;

private:
    // The text of a number from -128 to 128 and what follows it, then its
    // length in the last byte: one load gives both, and every line's place
    // hangs on the lengths before it.
    using Piece = uint64_t;
    // "To file: Vertex 65535 - " and, in the last byte, its length.
    struct Start {
        char text[32];
    };
    // A line that the tables do not hold: a coordinate beyond them, or a
    // vertex number beyond 65535.
    static char* Line(char* out, int32_t vertex, int16_t x, int16_t y, int16_t z);
    static char* Number(char* out, int16_t value, const char* after);

    Piece spaced_[257];  // -128 to 128, then " "
    Piece ended_[257];   // -128 to 128, then CR LF
    std::vector<Start> starts_;
};
