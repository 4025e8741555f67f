// The calls orvplayer makes into the board library, with the names the
// board library gives them. Our own Linux implementation stands behind this
// header, so the program needs nothing beyond libc. None of these functions
// prints anything.
#pragma once

#include <cstdint>

// A device that takes no byte at all for this long while bytes wait for it
// has failed: it stopped reading for good, or its line is blocked.
constexpr int kSerialStallSeconds = 10;

// When a stop signal ends the show, what the driver still holds for the
// device gets this long to leave; the rest is then given up.
constexpr long long kStopDrainMs = 2000;

// C linkage, as the board library has.
extern "C" {

// Starts the millisecond clock. Always returns 0.
int wiringPiSetup();

// Sleeps for the whole of `ms` milliseconds, even when a signal interrupts,
// unless a stop signal comes (see catchStopSignals): then it returns at once.
void delay(unsigned int ms);

// Milliseconds of the monotonic clock since wiringPiSetup(). Wraps after
// about 49.7 days; only differences between readings are meaningful.
std::uint32_t millis();

// Opens a serial device raw 8N1 at `baud`, locked for this process alone.
// Returns the handle, or -1 (with nothing left open) on any failure: the
// device is missing, another program holds it, or its driver reports a rate
// more than 3% away from `baud`.
int serialOpen(const char* device, int baud);

// Writes every byte of `text` (without its terminator), in order, waiting
// while the device is slow. Returns 0, or -1 when the device went away or
// took no byte for kSerialStallSeconds.
int serialPuts(int handle, const char* text);

// Our own addition to the board library's calls. The player never reads
// from the device, so what the device sends is discarded here: left in the
// kernel's input buffer it would stall a device that talks back. Also tells
// whether the device is still there. Returns 0, or -1 after a hang-up.
int serialCheck(int handle);

// Waits until everything written has left for the device, then unlocks and
// closes. Returns 0, or -1 when the device went away first or took no byte
// for kSerialStallSeconds.
int serialClose(int handle);

// Our own addition, for a stop by signal: lets what the driver holds leave
// for at most kStopDrainMs, gives up the rest, then unlocks and closes.
void serialStop(int handle);

// Our own addition for starting at a moment on the wall clock (-t); the
// board library has no such call. Waits until the wall clock
// (CLOCK_REALTIME) reads `unixNanos` or later, following it when it is
// stepped or slewed meanwhile, then moves the ticks of millis() later by
// less than a millisecond so that one falls at that moment (no reading
// goes backwards). Returns the millis() reading that begins there, or -1
// at once, without waiting, when the wall clock is already past the moment;
// -1 too when a stop signal ended the wait (stopSignal() tells).
std::int64_t waitForWallClock(std::int64_t unixNanos);

// Our own addition: lets anything waiting to run on this core (kernel work
// that a write woke, say) run now, and returns at once when nothing is.
void yieldProcessor();

// Our own addition, for -t as well: the wall clock (CLOCK_REALTIME) now, in
// nanoseconds since the Unix epoch.
std::int64_t wallClockNanos();

// Our own addition: stops asked for by signal. From this call on, SIGTERM,
// SIGINT and SIGHUP only note that a stop was asked for, and cut short the
// waits of delay() and waitForWallClock(); the player ends where a stop may
// take effect, never inside a cue's write.
void catchStopSignals();

// The stop signal that came, or 0. A plain read: cheap enough between cues.
int stopSignal();

// Ends the process by `signal`, the conventional way (its default action).
[[noreturn]] void endBySignal(int signal);

}  // extern "C"
