// The real program end to end: command line, messages, exit status and the
// bytes that reach a pseudo-terminal standing in for the serial device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "virtual_serial.h"

namespace {

namespace fs = std::filesystem;

const std::string kPlayer = ORV_TEST_PLAYER;
const std::string kUploadDir = ORV_TEST_UPLOAD_DIR;
const std::string kFirstDevice = ORV_TEST_FIRST_DEVICE;
const std::string kSecondDevice = ORV_TEST_SECOND_DEVICE;

const std::string kNoFilename =
    "no filename\nsyntax: orvplayer -b [baud] -f [filename] -d [delay]\n";
const std::string kNoBaud =
    "no baud rate\n\nsyntax: orvplayer -b [baud] -f [filename] -d [delay]\n";
const std::string kNoDelay = "no delay\n\nsyntax: orvplayer -b [baud] -f [filename] -d [delay]\n";

constexpr std::int64_t kMs = 1000000;

// The words that run a target program on this machine: none natively, the
// emulator's in a cross build.
std::vector<std::string> emulator() {
    std::vector<std::string> words;
    std::string list = ORV_TEST_EMULATOR;
    for (std::size_t start = 0; start < list.size();) {
        std::size_t end = list.find('|', start);
        end = end == std::string::npos ? list.size() : end;
        if (end > start) {
            words.push_back(list.substr(start, end - start));
        }
        start = end + 1;
    }
    return words;
}

class Player : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove_all(kUploadDir);
        fs::create_directories(kUploadDir);
        fs::remove(kFirstDevice);
        fs::remove(kSecondDevice);
    }

    static void writeShow(const std::string& name, const std::string& bytes) {
        fs::create_directories(fs::path(kUploadDir + name).parent_path());
        std::ofstream(kUploadDir + name, std::ios::binary) << bytes;
    }

    // Runs the player with `args`; it must never write to standard error.
    static RunResult runWith(std::vector<std::string> args, VirtualSerial* device,
                             RunOptions options) {
        args.insert(args.begin(), kPlayer);
        options.launcher = emulator();
        RunResult result = runAgainst(args, device, options);
        EXPECT_EQ(result.err, "");
        return result;
    }

    // The same, waiting for `expectBytes` to arrive on the device.
    static RunResult run(std::vector<std::string> args, VirtualSerial* device = nullptr,
                         std::size_t expectBytes = 0) {
        RunOptions options;
        options.expectBytes = expectBytes;
        return runWith(std::move(args), device, options);
    }

    // Output speed the device was last set to.
    static speed_t speedOf(const std::string& device) {
        int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios tio{};
        EXPECT_EQ(tcgetattr(fd, &tio), 0);
        close(fd);
        return cfgetospeed(&tio);
    }

    // When the byte at `index` of everything received arrived.
    static std::int64_t arrivalOf(const RunResult& result, std::size_t index) {
        for (const Arrival& arrival : result.arrivals) {
            if (index < arrival.bytes.size()) {
                return arrival.nanos;
            }
            index -= arrival.bytes.size();
        }
        ADD_FAILURE() << "byte " << index << " never arrived";
        return 0;
    }
};

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

TEST_F(Player, EmptyShowsEndWellWithNothingSent) {
    VirtualSerial device(kFirstDevice);
    // An empty name opens the upload directory itself: nothing to read.
    RunResult directory = run({"-b", "9600", "-f", "", "-d", "0"}, &device);
    EXPECT_EQ(directory.out, "");
    EXPECT_EQ(directory.status, 0);
    EXPECT_EQ(directory.received(), "");

    writeShow("empty.txt", "");
    RunResult empty = run({"-b", "9600", "-f", "empty.txt", "-d", "0"}, &device);
    EXPECT_EQ(empty.out, "");
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.received(), "");
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
    const std::int64_t first = arrivalOf(result, 0);
    // The clock counts whole milliseconds, so a cue may leave up to one
    // millisecond before its exact moment, never more.
    EXPECT_GE(arrivalOf(result, 4) - first, 499 * kMs);
    EXPECT_GE(arrivalOf(result, 6) - first, 999 * kMs);
}

TEST_F(Player, SlowDeviceStillGetsEveryByteInOrder) {
    VirtualSerial device(kFirstDevice);
    std::string show;
    std::string expected;
    for (int i = 0; i < 3000; ++i) {
        std::string codes =
            std::to_string(i) + ":" + std::string(140, static_cast<char>('a' + i % 26)) + "\n";
        show += "0:" + codes;
        expected += codes;
    }
    writeShow("big.txt", show);
    RunOptions slow;
    slow.expectBytes = expected.size();
    slow.readChunk = 512;
    slow.pauseMicrosAfterRead = 100;
    RunResult result = runWith({"-b", "9600", "-f", "big.txt", "-d", "0"}, &device, slow);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.received() == expected)
        << "received " << result.received().size() << " of " << expected.size() << " bytes";
}

TEST_F(Player, UnpluggedDeviceFailsTheRun) {
    VirtualSerial device(kFirstDevice);
    std::string show;
    std::string expected;
    for (int i = 0; i < 100; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "%x:cue %d\n", i * 20, i);
        show += line;
        expected += std::string("cue ") + std::to_string(i) + "\n";
    }
    writeShow("show.txt", show);
    RunOptions unplug;
    unplug.onReceived = [&device](std::size_t) { device.unplug(); };
    RunResult result = runWith({"-b", "9600", "-f", "show.txt", "-d", "0"}, &device, unplug);
    EXPECT_EQ(result.out, "couldn't write to serial\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(expected.compare(0, result.received().size(), result.received()), 0);
}

}  // namespace
