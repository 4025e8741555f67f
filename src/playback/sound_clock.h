// Where the sound device's clock stands against the monotonic clock. A
// sound card's clock is its own, tens of parts per million away from the
// system's; the sound's frames, not the monotonic clock, say when a cue
// that belongs to a sample is due. The device tells, now and then, which
// frame it was playing at a moment; this keeps the latest of those
// readings and says when any frame near them leaves the device.
#pragma once

#include <cstdint>

// Forgets every reading: a new stream at `rate` frames a second.
void soundClockReset(std::int32_t rate);

// The device played stream frame `frame` at `atNanos` (monotonic clock),
// or later: a driver reports where it last moved its position, so a
// reading may lag but never leads.
void soundClockReading(std::int64_t frame, std::int64_t atNanos);

// When stream frame `frame` leaves the device, on the monotonic clock.
std::int64_t soundFrameNanos(std::int64_t frame);

// The first stream frame that leaves the device at or after `nanos`.
std::int64_t soundFrameAt(std::int64_t nanos);

// How many readings the clock goes by: the most recent ones, over about
// two thirds of a second at one a look at the port.
constexpr int kSoundClockReadings = 64;
