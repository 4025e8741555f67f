// Running the real program (its build with paths inside the build tree)
// against a pseudo-terminal, for the end-to-end tests.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "emulator.h"
#include "virtual_serial.h"

namespace fs = std::filesystem;

inline const std::string kPlayer = ORV_TEST_PLAYER;
inline const std::string kUploadDir = ORV_TEST_UPLOAD_DIR;
inline const std::string kFirstDevice = ORV_TEST_FIRST_DEVICE;
inline const std::string kSecondDevice = ORV_TEST_SECOND_DEVICE;

inline const std::string kNoFilename =
    "no filename\nsyntax: orvplayer -b [baud] -f [filename] -d [delay]\n";
inline const std::string kNoBaud =
    "no baud rate\n\nsyntax: orvplayer -b [baud] -f [filename] -d [delay]\n";
inline const std::string kNoDelay =
    "no delay\n\nsyntax: orvplayer -b [baud] -f [filename] -d [delay]\n";

inline constexpr std::int64_t kMs = 1000000;

// A cue file and the bytes the device must receive when it is played.
struct Show {
    std::string file;
    std::string expected;
};

// `count` cues `gapMs` apart, each with codes "cue N\n" padded to `width`.
inline Show numberedShow(int count, int gapMs, std::size_t width = 0) {
    Show show;
    for (int i = 0; i < count; ++i) {
        std::string codes = "cue " + std::to_string(i);
        codes.resize(std::max(codes.size(), width), static_cast<char>('a' + i % 26));
        codes += "\n";
        char offset[16];
        std::snprintf(offset, sizeof offset, "%x:", i * gapMs);
        show.file += offset + codes;
        show.expected += codes;
    }
    return show;
}

// True when `received` is the start of `expected`: nothing wrong, nothing
// out of order, though the rest may be missing.
inline bool isPrefixOf(const std::string& received, const std::string& expected) {
    return expected.compare(0, received.size(), received) == 0;
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
