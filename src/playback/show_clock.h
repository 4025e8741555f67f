// The show clock: turns cue offsets into moments on the millisecond clock
// and writes each cue's codes to the serial port when its moment comes.
#pragma once

#include <cstdint>

// The show's base offset, in the cue file's milliseconds; negative until a
// cue sets it (and for as long as cues keep setting it to a negative value).
extern std::int32_t ShowOffset;

// The clock reading at the first cue, or -1 before it. Held in 64 bits so
// that every 32-bit reading fits beside the "not set" mark.
extern std::int64_t starttime;

// The clock reading whose millisecond began at the start moment (-t), or
// -1. A first cue queued within that millisecond starts the show on it.
extern std::int64_t startTick;

// A start moment (-t, Unix nanoseconds) still to be waited for, or -1. The
// first cue waits for it once it has been read, so that at the moment only
// its write is left to do.
extern std::int64_t startMoment;

// Serial port handle the codes are written to; -1 when none is open.
extern int sp;

// Milliseconds after the first cue at which a cue with `offset` is due.
// Takes the offset as the show's base while the base is not set (or is
// negative). Below 0 means the cue's moment has passed.
std::int64_t dueOf(std::int32_t offset);

// Waits for a pending start moment, if any, and clears it. Returns the
// clock reading that begins at the moment, or -1 when none was pending or
// it had already passed.
std::int64_t waitForStartMoment();

// Waits (busy polling the clock) until the cue is due, counted from the
// first cue, then writes its codes. A cue already due is written at once.
// Meanwhile it looks at the port every few tens of milliseconds: a device
// that went away ends the run as a failed write does.
void queue(std::int32_t offset, const char* codes);

// Writes the codes to the port. On a hard write error prints
// "couldn't write to serial" and ends the process with status 1.
void sendCodes(const char* codes);
