// Serial port through termios: open raw 8N1 and locked, write every byte,
// drain on close.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "board.h"
#include "serial_rate.h"
#include "serial_wait.h"

namespace {

struct RateCode {
    int baud;
    speed_t code;
};

const RateCode kStandardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

// Returns the termios code of a standard rate, or B0 when it has none.
speed_t standardRateCode(int baud) {
    for (const RateCode& rate : kStandardRates) {
        if (rate.baud == baud) {
            return rate.code;
        }
    }
    return B0;
}

// The rate of a termios code, or 0.
long standardRate(speed_t code) {
    for (const RateCode& rate : kStandardRates) {
        if (rate.code == code) {
            return rate.baud;
        }
    }
    return 0;
}

bool configureRaw(int fd, int baud) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        return false;  // not a terminal
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;

    speed_t code = standardRateCode(baud);
    if (code != B0) {
        cfsetispeed(&tio, code);
        cfsetospeed(&tio, code);
        return tcsetattr(fd, TCSANOW, &tio) == 0;
    }
    return tcsetattr(fd, TCSANOW, &tio) == 0 && setCustomRate(fd, baud);
}

// A driver may put another rate in place of one its chip cannot make (an
// FTDI adapter runs a rate above its limit at 9600 baud). Such a port would
// garble every cue, so it counts as one that failed to open.
bool rateIsMade(int fd, int baud) {
    long actual = reportedRate(fd);
    if (actual < 0) {  // no termios2 (user-mode emulators): the plain code
        termios tio{};
        actual = tcgetattr(fd, &tio) == 0 ? standardRate(cfgetospeed(&tio)) : 0;
    }
    const long long off = static_cast<long long>(actual) - baud;
    return actual > 0 && (off < 0 ? -off : off) * 100 <= 3LL * baud;
}

// The port this process put in exclusive mode, or -1. Exclusive mode is a
// setting of the device, not of the descriptor: it outlasts the process
// for as long as any other program holds the device open, and would keep
// every unprivileged program (the next player too) out. So it is given up
// on every way the process ends, a failure exit included.
int g_exclusivePort = -1;

void giveUpExclusiveMode() {
    if (g_exclusivePort >= 0) {
        ioctl(g_exclusivePort, TIOCNXCL);
        g_exclusivePort = -1;
    }
}

// Every other signal whose default action ends the process (SIGUSR1,
// SIGQUIT, SIGALRM, a crash...) gives up exclusive mode too, then ends the
// process by its default action all the same. The stop signals have a
// handler of their own, and end the run through an ordinary exit.
void giveUpAndEnd(int signal) {
    if (g_exclusivePort >= 0) {
        ioctl(g_exclusivePort, TIOCNXCL);  // safe in a signal handler
    }
    // SA_RESETHAND has put the default action back.
    raise(signal);
}

// Catches `signal` with `action`, unless the player was started with it
// ignored (or it has a handler of its own): then it stays as it is.
void catchIfDefault(int signal, const struct sigaction& action) {
    struct sigaction old {};
    if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) {
        sigaction(signal, &action, nullptr);
    }
}

void giveUpOnFatalSignals() {
    static const int kFatal[] = {SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE,
                                 SIGUSR1, SIGSEGV, SIGUSR2, SIGALRM,   SIGXCPU, SIGXFSZ,
                                 SIGPROF, SIGPOLL, SIGPWR,  SIGVTALRM, SIGSYS,  SIGSTKFLT};
    struct sigaction action {};
    action.sa_handler = giveUpAndEnd;
    sigemptyset(&action.sa_mask);
    action.sa_flags = static_cast<int>(SA_RESETHAND | SA_NODEFER);
    for (const int signal : kFatal) {
        catchIfDefault(signal, action);
    }
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
        catchIfDefault(signal, action);
    }
}

// Another program writing to the same port would interleave its bytes with
// the show, and its rate would change ours. An exclusive lock keeps out
// every program that locks too (another player); TIOCEXCL keeps out other
// unprivileged programs. Root may open a port that another program holds
// in exclusive mode; such a port is busy all the same, and its holder's
// mode is left alone. (Where that cannot be asked, under qemu's user-mode
// emulation, the port counts as free.)
bool lockPort(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return false;
    }
    int exclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        return false;
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        return false;
    }
    static const bool registered = std::atexit(giveUpExclusiveMode) == 0;
    static_cast<void>(registered);
    static const bool caught = (giveUpOnFatalSignals(), true);
    static_cast<void>(caught);
    g_exclusivePort = fd;
    return true;
}

// Closes the port, giving up the exclusive mode set on it.
void unlockAndClose(int fd) {
    if (fd == g_exclusivePort) {
        giveUpExclusiveMode();
    }
    close(fd);
}

}  // namespace

int serialOpen(const char* device, int baud) {
    if (baud <= 0) {
        return -1;
    }
    // O_NOCTTY: the device must never become our controlling terminal.
    // O_NONBLOCK: do not hang on modem lines while opening, and let writes
    // wait in poll, where a stalled device can be noticed.
    const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    if (!lockPort(fd)) {
        close(fd);  // never clear another holder's TIOCEXCL
        return -1;
    }
    if (!configureRaw(fd, baud) || !rateIsMade(fd, baud) || !discardInput(fd)) {
        unlockAndClose(fd);
        return -1;
    }
    return fd;
}

int serialPuts(int handle, const char* text) {
    const char* next = text;
    std::size_t left = std::strlen(text);
    long long stalledSinceMs = 0;
    long long stoppedSinceMs = 0;
    while (left > 0) {
        const ssize_t written = write(handle, next, left);
        if (written > 0) {
            next += written;
            left -= static_cast<std::size_t>(written);
            stalledSinceMs = 0;
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitForRoom(handle, &stalledSinceMs, &stoppedSinceMs)) {
                return -1;
            }
        } else {
            return -1;  // the device went away, or the port refuses bytes
        }
    }
    return 0;
}

int serialCheck(int handle) { return discardInput(handle) ? 0 : -1; }

int serialClose(int handle) {
    const bool drained = drainOutput(handle, 0);
    unlockAndClose(handle);
    return drained ? 0 : -1;
}

void serialStop(int handle) {
    drainOutput(handle, kStopDrainMs);
    unlockAndClose(handle);
}
