// Our strings as Windows takes and gives them: wide paths, and the system's
// words for an error code.
#pragma once

#if defined(_WIN32)
#include <windows.h>

#include <string>

namespace hm::platform {

// Paths are in the process's code page (UTF-8 in our programs, the system's
// in a modelling host) unless the caller knows better.
inline std::wstring Wide(const std::string& text, UINT codePage = CP_ACP) {
    std::wstring wide(text.size() + 1, L'\0');
    const int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                      static_cast<int>(wide.size()));
    wide.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return wide;
}

// One line, without the trailing full stop Windows puts there.
inline std::string SystemMessage(DWORD code) {
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = text ? text : "error " + std::to_string(code);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message;
}

}  // namespace hm::platform

#endif
