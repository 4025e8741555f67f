#include "show_clock.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "board/board.h"
#include "show_state.h"
#include "soundtrack.h"
#include "stop.h"
#include "wake_margin.h"

std::int32_t ShowOffset = -1;
std::int64_t starttime = -1;
std::int64_t passStart = -1;
std::int64_t passPeriod = 0;
std::int64_t startTick = -1;
std::int64_t startMoment = -1;
int sp = -1;
int triggerSource = -1;
bool passWaitsForTrigger = false;
std::int64_t triggerNotBefore = 0;

namespace {

// While it waits for a cue the player looks at the port this often, so that
// an unplugged device is noticed (and its node let go) long before a late
// cue, and what the device sends is discarded before it can stall it.
constexpr std::int64_t kCheckEveryMs = 20;
// Cues so close together that no wait leaves room for the look still get
// it, after a write, this often.
constexpr std::int64_t kCheckAtLeastEveryMs = 50;

// The clock reading (as millis() gives it) at the last trigger's moment.
std::uint32_t triggerTick = 0;

// Clock reading of the last look at the port.
std::int64_t lastCheck = 0;

// The latest moment at which a cue of the current pass was due, in
// milliseconds after the pass's start: where the next pass starts when no
// period is given.
std::int64_t passLatest = 0;

// Whether a cue of the current pass was queued.
bool passHasCue = false;

// The current pass's start on the monotonic clock, and the start of its
// last write.
std::int64_t passStartNanos = 0;
std::int64_t passEndNanos = 0;

// With a sound: where a pass starts on the monotonic clock when a loop's
// passes follow each other. Its sound starts at the frame that leaves
// there, a frame later at most, never earlier; counted on from here, not
// from that frame, so that passes never drift from the loop's grid.
std::int64_t passGridNanos = 0;

constexpr std::int64_t kNanosPerMs = 1000000;

// With a sound and a start moment (-t), the sound's stream starts this
// long before the moment, on silence, so that its first frame leaves at
// the moment itself: longer than a device takes to start and to fill its
// buffer. The first frame is placed once the device's clock has been read
// for a while, this long before it leaves.
constexpr std::int64_t kSoundStartsAheadNanos = 500 * kNanosPerMs;
constexpr std::int64_t kSoundPlacedAheadNanos = 150 * kNanosPerMs;

// Where the sound's first frame is to leave for the start moment, on the
// monotonic clock, or -1.
std::int64_t soundStartNanos = -1;

// While it waits for a trigger the show clock still reads its clock at
// least this often, so that its widened readings stay right.
constexpr int kTriggerWaitMs = 3600 * 1000;

// The millisecond clock widened to 64 bits: each reading moves it on by its
// difference from the one before, taken as signed 32 bits, so that it never
// wraps. The show clock reads the clock far more often than every 24 days.
std::uint32_t lastReading = 0;
std::int64_t widened = -1;

std::int64_t clockNow() {
    const std::uint32_t reading = millis();
    widened = widened < 0 ? reading : widened + static_cast<std::int32_t>(reading - lastReading);
    lastReading = reading;
    return widened;
}

void deviceGone() {
    std::puts("couldn't write to serial");
    std::exit(1);
}

void soundGone() {
    std::puts("couldn't play sound: the sound device went away");
    std::exit(1);
}

// Also tells the service manager's watchdog that the player is alive, and
// feeds the sound.
void checkPort(std::int64_t now) {
    lastCheck = now;
    serviceAlive();
    if (serialCheck(sp) != 0) {
        deviceGone();
    }
    if (soundtrackOn() && !soundtrackFeed()) {
        soundGone();
    }
}

// Starts the sound's stream on silence now, for its first frame to leave
// at `firstFrameNanos` on the monotonic clock; feeds the device and looks
// at the port until it is time to put that frame in place.
void startSoundAhead(std::int64_t firstFrameNanos) {
    if (!soundtrackStartSilent()) {
        soundGone();
    }
    const std::int64_t place = firstFrameNanos - kSoundPlacedAheadNanos;
    for (std::int64_t now = clockNanos(); now < place; now = clockNanos()) {
        stopIfAsked();
        sleepUntilNanos(std::min(place, now + kCheckEveryMs * kNanosPerMs));
        checkPort(clockNow());
    }
    soundStartNanos = firstFrameNanos;
}

// Triggers that come while a pass plays are not played later: they are
// dropped while the player waits for a cue and before each write, never
// after one, so that a trigger right after a pass's last cue starts the
// next pass. The last write's start is where the pass ended.
void dropTriggersDuringThePass() {
    if (triggerSource >= 0) {
        triggerDiscard(triggerSource);
        passEndNanos = clockNanos();
    }
}

// Waits for a pending start moment (-t), if any, and clears it. Reading the
// first cue may have taken past it: then nothing is played.
void waitForStartMoment() {
    const std::int64_t moment = startMoment;
    if (moment < 0) {
        return;
    }
    startMoment = -1;
    // Waited for here by one show only: after a step of the wall clock its
    // moment stands, or has passed.
    stateWaitingForStart(moment);
    // A sound that starts with the show is started ahead (a trigger's
    // starts on the trigger).
    const bool soundAhead = soundtrackOn() && triggerSource < 0;
    const std::int64_t until = soundAhead ? moment - kSoundStartsAheadNanos : moment;
    std::int64_t tick = 0;
    while ((tick = waitForWallClock(until)) == kWallClockStepped) {
    }
    stopIfAsked();
    const std::int64_t left = moment - wallClockNanos();
    if (soundAhead && left >= 0) {
        startSoundAhead(clockNanos() + left);
        return;
    }
    if (tick < 0) {
        std::puts("start time has passed");
        std::exit(1);
    }
    startTick = tick;
}

// The monotonic clock's reading, in nanoseconds, at the tick of the show
// clock's `moment`, counted from the tick of the latest reading.
std::int64_t nanosAt(std::int64_t moment) {
    return tickNanos(lastReading) + (moment - widened) * 1000000;
}

// Sleeps until the monotonic clock reads `wake`; returns at once when that
// has come. The deadline is absolute: how late one sleep ended never moves
// the next. How late the sleep ended teaches the margin.
void sleepUntilWake(std::int64_t wake) {
    if (clockNanos() >= wake) {
        return;
    }
    sleepUntilNanos(wake);
    const std::int64_t woke = clockNanos();
    // A sleep that a stop or the watchdog cut short teaches nothing.
    if (woke >= wake) {
        learnWake(woke - wake);
    }
}

// Sleeps from the clock reading `now` until the next look at the port, or
// until the wake margin before `moment`'s tick, whichever comes first.
void sleepTowards(std::int64_t moment, std::int64_t now) {
    std::int64_t wake = nanosAt(moment) - wakeMarginNanos;
    const std::int64_t look = lastCheck + kCheckEveryMs;
    if (now < look && look + 1 < moment) {
        wake = std::min(wake, nanosAt(look));
    }
    sleepUntilWake(wake);
}

// Waits from the clock reading `now` until it reads `moment`, and returns
// the reading that does. It sleeps, waking for each look at the port, and
// polls the clock only for the wake margin before the moment, so that the
// core is free between cues and waking from a sleep never makes a cue
// late. Before it waits, work the last write woke in the kernel (on a
// pseudo-terminal, the worker that passes the bytes on) gets the core; a
// moment already come goes without it, so that bursts run at full speed.
// The port is looked at only while the moment is a whole tick away, so
// that the look never delays what is written there.
std::int64_t waitUntil(std::int64_t moment, std::int64_t now) {
    if (now < moment) {
        yieldProcessor();
    }
    while (now < moment) {
        stopIfAsked();
        if (now + 1 < moment && now - lastCheck >= kCheckEveryMs) {
            checkPort(now);
            dropTriggersDuringThePass();
            stateSendPending(now);
        }
        sleepTowards(moment, now);
        now = clockNow();
    }
    return now;
}

// With a sound: waits until the pass's frame `due` milliseconds after its
// first leaves the sound device, as waitUntil() waits for a tick: asleep
// but for the wake margin, looking at the port (and feeding the sound)
// every few tens of milliseconds while the moment is more than a
// millisecond away. Each look reads the device's clock, which the moment
// follows.
void waitForSample(std::int64_t due) {
    std::int64_t now = clockNow();
    if (clockNanos() < soundtrackNanos(due)) {
        yieldProcessor();
    }
    for (;;) {
        stopIfAsked();
        const bool tickAway = soundtrackNanos(due) - clockNanos() > kNanosPerMs;
        const std::int64_t look = nanosAt(lastCheck + kCheckEveryMs) + soundtrackReadDelay();
        if (tickAway && clockNanos() >= look) {
            checkPort(now);
            dropTriggersDuringThePass();
            stateSendPending(now);
        }
        const std::int64_t moment = soundtrackNanos(due);
        if (clockNanos() >= moment) {
            return;
        }
        std::int64_t wake = moment - wakeMarginNanos;
        if (tickAway) {
            wake = std::min(wake, nanosAt(lastCheck + kCheckEveryMs) + soundtrackReadDelay());
        }
        sleepUntilWake(wake);
        now = clockNow();
    }
}

// Counts the pass from the clock reading `tick` (returned by tickAt()),
// which began at `nanos` on the monotonic clock.
void countPassFrom(std::uint32_t tick, std::int64_t nanos) {
    if (starttime < 0) {
        widened = -1;  // a new show: its clock starts here
    }
    const std::int64_t now = clockNow();
    passStart = now - static_cast<std::int32_t>(lastReading - tick);
    passStartNanos = nanos;
    passEndNanos = nanos;
    if (starttime < 0) {
        starttime = passStart;
    }
    lastCheck = now;
}

// With a sound, the pass starts where its first frame leaves the device, on
// a tick put there.
void countPassFromSound(std::int64_t firstFrameNanos) {
    if (firstFrameNanos < 0) {
        soundGone();
    }
    countPassFrom(static_cast<std::uint32_t>(tickAt(firstFrameNanos)), firstFrameNanos);
}

// With a sound, a pass lasts until its sound has ended too (with a period,
// at most the period), and its sound stops before a trigger is awaited.
void endPassWithSound(bool anotherFollows) {
    if (passStart < 0) {
        startPass();
    }
    const std::int64_t soundMs = soundtrackLengthMs();
    const std::int64_t end = passPeriod > 0 ? std::min(soundMs, passPeriod) : soundMs;
    if (anotherFollows && triggerSource < 0) {
        const std::int64_t length = passPeriod > 0 ? passPeriod : std::max(passLatest, soundMs);
        soundtrackQueueNext(passGridNanos + length * kNanosPerMs);
    }
    waitForSample(end);
    passLatest = std::max(passLatest, end);
    passEndNanos = std::max(passEndNanos, clockNanos());
    if (triggerSource >= 0) {
        soundtrackPause();
    }
}

}  // namespace

// The show starts on a tick of the clock. A reading stands for a whole
// millisecond; taken at a random moment within it, the first cue could
// leave up to a millisecond after the moment its reading stands for, and
// every later cue, written on its own tick, would arrive early by as much,
// counted from the first. Waiting for the tick costs the first cue less
// than a millisecond. A start moment (-t) puts a tick at that moment:
// within its millisecond, the show starts on it, without waiting.
std::int64_t startPass() {
    waitForStartMoment();
    if (soundtrackOn()) {
        if (soundStartNanos >= 0) {
            // A loop's grid counts from the start moment itself.
            countPassFromSound(soundtrackStartAt(soundStartNanos));
            passGridNanos = soundStartNanos;
            soundStartNanos = -1;
        } else {
            countPassFromSound(soundtrackStart());
            passGridNanos = passStartNanos;
        }
        return passStart;
    }
    if (starttime < 0) {
        widened = -1;  // a new show: its clock starts here
    }
    std::int64_t now = clockNow();
    const std::int64_t before = now;
    while (now == before && static_cast<std::int64_t>(lastReading) != startTick) {
        now = clockNow();
    }
    passStart = now;
    passStartNanos = clockNanos();
    passEndNanos = passStartNanos;
    if (starttime < 0) {
        starttime = now;
    }
    lastCheck = now;
    return now;
}

bool startPassOnTrigger() {
    if (!passWaitsForTrigger) {
        return true;
    }
    stateWaitingForTrigger();
    std::int64_t at = 0;
    for (;;) {
        const int got = triggerWait(triggerSource, sp, triggerNotBefore, kTriggerWaitMs, &at);
        clockNow();
        if (got == kTriggered) {
            break;
        }
        if (got == kTriggerEnded) {
            return false;
        }
        if (got == kTriggerPortGone) {
            deviceGone();
        }
        stopIfAsked();
    }
    passWaitsForTrigger = false;
    // The pass counts from the trigger's moment, not from when it was seen:
    // a tick of the clock is put there, and the first cue is due at once.
    // With a sound, from its first frame, which starts on the trigger.
    const auto tick = static_cast<std::uint32_t>(tickAt(at));
    triggerTick = tick;
    if (soundtrackOn()) {
        countPassFromSound(soundtrackStart());
    } else {
        countPassFrom(tick, at);
    }
    return true;
}

void startAtTriggerTick() {
    soundtrackPause();  // it starts with the show's first cue
    startTick = triggerTick;
    passStart = -1;
    starttime = -1;
}

void endPass(bool anotherFollows) {
    if (soundtrackOn()) {
        endPassWithSound(anotherFollows);
        return;
    }
    if (passHasCue) {
        return;
    }
    if (passStart < 0) {
        startPass();
    } else {
        waitUntil(passStart, clockNow());
    }
}

bool passTakesNoTime() { return passPeriod == 0 && triggerSource < 0 && passLatest <= 0; }

void nextPass() {
    if (triggerSource >= 0) {
        // The next trigger, once this pass is over and, with a period, no
        // sooner than a period after this pass's start.
        passWaitsForTrigger = true;
        triggerNotBefore = std::max(passEndNanos, passStartNanos + passPeriod * 1000000);
        passStart = -1;
    } else {
        // Counted from the pass's start, never from when its last cue was
        // written: lateness does not carry over, and passes do not drift.
        passStart += passPeriod > 0 ? passPeriod : passLatest;
        if (soundtrackOn()) {
            passGridNanos += (passPeriod > 0 ? passPeriod : passLatest) * kNanosPerMs;
            countPassFromSound(soundtrackStartAt(passGridNanos));
        }
    }
    passLatest = 0;
    passHasCue = false;
    ShowOffset = -1;
}

std::int64_t dueOf(std::int32_t offset) {
    if (ShowOffset < 0) {
        ShowOffset = offset;
    }
    // Offsets reach from -0xFFFFFFF to INT32_MAX, so their difference needs
    // more than 32 bits.
    return static_cast<std::int64_t>(offset) - ShowOffset;
}

void queue(std::int32_t offset, const char* codes) {
    const std::int64_t due = dueOf(offset);
    std::int64_t now = passStart < 0 ? startPass() : clockNow();
    passLatest = std::max(passLatest, due);
    passHasCue = true;
    if (soundtrackOn()) {
        waitForSample(due);
        now = clockNow();
    } else {
        now = waitUntil(passStart + due, now);
    }
    dropTriggersDuringThePass();
    sendCodes(codes);
    stopIfAsked();
    if (now - lastCheck >= kCheckAtLeastEveryMs) {
        checkPort(now);
    }
}

void sendCodes(const char* codes) {
    if (serialPuts(sp, codes) != 0) {
        // A write that a stop cut short ends by the signal, not as a failure.
        stopIfAsked();
        std::puts("couldn't write to serial");
        std::exit(1);
    }
}
