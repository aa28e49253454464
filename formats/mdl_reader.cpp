#include "formats/mdl_reader.h"

#include <cmath>

namespace hm::fmt {

namespace {

constexpr uint64_t kHeaderBytes = 84, kNameBytes = 16;

struct Header {
    bool quake = true;  // IDPO; otherwise 3D GameStudio's
    int version = 0;    // 3, 4 or 5 for 3D GameStudio's
    float scale[3], translate[3];
    uint64_t skins, skinWidth, skinHeight, vertices, triangles, frames, texCoords;
};

// 3D GameStudio skin types: the bytes of a pixel, 0 for a type this reader does not know.
uint64_t PixelBytes(uint32_t type) {
    switch (type & ~8u) {
        case 0: return 1;            // 8-bit, the game's palette
        case 2: case 3: return 2;    // 565 RGB, 4444 ARGB
        case 4: return 3;            // 888 RGB
        case 5: return 4;            // 8888 ARGB
        default: return 0;
    }
}

// One skin's pixels into an image; problem says why not.
void DecodeSkin(const FileBytes& file, uint64_t at, uint32_t type, uint64_t width, uint64_t height,
                const std::string& palette, Skin& skin) {
    RgbaImage& image = skin.image;
    if (width > 16384 || height > 16384 || width * height > (64u << 20)) {
        skin.imageProblem = "is " + std::to_string(width) + " x " + std::to_string(height) + " texels, too large";
        return;
    }
    if ((type & ~8u) == 0 && palette.size() != 768) {
        skin.imageProblem = "is in the game's palette, which the file does not hold (a palette.lmp beside the model gives it)";
        return;
    }
    image.width = static_cast<int>(width);
    image.height = static_cast<int>(height);
    image.pixels.resize(width * height * 4);
    const uint64_t bytes = PixelBytes(type);
    for (uint64_t i = 0; i < width * height; ++i) {
        const uint64_t p = at + i * bytes;
        uint8_t* out = &image.pixels[4 * i];
        uint32_t rgba[4] = {0, 0, 0, 255};
        switch (type & ~8u) {
            case 0:
                for (int c = 0; c < 3; ++c) rgba[c] = static_cast<uint8_t>(palette[3 * file.U8(p) + c]);
                break;
            case 2: {
                const uint16_t v = file.U16(p);
                rgba[0] = (v >> 11 & 31) * 255 / 31, rgba[1] = (v >> 5 & 63) * 255 / 63, rgba[2] = (v & 31) * 255 / 31;
                break;
            }
            case 3: {
                const uint16_t v = file.U16(p);
                rgba[3] = (v >> 12 & 15) * 17, rgba[0] = (v >> 8 & 15) * 17, rgba[1] = (v >> 4 & 15) * 17, rgba[2] = (v & 15) * 17;
                break;
            }
            default:  // blue, green, red (and alpha), as Windows stores its pixels
                rgba[2] = file.U8(p), rgba[1] = file.U8(p + 1), rgba[0] = file.U8(p + 2);
                if (bytes == 4) rgba[3] = file.U8(p + 3);
                break;
        }
        for (int c = 0; c < 4; ++c) out[c] = static_cast<uint8_t>(rgba[c]);
    }
}

// Walks the skins to the texture coordinates that follow them; decodes the first.
Error ReadSkins(const FileBytes& file, const Header& h, const std::string& palette, uint64_t& at, Skin& skin) {
    for (uint64_t i = 0; i < h.skins; ++i) {
        const std::string place = "skin " + std::to_string(i);
        if (Error error = file.Expect(at, 1, 4, place)) return error;
        const uint32_t type = file.U32(at);
        at += 4;
        uint64_t width = h.skinWidth, height = h.skinHeight, images = 1, pixelBytes = 1, levels = 1;
        if (h.quake) {
            if (type != 0) {  // a group of skins the game cycles through
                if (Error error = file.Expect(at, 1, 4, place)) return error;
                images = file.U32(at);
                if (Error error = file.Expect(at + 4, images, 4, place + " times")) return error;
                at += 4 + 4 * images;
            }
        } else {
            pixelBytes = PixelBytes(type);
            if (pixelBytes == 0)
                return file.Bad(place, "of type " + std::to_string(type) +
                                           ", which this reader does not know: what follows it cannot be found");
            if (h.version == 5) {
                if (Error error = file.Expect(at, 2, 4, place)) return error;
                width = file.U32(at), height = file.U32(at + 4);
                at += 8;
            }
            if (type & 8) levels = 4;  // mipmaps follow, each half the one before
        }
        // Far beyond any skin, and small enough that the sizes below cannot overflow.
        constexpr uint64_t kMostSide = uint64_t{1} << 24;
        if (width > kMostSide || height > kMostSide)
            return file.Bad(place, std::to_string(width) + " x " + std::to_string(height) + " texels: no skin is so large");
        uint64_t texels = 0;
        for (uint64_t level = 0; level < levels; ++level) texels += (width >> level) * (height >> level);
        if (Error error = file.Expect(at, images, texels * pixelBytes, place)) return error;
        if (i == 0) DecodeSkin(file, at, h.quake ? 0 : type, width, height, palette, skin);
        at += images * texels * pixelBytes;
    }
    return {};
}

}  // namespace

Error ReadMdl(const FileBytes& file, const std::string& palette, VertexModel& model) {
    if (Error error = file.Expect(0, 1, kHeaderBytes, "header")) return error;
    Header h;
    const std::string id = file.Name(0, 4);
    h.quake = id == "IDPO";
    h.version = h.quake ? 0 : id[3] - '0';
    if (h.quake && file.I32(4) != 6)
        return file.Bad("header", "version " + std::to_string(file.I32(4)) + "; this reader knows version 6");
    for (int a = 0; a < 3; ++a) {
        h.scale[a] = file.F32(8 + 4 * a);
        h.translate[a] = file.F32(20 + 4 * a);
        if (!std::isfinite(h.scale[a]) || !std::isfinite(h.translate[a]))
            return file.Bad("header", "a scale or translation that is not a finite number");
    }
    int32_t counts[7];
    for (int i = 0; i < 7; ++i) {
        counts[i] = file.I32(48 + 4 * i);
        if (counts[i] < 0) return file.Bad("header", "a count of " + std::to_string(counts[i]));
    }
    h.skins = counts[0], h.skinWidth = counts[1], h.skinHeight = counts[2], h.vertices = counts[3];
    h.triangles = counts[4], h.frames = counts[5];
    h.texCoords = h.quake ? h.vertices : static_cast<uint64_t>(counts[6]);
    if (h.frames == 0 || h.vertices == 0 || h.triangles == 0)
        return file.Bad("header", std::to_string(h.frames) + " frames, " + std::to_string(h.vertices) +
                                      " vertices and " + std::to_string(h.triangles) + " triangles: nothing to export");
    if (Error error = CheckDecodedSize(file, h.vertices, h.frames, 3 * h.triangles)) return error;

    uint64_t at = kHeaderBytes;
    Surface& surface = model.surfaces.emplace_back();
    surface.name = "Body";
    if (Error error = ReadSkins(file, h, palette, at, surface.skin)) return error;
    // Texture coordinates count in texels of the first skin (a 3D GameStudio
    // MDL5 skin states its own size).
    uint64_t width = h.skinWidth, height = h.skinHeight;
    if (!surface.skin.image.pixels.empty()) width = surface.skin.image.width, height = surface.skin.image.height;

    const uint64_t texCoordBytes = h.quake ? 12 : 4, triangleBytes = h.quake ? 16 : 12;
    if (Error error = file.Expect(at, h.texCoords, texCoordBytes, "texture coordinates")) return error;
    const uint64_t texCoordsAt = at;
    at += h.texCoords * texCoordBytes;
    if (Error error = file.Expect(at, h.triangles, triangleBytes, "triangles")) return error;
    surface.corners.reserve(3 * h.triangles);
    for (uint64_t t = 0; t < h.triangles; ++t, at += triangleBytes) {
        // Wound clockwise seen from the front: reversed into the host's order.
        for (int k : {0, 2, 1}) {
            const uint64_t point = h.quake ? file.U32(at + 4 + 4 * k) : file.U16(at + 2 * k);
            const uint64_t st = h.quake ? point : file.U16(at + 6 + 2 * k);
            if (point >= h.vertices || st >= h.texCoords)
                return file.Bad("triangle " + std::to_string(t),
                                "corner " + std::to_string(k) + " names vertex " + std::to_string(point) + " of " +
                                    std::to_string(h.vertices) + " and texture coordinate " + std::to_string(st) + " of " +
                                    std::to_string(h.texCoords));
            int64_t s, tt;
            if (h.quake) {
                const uint64_t stAt = texCoordsAt + st * 12;
                s = file.I32(stAt + 4), tt = file.I32(stAt + 8);
                // A seam vertex of a triangle facing away takes its texel from the skin's back half.
                if (file.I32(stAt) != 0 && file.I32(at) == 0) s += static_cast<int64_t>(width / 2);
            } else {
                s = file.I16(texCoordsAt + st * 4), tt = file.I16(texCoordsAt + st * 4 + 2);
            }
            surface.corners.push_back({static_cast<uint32_t>(point), TexelCoordinate(s, static_cast<int64_t>(width)),
                                       TexelCoordinate(tt, static_cast<int64_t>(height))});
        }
    }

    imp::VertexFrames& out = model.frames;
    out.points = static_cast<uint32_t>(h.vertices);
    std::vector<std::string> names;
    // A frame: its bounds, its name, its vertices; 3D GameStudio's type 2 packs each in 16 bits.
    auto readFrame = [&](uint64_t& from, bool wide) -> Error {
        const uint64_t bounds = wide ? 16 : 8, vertexBytes = wide ? 8 : 4;
        const std::string place = "frame " + std::to_string(names.size());
        if (Error error = file.Expect(from + bounds + kNameBytes, h.vertices, vertexBytes, place)) return error;
        names.push_back(file.Name(from + bounds, kNameBytes));
        from += bounds + kNameBytes;
        for (uint64_t v = 0; v < h.vertices; ++v, from += vertexBytes)
            for (int a = 0; a < 3; ++a) {
                const float packed = wide ? file.U16(from + 2 * a) : file.U8(from + a);
                const float p = packed * h.scale[a] + h.translate[a];
                if (!std::isfinite(p)) return file.Bad(place, "vertex " + std::to_string(v) + " lies at infinity");
                out.positions.push_back(p);
            }
        return {};
    };
    out.positions.reserve(h.frames * h.vertices * 3);
    for (uint64_t entry = 0; entry < h.frames; ++entry) {
        const std::string place = "frame " + std::to_string(names.size());
        if (Error error = file.Expect(at, 1, 4, place)) return error;
        const uint32_t type = file.U32(at);
        at += 4;
        if (!h.quake) {
            if (type != 0 && type != 2)
                return file.Bad(place, "of type " + std::to_string(type) + ", which this reader does not know");
            if (Error error = readFrame(at, type == 2)) return error;
        } else if (type == 0) {
            if (Error error = readFrame(at, false)) return error;
        } else {  // a group of frames the game cycles through, each a frame of the timeline
            if (Error error = file.Expect(at, 1, 12, place)) return error;
            const uint64_t count = file.U32(at);
            if (Error error = file.Expect(at + 12, count, 4, place + " times")) return error;
            at += 12 + 4 * count;
            for (uint64_t k = 0; k < count; ++k)
                if (Error error = readFrame(at, false)) return error;
        }
    }
    out.fileFrames = static_cast<uint32_t>(names.size());
    model.runs = RunsOfNames(names, kMdlRate);
    model.axes = QuakeAxes();
    return {};
}

}  // namespace hm::fmt
