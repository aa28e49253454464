// Waits for a top-level window with the given title and prints what a person
// would read in it: its title and the text of each control, one per line.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

BOOL CALLBACK PrintChild(HWND child, LPARAM) {
    char className[64] = {};
    char text[512] = {};
    GetClassNameA(child, className, sizeof className);
    // GetWindowText reads only a caption in another process; what a person typed
    // into an edit box needs the control itself to answer.
    DWORD_PTR length = 0;
    SendMessageTimeoutA(child, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000,
                        &length);
    std::printf("control %s: %s\n", className, text);
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::printf("usage: vantrel-window-probe TITLE SECONDS\n");
        return 2;
    }
    const DWORD deadline = GetTickCount() + static_cast<DWORD>(atoi(argv[2])) * 1000;
    HWND window = nullptr;
    while (!(window = FindWindowA(nullptr, argv[1])) && static_cast<LONG>(deadline - GetTickCount()) > 0) Sleep(100);
    if (!window) {
        std::printf("no window titled \"%s\"\n", argv[1]);
        return 1;
    }
    char title[256] = {};
    GetWindowTextA(window, title, sizeof title);
    std::printf("window: %s\n", title);
    EnumChildWindows(window, PrintChild, 0);
    return 0;
}
