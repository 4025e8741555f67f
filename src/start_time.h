// Start moments for -t: when the show is to begin, on the wall clock.
#pragma once

#include <cstdint>

// Reads a start moment as nanoseconds since the Unix epoch. The forms:
//   @SECONDS[.FRACTION]                   Unix time, as `date +%s.%N` prints it
//   YYYY-MM-DDTHH:MM:SS[.FRACTION][ZONE]  ISO 8601; ZONE is Z, +HH:MM or
//                                         -HH:MM, and without it the time is
//                                         local (the TZ setting)
// A comma may stand for the point. Digits past the ninth of a fraction are
// dropped. False for any other text, for a date or time that does not
// exist (31 April, 24:00, a local time the clocks skip), and for moments
// beyond what the system's clock can hold. Moments before 1678 are held
// at that limit: they are past either way, and a loop joined from one
// counts its periods from that limit.
bool parseStartTime(const char* text, std::int64_t* unixNanos);
