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

// A caller that drops a returned one loses a failure without a word.
struct [[nodiscard]] Error {
    ErrorKind kind = ErrorKind::kNone;
    // One line: the file and the problem, or only the problem where the step
    // does not know the file and its caller names it.
    std::string message;

    explicit operator bool() const { return kind != ErrorKind::kNone; }
};

inline Error Fault(ErrorKind kind, std::string message) { return {kind, std::move(message)}; }
