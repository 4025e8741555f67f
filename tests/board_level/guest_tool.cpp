// The board-level test's helper inside the emulated board. It plays the USB
// device at the far end of /dev/ttyACM0 (the gadget side, /dev/ttyGS0), plugs
// and unplugs that device, and runs the player with its output captured.
// Everything it reports goes to standard output on lines starting with "@@",
// which the host side of the test reads off the console.
//
//   orv-board-guest device --expect FILE [--stop-after N] [--pause-after N
//                   --pause-ms MS] [--answer TEXT] [--idle-ms MS]
//   orv-board-guest acm connect|disconnect [--after-ms MS]
//   orv-board-guest run [--signal-after MS] PROGRAM ARGS...
//   orv-board-guest hold-gpio CHIP OFFSET MS
//   orv-board-guest record-clicks | pty-arrivals | rate-shift | trigger-lines ...
//                   (see guest_sound.cpp)
#include <fcntl.h>
#include <linux/gpio.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>

namespace {

const char kGadgetTty[] = "/dev/ttyGS0";
// Made once the device end of the gadget is raw (see the board test's play).
const char kDeviceReady[] = "/tmp/orv-device-ready";

std::int64_t nowNanos() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void sleepMs(long ms) {
    timespec t{ms / 1000, (ms % 1000) * 1000000};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out.empty() ? "-" : out;
}

// Writes all of `bytes` to the non-blocking `fd`; false when the far end
// has taken nothing for five seconds (a device stuck in its own print).
bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, 5000) <= 0) {
                return false;
            }
        } else if (!(n < 0 && errno == EINTR)) {
            return false;
        }
    }
    return true;
}

// The device: reads what the player sends and compares it with the show's
// bytes. It can stop reading for a while or for good, and answer each line.
int device(int argc, char** argv) {
    std::string expectPath;
    std::string answer;
    long stopAfter = -1;
    long pauseAfter = -1;
    long pauseMs = 0;
    long idleMs = 3000;
    for (int i = 0; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const char* value = argv[i + 1];
        if (option == "--expect") {
            expectPath = value;
        } else if (option == "--stop-after") {
            stopAfter = std::atol(value);
        } else if (option == "--pause-after") {
            pauseAfter = std::atol(value);
        } else if (option == "--pause-ms") {
            pauseMs = std::atol(value);
        } else if (option == "--answer") {
            answer = value;
        } else if (option == "--idle-ms") {
            idleMs = std::atol(value);
        }
    }
    std::ifstream expectFile(expectPath, std::ios::binary);
    const std::string expected((std::istreambuf_iterator<char>(expectFile)),
                               std::istreambuf_iterator<char>());

    const int fd = open(kGadgetTty, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        std::printf("@@DEVICE error=open\n");
        return 1;
    }
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);  // no echo: the device must not send back what it gets
    tcsetattr(fd, TCSANOW, &tio);
    std::printf("@@DEVICE ready\n");
    std::fflush(stdout);
    // The player starts once this is there: bytes that came before the line
    // was raw would have been changed by it (a carriage return made a line
    // feed, and echoed).
    close(open(kDeviceReady, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));

    std::string received;
    bool paused = false;
    char chunk[4096];
    for (;;) {
        if (stopAfter >= 0 && static_cast<long>(received.size()) >= stopAfter) {
            // Stops reading for good, with the port still open.
            sleepMs(idleMs);
            break;
        }
        if (!paused && pauseAfter >= 0 && static_cast<long>(received.size()) >= pauseAfter) {
            paused = true;
            sleepMs(pauseMs);
        }
        if (received.size() >= expected.size() && !expected.empty()) {
            break;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(idleMs)) <= 0) {
            break;  // nothing more came
        }
        std::size_t want = sizeof chunk;
        if (stopAfter >= 0) {
            want = std::min(want, static_cast<std::size_t>(stopAfter) - received.size());
        }
        if (!paused && pauseAfter >= 0) {
            want = std::min(want, static_cast<std::size_t>(pauseAfter) - received.size());
        }
        const ssize_t n = read(fd, chunk, want);
        if (n < 0 && errno == EAGAIN) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        for (ssize_t i = 0; i < n; ++i) {
            received += chunk[i];
            if (chunk[i] == '\n' && !answer.empty() && !writeAll(fd, answer)) {
                std::printf("@@DEVICE error=answer-stuck\n");
                answer.clear();  // stuck in its own print: it reads no more
                stopAfter = static_cast<long>(received.size());
            }
        }
    }
    const char* match = received == expected                                  ? "exact"
                        : expected.compare(0, received.size(), received) == 0 ? "prefix"
                                                                              : "differs";
    std::printf("@@DEVICE received=%zu expected=%zu match=%s\n", received.size(), expected.size(),
                match);
    close(fd);
    return 0;
}

bool exists(const char* path) { return access(path, F_OK) == 0; }

// Waits up to `ms` for /dev/ttyACM0 to appear (or go).
bool waitForAcm(bool present, long ms) {
    for (long waited = 0; waited < ms; waited += 50) {
        if (exists("/dev/ttyACM0") == present) {
            return true;
        }
        sleepMs(50);
    }
    return exists("/dev/ttyACM0") == present;
}

// Loads or removes the gadget driver: the host side sees the board plugged
// in or pulled out.
bool gadget(bool load) {
    const char* command = load ? "insmod /modules/g_serial.ko" : "rmmod g_serial";
    return std::system(command) == 0;
}

// Plugs or unplugs the gadget, as a person would the board's cable. A plug
// waits for the host side to find the board; under emulation enumeration
// now and then fails, and is tried again as a person would, by replugging.
int acm(int argc, char** argv) {
    if (argc < 1) {
        return 2;
    }
    const std::string what = argv[0];
    if (argc >= 3 && std::strcmp(argv[1], "--after-ms") == 0) {
        sleepMs(std::atol(argv[2]));
    }
    const std::int64_t at = nowNanos();
    const bool plug = what == "connect";
    bool ok = gadget(plug);
    const std::int64_t done = nowNanos();
    if (plug) {
        ok = waitForAcm(true, 5000);
        for (int retry = 0; retry < 2 && !ok; ++retry) {
            gadget(false);
            sleepMs(500);
            gadget(true);
            ok = waitForAcm(true, 5000);
        }
    }
    // Removing the driver takes a while under emulation; the board is gone
    // somewhere between `at` and `done`.
    std::printf("@@ACM %s at=%lld done=%lld ok=%d\n", what.c_str(), static_cast<long long>(at),
                static_cast<long long>(done), ok ? 1 : 0);
    return ok ? 0 : 1;
}

// Runs a program with its standard output and error captured, and prints
// them (hex) with its exit status and when it started and ended. With
// --signal-after MS, sends it SIGTERM that long after its start, as
// systemctl stop would.
int run(char** argv) {
    long signalAfterMs = -1;
    if (std::strcmp(argv[0], "--signal-after") == 0 && argv[1] != nullptr) {
        signalAfterMs = std::atol(argv[1]);
        argv += 2;
    }
    int out[2];
    int err[2];
    if (pipe(out) != 0 || pipe(err) != 0) {
        return 2;
    }
    const std::int64_t start = nowNanos();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        execv(argv[0], argv);
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    std::string text[2];
    pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    bool signalled = false;
    while (open > 0) {
        const std::int64_t left = signalAfterMs - (nowNanos() - start) / 1000000;
        if (signalAfterMs >= 0 && !signalled && left <= 0) {
            kill(pid, SIGTERM);
            signalled = true;
        }
        poll(p, 2, signalAfterMs >= 0 && !signalled ? static_cast<int>(left) : -1);
        for (int i = 0; i < 2; ++i) {
            if (p[i].fd >= 0 && (p[i].revents & (POLLIN | POLLHUP)) != 0) {
                char chunk[512];
                const ssize_t n = read(p[i].fd, chunk, sizeof chunk);
                if (n > 0) {
                    text[i].append(chunk, static_cast<std::size_t>(n));
                } else {
                    close(p[i].fd);
                    p[i].fd = -1;
                    --open;
                }
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const std::int64_t end = nowNanos();
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("@@RUN status=%d start=%lld end=%lld out=%s err=%s\n", code,
                static_cast<long long>(start), static_cast<long long>(end), hex(text[0]).c_str(),
                hex(text[1]).c_str());
    return 0;
}

// Holds line OFFSET of a GPIO chip (a device path) as an input for `ms`
// milliseconds, as another program using it would.
int holdGpio(int argc, char** argv) {
    if (argc < 3) {
        return 2;
    }
    const int chip = open(argv[0], O_RDWR | O_CLOEXEC);
    gpio_v2_line_request request{};
    request.offsets[0] = static_cast<std::uint32_t>(std::atol(argv[1]));
    request.num_lines = 1;
    std::strcpy(request.consumer, "holder");
    request.config.flags = GPIO_V2_LINE_FLAG_INPUT;
    if (chip < 0 || ioctl(chip, GPIO_V2_GET_LINE_IOCTL, &request) != 0) {
        std::printf("@@HOLD error=%d\n", errno);
        return 1;
    }
    std::printf("@@HOLD ready\n");
    std::fflush(stdout);
    sleepMs(std::atol(argv[2]));
    close(request.fd);
    close(chip);
    return 0;
}

}  // namespace

int recordClicks(int argc, char** argv);
int ptyArrivals(int argc, char** argv);
int rateShift(int argc, char** argv);
int triggerLines(int argc, char** argv);

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("@@USAGE device|acm|run\n");
        return 2;
    }
    const std::string command = argv[1];
    int status = 2;
    if (command == "device") {
        status = device(argc - 2, argv + 2);
    } else if (command == "acm") {
        status = acm(argc - 2, argv + 2);
    } else if (command == "run" && argc > 2) {
        status = run(argv + 2);
    } else if (command == "hold-gpio") {
        status = holdGpio(argc - 2, argv + 2);
    } else if (command == "record-clicks") {
        status = recordClicks(argc - 2, argv + 2);
    } else if (command == "pty-arrivals") {
        status = ptyArrivals(argc - 2, argv + 2);
    } else if (command == "rate-shift") {
        status = rateShift(argc - 2, argv + 2);
    } else if (command == "trigger-lines") {
        status = triggerLines(argc - 2, argv + 2);
    }
    std::fflush(stdout);
    return status;
}
