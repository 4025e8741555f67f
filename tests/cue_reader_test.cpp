// The cue reader: offsets, codes, and whole files read piece by piece.
#include "playback/cue_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fake_board.h"
#include "playback/show_clock.h"

namespace {

TEST(GetOffset, ReadsHexFromTheFirstEightCharacters) {
    const std::vector<std::pair<const char*, std::int32_t>> cases = {
        {"1f4:ON\n", 500},
        {"0000012C:ab:cd\r\n", 300},
        {"0x10:x\n", 16},
        {"0X1F:x\n", 31},
        {"  a:x\n", 10},
        {"-a:x\n", -10},
        {"+a:x\n", 10},
        {":x\n", 0},
        {"zz:x\n", 0},
        {"1abcdef23:x\n", 0x1abcdef2},
        {"7fffffff:x\n", INT32_MAX},
        // Eight hex digits from 8 up clamp to the largest 32-bit value,
        // whatever the width of `long`.
        {"FFFFFFFF:x\n", INT32_MAX},
        {"8abcdef0:x\n", INT32_MAX},
        {"-fffffff:x\n", -0xFFFFFFF},
        {"12345678901:x", 0x12345678},  // colon after the eighth character
    };
    for (const auto& [line, offset] : cases) {
        EXPECT_EQ(getOffset(line), offset) << line;
    }
}

TEST(GetOffset, NoColonMeansNoOffset) {
    EXPECT_EQ(getOffset("1f4 ON\n"), kNoOffset);
    EXPECT_EQ(getOffset("\n"), kNoOffset);
    EXPECT_EQ(getOffset(""), kNoOffset);
    // The field that reads as -1000 is indistinguishable from the mark.
    EXPECT_EQ(getOffset("-3e8:x\n"), kNoOffset);
}

TEST(GetCodes, TakesAllAfterTheFirstColon) {
    EXPECT_STREQ(getCodes("1f4:ON\n"), "ON\n");
    EXPECT_STREQ(getCodes("0000012C:ab:cd\r\n"), "ab:cd\r\n");
    EXPECT_STREQ(getCodes("1f4:\n"), "\n");
    EXPECT_STREQ(getCodes("1f4:"), "");
    EXPECT_STREQ(getCodes("no colon\n"), "no colon\n");
    EXPECT_EQ(getCodes("x:y"), buf);
}

class CueFile : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        fake::step = 1U << 20;  // let far-off cues fall due quickly
    }

    // Plays `bytes` as a cue file through the real reader and show clock.
    static void play(const std::string& bytes) {
        std::FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::rewind(file);
        playFile(file);
        std::fclose(file);
    }

    // The codes written to the port, in order, when `bytes` is played.
    static std::vector<std::string> codesOf(const std::string& bytes) {
        fake::writes.clear();
        play(bytes);
        std::vector<std::string> codes;
        for (const fake::Write& write : fake::writes) {
            codes.push_back(write.codes);
        }
        return codes;
    }
};

using Codes = std::vector<std::string>;

TEST_F(CueFile, PassesOverLinesThatCarryNoCue) {
    EXPECT_EQ(codesOf("hello\n"
                      "\n"
                      "-3e8:not this\n"
                      "1f4:\n"
                      "3e8:ON\r\n"
                      "5dc:"),  // empty codes at the end of the file
              (Codes{"\n", "ON\r\n"}));
}

TEST_F(CueFile, OnlyMinusThousandItselfMarksALineWithoutACue) {
    EXPECT_EQ(codesOf("-3e9:below\n"
                      "-3e8:mark\n"
                      "-3e7:above\n"
                      "-fffffff:lowest\n"),
              (Codes{"below\n", "above\n", "lowest\n"}));
}

TEST_F(CueFile, EmptyFileQueuesNothing) { EXPECT_TRUE(codesOf("").empty()); }

TEST_F(CueFile, LastLineWithoutLineEndIsACue) {
    EXPECT_EQ(codesOf("0:a\n10:b"), (Codes{"a\n", "b"}));
}

TEST_F(CueFile, LongLinesAreSplitAt254Characters) {
    // 300 characters and a line feed: a cue of 254 characters, then a
    // piece of 46 that is a cue only because it holds a colon.
    std::string first = "0:" + std::string(252, 'a');
    std::string rest = "5:" + std::string(44, 'b');
    EXPECT_EQ(codesOf(first + rest + "\n"),
              (Codes{std::string(252, 'a'), std::string(44, 'b') + "\n"}));

    // Without a colon in the rest, the rest is passed over.
    EXPECT_EQ(codesOf(first + std::string(46, 'c') + "\n"), (Codes{std::string(252, 'a')}));
}

TEST_F(CueFile, LineOf254LosesItsLineEndAnd253KeepsIt) {
    std::string line254 = "0:" + std::string(252, 'x');
    std::string line253 = "0:" + std::string(251, 'y');
    EXPECT_EQ(codesOf(line254 + "\n" + line253 + "\n"),
              (Codes{std::string(252, 'x'), std::string(251, 'y') + "\n"}));
}

TEST_F(CueFile, ColonAt254thCharacterGivesAnEmptyCue) {
    std::string line = std::string(253, '0') + ":" + "0:after\n";
    EXPECT_EQ(codesOf(line), (Codes{"after\n"}));
}

TEST_F(CueFile, ZeroByteEndsThePiece) {
    EXPECT_EQ(codesOf(std::string("1f4:AB\0CD\n2:x\n", 14)), (Codes{"AB", "x\n"}));
}

TEST_F(CueFile, CuesArePlayedInFileOrderWithTheirOffsets) {
    play("3e8:first\n1f4:second\n7d0:third\n");
    ASSERT_EQ(fake::writes.size(), 3U);
    EXPECT_EQ(ShowOffset, 0x3e8);
    EXPECT_EQ(fake::writes[0].codes, "first\n");
    EXPECT_EQ(fake::writes[1].codes, "second\n");
    EXPECT_EQ(fake::writes[2].codes, "third\n");
    // The second is below the base: written at the very next reading.
    EXPECT_EQ(fake::writes[1].lastReading - fake::writes[0].lastReading, fake::step);
    EXPECT_GE(fake::writes[2].lastReading - static_cast<std::uint32_t>(starttime), 0x3e8U);
}

TEST_F(CueFile, ReadErrorEndsReadingLikeTheEnd) {
    std::FILE* directory = std::fopen("/", "r");
    ASSERT_NE(directory, nullptr);
    playFile(directory);
    std::fclose(directory);
    EXPECT_TRUE(fake::writes.empty());
}

}  // namespace
