// The serial port layer on a pseudo-terminal: how the port is set up and
// locked, what it makes of the rate the driver reports, and what it answers
// once the device is gone. The driver's rate report is scripted here; a
// pseudo-terminal takes any rate.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "board/board.h"
#include "board/serial_rate.h"
#include "virtual_serial.h"

namespace {

// What reportedRate answers; -1: as without the termios2 interface, so the
// port reads the rate back through plain termios.
long g_reportedRate = -1;

}  // namespace

bool setCustomRate(int /*fd*/, int /*baud*/) { return true; }

long reportedRate(int /*fd*/) { return g_reportedRate; }

namespace {

class SerialPort : public ::testing::Test {
protected:
    // A device path of this test's own, so that tests may run side by side.
    const std::string kDevice = ::testing::TempDir() + "orv-serial-test-" +
                                ::testing::UnitTest::GetInstance()->current_test_info()->name();

    void SetUp() override { g_reportedRate = -1; }

    // A descriptor of our own on the device, as another program would have.
    int openOther() const {
        return open(kDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }

    // Whether the device is in exclusive mode (TIOCEXCL); skips the test
    // where that cannot be asked (qemu's user-mode emulation).
    static bool isExclusive(int fd) {
        int exclusive = 0;
        if (ioctl(fd, TIOCGEXCL, &exclusive) != 0) {
            throw Unsupported();
        }
        return exclusive != 0;
    }
    struct Unsupported {};

    static int bytesWaitingToBeRead(int fd) {
        int waiting = -1;
        EXPECT_EQ(ioctl(fd, FIONREAD, &waiting), 0);
        return waiting;
    }

    VirtualSerial device_{kDevice};
};

TEST_F(SerialPort, OpensRaw8N1WithoutFlowControlLockedUntilClosed) {
    // Opened first: once the port is exclusive, a normal user may not.
    const int other = openOther();
    ASSERT_GE(other, 0);
    const int port = serialOpen(kDevice.c_str(), 9600);
    ASSERT_GE(port, 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(other, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), B9600);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0U);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0U);
    EXPECT_EQ(tio.c_oflag & OPOST, 0U);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0U);

    // Locked against other players until closed, and against any program
    // that holds a lock of its own, even a shared one.
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_NE(flock(other, LOCK_SH | LOCK_NB), 0);
    EXPECT_EQ(serialOpen(kDevice.c_str(), 9600), -1);
    EXPECT_EQ(serialClose(port), 0);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
}

TEST_F(SerialPort, ExclusiveWhileOpenAndNeverTakenFromAnotherHolder) {
    // Exclusive mode keeps out programs that do not lock; it must end with
    // the player's port, and a player refused a port must leave the
    // holder's own exclusive mode alone.
    const int holder = openOther();
    ASSERT_GE(holder, 0);
    try {
        const int port = serialOpen(kDevice.c_str(), 9600);
        ASSERT_GE(port, 0);
        EXPECT_TRUE(isExclusive(holder));
        EXPECT_EQ(serialClose(port), 0);
        EXPECT_FALSE(isExclusive(holder));

        ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
        ASSERT_EQ(ioctl(holder, TIOCEXCL), 0);
        EXPECT_EQ(serialOpen(kDevice.c_str(), 9600), -1);
        EXPECT_TRUE(isExclusive(holder));
    } catch (const Unsupported&) {
        GTEST_SKIP() << "exclusive mode cannot be asked for here (TIOCGEXCL)";
    }
    ioctl(holder, TIOCNXCL);
    close(holder);
}

TEST_F(SerialPort, HolderInExclusiveModeKeepsThePortFromRootToo) {
    // The kernel lets root open a port in exclusive mode; the player must
    // still take it as busy, and leave the holder's mode as it was.
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: for a normal user the kernel itself refuses the open";
    }
    const int holder = openOther();
    ASSERT_GE(holder, 0);
    try {
        ASSERT_EQ(ioctl(holder, TIOCEXCL), 0);  // and no lock
        ASSERT_TRUE(isExclusive(holder));
        EXPECT_EQ(serialOpen(kDevice.c_str(), 9600), -1);
        EXPECT_TRUE(isExclusive(holder));
    } catch (const Unsupported&) {
        GTEST_SKIP() << "exclusive mode cannot be asked for here (TIOCGEXCL)";
    }
    ioctl(holder, TIOCNXCL);
    close(holder);
}

TEST_F(SerialPort, RateTheDriverReportsMustBeWithinThreePercent) {
    // Asked for 9600: 3% is 288 baud either way.
    const std::pair<long, bool> reports[] = {
        {9600, true},  {9888, true},   {9312, true},  // within 3%
        {9889, false}, {9311, false},                 // just beyond it
        {4800, false}, {19200, false}, {0, false}};   // another rate altogether
    for (const auto& [reported, opens] : reports) {
        g_reportedRate = reported;
        const int port = serialOpen(kDevice.c_str(), 9600);
        EXPECT_EQ(port >= 0, opens) << "driver reports " << reported;
        if (port >= 0) {
            serialClose(port);
        }
    }
}

TEST_F(SerialPort, WhatTheDeviceSendsIsDiscarded) {
    // Sent before the port was opened (and queued by the kernel by then),
    // and while the show plays.
    ASSERT_EQ(write(device_.controller(), "HELLO\n", 6), 6);
    ASSERT_TRUE(device_.waitUntilQueuedForDevice(6));
    const int port = serialOpen(kDevice.c_str(), 115200);
    ASSERT_GE(port, 0);
    EXPECT_EQ(bytesWaitingToBeRead(port), 0);

    ASSERT_EQ(write(device_.controller(), "OK\n", 3), 3);
    pollfd arrived{port, POLLIN, 0};
    ASSERT_EQ(poll(&arrived, 1, 10000), 1);
    EXPECT_EQ(serialCheck(port), 0);
    EXPECT_EQ(bytesWaitingToBeRead(port), 0);
    EXPECT_EQ(serialClose(port), 0);
}

TEST_F(SerialPort, WriteLargerThanTheDriverTakesAtOnceArrivesWhole) {
    // Far more than a pseudo-terminal buffers: the port takes it in parts.
    std::string text;
    for (int i = 0; text.size() < 300000; ++i) {
        text += std::to_string(i) + "\n";
    }
    const int port = serialOpen(kDevice.c_str(), 115200);
    ASSERT_GE(port, 0);
    std::string received;
    std::thread reader([&received, &text, controller = device_.controller()] {
        char chunk[4096];
        pollfd readable{controller, POLLIN, 0};
        // Reads until all came, or nothing more came for ten seconds.
        while (received.size() < text.size() && poll(&readable, 1, 10000) == 1) {
            const ssize_t got = read(controller, chunk, sizeof chunk);
            if (got <= 0) {
                break;
            }
            received.append(chunk, static_cast<std::size_t>(got));
        }
    });
    EXPECT_EQ(serialPuts(port, text.c_str()), 0);
    reader.join();
    EXPECT_EQ(serialClose(port), 0);
    EXPECT_TRUE(received == text) << "received " << received.size() << " of " << text.size();
}

TEST_F(SerialPort, UnpluggedDeviceFailsEveryCall) {
    const int port = serialOpen(kDevice.c_str(), 115200);
    ASSERT_GE(port, 0);
    ASSERT_EQ(serialPuts(port, "before\n"), 0);
    device_.unplug();
    EXPECT_EQ(serialPuts(port, "after\n"), -1);
    EXPECT_EQ(serialCheck(port), -1);
    EXPECT_EQ(serialClose(port), -1);
}

}  // namespace
