#include "output/output_file.h"

#include "output/temporaries.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <random>
#include <system_error>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#include "platform/windows_text.h"
#else
#include <sys/file.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr size_t kBufferSize = 1 << 20;

std::string Reason(int errorNumber) { return std::strerror(errorNumber ? errorNumber : EIO); }

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A name no other file in the folder has, short enough that it stays legal
// wherever a final name of the folder is: ".vt" and six letters or digits.
std::string UniqueName(const std::string& folder) {
    static std::atomic<uint64_t> counter{0};
    static const uint64_t seed = std::random_device{}() ^
                                 static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    uint64_t n = seed + 0x9E3779B97F4A7C15ull * ++counter;
    n ^= n >> 31;
    n *= 0xBF58476D1CE4E5B9ull;
    n ^= n >> 29;
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string name = folder + ".vt";
    for (int i = 0; i < 6; ++i, n /= 36) name += kLetters[n % 36];
    return name;
}

#if defined(_WIN32)
using hm::platform::Wide;

int ErrnoOf(DWORD error) {
    switch (error) {
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION: return EACCES;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return ENOENT;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return EEXIST;
        case ERROR_WRITE_PROTECT: return EROFS;
        case ERROR_OPERATION_ABORTED: return EINTR;
        default: return EIO;
    }
}
#endif

// Creates a file of a fresh unique name in folder, exclusively; the file is
// registered for removal on a signal. errno is kept when it fails.
std::FILE* CreateUnique(const std::string& folder, std::string& created) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        created = UniqueName(folder);
#if defined(_WIN32)
        const HANDLE handle = CreateTemporary(created);  // registered with it
        int fd = -1;
        if (handle == INVALID_HANDLE_VALUE) {
            errno = GetLastError() == ERROR_FILE_EXISTS ? EEXIST : ErrnoOf(GetLastError());
        } else if ((fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY)) < 0) {
            CloseHandle(handle);
            DeleteFileW(Wide(created).c_str());
            UnregisterTemporary(created);
            errno = EMFILE;
        }
#else
        const int fd = open(created.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
#endif
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return nullptr;
        }
#if !defined(_WIN32)
        RegisterTemporary(created);
#endif
        std::FILE* file = fdopen(fd, "wb");
        if (!file) {
            const int error = errno;
            close(fd);
            std::remove(created.c_str());
            UnregisterTemporary(created);
            errno = error;
        }
        return file;
    }
    errno = EEXIST;
    return nullptr;
}

#if defined(_WIN32)
// One rename that replaces the destination in a single step (MoveFileEx
// without copying, so never a half-written destination), or fails leaving
// it as it was: a file another program holds open without sharing deletion
// cannot be replaced on Windows, and the set is then rolled back.
std::error_code ReplaceDestination(const std::string& from, const std::string& to) {
    if (MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return {};
    return std::error_code(ErrnoOf(GetLastError()), std::generic_category());
}

}  // namespace

// Held while a set's files are renamed into place (or from the plan of a set
// on, see OutputSet::LockFolder), so that two processes replacing the same set
// do it one after the other. Windows locks no folder:
// a mutex named after the folder's volume root and file number stands for it
// (every spelling of a folder names the same one), in the user's session.
class FolderLock {
public:
    explicit FolderLock(const std::string& folder) {
        const HANDLE handle = CreateFileW(Wide(folder.empty() ? "." : folder).c_str(), 0,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        BY_HANDLE_FILE_INFORMATION info{};
        wchar_t volume[MAX_PATH + 1];
        const bool known = handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info) &&
                           GetVolumePathNameW(Wide(folder.empty() ? "." : folder).c_str(), volume, MAX_PATH + 1);
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        if (!known) return;
        // The volume by its root (a name may hold no backslash), the folder by its file number.
        std::wstring root = volume;
        for (wchar_t& c : root)
            if (c == L'\\') c = L'/';
        const std::wstring name = L"Local\\vantrel-set-" + root + L"-" + std::to_wstring(info.nFileIndexHigh) + L"-" +
                                  std::to_wstring(info.nFileIndexLow);
        mutex_ = CreateMutexW(nullptr, FALSE, name.c_str());
        // An owner that ended while holding it (WAIT_ABANDONED) left no rename half done
        // that this one could finish: its own rollback or its Ctrl-C handler ran first.
        if (mutex_ && WaitForSingleObject(mutex_, INFINITE) == WAIT_FAILED) {
            CloseHandle(mutex_);
            mutex_ = nullptr;
        }
    }
    ~FolderLock() {
        if (!mutex_) return;
        ReleaseMutex(mutex_);
        CloseHandle(mutex_);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    HANDLE mutex_ = nullptr;
};

namespace {
#else
std::error_code ReplaceDestination(const std::string& from, const std::string& to) {
    std::error_code code;
    fs::rename(from, to, code);
    return code;
}

}  // namespace

// Held while a set's files are renamed into place (or from the plan of a set
// on, see OutputSet::LockFolder), so that two processes replacing the same set
// do it one after the other. Advisory, on the folder.
class FolderLock {
public:
    explicit FolderLock(const std::string& folder) {
        fd_ = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ >= 0) flock(fd_, LOCK_EX);
    }
    ~FolderLock() {
        if (fd_ >= 0) close(fd_);  // releases the lock
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

private:
    int fd_ = -1;
};

namespace {
#endif

// A file written in place, a device or a pipe: opened for writing as it is. A pipe nobody reads would
// hold the export for ever: it is refused at once (ENXIO) instead.
std::FILE* OpenInPlace(const std::string& path) {
#if defined(_WIN32)
    return std::fopen(path.c_str(), "wb");
#else
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    // Once open, writes wait for the reader as usual.
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "wb");
    if (!file) close(fd);
    return file;
#endif
}

// An earlier file marked read-only is kept, as Windows keeps it: its owner
// said it is not to be replaced.
bool ReadOnly(const std::string& path) {
    std::error_code code;
    const fs::file_status status = fs::symlink_status(path, code);
    constexpr fs::perms kWrite = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    return !code && fs::is_regular_file(status) && (status.permissions() & kWrite) == fs::perms::none;
}

}  // namespace

OutputFile::~OutputFile() { Discard(); }

bool OutputFile::Open(const std::string& path, bool viaTemporary) {
    Discard();
    path_ = path;
    error_.clear();
    std::error_code code;
    const fs::file_status status = fs::status(path, code);
    if (viaTemporary && fs::is_directory(status)) {
        Fail(EISDIR);  // found now rather than when all is written
        return false;
    }
    // A device or a pipe (/dev/null) is written as it is: there is no file
    // to replace, and renaming over it would put a file in its place.
    if (fs::exists(status) && !fs::is_regular_file(status)) viaTemporary = false;
    if (viaTemporary) {
        file_ = CreateUnique(FolderOf(path), writtenPath_);
    } else {
        writtenPath_ = path;
        file_ = OpenInPlace(path);
    }
    if (!file_) {
        Fail(errno);
        writtenPath_.clear();
        return false;
    }
    // The buffer here gathers the small writes; the stream's own would only
    // copy every byte once more.
    std::setvbuf(file_, nullptr, _IONBF, 0);
    buffer_.resize(kBufferSize);
    used_ = 0;
    finished_ = false;
    return true;
}

void OutputFile::WriteSlow(const void* data, size_t size) {
    Flush();
    // A large piece goes to the file as it is rather than through the buffer.
    if (size < buffer_.size() / 8) {
        std::copy_n(static_cast<const char*>(data), size, buffer_.data());
        used_ = size;
    } else if (file_ && !Failed() && std::fwrite(data, 1, size, file_) != size) {
        Fail(errno);
    }
}

void OutputFile::WriteAt(uint64_t offset, const void* data, size_t size) {
    if (!file_) return;
    const char* bytes = static_cast<const char*>(data);
    int failure = 0;
#if defined(_WIN32)
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file_)));
    while (size > 0 && !failure) {
        OVERLAPPED place{};
        place.Offset = static_cast<DWORD>(offset);
        place.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD written = 0;
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
        if (!WriteFile(handle, bytes, piece, &written, &place) || written == 0) {
            failure = EIO;
            break;
        }
        bytes += written;
        offset += written;
        size -= written;
    }
#else
    while (size > 0) {
        const ssize_t written = pwrite(fileno(file_), bytes, size, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            failure = written < 0 ? errno : EIO;
            break;
        }
        bytes += written;
        offset += static_cast<uint64_t>(written);
        size -= static_cast<size_t>(written);
    }
#endif
    if (failure) {
        std::lock_guard<std::mutex> hold(failing_);
        Fail(failure);
    }
}

int64_t OutputFile::BeginPlaces() {
    if (!file_) return -1;
    Flush();
    if (Failed()) return -1;
#if defined(_WIN32)
    return _ftelli64(file_);
#else
    return ftello(file_);
#endif
}

void OutputFile::EndPlaces(uint64_t end) {
    if (!file_) return;
#if defined(_WIN32)
    const int moved = _fseeki64(file_, static_cast<__int64>(end), SEEK_SET);
#else
    const int moved = fseeko(file_, static_cast<off_t>(end), SEEK_SET);
#endif
    if (moved != 0) Fail(errno);
}

void OutputFile::Flush() {
    if (file_ && !Failed() && used_ > 0 && std::fwrite(buffer_.data(), 1, used_, file_) != used_) Fail(errno);
    used_ = 0;
}

void OutputFile::Fail(int errorNumber) {
    if (error_.empty()) error_ = path_ + ": " + Reason(errorNumber);
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
    if (writtenPath_ != path_ && fs::is_directory(path_, code)) Fail(EISDIR);
    if (writtenPath_ != path_ && ReadOnly(path_) && error_.empty())
        error_ = path_ + ": the earlier file is read-only, and is kept (make it writable to replace it)";
    return !Failed();
}

bool OutputFile::Commit() {
    if (!Finish()) {
        Discard();
        return false;
    }
    if (writtenPath_ == path_) return true;
    FolderLock lock(FolderOf(path_));
    SignalsHeld held;
    const std::error_code code = ReplaceDestination(writtenPath_, path_);
    if (code) {
        error_ = path_ + ": " + code.message();
        Discard();
        return false;
    }
    Renamed();
    return true;
}

void OutputFile::Discard() {
    if (file_) std::fclose(file_);
    if ((file_ || finished_) && writtenPath_ != path_) {
        std::remove(writtenPath_.c_str());
        UnregisterTemporary(writtenPath_);
    }
    file_ = nullptr;
    finished_ = false;
    buffer_ = {};
    used_ = 0;
}

void OutputFile::Renamed() {
    UnregisterTemporary(writtenPath_);
    writtenPath_ = path_;
    finished_ = false;
}

OutputSet::OutputSet(RenameFunction rename) : rename_(rename ? rename : ReplaceDestination) {}

OutputFile* OutputSet::Add(const std::string& path) {
    owned_.push_back(std::make_unique<OutputFile>());
    OutputFile* file = owned_.back().get();
    files_.push_back(file);
    // A set's names are the export's own: a link planted at one of them that
    // leads to a device or a pipe is not written through.
    std::error_code code;
    if (fs::is_symlink(fs::symlink_status(path, code))) {
        const fs::file_status target = fs::status(path, code);
        if (fs::exists(target) && !fs::is_regular_file(target)) {
            if (error_.empty())
                error_ = path + ": a link to a device or a pipe, where the set has a file (remove the link)";
            return nullptr;
        }
    }
    if (file->Open(path)) return file;
    if (error_.empty()) error_ = file->Error();
    return nullptr;
}

bool OutputSet::Commit() {
    bool complete = error_.empty();
    for (auto& file : files_) complete = file->Finish() && complete;
    if (!complete) {
        for (auto& file : files_)
            if (error_.empty()) error_ = file->Error();
        Discard();
        return false;
    }
    if (files_.empty()) return true;

    // The earlier files are kept under unique names until every new one is
    // in place, and put back if any rename fails. Signals wait meanwhile, so
    // an interrupt never leaves a set half replaced.
    std::optional<FolderLock> lock;
    if (!held_) lock.emplace(FolderOf(files_.front()->Path()));
    SignalsHeld held;
    struct Step {
        OutputFile* file;
        std::string earlier;  // the earlier file's keeping name; empty when there was none
        bool linked = false;  // earlier is a second name of the file, not the file moved aside
        bool placed = false;
    };
    std::vector<Step> steps;
    std::string failure;
    for (OutputFile* file : files_) {
        if (file->writtenPath_ == file->Path()) continue;  // a device or a pipe, written in place
        Step step{file, {}, false, false};
        std::error_code code;
        if (fs::exists(file->Path(), code)) {
            for (int attempt = 0; attempt < 100 && step.earlier.empty(); ++attempt) {
                std::string name = UniqueName(FolderOf(file->Path()));
                fs::create_hard_link(file->Path(), name, code);
                if (!code) {
                    step.earlier = name;
                    step.linked = true;
                }
                else if (code != std::errc::file_exists) break;
            }
            // Where the file system has no hard links, the earlier file moves aside.
            if (step.earlier.empty()) {
                std::string name = UniqueName(FolderOf(file->Path()));
                code = rename_(file->Path(), name);
                if (code) {
                    failure = file->Path() + ": " + code.message();
                    steps.push_back(step);
                    break;
                }
                step.earlier = name;
            }
        }
        code = rename_(file->writtenPath_, file->Path());
        if (code) {
            failure = file->Path() + ": " + code.message();
            steps.push_back(step);
            break;
        }
        step.placed = true;
        file->Renamed();
        steps.push_back(step);
    }
    if (failure.empty()) {
        for (const Step& step : steps)
            if (!step.earlier.empty()) std::remove(step.earlier.c_str());
        return true;
    }
    for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
        std::error_code code;
        if (!step->placed && step->linked)
            std::remove(step->earlier.c_str());  // the destination is still the earlier file
        else if (!step->earlier.empty())
            code = rename_(step->earlier, step->file->Path());
        else if (step->placed)
            std::remove(step->file->Path().c_str());
    }
    error_ = failure;
    Discard();
    return false;
}

void OutputSet::Discard() {
    for (OutputFile* file : files_) file->Discard();
}

void OutputSet::LockFolder(const std::string& path) {
    if (!held_) held_ = std::make_shared<FolderLock>(FolderOf(path));
}
