#include "formats/point_cache.h"

#include "bake/vertex_frames.h"
#include "host/format_limits.h"
#include "mesh_edit/mesh_vertices.h"
#include "names/sequence_names.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <sstream>

namespace fs = std::filesystem;

namespace hm::fmt {

namespace {

constexpr size_t kPc2HeaderBytes = 32;
constexpr char kPc2Signature[] = "POINTCACHE2";

uint32_t Word(const char* at, bool big) {
    uint32_t word;
    std::memcpy(&word, at, 4);
    return big ? __builtin_bswap32(word) : word;
}

float Float(const char* at, bool big) {
    const uint32_t word = Word(at, big);
    float value;
    std::memcpy(&value, &word, 4);
    return value;
}

// How a cache's points may lie against the model's: as written; Blender's Z
// up where the model is Y up (its OBJ exporter turns, its point cache
// exporter does not); LightWave's mirrored Y up, as MDD files from Blender hold them.
struct Turn {
    const char* what;  // for the note; "" as written
    imp::Mat3 m;
};
const Turn kTurns[] = {
    {"", imp::kIdentity3},
    {"Blender's Z up", {{{1, 0, 0}, {0, 0, 1}, {0, -1, 0}}}},
    {"LightWave's mirrored axes", {{{1, 0, 0}, {0, 1, 0}, {0, 0, -1}}}},
};

// Each line of a list beside a cache, with its number, until one is refused;
// blank lines and '#' comments are passed over. No file: no lines.
template <typename Visit>
Error ForEachListLine(const std::string& listPath, Visit visit) {
    std::ifstream file(listPath);
    std::string line;
    for (int number = 1; file && std::getline(file, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        std::istringstream fields(line);
        if (Error error = visit(number, fields)) return error;
    }
    return {};
}

// The clip list beside a cache (NAME.clips for NAME.pc2): a line a clip,
// "FIRST COUNT RATE NAME" (frames of the cache from 0, frames a second, the
// rest of the line its name); blank lines and lines from '#' are skipped.
// No file: no clips. A line that does not fit the cache is refused, naming it.
Error ReadClipList(const std::string& cachePath, uint32_t fileFrames, double cacheRate, bool rateGiven,
                   std::vector<ClipInfo>& clips) {
    const std::string listPath = (fs::path(cachePath).parent_path() / fs::path(cachePath).stem()).string() + ".clips";
    return ForEachListLine(listPath, [&](int number, std::istringstream& fields) -> Error {
        long long first = -1, count = 0;
        double rate = 0;
        std::string name;
        const std::string where = listPath + " line " + std::to_string(number) + ": ";
        if (!(fields >> first >> count >> rate)) return Fault(ErrorKind::kBadInput, where + "not FIRST COUNT RATE NAME");
        std::getline(fields >> std::ws, name);
        const auto frames = static_cast<long long>(fileFrames);
        if (name.empty() || first < 0 || count <= 0 || count > frames || first > frames - count)
            return Fault(ErrorKind::kBadInput, where + std::to_string(count) + " frames from frame " +
                                                   std::to_string(first) + " of a cache of " +
                                                   std::to_string(fileFrames) + " frames, or no name");
        if (rateGiven || !FpsProblem(rate).empty()) rate = cacheRate;
        ClipInfo clip;
        clip.name = name;
        clip.frameCount = count;
        clip.startFrame = first;
        clip.rate = static_cast<float>(rate);
        clip.seconds = count / rate;
        clips.push_back(clip);
        return {};
    });
}

// Each mesh's vertices in the order of the file's lines they come from, not
// in Assimp's order of first use: the tool that wrote the model numbered them
// so (a set brought into Blender and exported back keeps the set's order).
void OrderVerticesByLines(ImportResult& result) {
    imp::ExactScene& scene = *result.exact;
    if (scene.meshes.size() != result.model->meshes.size()) return;
    for (size_t m = 0; m < scene.meshes.size(); ++m) {
        hmMesh& host = *result.model->meshes[m];
        imp::ExactMesh& exact = scene.meshes[m];
        const std::vector<uint32_t>& line = exact.framePoint;
        if (line.size() != host.vertices.size()) continue;
        std::vector<uint32_t> order(line.size());
        std::iota(order.begin(), order.end(), 0u);
        std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return line[a] < line[b]; });
        std::vector<uint32_t> newIndex(order.size());
        for (uint32_t k = 0; k < order.size(); ++k) newIndex[order[k]] = k;
        imp::Corners corners;
        for (const hmTriangle& triangle : host.triangles)
            corners.insert(corners.end(), triangle.corners.begin(), triangle.corners.end());
        imp::RenumberVertices(host, exact, corners, newIndex, static_cast<uint32_t>(order.size()));
        imp::SetTriangles(host, corners);
    }
}

// The triangle types beside a cache (NAME.types for NAME.pc2), which an OBJ's
// materials cannot state (one-sided, masked): a line a material, "TYPE NAME",
// the engine's type for its triangles (0 to 255; a weapon triangle stays one).
// No file: the types the materials give.
Error ReadTriangleTypes(const std::string& cachePath, ImportResult& result) {
    const std::string listPath = (fs::path(cachePath).parent_path() / fs::path(cachePath).stem()).string() + ".types";
    std::map<std::string, uint8_t> typeOf;
    const Error error = ForEachListLine(listPath, [&](int number, std::istringstream& fields) -> Error {
        int type = -1;
        std::string name;
        if (!(fields >> type) || type < 0 || type > 255 || !std::getline(fields >> std::ws, name) || name.empty())
            return Fault(ErrorKind::kBadInput,
                         listPath + " line " + std::to_string(number) + ": not TYPE NAME (a type from 0 to 255)");
        typeOf[name] = static_cast<uint8_t>(type);
        return {};
    });
    if (error) return error;
    size_t triangles = 0;
    for (const auto& mesh : result.model->meshes) triangles += mesh->triangles.size();
    if (result.triangleTypes.size() != triangles) result.triangleTypes.assign(triangles, 1);
    size_t first = 0;
    for (size_t m = 0; m < result.model->meshes.size(); ++m) {
        const size_t count = result.model->meshes[m]->triangles.size();
        const auto found = m < result.model->materials.size() ? typeOf.find(result.model->materials[m]->name)
                                                              : typeOf.end();
        if (found != typeOf.end())
            for (size_t t = first; t < first + count; ++t)
                result.triangleTypes[t] = static_cast<uint8_t>(found->second | (result.triangleTypes[t] & 8));
        first += count;
    }
    return {};
}

}  // namespace

Error OpenPointCache(const std::string& path, PointCache& cache) {
    auto bad = [&](const std::string& place, const std::string& problem) {
        return Fault(ErrorKind::kBadInput, path + ": " + place + ": " + problem);
    };
    std::error_code code;
    const uintmax_t size = fs::file_size(path, code);
    if (code) return Fault(ErrorKind::kBadInput, path + ": " + code.message());
    std::ifstream in(path, std::ios::binary);
    char header[kPc2HeaderBytes] = {};
    in.read(header, sizeof header);
    const uint64_t got = static_cast<uint64_t>(in.gcount());
    imp::VertexFrames& frames = cache.frames;
    frames.path = path;
    uint64_t points = 0, count = 0;
    if (got >= sizeof kPc2Signature && std::memcmp(header, kPc2Signature, sizeof kPc2Signature) == 0) {
        if (got < kPc2HeaderBytes) return bad("header", "cut short");
        const uint32_t version = Word(header + 12, false);
        if (version != 1) return bad("header", "version " + std::to_string(version) + "; this reader knows version 1");
        points = Word(header + 16, false);
        const float step = Float(header + 24, false);
        count = Word(header + 28, false);
        frames.offset = kPc2HeaderBytes;
        frames.encoding = imp::PointEncoding::kFloatLittle;
        if (std::isfinite(step) && step > 0) cache.step = step;
    } else {
        if (got < 8) return bad("header", "cut short");
        count = Word(header, true);
        points = Word(header + 4, true);
        frames.offset = 8 + 4 * count;
        frames.encoding = imp::PointEncoding::kFloatBig;
        if (frames.offset > size) return bad("header", std::to_string(count) + " frames' times run past the end of the file");
        // Evenly spaced times give the rate.
        if (count >= 2) {
            std::vector<char> times(4 * count);
            in.clear();
            in.seekg(8);
            in.read(times.data(), static_cast<std::streamsize>(times.size()));
            const double first = Float(times.data(), true), last = Float(times.data() + 4 * (count - 1), true);
            const double span = (last - first) / static_cast<double>(count - 1);
            bool even = std::isfinite(span) && span > 0;
            for (uint64_t f = 1; even && f < count; ++f)
                even = std::fabs(Float(times.data() + 4 * f, true) - (first + span * static_cast<double>(f))) <= span * 1e-3;
            // Times held in floats give the rate to about six digits (25, not 24.999998).
            if (even) {
                const double scale = std::pow(10.0, 5 - std::floor(std::log10(1 / span)));
                cache.rate = std::round(scale / span) / scale;
            }
        }
    }
    if (points == 0 || count == 0)
        return bad("header", std::to_string(count) + " frames of " + std::to_string(points) + " points: nothing to export");
    frames.points = static_cast<uint32_t>(points);
    frames.fileFrames = static_cast<uint32_t>(count);
    frames.stride = points * 12;
    if (frames.offset > size || (size - frames.offset) / frames.stride < count)
        return bad("header", std::to_string(count) + " frames of " + std::to_string(points) + " points (" +
                                 std::to_string(frames.stride) + " bytes each) from byte " + std::to_string(frames.offset) +
                                 " run past the end of the file (" + std::to_string(size) + " bytes)");
    frames.timeline.resize(count);
    for (uint32_t f = 0; f < count; ++f) frames.timeline[f] = f;
    if (Error error = imp::CheckFramePoints(frames)) return bad("frames", error.message);
    return {};
}

std::string PointCacheBeside(const std::string& modelPath) {
    const fs::path model(modelPath);
    std::error_code code;
    const fs::path folder = model.parent_path().empty() ? fs::path(".") : model.parent_path();
    std::string stem = model.stem().string();
    for (const char* extension : {".pc2", ".mdd"})
        for (fs::directory_iterator it(folder, code), end; !code && it != end; it.increment(code)) {
            std::string name = it->path().filename().string(), wanted = stem + extension;
            std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
            std::transform(wanted.begin(), wanted.end(), wanted.begin(), [](unsigned char c) { return std::tolower(c); });
            if (name == wanted && it->is_regular_file(code)) return (model.parent_path() / it->path().filename()).string();
        }
    return "";
}

Error AttachPointCache(ImportResult& result, const std::string& modelPath, const std::string& cachePath,
                       const ImportOptions& options, bool rateGiven) {
    imp::ExactScene* scene = result.exact.get();
    if (!result.model || !scene || scene->frames.points == 0)
        return Fault(ErrorKind::kBadInput, modelPath + ": the model's vertices carry no number among the file's, "
                                                       "which a point cache names them by");
    PointCache cache;
    if (Error error = OpenPointCache(cachePath, cache)) return error;
    if (cache.frames.points != scene->frames.points)
        return Fault(ErrorKind::kBadInput, cachePath + ": " + std::to_string(cache.frames.points) + " points, but " +
                                               modelPath + " has " + std::to_string(scene->frames.points) +
                                               " vertices; a point cache moves each vertex of the model it was made for");

    if (Error error = ReadTriangleTypes(cachePath, result)) return error;
    OrderVerticesByLines(result);

    // The first frame against the model's own positions, as written and turned.
    imp::FramePoints reader(cache.frames);
    const float* first = reader.Read(0);
    double best = HUGE_VAL;
    const Turn* turn = &kTurns[0];
    for (const Turn& candidate : kTurns) {
        double sum = 0;
        for (const imp::ExactMesh& mesh : scene->meshes)
            for (size_t v = 0; v < mesh.framePoint.size(); ++v) {
                const float* p = first + 3 * size_t{mesh.framePoint[v]};
                const imp::Vec3d turned = imp::Apply(candidate.m, imp::Vec3d{p[0], p[1], p[2]});
                const imp::Vec3d& rest = mesh.positions[v];
                sum += (turned.x - rest.x) * (turned.x - rest.x) + (turned.y - rest.y) * (turned.y - rest.y) +
                       (turned.z - rest.z) * (turned.z - rest.z);
            }
        // Turned only where that fits far better than as written.
        if (sum < best && (candidate.what[0] == '\0' || sum < best / 16)) {
            best = sum;
            turn = &candidate;
        }
    }
    if (turn->what[0] != '\0') {
        // The turn goes between each mesh's node and its points: a node of its own.
        std::vector<int> turned(scene->nodeParent.size(), -1);
        for (imp::ExactMesh& mesh : scene->meshes) {
            const size_t node = static_cast<size_t>(mesh.node);
            if (turned[node] < 0) {
                turned[node] = static_cast<int>(scene->nodeParent.size());
                scene->nodeParent.push_back(mesh.node);
                scene->nodeRest.push_back({turn->m, {}});
            }
            mesh.node = turned[node];
        }
        AddWarning(result.warnings, WarningKind::Note,
                   cachePath + ": its first frame lies as the model turned from " + turn->what +
                       "; every frame is turned so");
    }

    ModelCounts counts = CountModel(*result.model);
    counts.frames = cache.frames.fileFrames;
    for (const LimitFinding& finding : CheckFormatLimits(counts, InputRoute::Imported, options.force)) {
        if (finding.stops) return Fault(ErrorKind::kLimit, cachePath + ": " + finding.text);
        AddWarning(result.warnings, WarningKind::FormatLimit, cachePath + ": " + finding.text, finding.count);
    }

    // A PC2 file states the scene's frames between samples, not the scene's
    // rate: that is --fps (30 by default, the engine's).
    double rate = cache.rate > 0 && !rateGiven ? cache.rate : options.fps / cache.step;
    if (!FpsProblem(rate).empty()) rate = options.fps;
    std::vector<ClipInfo> clips;
    if (Error error = ReadClipList(cachePath, cache.frames.fileFrames, rate, rateGiven, clips)) return error;
    if (clips.empty()) {
        ClipInfo clip;
        clip.name = fs::path(cachePath).stem().string();
        clip.frameCount = cache.frames.fileFrames;
        clip.startFrame = 0;
        clip.rate = static_cast<float>(rate);
        clip.seconds = clip.frameCount / rate;
        clips.push_back(clip);
    }
    std::vector<std::string> names;
    for (const ClipInfo& clip : clips) names.push_back(clip.name);
    const std::vector<std::string> sequences = imp::SequenceNames(names);
    for (size_t i = 0; i < clips.size(); ++i) clips[i].sequence = sequences[i];
    // --clip picks clips, end to end; without it every frame is exported, each clip where it lies.
    if (!options.clips.empty()) {
        std::vector<uint32_t> timeline;
        std::vector<bool> chosen(clips.size(), false);
        for (const std::string& wanted : options.clips) {
            size_t found = 0;
            while (found < clips.size() && clips[found].name != wanted && clips[found].sequence != wanted) ++found;
            if (found == clips.size()) {
                std::string known;
                for (const ClipInfo& clip : clips) known += (known.empty() ? "" : ", ") + clip.sequence;
                return Fault(ErrorKind::kBadInput, cachePath + ": no clip named '" + wanted + "' (its clips: " + known + ")");
            }
            if (chosen[found]) return Fault(ErrorKind::kBadInput, cachePath + ": the clip '" + wanted + "' is named twice");
            chosen[found] = true;
            const uint32_t first = static_cast<uint32_t>(clips[found].startFrame);
            clips[found].startFrame = static_cast<int64_t>(timeline.size());
            for (int64_t k = 0; k < clips[found].frameCount; ++k) timeline.push_back(first + static_cast<uint32_t>(k));
        }
        for (size_t i = 0; i < clips.size(); ++i)
            if (!chosen[i]) clips[i].startFrame = -1;
        cache.frames.timeline = std::move(timeline);
    }
    result.clips = std::move(clips);
    result.model->totalFrames = static_cast<int32_t>(cache.frames.timeline.size());
    AddWarning(result.hostLosses, WarningKind::MorphTargetsDropped,
               "the frames are the point cache's positions, which the host model holds only at rest; --bake host "
               "cannot pose them",
               result.model->totalFrames);
    scene->clips.clear();
    scene->frames = std::move(cache.frames);
    return {};
}

}  // namespace hm::fmt
