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

// Starts the millisecond clock, and asks the kernel to end this process's
// sleeps as exactly as it can (the least timer slack). Always returns 0.
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
// took no byte for kSerialStallSeconds, or when a stop signal came and the
// device has not taken the rest within kStopDrainMs (the rest is given up).
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
// slewed meanwhile, then moves the ticks of millis() later by less than a
// millisecond so that one falls at that moment (no reading goes
// backwards). Returns the millis() reading that begins there, or -1 at
// once, without waiting, when the wall clock is already past the moment;
// -1 too when a stop signal ended the wait (stopSignal() tells); and
// kWallClockStepped when the wall clock was stepped (set) meanwhile, in
// either direction, so that the caller looks at the moment again.
constexpr std::int64_t kWallClockStepped = -2;
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

// Our own addition: the monotonic clock now, in nanoseconds, the clock of
// the kernel's GPIO event timestamps.
std::int64_t clockNanos();

// Our own addition: the monotonic clock's reading, in nanoseconds, at which
// millis() begins to read `reading` (the one of its moments nearest now).
std::int64_t tickNanos(std::uint32_t reading);

// Our own addition: sleeps until the monotonic clock reads `monotonicNanos`,
// with the least timer slack the kernel allows. The deadline is absolute:
// a sleep cut short and taken again neither shortens nor stretches it. A
// stop signal, and the service manager's watchdog wanting to hear from us,
// end it early; the caller loops until its deadline has come.
void sleepUntilNanos(std::int64_t monotonicNanos);

// Our own addition: the millis() reading at `monotonicNanos` (now or a
// moment past, such as a trigger's), after moving the ticks of millis()
// later by less than a millisecond so that one falls exactly there. A
// reading taken since that moment may then be read once more (one less).
std::int64_t tickAt(std::int64_t monotonicNanos);

// Our own addition: triggers (-w). A source is "-" (each line read from
// standard input is a trigger) or "gpio:" and a GPIO line with options,
// read through the kernel's GPIO character device:
//   gpio:NAME[,OPTION...]          the line the device tree names NAME, on
//                                  any chip (GPIO17 on a Raspberry Pi)
//   gpio:CHIP:OFFSET[,OPTION...]   line OFFSET of CHIP (gpiochip0, or the
//                                  chip's label)
// OPTION: rising (the default), falling, both; pull-up, pull-down,
// no-bias; debounce=MS. Opens it and drops whatever came before. Returns a
// handle, or one of the reasons below.
constexpr int kTriggerInvalid = -2;       // not a source as above
constexpr int kTriggerNoSuchLine = -3;    // no such chip or line
constexpr int kTriggerBusy = -4;          // another program holds the line
constexpr int kTriggerNoPermission = -5;  // the GPIO device may not be opened
constexpr int kTriggerNoEdgeEvents = -6;  // the kernel reports no edges for it
int triggerOpen(const char* source);

// Sees to it that no trigger that has come so far is played later (the
// ones that come during a pass): lines on standard input are read and
// dropped, noting its end; a GPIO line's edges carry their moment and are
// left to triggerWait's `notBeforeNanos`, with no system call.
void triggerDiscard(int trigger);

// What triggerWait() saw.
constexpr int kTriggered = 1;
constexpr int kTriggerTimedOut = 0;
constexpr int kTriggerEnded = -1;     // standard input ended
constexpr int kTriggerPortGone = -2;  // the device went away meanwhile
constexpr int kTriggerStopped = -3;   // a stop signal came

// Waits, for at most `timeoutMs`, for the first trigger that comes at or
// after `notBeforeNanos` (monotonic clock), dropping earlier ones, and sets
// `atNanos` to its moment: the kernel's timestamp of a GPIO edge, or when a
// line of input was read. Meanwhile looks at `port` (when not -1) as the
// show clock does while it waits: what the device sends is discarded, and
// a device that went away ends the wait.
int triggerWait(int trigger, int port, std::int64_t notBeforeNanos, int timeoutMs,
                std::int64_t* atNanos);

// Our own addition: the service manager's notify protocol, for a player
// that a systemd unit runs (Type=notify, WatchdogSec=). Outside such a
// unit (no NOTIFY_SOCKET in the environment) these do nothing.
//
// Whether a service manager listens: what is not heard need not be made.
bool serviceListens();

// Tells the manager the program is up, with `state` (at most
// kServiceStateMax bytes) as its one line of status (systemctl status).
constexpr int kServiceStateMax = 512;
void serviceState(const char* state);

// Tells the manager's watchdog the program is alive, when it is time to
// (WATCHDOG_USEC, for this process or its unit's main process): called
// from every wait, as often as it likes; a clock reading when it is not
// time yet.
void serviceAlive();

// How long a wait may sleep before calling serviceAlive() again, in
// milliseconds; -1 when no watchdog listens (sleep as long as it likes).
int serviceAliveWithinMs();

// The watchdog hears from a program this many times per interval.
constexpr int kAliveFraction = 4;

// Our own addition: the show's sound, through the kernel's PCM interface
// (no sound server). Opens `device` (hw:1,0, hw:CARD=Headphones,
// plughw:Device; nullptr or "default": the first card that plays it) for
// 16-bit samples at `rate` in `channels` (or, if it takes fewer, two or
// one: `playChannels` tells), ready to be filled and started. Returns a
// handle or one of the reasons below.
constexpr int kSoundInvalid = -2;       // not a device name as above
constexpr int kSoundNoDevice = -3;      // no such card or device
constexpr int kSoundBusy = -4;          // another program plays on it
constexpr int kSoundNoPermission = -5;  // the device may not be opened
constexpr int kSoundRefused = -6;       // it plays no 16-bit sound at that rate
int soundOpen(const char* device, int rate, int channels, int* playChannels);

// Queues up to `count` interleaved frames without waiting. Returns how many
// it took (0 when the buffer is full), or -1 when the device went away.
int soundWrite(int handle, const std::int16_t* frames, int count);

// Starts playing what was queued. Returns 0, or -1.
int soundStart(int handle);

// Sets `frames` to the frames queued but not yet heard at the moment
// `atNanos` (monotonic clock): the driver's delay, the device's own
// latency included. Below 0 after the player fell behind: so many frames
// of silence were played instead. Returns 0, or -1 when the device went
// away.
int soundQueued(int handle, std::int64_t* frames, std::int64_t* atNanos);

// Moves the point where the next frame is queued: ahead over `frames`
// frames of silence (positive), or back over frames queued but not yet
// played (negative). Returns how far it moved, as far as the device allows.
std::int64_t soundSkip(int handle, std::int64_t frames);

// Stops playing at once and drops what is queued, ready to be filled and
// started again.
void soundStop(int handle);

// Stops at once and closes.
void soundClose(int handle);

}  // extern "C"
