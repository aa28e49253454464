#include "export/output_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {
constexpr size_t kBufferSize = 1 << 20;
}

OutputFile::~OutputFile() { Discard(); }

bool OutputFile::Open(const std::string& path, bool viaTemporary) {
    Discard();
    path_ = path;
    error_.clear();
    writtenPath_ = viaTemporary ? TemporaryPath(path) : path;
    file_ = std::fopen(writtenPath_.c_str(), "wb");
    if (!file_) {
        Fail(errno);
        return false;
    }
    buffer_.resize(kBufferSize);
    used_ = 0;
    finished_ = false;
    return true;
}

void OutputFile::WriteSlow(const void* data, size_t size) {
    Flush();
    if (size <= buffer_.size()) {
        std::copy_n(static_cast<const char*>(data), size, buffer_.data());
        used_ = size;
    } else if (file_ && !Failed() && std::fwrite(data, 1, size, file_) != size) {
        Fail(errno);
    }
}

void OutputFile::Flush() {
    if (file_ && !Failed() && used_ > 0 && std::fwrite(buffer_.data(), 1, used_, file_) != used_) Fail(errno);
    used_ = 0;
}

void OutputFile::Fail(int errorNumber) {
    if (error_.empty()) error_ = path_ + ": " + std::strerror(errorNumber ? errorNumber : EIO);
}

bool OutputFile::Finish() {
    if (finished_) return !Failed();
    if (!file_) return false;
    Flush();
    if (std::fclose(file_) != 0) Fail(errno);
    file_ = nullptr;
    finished_ = true;
    buffer_ = {};
    std::error_code code;
    if (writtenPath_ != path_ && std::filesystem::is_directory(path_, code)) Fail(EISDIR);
    return !Failed();
}

bool OutputFile::Commit() {
    if (Finish() && writtenPath_ != path_) {
        std::error_code code;
        std::filesystem::rename(writtenPath_, path_, code);
        if (code) error_ = path_ + ": " + code.message();
    }
    if (Failed()) Discard();
    finished_ = false;
    return !Failed();
}

void OutputFile::Discard() {
    if (file_) std::fclose(file_);
    if ((file_ || finished_) && writtenPath_ != path_) std::remove(writtenPath_.c_str());
    file_ = nullptr;
    finished_ = false;
    buffer_ = {};
    used_ = 0;
}

OutputFile* OutputSet::Add(const std::string& path) {
    files_.push_back(std::make_unique<OutputFile>());
    OutputFile* file = files_.back().get();
    if (file->Open(path)) return file;
    if (error_.empty()) error_ = file->Error();
    return nullptr;
}

bool OutputSet::Commit() {
    bool complete = error_.empty();
    for (auto& file : files_) complete = file->Finish() && complete;
    for (auto& file : files_) complete = complete && file->Commit();
    if (!complete) {
        for (auto& file : files_)
            if (error_.empty()) error_ = file->Error();
        Discard();
    }
    return complete;
}

void OutputSet::Discard() {
    for (auto& file : files_) file->Discard();
}
