#include "tests/support/exported_set.h"

#include <cstdint>
#include <fstream>
#include <iterator>
#include <vector>

namespace testing_support {

namespace {

bool Slurp(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

unsigned U16(const std::string& bytes, size_t at) {
    return static_cast<uint8_t>(bytes[at]) | static_cast<unsigned>(static_cast<uint8_t>(bytes[at + 1])) << 8;
}

}  // namespace

std::string CheckExportedSet(const std::string& base, bool cornersInRange) {
    std::string data, anim, script;
    if (!Slurp(base + "_d.3d", data)) return base + "_d.3d is missing";
    if (!Slurp(base + "_a.3d", anim)) return base + "_a.3d is missing";
    if (!Slurp(base + ".uc", script)) return base + ".uc is missing";

    constexpr size_t kDataHeader = 48, kPolygon = 16, kAnimHeader = 4, kFrameVertex = 8;
    if (data.size() < kDataHeader) return "_d.3d is shorter than its header";
    const unsigned polygons = U16(data, 0), vertices = U16(data, 2);
    if (data.size() != kDataHeader + polygons * kPolygon)
        return "_d.3d holds " + std::to_string(data.size()) + " bytes, its header says " +
               std::to_string(polygons) + " polygons";
    if (cornersInRange)
        for (unsigned p = 0; p < polygons; ++p)
            for (unsigned c = 0; c < 3; ++c) {
                const unsigned index = U16(data, kDataHeader + p * kPolygon + 2 * c);
                if (index >= vertices)
                    return "polygon " + std::to_string(p) + " names vertex " + std::to_string(index) + " of " +
                           std::to_string(vertices);
            }

    if (anim.size() < kAnimHeader) return "_a.3d is shorter than its header";
    const unsigned frames = U16(anim, 0), frameSize = U16(anim, 2);
    if (frameSize != (vertices * kFrameVertex & 0xFFFF))
        return "_a.3d's frame size " + std::to_string(frameSize) + " is not 8 bytes for each of " +
               std::to_string(vertices) + " vertices";
    if (anim.size() != kAnimHeader + static_cast<size_t>(frames) * vertices * kFrameVertex)
        return "_a.3d holds " + std::to_string(anim.size()) + " bytes for " + std::to_string(frames) +
               " frames of " + std::to_string(vertices) + " vertices";
    if (script.find(" NUMFRAMES=" + std::to_string(frames) + "\r\n") == std::string::npos)
        return ".uc does not declare the " + std::to_string(frames) + " frames of _a.3d";
    return "";
}

}  // namespace testing_support
