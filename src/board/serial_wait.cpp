#include "serial_wait.h"

#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <ctime>

#include "board.h"

namespace {

// How often a waiting player looks at the port again.
constexpr int kPollMs = 10;

long long monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void waitAPollStep() {
    timespec wait{0, kPollMs * 1000000L};
    nanosleep(&wait, nullptr);
}

// Bytes the driver still holds for the device, or -1 after a hang-up.
int outputQueued(int fd) {
    int queued = 0;
    return ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : -1;
}

// A device that stopped reading leaves the bytes it never took in the
// driver, and the last close of the port would wait for them for up to the
// port's closing wait (30 s by default) before the run could end. Give them
// up: discard what the driver holds, and where the kernel lets us (as root)
// tell the port not to wait at close.
bool giveUp(int fd) {
    tcflush(fd, TCOFLUSH);
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) == 0) {
        info.closing_wait = ASYNC_CLOSING_WAIT_NONE;
        ioctl(fd, TIOCSSERIAL, &info);
    }
    return false;
}

}  // namespace

bool discardInput(int fd) { return tcflush(fd, TCIFLUSH) == 0; }

bool waitForRoom(int fd, long long* stalledSinceMs, long long* stoppedSinceMs) {
    const long long now = monotonicMs();
    if (*stalledSinceMs == 0) {
        *stalledSinceMs = now;
    } else if (now - *stalledSinceMs >= kSerialStallSeconds * 1000LL) {
        return giveUp(fd);
    }
    // A stop ends the run within its drain bound, whatever the device does:
    // the cue being written gets that long to finish.
    if (*stoppedSinceMs == 0 && stopSignal() != 0) {
        *stoppedSinceMs = now;
    } else if (*stoppedSinceMs != 0 && now - *stoppedSinceMs >= kStopDrainMs) {
        return giveUp(fd);
    }
    if (!discardInput(fd)) {
        return false;
    }
    serviceAlive();  // a slow device is no hang
    pollfd port{fd, POLLOUT, 0};
    if (poll(&port, 1, kPollMs) < 0) {
        return errno == EINTR;
    }
    return (port.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
}

bool drainOutput(int fd, long long limitMs) {
    // A hang-up while tcdrain waits does not make tcdrain fail, and a device
    // that stopped reading makes it wait for ever; so wait here, watching
    // the driver's queue shrink, and leave to tcdrain only the bytes the
    // hardware itself still holds.
    int last = outputQueued(fd);
    long long startMs = monotonicMs();
    long long progressMs = startMs;
    bool waited = false;
    while (last != 0) {
        if (last < 0 || !discardInput(fd)) {
            return false;
        }
        waitAPollStep();
        serviceAlive();
        waited = true;
        const int queued = outputQueued(fd);
        const long long nowMs = monotonicMs();
        if (queued != last) {
            last = queued;
            progressMs = nowMs;
        } else if (nowMs - progressMs >= kSerialStallSeconds * 1000LL) {
            return giveUp(fd);
        }
        // A stop asked for meanwhile bounds the rest of the wait as a stop
        // does.
        if (limitMs == 0 && stopSignal() != 0) {
            limitMs = kStopDrainMs;
            startMs = nowMs;
        }
        if (limitMs > 0 && last != 0 && nowMs - startMs >= limitMs) {
            return giveUp(fd);
        }
    }
    int drained;
    while ((drained = tcdrain(fd)) != 0 && errno == EINTR) {
    }
    if (waited) {
        // An unplug ends the driver's transfers a moment before it hangs up
        // the port: look again once that moment is surely over.
        waitAPollStep();
    }
    return drained == 0 && outputQueued(fd) == 0;
}
