#include "tests/support/test_support.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

namespace testing_support {

ScratchDir::ScratchDir() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() / ("vantrel-test-" + std::to_string(random()));
    std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
}

CurrentDir::CurrentDir(const std::filesystem::path& dir) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
}

CurrentDir::~CurrentDir() { std::filesystem::current_path(previous_); }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Files(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

hm::ModelPtr OneTriangleModel() {
    hm::ModelPtr model(hm::CreateModel());
    hmMesh* mesh = hm::AddMesh(model.get(), "Tri");
    mesh->vertices = {hm::MakeVertex({0, 0, 0}, 0, 0), hm::MakeVertex({2, 0, 0}, 1, 0),
                      hm::MakeVertex({0, 4, 0}, 0, 1)};
    mesh->triangles = {{{0, 1, 2}}};
    model->totalFrames = 1;
    return model;
}

}  // namespace testing_support
