#include "export/animation_file.h"
#include "export/export_run.h"
#include "platform/platform_ui.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <string>

using namespace testing_support;

namespace {

class RunTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::ClearRecords();
        platform::SetMessagesPrinted(false);
        platform::SetSaveDialogPrompt(false);
        platform::SetSaveDialogAnswer(std::nullopt);
    }

    // Runs the export on model, counting how often it is released; a model
    // the run leaves alone is freed here.
    int32_t RunCounting(hm::ModelPtr model) {
        hmModel* raw = model.release();
        raw->onDestroy = [this](const hmModel*) { ++released; };
        int32_t result = ::Run(raw);
        if (released == 0) {
            raw->onDestroy = nullptr;
            hmModel_Destroy(raw);
        }
        return result;
    }

    ScratchDir dir;
    CurrentDir inDir{dir.Path()};
    int released = 0;
};

TEST_F(RunTest, NullModelReturnsMinusOneAndShowsNothing) {
    EXPECT_EQ(::Run(nullptr), -1);
    EXPECT_TRUE(platform::ShownMessages().empty());
    EXPECT_TRUE(platform::DialogRequests().empty());
}

TEST_F(RunTest, EmptyModelShowsTheMessageAndLeavesEverythingAlone) {
    platform::SetSaveDialogAnswer(dir / "Guard.3D");
    EXPECT_EQ(RunCounting(hm::ModelPtr(hm::CreateModel())), 0);

    auto messages = platform::ShownMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "The model is empty!  Nothing exported!");
    EXPECT_EQ(messages[0].caption, "Vantrel Export");
    EXPECT_EQ(messages[0].type, 0x30u);
    EXPECT_TRUE(platform::DialogRequests().empty());
    EXPECT_EQ(released, 0);
    EXPECT_TRUE(Files(dir.Path()).empty());
}

TEST_F(RunTest, CancelledDialogWritesNothingAndKeepsTheModel) {
    EXPECT_EQ(RunCounting(OneTriangleModel()), 0);
    EXPECT_EQ(platform::DialogRequests().size(), 1u);
    EXPECT_TRUE(platform::ShownMessages().empty());
    EXPECT_EQ(released, 0);
    EXPECT_TRUE(Files(dir.Path()).empty());
}

// A host program's planned request: the plug-in asks and shows nothing, and
// leaves every end in the outcome for the program to report.
TEST_F(RunTest, PlannedRequestRunsWithoutDialogAndLeavesEveryEndInTheOutcome) {
    struct Case {
        const char* name;
        bool empty;
        std::string destination;
        ErrorKind kind;
        int releases;
        size_t written;
    };
    const std::vector<Case> cases = {
        {"empty model", true, dir / "Guard.3D", ErrorKind::kNothingExported, 0, 0},
        {"written", false, dir / "Guard.3D", ErrorKind::kNone, 1, 3},
        {"unwritable", false, "/proc/Guard.3D", ErrorKind::kWriteFailed, 1, 0},
    };
    for (const Case& c : cases) {
        platform::ClearRecords();
        released = 0;
        ExportRequest request;
        request.destination = c.destination;
        ExportOutcome outcome;
        hmExportExtension extension;
        extension.request = &request;
        extension.outcome = &outcome;
        hm::ModelPtr model = c.empty ? hm::ModelPtr(hm::CreateModel()) : OneTriangleModel();
        model->exportExtension = &extension;
        EXPECT_EQ(RunCounting(std::move(model)), c.kind == ErrorKind::kWriteFailed ? -1 : 0) << c.name;
        EXPECT_EQ(outcome.error.kind, c.kind) << c.name << ": " << outcome.error.message;
        EXPECT_EQ(released, c.releases) << c.name;
        EXPECT_EQ(outcome.written.size(), c.written) << c.name;
        EXPECT_TRUE(platform::DialogRequests().empty()) << c.name;
        EXPECT_TRUE(platform::ShownMessages().empty()) << c.name;
    }
    EXPECT_TRUE(std::filesystem::exists(dir / "Guard_a.3d"));
}

TEST_F(RunTest, DialogIsAskedWithTheExpectedRequest) {
    RunCounting(OneTriangleModel());
    auto requests = platform::DialogRequests();
    ASSERT_EQ(requests.size(), 1u);
    const platform::DialogRequest& request = requests[0];
    EXPECT_EQ(request.structSize, OPENFILENAME_SIZE_VERSION_400A);
    EXPECT_FALSE(request.hasOwner);
    EXPECT_EQ(request.filter,
              (std::vector<std::string>{".3D Files (*.3D)", "*.3D", "All Files (*.*)", "*.*"}));
    EXPECT_EQ(request.filterIndex, 0u);
    EXPECT_EQ(request.maxFile, 256u);
    EXPECT_EQ(request.maxFileTitle, 256u);
    EXPECT_EQ(request.title, "Export Vantrel 3D");
    EXPECT_EQ(request.flags, 0x806u);
    EXPECT_EQ(request.defaultExtension, "");
}

TEST_F(RunTest, CompletedRunWritesTheLogsFirstLineAndReleasesTheModelOnce) {
    platform::SetSaveDialogAnswer(dir / "Guard.3D");
    EXPECT_EQ(RunCounting(OneTriangleModel()), 0);
    EXPECT_EQ(released, 1);

    std::string log = ReadFile(dir / "VantrelExport.log");
    std::string firstLine = (dir / "Guard_d.3d") + (dir / "Guard_a.3d");
    EXPECT_EQ(log.substr(0, firstLine.size()), firstLine);
    // The chosen file itself is never written.
    EXPECT_FALSE(std::filesystem::exists(dir / "Guard.3D"));
}

TEST_F(RunTest, PathLongerThanTheDialogBufferCancels) {
    platform::SetSaveDialogAnswer(dir / (std::string(300, 'x') + ".3D"));
    EXPECT_EQ(RunCounting(OneTriangleModel()), 0);
    EXPECT_EQ(released, 0);
    EXPECT_NE(platform::LastSaveDialogError().find("longer than"), std::string::npos);
    EXPECT_TRUE(Files(dir.Path()).empty());
}

}  // namespace

namespace {

TEST_F(RunTest, OutputThatCannotBeWrittenIsReportedAndLeavesNoTrace) {
    // The derived data file's name is taken by a directory.
    std::filesystem::create_directory(dir / "Guard_d.3d");
    platform::SetSaveDialogAnswer(dir / "Guard.3D");
    EXPECT_EQ(RunCounting(OneTriangleModel()), -1);
    EXPECT_EQ(released, 1);

    auto messages = platform::ShownMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, "Vantrel Export");
    EXPECT_NE(messages[0].text.find(dir / "Guard_d.3d"), std::string::npos) << messages[0].text;
    EXPECT_NE(messages[0].text.find("Is a directory"), std::string::npos) << messages[0].text;
    EXPECT_TRUE(std::filesystem::is_directory(dir / "Guard_d.3d"));
    for (const std::string& name : Files(dir.Path())) EXPECT_NE(name.rfind(".vt", 0), 0u) << name;
}

TEST_F(RunTest, OutputFolderThatCannotBeWrittenIsReported) {
    platform::SetSaveDialogAnswer("/proc/Guard.3D");  // exists, but nobody may create files there
    EXPECT_EQ(RunCounting(OneTriangleModel()), -1);
    auto messages = platform::ShownMessages();
    ASSERT_FALSE(messages.empty());
    EXPECT_NE(messages.back().text.find("/proc/Guard_d.3d"), std::string::npos) << messages.back().text;
}

// A chain of bones listed child first, each turning over the frames, with a
// vertex on each.
hm::ModelPtr TurningChain(int bones) {
    hm::ModelPtr model(hm::CreateModel());
    hmMesh* mesh = hm::AddMesh(model.get(), "Chain");
    for (int i = bones - 1; i >= 0; --i) {
        HostBoneEntry* bone = hm::AddBone(model.get(), "b" + std::to_string(i), i ? "b" + std::to_string(i - 1) : "",
                                          {1, 0, 0}, {0, 0.1f * float(i), 0});
        bone->rotationKeys = {{0, {0, 0, 0}}, {3, {0.2f, 0, 0.3f * float(i)}}};
        mesh->vertices.push_back(hm::MakeVertex({float(i), 1, 0}, 0, 0, static_cast<int8_t>(bones - 1 - i)));
    }
    mesh->triangles = {{{0, 0, 0}}};
    model->totalFrames = 4;
    return model;
}

// Later runs reuse the plug-in's bone table; a model with more bones than
// any before it poses as with a table of its own.
TEST_F(RunTest, ModelWithMoreBonesThanTheLastExportsAsWithAFreshTable) {
    platform::SetSaveDialogAnswer(dir / "Small.3D");
    ASSERT_EQ(RunCounting(TurningChain(2)), 0);
    platform::SetSaveDialogAnswer(dir / "Large.3D");
    ASSERT_EQ(RunCounting(TurningChain(7)), 0);

    hm::ModelPtr large = TurningChain(7);
    BoneTable table;
    table.SetupBindPose(large.get());
    SkeletonSource poses(table, large.get());
    ExportLog log;
    OutputFile anim;
    ASSERT_TRUE(anim.Open(dir / "Fresh_a.3d"));
    WriteAnimationFile(large.get(), poses, anim, log, 7);
    ASSERT_TRUE(anim.Commit());
    EXPECT_EQ(ReadFile(dir / "Large_a.3d"), ReadFile(dir / "Fresh_a.3d"));
}

TEST_F(RunTest, LogThatCannotBeCreatedDoesNotStopTheExport) {
    std::filesystem::create_directory(dir / "VantrelExport.log");
    platform::SetSaveDialogAnswer(dir / "Guard.3D");
    EXPECT_EQ(RunCounting(OneTriangleModel()), 0);
    auto messages = platform::ShownMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].text.find("VantrelExport.log"), std::string::npos) << messages[0].text;
    EXPECT_EQ(ReadFile(dir / "Guard_d.3d").size(), 64u);
}

}  // namespace

namespace {

// Poses every frame at the origin, but runs out of memory at the last frame,
// on whichever thread poses it.
class ExhaustedSource final : public PoseSource {
public:
    explicit ExhaustedSource(int32_t frames) : frames_(frames) {}
    int32_t FrameCount() const override { return frames_; }
    void PoseFrame(int32_t frame, std::span<Vector3f> positions) override {
        if (frame == frames_ - 1) throw std::bad_alloc();
        for (Vector3f& position : positions) position = {};
    }
    std::unique_ptr<PoseSource> Fork() override { return std::make_unique<ExhaustedSource>(frames_); }

private:
    int32_t frames_;
};

// A failure of the machine mid-export stays in the plug-in: the run fails as
// for an unwritable file, on one thread or on several.
TEST_F(RunTest, OutOfMemoryFailsTheRunAndKeepsTheEarlierFiles) {
    for (const char* threads : {"1", "3"}) {
        SCOPED_TRACE(threads);
        platform::ClearRecords();
        released = 0;
        setenv("VANTREL_THREADS", threads, 1);
        std::ofstream(dir / "Guard_d.3d") << "earlier";
        platform::SetSaveDialogAnswer(dir / "Guard.3D");
        hm::ModelPtr model = OneTriangleModel();
        model->totalFrames = 40;
        ExhaustedSource poses(40);
        hmModel* raw = model.release();
        raw->onDestroy = [this](const hmModel*) { ++released; };
        int32_t result = -2;
        EXPECT_NO_THROW(result = ::Run(raw, poses));
        unsetenv("VANTREL_THREADS");
        EXPECT_EQ(result, -1);
        EXPECT_EQ(released, 1);
        auto messages = platform::ShownMessages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].text,
                  "Could not write the files: there is not enough memory for this model. Nothing was exported; "
                  "the earlier files were left as they were.");
        EXPECT_EQ(Files(dir.Path()), (std::vector<std::string>{"Guard_d.3d"}));
        EXPECT_EQ(ReadFile(dir / "Guard_d.3d"), "earlier");
    }
}

}  // namespace
