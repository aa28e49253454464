#include "formats/vertex_model.h"

#include "bake/vertex_frames.h"
#include "host/format_limits.h"
#include "mesh_edit/simplify.h"
#include "mesh_edit/weld.h"
#include "names/host_names.h"
#include "names/sequence_names.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <tuple>

namespace fs = std::filesystem;

namespace hm::fmt {

namespace {

constexpr uint64_t kDecodedPerFileByte = 16;
constexpr uint64_t kDecodedRoom = 64u << 20;
constexpr uint8_t kWeapon = 8;

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

uint32_t Bits(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

class Builder {
public:
    Builder(VertexModel& model, const std::string& path, const ImportOptions& options, bool rateGiven)
        : model_(model), path_(path), options_(options), rateGiven_(rateGiven) {}

    ImportResult Run() {
        if (const std::string problem = ScaleProblem(options_.scale); !problem.empty())
            return Fail("the scale " + problem + ", not " + Format("%g", options_.scale));
        if (rateGiven_)
            if (const std::string problem = FpsProblem(options_.fps); !problem.empty())
                return Fail("the frame rate " + problem + ", not " + Format("%g", options_.fps));
        if (model_.frames.fileFrames == 0 || model_.frames.points == 0) return Fail("the file holds no frame");
        if (!ChooseClips() || !MakeMeshes() || !CheckScale() || !Fit() || !CheckLimits()) return Take();
        SkinTextures skins(path_, Name(), options_, result_);
        for (size_t m = 0; m < surfaceOfMesh_.size(); ++m) {
            const Surface& surface = model_.surfaces[surfaceOfMesh_[m]];
            AddMaterial(result_.model.get(), surface.name, skins.Name(surface.skin, result_.model->meshes[m]->name));
        }
        size_t triangles = 0;
        for (const auto& mesh : result_.model->meshes) triangles += mesh->triangles.size();
        result_.triangleTypes = model_.triangleTypes;
        if (result_.triangleTypes.size() != triangles) {
            result_.triangleTypes.clear();
            for (size_t m = 0; m < surfaceOfMesh_.size(); ++m)
                result_.triangleTypes.insert(result_.triangleTypes.end(), result_.model->meshes[m]->triangles.size(),
                                             model_.surfaces[surfaceOfMesh_[m]].type & ~kWeapon);
        }
        scene_.frames = std::move(model_.frames);
        scene_.frames.timeline = std::move(timeline_);
        result_.model->totalFrames = static_cast<int32_t>(scene_.frames.timeline.size());
        result_.unitCentimetres = model_.unitCentimetres;
        result_.exact = std::make_unique<imp::ExactScene>(std::move(scene_));
        AddWarning(result_.hostLosses, WarningKind::MorphTargetsDropped,
                   "the frames are the file's vertex positions, which the host model holds only at rest (the first "
                   "frame); --bake host cannot pose them",
                   result_.model->totalFrames);
        result_.warnings.insert(result_.warnings.begin(), model_.warnings.begin(), model_.warnings.end());
        return Take();
    }

private:
    ImportResult Fail(const std::string& problem, ErrorKind kind = ErrorKind::kBadInput) {
        result_.error = Fault(kind, path_ + ": " + problem);
        result_.model.reset();
        return std::move(result_);
    }
    ImportResult Take() {
        if (result_.error) result_.model.reset();
        return std::move(result_);
    }
    std::string Name() const { return model_.name.empty() ? fs::path(path_).stem().string() : model_.name; }
    bool Refuse(const std::string& problem, ErrorKind kind = ErrorKind::kBadInput) {
        result_.error = Fault(kind, path_ + ": " + problem);
        return false;
    }

    bool ChooseClips() {
        std::vector<FrameRun>& runs = model_.runs;
        runs.erase(std::remove_if(runs.begin(), runs.end(),
                                  [&](const FrameRun& r) {
                                      return r.count == 0 || r.first >= model_.frames.fileFrames ||
                                             r.count > model_.frames.fileFrames - r.first;
                                  }),
                   runs.end());
        std::vector<std::string> names;
        for (const FrameRun& run : runs) {
            ClipInfo clip;
            clip.name = run.name.empty() ? Name() : run.name;
            clip.rate = rateGiven_ ? static_cast<float>(options_.fps) : run.rate;
            clip.frameCount = run.count;
            clip.seconds = run.count / static_cast<double>(clip.rate);
            result_.clips.push_back(clip);
            names.push_back(clip.name);
        }
        const std::vector<std::string> sequences = imp::SequenceNames(names);
        for (size_t i = 0; i < sequences.size(); ++i) result_.clips[i].sequence = sequences[i];
        if (options_.clips.empty()) {
            for (uint32_t f = 0; f < model_.frames.fileFrames; ++f) timeline_.push_back(f);
            for (size_t i = 0; i < runs.size(); ++i) result_.clips[i].startFrame = runs[i].first;
            return true;
        }
        std::vector<bool> chosen(runs.size(), false);
        for (const std::string& wanted : options_.clips) {
            size_t found = 0;
            while (found < runs.size() && result_.clips[found].name != wanted) ++found;
            for (size_t i = 0; i < runs.size() && found == runs.size(); ++i)
                if (result_.clips[i].sequence == wanted) found = i;
            if (found == runs.size()) {
                std::string known;
                for (const ClipInfo& clip : result_.clips)
                    known += (known.empty() ? "" : ", ") + clip.sequence +
                             (clip.sequence == clip.name ? "" : " ('" + clip.name + "')");
                return Refuse("no clip named '" + wanted + "' (" +
                              (known.empty() ? std::string("the model has no animation") : "its clips: " + known) + ")");
            }
            if (chosen[found]) return Refuse("the clip '" + wanted + "' is named twice");
            chosen[found] = true;
            result_.clips[found].startFrame = static_cast<int64_t>(timeline_.size());
            for (uint32_t k = 0; k < runs[found].count; ++k) timeline_.push_back(runs[found].first + k);
        }
        return true;
    }

    bool MakeMeshes() {
        result_.model.reset(CreateModel());
        scene_.nodeParent = {-1};
        scene_.nodeRest = {imp::Affine{}};
        scene_.axes = model_.axes;
        scene_.scale = options_.scale;
        imp::FramePoints reader(model_.frames);
        const float* rest = reader.Read(timeline_.front());
        imp::UniqueNames names;
        for (size_t s = 0; s < model_.surfaces.size(); ++s) {
            const Surface& surface = model_.surfaces[s];
            if (surface.corners.size() < 3) continue;
            hmMesh* mesh = AddMesh(result_.model.get(), names.Make(surface.name, "mesh" + std::to_string(s)));
            imp::ExactMesh& exact = scene_.meshes.emplace_back();
            exact.node = 0;
            imp::Corners& corners = corners_.emplace_back();
            // A vertex for each point and texture coordinate, numbered as
            // triangles first use them or in the order of their points.
            auto key = [](const Corner& c) { return std::tuple(c.point, Bits(c.u), Bits(c.v)); };
            std::map<std::tuple<uint32_t, uint32_t, uint32_t>, std::pair<uint32_t, const Corner*>> vertexOf;
            std::vector<const Corner*> firstUse;
            const size_t whole = surface.corners.size() / 3 * 3;
            for (size_t c = 0; c < whole; ++c)
                if (vertexOf.try_emplace(key(surface.corners[c]), 0, &surface.corners[c]).second)
                    firstUse.push_back(&surface.corners[c]);
            if (model_.pointOrder) {
                firstUse.clear();
                for (const auto& entry : vertexOf) firstUse.push_back(entry.second.second);
            }
            for (const Corner* corner : firstUse) {
                vertexOf[key(*corner)].first = static_cast<uint32_t>(exact.positions.size());
                const float* p = rest + size_t{corner->point} * 3;
                const imp::Vec3d file{p[0], p[1], p[2]};
                const imp::Vec3d placed = imp::Apply(model_.axes, file);
                const double s = options_.scale;
                mesh->vertices.push_back(MakeVertex({static_cast<float>(placed.x * s), static_cast<float>(placed.y * s),
                                                     static_cast<float>(placed.z * s)},
                                                    corner->u, corner->v));
                exact.positions.push_back(file);
                exact.framePoint.push_back(corner->point);
            }
            for (size_t c = 0; c < whole; ++c) corners.push_back(vertexOf[key(surface.corners[c])].first);
            surfaceOfMesh_.push_back(s);
        }
        if (result_.model->meshes.empty()) return Refuse("the file holds no triangles");
        return true;
    }

    // Every frame's positions stay finite once scaled, and the model keeps a size.
    bool CheckScale() {
        if (model_.frames.Streamed()) return true;
        double largest = 0, stretch = 0;
        for (float c : model_.frames.positions) largest = std::max(largest, std::fabs(static_cast<double>(c)));
        for (const auto& row : model_.axes.m)
            stretch = std::max(stretch, std::fabs(row[0]) + std::fabs(row[1]) + std::fabs(row[2]));
        const imp::Vec3d t = model_.axes.t;
        largest = largest * stretch + std::max({std::fabs(t.x), std::fabs(t.y), std::fabs(t.z)});
        if (largest == 0) return Refuse("every vertex lies at the origin in every frame; the model has no size to export");
        if (!(largest * options_.scale < 1e38))
            return Refuse("the scale " + Format("%g", options_.scale) + " makes positions too large for 32-bit floats");
        if (largest * options_.scale < 1e-30)
            return Refuse("the scale " + Format("%g", options_.scale) + " shrinks the model to a point");
        return true;
    }

    bool Fit() {
        FitReport& fit = result_.fit;
        if (options_.weld) {
            const imp::WeldCounts counts = imp::WeldVertices(*result_.model, scene_, corners_, true);
            fit.welded = true;
            fit.verticesBeforeWeld = counts.before;
            fit.verticesAfterWeld = counts.after;
        }
        if (options_.simplify.Wanted()) {
            fit.simplified = true;
            fit.simplify = imp::Simplify(*result_.model, scene_, corners_, options_.simplify);
            if (!fit.simplify.ok) return Refuse(fit.simplify.problem);
        }
        if (options_.weld)
            fit.verticesAfterWeld = imp::JoinAcrossSeams(*result_.model, scene_, corners_, result_.cornerTexCoords).after;
        for (size_t m = 0; m < corners_.size(); ++m) imp::SetTriangles(*result_.model->meshes[m], corners_[m]);
        return true;
    }

    bool CheckLimits() {
        ModelCounts counts = CountModel(*result_.model);
        counts.frames = static_cast<int64_t>(timeline_.size());
        for (const LimitFinding& finding : CheckFormatLimits(counts, InputRoute::Imported, options_.force)) {
            const FormatLimit limit = finding.limit;
            const bool simplifying = limit == FormatLimit::MeshVertices || limit == FormatLimit::VertexTotal ||
                                     limit == FormatLimit::TriangleTotal;
            if (finding.stops && simplifying && !options_.simplify.fit)
                return Refuse(finding.text + "; --fit simplifies the model to what the format holds", ErrorKind::kLimit);
            if (finding.stops) return Refuse(finding.text, ErrorKind::kLimit);
            AddWarning(result_.warnings, WarningKind::FormatLimit, finding.text, finding.count);
        }
        return true;
    }

    VertexModel& model_;
    std::string path_;
    const ImportOptions& options_;
    bool rateGiven_;
    ImportResult result_;
    imp::ExactScene scene_;
    std::vector<imp::Corners> corners_;
    std::vector<size_t> surfaceOfMesh_;
    std::vector<uint32_t> timeline_;
};

}  // namespace

imp::Affine QuakeAxes() {
    imp::Affine axes;
    axes.m = {{{1, 0, 0}, {0, 0, 1}, {0, -1, 0}}};
    return axes;
}

std::vector<FrameRun> RunsOfNames(const std::vector<std::string>& names, float rate) {
    std::vector<FrameRun> runs;
    for (uint32_t f = 0; f < names.size(); ++f) {
        std::string stem = names[f];
        while (!stem.empty() && std::isdigit(static_cast<unsigned char>(stem.back()))) stem.pop_back();
        while (!stem.empty() && !std::isalnum(static_cast<unsigned char>(stem.back()))) stem.pop_back();
        if (stem.empty()) stem = names[f];
        if (runs.empty() || runs.back().name != stem || runs.back().first + runs.back().count != f)
            runs.push_back({stem, f, 0, rate});
        ++runs.back().count;
    }
    return runs;
}

float TexelCoordinate(int64_t texel, int64_t side) {
    if (side <= 0) return 0;
    int64_t byte = static_cast<int64_t>(std::floor(static_cast<double>(texel) * 256 / static_cast<double>(side)));
    if (texel == side) byte = 255;  // the far edge, not the next tile's first texel
    byte &= 255;
    return static_cast<float>((static_cast<double>(byte) + 0.125) / 255.0);
}

Error CheckDecodedSize(const FileBytes& file, uint64_t points, uint64_t frames, uint64_t corners) {
    const uint64_t most = kDecodedRoom + kDecodedPerFileByte * file.Size();
    const uint64_t frameBytes = points * 12;
    if ((frames != 0 && frameBytes > most / frames) || corners > most / sizeof(Corner) ||
        frameBytes * frames + corners * sizeof(Corner) > most)
        return file.Bad("header", std::to_string(frames) + " frames of " + std::to_string(points) + " points and " +
                                      std::to_string(corners / 3) + " triangles: more than a file of " +
                                      std::to_string(file.Size()) + " bytes can hold");
    return {};
}

ImportResult BuildImport(VertexModel model, const std::string& path, const ImportOptions& options, bool rateGiven) {
    try {
        return Builder(model, path, options, rateGiven).Run();
    } catch (const std::bad_alloc&) {
        ImportResult result;
        result.error = Fault(ErrorKind::kOutOfMemory, path + ": the model needs more memory than this machine grants");
        return result;
    }
}

}  // namespace hm::fmt
