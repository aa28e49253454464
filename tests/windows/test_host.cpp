// A Windows host in miniature: loads a model through hmModelLib.dll, loads the
// plug-in, and calls the object only by slot position, as a host built with
// the platform's own compiler does. Prints every call and what it returned.
//
// With --batch it exports many models in one process, answering each save
// dialog itself from a second thread as a person would: the name typed into
// the file name box, then OK pressed.
#include "host/model_json.h"

#include <windows.h>
#include <dlgs.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace {

// The member-call convention of the platform's compiler.
#if defined(__i386__)
#  define MEMBER_CALL __attribute__((thiscall))
#else
#  define MEMBER_CALL
#endif

using DeletingDestructorSlot = void*(MEMBER_CALL*)(void* self, unsigned flags);
using GetKindSlot = int32_t(MEMBER_CALL*)(void* self);
using GetCaptionSlot = const char*(MEMBER_CALL*)(void* self);
using RunSlot = int32_t(MEMBER_CALL*)(void* self, hmModel* model);
using CreatePlugInEntry = void* (*)();

int destroyCount = 0;

int Fail(const std::string& text) {
    std::printf("error: %s\n", text.c_str());
    std::fflush(stdout);
    return 2;
}

// Slot n of the object's table of operations.
template <typename Function>
Function Slot(void* object, int n) {
    void* const* table = *static_cast<void* const* const*>(object);
    return reinterpret_cast<Function>(table[n]);
}

void ReportKindAndCaption(void* object, const char* when) {
    const int32_t kind = Slot<GetKindSlot>(object, 1)(object);
    std::printf("%sslot 1 GetKind -> %d\n", when, static_cast<int>(kind));
    const char* caption = Slot<GetCaptionSlot>(object, 2)(object);
    const char* start = static_cast<const char*>(object);
    const bool inside = caption >= start && caption < start + sizeof(void*) + 64;
    std::printf("%sslot 2 GetCaption -> \"%s\" (%s the object)\n", when, caption ? caption : "(null)",
                inside ? "inside" : "outside");
}

constexpr char kSaveDialogTitle[] = "Export Vantrel 3D";
constexpr char kMessageBoxTitle[] = "Vantrel Export";

struct Answerer {
    DWORD hostThread;
    std::string chosen;
    HANDLE stop;          // set by the host thread once Run has returned
    std::string report;   // what was answered, for the host's output
};

struct FoundWindow {
    const char* title;
    HWND window;
};

BOOL CALLBACK MatchTitle(HWND window, LPARAM found) {
    auto* wanted = reinterpret_cast<FoundWindow*>(found);
    char title[128] = {};
    GetWindowTextA(window, title, sizeof title);
    if (!IsWindowVisible(window) || std::strcmp(title, wanted->title) != 0) return TRUE;
    wanted->window = window;
    return FALSE;
}

HWND VisibleWindow(DWORD thread, const char* title) {
    FoundWindow found{title, nullptr};
    EnumThreadWindows(thread, MatchTitle, reinterpret_cast<LPARAM>(&found));
    return found.window;
}

std::string ControlText(HWND control) {
    char text[MAX_PATH + 1] = {};
    DWORD_PTR length = 0;
    SendMessageTimeoutA(control, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000,
                        &length);
    return text;
}

// Answers the host thread's save dialog with the chosen name, and dismisses
// any message box with OK, until the host thread says Run has returned.
DWORD WINAPI AnswerDialogs(void* argument) {
    auto& answerer = *static_cast<Answerer*>(argument);
    bool typed = false;
    while (WaitForSingleObject(answerer.stop, 5) == WAIT_TIMEOUT) {
        if (HWND box = VisibleWindow(answerer.hostThread, kMessageBoxTitle)) {
            answerer.report += " message";
            PostMessageA(box, WM_COMMAND, IDOK, 0);
            Sleep(50);
            continue;
        }
        HWND dialog = VisibleWindow(answerer.hostThread, kSaveDialogTitle);
        if (!dialog || typed) continue;
        // The file name box: a combo box in the Explorer-style dialog.
        HWND name = GetDlgItem(dialog, cmb13);
        if (!name) name = GetDlgItem(dialog, edt1);
        HWND ok = GetDlgItem(dialog, IDOK);
        if (!name || !ok) continue;
        DWORD_PTR result = 0;
        SendMessageTimeoutA(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(answerer.chosen.c_str()), SMTO_ABORTIFHUNG,
                            2000, &result);
        if (ControlText(name) != answerer.chosen) continue;
        typed = true;
        answerer.report += " dialog";
        PostMessageA(ok, BM_CLICK, 0, 0);
    }
    return 0;
}

// Each line of LIST: a model path, a tab, the name to choose in the save
// dialog. One line of output per model: the name, Run's answer, how often the
// model was released, which windows were answered, and whether a log was kept.
int RunBatch(HMODULE library, const std::string& listPath) {
    auto create = reinterpret_cast<CreatePlugInEntry>(reinterpret_cast<void*>(GetProcAddress(library, "CreatePlugIn")));
    if (!create) return Fail("no export named CreatePlugIn");
    std::ifstream list(listPath);
    if (!list) return Fail(listPath + ": cannot be read");
    std::string line;
    int failures = 0;
    while (std::getline(list, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        const std::string modelPath = line.substr(0, tab);
        Answerer answerer{GetCurrentThreadId(), line.substr(tab + 1), CreateEventA(nullptr, TRUE, FALSE, nullptr), ""};

        hm::LoadResult loaded = hm::LoadModelJson(modelPath);
        if (!loaded.model) {
            std::printf("%s: error: %s\n", modelPath.c_str(), loaded.error.message.c_str());
            ++failures;
            continue;
        }
        hm::ModelPtr model = std::move(loaded.model);
        destroyCount = 0;
        model->onDestroy = [](const hmModel*) { ++destroyCount; };

        HANDLE thread = CreateThread(nullptr, 0, AnswerDialogs, &answerer, 0, nullptr);
        void* object = create();
        const int32_t result = Slot<RunSlot>(object, 3)(object, model.get());
        SetEvent(answerer.stop);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        CloseHandle(answerer.stop);
        Slot<DeletingDestructorSlot>(object, 0)(object, 1);
        if (destroyCount > 0) static_cast<void>(model.release());

        // The log goes to the current folder, where the next export would
        // overwrite it: keep it under the chosen name, ".log" for extension.
        char current[MAX_PATH + 1] = {};
        GetCurrentDirectoryA(sizeof current, current);
        const std::string log = std::string(current) + "\\VantrelExport.log";
        const std::string kept = answerer.chosen.substr(0, answerer.chosen.find_last_of('.')) + ".log";
        const bool moved = MoveFileExA(log.c_str(), kept.c_str(), MOVEFILE_REPLACE_EXISTING);
        std::printf("%s: Run -> %d, released %d, answered:%s, log %s\n", answerer.chosen.c_str(),
                    static_cast<int>(result), destroyCount, answerer.report.c_str(), moved ? "kept" : "missing");
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 4 && std::strcmp(argv[2], "--batch") == 0) {
        HMODULE library = LoadLibraryA(argv[1]);
        if (!library)
            return Fail(std::string(argv[1]) + ": LoadLibrary failed, error " + std::to_string(GetLastError()));
        const int status = RunBatch(library, argv[3]);
        FreeLibrary(library);
        return status;
    }
    if (argc != 3)
        return Fail("usage: vantrel-test-host PLUGIN.dll (MODEL.hm.json | --null | --batch LIST)");
    const std::string pluginPath = argv[1];
    const std::string modelPath = argv[2];

    hm::ModelPtr model;
    if (modelPath != "--null") {
        hm::LoadResult loaded = hm::LoadModelJson(modelPath);
        if (!loaded.model) return Fail(loaded.error.message);
        model = std::move(loaded.model);
        model->onDestroy = [](const hmModel*) { ++destroyCount; };
        std::printf("model %s: %d meshes\n", modelPath.c_str(), static_cast<int>(hmModel_GetMeshCount(model.get())));
    }

    HMODULE library = LoadLibraryA(pluginPath.c_str());
    if (!library) return Fail(pluginPath + ": LoadLibrary failed, error " + std::to_string(GetLastError()));
    auto create = reinterpret_cast<CreatePlugInEntry>(reinterpret_cast<void*>(GetProcAddress(library, "CreatePlugIn")));
    if (!create) return Fail(pluginPath + ": no export named CreatePlugIn");
    void* object = create();
    std::printf("CreatePlugIn -> %s\n", object ? "object" : "null");
    if (!object) return 1;

    ReportKindAndCaption(object, "");

    const int32_t result = Slot<RunSlot>(object, 3)(object, model.get());
    std::printf("slot 3 Run -> %d\n", static_cast<int>(result));
    std::printf("hmModel_Destroy calls: %d\n", destroyCount);
    // A run that completed released the model; otherwise it is still ours.
    if (destroyCount > 0) static_cast<void>(model.release());

    ReportKindAndCaption(object, "after Run: ");

    void* returned = Slot<DeletingDestructorSlot>(object, 0)(object, 1);
    std::printf("slot 0 deleting destructor(1) -> %s\n", returned == object ? "the object" : "something else");
    std::printf("FreeLibrary -> %s\n", FreeLibrary(library) ? "ok" : "failed");
    return 0;
}
