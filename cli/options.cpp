#include "cli/options.h"

#include "cli/system.h"
#include "console/console_text.h"
#include "export/frame_pipeline.h"
#include "host/format_limits.h"

#include <CLI/CLI.hpp>
#include <assimp/version.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <iostream>

namespace fs = std::filesystem;

namespace {

const char* const kProgram = "vantrel-export";

const char* const kOutputGroup = "Output";
const char* const kImportGroup = "Import (models in common 3D formats only)";
const char* const kInspectGroup = "Inspection (print, then stop)";
const char* const kProgramGroup = "Program";

int Refuse(const std::string& message) {
    std::cerr << kProgram << ": " << message << "\n";
    return kBadInput;
}

// A number that check accepts; what check returns says why not.
CLI::Validator Number(std::function<std::string(double, const std::string&)> check) {
    return CLI::Validator(
        [check](std::string& text) {
            double value = 0;
            size_t end = 0;
            try {
                value = std::stod(text, &end);
            } catch (const std::exception&) {
            }
            if (end == 0 || end != text.size()) return std::string("not a number: ") + text;
            return check(value, text);
        },
        "");
}

// CLI11's own checks speak its words ("Value 0 not in range 1 to 256",
// "Directory is actually a file"); these say what to give instead.
CLI::Validator WholeNumber(long long low, long long high) {
    return CLI::Validator(
        [low, high](std::string& text) {
            size_t end = 0;
            long long value = low - 1;
            try {
                value = std::stoll(text, &end);
            } catch (const std::exception&) {
            }
            return end == text.size() && value >= low && value <= high
                       ? std::string()
                       : "must be a whole number from " + std::to_string(low) + " to " + std::to_string(high) +
                             ", not " + text;
        },
        "");
}

CLI::Validator Existing(bool folder) {
    return CLI::Validator(
        [folder](std::string& path) {
            std::error_code code;
            const fs::file_status status = fs::status(path, code);
            if (!fs::exists(status)) return path + (folder ? ": no such folder" : ": no such file");
            if (fs::is_directory(status) != folder) return path + (folder ? ": a file, not a folder" : ": a folder, not a file");
            return std::string();
        },
        "");
}

void AddOutputOptions(CLI::App& app, CliOptions& options, std::string& output) {
    ModelOptions& model = options.modelOptions;
    app.add_option("-o,--output", output, "The same as DEST")->type_name("NAME|FOLDER")->group(kOutputGroup);
    app.add_flag("--ask", options.ask, "Without DEST, ask for the name on the terminal, as the save dialog would")
        ->group(kOutputGroup);
    app.add_option("--log", options.logPath,
                   "Write the diagnostic log, every value written traced, to this file (default: NAME.log\n"
                   "beside the outputs, about 1 MB at most: the vertices of as many first frames as fit)")
        ->type_name("FILE")
        ->group(kOutputGroup);
    app.add_flag("--full-log", options.fullLog, "Trace every frame in the default log, however large it grows")
        ->group(kOutputGroup);
    app.add_flag("--no-log", options.noLog, "Write no diagnostic log")->group(kOutputGroup);
    app.add_flag("--no-sequences", options.noSequences,
                 "Leave the script class as the plug-in wrote it: print a model's sequence lines\n"
                 "(one per clip) instead of writing them into it")
        ->group(kOutputGroup);
    app.add_flag("--preview", options.preview, "Also write NAME.html, a page that shows the export as the engine will")
        ->group(kOutputGroup);
    app.add_flag("--force", model.import.force,
                 "Export past the format's limits (" + std::to_string(hm::kMaxVertexTotal) + " vertices, " +
                     std::to_string(hm::kMaxTriangleTotal) + " triangles or frames,\n" +
                     std::to_string(hm::kTextureSlots) + " meshes, " + std::to_string(hm::kMaxBones) +
                     " bones) with the wraps the format implies, instead of stopping")
        ->group(kOutputGroup);
}

void AddImportOptions(CLI::App& app, ModelOptions& model) {
    app.add_option("--scale", model.import.scale, "Multiply every position (default 1; 0.01 turns centimetres into metres)")
        ->check(Number([](double value, const std::string& text) {
            const std::string problem = hm::ScaleProblem(value);
            return problem.empty() ? problem : problem + ", not " + text;
        }))
        ->type_name("FACTOR")
        ->group(kImportGroup);
    app.add_option("--height", model.height,
                   "Scale the model so that it stands this many units tall at rest, instead of --scale\n"
                   "(the engine's human-sized characters are about " + std::to_string(kCharacterHeight) + " units tall)")
        ->check(Number([](double value, const std::string& text) {
            return std::isfinite(value) && value > 0 ? std::string() : "must be a finite number above 0, not " + text;
        }))
        ->type_name("UNITS")
        ->group(kImportGroup);
    app.add_option("--fps", model.import.fps, "Frames per second at which clips are sampled, and their sequences play (default: the rate "
                   "the file was animated at where it states one, as FBX files do; else 30)")
        ->check(Number([](double value, const std::string& text) {
            const std::string problem = hm::FpsProblem(value);
            return problem.empty() ? problem : problem + ", not " + text;
        }))
        ->type_name("RATE")
        ->group(kImportGroup);
    app.add_option("--clip", model.import.clips,
                   "Export only this clip, named as --list prints it or as the file names it;\n"
                   "give it again for more clips, exported in the order given (default: all)")
        ->type_name("NAME")
        ->allow_extra_args(false)
        ->group(kImportGroup);

    app.add_option("--bake", model.bake,
                   "How an imported model's frames are posed: exact (default), as the source defines it:\n"
                   "every bone influence and morph target, any number of bones; or host, the host model\n"
                   "through the plug-in, one bone per vertex (at most " + std::to_string(hm::kMaxBones) + "), as the modelling host would.\n"
                   "A host model file always goes through the plug-in")
        // The enumerator's number is what CLI11 assigns.
        ->transform(CLI::Validator(
            [](std::string& text) {
                const std::map<std::string, Bake> names = {{"exact", Bake::kExact}, {"host", Bake::kHost}};
                const auto found = names.find(text);
                if (found == names.end()) return "must be exact or host, not " + text;
                text = std::to_string(static_cast<int>(found->second));
                return std::string();
            },
            ""))
        ->type_name("exact|host")
        ->group(kImportGroup);

    app.add_flag("--no-weld", model.noWeld,
                 "Keep every vertex. By default the vertices of a mesh that the exported files cannot\n"
                 "tell apart (same position, texture bytes and deformation) become one: no decoded\n"
                 "position changes, the files shrink")
        ->group(kImportGroup);
    app.add_option("--simplify", model.simplify,
                   "Reduce the model to at most N triangles, or to a fraction of them (0.5 halves them),\n"
                   "by removing vertices: texture seams, mesh borders and each kept vertex's deformation stay")
        ->type_name("N|FRACTION")
        ->group(kImportGroup);
    app.add_flag("--fit", model.import.simplify.fit,
                 "Simplify the model until it fits the format (" + std::to_string(hm::kMaxFrameVertices) +
                     " vertices, " + std::to_string(hm::kMaxTriangleTotal) + " triangles)")
        ->group(kImportGroup);

    app.add_option("--texture-size", model.import.textureSide,
                   "Largest side of the textures written, a power of two up to " + std::to_string(hm::kMaxTextureSide) +
                       "\n(default " + std::to_string(hm::kDefaultTextureSide) +
                       ", which every renderer of the engine takes)")
        ->check(CLI::Validator(
            [](std::string& text) {
                int side = 0;
                try {
                    size_t end = 0;
                    side = std::stoi(text, &end);
                    if (end != text.size()) side = 0;
                } catch (const std::exception&) {
                }
                return side >= 1 && side <= hm::kMaxTextureSide && (side & (side - 1)) == 0
                           ? std::string()
                           : "must be a power of two from 1 to " + std::to_string(hm::kMaxTextureSide) + ", not " + text;
            },
            ""))
        ->type_name("N")
        ->group(kImportGroup);
    app.add_option("--texture-folder", model.import.textureFolders,
                   "Also read the model's images and other files from this folder and below (by default only\n"
                   "the model's folder and below); give it again for more")
        ->check(Existing(true))
        ->type_name("DIR")
        ->allow_extra_args(false)
        ->group(kImportGroup);
    app.add_option("--point-cache", model.pointCache,
                   "Every frame from this point cache (.pc2 or .mdd) of an OBJ model's vertices, in the\n"
                   "order of the OBJ's vertex lines (default: MODEL's name with .pc2 or .mdd, where there is one)")
        ->check(Existing(false))
        ->type_name("FILE")
        ->group(kImportGroup);
}

void AddInspectionOptions(CLI::App& app, ModelOptions& model) {
    app.add_flag("--list", model.list, "List the model's clips and the frames they export")->group(kInspectGroup);
    app.add_flag("--info", model.info, "Print the model as the host sees it: meshes, bones, frames, size")
        ->group(kInspectGroup);
    app.add_option("--dump", model.dump, "Write the model as a host model file (.hm.json)")
        ->type_name("FILE")
        ->group(kInspectGroup);
}

void AddProgramOptions(CLI::App& app, CliOptions& options, bool& quiet, bool& verbose, bool& version) {
    ModelOptions& model = options.modelOptions;
    app.set_help_flag("-h,--help", "Print this help and stop")->group(kProgramGroup);
    app.add_flag("-q,--quiet", quiet, "Print errors only")->group(kProgramGroup);
    app.add_flag("-v,--verbose", verbose, "Print more: the plug-in loaded and where from")->group(kProgramGroup);
    app.add_flag("--version", version, "Print the version and stop")->group(kProgramGroup);
    app.add_option("--plugin", options.pluginPath,
                   std::string("The plug-in to load (default: ") + PluginFileName() +
                       " beside this program,\nor where it is installed)")
        ->type_name("FILE")
        ->group(kProgramGroup);
    app.add_option("--threads", options.threads,
                   "Threads that pose and write the frames (default: the machine's cores);\n"
                   "the files are the same with any number")
        ->check(WholeNumber(1, kMaxBakeThreads))
        ->type_name("N")
        ->group(kProgramGroup);
    app.add_option("--max-memory", model.limits.memoryMegabytes,
                   "Memory the model reader may take for a file read with Assimp (default 4096)")
        ->check(WholeNumber(64, 1 << 24))
        ->type_name("MB")
        ->group(kProgramGroup);
    app.add_option("--timeout", model.limits.seconds,
                   "Seconds the model reader may take for a file read with Assimp (default 120)")
        ->check(Number([](double value, const std::string& text) {
            return value >= 0.01 && value <= 1e6 ? std::string() : "must be a number from 0.01 to 1000000, not " + text;
        }))
        ->type_name("SECONDS")
        ->group(kProgramGroup);
}

}  // namespace

std::optional<int> ParseCommandLine(int argc, char** argv, CliOptions& options) {
    CLI::App app{
        "Turns a skinned, keyframe-animated model into the Vantrel engine's vertex-animated mesh:\n"
        "NAME_d.3d (triangles and texture coordinates), NAME_a.3d (every frame's vertex positions),\n"
        "NAME.uc (the script class that imports both, with one texture per material) and the\n"
        "texture files the class names, all in DEST's folder. NAME, DEST's file name without its\n"
        "extension, is the class name: letters, digits and '_', not starting with a digit.\n",
        kProgram};
    app.formatter(std::make_shared<console::HelpFormatter>(kProgram, "MODEL [DEST] [options]"));
    app.footer(
        "\nExit status: 0 exported; 1 nothing exported (empty model, cancelled); 2 bad arguments or\n"
        "bad input (nothing written); 3 an output could not be written.");
    app.set_help_flag();  // defined last, so that its group comes last

    ModelOptions& model = options.modelOptions;
    app.add_option("MODEL", options.model,
                   "The model: glTF 2.0, FBX, Collada, OBJ or another format Assimp reads, or a host\n"
                   "model file (.hm.json, the modelling host's own model as JSON)")
        ->required()
        ->type_name("");
    app.add_option("DEST", options.destination,
                   "Where the outputs go: a file name such as out/Guard.3D (the name the modelling host's\n"
                   "save dialog would be given; its extension is replaced) or an existing folder, which\n"
                   "receives the outputs named after MODEL. Default: MODEL's name, in the current folder")
        ->type_name("");

    std::string output;
    bool quiet = false, verbose = false, version = false;
    AddOutputOptions(app, options, output);
    AddImportOptions(app, model);
    AddInspectionOptions(app, model);
    AddProgramOptions(app, options, quiet, verbose, version);

    // --version answers even without MODEL.
    if (console::AsksForVersion(argc, argv)) {
        std::cout << kProgram << " " << VANTREL_VERSION << " (Assimp " << aiGetVersionMajor() << "."
                  << aiGetVersionMinor() << "." << aiGetVersionPatch() << ")\n";
        return kExported;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return kExported;
    } catch (const CLI::ParseError& error) {
        return Refuse(console::DescribeParseError(app, error));
    }
    if (quiet && verbose) return Refuse("-q and -v contradict each other");
    options.verbosity = quiet ? Verbosity::Quiet : verbose ? Verbosity::Verbose : Verbosity::Normal;
    if (!output.empty() && !options.destination.empty())
        return Refuse("DEST and -o/--output both given (" + options.destination + ", " + output + "); give one");
    if (!output.empty()) options.destination = output;
    if (model.height > 0 && app.count("--scale")) return Refuse("--scale and --height both give the size; give one");
    if (options.noLog && !options.logPath.empty()) return Refuse("--log and --no-log contradict each other");
    if (options.noLog && options.fullLog) return Refuse("--full-log and --no-log contradict each other");
    if (options.ask && !options.destination.empty()) return Refuse("--ask and a destination both given; give one");
    // Those of the import group that shape what is read; --bake has a message of its own.
    for (const CLI::Option* option : app.get_options())
        if (option->get_group() == kImportGroup && option->count() > 0 && option->get_name() != "--bake")
            model.importOptionsGiven.push_back(option->get_name());
    return std::nullopt;
}
