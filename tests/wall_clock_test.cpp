// Waiting for a moment on the wall clock, with both clocks scripted: the
// test binary is linked with --wrap for clock_gettime and clock_nanosleep,
// so the board's real clock code runs against clocks the test steps.
#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <vector>

#include "board/board.h"

namespace {

constexpr std::int64_t kSecond = 1000000000;
constexpr std::int64_t kMoment = 1767225600 * kSecond;

struct Clocks {
    bool scripted = false;
    std::int64_t wall = 0;
    std::int64_t monotonic = 0;
    std::int64_t lastMonotonicRead = 0;
    std::vector<std::int64_t> wallSleeps;  // deadlines slept to
    std::function<void()> afterWallSleep;  // steps the wall clock, say
};
Clocks g_clocks;

std::int64_t nanosOf(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * kSecond + t.tv_nsec;
}

}  // namespace

extern "C" int __real_clock_gettime(clockid_t clock, timespec* now);
extern "C" int __real_clock_nanosleep(clockid_t clock, int flags, const timespec* until,
                                      timespec* left);

// Each reading moves both clocks on by a microsecond.
extern "C" int __wrap_clock_gettime(clockid_t clock, timespec* now) {
    if (!g_clocks.scripted) {
        return __real_clock_gettime(clock, now);
    }
    const std::int64_t value = clock == CLOCK_REALTIME ? g_clocks.wall : g_clocks.monotonic;
    if (clock != CLOCK_REALTIME) {
        g_clocks.lastMonotonicRead = value;
    }
    g_clocks.wall += 1000;
    g_clocks.monotonic += 1000;
    now->tv_sec = static_cast<time_t>(value / kSecond);
    now->tv_nsec = static_cast<long>(value % kSecond);
    return 0;
}

// A sleep on either clock passes until that clock reads the deadline.
extern "C" int __wrap_clock_nanosleep(clockid_t clock, int flags, const timespec* until,
                                      timespec* left) {
    if (!g_clocks.scripted) {
        return __real_clock_nanosleep(clock, flags, until, left);
    }
    EXPECT_EQ(flags, TIMER_ABSTIME);
    const std::int64_t now = clock == CLOCK_REALTIME ? g_clocks.wall : g_clocks.monotonic;
    const std::int64_t slept = std::max<std::int64_t>(0, nanosOf(*until) - now);
    g_clocks.wall += slept;
    g_clocks.monotonic += slept;
    if (clock == CLOCK_REALTIME) {
        g_clocks.wallSleeps.push_back(nanosOf(*until));
        if (g_clocks.afterWallSleep) {
            g_clocks.afterWallSleep();
        }
    }
    return 0;
}

namespace {

class WallClock : public ::testing::Test {
protected:
    void SetUp() override {
        g_clocks = Clocks{};
        g_clocks.monotonic = 5 * kSecond + 123456789;
        g_clocks.scripted = true;
        wiringPiSetup();
    }
    void TearDown() override { g_clocks.scripted = false; }

    // The wall clock when the wait returned must be at the moment or just
    // past it (a few readings), and no sleep may aim past the moment.
    static void expectEndedAtTheMoment() {
        EXPECT_GE(g_clocks.wall, kMoment);
        EXPECT_LT(g_clocks.wall, kMoment + 10000);
        for (std::int64_t deadline : g_clocks.wallSleeps) {
            EXPECT_LE(deadline, kMoment);
        }
    }
};

TEST_F(WallClock, PassedMomentReturnsAtOnceWithoutSleeping) {
    g_clocks.wall = kMoment + 1;
    EXPECT_EQ(waitForWallClock(kMoment), -1);
    EXPECT_TRUE(g_clocks.wallSleeps.empty());
}

TEST_F(WallClock, WaitsUntilTheWallClockReachesTheMoment) {
    g_clocks.wall = kMoment - 3 * kSecond;
    EXPECT_GE(waitForWallClock(kMoment), 0);
    expectEndedAtTheMoment();

    // Reached exactly: no wait, but not passed either.
    g_clocks.wall = kMoment;
    EXPECT_GE(waitForWallClock(kMoment), 0);
}

TEST_F(WallClock, FollowsTheWallClockWhenItIsSteppedMeanwhile) {
    // Stepped back an hour while asleep: the wait goes on to the moment.
    g_clocks.wall = kMoment - 3 * kSecond;
    g_clocks.afterWallSleep = [] {
        g_clocks.wall -= 3600 * kSecond;
        g_clocks.afterWallSleep = nullptr;
    };
    EXPECT_GE(waitForWallClock(kMoment), 0);
    expectEndedAtTheMoment();
    EXPECT_EQ(g_clocks.wallSleeps.size(), 2U);

    // Stepped forward past the moment: the wait ends on waking.
    g_clocks.wallSleeps.clear();
    g_clocks.wall = kMoment - 3 * kSecond;
    g_clocks.afterWallSleep = [] {
        g_clocks.wall += 3600 * kSecond;
        g_clocks.afterWallSleep = nullptr;
    };
    EXPECT_GE(waitForWallClock(kMoment), 0);
    EXPECT_EQ(g_clocks.wallSleeps.size(), 1U);
}

TEST_F(WallClock, PutsATickOfTheMillisecondClockAtTheMoment) {
    const std::int64_t setup = g_clocks.lastMonotonicRead;
    g_clocks.wall = kMoment - 2 * kSecond - 400000;
    const std::uint32_t before = millis();
    const std::int64_t tick = waitForWallClock(kMoment);
    const std::int64_t start = g_clocks.lastMonotonicRead;
    // The reading at the moment is what the clock read there before the
    // move: no reading goes backwards.
    EXPECT_EQ(tick, (start - setup) / 1000000);
    EXPECT_GE(tick, before);
    g_clocks.monotonic = start + 999999;
    EXPECT_EQ(millis(), tick);
    g_clocks.monotonic = start + 1000000;
    EXPECT_EQ(millis(), tick + 1);
    g_clocks.monotonic = start + 250 * 1000000 + 5;
    EXPECT_EQ(millis(), tick + 250);
}

}  // namespace
