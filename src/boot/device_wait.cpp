#include "device_wait.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <ctime>

#include "board/board.h"

namespace {

// Looked at again at least this often, in case a change was not seen (the
// node of a symbolic link elsewhere, a watch that could not be set).
constexpr int kLookAgainMs = 1000;

std::int64_t monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

DeviceFound look(const char* first, const char* second) {
    if (access(first, R_OK | W_OK) == 0 || access(second, R_OK | W_OK) == 0) {
        return DeviceFound::kUsable;
    }
    if (access(first, F_OK) == 0 || access(second, F_OK) == 0) {
        return DeviceFound::kNotAllowed;
    }
    return DeviceFound::kNone;
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

}  // namespace

DeviceFound waitForDevice(const char* first, const char* second, int limitSeconds) {
    const std::int64_t deadline = monotonicMs() + static_cast<std::int64_t>(limitSeconds) * 1000;
    const int watcher = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watcher >= 0) {
        watchFolderOf(watcher, first);
        watchFolderOf(watcher, second);
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
