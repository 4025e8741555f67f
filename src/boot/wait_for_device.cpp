// wait-for-device [-s DEVICE] SECONDS PROGRAM [ARGS...]
//
// Starts the show's player once its serial device can be opened: the first
// or the second device, or DEVICE alone (the player's -s, such as a name
// under /dev/serial/by-id/), there at boot or plugged in later. After
// SECONDS (ORVPLAYER_DEVICE_WAIT in /etc/default/orvplayer) without it, the
// show's unit fails with one of the messages below. A device that is there
// but still cannot be opened by then is left to the player to report. The
// wait is the unit's main process, so it holds up no other part of the
// boot.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "board/board.h"
#include "device_wait.h"

#if !defined(ORV_FIRST_DEVICE) || !defined(ORV_SECOND_DEVICE)
#error "ORV_FIRST_DEVICE and ORV_SECOND_DEVICE must be defined by the build"
#endif

namespace {

constexpr int kDefaultSeconds = 120;
// A year: far more than any board takes to come, far less than what an int
// of seconds holds.
constexpr long kLongestSeconds = 86400L * 365;

// A whole number of seconds; anything else (an empty setting) is the
// default.
int secondsOf(const char* text) {
    char* end = nullptr;
    const long seconds = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || seconds < 0 || seconds > kLongestSeconds) {
        return kDefaultSeconds;
    }
    return static_cast<int>(seconds);
}

// Tells the service manager the unit is up (its start is over, so the boot
// goes on) and what it waits for.
void tellWaiting(const char* first, const char* second) {
    char state[kServiceStateMax];
    if (std::strcmp(first, second) == 0) {
        std::snprintf(state, sizeof state, "waiting for %s", first);
    } else {
        std::snprintf(state, sizeof state, "waiting for %s or %s", first, second);
    }
    serviceState(state);
}

}  // namespace

int main(int argc, char* argv[]) {
    const bool named = argc > 1 && std::strcmp(argv[1], "-s") == 0;
    char** words = named ? argv + 2 : argv;
    if (argc - (words - argv) < 3) {
        std::puts("usage: wait-for-device [-s DEVICE] SECONDS PROGRAM [ARGS...]");
        return 2;
    }
    const int limit = secondsOf(words[1]);
    tellWaiting(named ? argv[2] : ORV_FIRST_DEVICE, named ? argv[2] : ORV_SECOND_DEVICE);
    if (named) {
        if (waitForDevice(argv[2], argv[2], limit) == DeviceFound::kNone) {
            std::printf("no serial device: %s did not appear within %d seconds\n", argv[2], limit);
            return 1;
        }
    } else if (waitForDevice(ORV_FIRST_DEVICE, ORV_SECOND_DEVICE, limit) == DeviceFound::kNone) {
        std::printf("no serial device: neither %s nor %s appeared within %d seconds\n",
                    ORV_FIRST_DEVICE, ORV_SECOND_DEVICE, limit);
        return 1;
    }
    std::fflush(stdout);
    execv(words[2], words + 2);
    std::printf("wait-for-device: cannot start %s\n", words[2]);
    return 1;
}
