// A pseudo-terminal standing in for the show's serial device, and a way to
// run the player against it while timing every byte that arrives. Used by
// the demo and by the end-to-end tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Nanoseconds of the monotonic clock.
std::int64_t monotonicNanos();

// Nanoseconds of the wall clock since the Unix epoch.
std::int64_t wallNanos();

// A pseudo-terminal whose device side is reachable through a symbolic link
// at `linkPath`, as a USB serial device would be at its /dev node.
class VirtualSerial {
public:
    explicit VirtualSerial(std::string linkPath);
    ~VirtualSerial();
    VirtualSerial(const VirtualSerial&) = delete;
    VirtualSerial& operator=(const VirtualSerial&) = delete;

    // The controller side, where the player's bytes arrive; -1 once unplugged.
    int controller() const { return controller_; }
    // Closes the controller side: the device is gone, writes to it fail.
    void unplug();
    // Waits (up to ten seconds) until at least `count` bytes that the
    // controller side sent wait to be read on the device side; false if
    // they never do.
    bool waitUntilQueuedForDevice(int count) const;

private:
    std::string linkPath_;
    int controller_ = -1;
    int deviceKeepAlive_ = -1;  // keeps the device side open between runs
};

// The anonymous memory of process `pid` now, in KiB (from
// /proc/PID/smaps_rollup); -1 when it cannot be read (the process is gone).
long anonymousMemoryKiB(int pid);

// Bytes that came in one read, and when.
struct Arrival {
    std::int64_t nanos;
    std::string bytes;
};

struct RunOptions {
    // Bytes expected on the device: after the player ends, reading goes on
    // until this many arrived (or a few seconds passed).
    std::size_t expectBytes = 0;
    // A slow device: read at most this many bytes at a time ...
    std::size_t readChunk = 1 << 16;
    // ... and pause this long after each read.
    int pauseMicrosAfterRead = 0;
    // A device that stops reading for good once this many bytes arrived.
    std::size_t stopReadingAfter = SIZE_MAX;
    // Called after each read with what it brought and the number of bytes
    // received so far; may show them, unplug the device, stop reading for a
    // while, change files ...
    std::function<void(const Arrival& latest, std::size_t received)> onReceived;
    // Run the player as this user and group (when not -1; needs root).
    int runAsId = -1;
    // Extra words that run a program of this build, such as an emulator.
    std::vector<std::string> launcher;
    // Measure the program's own peak memory (into maxResidentKiB) through
    // a small go-between, so that this process's memory does not count.
    bool measureMemory = false;
    // Read the program's anonymous memory (its heap, stack and written
    // data, into anonymousKiB) while it runs: each time its bytes wait on
    // the device, at most every 10 ms. Counted page by page, so it does
    // not vary from run to run as the peak does, whose file-backed part
    // follows the page cache. Not with measureMemory (it would be the
    // go-between's).
    bool sampleAnonymousMemory = false;
    // Start the program with its standard output closed.
    bool closeStdout = false;
    // A descriptor to give the program as its standard input (-1: this
    // process's own).
    int stdinFrom = -1;
    // Called once the program has started, with its process id (to send it
    // a signal, say).
    std::function<void(int pid)> onStarted;
};

struct RunResult {
    int status = -1;  // exit status, or -1 when the player did not exit
    int signal = 0;   // the signal that ended it, or 0
    std::string out;
    std::string err;
    std::int64_t startNanos = 0;
    std::int64_t endNanos = 0;
    long maxResidentKiB = 0;         // with measureMemory: the program's peak resident memory
    std::vector<long> anonymousKiB;  // with sampleAnonymousMemory, in the order read
    std::vector<Arrival> arrivals;

    std::string received() const;
};

// Runs `argv` (argv[0] is the program's path) with its standard output and
// error captured, reading whatever arrives on `device` (may be null).
RunResult runAgainst(const std::vector<std::string>& argv, VirtualSerial* device,
                     const RunOptions& options = RunOptions{});
