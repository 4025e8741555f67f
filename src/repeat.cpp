#include "repeat.h"

bool parseCount(const char* text, std::int64_t* count) {
    std::int64_t value = 0;
    const char* digit = text;
    for (; *digit >= '0' && *digit <= '9'; ++digit) {
        const int next = *digit - '0';
        if (value > (INT64_MAX - next) / 10) {
            return false;
        }
        value = value * 10 + next;
    }
    if (digit == text || *digit != '\0') {
        return false;
    }
    *count = value;
    return true;
}

std::int64_t passToJoin(std::int64_t moment, std::int64_t now, std::int64_t periodMs) {
    if (moment >= now) {
        return 0;
    }
    // The smallest k with moment + k x period >= now + lead. A moment far
    // in the past (year 1) lies further behind than int64 reaches, so the
    // distance is taken unsigned and split before the lead is added.
    const std::uint64_t period = static_cast<std::uint64_t>(periodMs) * 1000000U;
    const std::uint64_t behind =
        static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(moment);
    const std::uint64_t rest = behind % period + kJoinLeadNanos;
    return static_cast<std::int64_t>(behind / period + (rest + period - 1) / period);
}
