#include "export/export_run.h"

#include "export/export_log.h"
#include "platform/platform_ui.h"

#include <cstring>

namespace {

size_t FileNameStart(const std::string& path) {
    size_t separator = path.find_last_of("/\\");
    return separator == std::string::npos ? 0 : separator + 1;
}

std::string ReplaceExtension(const std::string& path, const char* suffix) {
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || dot < FileNameStart(path)) return path + suffix;
    return path.substr(0, dot) + suffix;
}

void ShowProblem(const std::string& text) {
    MessageBoxA(nullptr, text.c_str(), kMessageCaption, MB_OK | MB_ICONEXCLAMATION);
}

// The dialog's filter: pairs of zero-terminated strings, closed by an empty one.
constexpr char kFilter[] = ".3D Files (*.3D)\0*.3D\0All Files (*.*)\0*.*\0";

}  // namespace

OutputPaths DeriveOutputPaths(const std::string& filePath) {
    return {ReplaceExtension(filePath, "_d.3d"), ReplaceExtension(filePath, "_a.3d"),
            ReplaceExtension(filePath, ".uc")};
}

std::string DeriveMeshName(const std::string& fileTitle) {
    size_t dot = fileTitle.find_last_of('.');
    return dot == std::string::npos ? fileTitle : fileTitle.substr(0, dot);
}

int32_t Run(hmModel* model) {
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

    const OutputPaths paths = DeriveOutputPaths(filePath);

    ExportLog log;
    if (!log.Open(kLogFileName))
        ShowProblem("Could not create the log " + log.Error() +
                    ". The export goes on without it.");
    log.Print(paths.data, paths.anim);

    log.Close();
    hmModel_Destroy(model);
    return 0;
}
