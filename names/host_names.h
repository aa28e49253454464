// Names as the host holds them: at most 31 bytes, never cut inside a UTF-8
// character, and unique within their kind (bones are found by name).
#pragma once

#include "host/format_limits.h"

#include <cstddef>
#include <set>
#include <string>

namespace hm::imp {

inline constexpr size_t kHostNameLimit = hm::kMaxNameBytes;

// The longest prefix of name of at most limit bytes that ends on a character boundary.
std::string CutName(const std::string& name, size_t limit = kHostNameLimit);

// The name cut to limit bytes with its start and its end kept, joined by "_".
std::string CutNameKeepingEnd(const std::string& name, size_t limit = kHostNameLimit);

// A file name cut to limit bytes with its extension kept, when the stem
// leaves room for it.
std::string CutFileName(const std::string& name, size_t limit = kHostNameLimit);

// The name with every byte that is not an ASCII letter, a digit, '_' or '-'
// made '_': the characters a file name of the engine's packages keeps whole
// ('-' among them, as earlier exports' texture files have it).
std::string EngineWord(const std::string& name);

// A texture's file name as the engine reads a name: its folders dropped,
// the stem and the extension each an EngineWord joined by one '.', cut to
// limit bytes keeping the extension. "" stays "".
std::string EngineFileName(const std::string& name, size_t limit = kHostNameLimit);

// A name that stays on one line of a log: each control character and each
// Unicode line or paragraph separator (U+0085, U+2028, U+2029) made '_'.
std::string OneLineName(const std::string& name);

// Hands out names that fit and were not handed out before: the wanted name
// (or the fallback when it is empty), cut, and if taken, with "_2", "_3", ...
class UniqueNames {
public:
    std::string Make(const std::string& wanted, const std::string& fallback);

private:
    std::set<std::string> used_;
};

}  // namespace hm::imp
