// The show checker: what it shows agrees with what the player plays, and it
// warns about each thing the player passes over or treats unexpectedly.
#include "check/show_check.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "check/escape.h"
#include "fake_board.h"
#include "playback/cue_reader.h"

namespace {

std::FILE* fileOf(const std::string& bytes) {
    std::FILE* file = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    return file;
}

ShowCheck check(const std::string& bytes, int baud = 0, std::int64_t periodMs = 0) {
    std::FILE* file = fileOf(bytes);
    ShowCheck result = checkShow(file, baud, periodMs);
    std::fclose(file);
    return result;
}

std::vector<std::string> warningsOf(const ShowCheck& result) {
    std::vector<std::string> warnings;
    for (const CheckNote& note : result.notes) {
        if (note.warning) {
            warnings.push_back(note.text);
        }
    }
    return warnings;
}

// The one warning of `bytes`; fails when there is not exactly one.
std::string onlyWarning(const std::string& bytes) {
    const std::vector<std::string> warnings = warningsOf(check(bytes));
    EXPECT_EQ(warnings.size(), 1U) << escapeBytes(bytes);
    return warnings.empty() ? "" : warnings.front();
}

TEST(ShowChecker, ShowsWhatThePlayerPlays) {
    // A file with every kind of trouble: the checker's cues must be the
    // player's writes, in order.
    const std::string bytes = std::string("3e8:a\r\n") + "x\n" + "1f4:b:c\n" + "-3e8:d\n" +
                              "0:" + std::string(300, 'L') + "\n" + "5:AB" + std::string(1, '\0') +
                              "CD\n" + "FFFFFFFF:e\n" + "-fffffff:f\n" + "10:";
    fake::reset();
    fake::step = 1U << 22;
    std::FILE* file = fileOf(bytes);
    playFile(file);
    std::fclose(file);
    const ShowCheck result = check(bytes);
    ASSERT_EQ(result.cues.size(), fake::writes.size());
    for (std::size_t i = 0; i < result.cues.size(); ++i) {
        EXPECT_EQ(result.cues[i].codes, fake::writes[i].codes) << "cue " << i;
    }
}

TEST(ShowChecker, CleanShowHasNoWarningAndItsMoments) {
    const ShowCheck result = check("1f4:ON\n\n3e8:OFF\n3e8:AGAIN\n\r\nea60:LATE\n");
    EXPECT_EQ(result.warnings, 0);
    EXPECT_EQ(result.passedOver, 0);
    ASSERT_EQ(result.cues.size(), 4U);
    EXPECT_EQ(result.cues[1].line, 3);
    EXPECT_EQ(result.cues[1].offsetText, "3e8");
    EXPECT_EQ(result.cues[1].offset, 1000);
    EXPECT_EQ(result.cues[1].moment, 500);
    EXPECT_EQ(result.cues[3].line, 6);
    EXPECT_EQ(result.duration, 60000 - 500);
    EXPECT_EQ(result.bytes, 3U + 4 + 6 + 5);
    EXPECT_EQ(clockTime(result.duration), "0:00:59.500");
    EXPECT_EQ(clockTime(3723004), "1:02:03.004");
}

TEST(ShowChecker, WarnsAboutLinesPassedOver) {
    EXPECT_EQ(onlyWarning("0:a\nno colon\n"), "line 2: no colon: passed over");
    EXPECT_EQ(
        onlyWarning("0:a\n-3e8:x\n"),
        "line 2: offset reads as -1000 (-3e8), which marks a line without a cue: passed over");
    EXPECT_EQ(onlyWarning("0:a\n1f4:"), "line 2: nothing after the colon: passed over");
    EXPECT_EQ(check("0:a\nno colon\n-3e8:x\n").passedOver, 2);
}

TEST(ShowChecker, WarnsAboutCuesTreatedUnexpectedly) {
    EXPECT_EQ(onlyWarning("0:ON\r\n"),
              "line 1: codes end in a carriage return and line feed: both are sent to the device");
    EXPECT_EQ(onlyWarning("0:a\n1f4:b\n10:c\n"),
              "line 3: due at 0:00:00.016, before an earlier cue at 0:00:00.500: it is played at "
              "once");
    EXPECT_EQ(onlyWarning("8abcdef0:x\n"),
              "line 1: offset 8abcdef0 is beyond the 32-bit limit: it is read as 7fffffff "
              "(2147483647 ms)");
    EXPECT_EQ(onlyWarning("1abcdef23:x\n"),
              "line 1: offset field 1abcdef23 has digits after the eighth character: only 1abcdef2 "
              "is read");
    EXPECT_EQ(onlyWarning(std::string("1f4:AB\0CD\n", 10)),
              "line 1: zero byte at column 7: the 3 bytes after it are not sent");
}

TEST(ShowChecker, WarnsWhenTheOffsetsNumberStopsBeforeTheColon) {
    // A letter O for a zero, a unit after the number, a blank before the
    // colon: each plays at what the number before it says.
    EXPECT_EQ(onlyWarning("1O0:x\n"),
              "line 1: offset field 1O0 holds more than a hexadecimal number: it is read as 1 ms");
    EXPECT_EQ(onlyWarning("500ms:x\n"),
              "line 1: offset field 500ms holds more than a hexadecimal number: it is read as "
              "1280 ms");
    EXPECT_EQ(onlyWarning("0:a\n1f4 :x\n"),
              "line 2: offset field 1f4  holds more than a hexadecimal number: it is read as "
              "500 ms");
    // What the player reads without a second thought is no mistake.
    for (const char* line : {"  +0x1F4:a\n", "-a:b\n", ":c\n", "FFFF:d\n"}) {
        EXPECT_EQ(check(line).warnings, 0) << line;
    }
}

TEST(ShowChecker, ByteOrderMarkGetsItsOwnWords) {
    // Written by Windows editors: the first offset reads as 0, and every
    // later cue comes 500 ms early counted from it.
    const std::vector<std::string> warnings =
        warningsOf(check("\xEF\xBB\xBF"
                         "1f4:a\n3e8:b\n"));
    ASSERT_EQ(warnings.size(), 1U);
    EXPECT_EQ(warnings[0],
              "line 1: byte-order mark at the start of the file: it is read as 0 ms; save the "
              "file without it (UTF-8 without BOM)");
}

TEST(ShowChecker, PeriodWarnsAboutCuesPlayedAtOrAfterIt) {
    const std::string show = "0:a\n3e7:b\n3e8:c\n10:d\n";
    EXPECT_EQ(check(show, 0, 1001).warnings, 1);  // only "d", before "c"
    std::FILE* file = fileOf(show);
    const std::vector<std::string> warnings = warningsOf(checkShow(file, 0, 1000));
    std::fclose(file);
    ASSERT_EQ(warnings.size(), 3U);
    EXPECT_EQ(warnings[0],
              "line 3: played at 0:00:01.000, not before the period of 0:00:01.000: in the next "
              "pass's time, whose cues due by then are played late");
    EXPECT_EQ(warnings[2].substr(0, 29), "line 4: played at 0:00:01.000");
}

TEST(ShowChecker, WarnsAboutCuesAfterTheSoundAndASoundLongerThanThePeriod) {
    const std::string cutOff =
        "the sound lasts 0:00:01.001, longer than the period of 0:00:01.000: each pass cuts it "
        "off where the next begins";
    struct Case {
        const char* show;
        std::int64_t soundMs;
        std::int64_t periodMs;
        std::vector<std::string> warnings;
    };
    const Case cases[] = {
        // A cue at the sound's last millisecond is still within it; counted
        // from the first cue, the moment it is played.
        {"10:a\n3f8:b\n3fa:c\n3f9:d\n",
         1000,
         0,
         {"line 3: played at 0:00:01.002, after the sound ends at 0:00:01.000",
          "line 4: due at 0:00:01.001, before an earlier cue at 0:00:01.002: it is played at once",
          "line 4: played at 0:00:01.002, after the sound ends at 0:00:01.000"}},
        {"0:a\n3e8:b\n",
         1000,
         1000,
         {"line 2: played at 0:00:01.000, not before the period of 0:00:01.000: in the next "
          "pass's time, whose cues due by then are played late"}},
        {"0:a\n1:b\n", 1001, 1000, {cutOff}},
        {"0:a\n1:b\n", 1000, 1000, {}},
        {"0:a\n3e9:b\n", -1, 0, {}},  // no sound
        {"0:a\n3e9:b\n",
         0,
         0,
         {"line 2: played at 0:00:01.001, after the sound ends at 0:00:00.000"}},
    };
    for (const Case& c : cases) {
        std::FILE* file = fileOf(c.show);
        EXPECT_EQ(warningsOf(checkShow(file, 0, c.periodMs, false, c.soundMs)), c.warnings)
            << escapeBytes(c.show) << " with a sound of " << c.soundMs << " ms";
        std::fclose(file);
    }
}

TEST(ShowChecker, CueDueBeforeAnEarlierOneIsShownWhenItIsPlayed) {
    // Played at once after the cue at 500 ms, so at 500 ms, not at 16.
    const ShowCheck result = check("0:a\n1f4:b\n10:c\n");
    ASSERT_EQ(result.cues.size(), 3U);
    EXPECT_EQ(result.cues[2].moment, 500);
    EXPECT_EQ(result.duration, 500);
}

TEST(ShowChecker, EachFileIsAShowOfItsOwn) {
    check("3e8:a\n7d0:b\n");
    const ShowCheck second = check("0:a\n1f4:b\n");
    ASSERT_EQ(second.cues.size(), 2U);
    EXPECT_EQ(second.cues[0].moment, 0);
    EXPECT_EQ(second.cues[1].moment, 500);
    EXPECT_EQ(second.warnings, 0);
}

TEST(ShowChecker, NegativeBaseFollowsTheShowClock) {
    const ShowCheck result = check("-5:a\n3:b\nd:c\n");
    ASSERT_EQ(result.cues.size(), 3U);
    EXPECT_EQ(result.cues[1].moment, 0);
    EXPECT_EQ(result.cues[2].moment, 10);
    EXPECT_EQ(result.warnings, 0);
}

TEST(ShowChecker, TellsWhatEachPieceOfALongLineBecomes) {
    const std::string line = "0:" + std::string(252, 'a') + "5:" + std::string(44, 'b') + "\n";
    const ShowCheck result = check(line + "no\n");
    ASSERT_EQ(result.cues.size(), 2U);
    EXPECT_EQ(result.cues[1].line, 1);
    EXPECT_EQ(warningsOf(result),
              (std::vector<std::string>{
                  "line 1, piece 1 (from column 1): longer than 253 characters with its line end: "
                  "it is read in pieces of 254 characters, each as a line of its own",
                  "line 2: no colon: passed over"}));

    // A line of exactly 254 characters: its line end comes as a piece of
    // its own, passed over.
    const std::vector<std::string> warnings =
        warningsOf(check("0:" + std::string(252, 'x') + "\n"));
    ASSERT_EQ(warnings.size(), 2U);
    EXPECT_EQ(warnings[1], "line 1, piece 2 (from column 255): no colon: passed over");
}

TEST(ShowChecker, WarnsWhenBytesCannotLeaveBeforeTheNextMoment) {
    // 10 bytes at 1000 baud need 100 ms; cues at one moment count together.
    const ShowCheck ok = check("0:123456789\n64:x\n", 1000);
    EXPECT_EQ(ok.warnings, 0);
    const std::vector<std::string> warnings = warningsOf(check("0:1234\n0:56789\n63:x\n", 1000));
    ASSERT_EQ(warnings.size(), 1U);
    EXPECT_EQ(warnings[0],
              "line 1: 11 bytes due at 0:00:00.000 need 110.0 ms at 1000 baud, but the next cue "
              "(line 3) is due 99 ms later");
}

TEST(EscapeBytes, ShowsEveryByteUnambiguously) {
    // A backslash is doubled, so that a written "\\n" cannot pass for a
    // line feed; control characters, DEL and bytes above ASCII as \xNN.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"ON\r\n", "ON\\r\\n"},
        {"a\\nb", "a\\\\nb"},
        {std::string("\0\t\x1f", 3), "\\x00\\x09\\x1F"},
        {" ~", " ~"},
        {"\x7f\x80\xff", "\\x7F\\x80\\xFF"},
    };
    for (const auto& [bytes, shown] : cases) {
        EXPECT_EQ(escapeBytes(bytes), shown) << shown;
    }
}

}  // namespace

TEST(ShowChecker, WarnsAboutAShowWithoutCuesAndOneThatLoopsWithoutPause) {
    // Repeated without end and without a period, a pass whose cues all fall
    // at one moment would start the next at once; the player refuses it.
    const std::string noPause =
        "line 2: every cue falls at one moment, so a pass takes no time: orvplayer refuses to "
        "repeat it without end (-r 0) unless a period (-p) or a trigger (-w) is given";
    struct Case {
        const char* show;
        bool endless;
        std::int64_t periodMs;
        std::string warning;  // "" for none
    };
    const Case cases[] = {
        {"", false, 0, "no cue in the file: the show plays nothing"},
        {"\n\n", true, 0, "no cue in the file: the show plays nothing"},
        {"1f4:a\n1f4:b\n", true, 0, noPause},
        {"-5:a\n3:b\n", true, 0, noPause},  // each takes its offset as the base
        {"1f4:a\n1f4:b\n", false, 0, ""},   // played once: nothing to say
        {"1f4:a\n1f4:b\n", true, 500, ""},  // a period spaces the passes
        {"0:a\n1:b\n", true, 0, ""},        // a pass of 1 ms
        {"-5:a\n3:b\nd:c\n", true, 0, ""},  // 10 ms after the base of 3
    };
    for (const Case& c : cases) {
        std::FILE* file = fileOf(c.show);
        const std::vector<std::string> warnings =
            warningsOf(checkShow(file, 0, c.periodMs, c.endless));
        std::fclose(file);
        if (c.warning.empty()) {
            EXPECT_TRUE(warnings.empty()) << escapeBytes(c.show);
        } else {
            EXPECT_EQ(warnings, std::vector<std::string>{c.warning}) << escapeBytes(c.show);
        }
    }
}
