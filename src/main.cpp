// orvplayer: plays a cue file to a serial device, each cue at its moment.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "board/board.h"
#include "command_line.h"

namespace {

// Started with standard input, output or error closed (`orvplayer ... >&-`),
// the port or the cue file would get that descriptor, and the messages
// would go into the device. Each closed one is opened on /dev/null first.
void keepStandardDescriptorsOpen() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The lowest free descriptor: this very one.
            open("/dev/null", O_RDWR);
        }
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    keepStandardDescriptorsOpen();
    // A message to a reader that went away is lost rather than fatal: the
    // run still ends through its own exit, which lets go of the port.
    std::signal(SIGPIPE, SIG_IGN);
    catchStopSignals();
    wiringPiSetup();
    serviceAlive();  // started afresh after a wait for the device: alive at once
    return runCommandLine(argc, argv);
}
