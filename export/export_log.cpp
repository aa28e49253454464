#include "export/export_log.h"

#include <algorithm>
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
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        Reserve(end + 2);
        const size_t piece = std::min(end, kLineSize - used_);  // only a very long text is cut in pieces
        text.copy(line_ + used_, piece);
        used_ += piece;
        if (piece == end && end < text.size()) {
            line_[used_++] = '\r';
            line_[used_++] = '\n';
            text.remove_prefix(end + 1);
        } else {
            text.remove_prefix(piece);
        }
    }
}
