// vantrel-export: a host program that loads a model, loads the export plug-in
// the way the modelling host does, and runs the export with a chosen name.
#include "cli/model_loading.h"
#include "export/output_file.h"
#include "export/output_names.h"
#include "export/script_class_file.h"
#include "platform/platform_ui.h"
#include "plugin/plugin.h"
#include "view/preview_page.h"

#include <CLI/CLI.hpp>
#include <dlfcn.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr int kExported = 0;
constexpr int kNothingExported = 1;
constexpr int kBadInput = 2;
constexpr int kWriteFailed = 3;

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

// MODEL's file name without its model extension, plus ".3D".
std::string DefaultDestination(const std::string& modelPath) {
    std::string name = fs::path(modelPath).filename().string();
    const std::string json = ".hm.json";
    if (name.size() > json.size() && name.compare(name.size() - json.size(), json.size(), json) == 0)
        name.resize(name.size() - json.size());
    else
        name = fs::path(name).stem().string();
    return name + ".3D";
}

bool IsScriptIdentifier(const std::string& name) {
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) return false;
    for (unsigned char c : name)
        if (!std::isalnum(c) && c != '_') return false;
    return true;
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

void ReportWritten(const std::string& path) {
    std::error_code code;
    auto size = fs::file_size(path, code);
    if (code)
        std::cout << "  " << path << " (missing)\n";
    else
        std::cout << "  " << path << " (" << size << " bytes)\n";
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Exports a skinned, keyframe-animated model to the Vantrel vertex-animated mesh format.\n\n"
        "Writes, beside DEST: NAME_d.3d (triangles with vertex indices and texture coordinates),\n"
        "NAME_a.3d (every frame's quantised vertex positions) and NAME.uc (a script class that\n"
        "imports both, with the mesh scale and one texture per material), where NAME is DEST's\n"
        "file name without its extension. The diagnostic log VantrelExport.log, which traces\n"
        "every value written, goes to the current directory. DEST itself is never written.\n\n"
        "Exit status: 0 exported; 1 nothing exported (empty model, cancelled); 2 bad arguments\n"
        "or bad input (nothing written); 3 an output could not be written.",
        "vantrel-export"};
    std::string modelPath;
    std::string destination;
    std::string pluginPath;
    bool ask = false;
    bool preview = false;
    bool noSequences = false;
    app.add_option("MODEL", modelPath, ModelArgumentHelp())->required();
    app.add_option("DEST", destination,
                   "The name chosen in the save dialog (default: MODEL's name with the extension .3D, "
                   "in the current directory)");
    app.add_option("--plugin", pluginPath,
                   "The plug-in to load (default: hmVantrelExport.so beside this program, or where it is installed)");
    app.add_flag("--ask", ask, "Without DEST, ask for the name on the terminal as the save dialog would");
    app.add_flag("--no-sequences", noSequences,
                 "Leave the script class as the plug-in wrote it: print a model's sequence lines (one per clip) "
                 "instead of writing them into it");
    app.add_flag("--preview", preview, "Also write NAME.html, a page that shows the export as the engine will");
    ModelOptions modelOptions;
    AddModelOptions(app, modelOptions);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? kExported : kBadInput;  // --help answers 0
    }

    LoadedModel loaded = LoadModel(modelPath, modelOptions);
    for (const hm::Warning& warning : loaded.warnings) std::cerr << "vantrel-export: warning: " << warning.text << "\n";
    if (!loaded.model) return Fail(loaded.writeFailed ? kWriteFailed : kBadInput, loaded.error);
    if (loaded.done) return kExported;  // an informational option did all the work

    if (destination.empty() && !ask) destination = DefaultDestination(modelPath);
    if (!destination.empty()) {
        fs::path folder = fs::path(destination).parent_path();
        if (!folder.empty() && !fs::is_directory(folder))
            return Fail(kBadInput, destination + ": the folder " + folder.string() + " does not exist");
        std::string meshName = DeriveMeshName(fs::path(destination).filename().string());
        if (!IsScriptIdentifier(meshName))
            std::cerr << "vantrel-export: warning: the mesh name \"" << meshName
                      << "\" is not a valid script identifier (letters, digits and '_', not starting "
                         "with a digit); the engine will not compile the class\n";
        platform::SetSaveDialogAnswer(destination);
    } else {
        platform::SetSaveDialogAnswer(std::nullopt);
        platform::SetSaveDialogPrompt(true);
    }

    if (pluginPath.empty()) pluginPath = DefaultPluginPath();
    void* library = dlopen(pluginPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) return Fail(kBadInput, std::string("cannot load the plug-in: ") + dlerror());
    auto create = reinterpret_cast<CreatePlugInFunction>(dlsym(library, "CreatePlugIn"));
    if (!create) return Fail(kBadInput, pluginPath + ": no CreatePlugIn");
    PlugInBase* plugin = create();
    if (!plugin) return Fail(kBadInput, pluginPath + ": CreatePlugIn returned no object");
    if (plugin->GetKind() != kExporterKind) {
        delete plugin;
        return Fail(kBadInput, pluginPath + ": not an export plug-in");
    }
    std::cout << "Plug-in: " << plugin->GetCaption() << "\n";

    int released = 0;
    hmModel* model = loaded.model.release();
    model->onDestroy = [&released](const hmModel*) { ++released; };
    size_t messagesBefore = platform::ShownMessages().size();
    int32_t result = plugin->Run(model);
    delete plugin;
    const bool exported = released > 0;
    if (!exported) {  // the run ended early and left the model to us
        model->onDestroy = nullptr;
        hmModel_Destroy(model);
    }

    std::vector<platform::ShownMessage> messages = platform::ShownMessages();
    std::string lastMessage = messages.size() > messagesBefore ? messages.back().text : std::string();
    if (result == -1) return Fail(kWriteFailed, lastMessage.empty() ? "the export failed" : lastMessage);
    if (!exported) {
        if (!lastMessage.empty()) return Fail(kNothingExported, "nothing exported: " + lastMessage);
        std::string reason = platform::LastSaveDialogError();
        return Fail(kNothingExported, "nothing exported: " + (reason.empty() ? "no file name was chosen" : reason));
    }

    // The name the dialog answered: DEST, or what was typed at the prompt.
    const std::string chosen = platform::LastChosenPath();
    OutputPaths paths = DeriveOutputPaths(chosen);
    std::string textureError;
    const std::string folder = fs::path(chosen).parent_path().string();
    if (!hm::WriteEmbeddedTextures(loaded.textures, folder, textureError)) return Fail(kWriteFailed, textureError);
    std::string sequences;
    for (const AnimationSequence& sequence : hm::ClipSequences(loaded.clips))
        sequences += SequenceLine(DeriveMeshName(fs::path(chosen).filename().string()), sequence);
    std::string sequenceError;
    if (!sequences.empty() && !noSequences && !WriteSequencesIntoScript(paths.script, sequences, sequenceError))
        return Fail(kWriteFailed, sequenceError);
    std::cout << "Wrote:\n";
    ReportWritten(paths.data);
    ReportWritten(paths.anim);
    ReportWritten(paths.script);
    ReportWritten("VantrelExport.log");
    for (const hm::EmbeddedTexture& texture : loaded.textures)
        ReportWritten((fs::path(folder) / texture.fileName).string());
    if (!sequences.empty())
        std::cout << (noSequences ? "Clips, to paste into the script class:\n"
                                  : "Clips, written into the script class as sequences:\n")
                  << sequences;
    if (preview) {
        std::string page, error;
        std::vector<std::string> warnings;
        const bool written = view::WriteExportPreview(chosen, fs::path(modelPath).parent_path().string(), page,
                                                      warnings, error);
        for (const std::string& warning : warnings) std::cerr << "vantrel-export: preview: " << warning << "\n";
        if (!written) return Fail(kWriteFailed, error);
        std::cout << "Preview: file://" << fs::absolute(page).lexically_normal().string() << "\n";
    }
    return kExported;
}
