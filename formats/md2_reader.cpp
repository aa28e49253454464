#include "formats/md2_reader.h"

#include <cmath>

namespace hm::fmt {

namespace {

constexpr uint64_t kHeaderBytes = 68, kSkinBytes = 64, kStBytes = 4, kTriangleBytes = 12;
constexpr uint64_t kFrameHeaderBytes = 40;

}  // namespace

Error ReadMd2(const FileBytes& file, VertexModel& model) {
    if (Error error = file.Expect(0, 1, kHeaderBytes, "header")) return error;
    if (file.I32(4) != 8) return file.Bad("header", "version " + std::to_string(file.I32(4)) + "; this reader knows version 8");
    enum { kSkinWidth = 2, kSkinHeight, kFrameSize, kSkins, kVertices, kSts, kTriangles, kGlCommands, kFrames,
           kSkinsAt, kStsAt, kTrianglesAt, kFramesAt };
    int32_t h[17];
    for (int i = 0; i < 17; ++i) h[i] = file.I32(4 * i);
    for (int i = kSkinWidth; i <= kFramesAt; ++i)
        if (h[i] < 0) return file.Bad("header", "a count or offset of " + std::to_string(h[i]));
    const uint64_t vertices = h[kVertices], frames = h[kFrames], triangles = h[kTriangles], frameSize = h[kFrameSize];
    if (frames == 0 || vertices == 0 || triangles == 0)
        return file.Bad("header", std::to_string(frames) + " frames, " + std::to_string(vertices) + " vertices and " +
                                      std::to_string(triangles) + " triangles: nothing to export");
    if (frameSize < kFrameHeaderBytes + 4 * vertices)
        return file.Bad("header", "frames of " + std::to_string(frameSize) + " bytes cannot hold " +
                                      std::to_string(vertices) + " vertices (" +
                                      std::to_string(kFrameHeaderBytes + 4 * vertices) + " bytes)");
    if (h[kSkinWidth] == 0 || h[kSkinHeight] == 0)
        return file.Bad("header", "a skin of " + std::to_string(h[kSkinWidth]) + " x " + std::to_string(h[kSkinHeight]) +
                                      " texels, in which the texture coordinates are counted");
    for (Error error : {file.Expect(h[kSkinsAt], h[kSkins], kSkinBytes, "skins"),
                        file.Expect(h[kStsAt], h[kSts], kStBytes, "texture coordinates"),
                        file.Expect(h[kTrianglesAt], triangles, kTriangleBytes, "triangles"),
                        file.Expect(h[kFramesAt], frames, frameSize, "frames"),
                        CheckDecodedSize(file, vertices, frames, 3 * triangles)})
        if (error) return error;

    Surface& surface = model.surfaces.emplace_back();
    surface.name = "Body";
    if (h[kSkins] > 0) surface.skin.name = file.Name(h[kSkinsAt], kSkinBytes);
    if (h[kSkins] > 1)
        AddWarning(model.warnings, WarningKind::SkinStandIn,
                   std::to_string(h[kSkins]) + " skins; the first, '" + surface.skin.name + "', is exported", h[kSkins] - 1);
    surface.corners.reserve(3 * triangles);
    for (uint64_t t = 0; t < triangles; ++t) {
        const uint64_t at = h[kTrianglesAt] + t * kTriangleBytes;
        // Wound clockwise seen from the front: reversed into the host's order.
        for (int k : {0, 2, 1}) {
            const uint16_t point = file.U16(at + 2 * k), st = file.U16(at + 6 + 2 * k);
            if (point >= vertices || st >= static_cast<uint64_t>(h[kSts]))
                return file.Bad("triangle " + std::to_string(t),
                                "corner " + std::to_string(k) + " names vertex " + std::to_string(point) + " of " +
                                    std::to_string(vertices) + " and texture coordinate " + std::to_string(st) + " of " +
                                    std::to_string(h[kSts]));
            const uint64_t stAt = h[kStsAt] + st * kStBytes;
            surface.corners.push_back({point, TexelCoordinate(file.I16(stAt), h[kSkinWidth]),
                                       TexelCoordinate(file.I16(stAt + 2), h[kSkinHeight])});
        }
    }

    imp::VertexFrames& out = model.frames;
    out.points = static_cast<uint32_t>(vertices);
    out.fileFrames = static_cast<uint32_t>(frames);
    out.positions.resize(frames * vertices * 3);
    std::vector<std::string> names;
    for (uint64_t f = 0; f < frames; ++f) {
        const uint64_t at = h[kFramesAt] + f * frameSize;
        float scale[3], translate[3];
        for (int a = 0; a < 3; ++a) {
            scale[a] = file.F32(at + 4 * a);
            translate[a] = file.F32(at + 12 + 4 * a);
            if (!std::isfinite(scale[a]) || !std::isfinite(translate[a]))
                return file.Bad("frame " + std::to_string(f), "a scale or translation that is not a finite number");
        }
        names.push_back(file.Name(at + 24, 16));
        float* points = out.positions.data() + f * vertices * 3;
        for (uint64_t v = 0; v < vertices; ++v)
            for (int a = 0; a < 3; ++a) {
                points[3 * v + a] = file.U8(at + kFrameHeaderBytes + 4 * v + a) * scale[a] + translate[a];
                if (!std::isfinite(points[3 * v + a]))
                    return file.Bad("frame " + std::to_string(f), "vertex " + std::to_string(v) + " lies at infinity");
            }
    }
    model.runs = RunsOfNames(names, kMd2Rate);
    model.axes = QuakeAxes();
    return {};
}

}  // namespace hm::fmt
