#include "show_clock.h"

#include <cstdio>
#include <cstdlib>

#include "../board/board.h"

std::int32_t ShowOffset = -1;
std::int64_t starttime = -1;
int sp = -1;

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
    if (starttime < 0) {
        starttime = millis();
    }
    const auto start = static_cast<std::uint32_t>(starttime);

    // Unsigned 32-bit difference: stays right across the clock's wrap.
    // The clock is read at least once, also for a cue that is due already.
    std::uint32_t elapsed = millis() - start;
    while (static_cast<std::int64_t>(elapsed) < due) {
        elapsed = millis() - start;
    }
    sendCodes(codes);
}

void sendCodes(const char* codes) {
    if (serialPuts(sp, codes) != 0) {
        std::puts("couldn't write to serial");
        std::exit(1);
    }
}
