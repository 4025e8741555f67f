// The benchmark's reference: the best any program can do through this
// channel. Reads a show with the player's own reader, then spins on the
// monotonic clock (nanoseconds) until each cue's exact moment and writes it.
// With --sleep it sleeps until 100 us before each cue's moment (an
// absolute deadline, the least timer slack) and spins only from there: a
// program that leaves its core free between cues, as well as it can.
// With --bare it writes all cues at once in a plain loop of write() calls;
// with --at it first spins on the wall clock until that moment (Unix
// nanoseconds) and counts the show from there. With --passes it plays the
// show that many times, pass k starting k x PERIOD after the first (or,
// without --period, at the moment of the last pass's last cue).
//
//   orvbench-writer [--bare | --sleep | --at UNIXNANOS] [--passes N [--period MS]]
//                   DEVICE SHOW
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "board/board.h"
#include "playback/cue_reader.h"

namespace {

std::int64_t nowNanos(clockid_t clock = CLOCK_MONOTONIC) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Writes all of `size` bytes. The port is opened non-blocking, as the
// player opens it: wait for room whenever the driver's buffer is full.
bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written > 0) {
            data += written;
            size -= static_cast<std::size_t>(written);
        } else if (written < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd port{fd, POLLOUT, 0};
            poll(&port, 1, 100);
        } else {
            return false;
        }
    }
    return true;
}

// How long before each cue's moment the sleeping reference wakes.
constexpr std::int64_t kSleepMarginNanos = 100000;

void sleepUntil(std::int64_t monotonicNanos) {
    const timespec until{static_cast<time_t>(monotonicNanos / 1000000000),
                         static_cast<long>(monotonicNanos % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

struct Cue {
    std::int64_t offsetMs;
    std::string codes;
};

}  // namespace

int main(int argc, char* argv[]) {
    bool bare = false;
    bool sleep = false;
    std::int64_t at = -1;
    long passes = 1;
    std::int64_t periodMs = 0;
    int first = 1;
    for (; first + 2 < argc; first += 2) {
        const std::string option = argv[first];
        if (option == "--bare" || option == "--sleep") {
            bare = option == "--bare";
            sleep = option == "--sleep";
            --first;
        } else if (option == "--at") {
            at = std::strtoll(argv[first + 1], nullptr, 10);
        } else if (option == "--passes") {
            passes = std::strtol(argv[first + 1], nullptr, 10);
        } else if (option == "--period") {
            periodMs = std::strtoll(argv[first + 1], nullptr, 10);
        } else {
            break;
        }
    }
    if (argc != first + 2) {
        std::puts(
            "usage: orvbench-writer [--bare | --sleep | --at UNIXNANOS] [--passes N [--period MS]] "
            "DEVICE SHOW");
        return 2;
    }
    const char* device = argv[first];
    std::FILE* file = std::fopen(argv[first + 1], "r");
    if (file == nullptr) {
        std::puts("cannot read the show");
        return 2;
    }
    // The show is read before the clock starts, so that reading costs
    // nothing during it.
    std::vector<Cue> cues;
    char line[kPieceChars + 1];
    std::int32_t offset = 0;
    const char* codes = nullptr;
    while (readPiece(file, line)) {
        if (parseCue(line, &offset, &codes)) {
            cues.push_back({offset, codes});
        }
    }
    std::fclose(file);

    if (sleep) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }
    const int fd = serialOpen(device, 115200);
    if (fd < 0) {
        std::puts("cannot open the device");
        return 2;
    }
    if (bare) {
        for (const Cue& cue : cues) {
            if (!writeAll(fd, cue.codes.data(), cue.codes.size())) {
                return 1;
            }
        }
    } else if (!cues.empty()) {
        if (at >= 0) {
            while (nowNanos(CLOCK_REALTIME) < at) {
            }
        }
        std::int64_t start = nowNanos();
        const std::int64_t base = cues.front().offsetMs;
        std::int64_t latestMs = 0;
        for (const Cue& cue : cues) {
            latestMs = std::max(latestMs, cue.offsetMs - base);
        }
        for (long pass = 0; pass < passes; ++pass) {
            for (const Cue& cue : cues) {
                const std::int64_t due = start + (cue.offsetMs - base) * 1000000;
                if (sleep && nowNanos() < due - kSleepMarginNanos) {
                    sleepUntil(due - kSleepMarginNanos);
                }
                while (nowNanos() < due) {
                }
                if (!writeAll(fd, cue.codes.data(), cue.codes.size())) {
                    return 1;
                }
            }
            start += (periodMs > 0 ? periodMs : latestMs) * 1000000;
        }
    }
    return serialClose(fd) == 0 ? 0 : 1;
}
