// Waiting for a moment on the wall clock, with both clocks scripted: the
// test binary is linked with --wrap for clock_gettime and for the calls a
// sleep is made of (timerfd_create, timerfd_settime, poll), so the board's
// real clock code runs against clocks the test steps.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/timerfd.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <vector>

#include "board/board.h"

namespace {

constexpr std::int64_t kSecond = 1000000000;
constexpr std::int64_t kMoment = 1767225600 * kSecond;

// The clock of each timer descriptor (the board makes them once).
std::map<int, clockid_t> g_timerClocks;

struct Clocks {
    bool scripted = false;
    clockid_t armedClock = CLOCK_MONOTONIC;
    std::int64_t armedDeadline = 0;
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
extern "C" int __real_timerfd_create(clockid_t clock, int flags);
extern "C" int __real_timerfd_settime(int fd, int flags, const itimerspec* value, itimerspec* old);
extern "C" int __real_poll(pollfd* fds, nfds_t count, int timeout);

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

extern "C" int __wrap_timerfd_create(clockid_t clock, int flags) {
    const int fd = __real_timerfd_create(clock, flags);
    g_timerClocks[fd] = clock;
    return fd;
}

// Arming a timer notes the deadline that the next sleep sleeps to.
extern "C" int __wrap_timerfd_settime(int fd, int flags, const itimerspec* value, itimerspec* old) {
    if (!g_clocks.scripted) {
        return __real_timerfd_settime(fd, flags, value, old);
    }
    EXPECT_NE(flags & TFD_TIMER_ABSTIME, 0);
    g_clocks.armedClock = g_timerClocks.at(fd);
    g_clocks.armedDeadline = nanosOf(value->it_value);
    return 0;
}

// A sleep on either clock passes until that clock reads the deadline.
extern "C" int __wrap_poll(pollfd* fds, nfds_t count, int timeout) {
    if (!g_clocks.scripted) {
        return __real_poll(fds, count, timeout);
    }
    const bool wall = g_clocks.armedClock == CLOCK_REALTIME;
    const std::int64_t now = wall ? g_clocks.wall : g_clocks.monotonic;
    const std::int64_t slept = std::max<std::int64_t>(0, g_clocks.armedDeadline - now);
    g_clocks.wall += slept;
    g_clocks.monotonic += slept;
    if (wall) {
        g_clocks.wallSleeps.push_back(g_clocks.armedDeadline);
        if (g_clocks.afterWallSleep) {
            g_clocks.afterWallSleep();
        }
    }
    fds[0].revents = POLLIN;
    for (nfds_t i = 1; i < count; ++i) {
        fds[i].revents = 0;
    }
    return 1;
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

namespace {

// A stop signal cuts the waits short (in a child process, since a stop
// asked for stays asked for).
TEST_F(WallClock, StopSignalEndsTheWaitsAtOnce) {
    EXPECT_EXIT(
        {
            catchStopSignals();
            std::raise(SIGTERM);
            g_clocks.wall = kMoment - 3600 * kSecond;
            const std::int64_t before = g_clocks.monotonic;
            const bool waitEnded = waitForWallClock(kMoment) == -1 && g_clocks.wall < kMoment;
            delay(60000);
            const bool delayEnded = g_clocks.monotonic - before < kSecond;
            std::exit(stopSignal() == SIGTERM && waitEnded && delayEnded ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(WallClock, DelaySleepsItsWholeTimeOnTheMonotonicClock) {
    const std::int64_t before = g_clocks.monotonic;
    delay(1500);
    EXPECT_GE(g_clocks.monotonic - before, 1500 * 1000000LL);
    EXPECT_LT(g_clocks.monotonic - before, 1501 * 1000000LL);
}

}  // namespace
