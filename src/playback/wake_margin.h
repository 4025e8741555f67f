// How long before a cue's moment the player's sleep ends, so that the
// rest of the wait, spent polling the clock, absorbs how late this board
// wakes a sleeper. Learned while the show plays: a Pi Zero wakes later than
// a Pi 5, and any board wakes later when it is busy.
#pragma once

#include <cstdint>

// The margin never leaves these bounds. It starts at the top, so that the
// first cues are on time before anything is learned.
constexpr std::int64_t kWakeMarginMinNanos = 50000;    // 50 us
constexpr std::int64_t kWakeMarginMaxNanos = 2000000;  // 2 ms

// The margin now, in nanoseconds.
extern std::int64_t wakeMarginNanos;

// A sleep meant to end at some moment ended `lateNanos` after it.
void learnWake(std::int64_t lateNanos);
