#include "cli/model_loading.h"

#include "host/format_limits.h"
#include "host/model_json.h"

#include <cmath>
#include <cstdio>
#include <iostream>

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
    app.add_option("--max-memory", options.limits.memoryMegabytes,
                   "Memory in MB the model reader may use on a file in a common 3D format (default 4096)")
        ->check(CLI::Range(uint64_t{64}, uint64_t{1} << 24));
    app.add_option("--timeout", options.limits.seconds,
                   "Seconds the model reader may take on a file in a common 3D format (default 120)")
        ->check(CLI::Range(0.01, 1e6));
    app.add_flag("--list", options.list, "List the model's clips and stop");
    app.add_flag("--info", options.info, "Print the model as the host sees it and stop");
    app.add_option("--dump", options.dump, "Write the host model to this .hm.json file and stop");
}

LoadedModel LoadModel(const std::string& path, const ModelOptions& options) {
    LoadedModel loaded;
    // Looking at a model is allowed whatever its size; the limits concern exporting it.
    hm::ImportOptions importOptions = options.import;
    if (options.list || options.info || !options.dump.empty()) importOptions.force = true;
    if (IsHostModelFile(path)) {
        hm::LoadResult result = hm::LoadModelJson(path);
        loaded.model = std::move(result.model);
        loaded.error = std::move(result.error);
        loaded.warnings = std::move(result.warnings);
    } else {
        hm::ImportResult result = hm::ImportModelContained(path, importOptions, options.limits);
        loaded.model = std::move(result.model);
        loaded.error = std::move(result.error);
        loaded.warnings = std::move(result.warnings);
        loaded.clips = std::move(result.clips);
        loaded.textures = std::move(result.textures);
    }
    if (!loaded.model) return loaded;
    if (options.list) {
        std::cout << DescribeClips(loaded.clips, options.import.fps);
        loaded.done = true;
    }
    if (options.info) {
        std::cout << DescribeModel(*loaded.model, loaded.clips);
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

std::string DescribeClips(const std::vector<hm::ClipInfo>& clips, double fps) {
    if (clips.empty()) return "No clips: the model exports one frame at rest.\n";
    std::string out = std::to_string(clips.size()) + " clip(s), frames at " + Printf("%g", fps) + " per second:\n";
    for (const hm::ClipInfo& clip : clips)
        out += "  " + clip.name + "  " + Printf("%.3f", clip.seconds) + " s  " + std::to_string(clip.frameCount) +
               " frames\n";
    return out;
}
