// Work that may crash, abort, run away with memory or hang (a third-party
// file reader on a damaged file) run in a child process under limits, so that
// whatever it does, the caller learns how it ended and goes on.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace hm {

struct ChildLimits {
    uint64_t memoryBytes = 0;  // 0: none
    double seconds = 0;        // wall-clock time; 0: none
};

enum class ChildEnd {
    Finished,     // the work returned: bytes hold what it returned
    Crashed,      // a signal ended it (signal), or it exited without a result (exitStatus)
    OutOfMemory,  // it needed more than the memory limit
    TimedOut,     // it ran past the time limit and was killed
    NotStarted,   // no child could be made (error says why)
};

struct ChildOutcome {
    ChildEnd end = ChildEnd::NotStarted;
    int signal = 0;
    int exitStatus = 0;
    std::string bytes;
    std::string error;
    // The memory limit the child ran under: the one asked for, or the most
    // this process may grant where that is less (a limit it was started under).
    uint64_t memoryBytes = 0;
};

// The child is a fork of this process, so work sees everything the caller
// set up; it ends with _exit, so nothing of the caller's (buffered output,
// handlers at exit) runs twice. The memory limit caps the child's address
// space; in a build with AddressSanitizer, whose shadow memory takes more
// address space than any limit, it caps the child's resident memory instead,
// as often as the parent looks (every few milliseconds). Work that throws
// std::bad_alloc counts as out of memory, any other exception as a crash.
ChildOutcome RunInChild(const std::function<std::string()>& work, const ChildLimits& limits);

#if defined(_WIN32)
// Windows has no fork: the child is this program started again with flag as
// its only argument, handed input on its standard input; what it writes to its
// standard output comes back in bytes. A job object caps its memory and ends it
// with this process; the parent also watches its memory and the clock, as a
// job's limit is not enforced everywhere (Wine). An exception that ends it is
// reported as the signal Linux would have sent (an access violation as SIGSEGV).
ChildOutcome RunProgramInChild(const std::string& flag, const std::string& input, const ChildLimits& limits);

// The child's side, first thing in it: faults end it at once with their
// exception code (no error dialog, no debugger), std::abort with SIGABRT's
// status, std::bad_alloc and a failed new as out of memory.
void PrepareChild();
// Its whole standard input; then its answer written to standard output and its exit status.
std::string ReadChildInput();
int AnswerFromChild(const std::function<std::string()>& work);
#endif

}  // namespace hm
