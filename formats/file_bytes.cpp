#include "formats/file_bytes.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace hm::fmt {

Error FileBytes::Read(const std::string& path, uint64_t maxBytes, FileBytes& out) {
    std::error_code code;
    const uintmax_t size = std::filesystem::file_size(path, code);
    if (code) return Fault(ErrorKind::kBadInput, path + ": " + code.message());
    if (size > maxBytes)
        return Fault(ErrorKind::kBadInput, path + ": " + std::to_string(size) + " bytes, more than a file of this kind may be (" +
                                               std::to_string(maxBytes) + ")");
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    std::string bytes(static_cast<size_t>(size), '\0');
    if (!in || !in.read(bytes.data(), static_cast<std::streamsize>(size)))
        return Fault(ErrorKind::kBadInput, path + ": cannot be read (" + std::strerror(errno ? errno : EIO) + ")");
    out = FileBytes(path, std::move(bytes));
    return {};
}

bool FileBytes::Holds(uint64_t offset, uint64_t count, uint64_t size) const {
    if (offset > bytes_.size()) return false;
    const uint64_t room = bytes_.size() - offset;
    return size == 0 || count <= room / size;
}

Error FileBytes::Expect(uint64_t offset, uint64_t count, uint64_t size, const std::string& place) const {
    if (Holds(offset, count, size)) return {};
    if (offset > bytes_.size())
        return Bad(place, "begins at byte " + std::to_string(offset) + ", past the end of the file (" +
                              std::to_string(bytes_.size()) + " bytes)");
    return Bad(place, std::to_string(count) + " x " + std::to_string(size) + " bytes from byte " + std::to_string(offset) +
                          " run past the end of the file (" + std::to_string(bytes_.size()) + " bytes)");
}

Error FileBytes::Bad(const std::string& place, const std::string& problem) const {
    return Fault(ErrorKind::kBadInput, path_ + ": " + place + ": " + problem);
}

float FileBytes::F32(uint64_t at) const {
    const uint32_t word = U32(at);
    float value;
    std::memcpy(&value, &word, sizeof value);
    return value;
}

std::string FileBytes::Name(uint64_t at, size_t field) const {
    const std::string_view text(bytes_.data() + at, field);
    return std::string(text.substr(0, text.find('\0')));
}

}  // namespace hm::fmt
