// Days of triggers in minutes: 10,000 triggers on the player's standard
// input (-w -), each sent the moment the pass before it has arrived, each
// playing a short pass. Every trigger must play its pass (none is lost
// between passes), and the player's memory and open descriptors must not
// grow from the 100th pass to the last.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "bench.h"

namespace {

namespace fs = std::filesystem;

// A number from /proc/PID/status, such as VmRSS (KiB).
long statusField(int pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, field.size() + 1, field + ":") == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

long openDescriptors(int pid) {
    long count = 0;
    std::error_code error;
    for (const auto& entry :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        static_cast<void>(entry);
        ++count;
    }
    return count;
}

struct Sample {
    long rssKiB = -1;
    long descriptors = -1;
};

Sample sampleOf(int pid) { return {statusField(pid, "VmRSS"), openDescriptors(pid)}; }

}  // namespace

void triggerSoakScenario(const Options& options) {
    const std::size_t triggers = options.quick ? 1000 : 10000;
    std::printf("\nsoak: %zu triggers on standard input, each the moment the last pass arrived\n",
                triggers);
    const Show show = writeShow("soak.txt", {0, 1}, 8);
    VirtualSerial device(kDevice);
    int input[2];
    if (pipe2(input, O_CLOEXEC) != 0) {
        std::printf("  (no pipe)\n");
        return;
    }
    RunOptions run;
    run.stdinFrom = input[0];
    int pid = -1;
    std::size_t sent = 0;
    std::size_t passes = 0;
    Sample early;
    Sample late;
    std::atomic<bool> progress{true};
    const auto trigger = [&] { sent += write(input[1], "t\n", 2) == 2 ? 1U : 0U; };
    std::thread first;
    std::thread watchdog;
    std::atomic<bool> done{false};
    run.onStarted = [&](int started) {
        pid = started;
        first = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            trigger();
        });
        // A lost trigger would leave the player waiting for ever: no pass
        // for five seconds ends it.
        watchdog = std::thread([&] {
            for (int tenths = 0; !done; ++tenths) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                if (tenths % 50 == 49 && !progress.exchange(false)) {
                    kill(pid, SIGTERM);
                    return;
                }
            }
        });
    };
    run.onReceived = [&](const Arrival&, std::size_t received) {
        progress = true;
        if (received < (passes + 1) * show.bytes) {
            return;
        }
        ++passes;
        if (passes == 100) {
            early = sampleOf(pid);
        }
        if (passes < triggers) {
            trigger();
        } else {
            late = sampleOf(pid);
            close(input[1]);  // the end of input ends the show
            input[1] = -1;
        }
    };
    const auto began = std::chrono::steady_clock::now();
    const RunResult result = runAgainst(
        {kPlayer, "-b", "115200", "-f", show.name, "-d", "0", "-w", "-", "-r", "0"}, &device, run);
    done = true;
    first.join();
    watchdog.join();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    close(input[0]);
    if (input[1] >= 0) {
        close(input[1]);
    }
    report("soak", "triggers sent", static_cast<double>(sent));
    report("soak", "passes played", static_cast<double>(passes));
    report("soak", "exit status (0: input ended)", result.status);
    report("soak", "resident KiB at pass 100", static_cast<double>(early.rssKiB));
    report("soak", "resident KiB at the last", static_cast<double>(late.rssKiB));
    report("soak", "descriptors at pass 100", static_cast<double>(early.descriptors));
    report("soak", "descriptors at the last", static_cast<double>(late.descriptors));
    report("soak", "seconds", took.count());
    fs::remove(kUploadDir + show.name);
}
