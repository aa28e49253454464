#include "export/animation_file.h"

#include "export/quantise.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

// The "To file: Vertex" line is printed once per vertex and frame, so it is
// assembled here directly. Coordinates lie in -128..128 whenever the scale is
// finite, and their text comes from a table; others fall back to to_chars.
class VertexLine {
public:
    VertexLine() {
        for (int value = -128; value <= 128; ++value) {
            Number& number = small_[value + 128];
            number.size = static_cast<uint8_t>(std::to_chars(number.text, number.text + 8, value).ptr - number.text);
        }
    }

    std::string_view Format(int32_t vertex, int16_t x, int16_t y, int16_t z) {
        char* out = line_;
        out = Append(out, "To file: Vertex ");
        out = std::to_chars(out, line_ + sizeof line_, vertex).ptr;
        out = Append(out, " - ");
        out = AppendCoordinate(out, x);
        *out++ = ' ';
        out = AppendCoordinate(out, y);
        *out++ = ' ';
        out = AppendCoordinate(out, z);
        out = Append(out, "\r\n");
        return {line_, static_cast<size_t>(out - line_)};
    }

private:
    struct Number {
        char text[8];
        uint8_t size;
    };

    template <size_t N>
    static char* Append(char* out, const char (&text)[N]) {
        std::memcpy(out, text, N - 1);
        return out + (N - 1);
    }

    char* AppendCoordinate(char* out, int16_t value) {
        if (value < -128 || value > 128) return std::to_chars(out, line_ + sizeof line_, value).ptr;
        const Number& number = small_[value + 128];
        std::memcpy(out, number.text, 8);
        return out + number.size;
    }

    Number small_[257];
    char line_[96];
};

}  // namespace

AnimationResult WriteAnimationFile(hmModel* model, PoseSource& poses, OutputFile& file, ExportLog& log,
                                   uint16_t vertexTotal) {
    float magnitude = 0.0f;
    log.Print("Beginning _a.3d file\n");

    // The model's own vertex counts, unwrapped: every vertex gets its record,
    // numbered within its mesh in the log.
    std::vector<int32_t> meshVertices;
    size_t vertices = 0;
    for (int32_t m = 0; m < hmModel_GetMeshCount(model); ++m) {
        meshVertices.push_back(std::max(hmMesh_GetVertexCount(hmModel_GetMeshAt(model, m)), 0));
        vertices += static_cast<size_t>(meshVertices.back());
    }
    std::vector<Vector3> positions(vertices, Vector3{0.0f, 0.0f, 0.0f});

    std::array<uint8_t, kAnimHeaderSize> header{};
    const uint16_t frameCount = static_cast<uint16_t>(poses.FrameCount());
    log.Print("To File: Number of Frames - ", frameCount, "\n");
    StoreU16(&header[0], frameCount);
    const uint16_t frameSize = static_cast<uint16_t>(vertexTotal * kFrameVertexSize);
    log.Print("To File: Framesize - ", frameSize, "\n");
    StoreU16(&header[2], frameSize);
    file.Write(header.data(), header.size());

    Vector3 boundsMax{0.0f, 0.0f, 0.0f};
    Vector3 boundsMin{0.0f, 0.0f, 0.0f};
    for (int32_t f = 0; f < frameCount; ++f) {
        poses.PoseFrame(f, positions);
        for (const Vector3& p : positions) {
            if (p.x > boundsMax.x) boundsMax.x = p.x;
            if (p.x < boundsMin.x) boundsMin.x = p.x;
            if (p.y > boundsMax.y) boundsMax.y = p.y;
            if (p.y < boundsMin.y) boundsMin.y = p.y;
            if (p.z > boundsMax.z) boundsMax.z = p.z;
            if (p.z < boundsMin.z) boundsMin.z = p.z;
        }
    }

    auto centre = [](float high, float low) {
        return static_cast<float>((static_cast<double>(high) - low) / 2.0 + low);
    };
    const Vector3 offset{centre(boundsMax.x, boundsMin.x), centre(boundsMax.y, boundsMin.y),
                         centre(boundsMax.z, boundsMin.z)};
    for (auto [high, middle] : {std::pair{boundsMax.x, offset.x}, std::pair{boundsMax.y, offset.y},
                                std::pair{boundsMax.z, offset.z}}) {
        double d = std::fabs(static_cast<double>(high) - static_cast<double>(middle));
        if (magnitude < d) magnitude = static_cast<float>(d);
    }
    const float scale = static_cast<float>(128.0 / static_cast<double>(magnitude));

    log.Print("Max Values - ", Fixed{boundsMax.x}, " ", Fixed{boundsMax.y}, " ", Fixed{boundsMax.z}, "\n",
              " Min Values - ", Fixed{boundsMin.x}, " ", Fixed{boundsMin.y}, " ", Fixed{boundsMin.z}, "\n");
    log.Print("Offset Values - ", Fixed{offset.x}, " ", Fixed{offset.y}, " ", Fixed{offset.z}, "\n");
    log.Print("Largest Magnitude - ", Fixed{magnitude}, "\n");
    log.Print("Scale factor - ", Fixed{scale}, "\n");

    VertexLine vertexLine;
    for (int32_t f = 0; f < frameCount; ++f) {
        poses.PoseFrame(f, positions);
        log.Print("Writing frame no. ", hmModel_GetFrame(model), "\n");
        const Vector3* p = positions.data();
        for (const int32_t count : meshVertices) {
            for (int32_t vertexInMesh = 0; vertexInMesh < count; ++vertexInMesh, ++p) {
                const int16_t x = QuantisePosition(p->x, offset.x, scale);
                const int16_t y = QuantisePosition(p->z, offset.z, scale);
                const int16_t z = QuantisePosition(p->y, offset.y, scale);
                log.Print(Verbatim{vertexLine.Format(vertexInMesh, x, y, z)});
                std::array<uint8_t, kFrameVertexSize> record{};
                StoreU16(&record[0], static_cast<uint16_t>(x));
                StoreU16(&record[2], static_cast<uint16_t>(y));
                StoreU16(&record[4], static_cast<uint16_t>(z));
                file.Write(record.data(), record.size());
            }
        }
    }
    return {frameCount, scale};
}
