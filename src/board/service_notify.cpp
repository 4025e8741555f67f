// The service manager's notify protocol (systemd's sd_notify), spoken
// directly: one datagram of "NAME=value" lines to the socket that
// NOTIFY_SOCKET names. Needs no library, so the static ARM programs keep it.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "board.h"

namespace {

// -1: the environment not read yet; then the socket, or -2 without one.
int g_socket = -1;
sockaddr_un g_address{};
socklen_t g_addressLength = 0;

// How often the watchdog wants to hear from us, or 0: no watchdog.
std::int64_t g_aliveEveryNanos = 0;
std::int64_t g_lastAliveNanos = 0;  // the first call always speaks

std::int64_t monotonicNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The watchdog's interval in WATCHDOG_USEC holds for this process when
// WATCHDOG_PID is not set (a child of the unit's main process, which the
// unit lets speak for itself) or names this very process.
std::int64_t watchdogMicros() {
    const char* pid = std::getenv("WATCHDOG_PID");
    const char* usec = std::getenv("WATCHDOG_USEC");
    if (usec == nullptr || (pid != nullptr && std::strtoll(pid, nullptr, 10) != getpid())) {
        return 0;
    }
    char* end = nullptr;
    const long long micros = std::strtoll(usec, &end, 10);
    return end != usec && *end == '\0' && micros > 0 ? micros : 0;
}

// Reads the environment once. A name that starts with '@' is in the
// abstract namespace, as systemd gives it to some services.
bool connected() {
    if (g_socket != -1) {
        return g_socket >= 0;
    }
    g_socket = -2;
    const char* name = std::getenv("NOTIFY_SOCKET");
    const std::size_t length = name == nullptr ? 0 : std::strlen(name);
    if (length < 2 || length >= sizeof g_address.sun_path || (name[0] != '/' && name[0] != '@')) {
        return false;
    }
    g_address.sun_family = AF_UNIX;
    std::memcpy(g_address.sun_path, name, length);
    if (name[0] == '@') {
        g_address.sun_path[0] = '\0';
    }
    g_addressLength =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (name[0] == '@' ? 0 : 1));
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    g_socket = fd;
    g_aliveEveryNanos = watchdogMicros() * 1000 / kAliveFraction;
    g_lastAliveNanos = monotonicNanos() - g_aliveEveryNanos;
    return true;
}

// A message lost (the manager busy, say) is not retried: the next one
// says as much.
void send(const char* text) {
    sendto(g_socket, text, std::strlen(text), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&g_address),
           g_addressLength);
}

}  // namespace

bool serviceListens() { return connected(); }

void serviceState(const char* state) {
    if (!connected()) {
        return;
    }
    char message[kServiceStateMax + 32];
    std::snprintf(message, sizeof message, "READY=1\nSTATUS=%s", state);
    send(message);
}

void serviceAlive() {
    if (!connected() || g_aliveEveryNanos == 0) {
        return;
    }
    const std::int64_t now = monotonicNanos();
    if (now - g_lastAliveNanos >= g_aliveEveryNanos) {
        g_lastAliveNanos = now;
        send("WATCHDOG=1");
    }
}

int serviceAliveWithinMs() {
    if (!connected() || g_aliveEveryNanos == 0) {
        return -1;
    }
    const std::int64_t ms = g_aliveEveryNanos / 1000000;
    return ms < 1 ? 1 : ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
}
