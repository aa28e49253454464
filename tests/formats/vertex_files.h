// Small vertex-animated files written by the tests themselves, for formats
// Debian's corpus does not hold: MD3, Quake's MDL, point caches and OBJ.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vertex_files {

// Little-endian bytes appended one value at a time.
struct Bytes {
    std::string data;
    void I32(int32_t v) { Raw(&v, 4); }
    void I16(int16_t v) { Raw(&v, 2); }
    void U8(uint8_t v) { Raw(&v, 1); }
    void F32(float v) { Raw(&v, 4); }
    void Name(const std::string& name, size_t field) {
        std::string padded = name;
        padded.resize(field, '\0');
        data += padded;
    }
    void Raw(const void* p, size_t n) { data.append(static_cast<const char*>(p), n); }
};

struct Md2 {
    int skinWidth = 64, skinHeight = 32;
    std::vector<std::string> skins;
    std::vector<std::array<int16_t, 2>> st;
    struct Triangle {
        std::array<uint16_t, 3> vertices, st;
    };
    std::vector<Triangle> triangles;
    struct Frame {
        std::array<float, 3> scale{1, 1, 1}, translate{0, 0, 0};
        std::string name;
        std::vector<std::array<uint8_t, 3>> vertices;
    };
    std::vector<Frame> frames;
};
std::string Md2File(const Md2& model);

// An MDC of one surface: one base frame, and a compressed frame for every
// frame but the first, each moving vertex v by offsets[frame - 1][v] (steps of
// 0.05, -127 to 128).
struct Mdc {
    std::string shader;
    std::vector<std::array<int32_t, 3>> triangles;
    std::vector<std::array<float, 2>> st;
    std::vector<std::array<int16_t, 3>> base;  // position x 64
    std::vector<std::vector<std::array<int, 3>>> offsets;
};
std::string MdcFile(const Mdc& model);

struct Md3Surface {
    std::string name, shader;
    std::vector<std::array<int32_t, 3>> triangles;
    std::vector<std::array<float, 2>> st;
    std::vector<std::vector<std::array<int16_t, 3>>> frames;  // per frame, per vertex: position x 64
};
std::string Md3File(const std::vector<Md3Surface>& surfaces, const std::vector<std::string>& frameNames);

struct QuakeMdl {
    int skinWidth = 8, skinHeight = 8;
    std::vector<uint8_t> skin;  // skinWidth x skinHeight palette indices; empty: no skin
    struct TexCoord {
        int32_t onSeam, s, t;
    };
    std::vector<TexCoord> texCoords;  // one per vertex
    struct Triangle {
        int32_t facesFront;
        std::array<int32_t, 3> vertices;
    };
    std::vector<Triangle> triangles;
    std::array<float, 3> scale{1, 1, 1}, translate{0, 0, 0};
    struct Frame {
        std::string name;
        std::vector<std::array<uint8_t, 3>> vertices;
    };
    std::vector<Frame> frames;
    size_t groupFrom = SIZE_MAX;  // frames from here on form one frame group
};
std::string QuakeMdlFile(const QuakeMdl& model);

// Point caches of frames[f][point] positions: PC2 (little-endian, the scene's
// frames between samples in step) and MDD (big-endian, each frame's time).
using PointFrames = std::vector<std::vector<std::array<float, 3>>>;
std::string Pc2File(const PointFrames& frames, float step = 1);
std::string MddFile(const PointFrames& frames, const std::vector<float>& seconds);

// The quantised positions of a test model's frames: a square of four points
// that turns and rises frame by frame, as bytes (Quake MDL) or MD3's numbers.
std::vector<std::array<uint8_t, 3>> SquareAt(int frame);

}  // namespace vertex_files
