#include "show_clock.h"

#include <cstdio>
#include <cstdlib>

#include "board/board.h"

std::int32_t ShowOffset = -1;
std::int64_t starttime = -1;
std::int64_t startTick = -1;
std::int64_t startMoment = -1;
int sp = -1;

namespace {

// While it waits for a cue the player looks at the port this often, so that
// an unplugged device is noticed (and its node let go) long before a late
// cue, and what the device sends is discarded before it can stall it.
constexpr std::uint32_t kCheckEveryMs = 20;
// Cues so close together that no wait leaves room for the look still get
// it, after a write, this often.
constexpr std::uint32_t kCheckAtLeastEveryMs = 50;

// Clock reading of the last look at the port.
std::uint32_t lastCheck = 0;

void checkPort(std::uint32_t now) {
    lastCheck = now;
    if (serialCheck(sp) != 0) {
        std::puts("couldn't write to serial");
        std::exit(1);
    }
}

// Starts the show clock for the first cue and returns the reading it starts
// on. The show starts on a tick of the clock. A reading stands for a whole
// millisecond; taken at a random moment within it, the first cue could
// leave up to a millisecond after the moment its reading stands for, and
// every later cue, written on its own tick, would arrive early by as much,
// counted from the first. Waiting for the tick costs the first cue less
// than a millisecond. A start moment (-t) puts a tick at that moment:
// within its millisecond, the show starts on it, without waiting.
std::uint32_t startShow() {
    const std::int64_t tick = waitForStartMoment();
    if (tick >= 0) {
        startTick = tick;
    }
    std::uint32_t now = millis();
    const std::uint32_t before = now;
    while (now == before && static_cast<std::int64_t>(now) != startTick) {
        now = millis();
    }
    starttime = now;
    lastCheck = now;
    return now;
}

}  // namespace

std::int64_t waitForStartMoment() {
    const std::int64_t moment = startMoment;
    startMoment = -1;
    return moment < 0 ? -1 : waitForWallClock(moment);
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
    std::uint32_t now = starttime < 0 ? startShow() : millis();
    const auto start = static_cast<std::uint32_t>(starttime);

    // Before busy polling for a cue, work the last write woke in the kernel
    // (on a pseudo-terminal, the worker that passes the bytes on) gets the
    // core, rather than waiting behind the poll until it is preempted. Cues
    // already due go without it, so that bursts run at full speed.
    if (static_cast<std::uint32_t>(now - start) < due) {
        yieldProcessor();
    }

    // Unsigned 32-bit difference: stays right across the clock's wrap.
    // Every cue is written right after the reading that finds it due. The
    // port is looked at only while the cue is a whole tick away, so that
    // the look never delays it.
    for (;;) {
        const std::int64_t elapsed = static_cast<std::uint32_t>(now - start);
        if (elapsed >= due) {
            break;
        }
        if (elapsed + 1 < due && static_cast<std::uint32_t>(now - lastCheck) >= kCheckEveryMs) {
            checkPort(now);
        }
        now = millis();
    }
    sendCodes(codes);
    if (static_cast<std::uint32_t>(now - lastCheck) >= kCheckAtLeastEveryMs) {
        checkPort(now);
    }
}

void sendCodes(const char* codes) {
    if (serialPuts(sp, codes) != 0) {
        std::puts("couldn't write to serial");
        std::exit(1);
    }
}
