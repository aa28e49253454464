// The reader's child process and the binary form of what it hands back.
#include "host/model_json.h"
#include "contained/child_process.h"
#include "contained/contained_import.h"
#include "contained/binary_form.h"
#include "contained/import_result_codec.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
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
    bool abortHandled = false;  // the parent handles SIGABRT, as a sanitizer does, by exiting
};

void ExitOnAbort(int) { _exit(99); }

TEST(ReaderChild, TellsHowTheWorkEnded) {
    const hm::ChildLimits limits{256ull << 20, 2.0};
    const ChildCase cases[] = {
        {"a result larger than a pipe holds", [] { return std::string(3 << 20, 'x'); }, hm::ChildEnd::Finished, 0},
        {"a segmentation fault", [] { raise(SIGSEGV); return std::string(); }, hm::ChildEnd::Crashed, SIGSEGV},
        {"an abort", []() -> std::string { std::abort(); }, hm::ChildEnd::Crashed, SIGABRT},
        {"an abort where the parent handles it", []() -> std::string { std::abort(); }, hm::ChildEnd::Crashed, SIGABRT,
         true},
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
        // On a loaded machine, filling the memory can take longer than the hang
        // is given: only the hang meets the time limit.
        hm::ChildLimits caseLimits = limits;
        if (c.end != hm::ChildEnd::TimedOut) caseLimits.seconds = 8.0;
        struct sigaction handled {}, previous{};
        handled.sa_handler = ExitOnAbort;
        if (c.abortHandled) sigaction(SIGABRT, &handled, &previous);
        const hm::ChildOutcome outcome = hm::RunInChild(c.work, caseLimits);
        if (c.abortHandled) sigaction(SIGABRT, &previous, nullptr);
        EXPECT_EQ(outcome.end, c.end) << c.name;
        EXPECT_EQ(outcome.signal, c.signal) << c.name;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << c.name;
        if (c.end == hm::ChildEnd::Finished) EXPECT_EQ(outcome.bytes, std::string(3 << 20, 'x'));
        else EXPECT_EQ(outcome.bytes, "") << c.name;
    }
}

// A child cannot be given more memory than a limit its parent was started
// under: what it ran under is named, not what was asked for.
TEST(ReaderChild, NamesTheMemoryLimitItRanUnder) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer builds bound resident memory, not address space";
#endif
    const hm::ChildOutcome outer = hm::RunInChild(
        [] {
            const rlimit started{1024ull << 20, 1024ull << 20};
            setrlimit(RLIMIT_AS, &started);
            const hm::ChildOutcome inner = hm::RunInChild(
                [] {
                    std::vector<std::vector<char>> held;
                    for (;;) held.emplace_back(16 << 20, 'x');
                    return std::string();
                },
                {4096ull << 20, 8.0});
            return std::to_string(static_cast<int>(inner.end)) + " " + std::to_string(inner.memoryBytes >> 20);
        },
        {0, 20.0});
    EXPECT_EQ(outer.bytes, std::to_string(static_cast<int>(hm::ChildEnd::OutOfMemory)) + " 1024");
}

template <typename T, typename Fields>
void ExpectSame(const std::vector<T>& got, const std::vector<T>& expected, Fields fields) {
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_TRUE(fields(got[i]) == fields(expected[i])) << i;
}

TEST(ImportResultCodec, HandsBackTheWholeResult) {
    hm::ImportOptions options;
    const hm::ImportResult original = hm::ImportModel(kData + "/greenman/greenman.glb", options);
    ASSERT_TRUE(original.model) << original.error.message;
    ASSERT_FALSE(original.textures.empty());
    ASSERT_FALSE(original.warnings.empty());
    const hm::ImportResult contained = hm::ImportModelContained(kData + "/greenman/greenman.glb", options, {});
    ASSERT_TRUE(contained.model) << contained.error.message;
    EXPECT_EQ(hm::ModelToJson(*contained.model), hm::ModelToJson(*original.model));
    ExpectSame(contained.warnings, original.warnings,
               [](const hm::Warning& w) { return std::tie(w.kind, w.text, w.count, w.examples); });
    ExpectSame(contained.clips, original.clips,
               [](const hm::ClipInfo& c) { return std::tie(c.name, c.seconds, c.frameCount, c.startFrame, c.sequence, c.rate); });
    ExpectSame(contained.textures, original.textures,
               [](const hm::TextureFile& t) { return std::tie(t.fileName, t.bytes, t.sourcePath); });
    EXPECT_EQ(contained.triangleTypes, original.triangleTypes);
    EXPECT_EQ(contained.unitCentimetres, original.unitCentimetres);
}

// Every field away from its default arrives; bound whole, so that a field
// added to the result must be set and checked here.
TEST(ImportResultCodec, CarriesEveryField) {
    hm::ImportResult result;
    result.model = testing_support::OneTriangleModel();
    result.error = Fault(ErrorKind::kLimit, "Guard.fbx: 129 bones");
    hm::AddWarning(result.warnings, hm::WarningKind::ScaledRest, "two bones rest scaled", 2, {"Hip", "Knee"});
    result.clips = {{"Walk", 1.5, 46, 0, "Walk", 10}};
    result.textures = {{"skin.bmp", {1, 2, 3}, "skin.png"}};
    result.triangleTypes = {1, 18};
    result.cornerTexCoords = {0.25f, 0.5f, 1, 0, 0, 1};
    result.unitCentimetres = 2.54;
    result.exact = std::make_unique<hm::imp::ExactScene>();
    result.exact->fps = 24;
    result.exact->nodeParent = {-1, 0};
    result.exact->meshes.emplace_back().framePoint = {2, 0};
    hm::imp::VertexFrames& frames = result.exact->frames;
    frames = {3, 2, {1, 0}, {}, "walk.pc2", 32, 40, hm::imp::PointEncoding::kFloatBig};
    hm::AddWarning(result.hostLosses, hm::WarningKind::TooManyBones, "130 bones");
    result.fit.welded = true;
    result.fit.verticesAfterWeld = 7;
    const hm::DecodedImportResult decoded = hm::DecodeImportResult(hm::EncodeImportResult(result));
    ASSERT_EQ(decoded.problem, "");
    const auto& [model, error, warnings, clips, textures, types, cornerUvs, unit, exact, losses, fit] = decoded.result;
    ASSERT_TRUE(model && exact);
    EXPECT_EQ(hm::ModelToJson(*model), hm::ModelToJson(*result.model));
    EXPECT_EQ(std::tie(error.kind, error.message), std::tie(result.error.kind, result.error.message));
    const auto warning = [](const hm::Warning& w) { return std::tie(w.kind, w.text, w.count, w.examples); };
    ExpectSame(warnings, result.warnings, warning);
    ExpectSame(losses, result.hostLosses, warning);
    ExpectSame(clips, result.clips,
               [](const hm::ClipInfo& c) { return std::tie(c.name, c.seconds, c.frameCount, c.startFrame, c.sequence, c.rate); });
    ExpectSame(textures, result.textures,
               [](const hm::TextureFile& t) { return std::tie(t.fileName, t.bytes, t.sourcePath); });
    EXPECT_EQ(types, result.triangleTypes);
    EXPECT_EQ(cornerUvs, result.cornerTexCoords);
    EXPECT_EQ(unit, result.unitCentimetres);
    EXPECT_EQ(std::tie(exact->fps, exact->nodeParent), std::tie(result.exact->fps, result.exact->nodeParent));
    ASSERT_EQ(exact->meshes.size(), 1u);
    EXPECT_EQ(exact->meshes[0].framePoint, result.exact->meshes[0].framePoint);
    const auto vertexFrames = [](const hm::imp::VertexFrames& f) {
        return std::tie(f.points, f.fileFrames, f.timeline, f.positions, f.path, f.offset, f.stride, f.encoding);
    };
    EXPECT_EQ(vertexFrames(exact->frames), vertexFrames(frames));
    frames = {1, 1, {0}, {1.5f, -2, 3}, "", 0, 0, hm::imp::PointEncoding::kFloatLittle};
    EXPECT_EQ(hm::DecodeImportResult(hm::EncodeImportResult(result)).result.exact->frames.positions, frames.positions);
    EXPECT_EQ(std::tie(fit.welded, fit.verticesAfterWeld), std::tie(result.fit.welded, result.fit.verticesAfterWeld));
}

// Empty arrays (a mesh without triangles, a bone without keys, an empty
// texture) have no storage to copy from or to; the sanitizer build sees a copy.
TEST(ImportResultCodec, CarriesEmptyArrays) {
    hm::ImportResult result;
    result.model = testing_support::OneTriangleModel();
    hm::AddMesh(result.model.get(), "Empty");
    hm::AddBone(result.model.get(), "root", "", {0, 0, 0}, {0, 0, 0});
    result.textures.push_back({"empty.png", {}, ""});
    const hm::DecodedImportResult decoded = hm::DecodeImportResult(hm::EncodeImportResult(result));
    ASSERT_EQ(decoded.problem, "");
    EXPECT_EQ(hm::ModelToJson(*decoded.result.model), hm::ModelToJson(*result.model));
    ASSERT_EQ(decoded.result.textures.size(), 1u);
    EXPECT_TRUE(decoded.result.textures[0].bytes.empty());
}

// A failed import reaches the program with its kind, which decides the exit
// status; a kind this program does not know is a damaged result.
TEST(ImportResultCodec, CarriesTheFailureAndRefusesAKindItDoesNotKnow) {
    hm::ImportResult result;
    result.error = Fault(ErrorKind::kLimit, "big.gltf: 129 bones");
    const hm::DecodedImportResult decoded = hm::DecodeImportResult(hm::EncodeImportResult(result));
    EXPECT_EQ(decoded.problem, "");
    EXPECT_EQ(decoded.result.error.kind, ErrorKind::kLimit);
    EXPECT_EQ(decoded.result.error.message, "big.gltf: 129 bones");
    result.error.kind = static_cast<ErrorKind>(static_cast<int>(ErrorKind::kWriteFailed) + 1);
    EXPECT_EQ(hm::DecodeImportResult(hm::EncodeImportResult(result)).problem,
              "the import result is cut short or damaged");
}

TEST(ImportResultCodec, RefusesAResultCutShortOrWithACountTooLarge) {
    hm::ImportResult result = hm::ImportModel(kExamples + "/totem.gltf", hm::ImportOptions{});
    ASSERT_TRUE(result.model) << result.error.message;
    const std::string bytes = hm::EncodeImportResult(result);
    for (size_t length = 0; length < bytes.size(); length += 1 + length / 8)
        EXPECT_NE(hm::DecodeImportResult(std::string_view(bytes).substr(0, length)).problem, "") << length;
    std::string inflated = bytes;
    const uint64_t huge = ~uint64_t{0} / 2;
    std::memcpy(inflated.data() + 8, &huge, sizeof huge);  // the error's length, after magic and version
    EXPECT_EQ(hm::DecodeImportResult(inflated).problem, "the import result is cut short or damaged");
    std::string otherVersion = bytes;
    otherVersion[4] ^= 1;
    EXPECT_NE(hm::DecodeImportResult(otherVersion).problem.find("version"), std::string::npos);
    EXPECT_EQ(hm::DecodeImportResult(bytes).problem, "");
}

// Structs for the binary form: a field is added in one place, the description.
struct Part {
    std::string name;
    std::vector<int16_t> values;
};
template <typename Archive>
void Fields(Archive& a, Part& part) {
    a(part.name, part.values);
}
struct Whole {
    int32_t count = 0;
    std::vector<Part> parts;
    std::unique_ptr<Part> spare;
    double added = 0;  // the field added: named once, below
};
template <typename Archive>
void Fields(Archive& a, Whole& whole) {
    a(whole.count, whole.parts, whole.spare, whole.added);
}

TEST(BinaryForm, WritesAndReadsFromOneDescription) {
    Whole whole;
    whole.count = 7;
    whole.parts = {{"a", {1, -2}}, {"", {}}};
    whole.spare = std::make_unique<Part>(Part{"spare", {3}});
    whole.added = 2.5;
    hm::binary::Writer out;
    out(whole);
    const std::string bytes = out.Take();
    Whole read;
    hm::binary::Reader in(bytes);
    in(read);
    ASSERT_FALSE(in.Failed());
    EXPECT_TRUE(in.AtEnd());
    EXPECT_EQ(read.count, 7);
    ASSERT_EQ(read.parts.size(), 2u);
    EXPECT_EQ(read.parts[0].name, "a");
    EXPECT_EQ(read.parts[0].values, (std::vector<int16_t>{1, -2}));
    EXPECT_TRUE(read.parts[1].values.empty());
    ASSERT_TRUE(read.spare);
    EXPECT_EQ(read.spare->name, "spare");
    EXPECT_EQ(read.added, 2.5);
    // A count larger than the bytes could hold is refused before anything is allocated.
    std::string inflated = bytes;
    const uint64_t huge = uint64_t{1} << 40;
    std::memcpy(inflated.data() + sizeof(int32_t), &huge, sizeof huge);
    hm::binary::Reader damaged(inflated);
    Whole refused;
    damaged(refused);
    EXPECT_TRUE(damaged.Failed());
}

// What a Windows reader's child is asked: every option arrives, and a
// request cut short is refused rather than read with defaults.
TEST(ImportRequestCodec, CarriesEveryOptionAndRefusesACutRequest) {
    hm::ImportOptions options;
    options.scale = 0.01;
    options.fps = 24;
    options.fileRate = true;
    options.clips = {"Hop", "Sway"};
    options.force = true;
    options.exact = true;
    options.weld = false;
    options.simplify = {1000, 0.5, true};
    options.textureSide = 64;
    options.textureFolders = {"textures", "../shared é"};
    options.numberFileVertices = true;
    // Every field away from its default, so that one the codec drops shows;
    // bound whole, so that a field added to the options must be set here.
    const hm::ImportOptions defaults;
    const auto& [scale, fps, fileRate, clips, force, exact, weld, simplify, side, folders, numbered] = options;
    const auto& [scale0, fps0, fileRate0, clips0, force0, exact0, weld0, simplify0, side0, folders0, numbered0] = defaults;
    EXPECT_TRUE(scale != scale0 && fps != fps0 && fileRate != fileRate0 && clips != clips0 && force != force0 && exact != exact0 &&
                weld != weld0 && simplify.triangles != simplify0.triangles && simplify.fraction != simplify0.fraction &&
                simplify.fit != simplify0.fit && side != side0 && folders != folders0 && numbered != numbered0);
    const std::string bytes = hm::EncodeImportRequest("dir/Gu ard é.glb", options);
    std::string path;
    hm::ImportOptions decoded;
    ASSERT_TRUE(hm::DecodeImportRequest(bytes, path, decoded));
    EXPECT_EQ(path, "dir/Gu ard é.glb");
    EXPECT_TRUE(decoded == options);
    for (size_t length = 0; length < bytes.size(); ++length) {
        hm::ImportOptions cut;
        EXPECT_FALSE(hm::DecodeImportRequest(std::string_view(bytes).substr(0, length), path, cut)) << length;
    }
}

}  // namespace
