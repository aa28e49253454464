#include "contained/child_process.h"

// The fork of POSIX; Windows starts the program again (child_process_windows.cpp).
#if !defined(_WIN32)

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#  define VANTREL_ASAN 1
#elif defined(__has_feature)
#  if __has_feature(address_sanitizer)
#    define VANTREL_ASAN 1
#  endif
#endif

namespace hm {

namespace {

// Exit statuses the child uses to say how it ended without a result.
constexpr int kChildOutOfMemory = 86;
constexpr int kChildThrew = 87;
constexpr int kChildCannotWrite = 88;

// How often the parent looks at the child's memory and the clock while it waits.
constexpr int kPollMilliseconds = 5;

[[noreturn]] void OutOfMemory() { _exit(kChildOutOfMemory); }

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

[[noreturn]] void RunChild(int fd, const std::function<std::string()>& work, const ChildLimits& limits) {
    // A fault in the work ends the child by its signal, whoever in this
    // process had taken the signal over (a sanitizer, a fuzzer), and leaves no core.
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS}) signal(fault, SIG_DFL);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
#if !defined(VANTREL_ASAN)
    if (limits.memoryBytes > 0) {
        const rlimit memory{limits.memoryBytes, limits.memoryBytes};
        setrlimit(RLIMIT_AS, &memory);
    }
#else
    (void)limits;
#endif
    std::set_new_handler(OutOfMemory);
    std::string bytes;
    try {
        bytes = work();
    } catch (const std::bad_alloc&) {
        _exit(kChildOutOfMemory);
    } catch (...) {
        _exit(kChildThrew);
    }
    _exit(WriteAll(fd, bytes) ? 0 : kChildCannotWrite);
}

uint64_t ResidentBytes(pid_t pid) {
    std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
    uint64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

ChildOutcome Reap(pid_t pid, ChildOutcome outcome) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (outcome.end != ChildEnd::Finished) return outcome;
    if (WIFSIGNALED(status)) {
        outcome.end = ChildEnd::Crashed;
        outcome.signal = WTERMSIG(status);
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == kChildOutOfMemory) {
        outcome.end = ChildEnd::OutOfMemory;
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        outcome.end = ChildEnd::Crashed;
        outcome.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (outcome.end != ChildEnd::Finished) outcome.bytes.clear();
    return outcome;
}

}  // namespace

ChildOutcome RunInChild(const std::function<std::string()>& work, const ChildLimits& asked) {
    ChildOutcome outcome;
    ChildLimits limits = asked;
#if !defined(VANTREL_ASAN)
    rlimit current{};
    if (limits.memoryBytes > 0 && getrlimit(RLIMIT_AS, &current) == 0 && current.rlim_max != RLIM_INFINITY &&
        current.rlim_max < limits.memoryBytes)
        limits.memoryBytes = current.rlim_max;
#endif
    outcome.memoryBytes = limits.memoryBytes;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        outcome.error = std::string("no pipe: ") + std::strerror(errno);
        return outcome;
    }
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        outcome.error = std::string("no child process: ") + std::strerror(errno);
        close(fds[0]);
        close(fds[1]);
        return outcome;
    }
    if (pid == 0) {
        close(fds[0]);
        RunChild(fds[1], work, limits);
    }
    close(fds[1]);

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(limits.seconds));
    outcome.end = ChildEnd::Finished;
    char chunk[65536];
    for (;;) {
        pollfd ready{fds[0], POLLIN, 0};
        const int polled = poll(&ready, 1, kPollMilliseconds);
        if (polled > 0) {
            const ssize_t n = read(fds[0], chunk, sizeof chunk);
            if (n == 0) break;
            if (n > 0) outcome.bytes.append(chunk, static_cast<size_t>(n));
            else if (errno != EINTR) break;
        }
        if (limits.seconds > 0 && Clock::now() > deadline) {
            outcome.end = ChildEnd::TimedOut;
            break;
        }
        if (limits.memoryBytes > 0 && ResidentBytes(pid) > limits.memoryBytes) {
            outcome.end = ChildEnd::OutOfMemory;
            break;
        }
    }
    close(fds[0]);
    if (outcome.end != ChildEnd::Finished) {
        kill(pid, SIGKILL);
        outcome.bytes.clear();
    }
    return Reap(pid, std::move(outcome));
}

}  // namespace hm

#endif
