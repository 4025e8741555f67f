// The show clock against a scripted clock: when each cue is written.
#include "playback/show_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

#include "board/board.h"
#include "fake_board.h"
#include "playback/wake_margin.h"

namespace {

class ShowClock : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }

    // Queues the offsets in order, each with its index as codes.
    void play(const std::vector<std::int32_t>& offsets) {
        for (std::size_t i = 0; i < offsets.size(); ++i) {
            queue(offsets[i], std::to_string(i).c_str());
        }
    }

    // Milliseconds after the first cue's clock reading at which cue `i`
    // was written (as the writer's last clock reading). The first cue goes
    // on the reading that starts the show; a cue already due goes on the
    // next reading: 1 ms on, with this clock.
    std::int64_t writtenAt(std::size_t i) const {
        return static_cast<std::uint32_t>(fake::writes.at(i).lastReading -
                                          static_cast<std::uint32_t>(starttime));
    }
};

TEST_F(ShowClock, WritesEachCueAtItsFirstDueReading) {
    play({0, 0x1f4, 0x3e8});
    ASSERT_EQ(fake::writes.size(), 3U);
    EXPECT_EQ(writtenAt(0), 0);
    EXPECT_EQ(writtenAt(1), 500);
    EXPECT_EQ(writtenAt(2), 1000);
}

TEST_F(ShowClock, CountsFromTheFirstCueWhateverItsOffset) {
    fake::now = 777;
    play({0x1f4, 0x3e8});
    EXPECT_EQ(starttime, 778);  // the first tick after the first cue came
    EXPECT_EQ(ShowOffset, 0x1f4);
    EXPECT_EQ(writtenAt(0), 0);
    EXPECT_EQ(writtenAt(1), 500);
}

TEST_F(ShowClock, NeverEarlyWithACoarseClock) {
    // A clock that moves 7 ms between readings: each cue goes at the first
    // reading at or past its moment, never before it. The cue at 11 is due
    // already when it is queued and goes at the next reading.
    fake::step = 7;
    play({0, 10, 11, 50, 51});
    ASSERT_EQ(fake::writes.size(), 5U);
    const std::vector<std::int64_t> expected = {0, 14, 21, 55, 62};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(writtenAt(i), expected[i]) << "cue " << i;
    }
}

TEST_F(ShowClock, ShowStartsOnTheClocksNextTick) {
    // A clock read many times within each millisecond: the first cue waits
    // for the next tick, so that it leaves at the start of its millisecond.
    fake::readsPerStep = 50;
    play({0, 3});
    EXPECT_EQ(starttime, 1001);
    EXPECT_EQ(fake::writes[0].lastReading, 1001U);
    EXPECT_EQ(fake::writes[1].lastReading, 1004U);
}

TEST_F(ShowClock, StartMomentPutsTheShowOnItsTickWithoutWaiting) {
    // A wait for the wall clock (-t) put a tick at the moment: the first
    // cue goes on that very reading, and later cues count from it.
    fake::readsPerStep = 50;
    startTick = waitForWallClock(fake::wallNanos + 2500000000LL);
    ASSERT_EQ(startTick, 3500);
    play({0x10, 0x13});
    EXPECT_EQ(starttime, 3500);
    EXPECT_EQ(fake::writes[0].lastReading, 3500U);
    EXPECT_EQ(fake::writes[1].lastReading, 3503U);
}

TEST_F(ShowClock, PendingStartMomentIsWaitedForOnceTheFirstCueIsRead) {
    // -t as the last option: the first cue is queued before the moment and
    // waits for it, then goes on the tick that the moment begins.
    fake::readsPerStep = 50;
    startMoment = fake::wallNanos + 2500000000LL;
    play({0x10, 0x13});
    EXPECT_EQ(startMoment, -1);
    EXPECT_EQ(starttime, 3500);
    EXPECT_EQ(fake::writes[0].lastReading, 3500U);
    EXPECT_EQ(fake::writes[1].lastReading, 3503U);
}

TEST_F(ShowClock, StartMomentThatPassedWhileTheFirstCueWasReadPlaysNothing) {
    // Reading up to the first cue took past the moment: rather than start
    // late without a word, the run ends as for a moment already past.
    startMoment = fake::wallNanos - 1;
    EXPECT_EXIT(play({0, 3}), ::testing::ExitedWithCode(1), "");
    EXPECT_TRUE(fake::writes.empty());
}

TEST_F(ShowClock, ShowWithoutCuesStillEndsNoSoonerThanItsStartMoment) {
    startMoment = fake::wallNanos + 7000000;
    endPass();
    EXPECT_EQ(startMoment, -1);
    EXPECT_EQ(passStart, 1007);
    EXPECT_TRUE(fake::writes.empty());
}

TEST_F(ShowClock, ShowQueuedAfterTheStartMillisecondWaitsForATickAsBefore) {
    // A -d after the -t, say: the start moment's tick is gone.
    fake::readsPerStep = 50;
    startTick = waitForWallClock(fake::wallNanos);
    delay(2);
    play({0, 3});
    EXPECT_EQ(starttime, 1003);
    EXPECT_EQ(fake::writes[1].lastReading, 1006U);
}

TEST_F(ShowClock, OtherWorkGetsTheCoreOnceBeforeEachWaitNeverInABurst) {
    play({0, 0, 0, 0});
    EXPECT_EQ(fake::yields, 0);
    play({5, 9, 9});
    EXPECT_EQ(fake::yields, 2);
}

TEST_F(ShowClock, SameOffsetCuesGoBackToBack) {
    play({0x10, 0x20, 0x20, 0x20});
    ASSERT_EQ(fake::writes.size(), 4U);
    EXPECT_EQ(writtenAt(1), 16);
    // One clock reading each, no wait between them.
    EXPECT_EQ(writtenAt(2), 17);
    EXPECT_EQ(writtenAt(3), 18);
}

TEST_F(ShowClock, LatenessIsNotCarriedOn) {
    // The port takes 300 ms to accept each cue. The cue due 100 ms after
    // the first goes at once; the one at 1000 ms still goes at 1000 ms.
    fake::writeCost = 300;
    play({0, 100, 1000});
    EXPECT_EQ(writtenAt(1), 301);
    EXPECT_EQ(writtenAt(2), 1000);
}

TEST_F(ShowClock, CueBelowTheBaseGoesAtOnce) {
    play({0x100, 0x10, 0x200});
    EXPECT_EQ(writtenAt(1), 1);
    EXPECT_EQ(writtenAt(2), 0x100);
}

TEST_F(ShowClock, NegativeBaseIsReplacedByTheNextCue) {
    // -5 and 3 both go at once (the base becomes -5, then 3); 13 is due
    // 10 ms after the first cue was queued.
    play({-5, 3, 13});
    EXPECT_EQ(ShowOffset, 3);
    EXPECT_EQ(writtenAt(0), 0);
    EXPECT_EQ(writtenAt(1), 1);
    EXPECT_EQ(writtenAt(2), 10);
}

TEST_F(ShowClock, LargestOffsetThenMostNegativeDoesNotOverflow) {
    // 0x7FFFFFFF - (-0xFFFFFFF) would overflow 32 bits; the second cue is
    // below the base and goes at once.
    play({INT32_MAX, -0xFFFFFFF});
    ASSERT_EQ(fake::writes.size(), 2U);
    EXPECT_EQ(writtenAt(1), 1);
}

TEST_F(ShowClock, StaysRightAcrossTheClockWrap) {
    fake::now = 0xFFFFFF00U;
    play({0, 0x80, 0x200});
    EXPECT_EQ(fake::writes[1].lastReading, 0xFFFFFF81U);
    EXPECT_EQ(fake::writes[2].lastReading, 0x00000101U);
}

TEST_F(ShowClock, FirstReadingPastTwoToTheThirtyOneStillCounts) {
    // A start delay of about 25 days puts the first reading past 2^31 ms.
    fake::now = 0x80000010U;
    play({0, 0x20, 0x40});
    EXPECT_EQ(starttime, 0x80000011LL);
    EXPECT_EQ(writtenAt(1), 0x20);
    EXPECT_EQ(writtenAt(2), 0x40);
}

TEST_F(ShowClock, WritesCodesExactlyAsGiven) {
    queue(0, "ON\r\n");
    queue(0, ":x:\n");
    ASSERT_EQ(fake::writes.size(), 2U);
    EXPECT_EQ(fake::writes[0].codes, "ON\r\n");
    EXPECT_EQ(fake::writes[1].codes, ":x:\n");
}

TEST_F(ShowClock, HardWriteErrorEndsTheRunWithStatusOne) {
    fake::writeResult = -1;
    EXPECT_EXIT(queue(0, "x\n"), ::testing::ExitedWithCode(1), "");
}

// The longest time between two looks at the port, from the show's start
// to `until`, on the scripted clock.
std::uint32_t longestGapBetweenChecks(std::uint32_t until) {
    std::uint32_t last = static_cast<std::uint32_t>(starttime);
    std::uint32_t longest = 0;
    for (std::uint32_t at : fake::checks) {
        longest = std::max(longest, at - last);
        last = at;
    }
    return std::max(longest, until - last);
}

TEST_F(ShowClock, LooksAtThePortThroughALongWaitButNeverJustBeforeACue) {
    // Ten seconds to the third cue: an unplugged device must be noticed
    // within a tenth of a second, and the look (a system call) must never
    // stand between a cue's tick and its write. Looks every 20 ms from the
    // start would fall on 80, the last tick before the second cue.
    const std::vector<std::int32_t> offsets = {0, 81, 10081};
    play(offsets);
    ASSERT_EQ(fake::writes.size(), 3U);
    EXPECT_EQ(writtenAt(1), 81);
    EXPECT_EQ(writtenAt(2), 10081);
    EXPECT_GE(fake::checks.size(), 400U);
    // About every 20 ms, skipping only the tick before a cue.
    EXPECT_LE(longestGapBetweenChecks(fake::writes[2].lastReading), 22U);
    const auto start = static_cast<std::uint32_t>(starttime);
    for (std::uint32_t at : fake::checks) {
        const auto elapsed = static_cast<std::int32_t>(at - start);
        EXPECT_EQ(std::count(offsets.begin(), offsets.end(), elapsed + 1), 0)
            << "looked at " << elapsed << " ms";
    }
}

TEST_F(ShowClock, SleepsToAbsoluteDeadlinesAndPollsOnlyAMarginBeforeEachCue) {
    // However late this board wakes a sleeper, each sleep ends at a look at
    // the port (a whole tick) or a bounded margin before a cue's tick, never
    // counted from when the last sleep ended; the cues are never early, and
    // on time while the margin covers the lateness. The wait is asleep but
    // for those margins.
    constexpr std::int64_t kMs = 1000000;
    struct Row {
        const char* name;
        std::function<std::int64_t(std::size_t)> late;
        bool onTime;
        std::int64_t leastMargin;  // what it learned by the end
        std::int64_t mostMargin;
    };
    const std::vector<Row> rows = {
        {"on time", [](std::size_t) { return 0; }, true, 50000, 60000},
        {"30 us late", [](std::size_t) { return 30000; }, true, 60000, 70000},
        {"0.9 ms late", [](std::size_t) { return 900000; }, true, 1800000, 1800100},
        {"now and then 4 ms late", [](std::size_t i) { return i % 7 == 3 ? 4 * kMs : 20000; },
         false, 50000, 2000000},
    };
    const std::vector<std::int32_t> offsets = {0, 100, 10100, 10120, 10150, 10151};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fake::reset();
        fake::wakeLate = row.late;
        play(offsets);
        ASSERT_EQ(fake::writes.size(), offsets.size());
        for (std::size_t i = 0; i < offsets.size(); ++i) {
            EXPECT_GE(writtenAt(i), offsets[i]) << "cue " << i;
            if (row.onTime) {
                // On its tick to the nanosecond, not just within its
                // millisecond.
                EXPECT_EQ(writtenAt(i), offsets[i]) << "cue " << i;
                EXPECT_EQ(fake::writes[i].nanos, (starttime + offsets[i]) * kMs) << "cue " << i;
            }
        }
        std::int64_t slept = 0;
        for (std::size_t i = 0; i < fake::sleeps.size(); ++i) {
            const fake::Sleep& sleep = fake::sleeps[i];
            const std::int64_t from = static_cast<std::int64_t>(
                sleep.lastReading - static_cast<std::uint32_t>(starttime));
            const std::int64_t until = sleep.untilNanos - starttime * kMs;
            bool cueMargin = false;
            for (std::int32_t offset : offsets) {
                const std::int64_t margin = offset * kMs - until;
                cueMargin =
                    cueMargin || (margin >= kWakeMarginMinNanos && margin <= kWakeMarginMaxNanos);
            }
            EXPECT_TRUE(until % kMs == 0 || cueMargin) << "slept to " << until << " ns";
            slept += until + row.late(i) - from * kMs;
        }
        // Each reading of the scripted clock takes a millisecond, so the
        // margins' polls cost one or two each.
        EXPECT_GE(slept, (offsets.back() - 3 * static_cast<std::int64_t>(offsets.size())) * kMs);
        EXPECT_GE(wakeMarginNanos, row.leastMargin);
        EXPECT_LE(wakeMarginNanos, row.mostMargin);
    }
}

TEST(WakeMargin, RisesAtOnceToTwiceALateWakeAndFallsSlowlyWithinItsBounds) {
    struct Row {
        const char* name;
        std::int64_t from;
        std::vector<std::int64_t> late;
        std::int64_t least;
        std::int64_t most;
    };
    // Its bounds: 50 us and 2 ms.
    constexpr std::int64_t kMin = 50000;
    constexpr std::int64_t kMax = 2000000;
    const std::vector<Row> rows = {
        {"a late wake raises it at once", kMin, {400000}, 800000, 800000},
        {"never above its bound", kMin, {5000000}, kMax, kMax},
        {"one prompt wake lowers it a little", kMax, {0}, kMax - (kMax - kMin) / 20, kMax - 1},
        {"prompt wakes bring it down to its floor", kMax, std::vector<std::int64_t>(1000, 0), kMin,
         kMin + 1000},
        {"and to twice what they take", kMax, std::vector<std::int64_t>(1000, 100000), 200000,
         201000},
        {"a spike is not forgotten at once",
         kMin,
         {600000, 10000, 10000, 10000, 10000, 10000, 10000, 10000, 10000},
         900000,
         1200000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        wakeMarginNanos = row.from;
        for (std::int64_t late : row.late) {
            learnWake(late);
        }
        EXPECT_GE(wakeMarginNanos, row.least);
        EXPECT_LE(wakeMarginNanos, row.most);
    }
    wakeMarginNanos = kMax;
}

TEST_F(ShowClock, DenseCuesStillLetThePortBeLookedAt) {
    // A cue every millisecond leaves no wait a whole tick long; the port is
    // still looked at, after a write, at least every 50 ms.
    std::vector<std::int32_t> offsets;
    for (std::int32_t i = 0; i < 1000; ++i) {
        offsets.push_back(i);
    }
    play(offsets);
    ASSERT_EQ(fake::writes.size(), 1000U);
    EXPECT_EQ(writtenAt(999), 999);
    EXPECT_LE(longestGapBetweenChecks(fake::writes.back().lastReading), 50U);
    // Each look also tells the watchdog: waits too short to sleep in tell
    // it nothing.
    EXPECT_EQ(fake::alive, fake::checks);
}

TEST_F(ShowClock, DeviceGoneWhileWaitingEndsTheRunWithStatusOne) {
    fake::checkResult = -1;
    queue(0, "first\n");
    EXPECT_EXIT(queue(5000, "second\n"), ::testing::ExitedWithCode(1), "");
    // The run ended at the first look, long before the second cue.
    ASSERT_EQ(fake::writes.size(), 1U);
}

}  // namespace

namespace {

// Passes: each starts at a fixed moment counted from the first pass's start.
class Passes : public ShowClock {
protected:
    // Plays one pass of `offsets` after moving on to the next pass (but
    // for the first).
    void pass(const std::vector<std::int32_t>& offsets) {
        if (starttime >= 0) {
            endPass();
            nextPass();
        }
        play(offsets);
    }
};

TEST_F(Passes, WithAPeriodEachPassStartsOnItsBoundary) {
    passPeriod = 100;
    pass({0x10, 0x20});
    pass({0x10, 0x20});
    pass({0x10, 0x20});
    const std::vector<std::int64_t> expected = {0, 0x10, 100, 116, 200, 216};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(writtenAt(i), expected[i]) << "cue " << i;
    }
}

TEST_F(Passes, WithoutAPeriodTheNextPassStartsAtTheLastCuesMoment) {
    // The last cue of a pass (and so the next pass's first) is due at the
    // latest moment of the pass, here 30 ms, even though a cue below the
    // base came last.
    pass({0, 30, -5});
    pass({0, 30, -5});
    const std::vector<std::int64_t> expected = {0, 30, 31, 32, 60, 61};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(writtenAt(i), expected[i]) << "cue " << i;
    }
}

TEST_F(Passes, LatenessNeverCarriesIntoTheNextPass) {
    // A device that takes 30 ms for each cue makes the start of pass 1
    // late; pass 2 starts on its boundary all the same.
    passPeriod = 100;
    fake::writeCost = 30;
    pass({0, 90});
    pass({0, 50});
    pass({0});
    EXPECT_EQ(writtenAt(1), 90);
    EXPECT_EQ(writtenAt(2), 121);  // due at 100, written at once
    EXPECT_EQ(writtenAt(3), 152);  // due at 150, written at once
    EXPECT_EQ(writtenAt(4), 200);
}

TEST_F(Passes, CueDueAfterThePeriodMakesTheNextPassLateButNotTheOneAfter) {
    passPeriod = 100;
    pass({0, 150});
    pass({0, 10});
    pass({0});
    EXPECT_EQ(writtenAt(1), 150);  // its own moment, in the next pass's time
    EXPECT_EQ(writtenAt(2), 151);  // due at 100: late, at once
    EXPECT_EQ(writtenAt(3), 152);  // due at 110: late too
    EXPECT_EQ(writtenAt(4), 200);
}

TEST_F(Passes, PassWithoutACueStillTakesItsPlaceInTime) {
    passPeriod = 100;
    pass({5});
    pass({});
    pass({});
    pass({5});
    ASSERT_EQ(fake::writes.size(), 2U);
    EXPECT_EQ(writtenAt(1), 300);
}

TEST_F(Passes, LoopRunningPastTheClocksWrapStaysExact) {
    // A pass every 10 s, begun 65 s before the 32-bit clock wraps: each
    // pass is written on its boundary to the millisecond, before the wrap
    // and after it.
    fake::now = 0xFFFF0000U;
    passPeriod = 10000;
    for (int k = 0; k < 12; ++k) {
        pass({0, 5});
    }
    ASSERT_EQ(fake::writes.size(), 24U);
    for (std::size_t k = 0; k < 12; ++k) {
        EXPECT_EQ(writtenAt(2 * k), 10000 * static_cast<std::int64_t>(k)) << "pass " << k;
        EXPECT_EQ(writtenAt(2 * k + 1), 10000 * static_cast<std::int64_t>(k) + 5) << "pass " << k;
    }
}

TEST_F(Passes, LoopOfDaysNeverDriftsAcrossTheWrap) {
    // A pass a day for 60 days (the 32-bit clock wraps after 49.7), on a
    // clock that moves a second a reading: each pass goes at the first
    // reading at or past its day, never before it and never a reading
    // later, so nothing adds up from day to day.
    fake::now = 0xFFFF0000U;
    fake::step = 1000;
    passPeriod = 86400000;
    for (int day = 0; day < 60; ++day) {
        pass({0});
    }
    ASSERT_EQ(fake::writes.size(), 60U);
    for (std::size_t day = 0; day < 60; ++day) {
        // The readings wrap: compare them as the 32-bit clock does.
        const auto due =
            static_cast<std::uint32_t>(starttime + 86400000LL * static_cast<std::int64_t>(day));
        const auto late = static_cast<std::int32_t>(fake::writes[day].lastReading - due);
        EXPECT_GE(late, 0) << "day " << day;
        EXPECT_LT(late, 1000) << "day " << day;
    }
}

// Stops by signal take effect between cues and while waiting, never inside
// a cue's write.
TEST_F(ShowClock, StopWhileWaitingForACueEndsTheRunAtOnce) {
    fake::stopAt = 1500;
    try {
        play({0, 5000});
        ADD_FAILURE() << "the show went on";
    } catch (const fake::EndedBySignal& ended) {
        EXPECT_EQ(ended.signal, 15);
    }
    EXPECT_EQ(fake::writes.size(), 1U);
    EXPECT_TRUE(fake::portStopped);
    // Asleep when it came: the sleep ends with it.
    EXPECT_LE(fake::now, 1501U);
}

TEST_F(ShowClock, StopDuringAWriteFinishesThatCueAndNoMore) {
    fake::stopInWrite = 1;
    EXPECT_THROW(play({0, 0, 0, 0}), fake::EndedBySignal);
    ASSERT_EQ(fake::writes.size(), 2U);
    EXPECT_EQ(fake::writes[1].codes, "1");
    EXPECT_TRUE(fake::portStopped);
}

}  // namespace
