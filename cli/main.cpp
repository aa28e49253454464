// vantrel-export: a host program that loads a model, loads the export plug-in
// the way the modelling host does, and runs the export with a chosen name.
#include "cli/model_loading.h"
#include "cli/options.h"
#include "cli/summary.h"
#include "export/export_run.h"
#include "export/output_file.h"
#include "export/output_names.h"
#include "export/script_class_file.h"
#include "import/exact_pose.h"
#include "platform/platform_ui.h"
#include "plugin/plugin.h"
#include "view/preview_page.h"

#include <dlfcn.h>
#include <new>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <map>
#include <fstream>
#include <sstream>
#include <iostream>
#include <string>

namespace fs = std::filesystem;

namespace {

int Fail(int status, const std::string& message) {
    std::cerr << "vantrel-export: " << message << "\n";
    return status;
}

std::string ProgramDirectory() {
    std::error_code code;
    fs::path self = fs::read_symlink("/proc/self/exe", code);
    return code ? std::string(".") : self.parent_path().string();
}

// Beside the program in the build tree; in an installed tree, in the plug-in
// folder that the build placed relative to the program's.
std::string DefaultPluginPath() {
    const fs::path directory = ProgramDirectory();
    const fs::path beside = directory / "hmVantrelExport.so";
    const fs::path installed = (directory / VANTREL_PLUGINDIR_FROM_BINDIR / "hmVantrelExport.so").lexically_normal();
    std::error_code code;
    return !fs::exists(beside, code) && fs::exists(installed, code) ? installed.string() : beside.string();
}

// The plug-in's script class invites sequence lines below one comment; the
// clips' lines go there, with the file's CR LF line ends. The file is replaced
// whole through a temporary, so a failure leaves the plug-in's file as it was.
bool WriteSequencesIntoScript(const std::string& scriptPath, const std::string& lines, std::string& error) {
    std::ifstream in(scriptPath, std::ios::binary);
    std::stringstream read;
    read << in.rdbuf();
    std::string script = read.str();
    const size_t comment = script.find("// add further '#exec MESH SEQUENCE' lines here");
    const size_t lineEnd = comment == std::string::npos ? comment : script.find('\n', comment);
    if (!in || lineEnd == std::string::npos) {
        error = scriptPath + ": no place for the sequence lines (the comment that invites them is missing)";
        return false;
    }
    std::string crlf;
    for (char c : lines) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    script.insert(lineEnd + 1, crlf);

    OutputFile out;
    if (out.Open(scriptPath)) out.Write(script);
    if (!out.IsOpen() || !out.Commit()) {
        error = out.Error().empty() ? scriptPath + ": cannot be written" : out.Error();
        error += " (the sequence lines were not written)";
        return false;
    }
    return true;
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

bool IsScriptIdentifier(const std::string& name) {
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) return false;
    for (unsigned char c : name)
        if (!std::isalnum(c) && c != '_') return false;
    return true;
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
    const long most = pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
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
    sizes.data = 48 + 16 * triangles;
    sizes.anim = 4 + 8 * vertices * frames;
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
// folder, the log in the current directory, together when both are on one
// file system. Empty when they fit.
std::string RoomProblem(const ExportSizes& sizes, const std::string& destination) {
    std::string folder = fs::path(destination).parent_path().string();
    if (folder.empty()) folder = ".";
    struct statvfs outputsFs, logFs;
    struct stat outputsDev, logDev;
    if (statvfs(folder.c_str(), &outputsFs) != 0 || statvfs(".", &logFs) != 0 || stat(folder.c_str(), &outputsDev) != 0 ||
        stat(".", &logDev) != 0)
        return {};  // cannot tell: the writes will say
    const uint64_t outputs = sizes.data + sizes.anim + sizes.script;
    const uint64_t outputsFree = static_cast<uint64_t>(outputsFs.f_bavail) * outputsFs.f_frsize;
    const uint64_t logFree = static_cast<uint64_t>(logFs.f_bavail) * logFs.f_frsize;
    const bool together = outputsDev.st_dev == logDev.st_dev;
    const std::string need = "_d.3d " + std::to_string(sizes.data) + " bytes, _a.3d " + std::to_string(sizes.anim) +
                             " bytes, the script class and the log at most " + std::to_string(sizes.script) + " and " +
                             std::to_string(sizes.log) + " bytes";
    if (together ? outputs + sizes.log > outputsFree : outputs > outputsFree)
        return "not enough room in " + folder + " (" + std::to_string(outputsFree) + " bytes free) for the export: " + need;
    if (!together && sizes.log > logFree)
        return "not enough room in the current directory (" + std::to_string(logFree) + " bytes free) for the log: " + need;
    return {};
}

// The name the save dialog is given: DEST as a file name, or inside DEST when
// it is a folder. Empty, with the reason in error, when it cannot be used.
std::string ChooseDestination(const std::string& given, const std::string& modelPath, std::string& error) {
    std::string destination = given.empty() ? ModelName(modelPath) + ".3D" : given;
    std::error_code code;
    const bool folderMeant = destination.back() == '/' || fs::is_directory(destination, code);
    if (folderMeant) {
        if (!fs::is_directory(destination, code)) {
            error = destination + ": no such folder";
            return "";
        }
        destination = (fs::path(destination) / (ModelName(modelPath) + ".3D")).string();
    }
    const fs::path folder = fs::path(destination).parent_path();
    if (!folder.empty() && !fs::is_directory(folder, code)) {
        error = destination + ": the folder " + folder.string() + " does not exist";
        return "";
    }
    const std::string meshName = DeriveMeshName(fs::path(destination).filename().string());
    if (!IsScriptIdentifier(meshName)) {
        error = destination + ": the class would be named \"" + meshName +
                "\", which the engine cannot compile (letters, digits and '_', not starting with a digit); " +
                (folderMeant || given.empty() ? "name the outputs, e.g. " + (folder / "Model.3D").string()
                                              : std::string("choose another name"));
        return "";
    }
    return destination;
}

// The plug-in writes its log into the current folder, as in the modelling
// host. Asked for elsewhere or not at all, the log is moved or removed after
// the run, and a log already in the current folder is set aside meanwhile.
class LogPlacement {
public:
    LogPlacement(const CliOptions& options) : target_(options.logPath), none_(options.noLog) {
        std::error_code code;
        if (Moves() && fs::exists(kLogFileName, code)) {
            fs::rename(kLogFileName, kAside, code);
            setAside_ = !code;
        }
    }
    ~LogPlacement() {
        std::error_code code;
        if (setAside_) fs::rename(kAside, kLogFileName, code);
    }
    // Where the log now is ("" for nowhere); error says why a move failed.
    std::string Place(std::string& error) {
        std::error_code code;
        if (!Moves()) return kLogFileName;
        if (!fs::exists(kLogFileName, code)) return "";
        if (none_) {
            fs::remove(kLogFileName, code);
            return "";
        }
        // A device or a pipe (--log /dev/null) gets the log's bytes; a rename
        // would put the file in its place.
        const fs::file_status status = fs::status(target_, code);
        if (fs::exists(status) && !fs::is_regular_file(status) && !fs::is_directory(status)) {
            std::ofstream(target_, std::ios::binary) << std::ifstream(kLogFileName, std::ios::binary).rdbuf();
            fs::remove(kLogFileName, code);
            return target_;
        }
        fs::rename(kLogFileName, target_, code);
        if (code) {  // another file system: copy, then remove
            code.clear();
            fs::copy_file(kLogFileName, target_, fs::copy_options::overwrite_existing, code);
            if (code) error = target_ + ": " + code.message();
            fs::remove(kLogFileName, code);
        }
        return error.empty() ? target_ : "";
    }

private:
    bool Moves() const { return none_ || !target_.empty(); }
    static constexpr const char* kAside = "VantrelExport.log.vantrel-aside";
    std::string target_;
    bool none_;
    bool setAside_ = false;
};

}  // namespace

int Main(int argc, char** argv) {
    CliOptions options;
    if (std::optional<int> status = ParseCommandLine(argc, argv, options)) return *status;
    const bool quiet = options.verbosity == Verbosity::Quiet;
    const bool verbose = options.verbosity == Verbosity::Verbose;

    std::string destination;
    if (!options.ask) {
        std::string error;
        destination = ChooseDestination(options.destination, options.model, error);
        if (destination.empty() && !options.modelOptions.list && !options.modelOptions.info &&
            options.modelOptions.dump.empty())
            return Fail(kBadInput, error);
    } else if (!::isatty(STDIN_FILENO)) {
        return Fail(kBadInput, "--ask needs a terminal on standard input to ask for the name; give DEST instead");
    }
    if (!options.logPath.empty() && !fs::is_directory(fs::path(options.logPath).parent_path().empty()
                                                          ? fs::path(".")
                                                          : fs::path(options.logPath).parent_path()))
        return Fail(kBadInput, options.logPath + ": the folder for the log does not exist");

    LoadedModel loaded = LoadModel(options.model, options.modelOptions);
    if (!quiet)
        for (const hm::Warning& warning : loaded.warnings) std::cerr << "vantrel-export: warning: " << warning.text << "\n";
    if (!loaded.model) return Fail(loaded.writeFailed ? kWriteFailed : kBadInput, loaded.error);
    if (loaded.done) return kExported;  // an informational option did all the work
    std::cout << DescribeFit(loaded.fit);
    std::string sceneProblem;
    if (loaded.exact && !hm::imp::CheckExactScene(*loaded.exact, sceneProblem))
        return Fail(kBadInput, options.model + ": " + sceneProblem);
    if (!destination.empty()) {
        std::string problem = DestinationProblem(destination);
        if (problem.empty()) problem = RoomProblem(SizesOf(*loaded.model, destination), destination);
        if (!problem.empty()) return Fail(kBadInput, problem);
    }

    if (!destination.empty()) {
        platform::SetSaveDialogAnswer(destination);
    } else {
        platform::SetSaveDialogAnswer(std::nullopt);
        platform::SetSaveDialogPrompt(true);
    }
    // The run's messages are reported here, once each, with the program's name.
    platform::SetMessagesPrinted(false);

    // The plug-in takes its thread count from the environment, as a host's
    // user would set it.
    if (options.threads > 0) setenv("VANTREL_THREADS", std::to_string(options.threads).c_str(), 1);

    // The host bake loads the plug-in as the modelling host does. The exact
    // bake runs the same export here, its frames posed by the source's own
    // deformation, which the host's model cannot carry.
    PlugInBase* plugin = nullptr;
    if (loaded.exact) {
        if (verbose) std::cout << "Bake: exact (the source's own deformation)\n";
    } else {
        if (options.pluginPath.empty()) options.pluginPath = DefaultPluginPath();
        void* library = dlopen(options.pluginPath.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library) return Fail(kBadInput, std::string("cannot load the plug-in: ") + dlerror());
        auto create = reinterpret_cast<CreatePlugInFunction>(dlsym(library, "CreatePlugIn"));
        if (!create) return Fail(kBadInput, options.pluginPath + ": no CreatePlugIn");
        plugin = create();
        if (!plugin) return Fail(kBadInput, options.pluginPath + ": CreatePlugIn returned no object");
        if (plugin->GetKind() != kExporterKind) {
            delete plugin;
            return Fail(kBadInput, options.pluginPath + ": not an export plug-in");
        }
        if (verbose) std::cout << "Plug-in: " << plugin->GetCaption() << " (" << options.pluginPath << ")\n";
    }

    // An earlier export's script class says which textures that export wrote.
    const std::string previousScript = destination.empty() ? "" : ReadText(DeriveOutputPaths(destination).script);
    const ModelSize size = MeasureModel(*loaded.model);
    LogPlacement log(options);
    int released = 0;
    hmModel* model = loaded.model.release();
    model->onDestroy = [&released](const hmModel*) { ++released; };
    size_t messagesBefore = platform::ShownMessages().size();
    int32_t result = 0;
    if (plugin) {
        result = plugin->Run(model);
        delete plugin;
    } else {
        hm::imp::ExactPose poses(*loaded.exact);
        result = Run(model, poses);
    }
    const bool exported = released > 0;
    if (!exported) {  // the run ended early and left the model to us
        model->onDestroy = nullptr;
        hmModel_Destroy(model);
    }
    std::string logError;
    const std::string logPath = log.Place(logError);

    std::vector<platform::ShownMessage> messages = platform::ShownMessages();
    messages.erase(messages.begin(), messages.begin() + static_cast<std::ptrdiff_t>(messagesBefore));
    std::string lastMessage = messages.empty() ? std::string() : messages.back().text;
    if (result == -1) return Fail(kWriteFailed, lastMessage.empty() ? "the export failed" : lastMessage);
    if (!exported) {
        if (!lastMessage.empty()) return Fail(kNothingExported, "nothing exported: " + lastMessage);
        std::string reason = platform::LastSaveDialogError();
        return Fail(kNothingExported, "nothing exported: " + (reason.empty() ? "no file name was chosen" : reason));
    }
    if (!quiet)
        for (const platform::ShownMessage& message : messages) std::cerr << "vantrel-export: " << message.text << "\n";
    if (!logError.empty()) return Fail(kWriteFailed, logError);

    // The name the dialog answered: DEST, or what was typed at the prompt.
    const std::string chosen = platform::LastChosenPath();
    const std::string folder = fs::path(chosen).parent_path().string();
    const std::string meshName = DeriveMeshName(fs::path(chosen).filename().string());
    const OutputPaths paths = DeriveOutputPaths(chosen);
    std::string sequences;
    for (const AnimationSequence& sequence : hm::ClipSequences(loaded.clips)) sequences += SequenceLine(meshName, sequence);
    std::string sequenceError;
    if (!sequences.empty() && !options.noSequences && !WriteSequencesIntoScript(paths.script, sequences, sequenceError))
        return Fail(kWriteFailed, sequenceError);
    hm::TextureWriteResult textures = hm::WriteTextureFiles(loaded.textures, folder, previousScript);
    if (!textures.ok) return Fail(kWriteFailed, textures.error);
    for (const std::string& kept : quiet ? std::vector<std::string>() : textures.kept)
        std::cerr << "vantrel-export: warning: " << kept
                  << " is not from an earlier export of this class and differs from the model's texture; kept it "
                     "(move it away and export again to get the model's)\n";
    std::string page;
    if (options.preview) {
        std::string error;
        std::vector<std::string> warnings;
        std::map<std::string, std::string> sources;
        for (const hm::TextureFile& texture : loaded.textures)
            if (!texture.sourcePath.empty()) sources[texture.fileName] = texture.sourcePath;
        const bool written = view::WriteExportPreview(chosen, fs::path(options.model).parent_path().string(), page,
                                                      warnings, error, sources);
        if (!quiet)
            for (const std::string& warning : warnings) std::cerr << "vantrel-export: preview: " << warning << "\n";
        if (!written) return Fail(kWriteFailed, error);
    }
    if (quiet) return kExported;

    ExportSummary summary;
    summary.meshName = meshName;
    summary.dataPath = paths.data;
    summary.animPath = paths.anim;
    summary.scriptPath = paths.script;
    for (const hm::TextureFile& texture : loaded.textures)
        summary.texturePaths.push_back((fs::path(folder) / texture.fileName).string());
    summary.logPath = logPath;
    summary.size = size;
    summary.imported = !loaded.hostModelFile;
    summary.scale = options.modelOptions.import.scale;
    summary.unitCentimetres = loaded.unitCentimetres;
    summary.sequences = sequences;
    summary.sequencesWritten = !options.noSequences;
    std::cout << DescribeExport(summary);
    if (!page.empty()) std::cout << "Preview: file://" << fs::absolute(page).lexically_normal().string() << "\n";
    return kExported;
}

int main(int argc, char** argv) {
    try {
        return Main(argc, argv);
    } catch (const std::bad_alloc&) {
        return Fail(kBadInput, "out of memory: the model is too large for this machine");
    }
}
