#include "export/export_run.h"

#include "export/frame_pipeline.h"
#include "host/host_extension.h"
#include "platform/platform_ui.h"
#include "skeleton/bone_table.h"

#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

void ShowProblem(const std::string& text) {
    MessageBoxA(nullptr, text.c_str(), kMessageCaption, MB_OK | MB_ICONEXCLAMATION);
}

// The dialog's filter: pairs of zero-terminated strings, closed by an empty one.
constexpr char kFilter[] = ".3D Files (*.3D)\0*.3D\0All Files (*.*)\0*.*\0";

// What this project's host program hands over with the model; null in the
// modelling host, whose library has no such entry (looked up by name so that
// the plug-in loads there all the same).
hmExportExtension* ExtensionOf(const hmModel* model) {
#if defined(_WIN32)
    HMODULE library = GetModuleHandleA("hmModelLib.dll");
    void* entry = library ? reinterpret_cast<void*>(GetProcAddress(library, kHostExtensionEntry)) : nullptr;
#else
    void* entry = dlsym(RTLD_DEFAULT, kHostExtensionEntry);
#endif
    if (!entry) return nullptr;
    hmExportExtension* extension = reinterpret_cast<HostExtensionEntry>(entry)(model);
    return extension && extension->version == kExportExtensionVersion && extension->request && extension->outcome
               ? extension
               : nullptr;
}

// The one table the plug-in keeps for the process: later runs reuse its
// storage, and a model with more bones than any before enlarges it.
BoneTable& ProcessBoneTable() {
    static BoneTable table;
    return table;
}

// In the modelling host, where nothing else can say how many threads to use:
// VANTREL_THREADS when it holds a whole number from 1 to kMaxBakeThreads,
// otherwise the machine's cores.
int HostThreads() {
    if (const char* text = std::getenv("VANTREL_THREADS")) {
        char* end = nullptr;
        const long value = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && value >= 1 && value <= kMaxBakeThreads) return static_cast<int>(value);
    }
    return MachineThreads();
}

// The host program's run: its planned request, with its destination in place
// of the dialog's answer; every end, an early one too, recorded in its outcome
// for the program to report.
int32_t RunPlanned(hmModel* model, PoseSource* poses, hmExportExtension& extension) {
    ExportOutcome& outcome = *extension.outcome;
    if (hmModel_GetMeshCount(model) == 0) {
        outcome = {};
        outcome.error = Fault(ErrorKind::kNothingExported, kEmptyModelText);
        return 0;
    }
    ExportRequest& job = *extension.request;
    job.model = model;
    job.poses = poses;
    job.bones = &ProcessBoneTable();
    outcome = RunExportJob(job);
    hmModel_Destroy(model);
    return outcome.error ? -1 : 0;
}

// poses null: the host's skeleton poses the model.
int32_t RunWith(hmModel* model, PoseSource* poses) {
    if (!model) return -1;
    if (hmExportExtension* extension = ExtensionOf(model)) return RunPlanned(model, poses, *extension);
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

    ExportRequest job;
    job.model = model;
    job.poses = poses;
    job.bones = &ProcessBoneTable();
    job.destination = filePath;
    job.logPath = kLogFileName;
    job.threads = HostThreads();
    const ExportOutcome outcome = RunExportJob(job);

    hmModel_Destroy(model);
    for (const hm::Warning& warning : outcome.warnings) ShowProblem(warning.text);
    if (outcome.error) ShowProblem(DescribeFailure(outcome.error));
    return outcome.error ? -1 : 0;
}

}  // namespace

int32_t Run(hmModel* model) { return RunWith(model, nullptr); }

int32_t Run(hmModel* model, PoseSource& poses) { return RunWith(model, &poses); }
