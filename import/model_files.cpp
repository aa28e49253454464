#include "import/model_files.h"

#include "host/warnings.h"

#include <assimp/MemoryIOWrapper.h>

#include <algorithm>
#include <cstring>

namespace hm::imp {

namespace fs = std::filesystem;

bool Within(const fs::path& path, const fs::path& folder) {
    auto p = path.begin();
    for (auto f = folder.begin(); f != folder.end(); ++f, ++p) {
        if (f->empty()) continue;  // a trailing separator
        if (p == path.end() || *p != *f) return false;
    }
    return true;
}

namespace {

fs::path Resolved(const fs::path& path) {
    std::error_code code;
    fs::path real = fs::weakly_canonical(fs::absolute(path, code), code);
    return code ? fs::path() : real;
}

}  // namespace

FolderRule::FolderRule(const std::string& modelPath, const std::vector<std::string>& folders) {
    std::error_code code;
    folders_.push_back(Resolved(fs::absolute(fs::path(modelPath), code).parent_path()));
    for (const std::string& folder : folders) folders_.push_back(Resolved(folder));
}

FolderRule::Verdict FolderRule::Judge(const fs::path& path) const {
    Verdict verdict;
    const fs::path real = Resolved(path);
    std::error_code code;
    if (real.empty() || !fs::is_regular_file(real, code)) return verdict;
    if (std::none_of(folders_.begin(), folders_.end(),
                     [&](const fs::path& folder) { return !folder.empty() && Within(real, folder); })) {
        verdict.outside = true;
        return verdict;
    }
    verdict.real = real;
    return verdict;
}

std::string FolderRule::Describe(const std::string& path) {
    std::error_code code;
    const fs::path shown = fs::absolute(fs::path(path), code).lexically_normal();
    const fs::path real = Resolved(path);
    std::string text = "'" + Printable(shown.string()) + "'";
    if (!real.empty() && real != shown) text += " (a link to '" + Printable(real.string()) + "')";
    return text;
}

ModelFileSystem::ModelFileSystem(std::string modelPath, std::string rewritten, FolderRule rule)
    : model_(std::move(modelPath)), rewritten_(std::move(rewritten)), rule_(std::move(rule)) {}

bool ModelFileSystem::IsModel(const char* file) const {
    return file && (model_ == file || ComparePaths(file, model_.c_str()));
}

fs::path ModelFileSystem::Allowed(const char* file) const {
    const FolderRule::Verdict verdict = rule_.Judge(fs::path(file));
    // Readers ask for a file by more than one path (Exists, then Open): each file is named once.
    if (verdict.outside && refusedSet_.insert(Resolved(file).string()).second) refused_.push_back(file);
    return verdict.real;
}

bool ModelFileSystem::Exists(const char* file) const {
    if (!file) return false;
    if (IsModel(file)) return DefaultIOSystem::Exists(file);
    return !Allowed(file).empty();
}

Assimp::IOStream* ModelFileSystem::Open(const char* file, const char* mode) {
    if (!file) return nullptr;
    if (IsModel(file)) {
        if (!rewritten_.empty())
            return new Assimp::MemoryIOStream(reinterpret_cast<const uint8_t*>(rewritten_.data()), rewritten_.size(),
                                              false);
        return DefaultIOSystem::Open(file, mode);
    }
    // A reader only reads.
    if (mode && std::strpbrk(mode, "wa+")) return nullptr;
    const fs::path real = Allowed(file);
    if (real.empty()) return nullptr;
    return DefaultIOSystem::Open(real.string().c_str(), mode ? mode : "rb");
}

}  // namespace hm::imp
