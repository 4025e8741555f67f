#include "virtual_serial.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>

std::int64_t monotonicNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::int64_t wallNanos() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

long anonymousMemoryKiB(int pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/smaps_rollup";
    std::FILE* rollup = std::fopen(path.c_str(), "r");
    if (rollup == nullptr) {
        return -1;
    }
    long kib = -1;
    char line[256];
    while (kib < 0 && std::fgets(line, sizeof line, rollup) != nullptr) {
        std::sscanf(line, "Anonymous: %ld kB", &kib);
    }
    std::fclose(rollup);
    return kib;
}

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void closeQuietly(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

}  // namespace

VirtualSerial::VirtualSerial(std::string linkPath) : linkPath_(std::move(linkPath)) {
    controller_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (controller_ < 0 || grantpt(controller_) != 0 || unlockpt(controller_) != 0) {
        fail("pseudo-terminal");
    }
    const char* deviceName = ptsname(controller_);
    if (deviceName == nullptr) {
        fail("ptsname");
    }
    // Holding the device side open keeps the pseudo-terminal alive when the
    // player closes it, so bytes still in flight can be read afterwards.
    deviceKeepAlive_ = open(deviceName, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (deviceKeepAlive_ < 0) {
        fail(deviceName);
    }
    unlink(linkPath_.c_str());
    if (symlink(deviceName, linkPath_.c_str()) != 0) {
        fail("symlink " + linkPath_);
    }
}

VirtualSerial::~VirtualSerial() {
    unlink(linkPath_.c_str());
    closeQuietly(controller_);
    closeQuietly(deviceKeepAlive_);
}

void VirtualSerial::unplug() { closeQuietly(controller_); }

bool VirtualSerial::waitUntilQueuedForDevice(int count) const {
    for (int i = 0; i < 10000; ++i) {
        int queued = 0;
        if (ioctl(deviceKeepAlive_, FIONREAD, &queued) == 0 && queued >= count) {
            return true;
        }
        usleep(1000);
    }
    return false;
}

std::string RunResult::received() const {
    std::string all;
    for (const Arrival& arrival : arrivals) {
        all += arrival.bytes;
    }
    return all;
}

namespace {

pid_t spawn(const std::vector<std::string>& argv, const RunOptions& options, int outPipe[2],
            int errPipe[2]) {
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        fail("pipe");
    }
    std::vector<char*> args;
    for (const std::string& word : argv) {
        args.push_back(const_cast<char*>(word.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    const int runAsId = options.runAsId;
    if (runAsId == -1) {
        // posix_spawn starts the program without copying this process.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (options.stdinFrom >= 0) {
            posix_spawn_file_actions_adddup2(&actions, options.stdinFrom, STDIN_FILENO);
        }
        if (options.closeStdout) {
            posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
        } else {
            posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
        }
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
        const int failed = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0) {
            errno = failed;
            fail(std::string("spawn ") + args[0]);
        }
    } else {
        pid = fork();
        if (pid < 0) {
            fail("fork");
        }
        if (pid == 0) {
            if (options.stdinFrom >= 0) {
                dup2(options.stdinFrom, STDIN_FILENO);
            }
            if (options.closeStdout) {
                close(STDOUT_FILENO);
            } else {
                dup2(outPipe[1], STDOUT_FILENO);
            }
            dup2(errPipe[1], STDERR_FILENO);
            if (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(runAsId)) != 0 ||
                setuid(static_cast<uid_t>(runAsId)) != 0) {
                _exit(126);
            }
            execvp(args[0], args.data());
            _exit(127);
        }
    }
    close(outPipe[1]);
    close(errPipe[1]);
    return pid;
}

// Appends what can be read now from `fd` to `text`; false at its end.
bool drainPipe(int fd, std::string& text) {
    char chunk[4096];
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got > 0) {
        text.append(chunk, static_cast<std::size_t>(got));
        return true;
    }
    return got < 0 && errno == EINTR;
}

}  // namespace

RunResult runAgainst(const std::vector<std::string>& argv, VirtualSerial* device,
                     const RunOptions& options) {
    RunResult result;
    int outPipe[2];
    int errPipe[2];
    result.startNanos = monotonicNanos();
    std::vector<std::string> words;
    char peakFile[] = "/tmp/orv-peak-rss-XXXXXX";
    if (options.measureMemory) {
        // The go-between is a program of the same build: it needs the
        // launcher too.
        close(mkstemp(peakFile));
        words = options.launcher;
        words.insert(words.end(), {ORV_PEAK_RSS, peakFile});
    }
    words.insert(words.end(), options.launcher.begin(), options.launcher.end());
    words.insert(words.end(), argv.begin(), argv.end());
    pid_t pid = spawn(words, options, outPipe, errPipe);
    if (options.onStarted) {
        options.onStarted(pid);
    }
    int outFd = outPipe[0];
    int errFd = errPipe[0];
    std::size_t receivedBytes = 0;
    std::int64_t exitedAt = 0;
    std::int64_t sampledAt = 0;
    std::vector<char> chunk(options.readChunk);

    for (;;) {
        int controller = device != nullptr ? device->controller() : -1;
        if (receivedBytes >= options.stopReadingAfter) {
            controller = -1;
        }
        if (exitedAt == 0) {
            int status = 0;
            if (outFd < 0 && errFd < 0 && waitpid(pid, &status, 0) == pid) {
                result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
                exitedAt = monotonicNanos();
                result.endNanos = exitedAt;
            }
        }
        if (exitedAt != 0) {
            // The player is gone; collect bytes still on their way.
            bool waitedEnough = monotonicNanos() - exitedAt > 5'000'000'000LL;
            bool haveAll = receivedBytes >= options.expectBytes;
            if (controller < 0 || haveAll || waitedEnough) {
                break;
            }
        }

        pollfd fds[3] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {controller, POLLIN, 0}};
        if (poll(fds, 3, exitedAt != 0 ? 50 : 1000) < 0 && errno != EINTR) {
            fail("poll");
        }
        if (fds[0].revents != 0 && !drainPipe(outFd, result.out)) {
            closeQuietly(outFd);
        }
        if (fds[1].revents != 0 && !drainPipe(errFd, result.err)) {
            closeQuietly(errFd);
        }
        if (controller >= 0 && (fds[2].revents & POLLIN) != 0) {
            // Before the read: a player that drains its port before it ends
            // is still there.
            if (options.sampleAnonymousMemory && exitedAt == 0 &&
                monotonicNanos() - sampledAt >= 10'000'000) {
                sampledAt = monotonicNanos();
                const long kib = anonymousMemoryKiB(pid);
                if (kib >= 0) {
                    result.anonymousKiB.push_back(kib);
                }
            }
            ssize_t got = read(controller, chunk.data(), chunk.size());
            if (got > 0) {
                result.arrivals.push_back(
                    {monotonicNanos(), std::string(chunk.data(), static_cast<std::size_t>(got))});
                receivedBytes += static_cast<std::size_t>(got);
                if (options.onReceived) {
                    options.onReceived(result.arrivals.back(), receivedBytes);
                }
                if (options.pauseMicrosAfterRead > 0) {
                    usleep(static_cast<useconds_t>(options.pauseMicrosAfterRead));
                }
            }
        }
    }
    if (options.measureMemory) {
        std::FILE* peak = std::fopen(peakFile, "r");
        if (peak == nullptr || std::fscanf(peak, "%ld", &result.maxResidentKiB) != 1) {
            result.maxResidentKiB = -1;
        }
        if (peak != nullptr) {
            std::fclose(peak);
        }
        unlink(peakFile);
    }
    return result;
}
