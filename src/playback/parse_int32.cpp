#include "parse_int32.h"

#include <cstdlib>

std::int32_t parseInt32(const char* text, int base) {
    // strtoll is 64 bits on every target, so clamping it gives the 32-bit
    // result whatever the width of `long`. Its own clamping at the 64-bit
    // limits lands beyond the 32-bit ones, so the order of the two is safe.
    long long value = std::strtoll(text, nullptr, base);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<std::int32_t>(value);
}
