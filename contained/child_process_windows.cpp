#include "contained/child_process.h"

#if defined(_WIN32)

#include <windows.h>  // before psapi.h, which needs its types
#include "platform/windows_text.h"

#include <fcntl.h>
#include <io.h>
#include <psapi.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <new>
#include <thread>
#include <vector>

namespace hm {

namespace {

// Exit statuses the child uses to say how it ended without a result; the
// same numbers as the forked child's on Linux.
constexpr DWORD kChildOutOfMemory = 86;
constexpr DWORD kChildThrew = 87;
constexpr DWORD kChildCannotWrite = 88;
constexpr DWORD kChildAborted = 0xE0000006;  // an application exception code no system status uses

constexpr DWORD kPollMilliseconds = 5;

using hm::platform::SystemMessage;

// The signal a Linux child would have died of, for the exception code that
// ended the Windows one; 0 when the code is an ordinary exit status.
int SignalOf(DWORD code) {
    switch (code) {
        case EXCEPTION_ACCESS_VIOLATION:
        case EXCEPTION_STACK_OVERFLOW:
        case EXCEPTION_IN_PAGE_ERROR:
        case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
        case EXCEPTION_DATATYPE_MISALIGNMENT:
            return SIGSEGV;
        case EXCEPTION_ILLEGAL_INSTRUCTION:
        case EXCEPTION_PRIV_INSTRUCTION:
            return SIGILL;
        case EXCEPTION_INT_DIVIDE_BY_ZERO:
        case EXCEPTION_INT_OVERFLOW:
        case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        case EXCEPTION_FLT_INVALID_OPERATION:
        case EXCEPTION_FLT_OVERFLOW:
        case EXCEPTION_FLT_UNDERFLOW:
        case EXCEPTION_FLT_INEXACT_RESULT:
        case EXCEPTION_FLT_STACK_CHECK:
        case EXCEPTION_FLT_DENORMAL_OPERAND:
            return SIGFPE;
        case EXCEPTION_BREAKPOINT:
        case EXCEPTION_SINGLE_STEP:
            return 5;  // SIGTRAP
        case kChildAborted:
        case 0xC0000409:  // a failed stack check or fast fail
            return SIGABRT;
        default:
            return (code & 0xC0000000) == 0xC0000000 ? SIGSEGV : 0;
    }
}

std::wstring Wide(const std::string& text) { return hm::platform::Wide(text, CP_UTF8); }

// This program's path, quoted for a command line.
std::wstring SelfCommand(const std::string& flag) {
    std::vector<wchar_t> path(32768);
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    return L"\"" + std::wstring(path.data(), n) + L"\" " + Wide(flag);
}

struct Handle {
    HANDLE h = nullptr;
    ~Handle() {
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

LONG WINAPI EndWithCode(EXCEPTION_POINTERS* fault) {
    TerminateProcess(GetCurrentProcess(), fault->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

void EndAborted(int) { TerminateProcess(GetCurrentProcess(), kChildAborted); }

[[noreturn]] void OutOfMemory() { TerminateProcess(GetCurrentProcess(), kChildOutOfMemory); std::abort(); }

}  // namespace

void PrepareChild() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(EndWithCode);
    // A vectored handler sees a fault before any frame's handler could turn
    // it into something else; stack overflows land here too.
    AddVectoredExceptionHandler(1, [](EXCEPTION_POINTERS* fault) -> LONG {
        return SignalOf(fault->ExceptionRecord->ExceptionCode) != 0 &&
                       fault->ExceptionRecord->ExceptionCode != EXCEPTION_BREAKPOINT
                   ? EndWithCode(fault)
                   : EXCEPTION_CONTINUE_SEARCH;
    });
    std::signal(SIGABRT, EndAborted);  // before the runtime would print its message and exit with 3
    std::set_new_handler(OutOfMemory);
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

std::string ReadChildInput() {
    std::string input;
    char chunk[65536];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, stdin)) > 0) input.append(chunk, n);
    return input;
}

int AnswerFromChild(const std::function<std::string()>& work) {
    std::string bytes;
    try {
        bytes = work();
    } catch (const std::bad_alloc&) {
        return kChildOutOfMemory;
    } catch (...) {
        return kChildThrew;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() && std::fflush(stdout) == 0;
    return written ? 0 : kChildCannotWrite;
}

ChildOutcome RunProgramInChild(const std::string& flag, const std::string& input, const ChildLimits& limits) {
    ChildOutcome outcome;
    outcome.memoryBytes = limits.memoryBytes;  // the job's limit is the one asked for
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    Handle inRead, inWrite, outRead, outWrite, job;
    if (!CreatePipe(&inRead.h, &inWrite.h, &inherit, 0) || !CreatePipe(&outRead.h, &outWrite.h, &inherit, 0)) {
        outcome.error = "no pipe: " + SystemMessage(GetLastError());
        return outcome;
    }
    SetHandleInformation(inWrite.h, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead.h, HANDLE_FLAG_INHERIT, 0);

    job.h = CreateJobObjectW(nullptr, nullptr);
    if (job.h) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
        info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
        if (limits.memoryBytes > 0) {
            info.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_PROCESS_MEMORY;
            info.ProcessMemoryLimit = static_cast<SIZE_T>(limits.memoryBytes);
        }
        SetInformationJobObject(job.h, JobObjectExtendedLimitInformation, &info, sizeof info);
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead.h;
    startup.hStdOutput = outWrite.h;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    std::wstring command = SelfCommand(flag);
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    // Suspended until it is in the job, so nothing it does escapes the limits.
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &process)) {
        outcome.error = "no child process: " + SystemMessage(GetLastError());
        return outcome;
    }
    Handle processHandle{process.hProcess}, threadHandle{process.hThread};
    if (job.h) AssignProcessToJobObject(job.h, process.hProcess);
    ResumeThread(process.hThread);
    CloseHandle(inRead.h);
    inRead.h = nullptr;
    CloseHandle(outWrite.h);
    outWrite.h = nullptr;

    // The request goes in and the answer comes out on threads of their own,
    // so that neither pipe's buffer can stall the child while this one watches it.
    std::string answer;
    std::thread writer([&] {
        size_t done = 0;
        DWORD n = 0;
        while (done < input.size() &&
               WriteFile(inWrite.h, input.data() + done, static_cast<DWORD>(std::min<size_t>(input.size() - done, 1 << 20)),
                         &n, nullptr))
            done += n;
        CloseHandle(inWrite.h);
        inWrite.h = nullptr;
    });
    std::thread reader([&] {
        char chunk[65536];
        DWORD n = 0;
        while (ReadFile(outRead.h, chunk, sizeof chunk, &n, nullptr) && n > 0) answer.append(chunk, n);
    });

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(limits.seconds));
    outcome.end = ChildEnd::Finished;
    while (WaitForSingleObject(process.hProcess, kPollMilliseconds) == WAIT_TIMEOUT) {
        if (limits.seconds > 0 && Clock::now() > deadline) {
            outcome.end = ChildEnd::TimedOut;
            break;
        }
        PROCESS_MEMORY_COUNTERS_EX memory{};
        if (limits.memoryBytes > 0 &&
            GetProcessMemoryInfo(process.hProcess, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory) &&
            memory.PrivateUsage > limits.memoryBytes) {
            outcome.end = ChildEnd::OutOfMemory;
            break;
        }
    }
    if (outcome.end != ChildEnd::Finished) {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    writer.join();
    reader.join();
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    if (outcome.end == ChildEnd::Finished) {
        if (code == kChildOutOfMemory) {
            outcome.end = ChildEnd::OutOfMemory;
        } else if (int signal = SignalOf(code)) {
            outcome.end = ChildEnd::Crashed;
            outcome.signal = signal;
        } else if (code != 0) {
            outcome.end = ChildEnd::Crashed;
            outcome.exitStatus = static_cast<int>(code);
        }
    }
    if (outcome.end == ChildEnd::Finished) outcome.bytes = std::move(answer);
    return outcome;
}

}  // namespace hm

#endif
