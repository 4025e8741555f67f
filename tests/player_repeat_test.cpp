// The real program repeating a show (-r, -p) into a pseudo-terminal.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <thread>

#include "player_fixture.h"

namespace {

TEST_F(Player, RepeatedShowArrivesWholeEveryPass) {
    VirtualSerial device(kFirstDevice);
    const Show show = numberedShow(5, 10, 20);
    writeShow("show.txt", show.file);
    std::string expected;
    for (int pass = 0; pass < 3; ++pass) {
        expected += show.expected;
    }
    RunResult result =
        run({"-b", "115200", "-f", "show.txt", "-d", "0", "-r", "3"}, &device, expected.size());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.received(), expected);
}

TEST_F(Player, PeriodPutsEachPassOnItsBoundary) {
    // Three passes 400 ms apart: pass k's first cue no sooner than k x 400
    // ms after the player started (the clock counts whole milliseconds). The
    // first cue's own arrival is no reference: a slow first write (under
    // emulation, say) delays it; the show clock's exact moments are checked
    // on a scripted clock.
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:A\n64:B\n");
    RunResult result =
        run({"-p", "400", "-r", "3", "-b", "115200", "-f", "show.txt", "-d", "0"}, &device, 12);
    EXPECT_EQ(result.status, 0);
    ASSERT_EQ(result.received(), "A\nB\nA\nB\nA\nB\n");
    EXPECT_GE(arrivalOf(result, 4) - result.startNanos, 399 * kMs);
    EXPECT_GE(arrivalOf(result, 8) - result.startNanos, 799 * kMs);
    EXPECT_GE(arrivalOf(result, 10) - result.startNanos, 899 * kMs);
}

TEST_F(Player, SettingsThatCannotBeReadAreRefusedAtOnce) {
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:ON\n");
    RunResult count = run({"-d", "60000", "-b", "9600", "-f", "show.txt", "-r", "3x"}, &device);
    EXPECT_EQ(count.out, "repeat count invalid\n");
    EXPECT_EQ(count.status, 1);
    RunResult period = run({"-d", "60000", "-b", "9600", "-f", "show.txt", "-p", "0"}, &device);
    EXPECT_EQ(period.out, "period invalid\n");
    EXPECT_EQ(period.status, 1);
    EXPECT_EQ(count.received() + period.received(), "");
    EXPECT_LT(period.endNanos - count.startNanos, 30000 * kMs);
}

TEST_F(Player, FifoCannotBeRepeatedAndIsRefusedBeforeAnythingPlays) {
    VirtualSerial device(kFirstDevice);
    const std::string path = kUploadDir + "fifo";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    for (const char* count : {"0", "2"}) {
        RunResult result = run({"-b", "9600", "-f", "fifo", "-d", "0", "-r", count}, &device);
        EXPECT_EQ(result.out, "couldn't repeat file " + path +
                                  ": it cannot be read again from its beginning\n");
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.received(), "");
    }
}

TEST_F(Player, EndlessLoopRunsUntilStoppedInConstantMemory) {
    // A one-cue show played back to back without end: many passes, whole
    // cues only, stopped by SIGTERM; the memory it holds after its first
    // pass is all it ever holds.
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:pass\n");
    RunOptions endless;
    endless.sampleAnonymousMemory = true;
    std::size_t passes = 0;
    endless.onReceived = [&passes](const Arrival&, std::size_t received) { passes = received / 5; };
    std::thread sender;
    endless.onStarted = [&sender](int pid) {
        sender = std::thread([pid] {
            std::this_thread::sleep_for(std::chrono::milliseconds(3000));
            kill(pid, SIGTERM);
        });
    };
    RunResult looped =
        runWith({"-b", "115200", "-f", "show.txt", "-d", "0", "-r", "0"}, &device, endless);
    sender.join();
    EXPECT_EQ(looped.out, "");
    EXPECT_GT(passes, 1000U);
    const std::string received = looped.received();
    EXPECT_EQ(received.size() % 5, 0U);
    EXPECT_EQ(received.substr(0, 10), "pass\npass\n");
    const std::vector<long>& kib = looped.anonymousKiB;
    ASSERT_GE(kib.size(), 10U);
    const long most = *std::max_element(kib.begin(), kib.end());
    EXPECT_LT(most - kib.front(), 64) << "at the first pass: " << kib.front() << " KiB, at most "
                                      << most << " KiB in " << passes << " passes";
}

TEST_F(Player, LateStartJoinsTheLoopOnItsNextBoundary) {
    // A loop of 2-second passes began 1.2 s before now: the player joins at
    // the pass that starts 2 s after the loop's start, never earlier, and
    // plays the passes left of four.
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:J\n");
    const std::int64_t began = wallNanos() - 1200 * kMs;
    char moment[40];
    std::snprintf(moment, sizeof moment, "@%lld.%09lld", static_cast<long long>(began / 1000000000),
                  static_cast<long long>(began % 1000000000));
    RunResult result =
        run({"-b", "115200", "-f", "show.txt", "-r", "4", "-p", "2000", "-t", moment}, &device, 6);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 0);
    ASSERT_EQ(result.received().size() % 2, 0U);
    const std::size_t passes = result.received().size() / 2;
    // Under emulation the player may start late enough to join one later.
    EXPECT_TRUE(passes == 3 || (passes == 2 && !emulator().empty())) << passes;
    const std::int64_t joined = began + static_cast<std::int64_t>(4 - passes) * 2000 * kMs;
    std::int64_t toWall = INT64_MIN;
    for (int i = 0; i < 5; ++i) {
        toWall = std::max(toWall, wallNanos() - monotonicNanos());
    }
    EXPECT_GE(arrivalOf(result, 0) + toWall, joined);
    EXPECT_LT(arrivalOf(result, 0) + toWall, joined + 1000 * kMs);
}

}  // namespace
