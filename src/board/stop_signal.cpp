// Stop requests by signal: SIGTERM (systemctl stop), SIGINT (Ctrl-C) and
// SIGHUP (the terminal went away) only note that a stop was asked for; the
// player stops where a stop may take effect, never inside a cue's write.
#include "stop_signal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "board.h"

namespace {

volatile std::sig_atomic_t g_stopSignal = 0;

// Written to by the handler, so that a sleep that began just before the
// signal came still wakes at once (a flag alone could be missed there).
int g_wake[2] = {-1, -1};

void noteStopSignal(int signal) {
    if (g_stopSignal == 0) {
        g_stopSignal = signal;
    }
    const int saved = errno;
    const char byte = 0;
    // A full pipe already wakes every sleeper; nothing is lost.
    [[maybe_unused]] const ssize_t ignored = write(g_wake[1], &byte, 1);
    errno = saved;
}

}  // namespace

void catchStopSignals() {
    if (g_wake[0] < 0 && pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_wake[0] = g_wake[1] = -1;
    }
    struct sigaction action {};
    action.sa_handler = noteStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a read that waits (a FIFO as the cue file, triggers on
    // standard input) returns at the signal, so that the stop is not held
    // up by it. Writes to the port never block, and the port's own waits
    // go on where a signal cut them short.
    action.sa_flags = 0;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

int stopSignal() { return g_stopSignal; }

int stopWakeFd() { return g_wake[0]; }

void endBySignal(int signal) {
    // The conventional end: the default action of the signal, so that a
    // shell sees 128+N and systemd takes a stop it asked for as clean.
    std::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    std::raise(signal);
    // Only if the signal was ignored after all (cppcheck takes raise() for
    // a call that never returns).
    // cppcheck-suppress unreachableCode
    _exit(128 + signal);
}
