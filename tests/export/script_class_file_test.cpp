#include "export/script_class_file.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace testing_support;

namespace {

std::string Script(hmModel* model, const std::string& name, uint16_t frames, float scale,
                   std::string* logText = nullptr) {
    ScratchDir dir;
    OutputFile file;
    ExportLog log;
    EXPECT_TRUE(file.Open(dir / "s.uc"));
    EXPECT_TRUE(log.Open(dir / "s.log"));
    WriteScriptClassFile(model, file, name, frames, scale, log);
    EXPECT_TRUE(file.Commit());
    EXPECT_TRUE(log.Close());
    if (logText) *logText = ReadFile(dir / "s.log");
    return ReadFile(dir / "s.uc");
}

TEST(ScriptClassFile, TwoMaterialsGiveTheWholeText) {
    hm::ModelPtr model = OneTriangleModel();
    hm::AddMaterial(model.get(), "Skin", "skin.bmp");
    hm::AddMaterial(model.get(), "Cloth", "sub\\cloth.bmp");
    const std::string slashes(51, '/');
    EXPECT_EQ(Script(model.get(), "Guard", 30, 64.0f),
              slashes + "\r\n"
              "// Guard.\r\n" +
              slashes + "\r\n"
              "\r\n"
              "class Guard extends Actor;\r\n"
              "\r\n"
              "#exec MESH IMPORT MESH=Guard ANIVFILE=MODELS\\Guard_a.3d DATAFILE=MODELS\\Guard_d.3d X=0 Y=0 Z=0\r\n"
              "#exec MESH ORIGIN MESH=Guard X=0 Y=0 Z=0\r\n"
              "\r\n"
              "#exec MESH SEQUENCE MESH=Guard SEQ=All STARTFRAME=0 NUMFRAMES=30\r\n"
              "// add further '#exec MESH SEQUENCE' lines here to define additional animation sections\r\n"
              "\r\n"
              "#exec MESHMAP NEW MESHMAP=Guard MESH=Guard\r\n"
              "\r\n"
              "\r\n"
              "//Edit X, Y, and Z values in line below to change size of mesh in game\r\n"
              "#exec MESHMAP SCALE MESHMAP=Guard X=0.015625 Y=0.015625 Z=0.015625\r\n"
              "\r\n"
              "#exec TEXTURE IMPORT NAME=GuardTex0 FILE=textures\\skin.bmp GROUP=Skins FLAGS=2\r\n"
              "#exec MESHMAP SETTEXTURE MESHMAP=Guard NUM=0 TEXTURE=GuardTex0\r\n"
              "\r\n"
              "#exec TEXTURE IMPORT NAME=GuardTex1 FILE=textures\\sub\\cloth.bmp GROUP=Skins FLAGS=2\r\n"
              "#exec MESHMAP SETTEXTURE MESHMAP=Guard NUM=1 TEXTURE=GuardTex1\r\n"
              "\r\n"
              "\r\n"
              "defaultproperties\r\n"
              "{\r\n"
              "    DrawType=DT_Mesh\r\n"
              "    Mesh=Guard\r\n"
              "}\r\n");
}

TEST(ScriptClassFile, NoMaterialsNoFramesAndTheScaleLine) {
    hm::ModelPtr model = OneTriangleModel();
    std::string text = Script(model.get(), "M", 0, 1.0f);
    EXPECT_NE(text.find("NUMFRAMES=0\r\n"), std::string::npos);
    EXPECT_NE(text.find("X=1.000000 Y=1.000000 Z=1.000000\r\n\r\n\r\ndefaultproperties"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("TEXTURE"), std::string::npos);

    std::string still = Script(model.get(), "M", 1, std::numeric_limits<float>::infinity());
    EXPECT_NE(still.find("X=0.000000 Y=0.000000 Z=0.000000\r\n"), std::string::npos) << still;
    // 1 / scale is a 32-bit float: 1 / 85.333336f prints as such.
    std::string odd = Script(model.get(), "M", 1, 85.333336f);
    EXPECT_NE(odd.find("X=0.011719 "), std::string::npos) << odd;
}

TEST(ScriptClassFile, TextureNamesAreCutAt31Bytes) {
    hm::ModelPtr model = OneTriangleModel();
    hm::AddMaterial(model.get(), "Long", std::string(40, 't') + ".bmp");
    hm::AddMaterial(model.get(), "None", "");
    std::string text = Script(model.get(), "M", 1, 1.0f);
    EXPECT_NE(text.find("FILE=textures\\" + std::string(31, 't') + " GROUP"), std::string::npos) << text;
    EXPECT_NE(text.find("NAME=MTex1 FILE=textures\\ GROUP=Skins"), std::string::npos) << text;
}

// A host may hand over any bytes: a line break in a name must not start a
// directive of the name's making when the script compiler reads the class,
// nor a space or '=' give the directive a parameter of the name's making.
TEST(ScriptClassFile, CharactersThatBreakTheDirectiveBecomeUnderscores) {
    hm::ModelPtr model = OneTriangleModel();
    hm::AddMaterial(model.get(), "Evil", "a.bmp\r\n#exec OBJ LOAD F=x");
    hm::AddMaterial(model.get(), "Tab", "b\tc.bmp");
    hm::AddMaterial(model.get(), "Group", "a b.bmp FLAGS=0 GROUP=Evil");
    hm::AddMaterial(model.get(), "Clean", "Skin_2.bmp");
    std::string log;
    const std::string text = Script(model.get(), "M", 1, 1.0f, &log);
    EXPECT_NE(text.find("FILE=textures\\a.bmp__#exec_OBJ_LOAD_F_x GROUP=Skins"), std::string::npos) << text;
    EXPECT_EQ(text.find("\n#exec OBJ"), std::string::npos) << text;
    EXPECT_NE(text.find("FILE=textures\\b_c.bmp GROUP"), std::string::npos) << text;
    EXPECT_NE(text.find("FILE=textures\\a_b.bmp_FLAGS_0_GROUP_Evil GROUP=Skins FLAGS=2\r\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("FILE=textures\\Skin_2.bmp GROUP=Skins FLAGS=2\r\n"), std::string::npos) << text;
    EXPECT_NE(log.find("Texture name of material 0 holds 2 control character(s)"), std::string::npos) << log;
    EXPECT_NE(log.find("Texture name of material 0 holds 4 space(s), ',' or '='"), std::string::npos) << log;
    EXPECT_NE(log.find("Texture name of material 1 holds 1 "), std::string::npos) << log;
    EXPECT_NE(log.find("Texture name of material 2 holds 5 space(s)"), std::string::npos) << log;
    EXPECT_EQ(log.find("material 3"), std::string::npos) << log;
}

}  // namespace

// RATE= appears only off the engine's default, as the shortest text of the
// float: a rate the file states comes back as that float, never as a
// rounded or padded one.
TEST(ScriptClassFile, SequenceLinesStateTheRateOnlyWhereItIsNotTheDefault) {
    const struct {
        float rate;
        const char* line;
    } rows[] = {
        {30, "#exec MESH SEQUENCE MESH=M SEQ=run STARTFRAME=40 NUMFRAMES=6\n"},
        {10, "#exec MESH SEQUENCE MESH=M SEQ=run STARTFRAME=40 NUMFRAMES=6 RATE=10\n"},
        {23.976f, "#exec MESH SEQUENCE MESH=M SEQ=run STARTFRAME=40 NUMFRAMES=6 RATE=23.976\n"},
        {0.1f, "#exec MESH SEQUENCE MESH=M SEQ=run STARTFRAME=40 NUMFRAMES=6 RATE=0.1\n"},
        {std::nextafter(30.0f, 31.0f), "#exec MESH SEQUENCE MESH=M SEQ=run STARTFRAME=40 NUMFRAMES=6 RATE=30.000002\n"},
        {100000, "#exec MESH SEQUENCE MESH=M SEQ=run STARTFRAME=40 NUMFRAMES=6 RATE=100000\n"},
    };
    for (const auto& row : rows) EXPECT_EQ(SequenceLine("M", {"run", 40, 6, row.rate}), row.line) << row.rate;

    hm::ModelPtr model = OneTriangleModel();
    ScratchDir dir;
    OutputFile file;
    ExportLog log;
    ASSERT_TRUE(file.Open(dir / "s.uc"));
    WriteScriptClassFile(model.get(), file, "M", 46, 1.0f, log, {{"stand", 0, 40, 10}, {"run", 40, 6}});
    ASSERT_TRUE(file.Commit());
    const std::string text = ReadFile(dir / "s.uc");
    EXPECT_NE(text.find("SEQ=All STARTFRAME=0 NUMFRAMES=46\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("SEQ=stand STARTFRAME=0 NUMFRAMES=40 RATE=10\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("SEQ=run STARTFRAME=40 NUMFRAMES=6\r\n"), std::string::npos) << text;
}
