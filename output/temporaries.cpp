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
// The host's console signals do not end a plug-in's process on Windows the
// way SIGINT does; its temporaries are removed by the run itself.
void RegisterTemporary(const std::string&) {}
void UnregisterTemporary(const std::string&) {}
SignalsHeld::SignalsHeld() {}
SignalsHeld::~SignalsHeld() {}
#endif
