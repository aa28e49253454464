// The C runtime's conversions between multibyte and wide characters, as
// UTF-8, in the Windows programs. Their manifest makes the process's code page
// UTF-8, but the C runtime's "C" locale still converts byte for byte, and the
// standard library's paths convert through these two: without them a file
// name with a non-ASCII letter would name another file. Linked into the
// programs only; a plug-in lives in its host's code page.
#include <cerrno>
#include <cwchar>

extern "C" size_t mbrtowc(wchar_t* out, const char* in, size_t size, mbstate_t*) {
    if (!in) return 0;
    if (size == 0) return static_cast<size_t>(-2);
    const auto* bytes = reinterpret_cast<const unsigned char*>(in);
    const unsigned lead = bytes[0];
    size_t length = 0;
    unsigned value = 0;
    if (lead < 0x80) {
        length = 1;
        value = lead;
    } else if ((lead & 0xE0) == 0xC0 && lead >= 0xC2) {
        length = 2;
        value = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        value = lead & 0x0F;
    } else {
        // Four bytes need two UTF-16 units, which one call cannot return.
        errno = EILSEQ;
        return static_cast<size_t>(-1);
    }
    if (size < length) {
        for (size_t i = 1; i < size; ++i)
            if ((bytes[i] & 0xC0) != 0x80) break;
        return static_cast<size_t>(-2);
    }
    for (size_t i = 1; i < length; ++i) {
        if ((bytes[i] & 0xC0) != 0x80) {
            errno = EILSEQ;
            return static_cast<size_t>(-1);
        }
        value = value << 6 | (bytes[i] & 0x3F);
    }
    if ((length == 3 && value < 0x800) || (value >= 0xD800 && value < 0xE000)) {
        errno = EILSEQ;
        return static_cast<size_t>(-1);
    }
    if (out) *out = static_cast<wchar_t>(value);
    return value == 0 ? 0 : length;
}

extern "C" size_t wcrtomb(char* out, wchar_t wide, mbstate_t*) {
    const unsigned value = static_cast<unsigned short>(wide);
    if (!out) return 1;
    if (value >= 0xD800 && value < 0xE000) {
        errno = EILSEQ;
        return static_cast<size_t>(-1);
    }
    if (value < 0x80) {
        out[0] = static_cast<char>(value);
        return 1;
    }
    if (value < 0x800) {
        out[0] = static_cast<char>(0xC0 | value >> 6);
        out[1] = static_cast<char>(0x80 | (value & 0x3F));
        return 2;
    }
    out[0] = static_cast<char>(0xE0 | value >> 12);
    out[1] = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (value & 0x3F));
    return 3;
}
