#include "names/sequence_names.h"

#include <gtest/gtest.h>

namespace {

using hm::imp::SequenceNames;

TEST(SequenceNames, TellClipsApart) {
    const std::string ends70 = std::string(70, 'x');
    const struct {
        const char* why;
        std::vector<std::string> clips, names;
    } cases[] = {
        {"owners dropped", {"Armature|Armature|Walk", "Armature|Run"}, {"Walk", "Run"}},
        {"owners kept where takes meet", {"Armature|Walk", "Hat|Walk", "Hat|Jump"}, {"Armature_Walk", "Hat_Walk", "Jump"}},
        {"only as far as needed", {"A|Rig|Walk", "B|Rig|Walk", "Walk"}, {"A_Rig_Walk", "B_Rig_Walk", "Walk"}},
        {"one word", {"Walk cycle", "", "|", "Run-2"}, {"Walk_cycle", "clip", "clip_2", "Run_2"}},
        {"numbers only for names alike in full", {"Walk", "walk", "Walk_2"}, {"Walk", "walk_3", "Walk_2"}},
        {"long: the end kept", {"Take_" + ends70 + "_Walk", "Take_" + ends70 + "_Run"},
         {ends70.substr(70 - 58) + "_Walk", ends70.substr(70 - 59) + "_Run"}},
        {"long, ends alike: from where they differ", {"Walk_" + ends70, "Jump_" + ends70},
         {("Walk_" + ends70).substr(0, 63), ("Jump_" + ends70).substr(0, 63)}},
        {"long, differing mid-word: from that word", {"Take_Attack1" + ends70, "Take_Attack2" + ends70},
         {("Attack1" + ends70).substr(0, 63), ("Attack2" + ends70).substr(0, 63)}},
    };
    for (const auto& c : cases) EXPECT_EQ(SequenceNames(c.clips), c.names) << c.why;
}

TEST(SequenceNames, FitTheEnginesNames) {
    const std::vector<std::string> names = SequenceNames({std::string(100, 'a'), std::string(100, 'a')});
    EXPECT_EQ(names[0], std::string(63, 'a'));
    EXPECT_EQ(names[1], std::string(61, 'a') + "_2");
}

}  // namespace
