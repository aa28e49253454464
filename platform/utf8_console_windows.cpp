// The console shows the programs' UTF-8 output as such: its code page is the
// user's (850 or 1252, say), in which a path's "é" would show as "Ã©". Set
// before main, in both programs and never in a plug-in, whose console is its
// host's; put back at the end, since the console outlives the program.
#include <windows.h>

namespace {

struct Utf8Console {
    UINT earlier = GetConsoleOutputCP();
    Utf8Console() {
        if (earlier != 0) SetConsoleOutputCP(CP_UTF8);
    }
    ~Utf8Console() {
        if (earlier != 0) SetConsoleOutputCP(earlier);
    }
} utf8Console;

}  // namespace
