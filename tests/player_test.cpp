// The real program end to end: command line, messages, exit status and the
// bytes that reach a pseudo-terminal standing in for the serial device.
#include <poll.h>

#include <chrono>
#include <climits>
#include <thread>

#include "player_fixture.h"

namespace {

TEST_F(Player, NoArgumentsPrintsEveryUsageInOrder) {
    RunResult result = run({});
    EXPECT_EQ(result.out, kNoFilename + kNoBaud + kNoDelay);
    EXPECT_EQ(result.status, 1);
}

TEST_F(Player, EachMissingOptionIsReportedAndNothingPlays) {
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:ON\n");

    RunResult noDelay = run({"-b", "9600", "-f", "show.txt"}, &device);
    EXPECT_EQ(noDelay.out, kNoDelay);
    EXPECT_EQ(noDelay.status, 1);
    EXPECT_EQ(noDelay.received(), "");

    // An option that is the last word has no value: it counts as not given.
    RunResult baudLast = run({"-f", "show.txt", "-d", "0", "-b"}, &device);
    EXPECT_EQ(baudLast.out, kNoBaud);
    EXPECT_EQ(baudLast.status, 1);

    RunResult strayWords = run({"play", "-b", "9600", "now", "-d", "0", "-x"}, &device);
    EXPECT_EQ(strayWords.out, kNoFilename);
    EXPECT_EQ(strayWords.status, 1);

    RunResult fileOnly = run({"-f", "show.txt"}, &device);
    EXPECT_EQ(fileOnly.out, kNoBaud + kNoDelay);
    EXPECT_EQ(fileOnly.received(), "");

    // Words that only begin like an option are not one, and neither are
    // their values: no invalid rate, no file to open, no delay given.
    RunResult lookalikes =
        run({"-bogus", "0", "-file", "missing", "-delay", "5", "-b", "9600", "-f", "show.txt"},
            &device);
    EXPECT_EQ(lookalikes.out, kNoDelay);
    EXPECT_EQ(lookalikes.status, 1);
    EXPECT_EQ(lookalikes.received(), "");
}

TEST_F(Player, BaudThatReadsAsZeroIsRefusedAtOnce) {
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:ON\n");
    for (const char* baud : {"0", "abc", "0x10", ""}) {
        // Later words are not looked at: no message about the missing file.
        RunResult before = run({"-d", "0", "-f", "show.txt", "-b", baud, "-f", "missing"}, &device);
        EXPECT_EQ(before.out, "baud rate invalid\n") << baud;
        EXPECT_EQ(before.status, 1);
        RunResult first = run({"-b", baud, "-f", "show.txt", "-d", "0"}, &device);
        EXPECT_EQ(first.out, "baud rate invalid\n") << baud;
        EXPECT_EQ(first.status, 1);
        EXPECT_EQ(first.received() + before.received(), "");
    }
}

TEST_F(Player, NegativeBaudIsARateNoDeviceCanMake) {
    // Not 0, so not "invalid"; no device opens at it, however far below
    // the 32-bit range it lies (it must never wrap to a positive rate).
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:ON\n");
    for (const char* baud : {"-1", "-9600", "-4294967295", "-99999999999"}) {
        RunResult result = run({"-b", baud, "-f", "show.txt", "-d", "0"}, &device);
        EXPECT_EQ(result.out, "couldn't connect to serial\n") << baud;
        EXPECT_EQ(result.status, 1) << baud;
        EXPECT_EQ(result.received(), "") << baud;
    }
}

TEST_F(Player, BaudIsReadAsDecimalUpToTheFirstNonDigit) {
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:ON\n");
    RunResult junk = run({"-b", "300junk", "-f", "show.txt", "-d", "0"}, &device, 3);
    EXPECT_EQ(junk.status, 0);
    EXPECT_EQ(junk.received(), "ON\n");
    EXPECT_EQ(speedOf(kFirstDevice), B300);

    // 2^32 clamps to the largest 32-bit value on any width of long; it
    // must never wrap to 0.
    RunResult huge = run({"-b", "4294967296", "-f", "show.txt", "-d", "0"}, &device);
    EXPECT_NE(huge.out, "baud rate invalid\n");
}

TEST_F(Player, RatesWithoutATermiosCodeGoToTheDriver) {
    if (!emulator().empty()) {
        GTEST_SKIP() << "qemu user-mode emulation does not pass on the termios2 "
                        "ioctls that set an arbitrary rate";
    }
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:ON\n");
    // A pseudo-terminal takes any rate, up to the largest 32-bit one.
    for (const char* baud : {"250000", "4294967296"}) {
        RunResult custom = run({"-b", baud, "-f", "show.txt", "-d", "0"}, &device, 3);
        EXPECT_EQ(custom.status, 0) << baud;
        EXPECT_EQ(custom.received(), "ON\n") << baud;
    }
}

TEST_F(Player, FirstDeviceIsPreferredWhenBothAreThere) {
    writeShow("show.txt", "0:ON\n");
    VirtualSerial first(kFirstDevice);
    VirtualSerial second(kSecondDevice);
    RunResult result = run({"-b", "9600", "-f", "show.txt", "-d", "0"}, &first, 3);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.received(), "ON\n");
    pollfd other{second.controller(), POLLIN, 0};
    EXPECT_EQ(poll(&other, 1, 0), 0) << "the second device got bytes too";
}

TEST_F(Player, FallsBackToTheSecondDeviceQuietly) {
    writeShow("show.txt", "0:ON\n");
    RunResult none = run({"-b", "9600", "-f", "show.txt", "-d", "0"});
    EXPECT_EQ(none.out, "couldn't connect to serial\n");
    EXPECT_EQ(none.status, 1);

    // A first device node that is not a terminal does not count either.
    std::ofstream(kFirstDevice) << "not a tty";
    VirtualSerial second(kSecondDevice);
    RunResult fallback = run({"-b", "9600", "-f", "show.txt", "-d", "0"}, &second, 3);
    EXPECT_EQ(fallback.out, "");
    EXPECT_EQ(fallback.status, 0);
    EXPECT_EQ(fallback.received(), "ON\n");
}

TEST_F(Player, FileIsLookedUpInTheUploadDirectoryAsWritten) {
    VirtualSerial device(kFirstDevice);
    RunResult missing = run({"-b", "9600", "-d", "0", "-f", "show.txt"}, &device);
    EXPECT_EQ(missing.out, "could not open file " + kUploadDir + "show.txt\n");
    EXPECT_EQ(missing.status, 1);

    // An absolute value is appended all the same, not taken as it stands.
    RunResult absolute = run({"-b", "9600", "-d", "0", "-f", "/tmp/x"}, &device);
    EXPECT_EQ(absolute.out, "could not open file " + kUploadDir + "/tmp/x\n");
    writeShow("tmp/x", "0:inside\n");
    RunResult inside = run({"-b", "9600", "-d", "0", "-f", "/tmp/x"}, &device, 7);
    EXPECT_EQ(inside.status, 0);
    EXPECT_EQ(inside.received(), "inside\n");
}

TEST_F(Player, OverlongFileNameIsRefusedWhole) {
    VirtualSerial device(kFirstDevice);
    const std::string name(5000, 'n');
    RunResult result = run({"-b", "9600", "-d", "0", "-f", name}, &device);
    EXPECT_EQ(result.out, "could not open file " + kUploadDir + name + "\n");
    EXPECT_EQ(result.status, 1);
}

TEST_F(Player, RepeatedOptionsUseTheLastValue) {
    VirtualSerial device(kFirstDevice);
    writeShow("a.txt", "0:from a\n");
    writeShow("b.txt", "0:from b\n");
    // The second file name is joined to the upload directory alone.
    RunResult result =
        run({"-b", "9600", "-f", "a.txt", "-f", "b.txt", "-b", "19200", "-d", "0"}, &device, 7);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.received(), "from b\n");
    EXPECT_EQ(speedOf(kFirstDevice), B19200);
}

TEST_F(Player, OptionsActInTheOrderTheyStand) {
    writeShow("show.txt", "0:ON\n");
    // The delay comes before the port is tried.
    RunResult delayFirst = run({"-d", "1500", "-b", "9600", "-f", "show.txt"});
    EXPECT_EQ(delayFirst.out, "couldn't connect to serial\n");
    EXPECT_GE(delayFirst.endNanos - delayFirst.startNanos, 1500 * kMs);

    // A bad baud rate before the delay ends the run without waiting.
    RunResult baudFirst = run({"-b", "0", "-d", "600000"});
    EXPECT_EQ(baudFirst.out, "baud rate invalid\n");
    EXPECT_LT(baudFirst.endNanos - baudFirst.startNanos, 60000 * kMs);

    // A delay after the port and file waits before the first cue.
    VirtualSerial device(kFirstDevice);
    RunResult delayLast = run({"-b", "9600", "-f", "show.txt", "-d", "700"}, &device, 3);
    EXPECT_EQ(delayLast.status, 0);
    EXPECT_GE(arrivalOf(delayLast, 0) - delayLast.startNanos, 700 * kMs);
}

TEST_F(Player, DelaysThatWaitNothing) {
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:ON\n");
    for (const char* wait : {"0", "abc", "-100000", "-2147483648"}) {
        RunResult result = run({"-b", "9600", "-f", "show.txt", "-d", wait}, &device, 3);
        EXPECT_EQ(result.status, 0) << wait;
        EXPECT_EQ(result.received(), "ON\n") << wait;
        EXPECT_LT(result.endNanos - result.startNanos, 60000 * kMs) << wait;
    }
}

TEST_F(Player, DelayIsReadAsDecimalMilliseconds) {
    // 1b58 is 1 ms; read as hexadecimal it would be 7 seconds.
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:ON\n");
    RunResult result = run({"-b", "9600", "-f", "show.txt", "-d", "1b58"}, &device, 3);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.received(), "ON\n");
    EXPECT_LT(result.endNanos - result.startNanos, 5000 * kMs);
}

TEST_F(Player, FileNameThatIsAnOptionWordActsTwice) {
    VirtualSerial device(kFirstDevice);
    RunResult missing = run({"-f", "-d", "100", "-b", "9600"}, &device);
    EXPECT_EQ(missing.out, "could not open file " + kUploadDir + "-d\n");
    EXPECT_EQ(missing.status, 1);

    writeShow("-d", "0:dash\n");
    RunResult played = run({"-f", "-d", "100", "-b", "9600"}, &device, 5);
    EXPECT_EQ(played.status, 0);
    EXPECT_EQ(played.received(), "dash\n");
    EXPECT_GE(played.endNanos - played.startNanos, 100 * kMs);
}

TEST_F(Player, EmptyShowEndsWellWithNothingSent) {
    VirtualSerial device(kFirstDevice);
    writeShow("empty.txt", "");
    RunResult empty = run({"-b", "9600", "-f", "empty.txt", "-d", "0"}, &device);
    EXPECT_EQ(empty.out, "");
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.received(), "");
}

TEST_F(Player, FolderGivenAsTheShowIsAReadFailure) {
    // An empty name opens the upload directory itself, and a folder opens
    // too; reading either fails, which is not a show that ended well.
    VirtualSerial device(kFirstDevice);
    fs::create_directories(kUploadDir + "shows");
    for (const char* name : {"", "shows"}) {
        RunResult result = run({"-b", "9600", "-f", name, "-d", "0"}, &device);
        EXPECT_EQ(result.out, "couldn't read file " + kUploadDir + name + "\n") << name;
        EXPECT_EQ(result.status, 1) << name;
        EXPECT_EQ(result.received(), "") << name;
    }
}

TEST_F(Player, DeliversEveryCueByteForByte) {
    VirtualSerial device(kFirstDevice);
    const std::string longCodes(300, 'L');
    const std::string show = std::string("0:ON\n") + "no colon here\n" + "1:ab:cd\r\n" +
                             "-3e8:never\n" + "2:\xff\x01\t raw\n" + "3:AB" + std::string(1, '\0') +
                             "CD\n" + "4:" + longCodes + "\n" + "5:last";
    const std::string expected = std::string("ON\n") + "ab:cd\r\n" + "\xff\x01\t raw\n" + "AB" +
                                 longCodes.substr(0, 252) + "last";
    writeShow("show.txt", show);
    RunResult result = run({"-b", "115200", "-f", "show.txt", "-d", "0"}, &device, expected.size());
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.received(), expected);
}

TEST_F(Player, CuesArriveNoEarlierThanTheirMoment) {
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "1f4:A\n1f4:B\n3e8:C\n5dc:D\n");
    RunResult result = run({"-b", "115200", "-f", "show.txt", "-d", "0"}, &device, 8);
    ASSERT_EQ(result.received(), "A\nB\nC\nD\n");
    // The first cue was queued after the player started. Its own arrival is
    // no reference: a slow first write (under emulation, say) delays it.
    // The clock counts whole milliseconds, so a cue may leave up to one
    // millisecond before its exact moment, never more. Exact moments are
    // checked against a scripted clock in the show clock's tests.
    EXPECT_GE(arrivalOf(result, 4) - result.startNanos, 499 * kMs);
    EXPECT_GE(arrivalOf(result, 6) - result.startNanos, 999 * kMs);
}

// What to add to a monotonic reading to get the wall clock, never more:
// each wall reading taken before a monotonic one gives a lower bound.
std::int64_t monotonicToWall() {
    std::int64_t best = INT64_MIN;
    for (int i = 0; i < 5; ++i) {
        const std::int64_t wall = wallNanos();
        best = std::max(best, wall - monotonicNanos());
    }
    return best;
}

// A moment as -t takes it: "@SECONDS.NANOS".
std::string unixMoment(std::int64_t nanos) {
    char text[40];
    std::snprintf(text, sizeof text, "@%lld.%09lld", static_cast<long long>(nanos / 1000000000),
                  static_cast<long long>(nanos % 1000000000));
    return text;
}

// Far enough ahead for the player to have started, also under emulation.
std::int64_t startMargin() { return (emulator().empty() ? 1500 : 8000) * kMs; }

TEST_F(Player, StartTimeThatCannotBeReadIsRefusedAtOnce) {
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:ON\n");
    for (const char* value : {"", "soon", "@", "@12x", "@-5", "2026-02-30T20:00:00Z", "20:00"}) {
        RunResult result = run({"-b", "9600", "-f", "show.txt", "-t", value}, &device);
        EXPECT_EQ(result.out, "start time invalid\n") << value;
        EXPECT_EQ(result.status, 1) << value;
        EXPECT_EQ(result.received(), "") << value;
    }
    // Later words are not looked at: no message about the missing file.
    RunResult first = run({"-t", "x", "-f", "missing"}, &device);
    EXPECT_EQ(first.out, "start time invalid\n");
    EXPECT_EQ(first.status, 1);
}

TEST_F(Player, StartTimeAlreadyPastIsRefusedWhereItStands) {
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:ON\n");
    for (const char* value :
         {"@0", "@1767225600.5", "2026-01-01T00:00:00Z", "1999-12-31T23:59:59"}) {
        RunResult result = run({"-b", "9600", "-f", "show.txt", "-t", value}, &device);
        EXPECT_EQ(result.out, "start time has passed\n") << value;
        EXPECT_EQ(result.status, 1) << value;
        EXPECT_EQ(result.received(), "") << value;
    }
    // The moment is compared with the wall clock when -t is reached: a -d
    // before it outlasts a moment that was ahead when the player started.
    const std::string soon = unixMoment(wallNanos() + 300 * kMs);
    RunResult late = run({"-d", "1000", "-t", soon, "-b", "9600", "-f", "show.txt"}, &device);
    EXPECT_EQ(late.out, "start time has passed\n");
    EXPECT_EQ(late.status, 1);
    EXPECT_EQ(late.received(), "");
}

TEST_F(Player, StartTimeStandsInForTheDelayAndNoCueComesBeforeIt) {
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "1f4:A\n1f4:B\n2f4:C\n");
    const std::int64_t moment = wallNanos() + startMargin();
    RunResult result =
        run({"-b", "115200", "-f", "show.txt", "-t", unixMoment(moment)}, &device, 6);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 0);
    ASSERT_EQ(result.received(), "A\nB\nC\n");
    // Exact bounds: the first cue at the moment, the last 256 ms after it.
    const std::int64_t toWall = monotonicToWall();
    EXPECT_GE(arrivalOf(result, 0) + toWall, moment);
    EXPECT_GE(arrivalOf(result, 4) + toWall, moment + 256 * kMs);
    EXPECT_LT(arrivalOf(result, 4) + toWall, moment + 10000 * kMs);

    // Options after -t act after the moment, and the show still counts
    // from it.
    const std::int64_t later = wallNanos() + startMargin();
    RunResult first = run({"-t", unixMoment(later), "-b", "115200", "-f", "show.txt"}, &device, 6);
    EXPECT_EQ(first.status, 0);
    ASSERT_EQ(first.received(), "A\nB\nC\n");
    EXPECT_GE(arrivalOf(first, 0) + monotonicToWall(), later);
}

TEST_F(Player, ShowWithoutCuesEndsNoSoonerThanItsStart) {
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "no cue here\n");
    const std::int64_t moment = wallNanos() + startMargin();
    RunResult result = run({"-b", "115200", "-f", "show.txt", "-t", unixMoment(moment)}, &device);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.received(), "");
    EXPECT_GE(result.endNanos + monotonicToWall(), moment);
}

TEST_F(Player, CueFileWrittenWhileWaitingForTheStartIsPlayed) {
    // The player reads ahead in the file before it waits; finding it empty
    // then must not keep it from reading what was written meanwhile.
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "");
    const std::int64_t moment = wallNanos() + startMargin();
    std::thread writer([] {
        std::this_thread::sleep_for(std::chrono::nanoseconds(startMargin() / 2));
        std::ofstream(kUploadDir + "show.txt", std::ios::app) << "0:LATE\n";
    });
    RunResult result =
        run({"-b", "115200", "-f", "show.txt", "-t", unixMoment(moment)}, &device, 5);
    writer.join();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.received(), "LATE\n");
}

}  // namespace
