// A cue file played in passes on the fake board: passes started by
// triggers, counted from the trigger's moment, and the rules for triggers
// that come during a pass or before a period is over.
#include "playback/passes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "board/board.h"
#include "fake_board.h"
#include "playback/show_clock.h"

namespace {

class TriggeredPasses : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        triggerSource = 0;
        passWaitsForTrigger = true;
    }

    // Plays `bytes` `count` times (0: until the triggers run out).
    static void play(const std::string& bytes, std::int64_t count) {
        std::FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::rewind(file);
        EXPECT_EQ(playPasses(file, count), kPassesPlayed);
        std::fclose(file);
    }

    // The clock readings at which the cues were written.
    static std::vector<std::uint32_t> writtenAt() {
        std::vector<std::uint32_t> at;
        for (const fake::Write& write : fake::writes) {
            at.push_back(write.lastReading);
        }
        return at;
    }
};

using Readings = std::vector<std::uint32_t>;

// The first cue of a pass goes at once once its trigger is seen: within the
// few readings of this clock that it takes.
void expectPassesAt(const Readings& written, const Readings& starts, std::uint32_t second) {
    ASSERT_EQ(written.size(), starts.size() * 2);
    for (std::size_t pass = 0; pass < starts.size(); ++pass) {
        EXPECT_GE(written[2 * pass], starts[pass]) << "pass " << pass;
        EXPECT_LT(written[2 * pass], starts[pass] + 3) << "pass " << pass;
        EXPECT_EQ(written[2 * pass + 1], starts[pass] + second) << "pass " << pass;
    }
}

TEST_F(TriggeredPasses, PassCountsFromTheTriggersMomentNotFromWhenItWasSeen) {
    // Seen 7 ms after the edge: the first cue goes at once, and the next
    // 10 ms after the edge, not after it was seen.
    fake::triggers = {3000};
    fake::triggerSeenAfter = 7;
    play("0:a\na:b\n", 1);
    ASSERT_EQ(fake::writes.size(), 2U);
    EXPECT_LT(writtenAt()[0], 3010U);
    EXPECT_EQ(writtenAt()[1], 3010U);
}

TEST_F(TriggeredPasses, EveryPassWaitsForATriggerOfItsOwnUntilInputEnds) {
    fake::triggers = {2000, 5000, 9000};
    play("0:a\n32:b\n", 0);
    expectPassesAt(writtenAt(), {2000, 5000, 9000}, 50);
}

TEST_F(TriggeredPasses, TriggersDuringAPassAreNotPlayedLater) {
    // 2010 and 2040 come while the pass plays: neither starts a pass, then
    // or after it; 2100 comes after it and starts the next.
    fake::triggers = {2000, 2010, 2040, 2100};
    play("0:a\n32:b\n", 3);
    expectPassesAt(writtenAt(), {2000, 2100}, 50);
    EXPECT_GT(fake::triggerDiscards, 0);
}

TEST_F(TriggeredPasses, TriggerRightAfterThePassesLastCueStartsTheNextPass) {
    // The pass ends when its last cue is written: a trigger that comes
    // while that write is still under way (it takes a millisecond here)
    // came between passes, and is not lost.
    fake::triggers = {2000, 2052};
    fake::writeCost = 1;
    play("0:a\n32:b\n", 2);
    ASSERT_EQ(fake::writes.size(), 4U);
    EXPECT_EQ(writtenAt()[1], 2050U);
    EXPECT_EQ(writtenAt()[3], 2102U);
}

TEST_F(TriggeredPasses, PeriodIsTheLeastTimeBetweenTwoPassStarts) {
    // The pass is over at 2050, but 2300 is less than 500 ms after 2000.
    // The period counts from the trigger's moment, neither from when it was
    // seen (2002) nor from the pass's end: 2500 starts a pass, and 2999 is
    // 1 ms too soon after it. Each pass's second cue shows where it began.
    passPeriod = 500;
    fake::triggerSeenAfter = 2;
    fake::triggers = {2000, 2300, 2500, 2999, 3000};
    play("0:a\n32:b\n", 0);
    const Readings written = writtenAt();
    ASSERT_EQ(written.size(), 6U);
    EXPECT_EQ(Readings({written[1], written[3], written[5]}), Readings({2050, 2550, 3050}));
}

TEST_F(TriggeredPasses, EdgeStampedDuringAPassIsNotPlayedWhenReadAfterIt) {
    // A GPIO edge carries its own moment: one at 2030, during the pass, is
    // only read once the pass is over, and must not start the next.
    fake::triggers = {2000, 2100};
    fake::afterWrite = [](std::size_t write) {
        if (write == 1) {
            fake::triggers.insert(fake::triggers.begin(), 2030);
        }
    };
    play("0:a\n32:b\n", 2);
    expectPassesAt(writtenAt(), {2000, 2100}, 50);
}

TEST_F(TriggeredPasses, FiniteCountPlaysThatManyTriggeredPasses) {
    fake::triggers = {2000, 3000, 4000};
    play("0:a\n32:b\n", 2);
    expectPassesAt(writtenAt(), {2000, 3000}, 50);
}

TEST(PassesOfAFile, EachPassTakesItsBaseFromItsOwnFirstCue) {
    // The file is rewritten while the first pass plays: the second pass
    // counts from its own first cue (1000 ms), not from the first pass's.
    fake::reset();
    passPeriod = 100;
    std::FILE* file = std::tmpfile();
    std::fputs("0:a\n", file);
    std::rewind(file);
    fake::afterWrite = [file](std::size_t write) {
        if (write == 0) {
            std::freopen(nullptr, "w+", file);
            std::fputs("3e8:b\n3f2:c\n", file);
        }
    };
    EXPECT_EQ(playPasses(file, 2), kPassesPlayed);
    std::fclose(file);
    ASSERT_EQ(fake::writes.size(), 3U);
    const auto start = static_cast<std::uint32_t>(starttime);
    EXPECT_EQ(fake::writes[1].lastReading - start, 100U);
    EXPECT_EQ(fake::writes[2].lastReading - start, 110U);
}

TEST_F(TriggeredPasses, StopWhileWaitingForATriggerEndsTheRunAtOnce) {
    fake::triggers = {2000};
    fake::stopSignal = 15;
    std::FILE* file = std::tmpfile();
    std::fputs("0:a\n", file);
    std::rewind(file);
    EXPECT_THROW(playPasses(file, 0), fake::EndedBySignal);
    std::fclose(file);
    EXPECT_TRUE(fake::writes.empty());
}

}  // namespace
