// Waiting on a serial device that is slow to take bytes: bounded, so that a
// device that stopped reading for good fails the run instead of hanging it,
// and with its input discarded meanwhile, so that a device blocked in its own
// output is not what stops it reading.
#pragma once

// Discards what the device has sent. False after a hang-up.
bool discardInput(int fd);

// Waits briefly for room in the port's output. `stalledSinceMs` holds when
// the device last took a byte (0: it just did); false when it went away or
// has taken nothing for the stall bound. Once a stop signal has come,
// `stoppedSinceMs` holds when the wait first saw it, and the write gets
// kStopDrainMs from then: false after that, with the bytes left given up.
bool waitForRoom(int fd, long long* stalledSinceMs, long long* stoppedSinceMs);

// Waits until the driver has handed every written byte to the device. False
// when the device went away first or took nothing for the stall bound, or
// (with `limitMs` above 0) when bytes still wait after that long; the bytes
// left are then given up. A stop signal that comes meanwhile bounds the
// rest of the wait to kStopDrainMs.
bool drainOutput(int fd, long long limitMs);
