// The export job: one request, one commit of every file it writes.
#include "export/export_job.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <map>

using namespace testing_support;

namespace {

std::string gFailingPath;  // the rename into this path fails

std::error_code FailingRename(const std::string& from, const std::string& to) {
    if (to == gFailingPath) return std::make_error_code(std::errc::io_error);
    std::error_code code;
    std::filesystem::rename(from, to, code);
    return code;
}

std::map<std::string, std::string> Contents(const std::filesystem::path& dir) {
    std::map<std::string, std::string> contents;
    for (const std::string& name : Files(dir)) contents[name] = ReadFile(dir / name);
    return contents;
}

ExportRequest RequestFor(hmModel* model, const ScratchDir& dir, const std::string& texture) {
    ExportRequest request;
    request.model = model;
    request.destination = dir / "Guard.3D";
    request.logPath = dir / "trace.log";
    request.additions.sequences = {{"Walk", 0, 1}};
    request.additions.files = {{dir / "a.bmp", {'B', 'M', 1}}, {dir / "b.png", {texture.begin(), texture.end()}}};
    // The page reads what was staged for the script class: it sees the set as it will be.
    request.additions.preview = [&dir](const std::vector<StagedFile>& staged) {
        PreviewPage page;
        page.path = dir / "Guard.html";
        for (const StagedFile& file : staged)
            if (file.path == dir / "Guard.uc") page.html = ReadFile(file.bytesAt);
        return page;
    };
    request.threads = 1;
    return request;
}

TEST(ExportJob, CommitsEveryFileOnceWithTheSequencesInTheClass) {
    ScratchDir dir;
    hm::ModelPtr model = OneTriangleModel();
    const ExportOutcome outcome = RunExportJob(RequestFor(model.get(), dir, "tex"));
    ASSERT_FALSE(outcome.error) << outcome.error.message;
    EXPECT_EQ(Files(dir.Path()), (std::vector<std::string>{"Guard.html", "Guard.uc", "Guard_a.3d", "Guard_d.3d",
                                                           "a.bmp", "b.png", "trace.log"}));
    EXPECT_EQ(outcome.written.size(), 7u);
    const std::string script = ReadFile(dir / "Guard.uc");
    EXPECT_NE(script.find("here to define additional animation sections\r\n"
                          "#exec MESH SEQUENCE MESH=Guard SEQ=Walk STARTFRAME=0 NUMFRAMES=1\r\n"),
              std::string::npos)
        << script;
    EXPECT_EQ(ReadFile(dir / "Guard.html"), script);
}

// A failure to put any one file of the set in place leaves every earlier file
// byte for byte and no temporary.
TEST(ExportJob, FaultAtAnyFileLeavesTheEarlierSet) {
    ScratchDir dir;
    hm::ModelPtr earlierModel = OneTriangleModel();
    ASSERT_FALSE(RunExportJob(RequestFor(earlierModel.get(), dir, "earlier")).error);
    const auto earlier = Contents(dir.Path());
    for (const char* name : {"Guard_d.3d", "Guard_a.3d", "Guard.uc", "trace.log", "a.bmp", "b.png", "Guard.html"}) {
        SCOPED_TRACE(name);
        hm::ModelPtr model = OneTriangleModel();
        model->meshes[0]->vertices[0].position.x = 0.5f;
        ExportRequest request = RequestFor(model.get(), dir, "later");
        request.rename = FailingRename;
        gFailingPath = dir / name;
        const ExportOutcome outcome = RunExportJob(request);
        EXPECT_EQ(outcome.error.kind, ErrorKind::kWriteFailed);
        EXPECT_NE(outcome.error.message.find(name), std::string::npos) << outcome.error.message;
        EXPECT_TRUE(outcome.written.empty());
        EXPECT_TRUE(Contents(dir.Path()) == earlier);
    }
}

}  // namespace
