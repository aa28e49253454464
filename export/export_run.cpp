#include "export/export_run.h"

#include "export/frame_pipeline.h"
#include "host/host_extension.h"
#include "platform/platform_ui.h"

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
    return extension && extension->version == kExportExtensionVersion ? extension : nullptr;
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

    hmExportExtension* extension = ExtensionOf(model);
    ExportRequest job;
    job.model = model;
    job.poses = poses;
    job.destination = filePath;
    job.logPath = kLogFileName;
    if (extension) {
        if (extension->logPath) job.logPath = *extension->logPath;
        job.logRequired = extension->logRequired;
        job.additions = extension->additions;
        job.threads = extension->threads;
    }
    if (job.threads <= 0) job.threads = BakeThreads();
    ExportOutcome outcome = RunExportJob(job);

    hmModel_Destroy(model);
    for (const std::string& warning : outcome.warnings) ShowProblem(warning);
    if (outcome.error) ShowProblem(DescribeFailure(outcome.error));
    const bool failed = static_cast<bool>(outcome.error);
    if (extension) extension->outcome = std::move(outcome);
    return failed ? -1 : 0;
}

}  // namespace

int32_t Run(hmModel* model) { return RunWith(model, nullptr); }

int32_t Run(hmModel* model, PoseSource& poses) { return RunWith(model, &poses); }
