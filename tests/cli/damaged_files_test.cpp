// Damaged copies of real model files through the host program: whatever the
// damage, it ends with exit 0, 1, 2 or 3 within its limits, and what it
// exports is a consistent set. A small deterministic mutator truncates,
// flips bytes and changes numbers and counts; VANTREL_SWEEP_CASES (cases per
// file, default 24) makes the sweep longer, and VANTREL_SWEEP_KEEP names a
// folder where the cases that stopped the model reader are kept.
#include "tests/support/exported_set.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>

using namespace testing_support;

namespace {

const std::string kSource = VANTREL_SOURCE_DIR;

// The reader's limits for each case, and the time after which the case
// counts as hung: the reader's limit and the export's time, with room to spare.
constexpr const char* kReaderLimits = "--timeout 10 --max-memory 1536";
constexpr int kCaseSeconds = 60;

const char* const kModels[] = {
    "examples/sample.hm.json",       "examples/totem.gltf",
    "tests/data/RiggedSimple/RiggedSimple.gltf", "tests/data/SimpleSkin/SimpleSkin.gltf",
    "tests/data/greenman/greenman.glb", "tests/data/sample/animated.fbx",
    "tests/data/sample/animated_arm.dae", "tests/data/sample/static.dae",
    "tests/data/sample/static_zup.dae", "tests/data/sample/static_scaled.gltf",
    "tests/data/sample/two_armatures.fbx",
    // Read by our own readers, in this process.
    "fuzz/seeds/square.md2", "fuzz/seeds/square.md3", "fuzz/seeds/square.mdc", "fuzz/seeds/square_quake.mdl",
    "fuzz/seeds/square_mdl5.mdl", "tests/data/golden/Sample.uc", "tests/data/golden/Sample_d.3d",
    "tests/data/golden/Sample_a.3d", "fuzz/seeds/twist.pc2", "fuzz/seeds/twist.mdd",
};

// What a damaged file needs beside it, as it is: the rest of its set, or the
// OBJ whose vertices a point cache moves (which names the cache), and the
// file the program is given.
struct Beside {
    std::vector<std::string> files;
    std::string model;
};

Beside FilesBeside(const std::string& model) {
    const std::filesystem::path path(model);
    const std::string name = path.filename(), ext = path.extension();
    if (ext == ".pc2" || ext == ".mdd") return {{path.stem().string() + ".obj"}, path.stem().string() + ".obj"};
    for (const std::string suffix : {"_a.3d", "_d.3d", ".uc"})
        if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
            const std::string base = name.substr(0, name.size() - suffix.size());
            std::vector<std::string> set;
            for (const std::string other : {"_a.3d", "_d.3d", ".uc"})
                if (other != suffix) set.push_back(base + other);
            return {set, name};
        }
    return {{}, name};
}

uint64_t Mix(uint64_t x) {  // splitmix64: every case's choices from its number alone
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

struct Damage {
    std::string bytes;
    std::string what;
};

// Numbers written as text (XML, JSON, OBJ), and where they are.
std::vector<std::pair<size_t, size_t>> TextNumbers(const std::string& bytes) {
    static const std::regex number(R"([-+]?[0-9]+(\.[0-9]+)?([eE][-+]?[0-9]+)?)");
    std::vector<std::pair<size_t, size_t>> found;
    for (auto it = std::sregex_iterator(bytes.begin(), bytes.end(), number); it != std::sregex_iterator(); ++it)
        found.emplace_back(static_cast<size_t>(it->position()), static_cast<size_t>(it->length()));
    return found;
}

// Case k of a file: a truncation, flipped bytes, a number in the text
// replaced, or a 32-bit binary count replaced (in turn).
Damage Damaged(const std::string& original, uint64_t seed, int k) {
    uint64_t random = Mix(seed ^ Mix(static_cast<uint64_t>(k)));
    auto next = [&random] { return random = Mix(random); };
    Damage damage{original, ""};
    std::string& bytes = damage.bytes;
    switch (k % 4) {
        case 0: {
            const size_t length = next() % bytes.size();
            bytes.resize(length);
            damage.what = "cut at " + std::to_string(length);
            break;
        }
        case 1: {
            const int flips = 1 + static_cast<int>(next() % 4);
            for (int i = 0; i < flips; ++i) {
                const size_t at = next() % bytes.size();
                bytes[at] = static_cast<char>(bytes[at] ^ (1 + next() % 255));
                damage.what += "byte " + std::to_string(at) + " flipped; ";
            }
            break;
        }
        case 2: {
            static const char* const values[] = {"0", "-1", "65536", "2147483648", "4294967295", "999999999",
                                                 "1e38", "-1e38", "nan", "3", "1e-45"};
            const auto numbers = TextNumbers(bytes);
            if (numbers.empty()) return Damaged(original, seed, k + 1);
            const auto [at, length] = numbers[next() % numbers.size()];
            const char* value = values[next() % std::size(values)];
            damage.what = "number " + bytes.substr(at, length) + " at " + std::to_string(at) + " made " + value;
            bytes.replace(at, length, value);
            break;
        }
        default: {
            // A little-endian 32-bit value that looks like a count or an offset.
            static const uint32_t values[] = {0, 0xFFFFFFFF, 0x7FFFFFFF, 0x10000, 0x00FFFFFF};
            std::vector<size_t> counts;
            for (size_t at = 0; at + 4 <= bytes.size(); ++at) {
                uint32_t value;
                std::memcpy(&value, bytes.data() + at, 4);
                if (value >= 1 && value <= 100000) counts.push_back(at);
            }
            if (counts.empty()) return Damaged(original, seed, k + 1);
            const size_t at = counts[next() % counts.size()];
            const uint32_t value = values[next() % std::size(values)];
            std::memcpy(bytes.data() + at, &value, 4);
            damage.what = "32-bit value at " + std::to_string(at) + " made " + std::to_string(value);
            break;
        }
    }
    return damage;
}

struct Ended {
    int status;  // -1 when a signal ended the program
    std::string err;
};

// The host program in dir, killed when it overruns the case's time.
Ended RunExport(const ScratchDir& dir, const std::string& arguments) {
    const std::string command = "cd '" + dir.Path().string() + "' && timeout -s KILL " +
                                std::to_string(kCaseSeconds) + " " + VANTREL_EXPORT_PATH + " " + arguments +
                                " >.stdout 2>.stderr </dev/null";
    const int raw = std::system(command.c_str());
    Ended ended{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(dir / ".stderr")};
    std::filesystem::remove(dir / ".stdout");
    std::filesystem::remove(dir / ".stderr");
    return ended;
}

int CasesPerFile() {
    const char* text = std::getenv("VANTREL_SWEEP_CASES");
    return text ? std::max(1, std::atoi(text)) : 24;
}

class DamagedFiles : public ::testing::TestWithParam<const char*> {};

TEST_P(DamagedFiles, EndCleanlyWithinTheLimitsAndExportConsistentSets) {
    const std::string model = GetParam();
    const std::string original = ReadFile(kSource + "/" + model);
    ASSERT_FALSE(original.empty()) << model;
    const std::string name = std::filesystem::path(model).filename();
    const uint64_t seed = std::hash<std::string>{}(name);
    std::map<std::string, int> outcomes;
    for (int k = 0; k < CasesPerFile(); ++k) {
        const Damage damage = Damaged(original, seed, k);
        ScratchDir dir;
        std::ofstream(dir / name, std::ios::binary) << damage.bytes;
        const Beside beside = FilesBeside(model);
        std::vector<std::string> given = {name};
        for (const std::string& file : beside.files) {
            std::filesystem::copy_file(std::filesystem::path(kSource + "/" + model).parent_path() / file, dir / file);
            given.push_back(file);
        }
        std::sort(given.begin(), given.end());
        const auto [status, err] = RunExport(dir, std::string(kReaderLimits) + " '" + beside.model + "' Out.3D");
        const std::string context = model + " case " + std::to_string(k) + " (" + damage.what + "): " + err;
        std::string outcome = "exit " + std::to_string(status);
        for (const auto& [said, stop] : {std::pair{"reader crashed", "reader crashed"},
                                         {"without a result", "reader stopped"},
                                         {"of memory", "reader out of memory"},
                                         {"did not finish", "reader out of time"}})
            if (err.find(said) != std::string::npos) outcome = stop;
        ++outcomes[outcome];
        if (outcome.rfind("reader", 0) == 0 && std::getenv("VANTREL_SWEEP_KEEP"))
            std::ofstream(std::string(std::getenv("VANTREL_SWEEP_KEEP")) + "/" + std::to_string(k) + "-" + name,
                          std::ios::binary)
                << damage.bytes;
        ASSERT_TRUE(status >= 0 && status <= 3) << "exit " << status << ", " << context;
        if (status == 0)
            EXPECT_EQ(CheckExportedSet(dir / "Out", true), "") << context;
        else
            EXPECT_EQ(Files(dir.Path()), given) << "written after a failure: " << context;
    }
    std::string summary;
    for (const auto& [outcome, count] : outcomes) summary += " " + outcome + ": " + std::to_string(count) + ";";
    std::cout << model << ":" << summary << "\n";
}

struct Reproducer {
    const char* file;
    const char* limits;
    const char* says;
};

// Collada files damaged as the sweep damages them, on which Assimp's reader
// crashes or runs away: the program still ends with exit 2, within the limits,
// says what happened and writes nothing.
TEST(DamagedFiles, ThatStopTheReaderEndWithExitTwoAndAClearMessage) {
    const Reproducer cases[] = {
        {"segfault.dae", "", "the model reader crashed on this file (signal 11): the file is damaged or uses a "
                             "feature the reader does not handle"},
        {"assertion.dae", "", "the model reader crashed on this file (signal 6)"},
        {"runaway.dae", "--max-memory 256", "the model reader needed more than 256 MB of memory for this file"},
        {"runaway.dae", "--timeout 1", "the model reader did not finish this file within 1 s"},
    };
    for (const Reproducer& c : cases) {
        ScratchDir dir;
        const auto start = std::chrono::steady_clock::now();
        const auto [status, err] =
            RunExport(dir, std::string(c.limits) + " '" + kSource + "/tests/data/damaged/" + c.file + "' Out.3D");
        EXPECT_EQ(status, 2) << c.file << " " << c.limits << ": " << err;
        EXPECT_NE(err.find(c.says), std::string::npos) << c.file << " " << c.limits << ": " << err;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << c.file << " " << c.limits;
        EXPECT_TRUE(Files(dir.Path()).empty()) << c.file << " " << c.limits;
    }
}

INSTANTIATE_TEST_SUITE_P(Models, DamagedFiles, ::testing::ValuesIn(kModels), [](const auto& info) {
    std::string name = std::filesystem::path(info.param).filename();
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
});

}  // namespace
