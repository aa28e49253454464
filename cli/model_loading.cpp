#include "cli/model_loading.h"

#include "formats/point_cache.h"
#include "formats/vertex_formats.h"
#include "host/format_limits.h"
#include "host/model_json.h"
#include "names/host_names.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

std::string Printf(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// A host model file names its textures as it likes; the script class names
// them in its directives, where the engine reads a name. Each is made one
// (names/host_names.h), with a warning: no directive of the name's making,
// no file outside textures\, no name cut without a word.
void CleanTextureNames(const std::string& path, hmModel& model, hm::Warnings& warnings) {
    for (size_t i = 0; i < model.materials.size(); ++i) {
        std::string& texture = model.materials[i]->diffuseTexture;
        const std::string clean = hm::imp::EngineFileName(texture);
        if (clean == texture) continue;
        const std::string place = "materials[" + std::to_string(i) + "].diffuseTexture";
        hm::AddWarning(warnings, hm::WarningKind::TextureNameChanged,
                       path + ": " + place + ": the texture '" + hm::Printable(texture) + "' is named " + clean +
                           " (the engine reads a file name of letters, digits and '_', one '.' before the "
                           "extension, and at most " + std::to_string(hm::kMaxNameBytes) + " bytes)",
                       1, {place});
        texture = clean;
    }
}

}  // namespace

bool IsHostModelFile(const std::string& path) {
    const std::string json = ".hm.json";
    return path.size() >= json.size() && path.compare(path.size() - json.size(), json.size(), json) == 0;
}

// --simplify's argument: a whole number of triangles, or a fraction of them.
bool ParseSimplify(const std::string& text, hm::imp::SimplifyRequest& request) {
    if (text.empty()) return true;
    size_t end = 0;
    double value = 0;
    try {
        value = std::stod(text, &end);
    } catch (const std::exception&) {
        return false;
    }
    if (end != text.size() || !std::isfinite(value) || !(value > 0)) return false;
    if (value < 1) {
        request.fraction = value;
        return true;
    }
    if (value != std::floor(value) || text.find_first_not_of("0123456789") != std::string::npos || value > 1e15)
        return false;
    request.triangles = static_cast<int64_t>(value);
    return true;
}

std::string ModelFileProblem(const std::string& path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) return path + ": " + std::strerror(errno);
    // A FIFO or a device would block or never end; a folder is no model.
    if (S_ISDIR(status.st_mode)) return path + ": a folder, not a model file";
    if (!S_ISREG(status.st_mode)) return path + ": a device or a pipe, not a model file";
    if (IsHostModelFile(path) && static_cast<uint64_t>(status.st_size) > kMaxHostModelFileBytes)
        return path + ": " + std::to_string(status.st_size) + " bytes; a host model file may hold at most " +
               std::to_string(kMaxHostModelFileBytes) + " (1 GiB)";
    return {};
}

LoadedModel LoadModel(const std::string& path, const ModelOptions& options) {
    LoadedModel loaded;
    if (std::string problem = ModelFileProblem(path); !problem.empty()) {
        loaded.error = Fault(ErrorKind::kBadInput, problem);
        return loaded;
    }
    hm::imp::SimplifyRequest simplify = options.import.simplify;
    if (!ParseSimplify(options.simplify, simplify)) {
        loaded.error = Fault(ErrorKind::kBadInput,
                             "--simplify " + options.simplify +
                                 ": give a number of triangles (a whole number from 1) or a fraction of them (above 0, "
                                 "below 1)");
        return loaded;
    }
    hm::Warnings hostLosses;
    // Looking at a model is allowed whatever its size; the limits concern exporting it.
    hm::ImportOptions importOptions = options.import;
    if (options.list || options.info || !options.dump.empty()) importOptions.force = true;
    // The host model file is the host's model: the plug-in poses it. A dump
    // is the host model too, so it is made as the host path makes it.
    importOptions.exact = options.bake != Bake::kHost && options.dump.empty();
    importOptions.weld = options.import.weld && !options.noWeld;
    const bool rateGiven = std::find(options.importOptionsGiven.begin(), options.importOptionsGiven.end(), "--fps") !=
                           options.importOptionsGiven.end();
    importOptions.fileRate = !rateGiven;
    importOptions.simplify = simplify;
    if (IsHostModelFile(path) && simplify.Wanted()) {
        loaded.error = Fault(ErrorKind::kBadInput, path + ": a host model file is exported as the host holds it; "
                                                          "--simplify and --fit are for models in common 3D formats");
        return loaded;
    }
    if (IsHostModelFile(path)) {
        if (options.bake == Bake::kExact) {
            loaded.error = Fault(ErrorKind::kBadInput, path +
                                                           ": a host model file holds one bone per vertex and goes "
                                                           "through the plug-in; --bake exact is for models in common "
                                                           "3D formats");
            return loaded;
        }
        // A host model file holds its frames already: there is nothing to scale, sample or choose.
        if (!options.importOptionsGiven.empty()) {
            std::string names;
            for (const std::string& name : options.importOptionsGiven) names += (names.empty() ? "" : ", ") + name;
            loaded.error = Fault(ErrorKind::kBadInput, names + ": only for models in common 3D formats; a host model "
                                                           "file (" + path + ") is exported as it is, with its own frames");
            return loaded;
        }
        loaded.hostModelFile = true;
        hm::LoadResult result = hm::LoadModelJson(path);
        loaded.model = std::move(result.model);
        if (!loaded.model) loaded.error = std::move(result.error);
        loaded.warnings = std::move(result.warnings);
        if (loaded.model) CleanTextureNames(path, *loaded.model, loaded.warnings);
        // The importer checks its model before baking; a host model file is checked here, the same way.
        if (loaded.model) {
            for (const hm::LimitFinding& finding :
                 hm::CheckFormatLimits(hm::CountModel(*loaded.model), hm::InputRoute::HostModelFile,
                                       importOptions.force)) {
                if (finding.stops) {
                    loaded.model.reset();
                    loaded.error = Fault(ErrorKind::kLimit, path + ": " + finding.text);
                    return loaded;
                }
                hm::AddWarning(loaded.warnings, hm::WarningKind::FormatLimit, path + ": " + finding.text,
                               finding.count);
            }
        }
    } else {
        // Vertex-animated formats are read by our own readers, which check
        // every count against the file: Assimp would read one frame of them.
        const hm::fmt::VertexFormat format = hm::fmt::RecogniseVertexFormat(path);
        // An OBJ model's frames may come from a point cache beside it, named after it.
        std::string cache = options.pointCache;
        std::string extension = fs::path(path).extension().string();
        for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const bool obj = extension == ".obj";
        if (cache.empty() && obj && (cache = hm::fmt::PointCacheBeside(path)) != "")
            hm::AddWarning(loaded.warnings, hm::WarningKind::Note,
                           cache + " beside the model gives its frames (a point cache named after it)");
        if (!cache.empty() && format != hm::fmt::VertexFormat::kNone) {
            loaded.error = Fault(ErrorKind::kBadInput, path + ": holds frames of its own; --point-cache is for OBJ models");
            return loaded;
        }
        importOptions.numberFileVertices = !cache.empty();
        const auto read = [&] {
            // With a point cache, --clip names the cache's clips, not the OBJ's (it has none).
            hm::ImportOptions modelOptions = importOptions;
            if (!cache.empty()) modelOptions.clips.clear();
            hm::ImportResult result = format != hm::fmt::VertexFormat::kNone
                                          ? hm::fmt::ReadVertexAnimated(path, format, importOptions, rateGiven)
                                          : hm::ImportModelContained(path, modelOptions, options.limits);
            if (result.model && !cache.empty())
                if (Error error = hm::fmt::AttachPointCache(result, path, cache, importOptions, rateGiven)) {
                    result.model.reset();
                    result.error = std::move(error);
                }
            return result;
        };
        hm::ImportResult result = read();
        // --height: the model as the file has it is measured, then read again at
        // the scale that makes it that tall, so that every part of the import
        // (the exact scene, the keys, the limits) sees the one scale.
        if (options.height > 0 && result.model) {
            const double height = MeasureModel(*result.model).height;
            if (!(height > 0) || !hm::ScaleProblem(options.height / height).empty()) {
                loaded.error = Fault(ErrorKind::kBadInput, path + ": --height: the model has no height at rest to scale");
                return loaded;
            }
            importOptions.scale *= options.height / height;
            result = read();
        }
        if (result.model && result.exact && result.exact->frames.points > 0 && options.bake == Bake::kHost) {
            loaded.error = Fault(ErrorKind::kBadInput, path + ": its frames are vertex positions, which only the exact "
                                                              "bake poses; --bake host would export them at rest");
            return loaded;
        }
        loaded.model = std::move(result.model);
        if (!loaded.model)
            loaded.error = Fault(result.error ? result.error.kind : ErrorKind::kBadInput,
                                 std::move(result.error.message));
        loaded.warnings.insert(loaded.warnings.end(), result.warnings.begin(), result.warnings.end());
        loaded.clips = std::move(result.clips);
        loaded.textures = std::move(result.textures);
        loaded.triangleTypes = std::move(result.triangleTypes);
        loaded.cornerTexCoords = std::move(result.cornerTexCoords);
        loaded.unitCentimetres = result.unitCentimetres;
        loaded.exact = importOptions.exact ? std::move(result.exact) : nullptr;
        hostLosses = std::move(result.hostLosses);
        loaded.fit = result.fit;
    }
    if (!loaded.model) return loaded;
    if (options.list) {
        std::cout << DescribeClips(loaded);
        loaded.done = true;
    }
    if (options.info) {
        std::cout << DescribeModel(*loaded.model, loaded.clips) << DescribeFit(loaded.fit);
        if (!IsHostModelFile(path)) std::cout << DescribeBake(loaded.exact != nullptr, hostLosses);
        loaded.done = true;
    }
    if (!options.dump.empty()) {
        if (Error error = hm::SaveModelJson(*loaded.model, options.dump)) {
            loaded.model.reset();
            loaded.error = std::move(error);
            return loaded;
        }
        std::cout << "Wrote " << options.dump << "\n";
        loaded.done = true;
    }
    return loaded;
}

std::string DescribeModel(const hmModel& model, const std::vector<hm::ClipInfo>& clips) {
    std::string out;
    size_t vertices = 0, triangles = 0;
    out += "Meshes: " + std::to_string(model.meshes.size()) + "\n";
    for (size_t i = 0; i < model.meshes.size(); ++i) {
        const hmMesh& mesh = *model.meshes[i];
        out += "  " + std::to_string(i) + " \"" + hm::Printable(mesh.name) + "\": " + std::to_string(mesh.vertices.size()) +
               " vertices, " + std::to_string(mesh.triangles.size()) + " triangles\n";
        vertices += mesh.vertices.size();
        triangles += mesh.triangles.size();
    }
    out += "Vertices: " + std::to_string(vertices) + "\nTriangles: " + std::to_string(triangles) + "\n";
    out += "Bones: " + std::to_string(model.bones.size()) + "\n";
    for (size_t i = 0; i < model.bones.size(); ++i) {
        const HostBoneEntry& bone = *model.bones[i];
        const std::string parent = bone.record.parentName;
        out += "  " + std::to_string(i) + " " + hm::Printable(bone.record.name) +
               (parent.empty() ? "" : " (in " + hm::Printable(parent) + ")") +
               ", " + std::to_string(bone.positionKeys.size()) + " position and " +
               std::to_string(bone.rotationKeys.size()) + " rotation keys\n";
    }
    out += "Frames: " + std::to_string(model.totalFrames) + "\n";
    out += "Size: " + DescribeSize(MeasureModel(model)) + "\n";
    out += "Materials: " + std::to_string(model.materials.size()) + "\n";
    for (size_t i = 0; i < model.materials.size(); ++i) {
        const hmMaterial& material = *model.materials[i];
        out += "  " + std::to_string(i) + " \"" + hm::Printable(material.name) + "\": texture " +
               (material.diffuseTexture.empty() ? "(none)" : hm::Printable(material.diffuseTexture)) + "\n";
    }
    if (!clips.empty()) {
        out += "Clips: " + std::to_string(clips.size()) + "\n";
        for (const hm::ClipInfo& clip : clips) {
            out += "  " + hm::Printable(clip.name) + ": " + Printf("%.3f", clip.seconds) + " s, " + std::to_string(clip.frameCount) +
                   " frames, " +
                   (clip.startFrame < 0 ? std::string("not exported")
                                        : "frames " + std::to_string(clip.startFrame) + " to " +
                                              std::to_string(clip.startFrame + clip.frameCount - 1)) +
                   "\n";
        }
    }
    return out;
}

std::string DescribeFit(const hm::FitReport& fit) {
    std::string out;
    if (fit.welded && fit.verticesAfterWeld < fit.verticesBeforeWeld)
        out += "Welded: " + std::to_string(fit.verticesBeforeWeld) + " vertices to " +
               std::to_string(fit.verticesAfterWeld) + " (--no-weld keeps them all)\n";
    if (fit.simplified && fit.simplify.ok)
        out += "Simplified: " + std::to_string(fit.simplify.trianglesBefore) + " triangles to " +
               std::to_string(fit.simplify.trianglesAfter) + ", " + std::to_string(fit.simplify.verticesBefore) +
               " vertices to " + std::to_string(fit.simplify.verticesAfter) + ", relative error " +
               Printf("%.4g", fit.simplify.error) +
               (!fit.simplify.topologyKept  ? " (without regard to topology: holes and texture seams may open)"
                : !fit.simplify.bordersLocked ? " (mesh borders simplified along themselves)"
                                              : "") +
               "\n";
    return out;
}

ModelSize MeasureModel(const hmModel& model) {
    bool any = false;
    HostVec3 low{}, high{};
    for (const auto& mesh : model.meshes)
        for (const HostVertex& vertex : mesh->vertices) {
            const HostVec3 p = vertex.position;
            if (!any) low = high = p;
            any = true;
            low = {std::min(low.x, p.x), std::min(low.y, p.y), std::min(low.z, p.z)};
            high = {std::max(high.x, p.x), std::max(high.y, p.y), std::max(high.z, p.z)};
        }
    return {static_cast<double>(high.x) - low.x, static_cast<double>(high.y) - low.y,
            static_cast<double>(high.z) - low.z};
}

std::string DescribeSize(const ModelSize& size) {
    return Printf("%.4g", size.width) + " wide, " + Printf("%.4g", size.height) + " tall, " +
           Printf("%.4g", size.depth) + " deep (model units, at rest)";
}

std::string DescribeClips(const LoadedModel& loaded) {
    if (loaded.hostModelFile)
        return "A host model file has no clips: it exports its " + std::to_string(std::max(1, loaded.model->totalFrames)) +
               " frame(s) as one sequence, All.\n";
    const std::vector<hm::ClipInfo>& clips = loaded.clips;
    if (clips.empty()) return "No clips: the model exports one frame at rest.\n";
    // A vertex-animated file's clips are its own frames, each clip at its own rate.
    const bool ownFrames = loaded.exact && loaded.exact->frames.points > 0;
    // Sampled clips share one rate: the file's own, where it states one, or --fps.
    std::string out = std::to_string(clips.size()) + " clip(s), " +
                      (ownFrames ? std::string("the file's own frames")
                                 : "frames at " + Printf("%g", clips.front().rate) + " per second") +
                      "; name them to --clip as in the first column:\n";
    for (const hm::ClipInfo& clip : clips)
        out += "  " + clip.sequence + "  " + Printf("%.3f", clip.seconds) + " s  " + std::to_string(clip.frameCount) +
               " frames" + (ownFrames ? " at " + Printf("%g", clip.rate) + " per second" : "") +
               (clip.sequence == clip.name ? "" : "  (in the file: " + hm::Printable(clip.name) + ")") + "\n";
    return out;
}

std::string DescribeBake(bool exact, const hm::Warnings& hostLosses) {
    std::string out = exact ? "Bake: exact (the source's own deformation: every bone influence, morph targets, any "
                              "number of bones)\n"
                            : "Bake: host (the host model through the plug-in, one bone per vertex)\n";
    if (hostLosses.empty()) return out + "With --bake host: nothing of the deformation is lost\n";
    out += "With --bake host:\n";
    for (const hm::Warning& loss : hostLosses) out += "  " + hm::Printable(loss.text) + "\n";
    return out;
}
