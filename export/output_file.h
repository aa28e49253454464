// Files the export writes, through one large buffer. An output goes to a
// temporary beside its destination and replaces it only when committed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();  // an uncommitted temporary is removed

    // viaTemporary: write "<path>.vantrel-tmp" and rename it over path on
    // Commit; otherwise write path itself. False when it cannot be created.
    bool Open(const std::string& path, bool viaTemporary = true);

    void Write(const void* data, size_t size) {
        if (size <= buffer_.size() - used_) {
            std::copy_n(static_cast<const char*>(data), size, buffer_.data() + used_);
            used_ += size;
        } else {
            WriteSlow(data, size);
        }
    }
    void Write(std::string_view text) { Write(text.data(), text.size()); }

    // Flushes and closes, and checks that the destination can be replaced. False
    // when any step, or any earlier write, failed; Error() then says why.
    bool Finish();
    // Finishes, then renames a temporary into place. False as for Finish, or
    // when the rename fails; the temporary is then removed.
    bool Commit();
    // Closes and removes the temporary; the destination is left as it was.
    void Discard();

    bool IsOpen() const { return file_ != nullptr; }
    bool Failed() const { return !error_.empty(); }
    const std::string& Path() const { return path_; }
    // "<path>: <the system's reason>", empty while all is well.
    const std::string& Error() const { return error_; }

private:
    void WriteSlow(const void* data, size_t size);
    void Flush();
    void Fail(int errorNumber);

    std::FILE* file_ = nullptr;
    bool finished_ = false;
    std::string path_;
    std::string writtenPath_;
    std::vector<char> buffer_;
    size_t used_ = 0;
    std::string error_;
};
