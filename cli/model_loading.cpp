#include "cli/model_loading.h"

#include "host/format_limits.h"
#include "host/model_json.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sys/stat.h>

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
                 "Export past the format's limits (" + std::to_string(hm::kMaxVertexTotal) + " vertices, " +
                     std::to_string(hm::kMaxTriangleTotal) + " triangles or frames, " +
                     std::to_string(hm::kTextureSlots) + " meshes, " + std::to_string(hm::kMaxBones) +
                     " bones), with the wraps the format implies, instead of stopping");
    app.add_flag("--list", options.list, "List the model's clips and stop");
    app.add_flag("--info", options.info, "Print the model as the host sees it and stop");
    app.add_option("--dump", options.dump, "Write the host model to this .hm.json file and stop");
}

std::string ModelFileProblem(const std::string& path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) return path + ": " + std::strerror(errno);
    // A FIFO or a device would block or never end; a folder is no model.
    if (!S_ISREG(status.st_mode)) return path + ": not a regular file";
    if (IsHostModelFile(path) && static_cast<uint64_t>(status.st_size) > kMaxHostModelFileBytes)
        return path + ": " + std::to_string(status.st_size) + " bytes; a host model file may hold at most " +
               std::to_string(kMaxHostModelFileBytes) + " (1 GiB)";
    return {};
}

LoadedModel LoadModel(const std::string& path, const ModelOptions& options) {
    LoadedModel loaded;
    loaded.error = ModelFileProblem(path);
    if (!loaded.error.empty()) return loaded;
    // Looking at a model is allowed whatever its size; the limits concern exporting it.
    hm::ImportOptions importOptions = options.import;
    if (options.list || options.info || !options.dump.empty()) importOptions.force = true;
    if (IsHostModelFile(path)) {
        hm::LoadResult result = hm::LoadModelJson(path);
        loaded.model = std::move(result.model);
        loaded.error = std::move(result.error);
        loaded.warnings = std::move(result.warnings);
        // The importer checks its model before baking; a host model file is checked here, the same way.
        if (loaded.model) {
            for (const hm::LimitFinding& finding :
                 hm::CheckFormatLimits(hm::CountModel(*loaded.model), hm::InputRoute::HostModelFile,
                                       importOptions.force)) {
                if (finding.stops) {
                    loaded.model.reset();
                    loaded.error = path + ": " + finding.text;
                    return loaded;
                }
                hm::AddWarning(loaded.warnings, hm::WarningKind::FormatLimit, path + ": " + finding.text,
                               finding.count);
            }
        }
    } else {
        hm::ImportResult result = hm::ImportModel(path, importOptions);
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
