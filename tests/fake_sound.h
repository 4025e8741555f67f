// A sound card on the fake board's clock, for testing the soundtrack and
// the show clock's following of it without a card.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fake {

struct SoundCard {
    int openResult = 7;   // what soundOpen() returns: a handle or a reason
    int channels = 8;     // the most channels it takes
    int minChannels = 1;  // and the fewest
    std::string device;   // the name it was opened by ("" for nullptr)
    int rate = 0;         // the rate it was opened at
    double ppm = 0;       // how much faster than its nominal rate it plays
    std::int64_t bufferFrames = 250;
    std::int64_t latencyFrames = 0;  // from its position to where it is heard
    std::int64_t lagFrames = 0;      // its position as reported, rounded down to this
    bool gone = false;               // the card went away: every call fails
    // Played since the stream started; the stream.
    bool started = false;
    std::int64_t startNanos = 0;
    std::vector<std::int32_t> frames;  // each stream frame queued, as soundValue() reads it
    int starts = 0;
    int stops = 0;
    bool closed = false;
    std::int64_t framesLate = 0;  // queued after the card had played past them
};
extern SoundCard sound;

void resetSound();

// The stream frame heard at `nanos` (monotonic), exactly; negative before.
std::int64_t soundHeardAt(std::int64_t nanos);

// When stream frame `frame` is heard (monotonic nanoseconds), exactly.
double soundHeardNanos(std::int64_t frame);

// What stream frame `frame` holds: its two 16-bit channels as one number
// (the first, and the second shifted up by 15), -1 when not queued.
std::int32_t soundValue(std::int64_t frame);

}  // namespace fake
