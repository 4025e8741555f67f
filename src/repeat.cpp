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
    // The smallest k with moment + k x period >= now + lead.
    const std::int64_t period = periodMs * 1000000;
    const std::int64_t behind = now + kJoinLeadNanos - moment;
    return (behind + period - 1) / period;
}
