// Script class lines as users write them by hand.
#include "view/script_class_reader.h"

#include <gtest/gtest.h>

namespace {

struct HandLine {
    const char* line;
    const char* sequence;  // the sequence it declares, or nullptr
    int first, count;
    const char* problem;   // or a part of the problem it is, or nullptr
};

const HandLine kLines[] = {
    {"#exec MESH SEQUENCE MESH=Guard SEQ=Walk STARTFRAME=3 NUMFRAMES=12", "Walk", 3, 12, nullptr},
    {"  #EXEC mesh sequence mesh=guard seq=Run startframe=0 numframes=8 RATE=15", "Run", 0, 8, nullptr},
    {"#exec MESH SEQUENCE MESH=Guard SEQ=\"Die\" STARTFRAME=1 NUMFRAMES=2 GROUP=Death", "Die", 1, 2, nullptr},
    {"// #exec MESH SEQUENCE MESH=Guard SEQ=Off STARTFRAME=0 NUMFRAMES=1", nullptr, 0, 0, nullptr},
    {"#exec MESH SEQUENCE MESH=Other SEQ=Theirs STARTFRAME=0 NUMFRAMES=1", nullptr, 0, 0, nullptr},
    {"#exec MESH SEQUENCE MESH=Guard SEQ=Bad STARTFRAME=x NUMFRAMES=1", nullptr, 0, 0, "STARTFRAME=x is not a whole number"},
    {"#exec MESH SEQUENCE MESH=Guard STARTFRAME=0 NUMFRAMES=1", nullptr, 0, 0, "MESH SEQUENCE without SEQ="},
    {"#exec MESH SEQUENCE MESH=Guard SEQ=Slow STARTFRAME=0 NUMFRAMES=1 RATE=-2", nullptr, 0, 0, "RATE=-2 is not a positive"},
    // Rates whose times no float holds (1e-45 put "max": null into the glTF file).
    {"#exec MESH SEQUENCE MESH=Guard SEQ=Still STARTFRAME=0 NUMFRAMES=1 RATE=1e-45", nullptr, 0, 0,
     "sequence Still: RATE=1e-45 is outside 0.001 to 100000 frames a second"},
    {"#exec MESH SEQUENCE MESH=Guard SEQ=Blur STARTFRAME=0 NUMFRAMES=1 RATE=100001", nullptr, 0, 0,
     "sequence Blur: RATE=100001 is outside"},
    {"#exec MESH SEQUENCE MESH=Guard SEQ=Fast STARTFRAME=0 NUMFRAMES=1 RATE=100000", "Fast", 0, 1, nullptr},
};

TEST(ScriptClassReader, HandWrittenSequenceLines) {
    for (const HandLine& hand : kLines) {
        view::ScriptClass script = view::ReadScriptClass(std::string(hand.line) + "\r\n", "Guard");
        if (hand.sequence) {
            ASSERT_EQ(script.sequences.size(), 1u) << hand.line;
            EXPECT_EQ(script.sequences[0].name, hand.sequence);
            EXPECT_EQ(script.sequences[0].firstFrame, hand.first);
            EXPECT_EQ(script.sequences[0].frameCount, hand.count);
        } else {
            EXPECT_TRUE(script.sequences.empty()) << hand.line;
        }
        if (hand.problem) {
            ASSERT_EQ(script.problems.size(), 1u) << hand.line;
            EXPECT_NE(script.problems[0].find(hand.problem), std::string::npos) << script.problems[0];
        } else {
            EXPECT_TRUE(script.problems.empty()) << hand.line << ": " << ::testing::PrintToString(script.problems);
        }
    }
}

TEST(ScriptClassReader, BlockCommentsAndRepeatedNames) {
    view::ScriptClass script = view::ReadScriptClass(
        "/* old takes:\n#exec MESH SEQUENCE MESH=Guard SEQ=Old STARTFRAME=0 NUMFRAMES=1\n*/\n"
        "#exec MESH SEQUENCE MESH=Guard SEQ=Walk STARTFRAME=0 NUMFRAMES=4\n"
        "#exec MESH SEQUENCE MESH=Guard SEQ=walk STARTFRAME=4 NUMFRAMES=4\n"
        "#exec MESHMAP SCALE MESHMAP=Guard X=0.5 Z=2\n",
        "Guard");
    ASSERT_EQ(script.sequences.size(), 1u);
    EXPECT_EQ(script.sequences[0].name, "Walk");
    ASSERT_EQ(script.problems.size(), 1u);
    EXPECT_EQ(script.problems[0], "line 5: sequence walk is declared again (first on line 4)");
    EXPECT_TRUE(script.hasScale);
    EXPECT_EQ(script.scale, (std::array<float, 3>{0.5f, 1.0f, 2.0f}));
}

}  // namespace
