#include "output/output_file.h"
#include "tests/support/test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
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
    // The temporary's name is short and its own: ".vt" and six letters or digits.
    const std::vector<std::string> during = Files(dir.Path());
    ASSERT_EQ(during.size(), 1u);
    EXPECT_EQ(during[0].size(), 9u);
    EXPECT_EQ(during[0].rfind(".vt", 0), 0u);
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

// Makes a pipe at path and opens its reading end without waiting: -1 when it cannot.
int OpenPipe(const std::string& path) {
    return mkfifo(path.c_str(), 0600) == 0 ? open(path.c_str(), O_RDONLY | O_NONBLOCK) : -1;
}

// A pipe, or a device such as /dev/null, is written into, not replaced by a file.
TEST(OutputFile, PipeIsWrittenIntoNotReplaced) {
    ScratchDir dir;
    const std::string pipe = dir / "pipe";
    const int reader = OpenPipe(pipe);
    ASSERT_GE(reader, 0);
    OutputFile file;
    ASSERT_TRUE(file.Open(pipe));
    file.Write("through the pipe");
    EXPECT_TRUE(file.Commit()) << file.Error();
    char text[32] = {};
    EXPECT_EQ(read(reader, text, sizeof text - 1), 16);
    close(reader);
    EXPECT_STREQ(text, "through the pipe");
    EXPECT_TRUE(std::filesystem::is_fifo(pipe));
}

// A part written by places, in any order, between parts written in a row;
// a pipe has no places and keeps its bytes in a row.
TEST(OutputFile, PartWrittenByPlacesLiesBetweenTheWrites) {
    ScratchDir dir;
    OutputFile file;
    ASSERT_TRUE(file.Open(dir / "out"));
    file.Write("head");
    ASSERT_EQ(file.BeginPlaces(), 4);
    file.WriteAt(7, "BBB", 3);
    file.WriteAt(4, "AAA", 3);
    file.EndPlaces(10);
    file.Write("tail");
    ASSERT_TRUE(file.Commit()) << file.Error();
    EXPECT_EQ(ReadFile(dir / "out"), "headAAABBBtail");

    const std::string pipe = dir / "pipe";
    const int reader = OpenPipe(pipe);
    ASSERT_GE(reader, 0);
    OutputFile piped;
    ASSERT_TRUE(piped.Open(pipe));
    piped.Write("in a row");
    EXPECT_EQ(piped.BeginPlaces(), -1);
    EXPECT_TRUE(piped.Commit()) << piped.Error();
    close(reader);
}

// A rename that fails on the second file: the first, already replaced, is
// put back, the third never replaced, and nothing else is left in the folder.
std::error_code FailOnB(const std::string& from, const std::string& to) {
    if (to.size() >= 2 && to.compare(to.size() - 2, 2, "/b") == 0) return std::make_error_code(std::errc::io_error);
    std::error_code code;
    std::filesystem::rename(from, to, code);
    return code;
}

TEST(OutputSet, CommitsAllOrPutsEveryDestinationBack) {
    ScratchDir dir;
    WriteText(dir / "a", "old a");
    WriteText(dir / "b", "old b");
    {
        OutputSet set(FailOnB);
        set.Add(dir / "new")->Write("new");  // placed before the failure, with no earlier file: removed
        set.Add(dir / "a")->Write("new a");
        set.Add(dir / "b")->Write("new b");
        set.Add(dir / "c")->Write("new c");  // no earlier c: none after
        EXPECT_FALSE(set.Commit());
        EXPECT_EQ(set.Error(), (dir / "b") + ": " + std::make_error_code(std::errc::io_error).message());
    }
    EXPECT_EQ(ReadFile(dir / "a"), "old a");
    EXPECT_EQ(ReadFile(dir / "b"), "old b");
    EXPECT_EQ(Files(dir.Path()), (std::vector<std::string>{"a", "b"}));

    std::filesystem::create_directory(dir / "c");  // found when the output is added
    OutputSet blocked;
    EXPECT_EQ(blocked.Add(dir / "c"), nullptr);
    EXPECT_EQ(blocked.Error(), (dir / "c") + ": Is a directory");

    OutputSet set;
    set.Add(dir / "a")->Write("new a");
    set.Add(dir / "b")->Write("new b");
    ASSERT_TRUE(set.Commit()) << set.Error();
    EXPECT_EQ(ReadFile(dir / "a"), "new a");
    EXPECT_EQ(ReadFile(dir / "b"), "new b");
    EXPECT_EQ(Files(dir.Path()), (std::vector<std::string>{"a", "b", "c"}));
}

// What an export finds at one of its names, other than its earlier file: a
// read-only file is kept, a link is replaced and its target untouched, a link
// to a device is not written through, a pipe nobody reads holds nothing up.
TEST(OutputSet, NamesTakenByOthersAreNeitherWrittenThroughNorWaitedFor) {
    struct Case {
        const char* name;
        std::function<void(const std::string& path)> make;
        bool added;
        bool committed;
        std::string error;  // found in the set's error
    };
    const std::vector<Case> cases = {
        {"read-only earlier file",
         [](const std::string& path) {
             WriteText(path, "earlier");
             std::filesystem::permissions(path, std::filesystem::perms::owner_read);
         },
         true, false, "the earlier file is read-only, and is kept"},
        {"link to a file elsewhere",
         [](const std::string& path) {
             WriteText(path + ".victim", "victim");
             std::filesystem::create_symlink(path + ".victim", path);
         },
         true, true, ""},
        {"link to a device",
         [](const std::string& path) { std::filesystem::create_symlink("/dev/full", path); }, false, false,
         "a link to a device or a pipe"},
        {"pipe nobody reads", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }, false,
         false, "No such device or address"},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        const std::string path = dir / "out";
        c.make(path);
        OutputSet set;
        OutputFile* file = set.Add(path);
        EXPECT_EQ(file != nullptr, c.added) << c.name;
        if (file) file->Write("new");
        EXPECT_EQ(set.Commit(), c.committed) << c.name;
        EXPECT_NE(set.Error().find(c.error), std::string::npos) << c.name << ": " << set.Error();
        if (c.committed) { EXPECT_EQ(ReadFile(path), "new") << c.name; }
        if (std::filesystem::exists(path + ".victim")) { EXPECT_EQ(ReadFile(path + ".victim"), "victim") << c.name; }
        if (std::filesystem::is_regular_file(path) && !c.committed) {
            EXPECT_EQ(ReadFile(path), "earlier") << c.name;
        }
    }
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
