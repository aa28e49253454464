// What went wrong, as a value: every step from reading the model to committing
// the outputs reports one of these kinds with a one-line message.
#pragma once

#include <string>
#include <utility>

enum class ErrorKind {
    kNone,
    kNothingExported,  // an empty model, a cancelled dialog: nothing to do, nothing written
    kBadInput,         // the model, an option or the destination cannot be used
    kLimit,            // the model is past one of the format's limits
    kReaderCrash,      // the model reader crashed, ran out of its memory or time on the file
    kOutOfMemory,      // this process ran out of memory
    kWriteFailed,      // an output could not be written; the earlier files are as they were
};

struct ExportError {
    ErrorKind kind = ErrorKind::kNone;
    std::string message;  // one line, naming the file and the problem

    explicit operator bool() const { return kind != ErrorKind::kNone; }
};

inline ExportError Fault(ErrorKind kind, std::string message) { return {kind, std::move(message)}; }
