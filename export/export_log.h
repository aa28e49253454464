// The export's text output: CR LF line ends and numbers that read exactly as
// C's printf prints them in the "C" locale; and the diagnostic log built on it.
#pragma once

#include "output/output_file.h"

#include <charconv>
#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

// A value printed as "%f" prints it: six decimals, "inf", "-inf", "nan", "-nan".
struct Fixed {
    double value;
};

// Text printed exactly as given: the caller has written its line ends as CR LF.
struct Verbatim {
    std::string_view text;
};

// Writes the "%f" text of value into out (at least 400 bytes) and returns its length.
size_t FormatFixed(double value, char* out);

// Text written to a file as a program that opened it in text mode on Windows
// would write it, whatever the platform and the process's locale.
class TextOutput {
public:
    explicit TextOutput(OutputFile& file) : file_(file) {}

    // Prints each argument in turn: text as "%s" with every '\n' written as
    // CR LF, integers as "%d", Fixed as "%f". One call is assembled in a small
    // buffer and handed to the file at once: the log prints a line per value.
    template <typename... Args>
    void Print(const Args&... args) {
        (Put(args), ...);
        Flush();
    }

private:
    static constexpr size_t kLineSize = 1024;
    static constexpr size_t kLongestNumber = 400;  // "%f" of the largest double

    void Put(std::string_view text);
    void Put(const char* text) { Put(std::string_view(text)); }
    void Put(const std::string& text) { Put(std::string_view(text)); }
    void Put(Verbatim verbatim) {
        Flush();
        file_.Write(verbatim.text);
    }
    void Put(Fixed number) {
        Reserve(kLongestNumber);
        used_ += FormatFixed(number.value, line_ + used_);
    }
    template <std::integral T>
        requires(!std::is_same_v<T, char> && !std::is_same_v<T, bool>)
    void Put(T number) {
        Reserve(24);
        used_ = static_cast<size_t>(std::to_chars(line_ + used_, line_ + kLineSize, number).ptr - line_);
    }
    void Reserve(size_t size) {
        if (kLineSize - used_ < size) Flush();
    }
    void Flush() {
        file_.Write(line_, used_);
        used_ = 0;
    }

    OutputFile& file_;
    char line_[kLineSize];
    size_t used_ = 0;
};

class ExportLog {
public:
    // Written to a temporary that replaces any earlier file on Close, or with
    // the output set that includes File(). When it cannot be created the log
    // stays closed and everything printed to it is dropped; the export goes on.
    bool Open(const std::string& path) { return file_.Open(path); }
    bool IsOpen() const { return file_.IsOpen(); }
    // False when a write failed; Error() says why.
    bool Close() { return file_.Commit(); }
    const std::string& Error() const { return file_.Error(); }
    OutputFile& File() { return file_; }

    template <typename... Args>
    void Print(const Args&... args) {
        if (file_.IsOpen()) text_.Print(args...);
    }

private:
    OutputFile file_;
    TextOutput text_{file_};
};
