// Number parsing shared by the command line and the cue reader.
#pragma once

#include <cstdint>

// Reads `text` the way strtol reads it (leading white space, a sign, a 0x
// prefix in base 16, digits up to the first non-digit; no digits read as 0)
// and clamps the value to the signed 32-bit range. The result is the same
// on a 32-bit and on a 64-bit `long`.
std::int32_t parseInt32(const char* text, int base);
