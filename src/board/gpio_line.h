// Inside the board layer: a GPIO line's edges through the kernel's GPIO
// character device (uAPI v2), for triggers.
#pragma once

#include <cstdint>

// Requests the line that `words` names ("NAME" or "CHIP:OFFSET", then
// options after commas; see triggerOpen in board.h) as an input with edge
// events, stamped on the monotonic clock. Returns the line's event
// descriptor (non-blocking), or one of board.h's kTrigger... reasons.
int openGpioLine(const char* words);

// Reads the edge events the line holds, without waiting. Returns the
// timestamp of the first that came at or after `notBeforeNanos`, or -1
// when none did; every event read is used up.
std::int64_t readEdges(int line, std::int64_t notBeforeNanos);
