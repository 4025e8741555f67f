// The real program under faults and load: a device that goes away or stops
// reading, very many cues, a very large file, a file that changes while it
// plays, and -f values that are not ordinary files.
#include <sys/stat.h>
#include <sys/wait.h>

#include "player_fixture.h"

namespace {

const std::vector<std::string> kPlay = {"-b", "115200", "-f", "show.txt", "-d", "0"};

TEST_F(Player, UnpluggedDeviceFailsTheRunAtOnce) {
    VirtualSerial device(kFirstDevice);
    const Show show = numberedShow(100, 20);
    writeShow("show.txt", show.file);
    RunOptions unplug;
    unplug.onReceived = [&device](const Arrival&, std::size_t) { device.unplug(); };
    RunResult result = runWith(kPlay, &device, unplug);
    EXPECT_EQ(result.out, "couldn't write to serial\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(isPrefixOf(result.received(), show.expected));
    // It stops at the next cue, not at the end of the 2-second show.
    EXPECT_LT(result.endNanos - result.startNanos, 1900 * kMs);
}

TEST_F(Player, UnplugDuringALongGapIsNoticedWithoutWaitingForTheCue) {
    // The next cue is half a minute away: the player notices the unplug
    // while it waits, and lets go of the device at once.
    VirtualSerial device(kFirstDevice);
    writeShow("show.txt", "0:first\n7530:second\n");
    std::int64_t unpluggedAt = 0;
    RunOptions unplug;
    unplug.onReceived = [&](const Arrival&, std::size_t) {
        device.unplug();
        unpluggedAt = monotonicNanos();
    };
    RunResult result = runWith(kPlay, &device, unplug);
    EXPECT_EQ(result.out, "couldn't write to serial\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.received(), "first\n");
    ASSERT_GT(unpluggedAt, 0);
    EXPECT_LT(result.endNanos - unpluggedAt, 2000 * kMs);
}

TEST_F(Player, UnplugBeforeTheClosingDrainFailsTheRun) {
    // Status 0 promises every byte reached the device; a device gone by the
    // time the port is drained and closed breaks that promise. The show is
    // fed through a FIFO, so that it ends only after the unplug.
    VirtualSerial device(kFirstDevice);
    const std::string path = kUploadDir + "fifo";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    int writer = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(write(writer, "0:last\n", 7), 7);
    RunOptions unplug;
    unplug.onReceived = [&](const Arrival&, std::size_t) {
        device.unplug();
        close(writer);  // the show ends here
        writer = -1;
    };
    RunResult result = runWith({"-b", "115200", "-f", "fifo", "-d", "0"}, &device, unplug);
    EXPECT_EQ(result.out, "couldn't write to serial\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.received(), "last\n");
}

TEST_F(Player, DeviceThatNeverReadsAgainFailsAfterTheStallBound) {
    // Far more than the pseudo-terminal buffers, and a device that stops
    // reading for good after the first bytes: the player's write waits for
    // ten seconds without a byte taken, then the run fails.
    VirtualSerial device(kFirstDevice);
    const Show show = numberedShow(2000, 0, 100);
    writeShow("show.txt", show.file);
    RunOptions stuck;
    stuck.stopReadingAfter = 1;
    RunResult result = runWith(kPlay, &device, stuck);
    EXPECT_EQ(result.out, "couldn't write to serial\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(isPrefixOf(result.received(), show.expected));
    const std::int64_t took = result.endNanos - result.startNanos;
    EXPECT_GE(took, 10000 * kMs);
    EXPECT_LT(took, 20000 * kMs);
}

TEST_F(Player, PortInUseIsNotOpenedBySecondPlayer) {
    // A second player started while the first plays must neither write
    // into the first one's show nor change its rate.
    VirtualSerial device(kFirstDevice);
    const Show show = numberedShow(20, 50);
    writeShow("show.txt", show.file);
    RunResult second;
    RunOptions options;
    options.expectBytes = show.expected.size();
    options.onReceived = [&second](const Arrival&, std::size_t) {
        if (second.status == -1) {
            second = runWith({"-b", "9600", "-f", "show.txt", "-d", "0"}, nullptr, {});
        }
    };
    RunResult first = runWith(kPlay, &device, options);
    EXPECT_EQ(second.out, "couldn't connect to serial\n");
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(first.status, 0);
    EXPECT_TRUE(first.received() == show.expected);
    EXPECT_EQ(speedOf(kFirstDevice), B115200);
}

TEST_F(Player, SlowDeviceStillGetsEveryByteInOrder) {
    VirtualSerial device(kFirstDevice);
    const Show show = numberedShow(3000, 0, 140);
    writeShow("show.txt", show.file);
    RunOptions slow;
    slow.expectBytes = show.expected.size();
    slow.readChunk = 512;
    slow.pauseMicrosAfterRead = 100;
    RunResult result = runWith(kPlay, &device, slow);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.received() == show.expected)
        << "received " << result.received().size() << " of " << show.expected.size();
}

TEST_F(Player, DeviceThatStopsReadingForAWhileGetsEveryByte) {
    // Far more than the pseudo-terminal buffers: the player's writes block
    // while the device does not read, and go on when it does.
    VirtualSerial device(kFirstDevice);
    const Show show = numberedShow(2000, 0, 100);
    writeShow("show.txt", show.file);
    RunOptions stall;
    stall.expectBytes = show.expected.size();
    stall.onReceived = [](const Arrival&, std::size_t received) {
        if (received < 4096) {
            usleep(1500000);
        }
    };
    RunResult result = runWith(kPlay, &device, stall);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.received() == show.expected)
        << "received " << result.received().size() << " of " << show.expected.size();
}

TEST_F(Player, MillionCuesAtTheSameMomentArriveInOrder) {
    VirtualSerial device(kFirstDevice);
    std::string file;
    std::string expected;
    file.reserve(10'000'000);
    expected.reserve(8'000'000);
    for (int i = 0; i < 1'000'000; ++i) {
        const std::string codes = std::to_string(i) + "\n";
        file += "0:" + codes;
        expected += codes;
    }
    writeShow("show.txt", file);
    RunResult result = run(kPlay, &device, expected.size());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.received() == expected)
        << "received " << result.received().size() << " of " << expected.size();
}

TEST_F(Player, HugeFilePlaysInConstantMemory) {
    VirtualSerial device(kFirstDevice);
    // A block of 4096 lines: long lines without a colon, which the player
    // reads and passes over, then one cue.
    std::string block;
    for (int i = 0; i < 4095; ++i) {
        block += std::string(250, static_cast<char>('A' + i % 26)) + "\n";
    }
    block += "0:big\n";
    const int blocks = 256;  // about 256 MiB
    {
        std::ofstream out(kUploadDir + "big.txt", std::ios::binary);
        for (int i = 0; i < blocks; ++i) {
            out << block;
        }
    }
    // The small show's second cue keeps the player there while its memory
    // is read at the first.
    writeShow("small.txt", block + "12c:big\n");
    const std::string bigExpected = [&] {
        std::string all;
        for (int i = 0; i < blocks; ++i) {
            all += "big\n";
        }
        return all;
    }();

    RunOptions options;
    options.sampleAnonymousMemory = true;
    options.expectBytes = 8;
    RunResult small = runWith({"-b", "115200", "-f", "small.txt", "-d", "0"}, &device, options);
    options.expectBytes = bigExpected.size();
    RunResult big = runWith({"-b", "115200", "-f", "big.txt", "-d", "0"}, &device, options);
    fs::remove(kUploadDir + "big.txt");
    EXPECT_EQ(small.status, 0);
    EXPECT_EQ(big.status, 0);
    EXPECT_EQ(big.out, "");
    EXPECT_TRUE(big.received() == bigExpected);
    ASSERT_FALSE(small.anonymousKiB.empty());
    ASSERT_FALSE(big.anonymousKiB.empty());
    const long smallKiB = *std::max_element(small.anonymousKiB.begin(), small.anonymousKiB.end());
    const long bigKiB = *std::max_element(big.anonymousKiB.begin(), big.anonymousKiB.end());
    EXPECT_LT(bigKiB - smallKiB, 256)
        << "small file: " << smallKiB << " KiB, big file: " << bigKiB << " KiB";
}

TEST_F(Player, FileTruncatedWhilePlayingEndsTheShowEarly) {
    VirtualSerial device(kFirstDevice);
    // Larger than what the reader buffers ahead, and long enough to play
    // that the truncation comes while it plays.
    const Show show = numberedShow(4000, 1, 20);
    writeShow("show.txt", show.file);
    const std::string path = kUploadDir + "show.txt";
    RunOptions truncate;
    truncate.onReceived = [&path, size = show.file.size()](const Arrival&, std::size_t) {
        ::truncate(path.c_str(), static_cast<off_t>(size / 2));
    };
    RunResult result = runWith(kPlay, &device, truncate);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(isPrefixOf(result.received(), show.expected));
    EXPECT_LT(result.received().size(), show.expected.size());
}

TEST_F(Player, FifoWithoutAWriterIsAnEmptyShow) {
    VirtualSerial device(kFirstDevice);
    ASSERT_EQ(mkfifo((kUploadDir + "fifo").c_str(), 0600), 0);
    RunResult result = run({"-b", "115200", "-f", "fifo", "-d", "0"}, &device);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.received(), "");
}

TEST_F(Player, FifoWithAWriterPlaysWhatIsWritten) {
    VirtualSerial device(kFirstDevice);
    const std::string path = kUploadDir + "fifo";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    int writer = open(path.c_str(), O_RDWR | O_CLOEXEC);  // does not wait for a reader
    ASSERT_GE(writer, 0);
    // The second line is still being written when the first has played:
    // the player waits for the rest rather than take the FIFO as ended.
    // The rest comes a while after the first cue, when a player that does
    // not wait has long looked for it in vain.
    ASSERT_EQ(write(writer, "0:fed\n1:", 8), 8);
    RunOptions options;
    options.expectBytes = 9;
    options.onReceived = [&writer](const Arrival&, std::size_t) {
        if (writer >= 0) {
            usleep(300000);
            EXPECT_EQ(write(writer, "more\n", 5), 5);
            close(writer);  // the writer is done
            writer = -1;
        }
    };
    RunResult result = runWith({"-b", "115200", "-f", "fifo", "-d", "0"}, &device, options);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.received(), "fed\nmore\n");
}

// Whether a child of this process can run the player as user `id`.
bool canRunPlayerAs(int id) {
    pid_t child = fork();
    if (child == 0) {
        bool ok = setgid(static_cast<gid_t>(id)) == 0 && setuid(static_cast<uid_t>(id)) == 0 &&
                  access(kPlayer.c_str(), X_OK) == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(Player, FileWithoutReadPermissionCannotBeOpened) {
    writeShow("secret.txt", "0:secret\n");
    ASSERT_EQ(chmod((kUploadDir + "secret.txt").c_str(), 0), 0);
    RunOptions options;
    if (geteuid() == 0) {
        // Root reads any file: run the player as "nobody" instead.
        const int nobody = 65534;
        if (!canRunPlayerAs(nobody)) {
            GTEST_SKIP() << "running as root and cannot run the player as user " << nobody
                         << " (the build tree is not reachable for it)";
        }
        options.runAsId = nobody;
    }
    RunResult result = runWith({"-f", "secret.txt", "-b", "115200", "-d", "0"}, nullptr, options);
    EXPECT_EQ(result.out, "could not open file " + kUploadDir + "secret.txt\n");
    EXPECT_EQ(result.status, 1);
}

}  // namespace
