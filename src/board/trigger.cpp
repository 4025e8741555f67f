// Triggers (-w): a GPIO line's edges, or lines read from standard input.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "board.h"
#include "gpio_line.h"
#include "stop_signal.h"

namespace {

// The one trigger source of the process; a repeated -w replaces it.
int g_source = -1;
bool g_isGpio = false;
// Standard input has ended: no trigger will come any more.
bool g_ended = false;
// The last byte read from standard input was a carriage return: a line
// feed right after it ends the same line.
bool g_afterCarriageReturn = false;

// Looked at this often at least while waiting, besides waking for every
// trigger, every byte from the device and its hang-up.
constexpr int kLookEveryMs = 100;

bool readyToRead(int fd) {
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, 0) > 0;
}

// Reads what standard input holds now, without waiting (a terminal or
// pipe shared with other programs is left blocking), but at most one chunk
// a look: input that never ends (/dev/zero, `yes`) then costs each look one
// read, so that a stop is still seen at once and a cue's write is never held
// up behind it; what is left is read at the next look. Returns the number
// of lines that ended in it (a line feed, a carriage return, or both in
// that order); notes the end of input.
int readLines(int fd) {
    int lines = 0;
    char chunk[4096];
    if (g_ended || !readyToRead(fd)) {
        return 0;
    }
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got <= 0) {
        g_ended = got == 0 || (errno != EINTR && errno != EAGAIN);
        return 0;
    }
    for (ssize_t i = 0; i < got; ++i) {
        const char byte = chunk[i];
        lines += byte == '\r' || (byte == '\n' && !g_afterCarriageReturn) ? 1 : 0;
        g_afterCarriageReturn = byte == '\r';
    }
    return lines;
}

// The moment of the first trigger at or after `notBeforeNanos` among those
// that came, or -1; every one looked at is used up.
std::int64_t takeTrigger(int trigger, std::int64_t notBeforeNanos) {
    if (g_isGpio) {
        return readEdges(trigger, notBeforeNanos);
    }
    // A line has no timestamp of its own: it counts from when it is read.
    if (readLines(trigger) == 0) {
        return -1;
    }
    const std::int64_t now = clockNanos();
    return now >= notBeforeNanos ? now : -1;
}

}  // namespace

int triggerOpen(const char* source) {
    if (g_source >= 0 && g_isGpio) {
        close(g_source);
    }
    g_source = -1;
    g_ended = false;
    g_afterCarriageReturn = false;
    if (std::strcmp(source, "-") == 0) {
        g_isGpio = false;
        g_source = STDIN_FILENO;
    } else if (std::strncmp(source, "gpio:", 5) == 0) {
        g_isGpio = true;
        const int line = openGpioLine(source + 5);
        if (line < 0) {
            return line;
        }
        g_source = line;
    } else {
        return kTriggerInvalid;
    }
    // Whatever came before anybody waited is not played later.
    takeTrigger(g_source, INT64_MAX);
    return g_source;
}

void triggerDiscard(int trigger) {
    // An edge carries the kernel's timestamp, and a wait takes only the
    // edges at or after the moment it is given, so edges that came during a
    // pass never start one however long they are kept: reading them here,
    // before a cue's write, would only make the write later. A line on
    // standard input has no moment but that of its reading: it is read now.
    if (!g_isGpio) {
        takeTrigger(trigger, INT64_MAX);
    }
}

int triggerWait(int trigger, int port, std::int64_t notBeforeNanos, int timeoutMs,
                std::int64_t* atNanos) {
    const std::int64_t deadline = clockNanos() + static_cast<std::int64_t>(timeoutMs) * 1000000;
    for (;;) {
        if (stopSignal() != 0) {
            return kTriggerStopped;
        }
        const std::int64_t at = takeTrigger(trigger, notBeforeNanos);
        if (at >= 0) {
            *atNanos = at;
            return kTriggered;
        }
        if (g_ended) {
            return kTriggerEnded;
        }
        if (port != -1 && serialCheck(port) != 0) {
            return kTriggerPortGone;
        }
        serviceAlive();
        const std::int64_t left = (deadline - clockNanos()) / 1000000;
        if (left <= 0) {
            return kTriggerTimedOut;
        }
        pollfd wake[3] = {{trigger, POLLIN, 0}, {port, POLLIN, 0}, {stopWakeFd(), POLLIN, 0}};
        poll(wake, 3, static_cast<int>(left < kLookEveryMs ? left : kLookEveryMs));
    }
}
