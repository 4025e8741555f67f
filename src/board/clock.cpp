// Millisecond clock and sleeping, on Linux's monotonic clock; waiting for a
// moment on the wall clock.
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "board.h"
#include "stop_signal.h"

namespace {

constexpr std::int64_t kNanosPerMilli = 1000000;
constexpr std::int64_t kNanosPerSecond = 1000000000;

// The last stretch of a wait for the wall clock is spent polling it, since
// waking from a sleep takes tens to hundreds of microseconds. The stretch
// is long enough for the kernel to see this core as busy, as it will be
// for the whole show: work the first write wakes then goes to another
// core, and the core's clock speed has risen, instead of both finding the
// core idle-looking after the sleep (measured: the first cue some 0.1 ms
// later, and twice as spread).
constexpr std::int64_t kPollNanos = 100 * kNanosPerMilli;

std::int64_t g_setupNs = 0;

std::int64_t nowNs(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * kNanosPerSecond + now.tv_nsec;
}

std::int64_t monotonicNs() { return nowNs(CLOCK_MONOTONIC); }

// A timer on each clock that the sleeps use; created on first use.
int g_timers[2] = {-1, -1};

int timerOn(clockid_t clock) {
    int& timer = g_timers[clock == CLOCK_REALTIME ? 1 : 0];
    if (timer < 0) {
        timer = timerfd_create(clock, TFD_CLOEXEC | TFD_NONBLOCK);
    }
    return timer;
}

// A jump this large between two readings of the wall clock taken
// microseconds apart, against the monotonic clock, is a step: slewing moves
// it by a few per cent at most, even over a preemption.
constexpr std::int64_t kStepNanos = 20 * kNanosPerMilli;

// Sleeps until `clock` reads `until`, or a stop signal comes, or the
// service manager's watchdog wants to hear from us. A sleep on the wall
// clock also ends when the clock is set (stepped); returns true then. The
// callers loop until their deadline has come.
bool sleepUntil(clockid_t clock, std::int64_t until) {
    itimerspec at{};
    at.it_value.tv_sec = static_cast<time_t>(until / kNanosPerSecond);
    at.it_value.tv_nsec = static_cast<long>(until % kNanosPerSecond);
    const int timer = timerOn(clock);
    const int flags = TFD_TIMER_ABSTIME | (clock == CLOCK_REALTIME ? TFD_TIMER_CANCEL_ON_SET : 0);
    if (timer < 0 || timerfd_settime(timer, flags, &at, nullptr) != 0) {
        // Without a timer (no descriptor left): a plain sleep, which a stop
        // cuts short only by interrupting it.
        clock_nanosleep(clock, TIMER_ABSTIME, &at.it_value, nullptr);
        return false;
    }
    // Arming the timer again for the next sleep clears its expiry. A
    // descriptor of -1 (no stop signals caught) is passed over.
    // A watchdog that listens wakes it in time to hear from us.
    pollfd wake[2] = {{timer, POLLIN, 0}, {stopWakeFd(), POLLIN, 0}};
    poll(wake, 2, serviceAliveWithinMs());
    serviceAlive();
    // A timer cancelled by a set of its clock says so when read.
    std::uint64_t expired = 0;
    return (wake[0].revents & POLLIN) != 0 && read(timer, &expired, sizeof expired) < 0 &&
           errno == ECANCELED;
}

// The wall clock now, and its lead over the monotonic clock, read between
// two readings of the monotonic clock. False when those lie too far apart
// to tell: a preemption between the two clocks' readings is no step.
bool wallLead(std::int64_t* wall, std::int64_t* lead) {
    const std::int64_t before = monotonicNs();
    *wall = nowNs(CLOCK_REALTIME);
    const std::int64_t after = monotonicNs();
    *lead = *wall - after;
    return after - before < kNanosPerMilli;
}

}  // namespace

int wiringPiSetup() {
    g_setupNs = monotonicNs();
    // By default the kernel may end a sleep up to 50 us late, to batch
    // wake-ups; a cue's wait sleeps to just before its moment and must
    // not be stretched past it.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    return 0;
}

std::uint32_t millis() {
    // clock_gettime on the monotonic clock goes through the vDSO: no system
    // call, so the show clock can poll it in a tight loop.
    return static_cast<std::uint32_t>((monotonicNs() - g_setupNs) / kNanosPerMilli);
}

void delay(unsigned int ms) {
    // Sleep to an absolute deadline so that waking early (a signal) neither
    // shortens nor stretches it; only a stop ends it early.
    const std::int64_t until = monotonicNs() + static_cast<std::int64_t>(ms) * kNanosPerMilli;
    while (stopSignal() == 0 && monotonicNs() < until) {
        static_cast<void>(sleepUntil(CLOCK_MONOTONIC, until));
    }
}

void yieldProcessor() { sched_yield(); }

std::int64_t wallClockNanos() { return nowNs(CLOCK_REALTIME); }

std::int64_t waitForWallClock(std::int64_t unixNanos) {
    std::int64_t wall = nowNs(CLOCK_REALTIME);
    if (wall > unixNanos) {
        return -1;
    }
    // A step of the wall clock (at boot: fake-hwclock, then chrony) while
    // asleep or polling ends the wait, so that the caller decides afresh on
    // the stepped clock: the moment may have passed, or a loop may now have
    // an earlier or later pass to join. Slewing only changes how long is
    // left.
    bool leadKnown = false;
    std::int64_t lead = 0;
    while (wall < unixNanos) {
        if (stopSignal() != 0) {
            return -1;
        }
        if (unixNanos - wall > kPollNanos) {
            // The kernel tells of a step during the sleep.
            if (sleepUntil(CLOCK_REALTIME, unixNanos - kPollNanos)) {
                return kWallClockStepped;
            }
            leadKnown = false;
            wall = nowNs(CLOCK_REALTIME);
            continue;
        }
        // While polling, readings microseconds apart tell of it.
        std::int64_t now = 0;
        if (wallLead(&wall, &now)) {
            if (leadKnown && (now - lead > kStepNanos || lead - now > kStepNanos)) {
                return kWallClockStepped;
            }
            lead = now;
            leadKnown = true;
        }
    }
    // Read after the wall clock reached the moment, so that counting from
    // it is never early. A tick put at this very reading keeps every
    // reading what it was, so none goes backwards.
    return tickAt(monotonicNs());
}

std::int64_t clockNanos() { return monotonicNs(); }

std::int64_t tickNanos(std::uint32_t reading) {
    // Counted from the reading now, so that a reading after the clock
    // wrapped is the moment to come, not one 49 days back.
    const std::int64_t ticks = (monotonicNs() - g_setupNs) / kNanosPerMilli;
    const auto current = static_cast<std::uint32_t>(ticks);
    return g_setupNs + (ticks + static_cast<std::int32_t>(reading - current)) * kNanosPerMilli;
}

void sleepUntilNanos(std::int64_t monotonicNanos) {
    static_cast<void>(sleepUntil(CLOCK_MONOTONIC, monotonicNanos));
}

std::int64_t tickAt(std::int64_t monotonicNanos) {
    // Moving the clock's zero on by the fraction of a millisecond that the
    // reading at that moment had run puts a tick there, and keeps that
    // reading what it was.
    const std::int64_t run = (monotonicNanos - g_setupNs) % kNanosPerMilli;
    g_setupNs += run < 0 ? run + kNanosPerMilli : run;
    return static_cast<std::uint32_t>((monotonicNanos - g_setupNs) / kNanosPerMilli);
}
