// The real program repeating a show (-r, -p) into a pseudo-terminal.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
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

TEST_F(Player, EndlessLoopOfAPassWithoutLengthIsRefusedAndAnEmptyOneEnds) {
    // Without a period or a trigger, the next pass starts at the moment of
    // the last cue: a show whose cues all fall at one moment would be
    // written as fast as the port takes it, for ever, and an empty one
    // would spin a core. The first is refused before anything plays, the
    // second plays nothing and ends.
    VirtualSerial device(kFirstDevice);
    const std::string refused = "couldn't repeat file " + kUploadDir +
                                "show.txt: its cues all fall at one moment, so it would loop "
                                "without pause (give a period with -p)\n";
    struct Case {
        const char* show;
        std::vector<std::string> words;
        std::string out;
        int status;
        const char* received;
    };
    const std::vector<std::string> endless = {"-b", "115200", "-f", "show.txt",
                                              "-d", "0",      "-r", "0"};
    std::vector<std::string> thrice = endless;
    thrice.back() = "3";
    const Case cases[] = {
        {"0:A\n", endless, refused, 1, ""},
        {"1f4:A\n1f4:B\n", endless, refused, 1, ""},
        {"", endless, "", 0, ""},
        {"no cue here\n", endless, "", 0, ""},
        {"0:A\n", thrice, "", 0, "A\nA\nA\n"},  // a count: back to back, as asked
    };
    for (const Case& c : cases) {
        writeShow("show.txt", c.show);
        RunResult result = run(c.words, &device, std::strlen(c.received));
        EXPECT_EQ(result.out, c.out) << c.show;
        EXPECT_EQ(result.status, c.status) << c.show;
        EXPECT_EQ(result.received(), c.received) << c.show;
    }
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
    // A one-cue show played back to back a hundred million times (without
    // end, a pass that takes no time is refused): many passes, whole cues
    // only, stopped by SIGTERM; the memory it holds after its first pass is
    // all it ever holds.
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
        runWith({"-b", "115200", "-f", "show.txt", "-d", "0", "-r", "100000000"}, &device, endless);
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
