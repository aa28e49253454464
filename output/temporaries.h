// Temporary files a process has open, removed when SIGINT or SIGTERM ends it,
// and a guard that holds those signals back while a set is renamed into place.
#pragma once

#include <string>

// While any temporary is registered, SIGINT and SIGTERM first remove every
// registered temporary and then do what they did before (the host's handler,
// or ending the process). Registering the first installs the handlers;
// unregistering the last puts the earlier ones back. On Windows the console's
// Ctrl-C, Ctrl-Break and close do the same, through a console control handler.
void RegisterTemporary(const std::string& path);
void UnregisterTemporary(const std::string& path);

#if defined(_WIN32)
// Creates path anew (shared for deletion, so that the handler can remove it
// while it is written) and registers it, in one step that the console control
// handler, which runs on a thread of its own, cannot come between. Returns the
// file's HANDLE, or INVALID_HANDLE_VALUE with GetLastError() set, and
// ERROR_OPERATION_ABORTED once Ctrl-C came.
void* CreateTemporary(const std::string& path);
#endif

// SIGINT and SIGTERM are held back while it lives and delivered when it goes
// (on Windows, the console control handler waits for it to go).
class SignalsHeld {
public:
    SignalsHeld();
    ~SignalsHeld();
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    unsigned long long saved_[16];  // the earlier signal mask, opaque
};
