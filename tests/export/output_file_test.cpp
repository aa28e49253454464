#include "export/output_file.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using namespace testing_support;

namespace {

void WriteText(const std::string& path, const std::string& text) {
    OutputFile file;
    ASSERT_TRUE(file.Open(path, false));
    file.Write(text);
    ASSERT_TRUE(file.Commit());
}

// Writes larger than the buffer, and small ones around them, arrive in order.
TEST(OutputFile, WritesOfEverySizeArriveInOrder) {
    ScratchDir dir;
    OutputFile file;
    ASSERT_TRUE(file.Open(dir / "out"));
    const std::string small = "abc", large(3 << 20, 'x');
    file.Write(small);
    file.Write(large);
    file.Write(small);
    EXPECT_EQ(Files(dir.Path()), std::vector<std::string>{"out.vantrel-tmp"});
    ASSERT_TRUE(file.Commit()) << file.Error();
    EXPECT_EQ(ReadFile(dir / "out"), small + large + small);
    EXPECT_EQ(Files(dir.Path()), std::vector<std::string>{"out"});
}

TEST(OutputFile, UncommittedOutputLeavesTheEarlierFile) {
    ScratchDir dir;
    WriteText(dir / "out", "earlier");
    {
        OutputFile file;
        ASSERT_TRUE(file.Open(dir / "out"));
        file.Write("later");
    }
    EXPECT_EQ(ReadFile(dir / "out"), "earlier");
    EXPECT_EQ(Files(dir.Path()), std::vector<std::string>{"out"});
}

TEST(OutputSet, CommitsAllOrLeavesEveryDestinationAsItWas) {
    ScratchDir dir;
    WriteText(dir / "a", "old a");
    WriteText(dir / "b", "old b");
    std::filesystem::create_directory(dir / "c");  // c cannot be replaced
    {
        OutputSet set;
        set.Add(dir / "a")->Write("new a");
        set.Add(dir / "b")->Write("new b");
        set.Add(dir / "c")->Write("new c");
        EXPECT_FALSE(set.Commit());
        EXPECT_EQ(set.Error(), (dir / "c") + ": Is a directory");
    }
    EXPECT_EQ(ReadFile(dir / "a"), "old a");
    EXPECT_EQ(ReadFile(dir / "b"), "old b");
    EXPECT_EQ(Files(dir.Path()), (std::vector<std::string>{"a", "b", "c"}));

    OutputSet set;
    set.Add(dir / "a")->Write("new a");
    set.Add(dir / "b")->Write("new b");
    ASSERT_TRUE(set.Commit()) << set.Error();
    EXPECT_EQ(ReadFile(dir / "a"), "new a");
    EXPECT_EQ(ReadFile(dir / "b"), "new b");
}

TEST(OutputSet, OutputThatCannotBeCreatedFailsTheSet) {
    ScratchDir dir;
    OutputSet set;
    ASSERT_NE(set.Add(dir / "a"), nullptr);
    EXPECT_EQ(set.Add(dir / "missing/b"), nullptr);
    EXPECT_EQ(set.Error(), (dir / "missing/b") + ": No such file or directory");
    EXPECT_FALSE(set.Commit());
    EXPECT_TRUE(Files(dir.Path()).empty());
}

}  // namespace
