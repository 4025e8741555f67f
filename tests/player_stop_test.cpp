// The real program stopped by a signal, and the ways a run ends with the
// port already open: whole cues only, and the port left usable.
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "player_fixture.h"

namespace {

const std::vector<std::string> kPlay = {"-b", "115200", "-f", "show.txt", "-d", "0"};

// Sends `signal` to the player `ms` milliseconds after it started.
std::function<void(int)> signalAfter(int signal, int ms, std::thread* sender) {
    return [signal, ms, sender](int pid) {
        *sender = std::thread([signal, ms, pid] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            kill(pid, signal);
        });
    };
}

// What is still on its way to the device after the player ended: read
// until nothing more came for half a second.
std::string restOf(VirtualSerial& device) {
    std::string rest;
    char chunk[4096];
    pollfd readable{device.controller(), POLLIN, 0};
    while (poll(&readable, 1, 500) == 1) {
        const ssize_t got = read(device.controller(), chunk, sizeof chunk);
        if (got <= 0) {
            break;
        }
        rest.append(chunk, static_cast<std::size_t>(got));
    }
    return rest;
}

TEST_F(Player, StopWithThePortFullFinishesTheCueAndEndsByTheSignal) {
    // 2,000 cues of 100 bytes due at once, far more than the pseudo-terminal
    // holds, and a device that reads nothing for a while after its first
    // bytes: the stop comes while a cue is half written. A device that reads
    // again within the stop's drain bound ends up with whole cues only; one
    // that does not still sees the run end by the signal within the bound,
    // never as a failed write after the stall bound.
    VirtualSerial device(kFirstDevice);
    const Show show = numberedShow(2000, 0, 100);
    writeShow("show.txt", show.file);
    struct Case {
        int signal;
        int pauseMs;
        bool wholeCues;
    };
    // pauseMs 0: the device never reads again after its first bytes.
    for (const Case& c : {Case{SIGTERM, 1500, true}, Case{SIGINT, 1500, true},
                          Case{SIGHUP, 1500, true}, Case{SIGTERM, 0, false}}) {
        std::thread sender;
        RunOptions options;
        options.onStarted = signalAfter(c.signal, 1000, &sender);
        bool paused = false;
        options.onReceived = [&paused, &c](const Arrival&, std::size_t) {
            if (!paused) {
                paused = true;
                usleep(static_cast<useconds_t>(c.pauseMs) * 1000);
            }
        };
        if (c.pauseMs == 0) {
            options.stopReadingAfter = 1;
        }
        RunResult result = runWith(kPlay, &device, options);
        sender.join();
        EXPECT_EQ(result.signal, c.signal) << c.pauseMs;
        EXPECT_EQ(result.out, "") << c.pauseMs;
        const std::string received = result.received() + restOf(device);
        EXPECT_TRUE(isPrefixOf(received, show.expected)) << c.signal;
        EXPECT_LT(received.size(), show.expected.size()) << c.signal;
        if (c.wholeCues) {
            EXPECT_EQ(received.size() % 101, 0U)
                << "a cue cut short: " << received.size() << " bytes";
        } else {
            // The signal at 1 s, then at most the 2-s drain bound, twice
            // over at worst (the write's, then the close's).
            EXPECT_LT(result.endNanos - result.startNanos, 6000 * kMs);
        }
    }
}

TEST_F(Player, StopWhileWaitingEndsTheRunAtOnce) {
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:first\n7530:second\n");
    const std::string inAnHour = "@" + std::to_string(wallNanos() / 1000000000 + 3600);
    const std::vector<std::vector<std::string>> waits = {
        kPlay,                                               // for a cue
        {"-b", "115200", "-f", "show.txt", "-d", "60000"},   // in -d
        {"-b", "115200", "-f", "show.txt", "-t", inAnHour},  // for -t
        {"-b", "115200", "-f", "fifo", "-d", "0"},           // in a read of the file
    };
    // A FIFO whose writer wrote one cue and then nothing: the player's read
    // of the next line waits in the kernel when the signal comes.
    ASSERT_EQ(mkfifo((kUploadDir + "fifo").c_str(), 0600), 0);
    int writer = open((kUploadDir + "fifo").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(write(writer, "0:first\n", 8), 8);
    for (const std::vector<std::string>& words : waits) {
        std::thread sender;
        std::atomic<bool> ended{false};
        RunOptions options;
        options.onStarted = [&sender, &ended, &writer](int pid) {
            sender = std::thread([&ended, &writer, pid] {
                std::this_thread::sleep_for(std::chrono::milliseconds(1000));
                kill(pid, SIGTERM);
                // A player still held up after the bound is let go by the
                // end of the FIFO, so that the test fails rather than hangs.
                for (int ms = 0; ms < 6000 && !ended; ms += 10) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                if (!ended) {
                    close(writer);
                    writer = -1;
                }
            });
        };
        RunResult result = runWith(words, &device, options);
        ended = true;
        sender.join();
        EXPECT_EQ(result.signal, SIGTERM) << words[3] << " " << words[5];
        EXPECT_EQ(result.out, "");
        EXPECT_LT(result.endNanos - result.startNanos, 6000 * kMs) << words[3] << " " << words[5];
        EXPECT_EQ(result.received(), words[5] == "0" ? "first\n" : "") << words[5];
    }
    if (writer >= 0) {
        close(writer);
    }
}

// Whether the device is in exclusive mode, asked on a descriptor of our own;
// false where that cannot be asked (qemu does not pass TIOCGEXCL on).
bool isExclusive(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return true;  // as a normal user: refused because it is
    }
    int exclusive = 0;
    const bool asked = ioctl(fd, TIOCGEXCL, &exclusive) == 0;
    close(fd);
    return asked && exclusive != 0;
}

TEST_F(Player, EveryEndLeavesThePortUsableForTheNextProgram) {
    // The device side stays open between runs (as another program holding
    // the port would keep it): exclusive mode set by a run that failed
    // after opening the port would outlast it and keep every unprivileged
    // program out, the next player included.
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:ON\n7530:later\n");
    const std::vector<std::vector<std::string>> runs = {
        {"-b", "9600", "-d", "0", "-f", "missing"},              // could not open file
        {"-b", "9600", "-f", "show.txt"},                        // no delay
        {"-b", "9600", "-f", "show.txt", "-t", "soon"},          // start time invalid
        {"-b", "9600", "-f", "show.txt", "-t", "@0"},            // start time has passed
        {"-b", "9600", "-f", "show.txt", "-d", "0", "-r", "x"},  // refused before opening
    };
    for (const std::vector<std::string>& words : runs) {
        RunResult result = run(words, &device);
        EXPECT_EQ(result.status, 1);
        EXPECT_FALSE(isExclusive(kFirstDevice)) << "after " << result.out;
    }
    // A stop, and the signals that end the process without one (SIGQUIT,
    // which dumps core, natively only: an emulator says so on standard
    // error).
    std::vector<int> signals = {SIGTERM, SIGUSR1, SIGALRM};
    if (emulator().empty()) {
        signals.push_back(SIGQUIT);
    }
    for (const int signal : signals) {
        std::thread sender;
        RunOptions options;
        options.onStarted = signalAfter(signal, 1000, &sender);
        RunResult stopped = runWith(kPlay, &device, options);
        sender.join();
        EXPECT_EQ(stopped.signal, signal);
        EXPECT_FALSE(isExclusive(kFirstDevice)) << "after signal " << signal;
    }
}

TEST_F(Player, MessagesNeverGoIntoTheDeviceWithStandardOutputClosed) {
    // The port (or another descriptor of the player's) would take
    // descriptor 1, and the messages with it: it must be /dev/null.
    VirtualSerial device(kFirstDevice);
    RunOptions closed;
    closed.closeStdout = true;
    std::string standardOutput;
    std::thread looker;
    closed.onStarted = [&](int pid) {
        looker = std::thread([&standardOutput, pid] {
            std::this_thread::sleep_for(std::chrono::milliseconds(emulator().empty() ? 300 : 3000));
            char target[256] = {};
            const std::string link = "/proc/" + std::to_string(pid) + "/fd/1";
            if (readlink(link.c_str(), target, sizeof target - 1) > 0) {
                standardOutput = target;
            }
        });
    };
    RunResult result =
        runWith({"-b", "9600", "-d", emulator().empty() ? "1000" : "6000", "-f", "missing"},
                &device, closed);
    looker.join();
    EXPECT_EQ(standardOutput, "/dev/null");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.received(), "");
}

}  // namespace
