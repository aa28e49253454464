#include "tests/formats/vertex_files.h"

#include <cmath>
#include <cstring>

namespace vertex_files {

std::string Md2File(const Md2& m) {
    Bytes out;
    const int32_t vertices = m.frames.empty() ? 0 : static_cast<int32_t>(m.frames[0].vertices.size());
    const int32_t frameSize = 40 + 4 * vertices;
    const int32_t skinsAt = 68, stAt = skinsAt + 64 * static_cast<int32_t>(m.skins.size());
    const int32_t trianglesAt = stAt + 4 * static_cast<int32_t>(m.st.size());
    const int32_t framesAt = trianglesAt + 12 * static_cast<int32_t>(m.triangles.size());
    const int32_t end = framesAt + frameSize * static_cast<int32_t>(m.frames.size());
    out.Name("IDP2", 4);
    for (int32_t v : {8, m.skinWidth, m.skinHeight, frameSize, static_cast<int32_t>(m.skins.size()), vertices,
                      static_cast<int32_t>(m.st.size()), static_cast<int32_t>(m.triangles.size()), 0,
                      static_cast<int32_t>(m.frames.size()), skinsAt, stAt, trianglesAt, framesAt, end, end})
        out.I32(v);
    for (const std::string& skin : m.skins) out.Name(skin, 64);
    for (const auto& st : m.st) out.I16(st[0]), out.I16(st[1]);
    for (const auto& t : m.triangles) {
        for (uint16_t v : t.vertices) out.I16(static_cast<int16_t>(v));
        for (uint16_t v : t.st) out.I16(static_cast<int16_t>(v));
    }
    for (const auto& f : m.frames) {
        for (float v : f.scale) out.F32(v);
        for (float v : f.translate) out.F32(v);
        out.Name(f.name, 16);
        for (const auto& v : f.vertices) out.U8(v[0]), out.U8(v[1]), out.U8(v[2]), out.U8(0);
    }
    return out.data;
}

std::string MdcFile(const Mdc& m) {
    Bytes out;
    const int32_t frames = 1 + static_cast<int32_t>(m.offsets.size());
    const int32_t vertices = static_cast<int32_t>(m.base.size()), triangles = static_cast<int32_t>(m.triangles.size());
    const int32_t framesAt = 112, surfaceAt = framesAt + 56 * frames;
    out.Name("IDPC", 4);
    out.I32(2);
    out.Name("test", 64);
    for (int32_t v : {0, frames, 0, 1, 0, framesAt, surfaceAt, surfaceAt, surfaceAt}) out.I32(v);
    const size_t endAt = out.data.size();
    out.I32(0);
    for (int32_t f = 0; f < frames; ++f) {
        for (int i = 0; i < 10; ++i) out.F32(0);
        out.Name("frame", 16);
    }
    const int32_t compressed = frames - 1;
    const int32_t trianglesAt = 124, shadersAt = trianglesAt + 12 * triangles, stAt = shadersAt + 68,
                  xyzAt = stAt + 8 * vertices, compressedAt = xyzAt + 8 * vertices,
                  baseOfFrameAt = compressedAt + 4 * vertices * compressed, compressedOfFrameAt = baseOfFrameAt + 2 * frames,
                  end = compressedOfFrameAt + 2 * frames;
    out.I32(7);
    out.Name("surface", 64);
    for (int32_t v : {0, compressed, 1, 1, vertices, triangles, trianglesAt, shadersAt, stAt, xyzAt, compressedAt,
                      baseOfFrameAt, compressedOfFrameAt, end})
        out.I32(v);
    for (const auto& t : m.triangles)
        for (int32_t i : t) out.I32(i);
    out.Name(m.shader, 64);
    out.I32(0);
    for (const auto& st : m.st) out.F32(st[0]), out.F32(st[1]);
    for (const auto& p : m.base) {
        for (int16_t c : p) out.I16(c);
        out.I16(0);
    }
    for (const auto& frame : m.offsets)
        for (const auto& o : frame) {
            uint32_t word = 0;
            for (int a = 0; a < 3; ++a) word |= static_cast<uint32_t>(o[a] + 127) << (8 * a);
            out.Raw(&word, 4);
        }
    for (int32_t f = 0; f < frames; ++f) out.I16(0);
    for (int32_t f = 0; f < frames; ++f) out.I16(static_cast<int16_t>(f - 1));
    const int32_t size = static_cast<int32_t>(out.data.size());
    out.data.replace(endAt, 4, reinterpret_cast<const char*>(&size), 4);
    return out.data;
}

std::string Md3File(const std::vector<Md3Surface>& surfaces, const std::vector<std::string>& frameNames) {
    const int32_t frames = static_cast<int32_t>(frameNames.size());
    Bytes out;
    out.Name("IDP3", 4);
    out.I32(15);
    out.Name("test", 64);
    out.I32(0);
    out.I32(frames);
    out.I32(0);  // tags
    out.I32(static_cast<int32_t>(surfaces.size()));
    out.I32(0);  // skins
    const int32_t framesAt = 108, surfacesAt = framesAt + 56 * frames;
    out.I32(framesAt);
    out.I32(surfacesAt);  // tags, none
    out.I32(surfacesAt);
    const size_t endAt = out.data.size();
    out.I32(0);  // the end, filled in below
    for (const std::string& name : frameNames) {
        for (int i = 0; i < 10; ++i) out.F32(0);
        out.Name(name, 16);
    }
    for (const Md3Surface& s : surfaces) {
        const int32_t vertices = static_cast<int32_t>(s.st.size()), triangles = static_cast<int32_t>(s.triangles.size());
        const int32_t trianglesAt = 108, shadersAt = trianglesAt + 12 * triangles, stAt = shadersAt + 68,
                      xyzAt = stAt + 8 * vertices, end = xyzAt + 8 * vertices * frames;
        out.Name("IDP3", 4);
        out.Name(s.name, 64);
        for (int32_t v : {0, frames, 1, vertices, triangles, trianglesAt, shadersAt, stAt, xyzAt, end}) out.I32(v);
        for (const auto& t : s.triangles)
            for (int32_t i : t) out.I32(i);
        out.Name(s.shader, 64);
        out.I32(0);
        for (const auto& st : s.st) out.F32(st[0]), out.F32(st[1]);
        for (const auto& frame : s.frames)
            for (const auto& p : frame) {
                for (int16_t c : p) out.I16(c);
                out.I16(0);
            }
    }
    const int32_t size = static_cast<int32_t>(out.data.size());
    out.data.replace(endAt, 4, reinterpret_cast<const char*>(&size), 4);
    return out.data;
}

std::string QuakeMdlFile(const QuakeMdl& m) {
    Bytes out;
    out.Name("IDPO", 4);
    out.I32(6);
    for (float v : m.scale) out.F32(v);
    for (float v : m.translate) out.F32(v);
    out.F32(1);
    for (int i = 0; i < 3; ++i) out.F32(0);
    const int32_t frameEntries =
        m.groupFrom < m.frames.size() ? static_cast<int32_t>(m.groupFrom) + 1 : static_cast<int32_t>(m.frames.size());
    for (int32_t v : {m.skin.empty() ? 0 : 1, m.skinWidth, m.skinHeight, static_cast<int32_t>(m.texCoords.size()),
                      static_cast<int32_t>(m.triangles.size()), frameEntries, 0, 0})
        out.I32(v);
    out.F32(1);
    if (!m.skin.empty()) {
        out.I32(0);
        out.Raw(m.skin.data(), m.skin.size());
    }
    for (const auto& t : m.texCoords) out.I32(t.onSeam), out.I32(t.s), out.I32(t.t);
    for (const auto& t : m.triangles) {
        out.I32(t.facesFront);
        for (int32_t v : t.vertices) out.I32(v);
    }
    auto frame = [&](const QuakeMdl::Frame& f) {
        out.I32(0), out.I32(0);  // bounds
        out.Name(f.name, 16);
        for (const auto& v : f.vertices) out.U8(v[0]), out.U8(v[1]), out.U8(v[2]), out.U8(0);
    };
    for (size_t f = 0; f < m.frames.size(); ++f) {
        if (f == m.groupFrom) {
            out.I32(1);
            out.I32(static_cast<int32_t>(m.frames.size() - f));
            out.I32(0), out.I32(0);
            for (size_t k = f; k < m.frames.size(); ++k) out.F32(0.1f * static_cast<float>(k - f + 1));
        } else if (f < m.groupFrom) {
            out.I32(0);
        }
        frame(m.frames[f]);
    }
    return out.data;
}

std::string Pc2File(const PointFrames& frames, float step) {
    Bytes out;
    out.Name("POINTCACHE2", 12);
    out.I32(1);
    out.I32(frames.empty() ? 0 : static_cast<int32_t>(frames[0].size()));
    out.F32(0);
    out.F32(step);
    out.I32(static_cast<int32_t>(frames.size()));
    for (const auto& frame : frames)
        for (const auto& p : frame)
            for (float c : p) out.F32(c);
    return out.data;
}

std::string MddFile(const PointFrames& frames, const std::vector<float>& seconds) {
    Bytes out;
    auto big = [&](uint32_t word) { out.I32(static_cast<int32_t>(__builtin_bswap32(word))); };
    auto bigFloat = [&](float value) {
        uint32_t word;
        std::memcpy(&word, &value, 4);
        big(word);
    };
    big(static_cast<uint32_t>(frames.size()));
    big(frames.empty() ? 0 : static_cast<uint32_t>(frames[0].size()));
    for (float t : seconds) bigFloat(t);
    for (const auto& frame : frames)
        for (const auto& p : frame)
            for (float c : p) bigFloat(c);
    return out.data;
}

std::vector<std::array<uint8_t, 3>> SquareAt(int frame) {
    std::vector<std::array<uint8_t, 3>> points;
    const double turn = 0.3 * frame;
    for (int corner = 0; corner < 4; ++corner) {
        const double angle = turn + corner * M_PI / 2;
        points.push_back({static_cast<uint8_t>(std::lround(128 + 100 * std::cos(angle))),
                          static_cast<uint8_t>(std::lround(128 + 100 * std::sin(angle))),
                          static_cast<uint8_t>(20 + 10 * frame + 40 * (corner % 2))});
    }
    return points;
}

}  // namespace vertex_files
