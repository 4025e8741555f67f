// The real program telling systemd its state and that it is alive, as a
// unit with Type=notify and WatchdogSec= hears it.
#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

#include "input_pipe.h"
#include "notify_listener.h"
#include "player_fixture.h"

namespace {

// A moment on the wall clock as the state line gives it: the local time
// of day.
std::string timeOfDay(std::time_t seconds) {
    std::tm at{};
    localtime_r(&seconds, &at);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &at);
    return text;
}

TEST_F(Player, TellsTheServiceManagerEachPassAndTheNextOnesTime) {
    VirtualSerial device(kFirstDevice);
    // A cue, then after 40 ms (time to tell the pass's state) a cue every
    // millisecond for 0.5 s: waits too short to sleep in, so that only the
    // look at the port after the writes tells the watchdog.
    Show show{"0:first\n", "first\n"};
    for (int i = 0; i < 500; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "%x:cue %d\n", 40 + i, i);
        show.file += line;
        show.expected += line + std::string(line).find(':') + 1;
    }
    writeShow("show.txt", show.file);
    // Whole seconds from the start moment S: pass 2 starts at S + 0.8 s,
    // pass 3 at S + 1.6 s (the nearest seconds, S + 1 and S + 2).
    const std::time_t start = std::time(nullptr) + 2;
    NotifyListener manager(400000);
    RunResult result = run({"-b", "115200", "-f", "show.txt", "-r", "3", "-p", "800", "-t",
                            "@" + std::to_string(start)},
                           &device, 3 * show.expected.size());
    manager.stop();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.received(), show.expected + show.expected + show.expected);
    const std::vector<std::string> expected = {
        "playing to " + kFirstDevice,
        "waiting for the start at " + timeOfDay(start),
        "pass 1 of 3, next at " + timeOfDay(start + 1),
        "pass 2 of 3, next at " + timeOfDay(start + 2),
        "pass 3 of 3",
    };
    EXPECT_EQ(manager.states(), expected);
    // The watchdog (0.4 s here) heard from the player within every
    // interval, through the wait for the start and the show (some 3.6 s).
    EXPECT_GE(manager.pings(), 6);
    EXPECT_LT(manager.longestSilenceNanos(), 400 * kMs);
}

TEST_F(Player, TellsWhatItWaitsForAndStaysAliveWhileItWaits) {
    VirtualSerial device(kSecondDevice);  // the first is not there
    writeShow("show.txt", "0:GO\n32:DONE\n");
    Input input;
    // The trigger comes 0.6 s after the player says it waits for one; the
    // input ends at the second wait (or after 10 s without it).
    std::atomic<bool> waiting{false};
    std::atomic<bool> waitingAgain{false};
    const auto until = [](const std::atomic<bool>& what) {
        for (int i = 0; i < 1000 && !what; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    };
    std::thread presser([&] {
        until(waiting);
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        input.line("go\n");
        until(waitingAgain);
        input.end();
    });
    NotifyListener manager(400000, [&waiting, &waitingAgain](const std::string& message) {
        waiting = waiting || message == "READY=1\nSTATUS=waiting for trigger -";
        waitingAgain = waitingAgain || message.find("played, waiting") != std::string::npos;
    });
    RunOptions options;
    options.stdinFrom = input.read;
    options.expectBytes = 8;
    RunResult result =
        runWith({"-b", "115200", "-f", "show.txt", "-r", "0", "-w", "-"}, &device, options);
    presser.join();
    manager.stop();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.received(), "GO\nDONE\n");
    const std::vector<std::string> expected = {
        "playing to " + kSecondDevice,
        "waiting for trigger -",
        "pass 1",
        "pass 1 played, waiting for trigger -",
    };
    EXPECT_EQ(manager.states(), expected);
    EXPECT_LT(manager.longestSilenceNanos(), 400 * kMs);
}

}  // namespace
