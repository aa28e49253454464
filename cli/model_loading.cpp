#include "cli/model_loading.h"

#include "host/format_limits.h"
#include "host/model_json.h"

#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>

namespace {

bool IsHostModelFile(const std::string& path) {
    const std::string json = ".hm.json";
    return path.size() >= json.size() && path.compare(path.size() - json.size(), json.size(), json) == 0;
}

std::string Printf(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

std::string ModelArgumentHelp() {
    return "The model: a host model file (.hm.json), or a model in a common 3D format (glTF 2.0, FBX, "
           "Collada, OBJ and the others Assimp reads), told apart by content and extension";
}

void AddModelOptions(CLI::App& app, ModelOptions& options) {
    const CLI::Validator aboveZero(
        [](std::string& text) {
            double value = 0;
            try {
                value = std::stod(text);
            } catch (const std::exception&) {
                return std::string("not a number: ") + text;
            }
            return std::isfinite(value) && value > 0 ? std::string() : "must be a number above 0, not " + text;
        },
        "NUMBER > 0");
    app.add_option("--scale", options.import.scale, "Multiply every position of an imported model (default 1)")
        ->check(aboveZero);
    app.add_option("--fps", options.import.fps, "Frames per second at which clips are sampled (default 30)")
        ->check(CLI::Range(0.001, 100000.0));
    app.add_option("--clip", options.import.clip, "Export only the clip of this name (default: all, end to end)");
    app.add_flag("--force", options.import.force,
                 "Export past the format's limits (" + std::to_string(hm::kMaxVertexTotal) +
                     " vertices, triangles or frames) instead of stopping");
    app.add_flag("--list", options.list, "List the model's clips and stop");
    app.add_flag("--info", options.info, "Print the model as the host sees it and stop");
    app.add_option("--dump", options.dump, "Write the host model to this .hm.json file and stop");
    app.add_option("--bake", options.bake,
                   "How an imported model's frames are posed: exact (default), as the source defines it, every "
                   "bone influence and morph target, any number of bones; or host, the host model through the "
                   "plug-in, one bone per vertex (at most 128), as the modelling host would. A host model file "
                   "always goes through the plug-in")
        ->transform(
            CLI::CheckedTransformer(std::map<std::string, Bake>{{"exact", Bake::kExact}, {"host", Bake::kHost}}));
    app.add_flag("--no-weld", options.noWeld,
                  "Keep every vertex of an imported model. By default the vertices of a mesh that the exported "
                  "files cannot tell apart (same position, texture bytes and deformation; files split them by "
                  "normals too) become one: no decoded position changes, the files shrink");
    app.add_option("--simplify", options.simplify,
                   "Reduce an imported model to at most N triangles, or to a fraction of them (0.5 halves them), "
                   "by removing vertices: texture seams, mesh borders and each kept vertex's deformation stay");
    app.add_flag("--fit", options.import.simplify.fit,
                 "Simplify an imported model until it fits the format (" + std::to_string(hm::kMaxFrameVertices) +
                     " vertices, " + std::to_string(hm::kMaxTriangleTotal) + " triangles)");
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

LoadedModel LoadModel(const std::string& path, const ModelOptions& options) {
    LoadedModel loaded;
    hm::imp::SimplifyRequest simplify = options.import.simplify;
    if (!ParseSimplify(options.simplify, simplify)) {
        loaded.error = "--simplify " + options.simplify +
                       ": give a number of triangles (a whole number from 1) or a fraction of them (above 0, below 1)";
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
    importOptions.simplify = simplify;
    if (IsHostModelFile(path) && simplify.Wanted()) {
        loaded.error = path + ": a host model file is exported as the host holds it; --simplify and --fit are for "
                              "models in common 3D formats";
        return loaded;
    }
    if (IsHostModelFile(path)) {
        if (options.bake == Bake::kExact) {
            loaded.error = path +
                           ": a host model file holds one bone per vertex and goes through the plug-in; "
                           "--bake exact is for models in common 3D formats";
            return loaded;
        }
        hm::LoadResult result = hm::LoadModelJson(path);
        loaded.model = std::move(result.model);
        loaded.error = std::move(result.error);
        loaded.warnings = std::move(result.warnings);
    } else {
        hm::ImportResult result = hm::ImportModel(path, importOptions);
        loaded.model = std::move(result.model);
        loaded.error = std::move(result.error);
        loaded.warnings = std::move(result.warnings);
        loaded.clips = std::move(result.clips);
        loaded.textures = std::move(result.textures);
        loaded.exact = importOptions.exact ? std::move(result.exact) : nullptr;
        hostLosses = std::move(result.hostLosses);
        loaded.fit = result.fit;
    }
    if (!loaded.model) return loaded;
    if (options.list) {
        std::cout << DescribeClips(loaded.clips, options.import.fps);
        loaded.done = true;
    }
    if (options.info) {
        std::cout << DescribeModel(*loaded.model, loaded.clips) << DescribeFit(loaded.fit);
        if (!IsHostModelFile(path)) std::cout << DescribeBake(loaded.exact != nullptr, hostLosses);
        loaded.done = true;
    }
    if (!options.dump.empty()) {
        std::string error;
        if (!hm::SaveModelJson(*loaded.model, options.dump, error)) {
            loaded.model.reset();
            loaded.error = error;
            loaded.writeFailed = true;
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
        out += "  " + std::to_string(i) + " \"" + mesh.name + "\": " + std::to_string(mesh.vertices.size()) +
               " vertices, " + std::to_string(mesh.triangles.size()) + " triangles\n";
        vertices += mesh.vertices.size();
        triangles += mesh.triangles.size();
    }
    out += "Vertices: " + std::to_string(vertices) + "\nTriangles: " + std::to_string(triangles) + "\n";
    out += "Bones: " + std::to_string(model.bones.size()) + "\n";
    for (size_t i = 0; i < model.bones.size(); ++i) {
        const HostBoneEntry& bone = *model.bones[i];
        const std::string parent = bone.record.parentName;
        out += "  " + std::to_string(i) + " " + bone.record.name + (parent.empty() ? "" : " (in " + parent + ")") +
               ", " + std::to_string(bone.positionKeys.size()) + " position and " +
               std::to_string(bone.rotationKeys.size()) + " rotation keys\n";
    }
    out += "Frames: " + std::to_string(model.totalFrames) + "\n";
    out += "Materials: " + std::to_string(model.materials.size()) + "\n";
    for (size_t i = 0; i < model.materials.size(); ++i) {
        const hmMaterial& material = *model.materials[i];
        out += "  " + std::to_string(i) + " \"" + material.name + "\": texture " +
               (material.diffuseTexture.empty() ? "(none)" : material.diffuseTexture) + "\n";
    }
    if (!clips.empty()) {
        out += "Clips: " + std::to_string(clips.size()) + "\n";
        for (const hm::ClipInfo& clip : clips) {
            out += "  " + clip.name + ": " + Printf("%.3f", clip.seconds) + " s, " + std::to_string(clip.frameCount) +
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
    if (fit.welded)
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

std::string DescribeClips(const std::vector<hm::ClipInfo>& clips, double fps) {
    if (clips.empty()) return "No clips: the model exports one frame at rest.\n";
    std::string out = std::to_string(clips.size()) + " clip(s), frames at " + Printf("%g", fps) + " per second:\n";
    for (const hm::ClipInfo& clip : clips)
        out += "  " + clip.name + "  " + Printf("%.3f", clip.seconds) + " s  " + std::to_string(clip.frameCount) +
               " frames\n";
    return out;
}

std::string DescribeBake(bool exact, const hm::Warnings& hostLosses) {
    std::string out = exact ? "Bake: exact (the source's own deformation: every bone influence, morph targets, any "
                              "number of bones)\n"
                            : "Bake: host (the host model through the plug-in, one bone per vertex)\n";
    if (hostLosses.empty()) return out + "With --bake host: nothing of the deformation is lost\n";
    out += "With --bake host:\n";
    for (const hm::Warning& loss : hostLosses) out += "  " + loss.text + "\n";
    return out;
}
