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
