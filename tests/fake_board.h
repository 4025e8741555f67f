// A board with a scripted clock and a recording serial port, for testing
// the show clock and the cue reader without waiting in real time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace fake {

struct Write {
    std::uint32_t lastReading;  // the clock reading the writer last saw
    std::string codes;
    std::int64_t nanos;  // clockNanos() when that reading was taken
};

// Every millis() call returns `now`; every `readsPerStep`th call then moves
// it on by `step`, to the start of that millisecond. A sleep may end within
// a millisecond: `nanosIntoNow` past its start (clockNanos() tells).
extern std::uint32_t now;
extern std::int64_t nanosIntoNow;
extern std::uint32_t step;
extern std::uint32_t readsPerStep;
extern std::uint32_t lastReading;
// Milliseconds the port takes to accept a write (moves `now` on).
extern std::uint32_t writeCost;
// What serialPuts answers.
extern int writeResult;
extern std::vector<Write> writes;
// Clock readings at which the show clock looked at the port.
extern std::vector<std::uint32_t> checks;
// Clock readings at which the player told the watchdog it is alive.
extern std::vector<std::uint32_t> alive;
// What serialCheck answers.
extern int checkResult;
// How often the show clock let other work have the core.
extern int yields;
// Each delay() and sleepUntilNanos(): the clock reading the sleeper last
// saw, and the deadline (nanoseconds of clockNanos()). A sleep ends
// `wakeLate(index)` nanoseconds after its deadline (0 when not set), or
// when the stop comes (`stopAt`).
struct Sleep {
    std::uint32_t lastReading;
    std::int64_t untilNanos;
};
extern std::vector<Sleep> sleeps;
extern std::function<std::int64_t(std::size_t)> wakeLate;
// The wall clock, in nanoseconds since the Unix epoch; waiting for a moment
// moves it there, and `now` on by the whole milliseconds of the wait.
extern std::int64_t wallNanos;
// The stop signal that came (0: none), what stopSignal() answers; it comes
// by itself once the clock reads `stopAt` (when not 0), or during the write
// with index `stopInWrite` (when not -1).
extern int stopSignal;
extern std::uint32_t stopAt;
extern int stopInWrite;
// Whether the port was closed the way a stop closes it.
extern bool portStopped;

// Triggers to come, as readings of the clock, in order; triggerWait() moves
// the clock on to the next one (and `triggerSeenAfter` past it: when the
// player sees it), and reports the end of input when none is left.
extern std::vector<std::uint32_t> triggers;
extern std::uint32_t triggerSeenAfter;
// How often triggers were discarded.
extern int triggerDiscards;
// Called after each write, with the write's index.
extern std::function<void(std::size_t)> afterWrite;

// What endBySignal() throws instead of ending the process.
struct EndedBySignal {
    int signal;
};

// Back to a fresh board and a show clock that has seen no cue.
void reset();

}  // namespace fake
