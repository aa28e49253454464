#include "cli/export_plan.h"

#include "bake/exact_pose.h"
#include "cli/class_name.h"
#include "cli/summary.h"
#include "cli/system.h"
#include "console/console_text.h"
#include "export/frame_pipeline.h"
#include "export/output_names.h"
#include "host/format_limits.h"
#include "texture/texture_files.h"
#include "view/exported_set.h"
#include "view/preview_page.h"

#include <filesystem>
#include <iostream>
#include <map>

namespace fs = std::filesystem;

namespace {

// Beside the program in the build tree; in an installed tree, in the plug-in
// folder that the build placed relative to the program's.
std::string DefaultPluginPath() {
    const fs::path directory = ProgramDirectory();
    const fs::path beside = directory / PluginFileName();
    const fs::path installed = (directory / VANTREL_PLUGINDIR_FROM_BINDIR / PluginFileName()).lexically_normal();
    std::error_code code;
    return !fs::exists(beside, code) && fs::exists(installed, code) ? installed.string() : beside.string();
}

// MODEL's file name without its model extension.
std::string ModelName(const std::string& modelPath) {
    std::string name = fs::path(modelPath).filename().string();
    const std::string json = ".hm.json";
    if (name.size() > json.size() && name.compare(name.size() - json.size(), json.size(), json) == 0)
        name.resize(name.size() - json.size());
    else
        name = fs::path(name).stem().string();
    return name;
}

// Empty when the run can name its outputs after destination; else why not.
// The plug-in takes the name from a save dialog of 256 bytes, terminator included.
std::string DestinationProblem(const std::string& destination) {
    const std::string name = fs::path(destination).filename().string();
    if (name.empty() || name == "." || name == "..")
        return destination + ": no file name to name the outputs after (give one, as in folder/Guard.3D)";
    if (destination.size() > 255)
        return destination.substr(0, 40) + "...: " + std::to_string(destination.size()) +
               " bytes; the save dialog holds a path of at most 255";
    const std::string folder = fs::path(destination).parent_path().string();
    const long most = LongestFileName(folder);
    const OutputPaths paths = DeriveOutputPaths(destination);
    for (const std::string& output : {paths.data, paths.anim, paths.script}) {
        const std::string outputName = fs::path(output).filename().string();
        if (most > 0 && outputName.size() > static_cast<size_t>(most))
            return output + ": a file name of " + std::to_string(outputName.size()) +
                   " bytes; the file system holds at most " + std::to_string(most);
    }
    return {};
}

// The bytes an export writes: the two mesh files exactly, the script class
// and the log at most (their numbers are known only once the frames are posed).
struct ExportSizes {
    uint64_t data = 0, anim = 0, script = 0, log = 0;
};

// A log kept to about this unless the whole trace is asked for: the trace of
// every vertex at every frame runs to hundreds of megabytes for a character.
constexpr uint64_t kShortLogBytes = 1 << 20;

// logFrames: the frames whose vertices the log traces.
ExportSizes SizesOf(const hmModel& model, const std::string& destination, int32_t logFrames) {
    uint64_t vertices = 0, triangles = 0, largestMesh = 0;
    for (const auto& mesh : model.meshes) {
        vertices += mesh->vertices.size();
        triangles += mesh->triangles.size();
        largestMesh = std::max<uint64_t>(largestMesh, mesh->vertices.size());
    }
    const uint64_t frames = static_cast<uint16_t>(model.totalFrames);  // the count the file holds
    ExportSizes sizes;
    sizes.data = hm::kDataHeaderBytes + hm::kPolygonRecordBytes * triangles;
    sizes.anim = hm::kAnimHeaderBytes + hm::kFrameVertexBytes * vertices * frames;
    const uint64_t name = fs::path(destination).filename().string().size();
    sizes.script = 1024 + 6 * name + model.materials.size() * (200 + 3 * name);
    // The longest each line can be: "%f" of a float takes at most 47 bytes,
    // a vertex number within its mesh as many digits as the largest mesh.
    const uint64_t vertexDigits = std::to_string(largestMesh).size();
    const uint64_t traced = std::min<uint64_t>(frames, static_cast<uint64_t>(std::max(logFrames, 0)));
    sizes.log = 2 * (destination.size() + 5) + 80 * model.meshes.size() + 512 +
                triangles * (3 * (17 + 2 * 47 + 2) + 3 * 24 + 95) + frames * 30 +
                vertices * traced * (16 + vertexDigits + 3 + 3 * 4 + 2 + 2) + 100;
    return sizes;
}

// As many frames as keep the log within about bytes, and at least one: the
// same number wherever the outputs go (the paths are left out), so that the
// same export on two systems writes the same log after its paths.
int32_t LogFramesWithin(const hmModel& model, uint64_t bytes) {
    const uint64_t fixed = SizesOf(model, "", 0).log;
    const uint64_t perFrame = SizesOf(model, "", 1).log - fixed;
    if (fixed >= bytes || perFrame == 0) return 1;
    return static_cast<int32_t>(std::clamp<uint64_t>((bytes - fixed) / perFrame, 1, INT32_MAX));
}

// Refuses an export whose files cannot fit: the outputs in the destination's
// folder, the log (sizes.log 0 when there is none) in its folder, together
// when both are on one file system. Empty when they fit.
std::string RoomProblem(const ExportSizes& sizes, const std::string& destination, const std::string& logFolder) {
    std::string folder = fs::path(destination).parent_path().string();
    if (folder.empty()) folder = ".";
    uint64_t outputsFree = 0, logFree = 0, outputsFs = 0, logFs = 0;
    if (!FreeSpace(folder, outputsFree, outputsFs) || !FreeSpace(logFolder, logFree, logFs))
        return {};  // cannot tell: the writes will say
    const uint64_t outputs = sizes.data + sizes.anim + sizes.script;
    const bool together = outputsFs == logFs;
    const std::string need = "_d.3d " + std::to_string(sizes.data) + " bytes, _a.3d " + std::to_string(sizes.anim) +
                             " bytes, the script class and the log at most " + std::to_string(sizes.script) + " and " +
                             std::to_string(sizes.log) + " bytes";
    if (together ? outputs + sizes.log > outputsFree : outputs > outputsFree)
        return "not enough room in " + folder + " (" + std::to_string(outputsFree) + " bytes free) for the export: " + need;
    if (!together && sizes.log > logFree)
        return "not enough room in " + logFolder + " (" + std::to_string(logFree) + " bytes free) for the log: " + need;
    return {};
}

struct Destination {
    std::string path;   // the name the save dialog answers with; empty when it cannot be used
    Error error;  // why not
    std::string note;  // how the program named it, when it did not take the model's name as it is
};

// DEST as a file name, or inside DEST when it is a folder.
Destination ChooseDestination(const std::string& given, const std::string& modelPath) {
    std::string destination = given.empty() ? ModelName(modelPath) + ".3D" : given;
    std::error_code code;
    const bool folderMeant = destination.back() == '/' || fs::is_directory(destination, code);
    // A bare word names a folder as often as a file: a folder that is not there
    // yet would otherwise become the class name silently.
    if (!folderMeant && fs::path(destination).extension().empty())
        return {"", Fault(ErrorKind::kBadInput, destination + ": no such folder, and no extension to make it a file name; give " +
                                                    destination + ".3D for files named " +
                                                    fs::path(destination).filename().string() +
                                                    ", or make the folder first (" + console::MakeFolderCommand(destination) + ")"), {}};
    if (folderMeant) {
        if (!fs::is_directory(destination, code)) return {"", Fault(ErrorKind::kBadInput, destination + ": no such folder"), {}};
        destination = (fs::path(destination) / (ModelName(modelPath) + ".3D")).string();
    }
    // A name taken from the model is the program's choice, not the user's: one
    // the engine cannot compile becomes the nearest that it can, and is said.
    std::string note;
    if (given.empty() || folderMeant) {
        const std::string modelName = DeriveMeshName(fs::path(destination).filename().string());
        if (const std::string problem = ClassNameProblem(modelName); !problem.empty()) {
            const std::string suggested = SuggestClassName(modelName);
            destination = (fs::path(destination).parent_path() / (suggested + ".3D")).string();
            note = "The class is named " + suggested + " (from the model's name, " + problem +
                   "; give DEST to choose another)";
        }
    }
    const fs::path folder = fs::path(destination).parent_path();
    if (!folder.empty() && !fs::is_directory(folder, code))
        return {"", Fault(ErrorKind::kBadInput, destination + ": the folder " + folder.string() +
                                                    " does not exist; make it first (" +
                                                    console::MakeFolderCommand(folder.string()) + ")"), {}};
    const std::string meshName = DeriveMeshName(fs::path(destination).filename().string());
    if (const std::string problem = ClassNameProblem(meshName); !problem.empty())
        return {"", Fault(ErrorKind::kBadInput, destination + ": " + problem + "; name the outputs, as in " +
                                                    (folder / (SuggestClassName(meshName) + ".3D")).string()), {}};
    return {destination, {}, note};
}

// What --ask gets from a person at the terminal: a file name, confirmed when
// it names an existing file; "" for cancel.
std::string AskForDestination() {
    std::cerr << "Export Vantrel 3D - file name (empty cancels): " << std::flush;
    std::string line;
    if (!std::getline(std::cin, line) || line.empty()) return "";
    std::error_code code;
    if (fs::exists(line, code)) {
        std::cerr << line << " already exists. Do you want to replace it? [y/N] " << std::flush;
        std::string answer;
        if (!std::getline(std::cin, answer) || answer.empty() || (answer[0] != 'y' && answer[0] != 'Y')) return "";
    }
    return line;
}

// The page of the set as it will be once committed, read from the files staged for it.
// sources: texture file name -> the image it was converted from, shown "as painted".
PreviewMaker PagePreview(const std::string& destination, const std::string& modelFolder,
                         const std::map<std::string, std::string>& sources) {
    return [destination, modelFolder, sources](const std::vector<StagedFile>& staged) {
        view::ReadOptions options;
        options.sourceImages = sources;
        if (!modelFolder.empty()) options.extraTextureFolders.push_back(modelFolder);
        for (const StagedFile& file : staged) options.staged[file.path] = file.bytesAt;
        const view::ExportedSet set = view::ReadExportedSet(destination, options);
        PreviewPage page;
        page.path = view::PreviewPagePath(destination);
        page.findings = set.problems;
        page.findings.insert(page.findings.end(), set.notes.begin(), set.notes.end());
        if (Error error = view::BuildPreviewPage(set, page.html))
            page.error = Fault(error.kind, page.path + ": " + error.message);
        return page;
    };
}

}  // namespace

Error PlanExport(const CliOptions& options, LoadedModel& loaded, ExportPlan& plan) {
    std::string given = options.destination;
    if (options.ask) {
        if (!InputIsTerminal())
            return Fault(ErrorKind::kBadInput,
                         "--ask needs a terminal on standard input to ask for the name; give DEST instead");
        given = AskForDestination();
        if (given.empty()) return Fault(ErrorKind::kNothingExported, "no file name was chosen");
    }
    const Destination chosen = ChooseDestination(given, options.model);
    if (chosen.error) return chosen.error;
    const std::string& destination = chosen.path;
    plan.nameNote = chosen.note;

    // The log goes beside the outputs, named after the class, unless asked for
    // elsewhere: one export's log replaces no other class's, nor one in
    // whatever folder the command was typed. Only a log asked for traces
    // every frame.
    ExportRequest& request = plan.request;
    request.destination = destination;
    const fs::path classPath = fs::path(destination);
    request.logPath = options.noLog             ? ""
                      : !options.logPath.empty() ? options.logPath
                                                 : (classPath.parent_path() / (classPath.stem().string() + kLogSuffix)).string();
    request.logRequired = !options.logPath.empty();
    if (!options.fullLog && options.logPath.empty())
        request.logFrames = LogFramesWithin(*loaded.model, kShortLogBytes);
    plan.logShortened = !request.logPath.empty() && request.logFrames < loaded.model->totalFrames;
    const fs::path logFolder =
        fs::path(request.logPath).parent_path().empty() ? fs::path(".") : fs::path(request.logPath).parent_path();
    if (!options.logPath.empty() && !fs::is_directory(logFolder))
        return Fault(ErrorKind::kBadInput, options.logPath + ": the folder for the log does not exist");

    if (const Error error = loaded.exact ? hm::imp::CheckExactScene(*loaded.exact) : Error())
        return Fault(error.kind, options.model + ": " + error.message);
    ExportSizes sizes = SizesOf(*loaded.model, destination, request.logFrames);
    if (request.logPath.empty()) sizes.log = 0;
    std::string problem = DestinationProblem(destination);
    if (problem.empty()) problem = RoomProblem(sizes, destination, logFolder.string());
    if (!problem.empty()) return Fault(ErrorKind::kBadInput, problem);

    // Everything the export writes goes into its one commit: the clips'
    // sequence lines, the textures (an earlier export's script class says
    // which of those already there it wrote), the page.
    const std::string folder = fs::path(destination).parent_path().string();
    ExportAdditions& additions = request.additions;
    plan.sequences = hm::ClipSequences(loaded.clips);
    if (!options.noSequences) additions.sequences = plan.sequences;
    plan.unusedTextures =
        hm::UnusedTextureFiles(loaded.textures, folder, ReadText(DeriveOutputPaths(destination).script));
    if (!loaded.textures.empty())
        additions.planFiles = [&textures = loaded.textures, folder, script = DeriveOutputPaths(destination).script](
                                  std::vector<ExtraFile>& files, std::vector<std::string>& kept) {
            hm::TexturePlan planned = hm::PlanTextureFiles(textures, folder, ReadText(script));
            files = std::move(planned.files);
            kept = std::move(planned.kept);
            return planned.error;
        };
    additions.triangleTypes = loaded.triangleTypes;
    additions.cornerTexCoords = loaded.cornerTexCoords;
    if (options.preview) {
        std::map<std::string, std::string> sources;
        for (const hm::TextureFile& texture : loaded.textures)
            if (!texture.sourcePath.empty()) sources[texture.fileName] = texture.sourcePath;
        additions.preview = PagePreview(destination, fs::path(options.model).parent_path().string(), sources);
    }
    request.threads = options.threads > 0 ? options.threads : MachineThreads();

    // The host bake loads the plug-in as the modelling host does. The exact
    // bake runs the export job in the program, its frames posed by the
    // source's own deformation, which the host's model cannot carry.
    plan.throughPlugIn = !loaded.exact;
    if (plan.throughPlugIn)
        plan.pluginPath = options.pluginPath.empty() ? DefaultPluginPath() : options.pluginPath;
    else
        plan.poses = std::make_unique<hm::imp::ExactPose>(*loaded.exact);
    plan.size = MeasureModel(*loaded.model);
    return {};
}
