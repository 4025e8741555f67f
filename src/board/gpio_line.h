// Inside the board layer: a GPIO line's edges through the kernel's GPIO
// character device (uAPI v2), for triggers.
#pragma once

#include <linux/gpio.h>

#include <cstddef>
#include <cstdint>

constexpr std::size_t kLineWordsChars = 128;

// What the words after "gpio:" ask for: the line, and how to request it.
struct LineWanted {
    char chip[kLineWordsChars];  // a chip's device name or label; empty: by name
    char name[kLineWordsChars];  // with no chip: the line's name
    std::uint32_t offset;        // with a chip: the line's offset
    std::uint64_t flags;         // GPIO_V2_LINE_FLAG_...: input, edges, bias
    std::uint32_t debounceUs;    // 0: none
};

// Reads "NAME" or "CHIP:OFFSET", then options after commas (see
// triggerOpen in board.h). Returns false when they are not such words.
bool readLineWords(const char* words, LineWanted* wanted);

// The request the kernel is given for the line wanted, once its offset on
// its chip is known.
void fillLineRequest(const LineWanted& wanted, gpio_v2_line_request* request);

// Requests the line that `words` names ("NAME" or "CHIP:OFFSET", then
// options after commas; see triggerOpen in board.h) as an input with edge
// events, stamped on the monotonic clock. Returns the line's event
// descriptor (non-blocking), or one of board.h's kTrigger... reasons.
int openGpioLine(const char* words);

// Reads the edge events the line holds, without waiting. Returns the
// timestamp of the first that came at or after `notBeforeNanos`, or -1
// when none did; every event read is used up.
std::int64_t readEdges(int line, std::int64_t notBeforeNanos);
