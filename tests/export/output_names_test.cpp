#include "export/output_names.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(OutputNames, LastDotOfTheWholePathWins) {
    OutputPaths guard = DeriveOutputPaths("C:\\art\\Guard.3D");
    EXPECT_EQ(guard.data, "C:\\art\\Guard_d.3d");
    EXPECT_EQ(guard.anim, "C:\\art\\Guard_a.3d");
    EXPECT_EQ(guard.script, "C:\\art\\Guard.uc");

    OutputPaths dotted = DeriveOutputPaths("D:\\my.models\\Guard.3D");
    EXPECT_EQ(dotted.data, "D:\\my.models\\Guard_d.3d");
    EXPECT_EQ(dotted.anim, "D:\\my.models\\Guard_a.3d");
    EXPECT_EQ(dotted.script, "D:\\my.models\\Guard.uc");
    EXPECT_EQ(DeriveMeshName("Guard.3D"), "Guard");
    EXPECT_EQ(DeriveMeshName("Guard.v2.3D"), "Guard.v2");
    EXPECT_EQ(DeriveOutputPaths("/art/Guard.v2.3D").data, "/art/Guard.v2_d.3d");
}

TEST(OutputNames, FileNameWithoutDotGetsTheSuffixAppended) {
    EXPECT_EQ(DeriveOutputPaths("D:\\my.models\\Guard").data, "D:\\my.models\\Guard_d.3d");
    EXPECT_EQ(DeriveOutputPaths("/home/my.models/Guard").script, "/home/my.models/Guard.uc");
    EXPECT_EQ(DeriveOutputPaths("Guard").anim, "Guard_a.3d");
    EXPECT_EQ(DeriveMeshName("Guard"), "Guard");
}

TEST(OutputNames, LongPathsAreNeverCut) {
    std::string path = "/" + std::string(250, 'a') + ".3D";  // 254 bytes: fits the dialog's buffer
    OutputPaths paths = DeriveOutputPaths(path);
    EXPECT_EQ(paths.data, "/" + std::string(250, 'a') + "_d.3d");
    EXPECT_EQ(paths.data.size(), 256u);
}

}  // namespace
