// The host program end to end: the real executable, the real plug-in, real files.
#include "host/model_json.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fstream>

using namespace testing_support;

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

// Runs vantrel-export with the given arguments in dir, stdin closed.
Outcome RunProgram(const ScratchDir& dir, const std::string& arguments) {
    std::string command = "cd '" + dir.Path().string() + "' && " + VANTREL_EXPORT_PATH + " " + arguments +
                          " >.stdout 2>.stderr </dev/null";
    int raw = std::system(command.c_str());
    Outcome outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(dir / ".stdout"), ReadFile(dir / ".stderr")};
    std::filesystem::remove(dir / ".stdout");
    std::filesystem::remove(dir / ".stderr");
    return outcome;
}

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

void SaveModel(const hmModel& model, const std::string& path) {
    std::string error;
    ASSERT_TRUE(hm::SaveModelJson(model, path, error)) << error;
}

TEST(HostProgram, ExportsAModelWithItsDefaultName) {
    ScratchDir dir;
    SaveModel(*OneTriangleModel(), dir / "Tri.hm.json");
    Outcome outcome = RunProgram(dir, "Tri.hm.json");
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_NE(outcome.out.find("Plug-in: Vantrel 3d..."), std::string::npos);
    EXPECT_NE(outcome.out.find("VantrelExport.log"), std::string::npos);
    std::string log = ReadFile(dir / "VantrelExport.log");
    EXPECT_EQ(log.rfind("Tri_d.3dTri_a.3d", 0), 0u) << log;
}

TEST(HostProgram, EmptyModelIsReportedAndNothingWritten) {
    ScratchDir dir;
    WriteText(dir / "empty.hm.json", R"({"meshes": []})");
    Outcome outcome = RunProgram(dir, "empty.hm.json out.3D");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find("Vantrel Export: The model is empty!  Nothing exported!"), std::string::npos)
        << outcome.err;
    EXPECT_EQ(Files(dir.Path()), std::vector<std::string>{"empty.hm.json"});
}

TEST(HostProgram, BadInputExitsTwoWithOneClearLineAndWritesNothing) {
    ScratchDir dir;
    WriteText(dir / "broken.hm.json", R"({"meshes": [ {"vertices": [)");
    Outcome broken = RunProgram(dir, "broken.hm.json");
    EXPECT_EQ(broken.status, 2);
    EXPECT_NE(broken.err.find("broken.hm.json"), std::string::npos) << broken.err;
    EXPECT_EQ(std::count(broken.err.begin(), broken.err.end(), '\n'), 1) << broken.err;

    Outcome missing = RunProgram(dir, "missing.hm.json");
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("missing.hm.json"), std::string::npos) << missing.err;

    SaveModel(*OneTriangleModel(), dir / "Tri.hm.json");
    Outcome noFolder = RunProgram(dir, "Tri.hm.json nowhere/Tri.3D");
    EXPECT_EQ(noFolder.status, 2);
    EXPECT_NE(noFolder.err.find("nowhere"), std::string::npos) << noFolder.err;

    Outcome badOption = RunProgram(dir, "--no-such-option Tri.hm.json");
    EXPECT_EQ(badOption.status, 2);

    EXPECT_EQ(Files(dir.Path()), (std::vector<std::string>{"Tri.hm.json", "broken.hm.json"}));
}

TEST(HostProgram, NoAnswerToTheDialogMeansCancel) {
    ScratchDir dir;
    SaveModel(*OneTriangleModel(), dir / "Tri.hm.json");
    // --ask without a terminal: nobody can answer, so the dialog is cancelled.
    Outcome outcome = RunProgram(dir, "--ask Tri.hm.json");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find("nothing exported"), std::string::npos) << outcome.err;
    EXPECT_EQ(Files(dir.Path()), std::vector<std::string>{"Tri.hm.json"});
}

TEST(HostProgram, WarnsWhenTheMeshNameIsNoScriptIdentifier) {
    ScratchDir dir;
    SaveModel(*OneTriangleModel(), dir / "Tri.hm.json");
    Outcome outcome = RunProgram(dir, "Tri.hm.json 2-guard.3D");
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_NE(outcome.err.find("\"2-guard\" is not a valid script identifier"), std::string::npos) << outcome.err;
}

TEST(HostProgram, MissingPlugInIsBadInput) {
    ScratchDir dir;
    SaveModel(*OneTriangleModel(), dir / "Tri.hm.json");
    Outcome outcome = RunProgram(dir, "--plugin ./none.so Tri.hm.json");
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.err.find("cannot load the plug-in"), std::string::npos) << outcome.err;
}

}  // namespace
