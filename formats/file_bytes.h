// A model file's bytes, read whole and bounded by its size, with reads that
// check every count and offset against the file before anything is allocated.
#pragma once

#include "host/error.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace hm::fmt {

// What a file's header claims, checked: a read past the end, an offset
// outside the file, a count that cannot fit, is a Fault of kBadInput whose
// message names the file, the place and what the header says.
class FileBytes {
public:
    // kBadInput when the file cannot be read or is larger than maxBytes.
    static Error Read(const std::string& path, uint64_t maxBytes, FileBytes& out);
    FileBytes() = default;
    FileBytes(std::string path, std::string bytes) : path_(std::move(path)), bytes_(std::move(bytes)) {}

    const std::string& Path() const { return path_; }
    uint64_t Size() const { return bytes_.size(); }
    std::string_view Bytes() const { return bytes_; }

    // Whether count records of size bytes from offset lie inside the file.
    bool Holds(uint64_t offset, uint64_t count, uint64_t size) const;
    // The same, as the failure that names the place and what lies there.
    Error Expect(uint64_t offset, uint64_t count, uint64_t size, const std::string& place) const;
    // "<file>: <place>: <problem>"
    Error Bad(const std::string& place, const std::string& problem) const;

    // Little-endian values; the caller has checked that they lie inside the file.
    uint8_t U8(uint64_t at) const { return static_cast<uint8_t>(bytes_[at]); }
    uint16_t U16(uint64_t at) const { return static_cast<uint16_t>(U8(at) | U8(at + 1) << 8); }
    int16_t I16(uint64_t at) const { return static_cast<int16_t>(U16(at)); }
    uint32_t U32(uint64_t at) const { return U16(at) | static_cast<uint32_t>(U16(at + 2)) << 16; }
    int32_t I32(uint64_t at) const { return static_cast<int32_t>(U32(at)); }
    float F32(uint64_t at) const;
    // A zero-padded name of a fixed field, up to its first zero byte.
    std::string Name(uint64_t at, size_t field) const;

private:
    std::string path_;
    std::string bytes_;
};

}  // namespace hm::fmt
