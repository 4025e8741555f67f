// wait-for-device [-s DEVICE] [-o SOUNDDEVICE] SECONDS PROGRAM [ARGS...]
//
// Starts the show's player once its serial device can be opened: the first
// or the second device, or DEVICE alone (the player's -s, such as a name
// under /dev/serial/by-id/), there at boot or plugged in later; with -o,
// once its sound device is there too (the player's -o: a card by number
// or id, or "default" for any card). After SECONDS (ORVPLAYER_DEVICE_WAIT
// in /etc/default/orvplayer) without them, the show's unit fails with one
// of the messages below. A device that is there but still cannot be opened
// by then is left to the player to report. The wait is the unit's main
// process, so it holds up no other part of the boot.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

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

std::int64_t monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits for the sound device, for what is left of `limit` seconds counted
// from `beganMs`; says so and returns false when it did not come.
bool waitForSound(const char* name, int limit, std::int64_t beganMs) {
    const bool named = name[0] != '\0' && std::strcmp(name, "default") != 0;
    char state[kServiceStateMax];
    if (named) {
        std::snprintf(state, sizeof state, "waiting for the sound device %s", name);
    } else {
        std::snprintf(state, sizeof state, "waiting for a sound card");
    }
    serviceState(state);
    const std::int64_t left = static_cast<std::int64_t>(limit) * 1000 - (monotonicMs() - beganMs);
    if (waitForSoundDevice(name, left > 0 ? left : 0) != DeviceFound::kNone) {
        return true;
    }
    if (named) {
        std::printf("no sound device: %s did not appear within %d seconds\n", name, limit);
    } else {
        std::printf("no sound device: no sound card appeared within %d seconds\n", limit);
    }
    return false;
}

}  // namespace

int main(int argc, char* argv[]) {
    const char* device = nullptr;
    const char* sound = nullptr;
    char** words = argv;
    while (words + 2 < argv + argc &&
           (std::strcmp(words[1], "-s") == 0 || std::strcmp(words[1], "-o") == 0)) {
        (words[1][1] == 's' ? device : sound) = words[2];
        words += 2;
    }
    if (argc - (words - argv) < 3) {
        std::puts("usage: wait-for-device [-s DEVICE] [-o SOUNDDEVICE] SECONDS PROGRAM [ARGS...]");
        return 2;
    }
    const int limit = secondsOf(words[1]);
    const std::int64_t began = monotonicMs();
    tellWaiting(device != nullptr ? device : ORV_FIRST_DEVICE,
                device != nullptr ? device : ORV_SECOND_DEVICE);
    if (device != nullptr) {
        if (waitForDevice(device, device, limit) == DeviceFound::kNone) {
            std::printf("no serial device: %s did not appear within %d seconds\n", device, limit);
            return 1;
        }
    } else if (waitForDevice(ORV_FIRST_DEVICE, ORV_SECOND_DEVICE, limit) == DeviceFound::kNone) {
        std::printf("no serial device: neither %s nor %s appeared within %d seconds\n",
                    ORV_FIRST_DEVICE, ORV_SECOND_DEVICE, limit);
        return 1;
    }
    if (sound != nullptr && !waitForSound(sound, limit, began)) {
        return 1;
    }
    std::fflush(stdout);
    execv(words[2], words + 2);
    std::printf("wait-for-device: cannot start %s\n", words[2]);
    return 1;
}
