// Millisecond clock and sleeping, on Linux's monotonic clock.
#include <cerrno>
#include <cstdint>
#include <ctime>

#include "board.h"

namespace {

std::int64_t g_setupNs = 0;

std::int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

int wiringPiSetup() {
    g_setupNs = monotonicNs();
    return 0;
}

std::uint32_t millis() {
    // clock_gettime on the monotonic clock goes through the vDSO: no system
    // call, so the show clock can poll it in a tight loop.
    return static_cast<std::uint32_t>((monotonicNs() - g_setupNs) / 1000000);
}

void delay(unsigned int ms) {
    // Sleep to an absolute deadline so that a signal interrupting the sleep
    // neither shortens nor stretches it.
    std::int64_t until = monotonicNs() + static_cast<std::int64_t>(ms) * 1000000;
    timespec deadline{};
    deadline.tv_sec = static_cast<time_t>(until / 1000000000);
    deadline.tv_nsec = static_cast<long>(until % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}
