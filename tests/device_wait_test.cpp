// The boot unit's wait for the serial device, in this process (the wall
// clock jumps a day at every reading: clock_gettime is wrapped at link
// time), and the wait-for-device program in front of a stand-in player.
#include "boot/device_wait.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "emulator.h"
#include "notify_listener.h"
#include "virtual_serial.h"

extern "C" int __real_clock_gettime(clockid_t clock, timespec* now);

// As on a board without a real-time clock whose time is set at boot, over
// and over: every reading of the wall clock is a day past the last.
extern "C" int __wrap_clock_gettime(clockid_t clock, timespec* now) {
    static time_t days = 0;
    const int result = __real_clock_gettime(clock, now);
    if (clock == CLOCK_REALTIME) {
        now->tv_sec += 86400 * ++days;
    }
    return result;
}

namespace {

namespace fs = std::filesystem;

class DeviceWait : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        // Reachable for the user the waits run as (see waitAs).
        chmod(folder_.c_str(), 0777);
    }
    void TearDown() override { fs::remove_all(folder_); }

    // Runs waitForDevice in a child process, as user "nobody" when this
    // process is root (root may open any node), and returns what it found
    // and how long it took.
    std::pair<DeviceFound, double> waitAs(int limitSeconds) const {
        const auto began = std::chrono::steady_clock::now();
        const pid_t child = fork();
        if (child == 0) {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
                _exit(100);
            }
            _exit(static_cast<int>(waitForDevice(first_.c_str(), second_.c_str(), limitSeconds)));
        }
        int status = 0;
        waitpid(child, &status, 0);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 100) << "could not become nobody";
        return {static_cast<DeviceFound>(WEXITSTATUS(status)), took.count()};
    }

    // Makes `path` a node that its owner alone may not even read (0000), or
    // one anybody may read and write (0666).
    static void makeNode(const std::string& path, mode_t mode) {
        std::ofstream(path) << "";
        chmod(path.c_str(), mode);
    }

    const std::string folder_ = ::testing::TempDir() + "orv-device-wait-" +
                                ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const std::string first_ = folder_ + "/ttyACM0";
    const std::string second_ = folder_ + "/ttyUSB0";
};

TEST_F(DeviceWait, CountsItsLimitOnAClockThatIsNeverStepped) {
    // The wall clock jumps a day at each reading: a limit counted on it
    // would be over at once.
    const auto [found, took] = waitAs(2);
    EXPECT_EQ(found, DeviceFound::kNone);
    EXPECT_GE(took, 1.9);
}

TEST_F(DeviceWait, DeviceThatAppearsOrBecomesUsableLateEndsTheWait) {
    std::thread plugger([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        makeNode(second_, 0666);
    });
    const auto [appeared, tookToAppear] = waitAs(20);
    plugger.join();
    EXPECT_EQ(appeared, DeviceFound::kUsable);
    EXPECT_GE(tookToAppear, 0.29);
    EXPECT_LT(tookToAppear, 15.0);

    // There from the start but for root alone, as the kernel makes it,
    // until udev gives it to the dialout group.
    fs::remove(second_);
    makeNode(first_, 0000);
    std::thread udev([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        chmod(first_.c_str(), 0666);
    });
    const auto [usable, tookToBeUsable] = waitAs(20);
    udev.join();
    EXPECT_EQ(usable, DeviceFound::kUsable);
    EXPECT_GE(tookToBeUsable, 0.29);
    EXPECT_LT(tookToBeUsable, 15.0);
}

TEST_F(DeviceWait, DeviceThatNeverBecomesUsableIsToldApart) {
    makeNode(first_, 0000);
    EXPECT_EQ(waitAs(1).first, DeviceFound::kNotAllowed);
}

// Whether user "nobody" can start the wait program and look into `folder`.
bool nobodyReaches(const fs::path& folder) {
    const pid_t child = fork();
    if (child == 0) {
        const bool reaches = setgid(65534) == 0 && setuid(65534) == 0 &&
                             access(ORV_TEST_WAIT_PROGRAM, X_OK) == 0 &&
                             access(folder.c_str(), X_OK) == 0;
        _exit(reaches ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The program, built with the build tree's device paths.
class WaitProgram : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove(kFirst);
        fs::remove(kSecond);
    }
    static RunResult run(std::vector<std::string> args) {
        args.insert(args.begin(), ORV_TEST_WAIT_PROGRAM);
        RunOptions options;
        options.launcher = emulator();
        RunResult result = runAgainst(args, nullptr, options);
        EXPECT_EQ(result.err, "");
        return result;
    }
    const std::string kFirst = ORV_TEST_FIRST_DEVICE;
    const std::string kSecond = ORV_TEST_SECOND_DEVICE;
};

TEST_F(WaitProgram, StartsThePlayerOnceItsDeviceIsThereAndFailsWithoutIt) {
    const std::string named = fs::path(kFirst).parent_path().string() + "/by-id-prop";
    fs::remove(named);
    struct Case {
        std::vector<std::string> device;  // the words that name it, if any
        std::string plugged;              // where a device is, if anywhere
        std::string out;
        int status;
        std::string sound;  // the sound device waited for, if any
    };
    // No card has this id; a name that is no device name is the player's
    // to report.
    const std::string card = "hw:CARD=NoCardIsCalledSo";
    const Case cases[] = {
        {{},
         "",
         "no serial device: neither " + kFirst + " nor " + kSecond + " appeared within 1 seconds\n",
         1,
         ""},
        {{}, kSecond, "played\n", 0, ""},
        // A built-in device is there, the named one is not: no start.
        {{"-s", named},
         kFirst,
         "no serial device: " + named + " did not appear within 1 seconds\n",
         1,
         ""},
        {{"-s", named}, named, "played\n", 0, ""},
        {{"-o", card},
         kSecond,
         "no sound device: " + card + " did not appear within 1 seconds\n",
         1,
         card},
        {{"-s", named, "-o", "card0"}, named, "played\n", 0, "card0"},
    };
    for (const Case& c : cases) {
        std::unique_ptr<VirtualSerial> device;
        if (!c.plugged.empty()) {
            device = std::make_unique<VirtualSerial>(c.plugged);
        }
        std::vector<std::string> words = c.device;
        words.insert(words.end(), {"1", "/bin/echo", "played"});
        // Up at once for the unit, though it waits; alive while it waits.
        NotifyListener manager(400000);
        RunResult result = run(words);
        manager.stop();
        EXPECT_EQ(result.out, c.out) << c.plugged;
        EXPECT_EQ(result.status, c.status) << c.plugged;
        std::vector<std::string> states = {
            "waiting for " +
            (c.device.size() > 1 && c.device[0] == "-s" ? c.device[1] : kFirst + " or " + kSecond)};
        if (!c.sound.empty()) {
            states.push_back("waiting for the sound device " + c.sound);
        }
        EXPECT_EQ(manager.states(), states);
        EXPECT_LT(manager.longestSilenceNanos(), 400 * 1000000LL);
        if (c.status != 0) {
            EXPECT_GE(manager.pings(), 3);  // through the second it waited
        }
    }
    EXPECT_EQ(run({"-s", named, "1"}).status, 2);  // no program
    // The watchdog of the unit's main process, when that is another: not
    // this program's to keep alive.
    NotifyListener manager(400000);
    setenv("WATCHDOG_PID", "1", 1);
    EXPECT_EQ(run({"1", "/bin/true"}).status, 1);
    manager.stop();
    EXPECT_EQ(manager.pings(), 0);
}

TEST_F(WaitProgram, StartsThePlayerWhenTheDeviceIsThereButCannotBeOpened) {
    // Still root's alone when the wait is over (udev never gave it to the
    // show's group): the player is started, and says why it cannot play.
    std::ofstream(kFirst) << "";
    chmod(kFirst.c_str(), 0000);
    RunOptions options;
    options.launcher = emulator();
    if (geteuid() == 0) {
        // Root may open any node: the wait runs as "nobody" instead.
        options.runAsId = 65534;
        if (!nobodyReaches(fs::path(kFirst).parent_path())) {
            GTEST_SKIP() << "running as root, and user nobody cannot reach the build tree";
        }
    }
    // The built-in devices, and the one -s names.
    for (const std::vector<std::string>& device :
         {std::vector<std::string>{}, std::vector<std::string>{"-s", kFirst}}) {
        std::vector<std::string> words = {ORV_TEST_WAIT_PROGRAM};
        words.insert(words.end(), device.begin(), device.end());
        words.insert(words.end(), {"1", "/bin/echo", "played"});
        RunResult result = runAgainst(words, nullptr, options);
        EXPECT_EQ(result.out, "played\n") << words.size();
        EXPECT_EQ(result.status, 0);
    }
    fs::remove(kFirst);
}

}  // namespace
