#include "fake_board.h"

#include <algorithm>

#include "board/board.h"
#include "playback/show_clock.h"
#include "playback/wake_margin.h"

namespace fake {

std::uint32_t now;
std::int64_t nanosIntoNow;
std::uint32_t step;
std::uint32_t readsPerStep;
std::uint32_t readsInStep;
std::uint32_t lastReading;
std::uint32_t writeCost;
int writeResult;
std::vector<Write> writes;
std::vector<std::uint32_t> checks;
std::vector<std::uint32_t> alive;
int checkResult;
int yields;
std::vector<Sleep> sleeps;
std::function<std::int64_t(std::size_t)> wakeLate;
std::int64_t wallNanos;
int stopSignal;
std::uint32_t stopAt;
int stopInWrite;
bool portStopped;
std::vector<std::uint32_t> triggers;
std::uint32_t triggerSeenAfter;
int triggerDiscards;
std::function<void(std::size_t)> afterWrite;

void reset() {
    now = 1000;
    nanosIntoNow = 0;
    step = 1;
    readsPerStep = 1;
    readsInStep = 0;
    lastReading = 0;
    writeCost = 0;
    writeResult = 0;
    writes.clear();
    checks.clear();
    alive.clear();
    checkResult = 0;
    yields = 0;
    sleeps.clear();
    wakeLate = nullptr;
    wakeMarginNanos = kWakeMarginMaxNanos;
    wallNanos = 1800000000LL * 1000000000;  // 2027-01-15
    stopSignal = 0;
    stopAt = 0;
    stopInWrite = -1;
    portStopped = false;
    triggers.clear();
    triggerSeenAfter = 0;
    triggerDiscards = 0;
    afterWrite = nullptr;
    triggerSource = -1;
    nextPass();  // forgets the last pass's cues: its latest moment, whether it had one
    passWaitsForTrigger = false;
    triggerNotBefore = 0;
    ShowOffset = -1;
    starttime = -1;
    passStart = -1;
    passPeriod = 0;
    startTick = -1;
    startMoment = -1;
    sp = 3;
}

}  // namespace fake

int wiringPiSetup() { return 0; }

namespace {

constexpr std::int64_t kMilli = 1000000;

std::int64_t lastReadingNanos = 0;

std::int64_t fakeNanos() {
    return static_cast<std::int64_t>(fake::now) * kMilli + fake::nanosIntoNow;
}

// Moves the clock on to `until` plus the scripted lateness, or to the stop
// if it comes first.
void sleepTo(std::int64_t until) {
    const std::size_t index = fake::sleeps.size();
    fake::sleeps.push_back({fake::lastReading, until});
    std::int64_t woke = until + (fake::wakeLate ? fake::wakeLate(index) : 0);
    const std::int64_t stop = static_cast<std::int64_t>(fake::stopAt) * kMilli;
    if (fake::stopAt != 0 && fake::stopSignal == 0 && stop <= woke) {
        woke = stop;
        fake::stopSignal = 15;
    }
    woke = std::max(woke, fakeNanos());
    fake::now = static_cast<std::uint32_t>(woke / kMilli);
    fake::nanosIntoNow = woke % kMilli;
    fake::readsInStep = 0;
}

}  // namespace

void delay(unsigned int ms) { sleepTo(fakeNanos() + static_cast<std::int64_t>(ms) * kMilli); }

void sleepUntilNanos(std::int64_t monotonicNanos) { sleepTo(monotonicNanos); }

std::uint32_t millis() {
    fake::lastReading = fake::now;
    lastReadingNanos = fakeNanos();
    if (fake::stopAt != 0 && fake::now >= fake::stopAt && fake::stopSignal == 0) {
        fake::stopSignal = 15;
    }
    if (++fake::readsInStep >= fake::readsPerStep) {
        fake::readsInStep = 0;
        fake::now += fake::step;
        fake::nanosIntoNow = 0;
    }
    return fake::lastReading;
}

// Like the real port, refuses rates below 1.
int serialOpen(const char* /*device*/, int baud) { return baud > 0 ? 3 : -1; }

int serialPuts(int /*handle*/, const char* text) {
    if (static_cast<int>(fake::writes.size()) == fake::stopInWrite) {
        fake::stopSignal = 15;
    }
    fake::writes.push_back({fake::lastReading, text, lastReadingNanos});
    fake::now += fake::writeCost;
    if (fake::afterWrite) {
        fake::afterWrite(fake::writes.size() - 1);
    }
    return fake::writeResult;
}

int serialClose(int /*handle*/) { return 0; }

void serialStop(int /*handle*/) { fake::portStopped = true; }

void catchStopSignals() {}

int stopSignal() { return fake::stopSignal; }

void endBySignal(int signal) { throw fake::EndedBySignal{signal}; }

int serialCheck(int /*handle*/) {
    fake::checks.push_back(fake::lastReading);
    return fake::checkResult;
}

void yieldProcessor() { ++fake::yields; }

// No service manager listens; the watchdog's calls are recorded. (These
// stand in for the real ones, which only a whole player speaks through.)
bool serviceListens() { return false; }
void serviceState(const char* /*state*/) {}
void serviceAlive() { fake::alive.push_back(fake::lastReading); }
int serviceAliveWithinMs() { return -1; }

std::int64_t wallClockNanos() { return fake::wallNanos; }

// Like the real clock, puts a tick at the moment: the next reading is the
// first of a fresh millisecond.
std::int64_t waitForWallClock(std::int64_t unixNanos) {
    if (unixNanos < fake::wallNanos) {
        return -1;
    }
    fake::now += static_cast<std::uint32_t>((unixNanos - fake::wallNanos) / 1000000);
    fake::wallNanos = unixNanos;
    fake::nanosIntoNow = 0;
    fake::readsInStep = 0;
    return fake::now;
}

std::int64_t clockNanos() { return fakeNanos(); }

std::int64_t tickNanos(std::uint32_t reading) {
    return (static_cast<std::int64_t>(fake::now) + static_cast<std::int32_t>(reading - fake::now)) *
           kMilli;
}

// The clock ticks on whole milliseconds already.
std::int64_t tickAt(std::int64_t monotonicNanos) { return monotonicNanos / 1000000; }

int triggerOpen(const char* source) { return source[0] == '-' ? 0 : kTriggerInvalid; }

void triggerDiscard(int /*trigger*/) {
    ++fake::triggerDiscards;
    while (!fake::triggers.empty() && fake::triggers.front() <= fake::now) {
        fake::triggers.erase(fake::triggers.begin());
    }
}

int triggerWait(int /*trigger*/, int /*port*/, std::int64_t notBeforeNanos, int /*timeoutMs*/,
                std::int64_t* atNanos) {
    while (!fake::triggers.empty()) {
        const std::uint32_t at = fake::triggers.front();
        fake::triggers.erase(fake::triggers.begin());
        if (static_cast<std::int64_t>(at) * 1000000 >= notBeforeNanos) {
            fake::now = std::max(fake::now, at + fake::triggerSeenAfter);
            fake::nanosIntoNow = 0;
            *atNanos = static_cast<std::int64_t>(at) * 1000000;
            return kTriggered;
        }
    }
    return kTriggerEnded;
}
