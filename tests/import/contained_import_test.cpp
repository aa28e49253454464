// The reader's child process and the binary form of what it hands back.
#include "host/model_json.h"
#include "import/child_process.h"
#include "import/contained_import.h"
#include "import/import_result_codec.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

namespace {

const std::string kData = TEST_DATA_DIR;
const std::string kExamples = EXAMPLES_DIR;

struct ChildCase {
    const char* name;
    std::function<std::string()> work;
    hm::ChildEnd end;
    int signal;
};

TEST(ReaderChild, TellsHowTheWorkEnded) {
    const hm::ChildLimits limits{256ull << 20, 2.0};
    const ChildCase cases[] = {
        {"a result larger than a pipe holds", [] { return std::string(3 << 20, 'x'); }, hm::ChildEnd::Finished, 0},
        {"a segmentation fault", [] { raise(SIGSEGV); return std::string(); }, hm::ChildEnd::Crashed, SIGSEGV},
        {"an abort", []() -> std::string { std::abort(); }, hm::ChildEnd::Crashed, SIGABRT},
        {"memory without end",
         [] {
             std::vector<std::vector<char>> held;
             for (;;) held.emplace_back(16 << 20, 'x');
             return std::string();
         },
         hm::ChildEnd::OutOfMemory, 0},
        {"a hang", [] { for (;;) pause(); return std::string(); }, hm::ChildEnd::TimedOut, 0},
    };
    for (const ChildCase& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        const hm::ChildOutcome outcome = hm::RunInChild(c.work, limits);
        EXPECT_EQ(outcome.end, c.end) << c.name;
        EXPECT_EQ(outcome.signal, c.signal) << c.name;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << c.name;
        if (c.end == hm::ChildEnd::Finished) EXPECT_EQ(outcome.bytes, std::string(3 << 20, 'x'));
        else EXPECT_EQ(outcome.bytes, "") << c.name;
    }
}

template <typename T, typename Fields>
void ExpectSame(const std::vector<T>& got, const std::vector<T>& expected, Fields fields) {
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_TRUE(fields(got[i]) == fields(expected[i])) << i;
}

TEST(ImportResultCodec, HandsBackTheWholeResult) {
    hm::ImportOptions options;
    const hm::ImportResult original = hm::ImportModel(kData + "/greenman/greenman.glb", options);
    ASSERT_TRUE(original.model) << original.error;
    ASSERT_FALSE(original.textures.empty());
    ASSERT_FALSE(original.warnings.empty());
    const hm::ImportResult contained = hm::ImportModelContained(kData + "/greenman/greenman.glb", options, {});
    ASSERT_TRUE(contained.model) << contained.error;
    EXPECT_EQ(hm::ModelToJson(*contained.model), hm::ModelToJson(*original.model));
    ExpectSame(contained.warnings, original.warnings,
               [](const hm::Warning& w) { return std::tie(w.kind, w.text, w.count, w.examples); });
    ExpectSame(contained.clips, original.clips,
               [](const hm::ClipInfo& c) { return std::tie(c.name, c.seconds, c.frameCount, c.startFrame, c.sequence); });
    ExpectSame(contained.textures, original.textures,
               [](const hm::TextureFile& t) { return std::tie(t.fileName, t.bytes, t.sourcePath); });
    EXPECT_EQ(contained.triangleTypes, original.triangleTypes);
    EXPECT_EQ(contained.unitCentimetres, original.unitCentimetres);
}

// Empty arrays (a mesh without triangles, a bone without keys, an empty
// texture) have no storage to copy from or to; the sanitizer build sees a copy.
TEST(ImportResultCodec, CarriesEmptyArrays) {
    hm::ImportResult result;
    result.model = testing_support::OneTriangleModel();
    hm::AddMesh(result.model.get(), "Empty");
    hm::AddBone(result.model.get(), "root", "", {0, 0, 0}, {0, 0, 0});
    result.textures.push_back({"empty.png", {}, ""});
    hm::ImportResult decoded;
    std::string error;
    ASSERT_TRUE(hm::DecodeImportResult(hm::EncodeImportResult(result), decoded, error)) << error;
    EXPECT_EQ(hm::ModelToJson(*decoded.model), hm::ModelToJson(*result.model));
    ASSERT_EQ(decoded.textures.size(), 1u);
    EXPECT_TRUE(decoded.textures[0].bytes.empty());
}

TEST(ImportResultCodec, RefusesAResultCutShortOrWithACountTooLarge) {
    hm::ImportResult result = hm::ImportModel(kExamples + "/totem.gltf", hm::ImportOptions{});
    ASSERT_TRUE(result.model) << result.error;
    const std::string bytes = hm::EncodeImportResult(result);
    hm::ImportResult decoded;
    std::string error;
    for (size_t length = 0; length < bytes.size(); length += 1 + length / 8)
        EXPECT_FALSE(hm::DecodeImportResult(std::string_view(bytes).substr(0, length), decoded, error)) << length;
    std::string inflated = bytes;
    const uint64_t huge = ~uint64_t{0} / 2;
    std::memcpy(inflated.data() + 4, &huge, sizeof huge);  // the error's length
    EXPECT_FALSE(hm::DecodeImportResult(inflated, decoded, error));
    EXPECT_TRUE(hm::DecodeImportResult(bytes, decoded, error)) << error;
}

}  // namespace
