#include "names/host_names.h"

namespace hm::imp {

std::string CutName(const std::string& name, size_t limit) {
    if (name.size() <= limit) return name;
    size_t end = limit;
    // Step back over continuation bytes (10xxxxxx) to the start of the character that did not fit.
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
    return name.substr(0, end);
}

std::string CutNameKeepingEnd(const std::string& name, size_t limit) {
    if (name.size() <= limit) return name;
    if (limit < 8) return CutName(name, limit);
    // Names of one model's images differ at their ends as often as not
    // (body_diffuse_left, body_diffuse_right): keep about half of the end.
    size_t tail = name.size() - (limit - 1) / 2;
    while (tail < name.size() && (static_cast<unsigned char>(name[tail]) & 0xC0) == 0x80) ++tail;
    const std::string end = name.substr(tail);
    std::string head = CutName(name, limit - 1 - end.size());
    while (!head.empty() && head.back() == '_') head.pop_back();  // one "_" at the join
    return head + "_" + (end.front() == '_' ? end.substr(1) : end);
}

std::string CutFileName(const std::string& name, size_t limit) {
    if (name.size() <= limit) return name;
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || name.size() - dot >= limit) return CutName(name, limit);
    const std::string extension = name.substr(dot);
    return CutName(name.substr(0, dot), limit - extension.size()) + extension;
}

std::string EngineWord(const std::string& name) {
    std::string word = name;
    for (char& c : word) {
        const unsigned char u = static_cast<unsigned char>(c);
        const bool engine = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_' || u == '-';
        if (!engine) c = '_';
    }
    return word;
}

std::string EngineFileName(const std::string& name, size_t limit) {
    const size_t slash = name.find_last_of("/\\");
    const std::string file = slash == std::string::npos ? name : name.substr(slash + 1);
    const size_t dot = file.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == file.size()) return CutName(EngineWord(file), limit);
    return CutFileName(EngineWord(file.substr(0, dot)) + "." + EngineWord(file.substr(dot + 1)), limit);
}

std::string OneLineName(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        const unsigned char next = i + 1 < name.size() ? static_cast<unsigned char>(name[i + 1]) : 0;
        const unsigned char third = i + 2 < name.size() ? static_cast<unsigned char>(name[i + 2]) : 0;
        if (c < 0x20 || c == 0x7F) {
            out += '_';
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {  // U+0080 to U+009F: C1 controls, U+0085 among them
            out += '_';
            ++i;
        } else if (c == 0xE2 && next == 0x80 && (third == 0xA8 || third == 0xA9)) {  // U+2028, U+2029
            out += '_';
            i += 2;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string UniqueNames::Make(const std::string& wanted, const std::string& fallback) {
    const std::string base = CutName(wanted.empty() ? fallback : wanted);
    std::string name = base;
    for (int n = 2; name.empty() || used_.count(name); ++n) {
        const std::string suffix = "_" + std::to_string(n);
        name = CutName(base, kHostNameLimit - suffix.size()) + suffix;
    }
    used_.insert(name);
    return name;
}

}  // namespace hm::imp
