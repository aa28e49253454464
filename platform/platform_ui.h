// The two user-interface calls the export run makes: a message box and the save
// dialog. On Windows they are the system's; elsewhere, stand-ins with the same
// names and signatures, answered by the host program and recordable by tests.
// A Windows host program has the stand-ins too, and points a module's calls of
// the system's at them.
#pragma once

#if defined(_WIN32)

#include <windows.h>
#include <commdlg.h>

#include <optional>
#include <string>
#include <vector>

// In the Windows host program, not in the host library: the library is the
// modelling host's, whose plug-ins show the real dialogs.
#define PLATFORM_UI_API

#else

#include "host/hm_model_lib.h"  // HM_API: the stand-ins live in the host library

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using DWORD = uint32_t;
using WORD = uint16_t;

constexpr unsigned MB_OK = 0x0;
constexpr unsigned MB_ICONEXCLAMATION = 0x30;
constexpr int IDOK = 1;

constexpr DWORD OFN_OVERWRITEPROMPT = 0x2;
constexpr DWORD OFN_HIDEREADONLY = 0x4;
constexpr DWORD OFN_PATHMUSTEXIST = 0x800;

// Field for field the Windows request, so that Run fills it the same way on
// every platform.
struct OPENFILENAMEA {
    DWORD lStructSize;
    void* hwndOwner;
    void* hInstance;
    const char* lpstrFilter;
    char* lpstrCustomFilter;
    DWORD nMaxCustFilter;
    DWORD nFilterIndex;
    char* lpstrFile;
    DWORD nMaxFile;
    char* lpstrFileTitle;
    DWORD nMaxFileTitle;
    const char* lpstrInitialDir;
    const char* lpstrTitle;
    DWORD Flags;
    WORD nFileOffset;
    WORD nFileExtension;
    const char* lpstrDefExt;
    intptr_t lCustData;
    void* lpfnHook;
    const char* lpTemplateName;
    // Fields added after the NT4 request; Run does not fill them.
    void* pvReserved;
    DWORD dwReserved;
    DWORD FlagsEx;
};

// The request without the later extension fields, as the Windows headers
// define it (76 bytes on 32-bit Windows).
constexpr DWORD OPENFILENAME_SIZE_VERSION_400A =
    static_cast<DWORD>(offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(const char*));

extern "C" {
HM_API int MessageBoxA(void* owner, const char* text, const char* caption, unsigned type);
HM_API int GetSaveFileNameA(OPENFILENAMEA* request);
}

#define PLATFORM_UI_API HM_API

#endif

namespace platform {

struct ShownMessage {
    std::string caption;
    std::string text;
    unsigned type;
};

// What the save dialog was asked, as Run filled the request.
struct DialogRequest {
    DWORD structSize;
    bool hasOwner;
    std::vector<std::string> filter;  // the zero-separated list, split
    DWORD filterIndex;
    DWORD maxFile;
    DWORD maxFileTitle;
    std::string title;
    DWORD flags;
    std::string defaultExtension;
};

// The path the next save dialogs answer with; nullopt answers "cancel".
PLATFORM_UI_API void SetSaveDialogAnswer(std::optional<std::string> path);
// When set and no answer is given, the dialog asks on the terminal (if one is
// attached to standard input).
PLATFORM_UI_API void SetSaveDialogPrompt(bool enabled);
// Why the last save dialog answered 0 ("" when the user cancelled or it succeeded).
PLATFORM_UI_API std::string LastSaveDialogError();

// The path the last save dialog answered with ("" after a cancel).
PLATFORM_UI_API std::string LastChosenPath();

// Every message shown and every dialog request made since the last Clear.
PLATFORM_UI_API std::vector<ShownMessage> ShownMessages();
PLATFORM_UI_API std::vector<DialogRequest> DialogRequests();
PLATFORM_UI_API void ClearRecords();
// When false (tests), message boxes are only recorded, not printed.
PLATFORM_UI_API void SetMessagesPrinted(bool printed);

#if defined(_WIN32)
// Points module's calls of MessageBoxA and GetSaveFileNameA (its import table's
// entries) at the stand-ins: the program's own, and a plug-in it loads.
void AnswerDialogsIn(HMODULE module);
#endif

}  // namespace platform
