#include "start_time.h"

#include <cerrno>
#include <ctime>
#include <limits>

namespace {

constexpr std::int64_t kNanosPerSecond = 1000000000;

// The widest span of seconds whose nanoseconds fit 64 bits, narrowed to
// what time_t holds (32 bits on older 32-bit systems: up to 2038).
constexpr std::int64_t kLatestSecond =
    std::numeric_limits<std::int64_t>::max() / kNanosPerSecond - 1 <
            static_cast<std::int64_t>(std::numeric_limits<time_t>::max())
        ? std::numeric_limits<std::int64_t>::max() / kNanosPerSecond - 1
        : static_cast<std::int64_t>(std::numeric_limits<time_t>::max());
constexpr std::int64_t kEarliestSecond =
    std::numeric_limits<std::int64_t>::min() / kNanosPerSecond + 1;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads exactly `count` digits at `*text` and moves past them.
bool readDigits(const char** text, int count, int* value) {
    int result = 0;
    for (int i = 0; i < count; ++i) {
        const char c = (*text)[i];
        if (!isDigit(c)) {
            return false;
        }
        result = result * 10 + (c - '0');
    }
    *text += count;
    *value = result;
    return true;
}

// Moves past `c` when it stands at `*text`.
bool skip(const char** text, char c) {
    if (**text != c) {
        return false;
    }
    ++*text;
    return true;
}

// An optional fraction of a second: a point or comma and at least one digit.
bool readFraction(const char** text, std::int64_t* nanos) {
    *nanos = 0;
    if (!skip(text, '.') && !skip(text, ',')) {
        return true;
    }
    const char* first = *text;
    for (std::int64_t scale = kNanosPerSecond / 10; isDigit(**text); ++*text) {
        *nanos += (**text - '0') * scale;
        scale /= 10;
    }
    return *text != first;
}

std::int64_t secondsOfDay(int hours, int minutes, int seconds) {
    return static_cast<std::int64_t>(hours) * 3600 + static_cast<std::int64_t>(minutes) * 60 +
           seconds;
}

bool inRange(int value, int least, int most) { return value >= least && value <= most; }

bool isLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t daysSinceEpoch(int year, int month, int day) {
    const std::int64_t y = year - (month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yearOfEra = y - era * 400;
    const std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// Unix seconds of a local date and time. Where the clocks go back, a time
// that comes twice is taken the first time; a time they skip is refused.
bool localSeconds(const std::tm& fields, std::int64_t* seconds) {
    bool found = false;
    for (int dst = 0; dst <= 1; ++dst) {
        std::tm t = fields;
        t.tm_isdst = dst;
        errno = 0;
        const std::time_t at = std::mktime(&t);
        // mktime moves fields that do not name a real local time.
        const bool exists = !(at == -1 && errno != 0) && t.tm_isdst == dst &&
                            t.tm_year == fields.tm_year && t.tm_mon == fields.tm_mon &&
                            t.tm_mday == fields.tm_mday && t.tm_hour == fields.tm_hour &&
                            t.tm_min == fields.tm_min && t.tm_sec == fields.tm_sec;
        if (exists && (!found || at < *seconds)) {
            *seconds = at;
            found = true;
        }
    }
    return found;
}

// An optional zone: Z, +HH:MM or -HH:MM, as seconds east of UTC.
bool readZone(const char** text, bool* given, std::int64_t* east) {
    *given = true;
    *east = 0;
    if (skip(text, 'Z')) {
        return true;
    }
    const bool ahead = skip(text, '+');
    if (!ahead && !skip(text, '-')) {
        *given = false;
        return true;
    }
    int hours = 0;
    int minutes = 0;
    if (!readDigits(text, 2, &hours) || !skip(text, ':') || !readDigits(text, 2, &minutes) ||
        !inRange(hours, 0, 23) || !inRange(minutes, 0, 59)) {
        return false;
    }
    *east = (ahead ? 1 : -1) * secondsOfDay(hours, minutes, 0);
    return true;
}

bool readDateAndTime(const char* text, std::int64_t* seconds, std::int64_t* nanos) {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (!readDigits(&text, 4, &year) || !skip(&text, '-') || !readDigits(&text, 2, &month) ||
        !skip(&text, '-') || !readDigits(&text, 2, &day) || !skip(&text, 'T') ||
        !readDigits(&text, 2, &hour) || !skip(&text, ':') || !readDigits(&text, 2, &minute) ||
        !skip(&text, ':') || !readDigits(&text, 2, &second) || !readFraction(&text, nanos)) {
        return false;
    }
    bool zoned = false;
    std::int64_t east = 0;
    if (!readZone(&text, &zoned, &east) || *text != '\0') {
        return false;
    }
    if (!inRange(month, 1, 12) || !inRange(day, 1, daysInMonth(year, month)) ||
        !inRange(hour, 0, 23) || !inRange(minute, 0, 59) || !inRange(second, 0, 59)) {
        return false;
    }
    if (!zoned) {
        std::tm fields{};
        fields.tm_year = year - 1900;
        fields.tm_mon = month - 1;
        fields.tm_mday = day;
        fields.tm_hour = hour;
        fields.tm_min = minute;
        fields.tm_sec = second;
        return localSeconds(fields, seconds);
    }
    *seconds = daysSinceEpoch(year, month, day) * 86400 + secondsOfDay(hour, minute, second) - east;
    return true;
}

bool readUnixTime(const char* text, std::int64_t* seconds, std::int64_t* nanos) {
    if (!isDigit(*text)) {
        return false;
    }
    *seconds = 0;
    for (; isDigit(*text); ++text) {
        if (*seconds > kLatestSecond) {
            return false;  // stop before the sum can overflow
        }
        *seconds = *seconds * 10 + (*text - '0');
    }
    return readFraction(&text, nanos) && *text == '\0';
}

}  // namespace

bool parseStartTime(const char* text, std::int64_t* unixNanos) {
    std::int64_t seconds = 0;
    std::int64_t nanos = 0;
    const bool read = text[0] == '@' ? readUnixTime(text + 1, &seconds, &nanos)
                                     : readDateAndTime(text, &seconds, &nanos);
    if (!read || seconds > kLatestSecond) {
        return false;
    }
    if (seconds < kEarliestSecond) {
        seconds = kEarliestSecond;
        nanos = 0;
    }
    *unixNanos = seconds * kNanosPerSecond + nanos;
    return true;
}
