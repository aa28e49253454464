#include "export/export_run.h"

#include "export/export_log.h"
#include "export/animation_file.h"
#include "export/mesh_data_file.h"
#include "export/script_class_file.h"
#include "export/pose_source.h"
#include "platform/platform_ui.h"
#include "skeleton/bone_table.h"

#include <cstring>
#include <exception>
#include <new>
#include <optional>

namespace {

// The one table the plug-in keeps for the process: later runs reuse its
// storage, and a model with more bones than any before enlarges it.
BoneTable& ProcessBoneTable() {
    static BoneTable table;
    return table;
}

void ShowProblem(const std::string& text) {
    MessageBoxA(nullptr, text.c_str(), kMessageCaption, MB_OK | MB_ICONEXCLAMATION);
}

// The dialog's filter: pairs of zero-terminated strings, closed by an empty one.
constexpr char kFilter[] = ".3D Files (*.3D)\0*.3D\0All Files (*.*)\0*.*\0";

// Every output of the run into the files named after filePath; false with
// error set when they could not be written.
bool ExportTo(hmModel* model, PoseSource* poses, const char* filePath, const std::string& meshName,
              std::string& error) {
    const OutputPaths paths = DeriveOutputPaths(filePath);

    ExportLog log;
    const bool logOpened = log.Open(kLogFileName);
    if (!logOpened)
        ShowProblem("Could not create the log " + log.Error() +
                    ". The export goes on without it.");
    log.Print(paths.data, paths.anim);

    std::optional<SkeletonSource> skeleton;
    if (!poses) {
        BoneTable& table = ProcessBoneTable();
        table.SetupBindPose(model);
        poses = &skeleton.emplace(table, model);
    }
    return WriteExportFiles(model, *poses, paths, meshName, log, error);
}

// poses null: the host's skeleton poses the model.
int32_t RunWith(hmModel* model, PoseSource* poses) {
    if (!model) return -1;
    if (hmModel_GetMeshCount(model) == 0) {
        MessageBoxA(nullptr, kEmptyModelText, kMessageCaption, MB_OK | MB_ICONEXCLAMATION);
        return 0;
    }

    char filePath[256] = {};
    char fileTitle[256] = {};
    char filter[128] = {};
    char defaultExtension[32] = {};
    static_assert(sizeof kFilter <= sizeof filter);
    std::memcpy(filter, kFilter, sizeof kFilter);

    OPENFILENAMEA request;
    std::memset(&request, 0, sizeof request);
    request.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    request.hwndOwner = nullptr;
    request.hInstance = nullptr;
    request.lpstrFilter = filter;
    request.lpstrCustomFilter = nullptr;
    request.nFilterIndex = 0;
    request.lpstrFile = filePath;
    request.nMaxFile = sizeof filePath;
    request.lpstrFileTitle = fileTitle;
    request.nMaxFileTitle = sizeof fileTitle;
    request.lpstrInitialDir = nullptr;
    request.lpstrTitle = "Export Vantrel 3D";
    request.Flags = OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST;
    request.lpstrDefExt = defaultExtension;
    if (!GetSaveFileNameA(&request)) return 0;

    std::string error;
    bool written = false;
    // Nothing may leave Run into the host: a failure of the machine (memory,
    // threads) fails this export like an output that cannot be written, and
    // the outputs' temporaries go with the unwinding.
    try {
        written = ExportTo(model, poses, filePath, DeriveMeshName(fileTitle), error);
    } catch (const std::bad_alloc&) {
        error = "the files: there is not enough memory for this model";
    } catch (const std::exception& thrown) {
        error = std::string("the files: ") + thrown.what();
    }

    hmModel_Destroy(model);
    if (!written) {
        ShowProblem("Could not write " + error + ". Nothing was exported; the earlier files were left as they were.");
        return -1;
    }
    return 0;
}

}  // namespace

int32_t Run(hmModel* model) { return RunWith(model, nullptr); }

int32_t Run(hmModel* model, PoseSource& poses) { return RunWith(model, &poses); }

AnimationResult WriteExport(hmModel* model, PoseSource& poses, const std::string& meshName, ExportLog& log,
                            OutputFile& dataFile, OutputFile& animFile, OutputFile& scriptFile) {
    const uint16_t vertexTotal = WriteMeshDataFile(model, dataFile, log);
    const AnimationResult animation = WriteAnimationFile(model, poses, animFile, log, vertexTotal);
    WriteScriptClassFile(model, scriptFile, meshName, animation.frameCount, animation.scale, log);
    return animation;
}

bool WriteExportFiles(hmModel* model, PoseSource& poses, const OutputPaths& paths, const std::string& meshName,
                      ExportLog& log, std::string& error) {
    // Every output goes to a temporary and replaces the earlier file only
    // when all are complete, so a failed run leaves the earlier set whole. The
    // log traces the set and goes with it.
    OutputSet outputs;
    OutputFile* dataFile = outputs.Add(paths.data);
    OutputFile* animFile = dataFile ? outputs.Add(paths.anim) : nullptr;
    OutputFile* scriptFile = animFile ? outputs.Add(paths.script) : nullptr;
    if (log.IsOpen()) outputs.Include(log.File());
    if (scriptFile) {
        WriteExport(model, poses, meshName, log, *dataFile, *animFile, *scriptFile);
        if (outputs.Commit()) return true;
    }
    outputs.Discard();
    error = outputs.Error();
    return false;
}
