// The show's sound (-a): read from its file and fed to the sound device
// while the show plays, each pass's sound from that pass's start. The
// device's stream runs from the first pass's start to the show's end (or,
// with a trigger, from each pass's start to its end); where no sound
// belongs it plays silence. Frames are counted along the stream: the
// pass's sound begins at its first frame, so a cue at X ms belongs to the
// frame X ms after it.
#pragma once

#include <cstdint>

// Reads the header of the sound file at `path` and keeps it open (a FLAC
// or MP3 file: its decoded frames). Returns kSoundKnown, or what
// readSoundFormat() or decodeSound() found.
int soundtrackReadFile(const char* path);

// Opens the sound device (nullptr: the first card that plays the sound)
// for the file read. Returns 0, or soundOpen()'s reason.
int soundtrackOpenDevice(const char* device);

// The sound file's rate, in frames a second.
int soundtrackRate();

// Whether the show has a sound.
bool soundtrackOn();

// How long the sound lasts, in milliseconds rounded up: a pass that lasts
// this long holds all of it.
std::int64_t soundtrackLengthMs();

// Starts the pass's sound as soon as the device allows (the stream from
// afresh). Returns when its first frame leaves the device, on the monotonic
// clock; -1 when the device went away.
std::int64_t soundtrackStart();

// Starts the stream afresh on silence, for a sound that is to start at a
// moment to come (soundtrackQueueNext(), then soundtrackStartAt()): the
// device's start and its buffer are behind it by then. Returns false when
// the device went away.
bool soundtrackStartSilent();

// Queues the next pass's sound from the frame that leaves the device at
// `monotonicNanos`, cutting the pass's own off there: known before the
// pass ends, the next one's sound starts on its first frame.
void soundtrackQueueNext(std::int64_t monotonicNanos);

// Starts the pass's sound where soundtrackQueueNext() put it, or else at
// the frame that leaves the device at `monotonicNanos` (or, after a
// stretch without the stream, as soon as the device allows): where a
// loop's next pass starts. Returns when that frame leaves; -1 when the
// device went away.
std::int64_t soundtrackStartAt(std::int64_t monotonicNanos);

// When the pass's frame `ms` milliseconds after its first leaves the
// device, on the monotonic clock: the device's clock while the pass's
// sound plays; after it has ended, the monotonic clock from there.
std::int64_t soundtrackNanos(std::int64_t ms);

// Queues sound up to a buffer's length ahead, and reads where the device
// is. A player that fell behind skips the sound ahead to where it belongs.
// Returns false when the device went away.
bool soundtrackFeed();

// How long after its due moment the next look at the port should feed the
// sound, in nanoseconds: less than 10 ms, different each time, so that the
// device's position is read at every part of its steps.
std::int64_t soundtrackReadDelay();

// Stops the stream until the next soundtrackStart() (a pass on a trigger).
void soundtrackPause();

// Stops the sound at once and lets the device go.
void soundtrackClose();
