#include "names/host_names.h"

#include <gtest/gtest.h>

namespace {

using namespace hm::imp;

TEST(CutName, NeverSplitsACharacter) {
    EXPECT_EQ(CutName("short"), "short");
    EXPECT_EQ(CutName(std::string(40, 'a')), std::string(31, 'a'));
    // 30 ASCII bytes then a two-byte character: it does not fit whole, so it goes.
    const std::string name = std::string(30, 'a') + "\xC3\xA9" + "b";
    EXPECT_EQ(CutName(name), std::string(30, 'a'));
    // A four-byte character straddling the limit.
    EXPECT_EQ(CutName(std::string(29, 'a') + "\xF0\x9F\x98\x80"), std::string(29, 'a'));
}

TEST(CutFileName, KeepsTheExtension) {
    EXPECT_EQ(CutFileName("a_very_long_texture_file_name_indeed.png"), "a_very_long_texture_file_na.png");
    EXPECT_EQ(CutFileName("short.png"), "short.png");
    EXPECT_EQ(CutFileName(std::string(40, 'x')), std::string(31, 'x'));
}

TEST(UniqueNames, CutsThenNumbers) {
    UniqueNames names;
    EXPECT_EQ(names.Make("body", "mesh0"), "body");
    EXPECT_EQ(names.Make("body", "mesh1"), "body_2");
    EXPECT_EQ(names.Make("body", "mesh2"), "body_3");
    EXPECT_EQ(names.Make("", "mesh3"), "mesh3");
    const std::string longName(40, 'n');
    EXPECT_EQ(names.Make(longName, ""), std::string(31, 'n'));
    EXPECT_EQ(names.Make(longName, ""), std::string(29, 'n') + "_2");
    EXPECT_EQ(names.Make("body_2", ""), "body_2_2");
}

}  // namespace
