// vantrel-view: validates an exported set and writes its preview page.
#include "console/console_text.h"
#include "view/exported_set.h"
#include "view/gltf_writer.h"
#include "view/point_cache_writer.h"
#include "view/preview_page.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

const char* const kProgram = "vantrel-view";

constexpr int kDone = 0;
constexpr int kInconsistent = 2;
constexpr int kBadInput = 2;
constexpr int kWriteFailed = 3;

std::string Number(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string Summary(const view::ExportedSet& set) {
    std::ostringstream out;
    out << set.meshName << ":";
    for (const std::string& path : {set.dataPath, set.animPath, set.scriptPath})
        if (!path.empty()) out << " " << path;
    out << "\n  " << set.vertexCount << " vertices, " << set.polygons.size() << " triangles, " << set.frameCount
        << " frames";
    if (set.frameCount != set.headerFrameCount) out << " (the header says " << set.headerFrameCount << ")";
    out << "\n  scale " << Number(set.scale[0]) << " " << Number(set.scale[1]) << " " << Number(set.scale[2]) << "\n";
    view::Box box = view::DecodedBox(set);
    out << "  box (engine axes, all frames) from " << Number(box.min[0]) << " " << Number(box.min[1]) << " "
        << Number(box.min[2]) << " to " << Number(box.max[0]) << " " << Number(box.max[1]) << " "
        << Number(box.max[2]) << "\n";
    for (const view::Sequence& sequence : set.script.sequences)
        out << "  sequence " << sequence.name << ": frames " << sequence.firstFrame << " to "
            << sequence.firstFrame + sequence.frameCount - 1 << " (" << sequence.frameCount << ")\n";
    for (const view::SetTexture& texture : set.textures)
        out << "  texture slot " << texture.slot << ": " << texture.name << " "
            << (texture.png.empty() ? texture.file + " (not shown)"
                                    : texture.foundPath + " (" + std::to_string(texture.width) + "x" +
                                          std::to_string(texture.height) + ")")
            << "\n";
    for (const std::string& note : set.notes) out << "  note: " << note << "\n";
    for (const std::string& problem : set.problems) out << "  problem: " << problem << "\n";
    out << (set.Consistent() ? "consistent\n"
                             : std::to_string(set.problems.size()) + (set.problems.size() == 1 ? " problem\n" : " problems\n"));
    return out.str();
}

// JSON of the decoded positions of the given frames, for tools and tests.
int DumpPositions(const view::ExportedSet& set, const std::vector<unsigned>& frames) {
    std::string out = "{";
    for (size_t i = 0; i < frames.size(); ++i) {
        if (frames[i] >= set.frameCount || set.records.size() < (size_t{frames[i]} + 1) * set.vertexCount * 4) {
            std::cerr << kProgram << ": there is no frame " << frames[i] << " (" << set.frameCount << " frames)\n";
            return kBadInput;
        }
        out += (i ? ",\n\"" : "\"") + std::to_string(frames[i]) + "\": [";
        for (uint32_t n = 0; n < set.vertexCount; ++n) {
            auto position = view::DecodePosition(set, frames[i], n);
            for (int axis = 0; axis < 3; ++axis) {
                char text[32];
                std::snprintf(text, sizeof text, "%s%.9g", n == 0 && axis == 0 ? "" : ",", position[axis]);
                out += text;
            }
        }
        out += "]";
    }
    std::cout << out << "}\n";
    return kDone;
}

// With a point cache, the glTF file holds the mesh alone and the cache every frame.
int WriteGltf(const view::ExportedSet& set, const std::string& path, const std::string& cachePath) {
    if (set.polygons.empty()) {
        std::cerr << kProgram << ": " << set.meshName << ": the set holds no triangle to write\n";
        return kBadInput;
    }
    view::GltfReport report;
    const auto frames = cachePath.empty() ? view::GltfFrames::kMorphTargets : view::GltfFrames::kMeshOnly;
    uint64_t cacheBytes = 0;
    Error error = view::WriteSetAsGltf(set, path, report, frames);
    if (!error && !cachePath.empty()) error = view::WriteSetAsPointCache(set, report.vertices, cachePath, cacheBytes);
    if (error) {
        std::cerr << kProgram << ": " << error.message << "\n";
        return error.kind == ErrorKind::kBadInput || error.kind == ErrorKind::kLimit ? kBadInput : kWriteFailed;
    }
    for (const std::string& difference : report.differences) std::cout << "  differs: " << difference << "\n";
    std::vector<std::string> command = {"vantrel-export", path, set.meshName + ".3D"};
    command.insert(command.end(), report.exportOptions.begin(), report.exportOptions.end());
    std::cout << "Wrote " << path << " (" << report.bytes << " bytes: " << report.primitives << " primitives, "
              << report.morphTargets << " morph targets)\n";
    if (!cachePath.empty()) {
        std::cout << "Wrote " << cachePath << " (" << cacheBytes << " bytes: " << set.frameCount << " frames of "
                  << report.vertices.size() << " points)\n";
        // The glTF file alone holds no frame to give back: the set itself does.
        command = {"vantrel-export", set.scriptPath.empty() ? set.dataPath : set.scriptPath, set.meshName + ".3D"};
    }
    std::cout << "Export back: " << console::ShellCommand(command) << "\n";
    return kDone;
}

int Run(int argc, char** argv);

}  // namespace

// Whatever a set holds, a failure is a message and an exit status, never a crash.
int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::cerr << kProgram << ": not enough memory\n";
    } catch (const std::exception& error) {
        std::cerr << kProgram << ": " << error.what() << "\n";
    }
    return kBadInput;
}

namespace {

int Run(int argc, char** argv) {
    CLI::App app{
        "Validates an exported set (NAME_d.3d, NAME_a.3d, NAME.uc and the textures it names) and writes\n"
        "NAME.html beside it: a page that shows the mesh as the engine will, opened from disk in a browser.\n",
        kProgram};
    app.formatter(std::make_shared<console::HelpFormatter>(kProgram, "PATH [options]"));
    app.footer(
        "\nExit status: 0 done (with --check: the set is consistent); 2 bad arguments, no set found,\n"
        "a set the glTF file cannot hold (no triangle, too large), with --check a set with problems;\n"
        "3 the page or the glTF file could not be written.");
    app.set_help_flag("-h,--help", "Print this help and stop");
    std::string path, output;
    bool check = false, version = false;
    std::vector<unsigned> dumpFrames;
    std::string gltfPath, cachePath;
    view::ReadOptions options;
    app.add_option("PATH", path, "Any file of the set, or the name chosen when exporting (NAME.3D)")->required();
    app.add_flag("--check", check, "Only validate: print a summary and the problems, write nothing");
    app.add_option("-o,--output", output, "Write the page here instead of NAME.html beside the set")->type_name("FILE");
    app.add_option("--texture-folder", options.extraTextureFolders,
                   "Also look here for textures the set does not hold (noted when found only here);\n"
                   "give it again for more")
        ->type_name("DIR")
        ->allow_extra_args(false);
    app.add_option("--dump-positions", dumpFrames,
                   "Print the decoded positions of these frames as JSON (frame: [x, y, z, ...]) and stop")
        ->delimiter(',')
        ->type_name("N,N,...")
        ->allow_extra_args(false);
    app.add_option("--gltf", gltfPath,
                   "Write the set as one glTF 2.0 binary file (OUT.glb) instead of the page: the mesh, its\n"
                   "textures, every frame as a morph target and every sequence as an animation")
        ->type_name("OUT.glb");
    app.add_flag("--version", version, "Print the version and stop");
    // --version answers even without PATH.
    if (console::AsksForVersion(argc, argv)) {
        std::cout << kProgram << " " << VANTREL_VERSION << "\n";
        return kDone;
    }
    app.add_option("--point-cache", cachePath,
                   "With --gltf: every frame in this point cache (PC2, the glTF's vertices in its order, Y up)\n"
                   "instead of morph targets; the glTF file holds the mesh, its sequences only in its extras")
        ->type_name("OUT.pc2")
        ->needs("--gltf");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return kDone;
    } catch (const CLI::ParseError& error) {
        std::cerr << kProgram << ": " << console::DescribeParseError(app, error) << "\n";
        return kBadInput;
    }

    view::ExportedSet set = view::ReadExportedSet(path, options);
    if (set.dataPath.empty() && set.animPath.empty() && set.scriptPath.empty()) {
        std::cerr << kProgram << ": " << path << ": no file of the set " << view::SetBasePath(path)
                  << " (_d.3d, _a.3d, .uc) was found\n";
        return kBadInput;
    }
    if (!dumpFrames.empty()) return DumpPositions(set, dumpFrames);
    std::cout << Summary(set);
    if (check) return set.Consistent() ? kDone : kInconsistent;
    if (!gltfPath.empty()) return WriteGltf(set, gltfPath, cachePath);

    if (output.empty()) output = view::PreviewPagePath(path);
    if (const Error error = view::WritePreviewPage(set, output)) {
        std::cerr << kProgram << ": " << error.message << "\n";
        return error.kind == ErrorKind::kBadInput ? kBadInput : kWriteFailed;
    }
    std::error_code code;
    std::cout << "Wrote " << output << " (" << fs::file_size(output, code) << " bytes)\n";
    return kDone;
}

}  // namespace
