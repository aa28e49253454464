// Commands printed for a person to paste: each word comes through the shell
// as it was, in POSIX sh and in cmd.
#include "console/console_text.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

// A row per character that would break the command, or split a word, in one
// of the shells.
struct Quoting {
    std::string word;
    std::string posix;
    std::string cmd;
};

const Quoting kQuotings[] = {
    {"out/Totem.3D", "out/Totem.3D", "out/Totem.3D"},
    {"C:\\Models\\totem.gltf", "'C:\\Models\\totem.gltf'", "C:\\Models\\totem.gltf"},
    {"My Mod/Totem.3D", "'My Mod/Totem.3D'", "\"My Mod/Totem.3D\""},
    {"caf\xC3\xA9/T.3D", "caf\xC3\xA9/T.3D", "caf\xC3\xA9/T.3D"},
    {"it's", "'it'\\''s'", "it's"},
    {"Tom & Jerry", "'Tom & Jerry'", "\"Tom & Jerry\""},
    {"a|b<c>d^e(f)", "'a|b<c>d^e(f)'", "\"a|b<c>d^e(f)\""},
    {"100%", "100%", "\"100\"^%\"\""},
    {"%PATH%", "%PATH%", "\"\"^%\"PATH\"^%\"\""},
    {"say \"hi\"", "'say \"hi\"'", "\"say \"\\^\"\"hi\"\\^\"\"\""},
    {"C:\\My Mod\\", "'C:\\My Mod\\'", "\"C:\\My Mod\\\\\""},
    {"a\\\"b", "'a\\\"b'", "\"a\\\\\"\\^\"\"b\""},
    {"$HOME", "'$HOME'", "$HOME"},
    {"~user", "'~user'", "~user"},
    {"a;b", "'a;b'", "\"a;b\""},
    {"*.3D", "'*.3D'", "\"*.3D\""},
    {"", "''", "\"\""},
};

TEST(QuoteForShell, EachShellGetsWhatItNeeds) {
    for (const Quoting& q : kQuotings) {
        EXPECT_EQ(console::QuoteForShell(q.word, console::Shell::kPosix), q.posix) << q.word;
        EXPECT_EQ(console::QuoteForShell(q.word, console::Shell::kCmd), q.cmd) << q.word;
    }
}

// The shell itself, not our reading of it, gives each word back.
TEST(QuoteForShell, PosixShellGivesEachWordBack) {
    for (const Quoting& q : kQuotings) {
        const std::string command = "printf '[%s]' " + console::QuoteForShell(q.word, console::Shell::kPosix);
        std::string printed;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char buffer[256];
            for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) printed.append(buffer, n);
            pclose(pipe);
        }
        EXPECT_EQ(printed, "[" + q.word + "]") << command;
    }
}

TEST(MakeFolderCommand, MakesTheFoldersBetweenInEitherShell) {
    EXPECT_EQ(console::MakeFolderCommand("No Such Out/a", console::Shell::kPosix), "mkdir -p 'No Such Out/a'");
    EXPECT_EQ(console::MakeFolderCommand("C:/No Such Out/a", console::Shell::kCmd), "mkdir \"C:\\No Such Out\\a\"");
    EXPECT_EQ(console::ShellCommand({"vantrel-export", "a b.glb", "M.3D", "--clip", "Hop"}, console::Shell::kCmd),
              "vantrel-export \"a b.glb\" M.3D --clip Hop");
}

TEST(ClosestOption, NamesTheOptionMeant) {
    const std::vector<std::string> known = {"--fps", "--fit", "--force", "--texture-size", "--texture-folder"};
    const struct {
        const char* typed;
        const char* closest;
    } cases[] = {
        {"--fsp", "--fps"},           // transposed
        {"--texture-siz", "--texture-size"},  // cut short
        {"--forse", "--force"},
        {"--bogus", ""},              // nothing near
    };
    for (const auto& c : cases) EXPECT_EQ(console::ClosestOption(c.typed, known), c.closest) << c.typed;
}

}  // namespace
