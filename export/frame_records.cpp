#include "export/frame_records.h"

#include "export/quantise.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace {

// Four coordinates at once give the same bits as each alone: the same
// operations in the same order, each rounded as there.
using Float4 = float __attribute__((vector_size(16)));
using Double4 = double __attribute__((vector_size(32)));
using Int4 = int32_t __attribute__((vector_size(16)));
using Long4 = int64_t __attribute__((vector_size(32)));

#if defined(__x86_64__) && defined(__linux__)
#  define VANTREL_WIDE_CLONES __attribute__((target_clones("avx", "default")))
#else
#  define VANTREL_WIDE_CLONES
#endif

void StoreRecord(uint8_t* at, int16_t x, int16_t y, int16_t z) {
    StoreU16(at, static_cast<uint16_t>(x));
    StoreU16(at + 2, static_cast<uint16_t>(y));
    StoreU16(at + 4, static_cast<uint16_t>(z));
    StoreU16(at + 6, 0);
}

int16_t LoadS16(const uint8_t* at) { return static_cast<int16_t>(static_cast<uint16_t>(at[0] | at[1] << 8)); }

// Four vertices are twelve coordinates in a row, x y z x y z ...: the offsets
// come in the same rotation. A product outside the 32-bit range (NaN, an
// infinite scale) sends the four to the one-at-a-time path, which handles it.
VANTREL_WIDE_CLONES
void QuantiseWide(const Vector3* positions, size_t count, const Vector3& offset, float scale, uint8_t* records) {
    const Double4 o[3] = {Double4{offset.x, offset.y, offset.z, offset.x}, Double4{offset.y, offset.z, offset.x, offset.y},
                          Double4{offset.z, offset.x, offset.y, offset.z}};
    const double s = scale;
    size_t v = 0;
    for (; v + 4 <= count; v += 4) {
        Float4 p[3];
        std::memcpy(p, positions + v, sizeof p);
        Double4 d[3];
        Long4 inside = Long4{} - 1;
        for (int k = 0; k < 3; ++k) {
            d[k] = (__builtin_convertvector(p[k], Double4) - o[k]) * s;
            inside &= (d[k] > -0x1p31) & (d[k] < 0x1p31);
        }
        if (!(inside[0] & inside[1] & inside[2] & inside[3])) {
            for (size_t w = v; w < v + 4; ++w) {
                const Vector3& q = positions[w];
                StoreRecord(records + w * kFrameVertexSize, QuantisePosition(q.x, offset.x, scale),
                            QuantisePosition(q.z, offset.z, scale), QuantisePosition(q.y, offset.y, scale));
            }
            continue;
        }
        int32_t c[12];
        for (int k = 0; k < 3; ++k) {
            const Int4 truncated = __builtin_convertvector(d[k], Int4);
            std::memcpy(c + 4 * k, &truncated, sizeof truncated);
        }
        for (size_t w = 0; w < 4; ++w)
            StoreRecord(records + (v + w) * kFrameVertexSize, static_cast<int16_t>(c[3 * w]),
                        static_cast<int16_t>(c[3 * w + 2]), static_cast<int16_t>(c[3 * w + 1]));
    }
    for (; v < count; ++v) {
        const Vector3& q = positions[v];
        StoreRecord(records + v * kFrameVertexSize, QuantisePosition(q.x, offset.x, scale),
                    QuantisePosition(q.z, offset.z, scale), QuantisePosition(q.y, offset.y, scale));
    }
}

template <size_t N>
char* Append(char* out, const char (&text)[N]) {
    std::memcpy(out, text, N - 1);
    return out + (N - 1);
}

}  // namespace

void QuantiseFrame(std::span<const Vector3> positions, const Vector3& offset, float scale, uint8_t* records) {
    static_assert(sizeof(Vector3) == 12, "four positions are twelve floats in a row");
    QuantiseWide(positions.data(), positions.size(), offset, scale, records);
}

VertexLines::VertexLines(int32_t largestMesh) {
    for (int value = -128; value <= 128; ++value) {
        for (auto [piece, after] : {std::pair{&spaced_[value + 128], " "}, std::pair{&ended_[value + 128], "\r\n"}}) {
            char* end = std::to_chars(piece->text, piece->text + 4, value).ptr;
            end = std::copy_n(after, std::strlen(after), end);
            piece->size = static_cast<uint8_t>(end - piece->text);
        }
    }
    starts_.resize(static_cast<size_t>(std::clamp(largestMesh, 0, 65536)));
    for (size_t vertex = 0; vertex < starts_.size(); ++vertex) {
        Start& start = starts_[vertex];
        char* out = Append(start.text, "To file: Vertex ");
        out = std::to_chars(out, start.text + sizeof start.text, vertex).ptr;
        out = Append(out, " - ");
        start.size = static_cast<uint8_t>(out - start.text);
    }
}

char* VertexLines::Number(char* out, int16_t value, const char* after) {
    out = std::to_chars(out, out + 6, value).ptr;
    const size_t size = std::strlen(after);
    std::memcpy(out, after, size);
    return out + size;
}

char* VertexLines::Line(char* out, int32_t vertex, int16_t x, int16_t y, int16_t z) const {
    if (vertex >= 0 && static_cast<size_t>(vertex) < starts_.size()) {
        const Start& start = starts_[static_cast<size_t>(vertex)];
        std::memcpy(out, start.text, sizeof start.text);
        out += start.size;
    } else {
        out = Append(out, "To file: Vertex ");
        out = std::to_chars(out, out + 12, vertex).ptr;
        out = Append(out, " - ");
    }
    if (x < -128 || x > 128 || y < -128 || y > 128 || z < -128 || z > 128)
        return Number(Number(Number(out, x, " "), y, " "), z, "\r\n");
    for (const Piece* piece : {&spaced_[x + 128], &spaced_[y + 128], &ended_[z + 128]}) {
        std::memcpy(out, piece->text, sizeof piece->text);
        out += piece->size;
    }
    return out;
}

char* VertexLines::Format(std::span<const int32_t> meshVertices, const uint8_t* records, char* text) const {
    for (const int32_t count : meshVertices)
        for (int32_t vertex = 0; vertex < count; ++vertex, records += kFrameVertexSize)
            text = Line(text, vertex, LoadS16(records), LoadS16(records + 2), LoadS16(records + 4));
    return text;
}
