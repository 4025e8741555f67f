// The real program started by triggers (-w): lines on its standard input
// from a pipe, a pseudo-terminal as the device.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "input_pipe.h"
#include "player_fixture.h"

namespace {

const std::vector<std::string> kTriggered = {"-b", "115200", "-f", "show.txt", "-d",
                                             "0",  "-w",     "-",  "-r",       "0"};

// Time for the player to start and reach its wait for a trigger: a trigger
// that comes before is not played.
std::chrono::milliseconds startTime() {
    return std::chrono::milliseconds(emulator().empty() ? 500 : 4000);
}

// What a line that no GPIO chip has is refused for: "no such line", unless
// some GPIO chip here may not be opened (the line might be on it).
std::string missingLineReason() {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/dev", error)) {
        const std::string name = entry.path().filename();
        if (name.rfind("gpiochip", 0) == 0 && access(entry.path().c_str(), R_OK | W_OK) != 0) {
            return "no permission";
        }
    }
    return "no such line";
}

// Sends SIGTERM to the player `ms` milliseconds after it started.
std::function<void(int)> stopAfter(int ms, std::thread* sender) {
    return [ms, sender](int pid) {
        *sender = std::thread([ms, pid] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            kill(pid, SIGTERM);
        });
    };
}

TEST_F(Player, EachLineOfInputPlaysAPassAndTheEndOfInputEndsTheShow) {
    // Each trigger comes once the pass before it has arrived, and then
    // some: every one starts a pass. The end of input ends the run, status 0.
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:GO\n32:DONE\n");
    Input input;
    RunOptions options;
    options.stdinFrom = input.read;
    options.expectBytes = 3 * 8;
    std::int64_t firstPress = 0;
    std::thread first([&input, &firstPress] {
        std::this_thread::sleep_for(startTime());
        firstPress = monotonicNanos();
        input.line("press\n");
    });
    int passes = 1;
    options.onReceived = [&](const Arrival&, std::size_t received) {
        if (received == static_cast<std::size_t>(passes) * 8) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (passes++ < 3) {
                input.line("press\n");
            } else {
                input.end();
            }
        }
    };
    RunResult result = runWith(kTriggered, &device, options);
    first.join();
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.received(), "GO\nDONE\nGO\nDONE\nGO\nDONE\n");
    // Each pass counts from its trigger: DONE 50 ms after it (the trigger's
    // own cue may be late, under emulation say: it is no reference).
    EXPECT_GE(arrivalOf(result, 3) - firstPress, 49 * kMs);
}

TEST_F(Player, TriggersBeforeTheWaitOrDuringAPassAreIgnored) {
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:GO\n1f4:DONE\n");
    Input input;
    // Waiting already when the player starts: nobody waited for it yet, and
    // it is not played later.
    input.line("before anybody waited\n");
    RunOptions options;
    options.stdinFrom = input.read;
    options.expectBytes = 8;
    // Nothing plays before the first trigger.
    std::thread presser([&input] {
        std::this_thread::sleep_for(startTime());
        input.line("go\n");
    });
    options.onReceived = [&input](const Arrival& latest, std::size_t) {
        if (latest.bytes == "GO\n") {  // presses while the pass plays
            input.line("again\nand again\n");
        } else {
            input.end();
        }
    };
    RunResult result = runWith(kTriggered, &device, options);
    presser.join();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.received(), "GO\nDONE\n");
    EXPECT_GE(arrivalOf(result, 0) - result.startNanos, startTime().count() * kMs);
}

TEST_F(Player, InputThatNeverStopsComingNeitherHoldsUpCuesNorStops) {
    // Standard input flooded: lines as fast as a pipe takes them (as from
    // `yes`, ended by line feeds or by carriage returns), or bytes without a
    // line end (/dev/zero). Each look reads a bounded share of it: every
    // pass's second cue still comes 100 ms after the pass began, and SIGTERM
    // still ends the run at once.
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:A\n64:B\n");
    // Late by this much in the median at most (a flood shares the cores
    // with the player), and never by half a second natively.
    const std::int64_t medianLate = (emulator().empty() ? 30 : 400) * kMs;
    const std::int64_t mostLate = (emulator().empty() ? 500 : 3000) * kMs;
    const std::string zeros(4096, '\0');
    std::string feeds;
    std::string returns;
    while (feeds.size() < 4096) {
        feeds += "y\n";
        returns += "y\r";
    }
    for (const std::string& bytes : {feeds, returns, zeros}) {
        Input input;
        std::atomic<bool> flooding{true};
        // Never blocked: it must see `flooding` end once the player has.
        fcntl(input.write, F_SETFL, O_NONBLOCK);
        std::thread writer([&] {
            while (flooding) {
                if (::write(input.write, bytes.data(), bytes.size()) < 0) {
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
            }
        });
        RunOptions options;
        options.stdinFrom = input.read;
        std::thread sender;
        options.onStarted = stopAfter(1500, &sender);
        RunResult result = runWith(kTriggered, &device, options);
        sender.join();
        flooding = false;
        input.end();
        writer.join();
        const std::string kind = bytes == zeros ? "zeros" : bytes == feeds ? "feeds" : "returns";
        EXPECT_EQ(result.signal, SIGTERM) << kind;
        EXPECT_LT(result.endNanos - result.startNanos, 4500 * kMs) << kind;
        const std::string received = result.received();
        if (bytes == zeros) {
            EXPECT_EQ(received, "");  // no line end: no trigger
            continue;
        }
        ASSERT_GE(received.size(), 4U) << kind << ": no pass played";
        std::vector<std::int64_t> gaps;
        for (std::size_t a = 0; a + 4 <= received.size(); a += 4) {
            ASSERT_EQ(received.substr(a, 4), "A\nB\n") << kind;
            // Counted from A's arrival, which may itself be late: B may
            // come sooner after it, never much later.
            gaps.push_back(arrivalOf(result, a + 2) - arrivalOf(result, a));
            EXPECT_LE(gaps.back(), 100 * kMs + mostLate) << kind << ", pass " << a / 4;
        }
        std::sort(gaps.begin(), gaps.end());
        EXPECT_LE(gaps[gaps.size() / 2], 100 * kMs + medianLate) << kind;
    }
}

TEST_F(Player, CarriageReturnAndLineFeedEndOneLine) {
    // A line ended by CR LF whose LF comes only after its pass: one trigger,
    // one pass, not a second pass for the LF.
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:GO\n");
    Input input;
    RunOptions options;
    options.stdinFrom = input.read;
    std::thread presser([&input] {
        std::this_thread::sleep_for(startTime());
        input.line("press\r");
    });
    options.onReceived = [&input](const Arrival&, std::size_t) {
        input.line("\n");
        std::this_thread::sleep_for(startTime());
        input.end();
    };
    RunResult result = runWith(kTriggered, &device, options);
    presser.join();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.received(), "GO\n");
}

TEST_F(Player, WaitingForATriggerStillWatchesTheDeviceAndStops) {
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:GO\n");
    {
        Input input;
        RunOptions options;
        options.stdinFrom = input.read;
        std::thread sender;
        options.onStarted = stopAfter(1000, &sender);
        RunResult stopped = runWith(kTriggered, &device, options);
        sender.join();
        EXPECT_EQ(stopped.signal, SIGTERM);
        EXPECT_LT(stopped.endNanos - stopped.startNanos, 6000 * kMs);
    }
    Input input;
    RunOptions options;
    options.stdinFrom = input.read;
    std::thread unplugger;
    options.onStarted = [&unplugger, &device](int) {
        unplugger = std::thread([&device] {
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            device.unplug();
        });
    };
    RunResult unplugged = runWith(kTriggered, &device, options);
    unplugger.join();
    EXPECT_EQ(unplugged.out, "couldn't write to serial\n");
    EXPECT_EQ(unplugged.status, 1);
    EXPECT_LT(unplugged.endNanos - unplugged.startNanos, 6000 * kMs);
}

TEST_F(Player, TriggerSourcesThatCannotBeUsedAreRefusedAtOnce) {
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:GO\n");
    const std::pair<const char*, std::string> refused[] = {
        {"button", "trigger invalid\n"},
        {"", "trigger invalid\n"},
        {"gpio:", "trigger invalid\n"},
        {"gpio:GPIO17,sideways", "trigger invalid\n"},
        {"gpio:gpiochip0:x", "trigger invalid\n"},
        {"gpio:GPIO17,debounce=", "trigger invalid\n"},
        // No GPIO chip has such a line (here, none has any).
        {"gpio:NO_SUCH_LINE,falling,pull-up,debounce=5",
         "couldn't open trigger gpio:NO_SUCH_LINE,falling,pull-up,debounce=5: " +
             missingLineReason() + "\n"},
    };
    for (const auto& [source, message] : refused) {
        RunResult result = run({"-b", "9600", "-f", "show.txt", "-w", source, "-f", "x"}, &device);
        EXPECT_EQ(result.out, message) << source;
        EXPECT_EQ(result.status, 1) << source;
        EXPECT_EQ(result.received(), "") << source;
    }
}

}  // namespace
