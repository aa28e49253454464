// The files a model names besides itself (buffers, material libraries,
// images) are read only from the model's folder and the folders the user
// named with --texture-folder, each with everything below it. A path is
// resolved before it is judged (made absolute, `..` and symbolic links
// followed), so neither leads out. One rule for every reader: Assimp reads
// through the IO system below, and the importer looks for images with it.
#pragma once

#include <assimp/DefaultIOSystem.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace hm::imp {

// Whether path, already resolved, lies in folder or below it (compared part
// by part, so that /a/bc is not within /a/b).
bool Within(const std::filesystem::path& path, const std::filesystem::path& folder);

class FolderRule {
public:
    FolderRule(const std::string& modelPath, const std::vector<std::string>& folders);

    struct Verdict {
        std::filesystem::path real;  // the file's resolved path; empty when it may not be read
        bool outside = false;        // it exists, and lies outside every allowed folder
    };
    // A regular file in an allowed folder, or why not.
    Verdict Judge(const std::filesystem::path& path) const;

    // The allowed folders, resolved: the model's first.
    const std::vector<std::filesystem::path>& Folders() const { return folders_; }

    // "'<path>'", absolute and without `..`, and what it resolves to when
    // that is another place (a symbolic link): for messages.
    static std::string Describe(const std::string& path);

private:
    std::vector<std::filesystem::path> folders_;
};

// What Assimp reads: the model file itself (its bytes from `rewritten` when
// that is not empty, see file_names.h), and every other file only as the rule
// allows. Each file refused for lying outside is kept, to be named.
class ModelFileSystem : public Assimp::DefaultIOSystem {
public:
    ModelFileSystem(std::string modelPath, std::string rewritten, FolderRule rule);

    bool Exists(const char* file) const override;
    Assimp::IOStream* Open(const char* file, const char* mode = "rb") override;

    // The paths refused, as Assimp asked for them, in the order asked.
    const std::vector<std::string>& Refused() const { return refused_; }

private:
    bool IsModel(const char* file) const;
    std::filesystem::path Allowed(const char* file) const;

    std::string model_;
    std::string rewritten_;
    FolderRule rule_;
    mutable std::vector<std::string> refused_;
    mutable std::set<std::string> refusedSet_;  // their resolved paths
};

}  // namespace hm::imp
