// Stand-ins for the Windows message box and save dialog, for platforms that
// have neither, and for the Windows host program, which answers the dialog
// itself. The host program answers the dialog; tests read back records.
#include "platform/platform_ui.h"

#if defined(_WIN32)
#include <io.h>
#define isatty _isatty
#define STDIN_FILENO 0
// The system's names stay the system's; the program points calls here.
#define STANDIN(name) WINAPI StandIn##name
constexpr const char* kSlashes = "\\/";
#define HWND_OR_VOID HWND
#define BOOL_OR_INT BOOL
#else
#include <unistd.h>
#define STANDIN(name) name
#define HWND_OR_VOID void*
#define BOOL_OR_INT int
constexpr const char* kSlashes = "/";
#endif

#include <cstdio>
#include <cstring>
#include <iostream>
#include <sys/stat.h>

namespace {

struct State {
    std::optional<std::string> answer;
    bool prompt = false;
    bool printed = true;
    std::string lastError;
    std::string lastChosen;
    std::vector<platform::ShownMessage> messages;
    std::vector<platform::DialogRequest> requests;
};

State& TheState() {
    static State state;
    return state;
}

std::vector<std::string> SplitFilter(const char* filter) {
    std::vector<std::string> parts;
    if (!filter) return parts;
    // A list of zero-terminated strings closed by an empty one.
    for (const char* p = filter; *p; p += std::strlen(p) + 1) parts.emplace_back(p);
    return parts;
}

bool Exists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.find_last_of(kSlashes);
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool AskYes(const std::string& question) {
    std::cerr << question << " [y/N] " << std::flush;
    std::string line;
    if (!std::getline(std::cin, line)) return false;
    return !line.empty() && (line[0] == 'y' || line[0] == 'Y');
}

// The answer of a person at the terminal, or nullopt for cancel.
std::optional<std::string> AskOnTerminal(const OPENFILENAMEA& request) {
    if (!::isatty(STDIN_FILENO)) return std::nullopt;
    std::cerr << (request.lpstrTitle ? request.lpstrTitle : "Save As") << " - file name (empty cancels): "
              << std::flush;
    std::string line;
    if (!std::getline(std::cin, line) || line.empty()) return std::nullopt;
    if ((request.Flags & OFN_OVERWRITEPROMPT) && Exists(line) &&
        !AskYes(line + " already exists. Do you want to replace it?"))
        return std::nullopt;
    return line;
}

int Refuse(const std::string& reason) {
    TheState().lastError = reason;
    return 0;
}

#if !defined(_WIN32)
}  // namespace

extern "C" {
#endif

int STANDIN(MessageBoxA)(HWND_OR_VOID /*owner*/, const char* text, const char* caption, unsigned type) {
    State& state = TheState();
    state.messages.push_back({caption ? caption : "Error", text ? text : "", type});
    if (state.printed)
        std::fprintf(stderr, "%s: %s\n", caption ? caption : "Error", text ? text : "");
    return IDOK;
}

BOOL_OR_INT STANDIN(GetSaveFileNameA)(OPENFILENAMEA* request) {
    State& state = TheState();
    state.lastError.clear();
    state.lastChosen.clear();
    if (!request) return Refuse("no request");
    state.requests.push_back({request->lStructSize, request->hwndOwner != nullptr, SplitFilter(request->lpstrFilter),
                              request->nFilterIndex, request->nMaxFile, request->nMaxFileTitle,
                              request->lpstrTitle ? request->lpstrTitle : "", request->Flags,
                              request->lpstrDefExt ? request->lpstrDefExt : ""});
    if (request->lStructSize < OPENFILENAME_SIZE_VERSION_400A || !request->lpstrFile || request->nMaxFile == 0)
        return Refuse("invalid save dialog request");

    // A path the host program was given counts as the user's confirmed choice.
    std::optional<std::string> chosen = state.answer;
    if (!chosen && state.prompt) chosen = AskOnTerminal(*request);
    if (!chosen) return 0;

    const std::string& path = *chosen;
    if (path.size() + 1 > request->nMaxFile)
        return Refuse("the path is longer than the dialog's buffer of " + std::to_string(request->nMaxFile) +
                      " bytes: " + path);
    if ((request->Flags & OFN_PATHMUSTEXIST) && !Exists(DirectoryOf(path)))
        return Refuse("the folder " + DirectoryOf(path) + " does not exist");

    std::memcpy(request->lpstrFile, path.c_str(), path.size() + 1);
    size_t slash = path.find_last_of(kSlashes);
    size_t titleStart = slash == std::string::npos ? 0 : slash + 1;
    std::string title = path.substr(titleStart);
    size_t dot = title.find_last_of('.');
    request->nFileOffset = static_cast<WORD>(titleStart);
    request->nFileExtension = static_cast<WORD>(dot == std::string::npos ? path.size() : titleStart + dot + 1);
    if (request->lpstrFileTitle && request->nMaxFileTitle > 0) {
        size_t n = std::min(title.size(), static_cast<size_t>(request->nMaxFileTitle) - 1);
        std::memcpy(request->lpstrFileTitle, title.data(), n);
        request->lpstrFileTitle[n] = '\0';
    }
    state.lastChosen = path;
    return 1;
}

#if !defined(_WIN32)
}  // extern "C"
#else
// Points the import table entry of function from dll in module at replacement.
void PatchImport(HMODULE module, const char* dll, const char* function, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) return;
    for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); entry->Name; ++entry) {
        if (_stricmp(reinterpret_cast<const char*>(base + entry->Name), dll) != 0) continue;
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
        const auto* name = reinterpret_cast<const IMAGE_THUNK_DATA*>(
            base + (entry->OriginalFirstThunk ? entry->OriginalFirstThunk : entry->FirstThunk));
        for (; name->u1.AddressOfData; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
            DWORD earlier = 0;
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &earlier);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, earlier, &earlier);
        }
    }
}

}  // namespace
#endif

namespace platform {

void SetSaveDialogAnswer(std::optional<std::string> path) { TheState().answer = std::move(path); }
void SetSaveDialogPrompt(bool enabled) { TheState().prompt = enabled; }
std::string LastSaveDialogError() { return TheState().lastError; }
std::string LastChosenPath() { return TheState().lastChosen; }
std::vector<ShownMessage> ShownMessages() { return TheState().messages; }
std::vector<DialogRequest> DialogRequests() { return TheState().requests; }
void SetMessagesPrinted(bool printed) { TheState().printed = printed; }

void ClearRecords() {
    TheState().messages.clear();
    TheState().requests.clear();
    TheState().lastError.clear();
}

#if defined(_WIN32)
void AnswerDialogsIn(HMODULE module) {
    PatchImport(module, "user32.dll", "MessageBoxA", reinterpret_cast<void*>(&StandInMessageBoxA));
    PatchImport(module, "comdlg32.dll", "GetSaveFileNameA", reinterpret_cast<void*>(&StandInGetSaveFileNameA));
}
#endif

}  // namespace platform
