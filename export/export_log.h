// The export's diagnostic log: a buffered text stream whose line ends are
// CR LF and whose numbers read exactly as C's printf prints them in the "C" locale.
#pragma once

#include "export/output_file.h"

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

// Writes the "%f" text of value into out (at least 400 bytes) and returns its length.
size_t FormatFixed(double value, char* out);

class ExportLog {
public:
    // Replaces any earlier file. When it cannot be created the log stays
    // closed and everything printed to it is dropped; the export goes on.
    bool Open(const std::string& path) { return file_.Open(path, false); }
    bool IsOpen() const { return file_.IsOpen(); }
    // False when a write failed; Error() says why.
    bool Close() { return file_.Commit(); }
    const std::string& Error() const { return file_.Error(); }

    // Prints each argument in turn: text as "%s" with every '\n' written as
    // CR LF, integers as "%d", Fixed as "%f".
    template <typename... Args>
    void Print(const Args&... args) {
        if (file_.IsOpen()) (Put(args), ...);
    }

private:
    void Put(std::string_view text);
    void Put(const char* text) { Put(std::string_view(text)); }
    void Put(const std::string& text) { Put(std::string_view(text)); }
    void Put(Fixed number) {
        char digits[400];
        file_.Write(digits, FormatFixed(number.value, digits));
    }
    template <std::integral T>
        requires(!std::is_same_v<T, char> && !std::is_same_v<T, bool>)
    void Put(T number) {
        char digits[24];
        auto result = std::to_chars(digits, digits + sizeof digits, number);
        file_.Write(digits, static_cast<size_t>(result.ptr - digits));
    }

    OutputFile file_;
};
