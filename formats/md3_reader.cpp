#include "formats/md3_reader.h"

#include <cmath>
#include <sstream>

namespace hm::fmt {

namespace {

constexpr uint64_t kFrameBytes = 56, kShaderBytes = 68, kTriangleBytes = 12, kStBytes = 8, kXyzBytes = 8;
constexpr double kXyzScale = 1.0 / 64;
// An MDC offset byte o moves a coordinate by (o - 127) x 0.05.
constexpr int kMdcCentre = 127;
constexpr float kMdcStep = 0.05f;

// What the two formats share: the header's counts, and each surface's.
struct Layout {
    uint64_t frames = 0, surfaces = 0, surfacesAt = 0;
    uint64_t surfaceHeader = 0;  // bytes of a surface's header
};

struct SurfaceLayout {
    uint64_t at = 0;  // where its header begins; its offsets count from there
    std::string name;
    uint64_t shaders = 0, vertices = 0, triangles = 0;
    uint64_t trianglesAt = 0, shadersAt = 0, stAt = 0, end = 0;
};

Error Counts(const FileBytes& file, const std::string& place, std::initializer_list<int32_t> values) {
    for (int32_t value : values)
        if (value < 0) return file.Bad(place, "a count or offset of " + std::to_string(value));
    return {};
}

// The surface's triangles and texture coordinates, whose points begin at first.
Error ReadSurface(const FileBytes& file, const SurfaceLayout& s, uint32_t first, VertexModel& model) {
    const std::string place = "surface '" + s.name + "'";
    for (Error error : {file.Expect(s.at + s.trianglesAt, s.triangles, kTriangleBytes, place + " triangles"),
                        file.Expect(s.at + s.shadersAt, s.shaders, kShaderBytes, place + " shaders"),
                        file.Expect(s.at + s.stAt, s.vertices, kStBytes, place + " texture coordinates")})
        if (error) return error;
    Surface& surface = model.surfaces.emplace_back();
    surface.name = s.name;
    if (s.shaders > 0) surface.skin.name = file.Name(s.at + s.shadersAt, 64);
    surface.corners.reserve(3 * s.triangles);
    for (uint64_t t = 0; t < s.triangles; ++t)
        // Wound clockwise seen from the front: reversed into the host's order.
        for (int k : {0, 2, 1}) {
            const uint32_t vertex = file.U32(s.at + s.trianglesAt + t * kTriangleBytes + 4 * k);
            if (vertex >= s.vertices)
                return file.Bad(place + " triangle " + std::to_string(t), "corner " + std::to_string(k) + " names vertex " +
                                                                             std::to_string(vertex) + " of " +
                                                                             std::to_string(s.vertices));
            const uint64_t st = s.at + s.stAt + vertex * kStBytes;
            float u = file.F32(st), v = file.F32(st + 4);
            if (!std::isfinite(u) || !std::isfinite(v))
                return file.Bad(place + " vertex " + std::to_string(vertex), "a texture coordinate that is not a number");
            surface.corners.push_back({first + vertex, u, v});
        }
    return {};
}

// The header's counts, the frames' names and every surface's layout;
// readSurface reads the format's own fields of the surface header at its offset.
template <typename SurfaceFields>
Error ReadLayout(const FileBytes& file, const Layout& layout, std::vector<SurfaceLayout>& surfaces, uint64_t& points,
                 SurfaceFields readSurface) {
    uint64_t at = layout.surfacesAt;
    for (uint64_t i = 0; i < layout.surfaces; ++i) {
        const std::string place = "surface " + std::to_string(i);
        if (Error error = file.Expect(at, 1, layout.surfaceHeader, place)) return error;
        SurfaceLayout& s = surfaces.emplace_back();
        s.at = at;
        s.name = file.Name(at + 4, 64);
        if (Error error = readSurface(s, place)) return error;
        points += s.vertices;
        if (points > UINT32_MAX) return file.Bad(place, "more vertices than a model can hold");
        if (s.end < layout.surfaceHeader) return file.Bad(place, "ends at byte " + std::to_string(s.end) + " of itself, inside its header");
        at += s.end;
    }
    return {};
}

Error ReadHeader(const FileBytes& file, uint64_t headerBytes, int32_t version) {
    if (Error error = file.Expect(0, 1, headerBytes, "header")) return error;
    if (file.I32(4) != version)
        return file.Bad("header", "version " + std::to_string(file.I32(4)) + "; this reader knows version " +
                                      std::to_string(version));
    return {};
}

// Every surface's triangles and texture coordinates, their points numbered
// surface after surface, and room for every frame of them.
Error ReadSurfaces(const FileBytes& file, const std::vector<SurfaceLayout>& parts, uint64_t points, uint64_t frames,
                   VertexModel& model) {
    uint32_t first = 0;
    for (const SurfaceLayout& s : parts) {
        if (Error bad = ReadSurface(file, s, first, model)) return bad;
        first += static_cast<uint32_t>(s.vertices);
    }
    model.frames.points = static_cast<uint32_t>(points);
    model.frames.fileFrames = static_cast<uint32_t>(frames);
    model.frames.positions.resize(frames * points * 3);
    return {};
}

}  // namespace

Error ReadMd3(const FileBytes& file, VertexModel& model) {
    if (Error error = ReadHeader(file, 108, 15)) return error;
    const int32_t frames = file.I32(76), surfaces = file.I32(84), framesAt = file.I32(92), surfacesAt = file.I32(100);
    if (Error error = Counts(file, "header", {frames, file.I32(80), surfaces, framesAt, surfacesAt})) return error;
    const Layout layout{static_cast<uint64_t>(frames), static_cast<uint64_t>(surfaces), static_cast<uint64_t>(surfacesAt), 108};
    if (frames == 0) return file.Bad("header", "no frames");
    if (Error error = file.Expect(framesAt, layout.frames, kFrameBytes, "frames")) return error;
    std::vector<SurfaceLayout> parts;
    std::vector<uint64_t> xyzAt;
    uint64_t points = 0, corners = 0;
    Error error = ReadLayout(file, layout, parts, points, [&](SurfaceLayout& s, const std::string& place) {
        const int32_t f = file.I32(s.at + 72), shaders = file.I32(s.at + 76), vertices = file.I32(s.at + 80),
                      triangles = file.I32(s.at + 84);
        const int32_t offsets[5] = {file.I32(s.at + 88), file.I32(s.at + 92), file.I32(s.at + 96), file.I32(s.at + 100),
                                    file.I32(s.at + 104)};
        if (Error bad = Counts(file, place, {f, shaders, vertices, triangles, offsets[0], offsets[1], offsets[2],
                                             offsets[3], offsets[4]}))
            return bad;
        if (static_cast<uint64_t>(f) < layout.frames)
            return file.Bad(place, std::to_string(f) + " frames, the model " + std::to_string(layout.frames));
        s.shaders = shaders, s.vertices = vertices, s.triangles = triangles;
        s.trianglesAt = offsets[0], s.shadersAt = offsets[1], s.stAt = offsets[2], s.end = offsets[4];
        xyzAt.push_back(s.at + offsets[3]);
        corners += 3 * s.triangles;
        return file.Expect(xyzAt.back(), s.vertices * layout.frames, kXyzBytes, place + " frames");
    });
    if (error) return error;
    if (Error bad = CheckDecodedSize(file, points, layout.frames, corners)) return bad;

    if (Error bad = ReadSurfaces(file, parts, points, layout.frames, model)) return bad;
    imp::VertexFrames& out = model.frames;
    for (uint64_t f = 0; f < layout.frames; ++f) {
        float* p = out.positions.data() + f * points * 3;
        for (size_t i = 0; i < parts.size(); ++i)
            for (uint64_t v = 0; v < parts[i].vertices; ++v, p += 3) {
                const uint64_t at = xyzAt[i] + (f * parts[i].vertices + v) * kXyzBytes;
                for (int a = 0; a < 3; ++a) p[a] = static_cast<float>(file.I16(at + 2 * a) * kXyzScale);
            }
    }
    model.runs = {{"", 0, out.fileFrames, kMd3Rate}};
    model.axes = QuakeAxes();
    return {};
}

Error ReadMdc(const FileBytes& file, VertexModel& model) {
    if (Error error = ReadHeader(file, 112, 2)) return error;
    const int32_t frames = file.I32(76), surfaces = file.I32(84), framesAt = file.I32(92), surfacesAt = file.I32(104);
    if (Error error = Counts(file, "header", {frames, file.I32(80), surfaces, framesAt, surfacesAt})) return error;
    const Layout layout{static_cast<uint64_t>(frames), static_cast<uint64_t>(surfaces), static_cast<uint64_t>(surfacesAt), 124};
    if (frames == 0) return file.Bad("header", "no frames");
    if (Error error = file.Expect(framesAt, layout.frames, kFrameBytes, "frames")) return error;
    struct Packed {
        uint64_t base = 0, compressed = 0;        // counts of frames
        uint64_t baseAt = 0, compressedAt = 0;     // their data
        uint64_t baseOfFrame = 0, compressedOfFrame = 0;  // each frame's 16-bit numbers of them
    };
    std::vector<SurfaceLayout> parts;
    std::vector<Packed> packed;
    uint64_t points = 0, corners = 0;
    Error error = ReadLayout(file, layout, parts, points, [&](SurfaceLayout& s, const std::string& place) {
        int32_t v[14];
        for (int i = 0; i < 14; ++i) v[i] = file.I32(s.at + 68 + 4 * i);
        // flags, compressed frames, base frames, shaders, vertices, triangles, then offsets
        if (Error bad = Counts(file, place, {v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10], v[11], v[12], v[13]}))
            return bad;
        s.shaders = v[3], s.vertices = v[4], s.triangles = v[5];
        s.trianglesAt = v[6], s.shadersAt = v[7], s.stAt = v[8], s.end = v[13];
        Packed p{static_cast<uint64_t>(v[2]), static_cast<uint64_t>(v[1]), s.at + v[9], s.at + v[10],
                 s.at + v[11], s.at + v[12]};
        if (p.base == 0) return file.Bad(place, "no base frame");
        corners += 3 * s.triangles;
        for (Error bad : {file.Expect(p.baseAt, p.base * s.vertices, kXyzBytes, place + " base frames"),
                          file.Expect(p.compressedAt, p.compressed * s.vertices, 4, place + " compressed frames"),
                          file.Expect(p.baseOfFrame, layout.frames, 2, place + " frames' base frames"),
                          file.Expect(p.compressedOfFrame, p.compressed ? layout.frames : 0, 2,
                                      place + " frames' compressed frames")})
            if (bad) return bad;
        // Before the frames are visited: their count times the points is bounded by the file.
        if (Error bad = CheckDecodedSize(file, points + s.vertices, layout.frames, corners)) return bad;
        for (uint64_t f = 0; s.vertices > 0 && f < layout.frames; ++f) {
            const int16_t base = file.I16(p.baseOfFrame + 2 * f);
            const int16_t compressed = p.compressed ? file.I16(p.compressedOfFrame + 2 * f) : -1;
            if (base < 0 || static_cast<uint64_t>(base) >= p.base || compressed < -1 ||
                (compressed >= 0 && static_cast<uint64_t>(compressed) >= p.compressed))
                return file.Bad(place + " frame " + std::to_string(f),
                                "base frame " + std::to_string(base) + " of " + std::to_string(p.base) +
                                    ", compressed frame " + std::to_string(compressed) + " of " +
                                    std::to_string(p.compressed));
        }
        packed.push_back(p);
        return Error{};
    });
    if (error) return error;
    if (Error bad = CheckDecodedSize(file, points, layout.frames, corners)) return bad;

    if (Error bad = ReadSurfaces(file, parts, points, layout.frames, model)) return bad;
    imp::VertexFrames& out = model.frames;
    for (uint64_t f = 0; f < layout.frames; ++f) {
        float* p = out.positions.data() + f * points * 3;
        for (size_t i = 0; i < parts.size(); ++i) {
            const Packed& k = packed[i];
            const uint64_t n = parts[i].vertices;
            const uint64_t base = static_cast<uint64_t>(file.I16(k.baseOfFrame + 2 * f));
            const int16_t compressed = k.compressed ? file.I16(k.compressedOfFrame + 2 * f) : -1;
            for (uint64_t v = 0; v < n; ++v, p += 3) {
                const uint64_t at = k.baseAt + (base * n + v) * kXyzBytes;
                for (int a = 0; a < 3; ++a) p[a] = static_cast<float>(file.I16(at + 2 * a) * kXyzScale);
                if (compressed < 0) continue;
                const uint32_t offsets = file.U32(k.compressedAt + (static_cast<uint64_t>(compressed) * n + v) * 4);
                for (int a = 0; a < 3; ++a)
                    p[a] += static_cast<float>(static_cast<int>(offsets >> (8 * a) & 255) - kMdcCentre) * kMdcStep;
            }
        }
    }
    model.runs = {{"", 0, out.fileFrames, kMd3Rate}};
    model.axes = QuakeAxes();
    return {};
}

std::vector<FrameRun> ReadAnimationConfig(const std::string& text, uint32_t frames, Warnings& warnings) {
    std::vector<FrameRun> runs;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        const size_t comment = line.find("//");
        std::istringstream fields(line.substr(0, comment));
        long long first = 0, count = 0, looping = 0;
        double fps = 0;
        if (!(fields >> first >> count >> looping >> fps)) continue;  // sex, footsteps, headoffset and the like
        std::string name;
        if (comment != std::string::npos) std::istringstream(line.substr(comment + 2)) >> name;
        if (name.empty()) name = "anim" + std::to_string(runs.size() + 1);
        if (first < 0 || count <= 0 || first >= frames || count > frames - first) {
            AddWarning(warnings, WarningKind::ClipMovesNoBone,
                       "animation.cfg line " + std::to_string(number) + " (" + name + "): frames " +
                           std::to_string(first) + " to " + std::to_string(first + count - 1) +
                           " are not among the model's " + std::to_string(frames) + "; left out",
                       1, {name});
            continue;
        }
        const float rate = std::isfinite(fps) && fps >= 0.001 && fps <= 100000 ? static_cast<float>(fps) : kMd3Rate;
        runs.push_back({name, static_cast<uint32_t>(first), static_cast<uint32_t>(count), rate});
    }
    return runs;
}

}  // namespace hm::fmt
