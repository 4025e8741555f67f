#include "device_wait.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <ctime>

#include "board/board.h"
#include "board/sound_device.h"

namespace {

// Looked at again at least this often, in case a change was not seen (the
// node of a symbolic link elsewhere, a watch that could not be set).
constexpr int kLookAgainMs = 1000;

std::int64_t monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

DeviceFound lookAt(const char* path) {
    if (access(path, R_OK | W_OK) == 0) {
        return DeviceFound::kUsable;
    }
    return access(path, F_OK) == 0 ? DeviceFound::kNotAllowed : DeviceFound::kNone;
}

// The better of the two finds.
DeviceFound better(DeviceFound a, DeviceFound b) { return a > b ? a : b; }

DeviceFound lookForSerial(const char* first, const char* second) {
    return better(lookAt(first), lookAt(second));
}

// A sound device's node: the one its name gives, or for the default any
// card's first device. A name that is no device name at all is left to the
// player to report.
DeviceFound lookForSound(const char* name, const char*) {
    char path[64];
    const int named = soundDevicePath(name, path, sizeof path);
    if (named > 0) {
        return lookAt(path);
    }
    if (named == kSoundNameNoCard) {
        return DeviceFound::kNone;
    }
    if (named < 0) {
        return DeviceFound::kUsable;
    }
    DeviceFound found = DeviceFound::kNone;
    for (int card = 0; card < kSoundCards && found != DeviceFound::kUsable; ++card) {
        soundCardPath(card, path, sizeof path);
        found = better(found, lookAt(path));
    }
    return found;
}

// Watches the folder that holds `path` for nodes made, moved in or changed.
void watchFolderOf(int watcher, const char* path) {
    char folder[4096];
    std::strncpy(folder, path, sizeof folder - 1);
    folder[sizeof folder - 1] = '\0';
    char* slash = std::strrchr(folder, '/');
    if (slash == nullptr) {
        std::strcpy(folder, ".");
    } else {
        slash[slash == folder ? 1 : 0] = '\0';
    }
    inotify_add_watch(watcher, folder, IN_CREATE | IN_ATTRIB | IN_MOVED_TO);
}

// Waits until `look(first, second)` finds a usable device, looking again
// whenever the folders holding `watchFirst` and `watchSecond` change.
DeviceFound waitUntilUsable(DeviceFound (*look)(const char*, const char*), const char* first,
                            const char* second, const char* watchFirst, const char* watchSecond,
                            std::int64_t limitMs) {
    const std::int64_t deadline = monotonicMs() + limitMs;
    const int watcher = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watcher >= 0) {
        watchFolderOf(watcher, watchFirst);
        watchFolderOf(watcher, watchSecond);
    }
    DeviceFound found = look(first, second);
    for (std::int64_t left = deadline - monotonicMs(); found != DeviceFound::kUsable && left > 0;
         left = deadline - monotonicMs()) {
        pollfd changes{watcher, POLLIN, 0};
        const int alive = serviceAliveWithinMs();
        const int every = alive > 0 && alive < kLookAgainMs ? alive : kLookAgainMs;
        const int wait = static_cast<int>(left < every ? left : every);
        if (poll(&changes, 1, wait) > 0) {
            char events[4096];
            while (read(watcher, events, sizeof events) > 0) {
            }
        }
        found = look(first, second);
        serviceAlive();
    }
    if (watcher >= 0) {
        close(watcher);
    }
    return found;
}

}  // namespace

DeviceFound waitForDevice(const char* first, const char* second, int limitSeconds) {
    return waitUntilUsable(lookForSerial, first, second, first, second,
                           static_cast<std::int64_t>(limitSeconds) * 1000);
}

DeviceFound waitForSoundDevice(const char* name, std::int64_t limitMs) {
    // /dev/snd itself is made with the first card: /dev is watched for it.
    return waitUntilUsable(lookForSound, name, nullptr, "/dev/snd", "/dev/snd/pcm", limitMs);
}
