// Helpers the test suites share: scratch directories, whole-file reads, and
// small models built in code.
#pragma once

#include "host/host_model.h"

#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

// A fresh empty directory under the system's temporary directory, removed
// (with everything in it) when the object goes.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    const std::filesystem::path& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Makes dir the current directory for the object's lifetime (the run writes
// its log to the current directory).
class CurrentDir {
public:
    explicit CurrentDir(const std::filesystem::path& dir);
    ~CurrentDir();

private:
    std::filesystem::path previous_;
};

std::string ReadFile(const std::string& path);
std::vector<std::string> Files(const std::filesystem::path& dir);  // names, sorted

// One mesh, three unbound vertices, one triangle (0, 1, 2).
hm::ModelPtr OneTriangleModel();

}  // namespace testing_support
