// Repeating a show (-r, -p): reading their values, and where a player that
// comes late joins a loop that began at a start moment (-t).
#pragma once

#include <cstdint>

// The longest period -p takes, in milliseconds (about 24.8 days).
constexpr std::int64_t kLongestPeriodMs = INT32_MAX;

// How far ahead of the wall clock a pass that a late player joins must
// start, so that the player reads its first cue before then.
constexpr std::int64_t kJoinLeadNanos = 100 * 1000000LL;

// Reads `text` as a count: the whole word base-10 digits and nothing else,
// at most INT64_MAX. Since a count of 0 repeats for ever, nothing is read
// leniently: false for "", "3x", " 3", "+3", "-3" and "abc".
bool parseCount(const char* text, std::int64_t* count);

// The first pass (from 0) of a loop whose pass k starts at `moment` +
// k x `periodMs` that starts at least kJoinLeadNanos after `now` (all on
// the wall clock, in Unix nanoseconds): 0 while `moment` has not passed.
std::int64_t passToJoin(std::int64_t moment, std::int64_t now, std::int64_t periodMs);
