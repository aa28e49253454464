// Files written through one large buffer, each to a temporary beside its
// destination, and sets of them that replace their destinations together.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();  // an uncommitted temporary is removed

    // viaTemporary: write a temporary of a unique name in path's folder,
    // created exclusively, and rename it over path on Commit; otherwise write
    // path itself. False when it cannot be created; Error() says why.
    bool Open(const std::string& path, bool viaTemporary = true);

    void Write(const void* data, size_t size) {
        if (size <= buffer_.size() - used_ && size < buffer_.size() / 8) {
            std::copy_n(static_cast<const char*>(data), size, buffer_.data() + used_);
            used_ += size;
        } else {
            WriteSlow(data, size);
        }
    }
    void Write(std::string_view text) { Write(text.data(), text.size()); }
    // Writes at a place in the file, past the buffer: for a file written by
    // places alone, or for a part between BeginPlaces and EndPlaces, from
    // several threads at once. A failure is kept as Write's are.
    void WriteAt(uint64_t offset, const void* data, size_t size);
    // A part of a file written by places between parts written by Write:
    // BeginPlaces hands Write's bytes to the file and gives the offset where
    // they end, where the part can start; -1 when the file has no places (a
    // pipe) or has failed, and Write goes on as before. EndPlaces(end) has
    // Write go on from end, past the part.
    int64_t BeginPlaces();
    void EndPlaces(uint64_t end);

    // Flushes and closes, and checks that the destination can be replaced. False
    // when any step, or any earlier write, failed; Error() then says why.
    bool Finish();
    // Finishes, then renames a temporary into place. False as for Finish, or
    // when the rename fails; the temporary is then removed. SIGINT and SIGTERM
    // wait while the file is renamed.
    bool Commit();
    // Closes and removes the temporary; the destination is left as it was.
    void Discard();

    bool IsOpen() const { return file_ != nullptr; }
    bool Failed() const { return !error_.empty(); }
    const std::string& Path() const { return path_; }
    // "<path>: <the system's reason>", empty while all is well.
    const std::string& Error() const { return error_; }

    // Where the bytes go until Commit: the temporary, or Path() itself.
    const std::string& WrittenPath() const { return writtenPath_; }

private:
    friend class OutputSet;
    void Renamed();  // the temporary is now Path()
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
    std::mutex failing_;  // WriteAt's failures, from any thread
};

// Outputs that replace their destinations together: every file added is
// written to its temporary, and Commit renames them into place only when all
// of them are complete. An uncommitted set removes its temporaries when it goes.
class FolderLock;

class OutputSet {
public:
    // Replaces to by from, as rename does; a seam for tests to make it fail.
    using RenameFunction = std::error_code (*)(const std::string& from, const std::string& to);
    explicit OutputSet(RenameFunction rename = nullptr);

    // The output for path, open for writing; null when it cannot be created
    // (Error() then says why, and Commit will fail). Valid while the set lives.
    OutputFile* Add(const std::string& path);
    // Makes file, already open, one of the set: committed and discarded with
    // the others. It must outlive the set.
    void Include(OutputFile& file) { files_.push_back(&file); }
    // Finishes every output, then renames them in the order added (a device
    // or a pipe, written in place, has nothing to rename), under a
    // lock on the folder of the first (two processes replacing one set take
    // turns). False when any output failed, or a rename did: Error() names the
    // first such file and the system's reason, every destination is as it was
    // before (the earlier files are put back, new ones removed) and no
    // temporary is left. SIGINT and SIGTERM wait while the files are renamed.
    bool Commit();
    // Removes every temporary; the destinations are left as they were.
    void Discard();
    // Takes the lock Commit takes on path's folder now and holds it while the
    // set lives: what is planned from the folder's files then stays true
    // until the set replaces them.
    void LockFolder(const std::string& path);
    // "<path>: <the system's reason>" of the first failure, empty while all is well.
    const std::string& Error() const { return error_; }

private:
    std::shared_ptr<FolderLock> held_;  // shared: the lock's type is the file's own
    RenameFunction rename_;
    std::vector<std::unique_ptr<OutputFile>> owned_;
    std::vector<OutputFile*> files_;
    std::string error_;
};
