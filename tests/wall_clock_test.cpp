// Waiting for a moment on the wall clock, with both clocks scripted: the
// test binary is linked with --wrap for clock_gettime and for the calls a
// sleep is made of (timerfd_create, timerfd_settime, poll), so the board's
// real clock code runs against clocks the test steps.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
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
    bool timerCancelled = false;           // the sleep's clock was stepped
    std::int64_t stepAtWall = 0;           // when the wall clock reads this (not 0),
    std::int64_t stepBy = 0;               // it is stepped by this, once
    std::int64_t preemptAtWall = 0;        // when the wall clock is read at this (not 0),
    std::int64_t preemptBy = 0;            // both clocks then move on by this, once
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
    if (clock == CLOCK_REALTIME && g_clocks.stepAtWall != 0 &&
        g_clocks.wall >= g_clocks.stepAtWall) {
        g_clocks.wall += g_clocks.stepBy;
        g_clocks.stepAtWall = 0;
    }
    const std::int64_t value = clock == CLOCK_REALTIME ? g_clocks.wall : g_clocks.monotonic;
    if (clock != CLOCK_REALTIME) {
        g_clocks.lastMonotonicRead = value;
    }
    g_clocks.wall += 1000;
    g_clocks.monotonic += 1000;
    if (clock == CLOCK_REALTIME && g_clocks.preemptAtWall != 0 && value >= g_clocks.preemptAtWall) {
        g_clocks.wall += g_clocks.preemptBy;
        g_clocks.monotonic += g_clocks.preemptBy;
        g_clocks.preemptAtWall = 0;
    }
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
        const std::int64_t before = g_clocks.wall;
        if (g_clocks.afterWallSleep) {
            g_clocks.afterWallSleep();
        }
        // The kernel cancels a wall clock timer when its clock is set.
        g_clocks.timerCancelled = g_clocks.wall != before;
    }
    fds[0].revents = POLLIN;
    for (nfds_t i = 1; i < count; ++i) {
        fds[i].revents = 0;
    }
    return 1;
}

extern "C" ssize_t __real_read(int fd, void* into, std::size_t size);

// Reading a timer after a sleep: cancelled (ECANCELED) if the wall clock
// was stepped during it, else it expired once.
extern "C" ssize_t __wrap_read(int fd, void* into, std::size_t size) {
    if (!g_clocks.scripted || g_timerClocks.count(fd) == 0 || size < sizeof(std::uint64_t)) {
        return __real_read(fd, into, size);
    }
    if (g_clocks.timerCancelled) {
        g_clocks.timerCancelled = false;
        errno = ECANCELED;
        return -1;
    }
    const std::uint64_t once = 1;
    std::memcpy(into, &once, sizeof once);
    return sizeof once;
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

TEST_F(WallClock, StepOfTheWallClockMeanwhileEndsTheWaitToBeLookedAtAgain) {
    // Stepped while asleep (the kernel cancels the timer) or while polling
    // its last 100 ms (readings microseconds apart jump), in either
    // direction: the wait says so rather than starting at the step. Looked
    // at again, the moment is still ahead (it is then met exactly) or has
    // passed.
    struct Case {
        bool whileAsleep;
        std::int64_t step;
        std::int64_t again;  // what waiting again for the moment gives
    };
    const std::int64_t hour = 3600 * kSecond;
    const Case cases[] = {
        {true, -hour, 0},
        {true, hour, -1},
        {false, -hour, 0},
        {false, 5300 * 1000000LL, -1},
        {false, 30 * 1000000LL, 0},   // 50 ms before the moment: 20 ms before it
        {false, 80 * 1000000LL, -1},  // ... or 30 ms past it
    };
    for (const Case& c : cases) {
        g_clocks.wallSleeps.clear();
        g_clocks.wall = kMoment - 3 * kSecond;
        if (c.whileAsleep) {
            g_clocks.afterWallSleep = [c] {
                g_clocks.wall += c.step;
                g_clocks.afterWallSleep = nullptr;
            };
        } else {
            g_clocks.stepAtWall = kMoment - 50 * 1000000LL;
            g_clocks.stepBy = c.step;
        }
        EXPECT_EQ(waitForWallClock(kMoment), kWallClockStepped) << c.step;
        if (c.again < 0) {
            EXPECT_EQ(waitForWallClock(kMoment), -1) << c.step;
        } else {
            EXPECT_GE(waitForWallClock(kMoment), 0) << c.step;
            expectEndedAtTheMoment();
        }
    }
    // Slewed (a microsecond a reading on top of the readings' own), or the
    // process preempted for 30 ms right after a reading of the wall clock:
    // no step.
    g_clocks.wall = kMoment - 3 * kSecond;
    g_clocks.stepAtWall = kMoment - 50 * 1000000LL;
    g_clocks.stepBy = 1000;
    EXPECT_GE(waitForWallClock(kMoment), 0);
    expectEndedAtTheMoment();
    g_clocks.wall = kMoment - 3 * kSecond;
    g_clocks.preemptAtWall = kMoment - 50 * 1000000LL;
    g_clocks.preemptBy = 30 * 1000000LL;
    EXPECT_GE(waitForWallClock(kMoment), 0);
    expectEndedAtTheMoment();
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

TEST_F(WallClock, SleepsEndAsExactlyAsTheKernelAllowsAndAimAtTicks) {
    EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL), 1);
    // The ticks of millis() on the monotonic clock: the moment each reading
    // begins, the one nearest now, before or after the clock wraps.
    constexpr std::int64_t kMs = 1000000;
    const std::int64_t setup = 5 * kSecond + 123456789;
    struct Row {
        std::int64_t ranMs;  // how long the clock has run since its start
        std::uint32_t reading;
        std::int64_t tickMs;  // when that reading begins, from the start
    };
    const std::vector<Row> rows = {
        {0, 7, 7},
        {3, 3, 3},
        {3, 2, 2},
        {3, 4000, 4000},
        {(1LL << 32) - 2, 0xFFFFFFFFU, (1LL << 32) - 1},
        {(1LL << 32) - 2, 1, (1LL << 32) + 1},
        {(1LL << 32) + 5, 0xFFFFFFF0U, (1LL << 32) - 16},
    };
    for (const Row& row : rows) {
        g_clocks.monotonic = setup + row.ranMs * kMs + 500000;
        EXPECT_EQ(tickNanos(row.reading), setup + row.tickMs * kMs)
            << row.reading << " after " << row.ranMs << " ms";
    }
}

}  // namespace
