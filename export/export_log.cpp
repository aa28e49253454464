#include "export/export_log.h"

#include <cmath>

size_t FormatFixed(double value, char* out) {
    if (std::isnan(value)) {
        // printf keeps the sign bit of a NaN; to_chars spells it the same way,
        // but say it here so no platform's variant slips in.
        std::string_view text = std::signbit(value) ? "-nan" : "nan";
        text.copy(out, text.size());
        return text.size();
    }
    // to_chars with a precision is specified as printf's "%.*f" in the "C" locale.
    auto result = std::to_chars(out, out + 400, value, std::chars_format::fixed, 6);
    return static_cast<size_t>(result.ptr - out);
}

void TextOutput::Put(std::string_view text) {
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string_view::npos; end = text.find('\n', start)) {
        file_.Write(text.substr(start, end - start));
        file_.Write("\r\n", 2);
        start = end + 1;
    }
    file_.Write(text.substr(start));
}
