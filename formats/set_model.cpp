#include "formats/set_model.h"

#include "view/exported_set.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <tuple>

namespace hm::fmt {

namespace {

// A texture coordinate byte b as the coordinate the export turns back into b
// (t x 255, truncated), with room for a float's rounding either way.
float ByteCoordinate(uint8_t b) { return static_cast<float>((b + 0.125) / 255.0); }

// The middle of the span of positions the export truncates to a record (r to
// r + 1 above 0, r - 1 to r below, -1 to 1 at 0): decoded exactly, a record
// lies on the span's edge, where a new export's arithmetic falls either side.
float Middle(int record) { return static_cast<float>(record) + (record > 0 ? 0.5f : record < 0 ? -0.5f : 0.0f); }

void Warn(VertexModel& model, const std::string& text, int64_t count = 1) {
    AddWarning(model.warnings, WarningKind::Note, text, count);
}

}  // namespace

Error ReadSet(const std::string& path, const ImportOptions& options, VertexModel& model) {
    view::ReadOptions readOptions;
    readOptions.extraTextureFolders = options.textureFolders;
    const view::ExportedSet set = view::ReadExportedSet(path, readOptions);
    auto refuse = [&](const std::string& problem) { return Fault(ErrorKind::kBadInput, path + ": " + problem); };
    if (set.dataPath.empty() || set.animPath.empty())
        return refuse(set.problems.empty() ? "not a set" : set.problems.front());
    if (set.polygons.empty()) return refuse(view::SetBasePath(set.dataPath) + "_d.3d holds no triangle");
    if (set.frameCount == 0) return refuse(view::SetBasePath(set.animPath) + "_a.3d holds no whole frame");
    for (const std::string& problem : set.problems) Warn(model, "the set: " + problem);

    // One surface per texture slot, in slot order; the export numbers a mesh's
    // slot by its place, so slots numbered otherwise are renumbered.
    std::map<int, size_t> surfaceOfSlot;
    size_t dropped = 0, otherBytes = 0;
    for (const view::SetPolygon& polygon : set.polygons) {
        if (std::any_of(polygon.corners.begin(), polygon.corners.end(), [&](uint16_t c) { return c >= set.vertexCount; }))
            ++dropped;
        else
            surfaceOfSlot.try_emplace(polygon.textureSlot, 0);
    }
    if (surfaceOfSlot.empty())
        return refuse(view::SetBasePath(set.dataPath) + "_d.3d: every triangle names a vertex past the " +
                      std::to_string(set.vertexCount) + " of a frame");
    for (auto& [slot, surface] : surfaceOfSlot) {
        surface = model.surfaces.size();
        Surface& s = model.surfaces.emplace_back();
        s.name = "Slot" + std::to_string(slot);
        for (const view::SetTexture& texture : set.textures)
            if (texture.slot == slot) {
                s.name = texture.name.empty() ? s.name : texture.name;
                s.skin.name = texture.file;
                s.skin.path = texture.foundPath;
            }
    }
    std::vector<std::vector<uint8_t>> types(model.surfaces.size());
    bool ordered = true;
    size_t lastSurface = 0;
    for (const view::SetPolygon& polygon : set.polygons) {
        if (std::any_of(polygon.corners.begin(), polygon.corners.end(), [&](uint16_t c) { return c >= set.vertexCount; }))
            continue;
        const size_t s = surfaceOfSlot[polygon.textureSlot];
        ordered = ordered && s >= lastSurface;
        lastSurface = s;
        for (int k = 0; k < 3; ++k)
            model.surfaces[s].corners.push_back({polygon.corners[k], ByteCoordinate(polygon.uv[k][0]), ByteCoordinate(polygon.uv[k][1])});
        if (types[s].empty()) model.surfaces[s].type = polygon.type;
        types[s].push_back(polygon.type);
        otherBytes += polygon.color != 255 || polygon.flags != 0;
    }
    for (const auto& surface : types) model.triangleTypes.insert(model.triangleTypes.end(), surface.begin(), surface.end());
    // The export numbers vertices mesh by mesh, one texture coordinate each.
    std::map<uint32_t, std::set<std::tuple<size_t, float, float>>> usesOfPoint;
    for (size_t s = 0; s < model.surfaces.size(); ++s)
        for (const Corner& c : model.surfaces[s].corners) usesOfPoint[c.point].insert({s, c.u, c.v});
    size_t again = 0;
    for (const auto& [point, uses] : usesOfPoint) again += uses.size() > 1;
    model.pointOrder = true;
    model.name = set.meshName;

    if (dropped) Warn(model, std::to_string(dropped) + " triangles name vertices past the last and are left out", static_cast<int64_t>(dropped));
    if (otherBytes)
        Warn(model, std::to_string(otherBytes) + " triangles carry a colour byte other than 255 or flags other than 0, "
                    "which the export writes so",
             static_cast<int64_t>(otherBytes));
    if (again)
        Warn(model, std::to_string(again) + " vertices are written once for each texture slot or texture coordinate "
                                            "they have in the set's triangles: the vertex count grows",
             static_cast<int64_t>(again));
    if (!ordered) Warn(model, "the triangles are not in texture slot order: the export writes them slot by slot");
    if (surfaceOfSlot.rbegin()->first + 1 != static_cast<int>(surfaceOfSlot.size()))
        Warn(model, "the texture slots are not numbered 0, 1, 2, ...: the export numbers them so");
    if (set.scale[0] != set.scale[1] || set.scale[0] != set.scale[2])
        Warn(model, "the mesh map's scales X, Y and Z differ: the export writes one scale for all three");

    std::array<int, 3> low{INT16_MAX, INT16_MAX, INT16_MAX}, high{INT16_MIN, INT16_MIN, INT16_MIN};
    const size_t records = static_cast<size_t>(set.frameCount) * set.vertexCount;
    for (size_t i = 0; i < records; ++i)
        for (int a = 0; a < 3; ++a) {
            low[a] = std::min<int>(low[a], set.records[4 * i + a]);
            high[a] = std::max<int>(high[a], set.records[4 * i + a]);
        }

    // The export fits the box of every frame and the origin into 128 steps
    // either side of its middle, and keeps no offset: where the records leave
    // one side of an axis short, the origin was there (a model standing on
    // it), and the model is stood back on it. The records of a set so fitted
    // seldom reach 128 (truncation stops them short), so the decoded box is a
    // little smaller than the set's (a record on the box's edge, 128, a
    // little larger): stretched back, it gives the set's own scale. Another
    // tool's set keeps its size as the engine shows it, and the export fits it anew.
    std::array<float, 3> shift{0, 0, 0};
    float half = 0, step = 0;
    for (int a = 0; a < 3; ++a) {
        const float lo = Middle(low[a]) - set.origin[a], hi = Middle(high[a]) - set.origin[a];
        shift[a] = lo + hi > 1 ? hi * set.scale[a] : lo + hi < -1 ? lo * set.scale[a] : 0.0f;
        const float placedLow = lo * set.scale[a] + shift[a], placedHigh = hi * set.scale[a] + shift[a];
        half = std::max(half, (std::max({placedLow, placedHigh, 0.0f}) - std::min({placedLow, placedHigh, 0.0f})) / 2);
        step = std::max(step, std::fabs(set.scale[a]));
    }
    const double steps = step > 0 ? half / step : 0;
    const bool fitted = steps >= 126 && steps <= 129;
    const double stretch = fitted ? 128.0 / steps : 1.0;
    if (!fitted) shift = {0, 0, 0};
    // The engine's x, y, z are the host's x, z, y.
    model.axes.m = {{{stretch, 0, 0}, {0, 0, stretch}, {0, stretch, 0}}};
    model.axes.t = {stretch * shift[0], stretch * shift[2], stretch * shift[1]};

    // Every frame as the engine decodes it; a fitted set's records at the
    // middles of the spans the export truncates to them.
    imp::VertexFrames& frames = model.frames;
    frames.points = set.vertexCount;
    frames.fileFrames = set.frameCount;
    frames.positions.resize(records * 3);
    for (size_t i = 0; i < records; ++i)
        for (int a = 0; a < 3; ++a) {
            const int record = set.records[4 * i + a];
            frames.positions[3 * i + a] = ((fitted ? Middle(record) : static_cast<float>(record)) - set.origin[a]) * set.scale[a];
        }

    for (const view::Sequence& sequence : set.script.sequences) {
        const int64_t first = sequence.firstFrame, count = sequence.frameCount;
        if (first < 0 || count <= 0 || first >= set.frameCount) {
            Warn(model, "sequence " + sequence.name + " has no frame of the set and is left out");
            continue;
        }
        const int64_t kept = std::min<int64_t>(count, set.frameCount - first);
        if (kept < count) Warn(model, "sequence " + sequence.name + " is cut to the " + std::to_string(kept) + " frames there are");
        model.runs.push_back({sequence.name, static_cast<uint32_t>(first), static_cast<uint32_t>(kept),
                              sequence.rate > 0 && std::isfinite(sequence.rate) ? sequence.rate : kDefaultSequenceRate});
    }
    if (model.runs.empty()) model.runs.push_back({"All", 0, set.frameCount, kDefaultSequenceRate});
    return {};
}

}  // namespace hm::fmt
