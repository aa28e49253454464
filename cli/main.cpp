// vantrel-export: a host program that loads a model, loads the export plug-in
// the way the modelling host does, and runs the export with a chosen name.
#include "cli/class_name.h"
#include "cli/model_loading.h"
#include "cli/options.h"
#include "cli/summary.h"
#include "cli/system.h"
#include "export/export_job.h"
#include "export/output_names.h"
#include "export/script_class_file.h"
#include "host/format_limits.h"
#include "texture/texture_files.h"
#include "contained/contained_import.h"
#include "bake/exact_pose.h"
#include "platform/platform_ui.h"
#include "plugin/plugin.h"
#include "view/exported_set.h"
#include "view/preview_page.h"

#include <new>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <iostream>
#include <memory>
#include <string>

namespace fs = std::filesystem;

namespace {

int Fail(int status, const std::string& message) {
    std::cerr << "vantrel-export: " << message << "\n";
    return status;
}

// An export's failure: its line, and its exit status.
int Report(const Error& error) {
    const std::string text = error.kind == ErrorKind::kNothingExported ? "nothing exported: " + error.message
                                                                        : DescribeFailure(error);
    return Fail(ExitStatus(error.kind), text);
}

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

ExportSizes SizesOf(const hmModel& model, const std::string& destination) {
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
    sizes.log = 2 * (destination.size() + 5) + 80 * model.meshes.size() + 512 +
                triangles * (3 * (17 + 2 * 47 + 2) + 3 * 24 + 95) + frames * 30 +
                vertices * frames * (16 + vertexDigits + 3 + 3 * 4 + 2 + 2);
    return sizes;
}

// Refuses an export whose files cannot fit: the outputs in the destination's
// folder, the log in its folder, together when both are on one
// file system. Empty when they fit.
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
    Error error;        // why not
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
                                                    ", or make the folder first (mkdir " + destination + ")")};
    if (folderMeant) {
        if (!fs::is_directory(destination, code)) return {"", Fault(ErrorKind::kBadInput, destination + ": no such folder")};
        destination = (fs::path(destination) / (ModelName(modelPath) + ".3D")).string();
    }
    const fs::path folder = fs::path(destination).parent_path();
    if (!folder.empty() && !fs::is_directory(folder, code))
        return {"", Fault(ErrorKind::kBadInput, destination + ": the folder " + folder.string() + " does not exist")};
    const std::string meshName = DeriveMeshName(fs::path(destination).filename().string());
    if (const std::string problem = ClassNameProblem(meshName); !problem.empty())
        return {"", Fault(ErrorKind::kBadInput, destination + ": " + problem + "; name the outputs, as in " +
                                                    (folder / (SuggestClassName(meshName) + ".3D")).string())};
    return {destination, {}};
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

// Loads the plug-in and runs it as the modelling host does: the save dialog
// answered with destination, the model released through onDestroy. The
// extension adds the host program's files to the plug-in's one commit and
// brings back its outcome.
ExportOutcome RunThroughPlugIn(PlugInBase* plugin, hm::ModelPtr owned, const std::string& destination,
                               hmExportExtension& extension) {
    platform::SetSaveDialogAnswer(destination);
    // The run's messages are reported here, once each, with the program's name.
    platform::SetMessagesPrinted(false);
    const size_t messagesBefore = platform::ShownMessages().size();
    int released = 0;
    hmModel* model = owned.release();
    model->onDestroy = [&released](const hmModel*) { ++released; };
    model->exportExtension = &extension;
    RunPlugIn(plugin, model);
    if (released == 0) {  // the run ended early and left the model to us
        model->onDestroy = nullptr;
        hmModel_Destroy(model);
        std::vector<platform::ShownMessage> messages = platform::ShownMessages();
        const std::string reason = messages.size() > messagesBefore ? messages.back().text
                                   : !platform::LastSaveDialogError().empty() ? platform::LastSaveDialogError()
                                                                              : "no file name was chosen";
        return {Fault(ErrorKind::kNothingExported, reason), {}, {}, {}, {}, {}};
    }
    return std::move(extension.outcome);
}

}  // namespace

int Main(int argc, char** argv) {
    CliOptions options;
    if (std::optional<int> status = ParseCommandLine(argc, argv, options)) return *status;
    const bool quiet = options.verbosity == Verbosity::Quiet;
    const bool verbose = options.verbosity == Verbosity::Verbose;

    std::string given = options.destination;
    if (options.ask) {
        if (!InputIsTerminal())
            return Fail(kBadInput, "--ask needs a terminal on standard input to ask for the name; give DEST instead");
        given = AskForDestination();
        if (given.empty()) return Report(Fault(ErrorKind::kNothingExported, "no file name was chosen"));
    }
    const Destination chosen = ChooseDestination(given, options.model);
    const std::string& destination = chosen.path;
    if (chosen.error && !options.modelOptions.list && !options.modelOptions.info && options.modelOptions.dump.empty())
        return Fail(ExitStatus(chosen.error.kind), chosen.error.message);
    // The log goes beside the outputs unless asked for elsewhere: one export's
    // log does not replace another's in whatever folder the command was typed.
    const std::string logPath = options.noLog             ? ""
                                : !options.logPath.empty() ? options.logPath
                                                           : (fs::path(destination).parent_path() / kLogFileName).string();
    const fs::path logFolder = fs::path(logPath).parent_path().empty() ? fs::path(".") : fs::path(logPath).parent_path();
    if (!options.logPath.empty() && !fs::is_directory(logFolder))
        return Fail(kBadInput, options.logPath + ": the folder for the log does not exist");

    LoadedModel loaded = LoadModel(options.model, options.modelOptions);
    if (!quiet)
        for (const hm::Warning& warning : loaded.warnings) std::cerr << "vantrel-export: warning: " << warning.text << "\n";
    if (!loaded.model) return Fail(ExitStatus(loaded.error.kind), loaded.error.message);
    if (loaded.done) return kExported;  // an informational option did all the work
    if (!quiet) std::cout << DescribeFit(loaded.fit);
    const Error sceneError = loaded.exact ? hm::imp::CheckExactScene(*loaded.exact) : Error();
    if (sceneError) return Fail(ExitStatus(sceneError.kind), options.model + ": " + sceneError.message);
    std::string problem = DestinationProblem(destination);
    if (problem.empty()) problem = RoomProblem(SizesOf(*loaded.model, destination), destination, logFolder.string());
    if (!problem.empty()) return Fail(kBadInput, problem);

    // The host bake loads the plug-in as the modelling host does. The exact
    // bake runs the export job here, its frames posed by the source's own
    // deformation, which the host's model cannot carry.
    std::unique_ptr<PlugInBase, void (*)(PlugInBase*)> plugin(nullptr, DeletePlugIn);
    if (loaded.exact) {
        if (verbose) std::cout << "Bake: exact (the source's own deformation)\n";
    } else {
        if (options.pluginPath.empty()) options.pluginPath = DefaultPluginPath();
        CreatePlugInFunction create = nullptr;
        if (const Error loadError = LoadPlugIn(options.pluginPath, create))
            return Fail(ExitStatus(loadError.kind), "cannot load the plug-in: " + loadError.message);
        plugin.reset(create());
        if (!plugin) return Fail(kBadInput, options.pluginPath + ": CreatePlugIn returned no object");
        if (PlugInKind(plugin.get()) != kExporterKind)
            return Fail(kBadInput, options.pluginPath + ": not an export plug-in");
        if (verbose) std::cout << "Plug-in: " << PlugInCaption(plugin.get()) << " (" << options.pluginPath << ")\n";
    }

    // Everything the export writes goes into its one commit: the clips'
    // sequence lines, the textures (an earlier export's script class says
    // which of those already there it wrote), the page.
    const std::string folder = fs::path(destination).parent_path().string();
    const std::string meshName = DeriveMeshName(fs::path(destination).filename().string());
    const OutputPaths paths = DeriveOutputPaths(destination);
    ExportAdditions additions;
    const std::vector<AnimationSequence> sequences = hm::ClipSequences(loaded.clips);
    if (!options.noSequences) additions.sequences = sequences;
    hm::TexturePlan textures = hm::PlanTextureFiles(loaded.textures, folder, ReadText(paths.script));
    if (textures.error) return Fail(ExitStatus(textures.error.kind), textures.error.message);
    additions.files = std::move(textures.files);
    additions.triangleTypes = loaded.triangleTypes;
    std::map<std::string, std::string> sources;
    for (const hm::TextureFile& texture : loaded.textures)
        if (!texture.sourcePath.empty()) sources[texture.fileName] = texture.sourcePath;
    if (options.preview)
        additions.preview = PagePreview(destination, fs::path(options.model).parent_path().string(), sources);

    const ModelSize size = MeasureModel(*loaded.model);
    ExportOutcome outcome;
    if (plugin) {
        hmExportExtension extension;
        extension.additions = std::move(additions);
        extension.logPath = logPath;
        extension.logRequired = !options.logPath.empty();
        extension.threads = options.threads;
        outcome = RunThroughPlugIn(plugin.get(), std::move(loaded.model), destination, extension);
    } else {
        hm::imp::ExactPose poses(*loaded.exact);
        ExportRequest request;
        request.model = loaded.model.get();
        request.poses = &poses;
        request.destination = destination;
        request.logPath = logPath;
        request.logRequired = !options.logPath.empty();
        request.additions = std::move(additions);
        request.threads = options.threads;
        outcome = RunExportJob(request);
    }
    if (!quiet)
        for (const std::string& warning : outcome.warnings) std::cerr << "vantrel-export: " << warning << "\n";
    if (outcome.error) return Report(outcome.error);
    if (!quiet) {
        for (const std::string& kept : textures.kept)
            std::cerr << "vantrel-export: warning: " << kept
                      << " is not from an earlier export of this class, or is the model's own image, and differs from "
                         "the converted texture; kept it "
                         "(move it away and export again to get the model's)\n";
        for (const std::string& finding : outcome.previewFindings)
            std::cerr << "vantrel-export: preview: " << finding << "\n";
    }
    if (quiet) return kExported;

    ExportSummary summary;
    summary.meshName = meshName;
    summary.dataPath = paths.data;
    summary.animPath = paths.anim;
    summary.scriptPath = paths.script;
    for (const hm::TextureFile& texture : loaded.textures)
        summary.texturePaths.push_back((fs::path(folder) / texture.fileName).string());
    summary.logPath = outcome.logPath;
    summary.size = size;
    summary.imported = !loaded.hostModelFile;
    summary.scale = options.modelOptions.import.scale;
    summary.unitCentimetres = loaded.unitCentimetres;
    for (const AnimationSequence& sequence : sequences) summary.sequences += SequenceLine(meshName, sequence);
    summary.sequencesWritten = !options.noSequences;
    std::cout << DescribeExport(summary);
#if defined(_WIN32)
    constexpr bool kWindowsPath = true;
#else
    constexpr bool kWindowsPath = false;
#endif
    if (!outcome.pagePath.empty())
        std::cout << "Preview: " << FileUrl(fs::absolute(outcome.pagePath).lexically_normal().string(), kWindowsPath)
                  << "\n";
    return kExported;
}

int main(int argc, char** argv) {
#if defined(_WIN32)
    if (argc == 2 && std::string(argv[1]) == hm::kReaderChildFlag) return hm::ServeContainedImport();
#endif
    PrepareProgram();
    try {
        return Main(argc, argv);
    } catch (const std::bad_alloc&) {
        return Fail(ExitStatus(ErrorKind::kOutOfMemory), "out of memory: the model is too large for this machine");
    }
}
