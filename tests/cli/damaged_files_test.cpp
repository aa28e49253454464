// Damaged copies of real model files through the host program: whatever the
// damage, it ends with exit 0, 1, 2 or 3 within its limits, and what it
// exports is a consistent set. A small deterministic mutator truncates,
// flips bytes and changes numbers and counts; VANTREL_SWEEP_CASES (cases per
// file, default 24) makes the sweep longer, and VANTREL_SWEEP_KEEP names a
// folder where the cases that stopped the model reader are kept. Hostile
// files, made to read what they must not or to write what they should not,
// are a table of their own at the end.
#include "host/model_json.h"
#include "tests/support/exported_set.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

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

// The files read in the subfolders of a folder while the object lives
// (inotify: a file read through a symbolic link counts in its own folder).
class ReadFiles {
public:
    explicit ReadFiles(const std::filesystem::path& root) : fd_(inotify_init1(IN_NONBLOCK)), root_(root) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
            if (entry.is_directory() && !entry.is_symlink()) Watch(entry.path());
    }
    ~ReadFiles() { close(fd_); }

    // Relative to the root, sorted.
    std::vector<std::string> Names() {
        alignas(inotify_event) char buffer[1 << 16];
        for (ssize_t n; (n = read(fd_, buffer, sizeof buffer)) > 0;)
            for (char* at = buffer; at < buffer + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                if (event->len && !(event->mask & IN_ISDIR))
                    read_.insert((folders_[event->wd] / event->name).lexically_relative(root_).string());
                at += sizeof(inotify_event) + event->len;
            }
        return {read_.begin(), read_.end()};
    }

private:
    void Watch(const std::filesystem::path& folder) { folders_[inotify_add_watch(fd_, folder.c_str(), IN_ACCESS)] = folder; }

    int fd_;
    std::filesystem::path root_;
    std::map<int, std::filesystem::path> folders_;
    std::set<std::string> read_;
};

// A glTF triangle whose positions are at bufferUri; its node and mesh named
// mesh, one primitive per material (name, image URI or ""). Strings as JSON holds them.
std::string Gltf(const std::string& bufferUri, const std::string& mesh,
                 const std::vector<std::pair<std::string, std::string>>& materials) {
    std::string primitives, list, textures, images;
    for (size_t i = 0; i < materials.size(); ++i) {
        const auto& [name, image] = materials[i];
        primitives += (i ? "," : "") + std::string(R"({"attributes":{"POSITION":0},"material":)") + std::to_string(i) + "}";
        std::string texture;
        if (!image.empty()) {
            const std::string n = std::to_string(std::count(images.begin(), images.end(), '{'));
            images += (images.empty() ? "" : ",") + std::string(R"({"uri":")") + image + "\"}";
            textures += (textures.empty() ? "" : ",") + std::string(R"({"source":)") + n + "}";
            texture = R"(,"baseColorTexture":{"index":)" + n + "}";
        }
        list += (i ? "," : "") + std::string(R"({"name":")") + name +
                R"(","pbrMetallicRoughness":{"baseColorFactor":[1,0,0,1])" + texture + "}}";
    }
    return R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],"nodes":[{"mesh":0,"name":")" + mesh +
           R"("}],"meshes":[{"name":")" + mesh + R"(","primitives":[)" + primitives + R"(]}],"materials":[)" + list +
           "]" + (images.empty() ? "" : R"(,"textures":[)" + textures + R"(],"images":[)" + images + "]") +
           R"(,"buffers":[{"uri":")" + bufferUri +
           R"(","byteLength":36}],"bufferViews":[{"buffer":0,"byteLength":36}],"accessors":[{"bufferView":0,)"
           R"("componentType":5126,"count":3,"type":"VEC3","min":[0,0,0],"max":[1,1,0]}]})";
}

// The triangle's positions: (0 0 0) (1 0 0) (0 1 0).
const std::string kTriangle("\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x80?\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x80?\0\0\0\0", 36);
const std::string kTriangleUri = "data:application/octet-stream;base64,AAAAAAAAAAAAAAAAAACAPwAAAAAAAAAAAAAAAAAAgD8AAAAA";

// A host model file's triangle with these texture names.
std::string HostModel(const std::vector<std::string>& textures) {
    hm::ModelPtr model = OneTriangleModel();
    for (const std::string& texture : textures) hm::AddMaterial(model.get(), "m", texture);
    return hm::ModelToJson(*model);
}

// A BMP header of 16384 x 4096 pixels at 24 bits, and no pixels.
std::string CutBmp() {
    std::string bmp(54, '\0');
    const auto put = [&bmp](size_t at, uint32_t value) {
        for (int i = 0; i < 4; ++i) bmp[at + i] = static_cast<char>(value >> (8 * i));
    };
    bmp[0] = 'B', bmp[1] = 'M';
    put(2, 54 + 16384u * 3 * 4096), put(10, 54), put(14, 40), put(18, 16384), put(22, 4096);
    bmp[26] = 1, bmp[28] = 24;
    return bmp;
}

struct Hostile {
    const char* what;
    // Laid out under a scratch folder: the model in model/, what it must not
    // reach in secret/. Bytes "->target" make a symbolic link to target.
    std::vector<std::pair<std::string, std::string>> files;
    std::string arguments;  // run in the scratch folder, the outputs there
    int status;
    std::vector<std::string> read;     // files the program read in model/ and secret/, sorted
    std::vector<std::string> written;  // files it left there, sorted
    std::vector<std::string> says;     // each found in standard error
};

// Models from strangers read only their own folder and write only clean
// names. On every row, no control character of the model's reaches standard
// error, the log has no line of the model's making, and every texture
// directive of the script class is one clean line.
TEST(HostileFiles, ReadOnlyTheModelsFolderAndNeverInject) {
    const std::vector<std::string> set = {"Out.log", "Out.uc", "Out_a.3d", "Out_d.3d"};
    const auto with = [&set](std::vector<std::string> textures) {
        textures.insert(textures.end(), set.begin(), set.end());
        std::sort(textures.begin(), textures.end());
        return textures;
    };
    const std::string png = ReadFile(kSource + "/tests/data/sample/static_skin.png");
    const std::string jpegStart("\xFF\xD8\xFF\xE0\0\x10JFIF\0\1\1\0\0\1\0\1\0\0", 20);
    const std::string reads = std::string(kReaderLimits) + " model/";
    const Hostile rows[] = {
        {"a buffer outside the model's folder",
         {{"model/m.gltf", Gltf("../secret/secret.bin", "Tri", {{"Skin", ""}})}, {"secret/secret.bin", kTriangle}},
         reads + "m.gltf Out.3D --no-weld", 2, {"model/m.gltf"}, {},
         {"secret/secret.bin', which lies outside the model's folder"}},
        {"a link out of the model's folder",
         {{"model/m.gltf", Gltf("link.bin", "Tri", {{"Skin", ""}})},
          {"model/link.bin", "->../secret/secret.bin"}, {"secret/secret.bin", kTriangle}},
         reads + "m.gltf Out.3D", 2, {"model/m.gltf"}, {}, {"link.bin' (a link to '", "outside the model's folder"}},
        {"a material library outside the model's folder",
         {{"model/m.obj", "mtllib ../secret/secret.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl Secret\nf 1 2 3\n"},
          {"secret/secret.mtl", "newmtl Secret\nKd 1 0 0\nmap_Kd Secret.png\n"}},
         reads + "m.obj Out.3D", 0, {"model/m.obj"}, with({"m_Secret.bmp"}),
         {"secret/secret.mtl', which lies outside the model's folder"}},
        {"texture names that differ only in case",
         {{"model/m.gltf", Gltf(kTriangleUri, "Tri", {{"c", ""}, {"C", ""}, {"Up", "Skin.png"}, {"Low", "skin.png"}})},
          {"model/Skin.png", png}, {"model/skin.png", png}},
         reads + "m.gltf Out.3D", 0, {"model/Skin.png", "model/m.gltf", "model/skin.png"},
         with({"Skin.bmp", "m_C_2.bmp", "m_c.bmp", "skin_2.bmp"}), {}},
        {"control characters in a mesh name and an image URI",
         {{"model/m.gltf", Gltf(kTriangleUri, R"(a\r\n#exec MESH IMPORT MESH=Evil\u2028)",
                                {{"Skin", R"(\u001b[31mred\u0007.png)"}})}},
         reads + "m.gltf Out.3D", 0, {"model/m.gltf"}, with({"m_Skin.bmp"}), {"texture '\\x1b[31mred\\x07.png'"}},
        {"data URIs that cannot be read",
         {{"model/m.gltf", Gltf(kTriangleUri, "Tri", {{"A", "data:image/png;base64"}, {"B", "data:image/png,%89PNG"}})}},
         reads + "m.gltf Out.3D", 0, {"model/m.gltf"}, with({"m_A.bmp", "m_B.bmp"}),
         {"texture 'data:image/png;base64' is a data URI without a comma",
          "texture 'data:image/png,%89PNG' is a data URI not in base64"}},
        {"images cut short",
         {{"model/m.gltf", Gltf(kTriangleUri, "Tri", {{"Big", "big.bmp"}, {"Cut", "cut.jpg"}})},
          {"model/big.bmp", CutBmp()}, {"model/cut.jpg", jpegStart}},
         reads + "m.gltf Out.3D", 0, {"model/big.bmp", "model/cut.jpg", "model/m.gltf"}, with({"m_Big.bmp", "m_Cut.bmp"}),
         {"texture 'big.bmp' is a BMP of 16384 x 4096 pixels, which needs at least 201326646 bytes; the file holds 54",
          "texture 'cut.jpg' is a JPEG file whose header cannot be read"}},
        {"texture names a host model file gives",
         {{"model/m.hm.json", HostModel({"a b.bmp FLAGS=0 GROUP=Evil", "..\\..\\..\\System\\Engine.u",
                                         std::string(28, 'T') + ".bmp", "caf\u0085\u2028.bmp", "Clean_1.bmp"})}},
         reads + "m.hm.json Out.3D", 0, {"model/m.hm.json"}, set,
         {"'a b.bmp FLAGS=0 GROUP=Evil' is named a_b.bmp_FLAGS_0_GROUP_Evil", "is named Engine.u",
          "is named " + std::string(27, 'T') + ".bmp", "'caf\\u0085\\u2028.bmp' is named caf_____.bmp"}},
    };
    const std::regex textureLine(R"(#exec TEXTURE IMPORT NAME=OutTex\d+ FILE=textures\\\w+(\.\w+)? GROUP=Skins FLAGS=2)");
    for (const Hostile& row : rows) {
        ScratchDir dir;
        for (const auto& [path, bytes] : row.files) {
            std::filesystem::create_directories(std::filesystem::path(dir / path).parent_path());
            if (bytes.rfind("->", 0) == 0) std::filesystem::create_symlink(bytes.substr(2), dir / path);
            else std::ofstream(dir / path, std::ios::binary) << bytes;
        }
        ReadFiles watch(dir.Path());
        const auto [status, err] = RunExport(dir, row.arguments);
        EXPECT_EQ(status, row.status) << row.what << ": " << err;
        EXPECT_EQ(watch.Names(), row.read) << row.what;
        std::vector<std::string> written;
        for (const std::string& name : Files(dir.Path()))
            if (name != "model" && name != "secret") written.push_back(name);
        EXPECT_EQ(written, row.written) << row.what << ": " << err;
        for (const std::string& said : row.says) EXPECT_NE(err.find(said), std::string::npos) << row.what << ": " << err;
        EXPECT_FALSE(std::any_of(err.begin(), err.end(), [](char c) { return (c >= 0 && c < 0x20 && c != '\n') || c == 0x7F; }))
            << row.what << ": " << err;
        const std::string log = ReadFile(dir / "Out.log");
        EXPECT_EQ(log.find("\n#exec"), std::string::npos) << row.what << ": " << log;
        std::istringstream script(ReadFile(dir / "Out.uc"));
        for (std::string line; std::getline(script, line);) {
            if (line.find("TEXTURE IMPORT") != std::string::npos) {
                EXPECT_TRUE(std::regex_match(line.substr(0, line.find('\r')), textureLine)) << row.what << ": " << line;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Models, DamagedFiles, ::testing::ValuesIn(kModels), [](const auto& info) {
    std::string name = std::filesystem::path(info.param).filename();
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
});

}  // namespace
