#include "show_state.h"

#include <cstdio>
#include <ctime>

#include "board/board.h"
#include "show_clock.h"

const char* triggerName = nullptr;
std::int64_t passesInShow = 1;

namespace {

constexpr std::int64_t kNanosPerSecond = 1000000000;

// Passes begun so far, and whether the last one's line is still to tell.
std::int64_t passesBegun = 0;
bool pending = false;

char line[kServiceStateMax];

// The local time zone, read once before anything plays: later readings of
// the local time then read no file.
void readTimeZoneOnce() {
    static bool read = false;
    if (!read) {
        tzset();
        read = true;
    }
}

// A moment as the local time of day, the nearest second; with its date
// when it is not today.
void formatMoment(char* out, std::size_t size, std::int64_t unixNanos) {
    readTimeZoneOnce();
    const auto seconds =
        static_cast<std::time_t>((unixNanos + kNanosPerSecond / 2) / kNanosPerSecond);
    const std::time_t now = std::time(nullptr);
    std::tm at{};
    std::tm today{};
    localtime_r(&seconds, &at);
    localtime_r(&now, &today);
    if (at.tm_year == today.tm_year && at.tm_yday == today.tm_yday) {
        std::snprintf(out, size, "%02d:%02d:%02d", at.tm_hour, at.tm_min, at.tm_sec);
    } else {
        std::snprintf(out, size, "%04d-%02d-%02d %02d:%02d:%02d", at.tm_year + 1900, at.tm_mon + 1,
                      at.tm_mday, at.tm_hour, at.tm_min, at.tm_sec);
    }
}

}  // namespace

void stateConnected(const char* device) {
    if (!serviceListens()) {
        return;
    }
    readTimeZoneOnce();
    std::snprintf(line, sizeof line, "playing to %s", device);
    serviceState(line);
}

void stateWaitingForStart(std::int64_t unixNanos) {
    if (!serviceListens()) {
        return;
    }
    char moment[64];
    formatMoment(moment, sizeof moment, unixNanos);
    std::snprintf(line, sizeof line, "waiting for the start at %s", moment);
    serviceState(line);
}

void stateWaitingForTrigger() {
    pending = false;
    if (!serviceListens()) {
        return;
    }
    if (passesBegun == 0) {
        std::snprintf(line, sizeof line, "waiting for trigger %s", triggerName);
    } else {
        std::snprintf(line, sizeof line, "pass %lld played, waiting for trigger %s",
                      static_cast<long long>(passesBegun), triggerName);
    }
    serviceState(line);
}

void statePassStarted() {
    ++passesBegun;
    pending = true;
}

void stateSendPending(std::int64_t now) {
    if (!pending || passStart < 0 || now < passStart || !serviceListens()) {
        return;
    }
    pending = false;
    char count[32] = "";
    if (passesInShow != 0) {
        std::snprintf(count, sizeof count, " of %lld", static_cast<long long>(passesInShow));
    }
    // The next pass's start is known when a period sets it.
    char next[80] = "";
    const bool another = passesInShow == 0 || passesBegun < passesInShow;
    if (another && passPeriod > 0 && triggerSource < 0) {
        char moment[64];
        formatMoment(moment, sizeof moment,
                     wallClockNanos() + (passStart + passPeriod - now) * 1000000);
        std::snprintf(next, sizeof next, ", next at %s", moment);
    }
    std::snprintf(line, sizeof line, "pass %lld%s%s", static_cast<long long>(passesBegun), count,
                  next);
    serviceState(line);
}
