#include "export/frame_records.h"

#include "export/quantise.h"
#include "skeleton/wide_clones.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>

namespace {

// Four coordinates at once give the same bits as each alone: the same
// operations in the same order, each rounded as there.
using Float4 = float __attribute__((vector_size(16)));
using Double4 = double __attribute__((vector_size(32)));
using Int4 = int32_t __attribute__((vector_size(16)));
using Long4 = int64_t __attribute__((vector_size(32)));
using Int8 = int32_t __attribute__((vector_size(32)));
using Short8 = int16_t __attribute__((vector_size(16)));

// The file is little-endian, as every machine this is built for: a record is
// then its four values as they are in memory.
static_assert(std::endian::native == std::endian::little);

void StoreRecord(uint8_t* at, int16_t x, int16_t y, int16_t z) {
    const int16_t record[4] = {x, y, z, 0};
    std::memcpy(at, record, sizeof record);
}

int16_t LoadS16(const uint8_t* at) {
    int16_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// Four vertices are twelve coordinates in a row, x y z x y z ...: the offsets
// come in the same rotation. A product outside the 32-bit range (NaN, an
// infinite scale) sends the four to the one-at-a-time path, which handles it.
VANTREL_WIDE_CLONES
void QuantiseWide(const Vector3f* positions, size_t count, const Vector3f& offset, float scale, uint8_t* records) {
    const Double4 o[3] = {Double4{offset.x, offset.y, offset.z, offset.x}, Double4{offset.y, offset.z, offset.x, offset.y},
                          Double4{offset.z, offset.x, offset.y, offset.z}};
    const double s = scale;
    size_t v = 0;
    for (; v + 4 <= count; v += 4) {
        const char* const four = reinterpret_cast<const char*>(positions + v);
        Float4 p0, p1, p2;
        std::memcpy(&p0, four, sizeof p0);
        std::memcpy(&p1, four + 16, sizeof p1);
        std::memcpy(&p2, four + 32, sizeof p2);
        const Double4 d0 = (__builtin_convertvector(p0, Double4) - o[0]) * s;
        const Double4 d1 = (__builtin_convertvector(p1, Double4) - o[1]) * s;
        const Double4 d2 = (__builtin_convertvector(p2, Double4) - o[2]) * s;
        const Long4 inside = (d0 > -0x1p31) & (d0 < 0x1p31) & (d1 > -0x1p31) & (d1 < 0x1p31) & (d2 > -0x1p31) &
                             (d2 < 0x1p31);
        if (!(inside[0] & inside[1] & inside[2] & inside[3])) {
            for (size_t w = v; w < v + 4; ++w) {
                const Vector3f& q = positions[w];
                StoreRecord(records + w * kFrameVertexSize, QuantisePosition(q.x, offset.x, scale),
                            QuantisePosition(q.z, offset.z, scale), QuantisePosition(q.y, offset.y, scale));
            }
            continue;
        }
        // a = x0 y0 z0 x1, b = y1 z1 x2 y2, c = z2 x3 y3 z3; records x z y 0.
        const Int4 a = __builtin_convertvector(d0, Int4);
        const Int4 b = __builtin_convertvector(d1, Int4);
        const Int4 c = __builtin_convertvector(d2, Int4);
        // Narrowed eight at a time, then each record's three picked out of
        // them, with a zero after.
        const Short8 ab = __builtin_convertvector(__builtin_shufflevector(a, b, 0, 1, 2, 3, 4, 5, 6, 7), Short8);
        const Short8 bc = __builtin_convertvector(__builtin_shufflevector(b, c, 0, 1, 2, 3, 4, 5, 6, 7), Short8);
        const Short8 zero = {};
        const Short8 first = __builtin_shufflevector(ab, zero, 0, 2, 1, 8, 3, 5, 4, 8);
        const Short8 second = __builtin_shufflevector(bc, zero, 2, 4, 3, 8, 5, 7, 6, 8);
        std::memcpy(records + v * kFrameVertexSize, &first, sizeof first);
        std::memcpy(records + (v + 2) * kFrameVertexSize, &second, sizeof second);
    }
    for (; v < count; ++v) {
        const Vector3f& q = positions[v];
        StoreRecord(records + v * kFrameVertexSize, QuantisePosition(q.x, offset.x, scale),
                    QuantisePosition(q.z, offset.z, scale), QuantisePosition(q.y, offset.y, scale));
    }
}

template <size_t N>
char* Append(char* out, const char (&text)[N]) {
    std::memcpy(out, text, N - 1);
    return out + (N - 1);
}

// A piece's text, and past it by the length in its last byte.
char* Put(char* out, uint64_t piece) {
    std::memcpy(out, &piece, sizeof piece);
    return out + (piece >> 56);
}

}  // namespace

void QuantiseFrame(std::span<const Vector3f> positions, const Vector3f& offset, float scale, uint8_t* records) {
    static_assert(sizeof(Vector3f) == 12, "four positions are twelve floats in a row");
    QuantiseWide(positions.data(), positions.size(), offset, scale, records);
}

VertexLines::VertexLines(int32_t largestMesh) {
    for (int value = -128; value <= 128; ++value) {
        for (auto [piece, after] : {std::pair{&spaced_[value + 128], " "}, std::pair{&ended_[value + 128], "\r\n"}}) {
            char text[sizeof(Piece)] = {};
            char* end = std::to_chars(text, text + 4, value).ptr;
            end = std::copy_n(after, std::strlen(after), end);
            text[sizeof text - 1] = static_cast<char>(end - text);
            std::memcpy(piece, text, sizeof text);
        }
    }
    starts_.resize(static_cast<size_t>(std::clamp<int64_t>(largestMesh, 0, hm::kMaxMeshVertices)));
    for (size_t vertex = 0; vertex < starts_.size(); ++vertex) {
        Start& start = starts_[vertex];
        char* out = Append(start.text, "To file: Vertex ");
        out = std::to_chars(out, start.text + sizeof start.text, vertex).ptr;
        out = Append(out, " - ");
        start.text[sizeof start.text - 1] = static_cast<char>(out - start.text);
    }
}

char* VertexLines::Number(char* out, int16_t value, const char* after) {
    out = std::to_chars(out, out + 6, value).ptr;
    const size_t size = std::strlen(after);
    std::memcpy(out, after, size);
    return out + size;
}

char* VertexLines::Line(char* out, int32_t vertex, int16_t x, int16_t y, int16_t z) {
    out = Append(out, "To file: Vertex ");
    out = std::to_chars(out, out + 12, vertex).ptr;
    out = Append(out, " - ");
    return Number(Number(Number(out, x, " "), y, " "), z, "\r\n");
}

char* VertexLines::Format(std::span<const int32_t> meshVertices, const uint8_t* records, char* text) const {
    // The tables are read through locals: every store of text could otherwise
    // change them, as far as the compiler knows, and they would be read anew.
    const Start* const starts = starts_.data();
    const int32_t tabled = static_cast<int32_t>(starts_.size());
    const Piece* const spaced = spaced_;
    const Piece* const ended = ended_;
    for (const int32_t count : meshVertices) {
        int32_t vertex = 0;
        for (const int32_t quick = std::min(count, tabled); vertex < quick; ++vertex, records += kFrameVertexSize) {
            const int16_t x = LoadS16(records), y = LoadS16(records + 2), z = LoadS16(records + 4);
            if (static_cast<uint16_t>(x + 128) > 256 || static_cast<uint16_t>(y + 128) > 256 ||
                static_cast<uint16_t>(z + 128) > 256) {
                text = Line(text, vertex, x, y, z);
                continue;
            }
            const Start& start = starts[vertex];
            std::memcpy(text, start.text, sizeof start.text);
            text += static_cast<uint8_t>(start.text[sizeof start.text - 1]);
            text = Put(text, spaced[x + 128]);
            text = Put(text, spaced[y + 128]);
            text = Put(text, ended[z + 128]);
        }
        for (; vertex < count; ++vertex, records += kFrameVertexSize)
            text = Line(text, vertex, LoadS16(records), LoadS16(records + 2), LoadS16(records + 4));
    }
    return text;
}
