// The command line of vantrel-export: every option, its help group and its
// checks in one place, and the parsing that turns argv into them.
#pragma once

#include "cli/model_loading.h"
#include "host/error.h"

#include <optional>
#include <string>

// Exit statuses, as the help text documents them.
inline constexpr int kExported = 0;
inline constexpr int kNothingExported = 1;
inline constexpr int kBadInput = 2;
inline constexpr int kWriteFailed = 3;

// The exit status of each kind of failure: the one place it is decided.
constexpr int ExitStatus(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::kNone: return kExported;
        case ErrorKind::kNothingExported: return kNothingExported;
        case ErrorKind::kBadInput:
        case ErrorKind::kLimit:
        case ErrorKind::kReaderCrash:
        case ErrorKind::kOutOfMemory: return kBadInput;
        case ErrorKind::kWriteFailed: return kWriteFailed;
    }
    return kWriteFailed;
}

enum class Verbosity { Quiet, Normal, Verbose };

struct CliOptions {
    std::string model;
    std::string destination;  // DEST or -o/--output: a file name, or a folder for the outputs
    std::string pluginPath;
    bool ask = false;
    std::string logPath;      // --log: where the diagnostic log goes ("" for the usual place)
    bool noLog = false;
    bool fullLog = false;     // --full-log: the default log traces every frame
    bool noSequences = false;  // print the clips' sequence lines instead of writing them into the class
    bool preview = false;      // also write NAME.html, the export shown as the engine will
    int threads = 0;           // --threads: the bake's threads (0: the machine's cores)
    Verbosity verbosity = Verbosity::Normal;
    ModelOptions modelOptions;
};

// Parses argv into options. nullopt when the run goes on; otherwise the exit
// status, with help, the version or the one-line error already printed.
std::optional<int> ParseCommandLine(int argc, char** argv, CliOptions& options);
