// The benchmark's reference: the best any program can do through this
// channel. Reads a show with the player's own reader, then spins on the
// monotonic clock (nanoseconds) until each cue's exact moment and writes it.
// With --bare it writes all cues at once in a plain loop of write() calls.
//
//   orvbench-writer [--bare] DEVICE SHOW
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "board/board.h"
#include "playback/cue_reader.h"

namespace {

std::int64_t nowNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

struct Cue {
    std::int64_t offsetMs;
    std::string codes;
};

}  // namespace

int main(int argc, char* argv[]) {
    const bool bare = argc == 4 && std::strcmp(argv[1], "--bare") == 0;
    if (argc != (bare ? 4 : 3)) {
        std::puts("usage: orvbench-writer [--bare] DEVICE SHOW");
        return 2;
    }
    const char* device = argv[bare ? 2 : 1];
    std::FILE* file = std::fopen(argv[bare ? 3 : 2], "r");
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

    const int fd = serialOpen(device, 115200);
    if (fd < 0) {
        std::puts("cannot open the device");
        return 2;
    }
    if (bare) {
        for (const Cue& cue : cues) {
            if (write(fd, cue.codes.data(), cue.codes.size()) < 0) {
                return 1;
            }
        }
    } else if (!cues.empty()) {
        const std::int64_t start = nowNanos();
        const std::int64_t base = cues.front().offsetMs;
        for (const Cue& cue : cues) {
            const std::int64_t due = start + (cue.offsetMs - base) * 1000000;
            while (nowNanos() < due) {
            }
            if (write(fd, cue.codes.data(), cue.codes.size()) < 0) {
                return 1;
            }
        }
    }
    return serialClose(fd) == 0 ? 0 : 1;
}
