#include "output/temporaries.h"

#if !defined(_WIN32)
#include <csignal>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace {

// Fixed storage: the signal handler may only read memory that no
// allocation moves. A path that does not fit is left to the run's own cleanup.
constexpr int kSlots = 16;
constexpr size_t kPathBytes = 4096;
char slotPath[kSlots][kPathBytes];
volatile std::sig_atomic_t slotUsed[kSlots];
std::mutex guard;
int registered = 0;

constexpr int kSignals[] = {SIGINT, SIGTERM};
struct sigaction earlier[2];

void RemoveAndPassOn(int signal) {
    for (int i = 0; i < kSlots; ++i)
        if (slotUsed[i]) unlink(slotPath[i]);
    for (int k = 0; k < 2; ++k)
        if (kSignals[k] == signal) sigaction(signal, &earlier[k], nullptr);
    raise(signal);  // delivered with the earlier disposition once this handler returns
}

void Install() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = RemoveAndPassOn;
    sigemptyset(&action.sa_mask);
    for (int k = 0; k < 2; ++k) sigaction(kSignals[k], &action, &earlier[k]);
}

void Restore() {
    for (int k = 0; k < 2; ++k) {
        struct sigaction current;
        sigaction(kSignals[k], nullptr, &current);
        if (current.sa_handler == RemoveAndPassOn) sigaction(kSignals[k], &earlier[k], nullptr);
    }
}

}  // namespace

void RegisterTemporary(const std::string& path) {
    std::lock_guard<std::mutex> lock(guard);
    if (path.size() >= kPathBytes) return;
    for (int i = 0; i < kSlots; ++i) {
        if (slotUsed[i]) continue;
        std::memcpy(slotPath[i], path.c_str(), path.size() + 1);
        slotUsed[i] = 1;
        if (registered++ == 0) Install();
        return;
    }
}

void UnregisterTemporary(const std::string& path) {
    std::lock_guard<std::mutex> lock(guard);
    for (int i = 0; i < kSlots; ++i) {
        if (!slotUsed[i] || path != slotPath[i]) continue;
        slotUsed[i] = 0;
        if (--registered == 0) Restore();
        return;
    }
}

static_assert(sizeof(sigset_t) <= sizeof(unsigned long long[16]));

SignalsHeld::SignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &held, reinterpret_cast<sigset_t*>(saved_));
}

SignalsHeld::~SignalsHeld() { pthread_sigmask(SIG_SETMASK, reinterpret_cast<sigset_t*>(saved_), nullptr); }

#else
// Windows: Ctrl-C, Ctrl-Break and closing the console call a handler on a
// thread of its own while the program runs on, instead of interrupting it.
// The handler waits for a set being renamed into place (the commit holds the
// same lock), then removes the temporaries, keeps the lock so that no later
// commit starts, and lets the default handler end the process. A temporary is
// still open while it is written; it is opened so that it can be deleted then
// (see CreateTemporary), and goes when the process's handles close. The
// program runs on until the process ends: no temporary is created once the
// handler has run. The program and the DLLs it loads each hold their own copy
// of this file, and a copy that created nothing has no handler: that the
// event came is known to the whole process.
#include <windows.h>
#include "platform/windows_text.h"

#include <mutex>
#include <string>
#include <vector>

namespace {

std::mutex guard;  // the registered paths
std::vector<std::wstring> paths;
CRITICAL_SECTION commit;
const bool commitReady = (InitializeCriticalSection(&commit), true);
bool installed = false;

using hm::platform::Wide;

// Set once a handler of any copy in the process has run.
HANDLE Interrupted() {
    static const HANDLE event = CreateEventW(
        nullptr, TRUE, FALSE, (L"Local\\vantrel-interrupted-" + std::to_wstring(GetCurrentProcessId())).c_str());
    return event;
}

BOOL WINAPI RemoveAndPassOn(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    if (Interrupted()) SetEvent(Interrupted());  // first: the program goes on meanwhile
    EnterCriticalSection(&commit);  // never left: the process ends with it held
    std::lock_guard<std::mutex> lock(guard);
    for (const std::wstring& path : paths) DeleteFileW(path.c_str());
    paths.clear();
    return FALSE;
}

}  // namespace

void RegisterTemporary(const std::string& path) {
    std::lock_guard<std::mutex> lock(guard);
    paths.push_back(Wide(path));
    // Once for the process: a handler that finds nothing to remove passes the event on.
    if (!installed) installed = SetConsoleCtrlHandler(RemoveAndPassOn, TRUE) != 0;
}

void* CreateTemporary(const std::string& path) {
    std::lock_guard<std::mutex> lock(guard);
    // Before the file exists, so that an event from now on finds it registered.
    if (!installed) installed = SetConsoleCtrlHandler(RemoveAndPassOn, TRUE) != 0;
    if (Interrupted() && WaitForSingleObject(Interrupted(), 0) == WAIT_OBJECT_0) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return INVALID_HANDLE_VALUE;
    }
    const std::wstring wide = Wide(path);
    const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) paths.push_back(wide);
    return handle;
}

void UnregisterTemporary(const std::string& path) {
    std::lock_guard<std::mutex> lock(guard);
    const std::wstring wide = Wide(path);
    for (auto it = paths.begin(); it != paths.end(); ++it)
        if (*it == wide) {
            paths.erase(it);
            return;
        }
}

SignalsHeld::SignalsHeld() {
    (void)commitReady;
    EnterCriticalSection(&commit);
}
SignalsHeld::~SignalsHeld() { LeaveCriticalSection(&commit); }
#endif
