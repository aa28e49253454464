// Starts a program on this console, waits until a temporary of an output set
// appears in FOLDER, then sends Ctrl-C to the console's processes, as a user
// pressing it would; this one ignores it. Prints the program's exit code.
//   vantrel-ctrl-c FOLDER PROGRAM [ARGUMENTS...]
// Exit 0 when the event was sent and the program ended; 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring Quoted(const wchar_t* argument) {
    std::wstring quoted = L"\"";
    for (const wchar_t* c = argument; *c; ++c) {
        if (*c == L'"') quoted += L'\\';
        quoted += *c;
    }
    return quoted + L"\"";
}

bool TemporaryIn(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\.vt*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    return true;
}

BOOL WINAPI Ignore(DWORD) { return TRUE; }

int Fail(const char* what, HANDLE process) {
    std::fprintf(stderr, "%s (error %lu)\n", what, GetLastError());
    if (process) TerminateProcess(process, 1);
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: vantrel-ctrl-c FOLDER PROGRAM [ARGUMENTS...]\n");
        return 1;
    }
    const std::wstring folder = argv[1];
    std::wstring line = Quoted(argv[2]);
    for (int i = 3; i < argc; ++i) line += L" " + Quoted(argv[i]);
    // A process group of its own would start the program with Ctrl-C turned
    // off: it shares this one, which ignores the event itself.
    SetConsoleCtrlHandler(Ignore, TRUE);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(argv[2], line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup, &process))
        return Fail("cannot start the program", nullptr);
    bool seen = false;
    for (int waited = 0; waited < 120000 && !seen; ++waited) {
        seen = TemporaryIn(folder);
        if (!seen && WaitForSingleObject(process.hProcess, 1) == WAIT_OBJECT_0) break;
    }
    if (!seen) return Fail("no temporary appeared before the program ended", process.hProcess);
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) return Fail("cannot send Ctrl-C", process.hProcess);
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0)
        return Fail("the program did not end after Ctrl-C", process.hProcess);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    std::printf("exit code 0x%08lX\n", code);
    return 0;
}
