#!/usr/bin/env python3
"""Mutation testing: does the test suite fail when the program is wrong?

Each mutant below is one small, plausible programming mistake in src/,
written as a search-and-replace of a snippet that occurs exactly once in its
file. The script copies the source tree to a scratch build tree once,
configures it once, and then for each mutant: applies it, rebuilds what the
tests need (incrementally), runs the suite until its first failure, and puts
the file back. A mutant is

  killed     a test failed (the first failing test is named),
  timed out  a stage of the suite took three times as long as without the
             mutant, or 20 s if that is more (a hang counts as caught),
  survived   every test passed: the suite misses this mistake,
  equivalent it cannot change what the program does (given with the reason;
             not run, and not counted),
  error      its snippet is missing or not unique, or it does not compile
             (a broken list, never counted as caught; fails the run).

The tests that need no running player go first, the player's slow load
tests last. Last comes the kill rate: caught (killed or timed out) among the
mutants that are not equivalent. The run fails below --goal (95%) or on any
error.

Mutants run on --workers copies of the tree at once (2 by default, one a
core), each with its own build tree, test device paths and temporary files
(TEST_TMPDIR), so that no two suites share a file.

Which mutants run: by default those of the files changed since the last
release, those new or changed in the list since then, and a fixed sample of
the rest (--sample, chosen by name, the same every run). All of them with
--all, when HEAD carries a release tag, or when the test harness (the fake
board, the player fixture, the virtual serial device) changed since the
release, since a verdict of the sample then says nothing about the rest.
The last release is the newest tag v* on HEAD's history, or, before the
first, the commit named in tools/mutation-baseline (the last full run).

  tools/mutation-test.py                 # changed, new and a sample
  tools/mutation-test.py --all           # every mutant (before a release)
  tools/mutation-test.py --only ID ...   # a few, by name
  tools/mutation-test.py --list          # the list, without running
"""
import argparse
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import zlib
from dataclasses import dataclass

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# What the suite needs built; the installed player, the demo and the
# benchmark are left out to keep each rebuild short.
TEST_TARGETS = ["playback_tests", "start_tests", "command_line_tests", "check_tests", "serial_tests",
                "trigger_tests", "boot_tests", "player_tests", "check_cli_tests"]

# The suite runs in three stages, each only when the one before passed: the
# tests that need no running player (milliseconds each), the player end to
# end, and last its load tests, which take seconds each.
SLOW_TESTS = ("Player.DeviceThatNeverReadsAgainFailsAfterTheStallBound|"
              "Player.MillionCuesAtTheSameMomentArriveInOrder|"
              "Player.HugeFilePlaysInConstantMemory")
STAGES = [["-E", "^Player\\."], ["-R", "^Player\\.", "-E", SLOW_TESTS], ["-R", SLOW_TESTS]]


@dataclass
class Mutant:
    name: str
    path: str
    old: str
    new: str
    equivalent: str = ""  # why it cannot change behaviour, when it cannot


M = Mutant
MUTANTS = [
    # The run and the command line.
    M("main-status-dropped", "src/main.cpp",
      "return runCommandLine(argc, argv);", "runCommandLine(argc, argv);\n    return 0;"),
    M("main-clock-not-started", "src/main.cpp", "    wiringPiSetup();\n", "",
      equivalent="millis() then counts from the boot instead of the start; the show clock "
                 "uses only differences of readings, which stay right across the wrap"),
    M("cli-second-device-first", "src/command_line.cpp",
      "namedDevice != nullptr ? namedDevice : kFirstDevice;",
      "namedDevice != nullptr ? namedDevice : kSecondDevice;"),
    M("cli-no-fallback", "src/command_line.cpp",
      "    if (sp == -1 && namedDevice == nullptr) {", "    if (false) {"),
    M("cli-delay-read-as-hex", "src/command_line.cpp",
      "const std::int32_t ms = parseInt32(value, 10);", "const std::int32_t ms = parseInt32(value, 16);"),
    M("cli-baud-read-as-hex", "src/command_line.cpp",
      "const std::int32_t baud = parseInt32(value, 10);",
      "const std::int32_t baud = parseInt32(value, 16);"),
    M("cli-negative-baud-invalid", "src/command_line.cpp", "if (baud == 0) {", "if (baud <= 0) {"),
    M("cli-d-prefix-match", "src/command_line.cpp",
      'std::strcmp(word, "-d") == 0', 'std::strncmp(word, "-d", 2) == 0'),
    M("cli-b-prefix-match", "src/command_line.cpp",
      'std::strcmp(word, "-b") == 0', 'std::strncmp(word, "-b", 2) == 0'),
    M("cli-f-prefix-match", "src/command_line.cpp",
      'std::strcmp(word, "-f") == 0', 'std::strncmp(word, "-f", 2) == 0'),
    M("cli-last-word-read", "src/command_line.cpp",
      "for (int i = 1; i + 1 < argc; ++i) {\n        const char* word",
      "for (int i = 1; i < argc; ++i) {\n        const char* word"),
    M("cli-bad-port-goes-on", "src/command_line.cpp",
      "if (!openPort(value)) {\n                return 1;", "if (!openPort(value)) {\n                continue;"),
    M("cli-delay-not-required", "src/command_line.cpp",
      "if (fileGiven && baudGiven && delayGiven) {", "if (fileGiven && baudGiven) {"),
    M("cli-drain-failure-ignored", "src/command_line.cpp", "if (drained != 0) {", "if (drained > 0) {"),
    M("cli-file-opened-blocking", "src/command_line.cpp",
      "O_RDONLY | O_NONBLOCK | O_CLOEXEC", "O_RDONLY | O_CLOEXEC"),
    M("cli-file-stays-nonblocking", "src/command_line.cpp",
      "fcntl(fd, F_SETFL, flags & ~O_NONBLOCK)", "fcntl(fd, F_SETFL, flags)"),
    M("cli-old-port-kept", "src/command_line.cpp",
      "    if (sp != -1) {  // a repeated -b replaces the earlier port\n        serialClose(sp);\n    }\n",
      ""),
    M("cli-second-file-appended", "src/command_line.cpp",
      "std::memcpy(into + dirLength, value, valueLength + 1);",
      "std::strcat(into, value);"),
    # Numbers.
    M("parse-no-upper-clamp", "src/playback/parse_int32.cpp",
      "if (value > INT32_MAX) {\n        return INT32_MAX;", "if (value > INT32_MAX) {\n        return INT32_MIN;"),
    M("parse-no-lower-clamp", "src/playback/parse_int32.cpp",
      "    if (value < INT32_MIN) {\n        return INT32_MIN;\n    }\n", ""),
    M("parse-lower-clamp-at-zero", "src/playback/parse_int32.cpp",
      "if (value < INT32_MIN) {", "if (value < 0) {"),
    M("parse-strtol", "src/playback/parse_int32.cpp", "std::strtoll(", "std::strtol(",
      equivalent="where long is 32 bits strtol clamps at the 32-bit limits, which is where "
                 "the clamps that follow put the value anyway; elsewhere it is strtoll"),
    # The cue reader.
    M("reader-mark-swallows-below", "src/playback/cue_reader.cpp",
      "if (*offset == kNoOffset) {", "if (*offset <= kNoOffset) {"),
    M("reader-empty-codes-played", "src/playback/cue_reader.cpp",
      "return (*codes)[0] != '\\0';", "return true;"),
    M("reader-nine-offset-chars", "src/playback/cue_reader.cpp",
      "constexpr std::size_t kOffsetChars = 8;", "constexpr std::size_t kOffsetChars = 9;"),
    M("reader-no-colon-is-zero", "src/playback/cue_reader.cpp",
      "if (std::strchr(line, ':') == nullptr) {\n        return kNoOffset;",
      "if (std::strchr(line, ':') == nullptr) {\n        return 0;"),
    M("reader-short-pieces", "src/playback/cue_reader.cpp",
      "std::fgets(line, kPieceChars + 1, file)", "std::fgets(line, kPieceChars, file)"),
    M("reader-colon-in-codes", "src/playback/cue_reader.cpp",
      "colon != nullptr ? colon + 1 : line", "colon != nullptr ? colon : line"),
    M("reader-codes-cut-shorter", "src/playback/cue_reader.cpp",
      "strnlen(codes, sizeof buf - 1)", "strnlen(codes, sizeof buf - 2)",
      equivalent="a piece holds at most 254 characters and its codes start after a colon, "
                 "so codes never exceed 253 bytes and the bound is never reached"),
    M("reader-no-terminator", "src/playback/cue_reader.cpp", "    buf[length] = '\\0';\n", ""),
    M("reader-mark-moved", "src/playback/cue_reader.h",
      "kNoOffset = -1000;", "kNoOffset = -999;"),
    # The show clock.
    M("clock-looks-rarely-while-waiting", "src/playback/show_clock.cpp",
      "kCheckEveryMs = 20;", "kCheckEveryMs = 200;"),
    M("clock-looks-rarely-after-writes", "src/playback/show_clock.cpp",
      "kCheckAtLeastEveryMs = 50;", "kCheckAtLeastEveryMs = 500;"),
    M("clock-looks-just-before-a-cue", "src/playback/show_clock.cpp",
      "if (now + 1 < moment && ", "if (now < moment && "),
    M("clock-gone-device-ignored", "src/playback/show_clock.cpp",
      "if (serialCheck(sp) != 0) {", "if (serialCheck(sp) > 0) {"),
    M("clock-write-error-ignored", "src/playback/show_clock.cpp",
      "if (serialPuts(sp, codes) != 0) {", "if (serialPuts(sp, codes) > 0) {"),
    M("clock-no-tick-start", "src/playback/show_clock.cpp",
      "while (now == before && static_cast<std::int64_t>(lastReading) != startTick) {",
      "if (now == before && static_cast<std::int64_t>(lastReading) != startTick) {"),
    M("clock-late-by-a-tick", "src/playback/show_clock.cpp",
      "    while (now < moment) {\n        stopIfAsked();",
      "    while (now <= moment) {\n        stopIfAsked();"),
    M("clock-sleeps-to-the-moment", "src/playback/show_clock.cpp",
      "nanosAt(moment) - wakeMarginNanos;", "nanosAt(moment);"),
    M("clock-never-sleeps", "src/playback/show_clock.cpp",
      "    sleepUntilNanos(wake);\n", ""),
    M("clock-sleeps-past-the-look", "src/playback/show_clock.cpp",
      "        wake = std::min(wake, nanosAt(look));\n", ""),
    M("clock-relative-sleeps", "src/playback/show_clock.cpp",
      "    sleepUntilNanos(wake);\n",
      "    delay(static_cast<unsigned int>((wake - clockNanos()) / 1000000));\n"),
    M("clock-margin-not-learned", "src/playback/show_clock.cpp",
      "        learnWake(woke - wake);\n", ""),
    M("margin-rises-slowly", "src/playback/wake_margin.cpp",
      "    if (wanted >= wakeMarginNanos) {", "    if (wanted >= kWakeMarginMaxNanos) {"),
    M("margin-just-the-lateness", "src/playback/wake_margin.cpp",
      "std::clamp(2 * lateNanos,", "std::clamp(lateNanos,"),
    M("margin-forgets-at-once", "src/playback/wake_margin.cpp",
      "kForgetFraction = 32;", "kForgetFraction = 1;"),
    M("margin-no-floor", "src/playback/wake_margin.h",
      "kWakeMarginMinNanos = 50000;", "kWakeMarginMinNanos = 0;"),
    M("margin-no-ceiling", "src/playback/wake_margin.h",
      "kWakeMarginMaxNanos = 2000000;", "kWakeMarginMaxNanos = 20000000;"),
    M("time-default-timer-slack", "src/board/clock.cpp",
      "    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);\n", ""),
    M("time-tick-wraps-backwards", "src/board/clock.cpp",
      "(ticks + static_cast<std::int32_t>(reading - current))",
      "(ticks - current + reading)"),
    M("clock-negative-base-kept", "src/playback/show_clock.cpp",
      "if (ShowOffset < 0) {", "if (ShowOffset == -1) {"),
    M("clock-no-wrap", "src/playback/show_clock.cpp",
      "widened = widened < 0 ? reading : widened + static_cast<std::int32_t>(reading - lastReading);",
      "widened = reading;"),
    M("clock-32-bit-due", "src/playback/show_clock.cpp",
      "return static_cast<std::int64_t>(offset) - ShowOffset;",
      "return static_cast<std::int64_t>(offset - ShowOffset);"),
    M("clock-no-look-after-writes", "src/playback/show_clock.cpp",
      "    if (now - lastCheck >= kCheckAtLeastEveryMs) {\n        checkPort(now);\n    }\n", ""),
    M("clock-exit-status-zero", "src/playback/show_clock.cpp",
      "void deviceGone() {\n    std::puts(\"couldn't write to serial\");\n    std::exit(1);",
      "void deviceGone() {\n    std::puts(\"couldn't write to serial\");\n    std::exit(0);"),
    # Clock and sleep.
    M("time-tenth-milliseconds", "src/board/clock.cpp",
      "((monotonicNs() - g_setupNs) / kNanosPerMilli)", "((monotonicNs() - g_setupNs) / 100000)"),
    M("time-delay-in-microseconds", "src/board/clock.cpp",
      "static_cast<std::int64_t>(ms) * kNanosPerMilli;", "static_cast<std::int64_t>(ms) * 1000;"),
    # The start moment (-t).
    M("start-tick-ignored", "src/playback/show_clock.cpp",
      "while (now == before && static_cast<std::int64_t>(lastReading) != startTick) {",
      "while (now == before) {"),
    M("start-passed-goes-on", "src/command_line.cpp",
      "    if (tick < 0) {\n        std::puts(\"start time has passed\");\n        return false;",
      "    if (tick < 0) {\n        std::puts(\"start time has passed\");\n        return true;",
      equivalent="the moment was compared with the wall clock just before (joinLoop); the wait "
                 "finds it passed only if it passed in the nanoseconds between, and then the "
                 "show starts on the next tick either way"),
    M("start-not-a-delay", "src/command_line.cpp", "startTick = tick;\n    return true;",
      "startTick = tick;\n    return false;"),
    M("start-passed-without-period-goes-on", "src/command_line.cpp",
      "    if (passPeriod == 0) {\n        return false;\n    }",
      "    if (passPeriod == 0) {\n        return true;\n    }"),
    M("start-last-not-waited-for", "src/command_line.cpp",
      "startMoment = moment;", "startMoment = -1;"),
    M("start-cueless-show-ends-early", "src/playback/passes.cpp",
      "        endPass(count == 0 || pass + 1 < count);\n", ""),
    M("start-deferred-passed-plays", "src/playback/show_clock.cpp",
      "    if (tick < 0) {\n        std::puts(\"start time has passed\");\n        std::exit(1);\n    }\n",
      ""),
    M("start-every-fourth-year-leap", "src/start_time.cpp",
      "return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;", "return year % 4 == 0;"),
    M("start-fraction-tenfold", "src/start_time.cpp",
      "std::int64_t scale = kNanosPerSecond / 10;", "std::int64_t scale = kNanosPerSecond;"),
    M("start-fraction-may-be-empty", "src/start_time.cpp",
      "    return *text != first;\n", "    return true;\n"),
    M("start-february-always-28", "src/start_time.cpp",
      "return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];", "return kDays[month - 1];"),
    # The serial port.
    M("serial-partial-write-rest-dropped", "src/board/serial.cpp",
      "left -= static_cast<std::size_t>(written);", "left = 0;"),
    M("serial-partial-write-repeats", "src/board/serial.cpp",
      "            next += written;\n", ""),
    M("serial-write-error-ignored", "src/board/serial.cpp",
      "return -1;  // the device went away", "return 0;  // the device went away"),
    M("serial-hang-up-check-skipped", "src/board/serial.cpp",
      "return discardInput(handle) ? 0 : -1;", "return discardInput(handle) ? 0 : 0;"),
    M("serial-drain-skipped", "src/board/serial.cpp",
      "const bool drained = drainOutput(handle, 0);", "const bool drained = handle >= 0;"),
    M("serial-drain-failure-ignored", "src/board/serial.cpp",
      "return drained ? 0 : -1;", "return drained ? 0 : 0;"),
    M("serial-shared-lock", "src/board/serial.cpp",
      "flock(fd, LOCK_EX | LOCK_NB)", "flock(fd, LOCK_SH | LOCK_NB)"),
    M("serial-lock-not-taken", "src/board/serial.cpp",
      "    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {\n        return false;\n    }\n", ""),
    M("serial-exclusive-not-set", "src/board/serial.cpp",
      "    if (ioctl(fd, TIOCEXCL) != 0) {\n        return false;\n    }\n", ""),
    M("serial-exclusive-holder-ignored", "src/board/serial.cpp",
      "    if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {\n        return false;\n    }\n",
      ""),
    M("serial-clears-other-holders-exclusive", "src/board/serial.cpp",
      "        close(fd);  // never clear another holder's TIOCEXCL",
      "        ioctl(fd, TIOCNXCL);\n        close(fd);"),
    M("serial-exclusive-kept-after-close", "src/board/serial.cpp",
      "    if (fd == g_exclusivePort) {\n        giveUpExclusiveMode();\n    }\n", ""),
    M("serial-exclusive-kept-at-exit", "src/board/serial.cpp",
      "static const bool registered = std::atexit(giveUpExclusiveMode) == 0;",
      "static const bool registered = true;"),
    M("serial-rate-check-off", "src/board/serial.cpp",
      "!configureRaw(fd, baud) || !rateIsMade(fd, baud) ||", "!configureRaw(fd, baud) ||"),
    M("serial-rate-lower-accepted", "src/board/serial.cpp",
      "(off < 0 ? -off : off) * 100", "off * 100"),
    M("serial-rate-tolerance-wide", "src/board/serial.cpp",
      "* 100 <= 3LL * baud", "* 100 <= 30LL * baud"),
    M("serial-rate-tolerance-exclusive", "src/board/serial.cpp",
      "* 100 <= 3LL * baud", "* 100 < 3LL * baud"),
    M("serial-seven-bits", "src/board/serial.cpp",
      "tio.c_cflag |= CS8 | CLOCAL | CREAD;", "tio.c_cflag |= CS7 | CLOCAL | CREAD;"),
    M("serial-software-flow-control", "src/board/serial.cpp",
      "tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);",
      "tio.c_iflag |= static_cast<tcflag_t>(IXON | IXOFF);"),
    M("serial-rate-table-typo", "src/board/serial.cpp", "{9600, B9600}", "{9600, B19200}"),
    M("serial-input-kept-at-open", "src/board/serial.cpp",
      "!rateIsMade(fd, baud) || !discardInput(fd)", "!rateIsMade(fd, baud)"),
    M("serial-custom-rate-not-set", "src/board/serial.cpp",
      "return tcsetattr(fd, TCSANOW, &tio) == 0 && setCustomRate(fd, baud);",
      "return tcsetattr(fd, TCSANOW, &tio) == 0;"),
    M("rate-old-code-kept", "src/board/serial_rate.cpp",
      "    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));\n", ""),
    M("rate-output-speed-wrong", "src/board/serial_rate.cpp",
      "tio.c_ospeed = static_cast<speed_t>(baud);", "tio.c_ospeed = static_cast<speed_t>(baud / 10);"),
    M("rate-report-fails", "src/board/serial_rate.cpp",
      "return static_cast<long>(tio.c_ospeed);", "return 0;"),
    M("wait-stall-bound-short", "src/board/serial_wait.cpp",
      "} else if (now - *stalledSinceMs >= kSerialStallSeconds * 1000LL) {",
      "} else if (now - *stalledSinceMs >= kSerialStallSeconds * 100LL) {"),
    M("wait-stall-start-never-set", "src/board/serial_wait.cpp",
      "if (*stalledSinceMs == 0) {", "if (*stalledSinceMs < 0) {"),
    M("wait-discards-output", "src/board/serial_wait.cpp",
      "bool discardInput(int fd) { return tcflush(fd, TCIFLUSH) == 0; }",
      "bool discardInput(int fd) { return tcflush(fd, TCOFLUSH) == 0; }"),
    M("wait-hang-up-in-poll-ignored", "src/board/serial_wait.cpp",
      "return (port.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;", "return true;",
      equivalent="after a hang-up the next write() fails with EIO at once, which ends the "
                 "run the same way; the poll result only saves that call"),
    M("wait-drain-hang-up-test", "src/board/serial_wait.cpp",
      "if (last < 0 || !discardInput(fd)) {", "if (!discardInput(fd)) {",
      equivalent="TIOCOUTQ fails only on a hung-up port, where the input flush fails too"),
    M("board-stall-bound", "src/board/board.h",
      "kSerialStallSeconds = 10;", "kSerialStallSeconds = 1;"),
    # Stops by signal.
    M("stop-signals-not-caught", "src/main.cpp", "    catchStopSignals();\n", ""),
    M("stop-not-looked-for-after-a-write", "src/playback/show_clock.cpp",
      "    sendCodes(codes);\n    stopIfAsked();", "    sendCodes(codes);"),
    M("stop-not-looked-for-while-waiting", "src/playback/show_clock.cpp",
      "        stopIfAsked();\n        if (now + 1 < moment", "        if (now + 1 < moment"),
    M("stop-ends-with-status-zero", "src/board/stop_signal.cpp",
      "    std::raise(signal);\n", "    _exit(0);\n"),
    M("stop-delay-sleeps-on", "src/board/clock.cpp",
      "while (stopSignal() == 0 && monotonicNs() < until) {", "while (monotonicNs() < until) {"),
    M("stop-wall-wait-sleeps-on", "src/board/clock.cpp",
      "        if (stopSignal() != 0) {\n            return -1;\n        }\n", ""),
    # Read errors and standard descriptors.
    M("read-error-ignored", "src/playback/passes.cpp",
      "        if (std::ferror(file) != 0) {\n            return kPassesReadFailed;\n        }\n        endPass(",
      "        endPass("),
    M("read-error-status-zero", "src/command_line.cpp",
      "            std::printf(\"couldn't read file %s\\n\", path);\n            return 1;",
      "            std::printf(\"couldn't read file %s\\n\", path);\n            return 0;"),
    M("main-descriptors-left-closed", "src/main.cpp", "            open(\"/dev/null\", O_RDWR);\n", ""),
    # Repeats.
    M("repeat-count-trailing-junk", "src/repeat.cpp",
      "    if (digit == text || *digit != '\\0') {", "    if (digit == text) {"),
    M("repeat-count-empty-is-zero", "src/repeat.cpp",
      "    if (digit == text || *digit != '\\0') {", "    if (*digit != '\\0') {"),
    M("repeat-count-overflow", "src/repeat.cpp",
      "        if (value > (INT64_MAX - next) / 10) {\n            return false;\n        }\n", ""),
    M("repeat-period-zero", "src/command_line.cpp", "period <= 0 || ", ""),
    M("repeat-period-unbounded", "src/command_line.cpp", " || period > kLongestPeriodMs", ""),
    M("repeat-period-ignored", "src/playback/show_clock.cpp",
      "passStart += passPeriod > 0 ? passPeriod : passLatest;", "passStart += passLatest;"),
    M("repeat-lateness-carried", "src/playback/show_clock.cpp",
      "passStart += passPeriod > 0 ? passPeriod : passLatest;",
      "passStart = clockNow() + (passPeriod > 0 ? passPeriod - passLatest : 0);"),
    M("repeat-last-cue-not-latest", "src/playback/show_clock.cpp",
      "passLatest = std::max(passLatest, due);", "passLatest = due;"),
    M("repeat-base-kept", "src/playback/show_clock.cpp",
      "    passHasCue = false;\n    ShowOffset = -1;", "    passHasCue = false;"),
    M("repeat-fifo-allowed", "src/command_line.cpp",
      "if (repeatCount != 1 && !canReadAgain(fp)) {", "if (repeatCount < 0 && !canReadAgain(fp)) {"),
    M("repeat-file-not-rewound", "src/playback/passes.cpp", "            std::rewind(file);\n", ""),
    M("join-rounds-down", "src/repeat.cpp",
      "return static_cast<std::int64_t>(behind / period + (rest + period - 1) / period);",
      "return static_cast<std::int64_t>(behind / period + rest / period);"),
    M("join-without-lead", "src/repeat.cpp",
      "const std::uint64_t rest = behind % period + kJoinLeadNanos;",
      "const std::uint64_t rest = behind % period;"),
    M("join-passes-left-unchecked", "src/command_line.cpp",
      "    if (repeatCount != 0 && pass >= repeatCount) {\n        return false;\n    }\n", ""),
    M("join-count-not-reduced", "src/command_line.cpp", "        repeatCount -= pass;\n", ""),
    # Triggers.
    M("trigger-counts-from-when-seen", "src/playback/show_clock.cpp",
      "passStart = now - static_cast<std::int32_t>(lastReading - tick);", "passStart = now;"),
    M("trigger-pass-needs-none", "src/playback/show_clock.cpp",
      "        passWaitsForTrigger = true;\n        triggerNotBefore", "        triggerNotBefore"),
    M("trigger-period-ignored", "src/playback/show_clock.cpp",
      "triggerNotBefore = std::max(passEndNanos, passStartNanos + passPeriod * 1000000);",
      "triggerNotBefore = passEndNanos;"),
    M("trigger-kept-during-a-pass", "src/playback/show_clock.cpp",
      "        triggerDiscard(triggerSource);\n        passEndNanos", "        passEndNanos"),
    M("trigger-kept-from-before-the-wait", "src/board/trigger.cpp",
      "    takeTrigger(g_source, INT64_MAX);\n    return g_source;", "    return g_source;"),
    M("trigger-line-kept-during-a-pass", "src/board/trigger.cpp",
      "    if (!g_isGpio) {\n        takeTrigger(trigger", "    if (g_isGpio) {\n        takeTrigger(trigger"),
    M("trigger-end-of-input-ignored", "src/playback/show_clock.cpp",
      "        if (got == kTriggerEnded) {\n            return false;\n        }\n", ""),
    M("trigger-port-not-watched", "src/board/trigger.cpp",
      "if (port != -1 && serialCheck(port) != 0) {", "if (port == -2) {"),
    M("trigger-source-unknown-taken", "src/board/trigger.cpp",
      "    } else {\n        return kTriggerInvalid;\n    }", "    }"),
    M("trigger-gpio-empty-name", "src/board/gpio_line.cpp",
      "        return text[0] != '\\0';", "        return true;"),
    M("trigger-gpio-unknown-option", "src/board/gpio_line.cpp",
      "    } else {\n        return false;\n    }\n    return true;\n}", "    }\n    return true;\n}"),
    M("trigger-gpio-debounce-empty", "src/board/gpio_line.cpp",
      "if (digit == text || *digit != '\\0' || number > most) {",
      "if (*digit != '\\0' || number > most) {"),
    # The device wait at boot.
    M("device-wait-on-the-wall-clock", "src/boot/device_wait.cpp",
      "clock_gettime(CLOCK_MONOTONIC, &now);", "clock_gettime(CLOCK_REALTIME, &now);"),
    M("device-wait-node-there-is-enough", "src/boot/device_wait.cpp",
      "if (access(path, R_OK | W_OK) == 0) {", "if (access(path, F_OK) == 0) {"),
    # The show checker.
    M("escape-backslash-raw", "src/check/escape.cpp",
      "        } else if (ch == '\\\\') {\n            shown += \"\\\\\\\\\";\n", ""),
    M("escape-delete-raw", "src/check/escape.cpp", "byte >= 0x7f", "byte > 0x7f"),
    M("escape-unit-separator-raw", "src/check/escape.cpp", "byte < 0x20", "byte < 0x1f"),
    M("escape-lower-case-hex", "src/check/escape.cpp", '"\\\\x%02X"', '"\\\\x%02x"'),
    M("escape-carriage-return-as-hex", "src/check/escape.cpp",
      "        } else if (ch == '\\r') {\n            shown += \"\\\\r\";\n", ""),
    M("check-blank-piece-silent", "src/check/show_check.cpp",
      "if (piece_ > 0 || !isBlank(line)) {", "if (!isBlank(line)) {"),
    M("check-same-moment-warned", "src/check/show_check.cpp",
      "if (!first && due < latest_) {", "if (!first && due <= latest_) {"),
    M("check-early-cue-moment", "src/check/show_check.cpp",
      "latest_ = first ? due : std::max(latest_, due);", "latest_ = due;"),
    M("check-bits-per-byte", "src/check/show_check.cpp",
      "const double needMs = static_cast<double>(bytes) * 10 * 1000 / baud_;",
      "const double needMs = static_cast<double>(bytes) * 8 * 1000 / baud_;"),
    M("check-line-time-boundary", "src/check/show_check.cpp",
      "if (needMs > static_cast<double>(gap)) {", "if (needMs >= static_cast<double>(gap)) {"),
    M("check-column-count", "src/check/show_check.cpp",
      "column_ += length;", "column_ += length + 1;"),
    M("check-zero-byte-count", "src/check/show_check.cpp",
      "std::to_string(length - textLength - 1)", "std::to_string(length - textLength)"),
    M("check-base-carried-over", "src/check/show_check.cpp",
      "        ShowOffset = -1;  // every file is a show of its own\n", ""),
    M("check-beyond-limit-below", "src/check/show_check.cpp",
      "if (value > INT32_MAX || value < INT32_MIN) {", "if (value > INT32_MAX) {",
      equivalent="eight characters hold at most -fffffff below zero, far above the 32-bit limit"),
    M("check-crlf-missed", "src/check/show_check.cpp",
      'std::strcmp(codes + codesLength - 2, "\\r\\n") == 0',
      'std::strcmp(codes + codesLength - 1, "\\n") == 0'),
    M("check-main-rows-when-quiet", "src/check/check_main.cpp",
      "} else if (!quiet) {", "} else {"),
    M("check-main-status-two-lost", "src/check/check_main.cpp",
      "if (check.warnings > 0 && status == 0) {", "if (check.warnings > 0) {"),
    M("check-main-baud-trailing-junk", "src/check/check_main.cpp",
      "return *end == '\\0' && *value > 0", "return *value > 0"),
    M("check-main-name-for-one-file", "src/check/check_main.cpp",
      "if (files.size() > 1) {", "if (!files.empty()) {"),
    M("check-offset-field-unchecked", "src/check/show_check.cpp",
      "} else if (!isWholeNumber(field)) {", "} else if (field.empty()) {"),
    M("check-byte-order-mark-not-named", "src/check/show_check.cpp",
      "if (lineNo_ == 1 && piece_ == 0 && field.compare(0, 3, kByteOrderMark) == 0) {",
      "if (lineNo_ == 0) {"),
    M("check-offset-sign-refused", "src/check/show_check.cpp",
      "if (at < field.size() && (field[at] == '+' || field[at] == '-')) {",
      "if (at < field.size() && field[at] == '+') {"),
    M("check-period-boundary", "src/check/show_check.cpp",
      "if (periodMs_ > 0 && latest_ >= periodMs_) {", "if (periodMs_ > 0 && latest_ > periodMs_) {"),
    M("check-main-summary-baud-always", "src/check/check_main.cpp",
      "    if (baud > 0) {\n        std::printf(\", %.1f ms",
      "    if (baud >= 0) {\n        std::printf(\", %.1f ms"),
    M("check-main-warnings-always-plural", "src/check/check_main.cpp",
      'check.warnings == 1 ? "warning" : "warnings"', '"warnings"'),
    M("check-no-pause-without-endless", "src/check/show_check.cpp",
      "if (endless_ && periodMs_ <= 0 && longest <= 0) {", "if (periodMs_ <= 0 && longest <= 0) {"),
    M("check-no-pause-despite-period", "src/check/show_check.cpp",
      "if (endless_ && periodMs_ <= 0 && longest <= 0) {", "if (endless_ && longest <= 0) {"),
    M("check-empty-show-unsaid", "src/check/show_check.cpp",
      '            warnAt(lineNo_, "no cue in the file: the show plays nothing");\n', ""),
    # Where the new options meet.
    M("loop-without-pause-allowed", "src/command_line.cpp",
      "if (repeatCount == 0 && passPeriod == 0 && !triggerGiven && !passTakesTime(fp)) {",
      "if (false) {"),
    M("loop-without-pause-refused-with-trigger", "src/command_line.cpp",
      "if (repeatCount == 0 && passPeriod == 0 && !triggerGiven && !passTakesTime(fp)) {",
      "if (repeatCount == 0 && passPeriod == 0 && !passTakesTime(fp)) {"),
    M("loop-without-pause-refused-for-a-count", "src/command_line.cpp",
      "if (repeatCount == 0 && passPeriod == 0 && !triggerGiven && !passTakesTime(fp)) {",
      "if (repeatCount != 1 && passPeriod == 0 && !triggerGiven && !passTakesTime(fp)) {"),
    M("pass-length-counts-equal-moments", "src/playback/passes.cpp",
      "later = dueOf(offset) > 0;", "later = dueOf(offset) >= 0;"),
    M("pass-length-empty-show-refused", "src/playback/passes.cpp",
      "return later || !any || failed;", "return later || failed;"),
    M("pass-without-length-loops-on", "src/playback/passes.cpp",
      "if (count == 0 && passTakesNoTime()) {", "if (false) {"),
    M("pass-without-length-empty-fails", "src/playback/passes.cpp",
      "return hasCue ? kPassesWithoutPause : kPassesPlayed;", "return kPassesWithoutPause;"),
    M("pass-without-length-despite-trigger", "src/playback/show_clock.cpp",
      "return passPeriod == 0 && triggerSource < 0 && passLatest <= 0;",
      "return passPeriod == 0 && passLatest <= 0;"),
    M("no-trigger-is-success", "src/playback/passes.cpp",
      "return pass == 0 ? kPassesNoTrigger : kPassesPlayed;", "return kPassesPlayed;"),
    M("trigger-before-start-moment-waited", "src/command_line.cpp",
      "if (!startMomentAfter && !(lastToAct", "if (!(lastToAct"),
    M("start-moment-deferred-with-trigger", "src/command_line.cpp",
      "if (lastToAct && sp != -1 && fileReady && !triggerGiven && passPeriod == 0) {",
      "if (lastToAct && sp != -1 && fileReady && passPeriod == 0) {"),
    M("trigger-in-walk-counts-from-trigger", "src/command_line.cpp",
      "            startAtTriggerTick();\n", ""),
    M("help-among-other-words", "src/command_line.cpp",
      "if (argc == 2 && (std::strcmp(argv[1], \"-h\")", "if (argc >= 2 && (std::strcmp(argv[1], \"-h\")"),
    M("step-rejoin-keeps-passes-used", "src/command_line.cpp",
      "        repeatCount = countGiven;\n", ""),
    M("step-starts-where-it-was", "src/command_line.cpp",
      "        moment = given;\n        repeatCount", "        repeatCount"),
    M("step-while-polling-unseen", "src/board/clock.cpp",
      "kStepNanos = 20 * kNanosPerMilli;", "kStepNanos = 2000 * kNanosPerMilli;"),
    M("step-preemption-taken-for-a-step", "src/board/clock.cpp",
      "return after - before < kNanosPerMilli;", "return true;"),
    M("step-while-asleep-unseen", "src/board/clock.cpp",
      "           errno == ECANCELED;", "           errno == EINTR;"),
    M("stop-waits-the-stall-bound", "src/board/serial_wait.cpp",
      "now - *stoppedSinceMs >= kStopDrainMs", "now - *stoppedSinceMs >= kSerialStallSeconds * 1000LL"),
    M("stop-in-a-write-is-a-failure", "src/playback/show_clock.cpp",
      "        // A write that a stop cut short ends by the signal, not as a failure.\n"
      "        stopIfAsked();\n", ""),
    M("fatal-signals-keep-exclusive-mode", "src/board/serial.cpp",
      "static const bool caught = (giveUpOnFatalSignals(), true);", "static const bool caught = true;"),
    M("stdin-carriage-return-no-line-end", "src/board/trigger.cpp",
      "lines += byte == '\\r' || (byte == '\\n' && !g_afterCarriageReturn) ? 1 : 0;",
      "lines += byte == '\\n' ? 1 : 0;"),
    M("stdin-cr-lf-two-lines", "src/board/trigger.cpp",
      "(byte == '\\n' && !g_afterCarriageReturn)", "byte == '\\n'"),
    # Trigger cooldowns, edges read after their pass, the line request.
    M("trigger-period-from-pass-end", "src/playback/show_clock.cpp",
      "passStartNanos + passPeriod * 1000000", "passEndNanos + passPeriod * 1000000"),
    M("trigger-period-from-when-seen", "src/playback/show_clock.cpp",
      "        countPassFrom(tick, at);\n", "        countPassFrom(tick, clockNanos());\n"),
    M("trigger-edge-during-pass-starts-next", "src/playback/show_clock.cpp",
      "std::max(passEndNanos, passStartNanos + passPeriod * 1000000)",
      "passStartNanos + passPeriod * 1000000"),
    M("stdin-line-in-cooldown-kept", "src/board/trigger.cpp",
      "return now >= notBeforeNanos ? now : -1;", "return now >= notBeforeNanos ? now : notBeforeNanos;"),
    M("gpio-edge-before-moment-taken", "src/board/gpio_line.cpp",
      "if (at >= notBeforeNanos) {", "if (at >= 0) {"),
    M("gpio-edges-read-once", "src/board/gpio_line.cpp",
      "while (count == sizeof events / sizeof events[0]) {",
      "for (int once = 0; once < 1; ++once) {"),
    M("gpio-default-edge-falling", "src/board/gpio_line.cpp",
      "std::uint64_t edges = GPIO_V2_LINE_FLAG_EDGE_RISING;",
      "std::uint64_t edges = GPIO_V2_LINE_FLAG_EDGE_FALLING;"),
    M("gpio-pull-up-pulls-down", "src/board/gpio_line.cpp",
      "*bias = GPIO_V2_LINE_FLAG_BIAS_PULL_UP;", "*bias = GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN;"),
    M("gpio-debounce-in-milliseconds", "src/board/gpio_line.cpp",
      "wanted->debounceUs = ms * 1000;", "wanted->debounceUs = ms;"),
    M("gpio-debounce-for-no-line", "src/board/gpio_line.cpp",
      "request->config.attrs[0].mask = 1;", "request->config.attrs[0].mask = 0;"),
    M("gpio-line-not-an-input", "src/board/gpio_line.cpp",
      "GPIO_V2_LINE_FLAG_INPUT | edges | bias", "edges | bias"),
    M("stop-held-up-by-a-read", "src/board/stop_signal.cpp",
      "    action.sa_flags = 0;\n", "    action.sa_flags = SA_RESTART;\n"),
    M("device-wait-unopenable-node-not-started", "src/boot/wait_for_device.cpp",
      "ORV_SECOND_DEVICE, limit) == DeviceFound::kNone) {",
      "ORV_SECOND_DEVICE, limit) != DeviceFound::kUsable) {"),
    M("device-wait-unopenable-named-node-not-started", "src/boot/wait_for_device.cpp",
      "waitForDevice(device, device, limit) == DeviceFound::kNone) {",
      "waitForDevice(device, device, limit) != DeviceFound::kUsable) {"),
    # The device -s names.
    M("device-wait-named-device-ignored", "src/boot/wait_for_device.cpp",
      "    if (device != nullptr) {\n", "    if (false) {\n"),
    M("named-device-ignored", "src/command_line.cpp",
      "const char* device = namedDevice != nullptr ? namedDevice : kFirstDevice;",
      "const char* device = kFirstDevice;"),
    M("named-device-falls-back", "src/command_line.cpp",
      "    if (sp == -1 && namedDevice == nullptr) {", "    if (sp == -1) {"),
    M("named-device-first-counts", "src/command_line.cpp",
      "            namedDevice = argv[i + 1];",
      "            namedDevice = namedDevice != nullptr ? namedDevice : argv[i + 1];"),
    # Telling systemd the state, and keeping its watchdog alive.
    M("notify-never-alive", "src/board/service_notify.cpp", '        send("WATCHDOG=1");', ""),
    M("notify-alive-once-an-interval", "src/board/service_notify.cpp",
      "watchdogMicros() * 1000 / kAliveFraction;", "watchdogMicros() * 1000;"),
    M("notify-watchdog-pid-ignored", "src/board/service_notify.cpp",
      "(pid != nullptr && std::strtoll", "(false && std::strtoll"),
    M("notify-unset-pid-not-ours", "src/board/service_notify.cpp",
      "(pid != nullptr && std::strtoll", "(pid == nullptr || std::strtoll"),
    M("sleep-not-woken-for-the-watchdog", "src/board/clock.cpp",
      "poll(wake, 2, serviceAliveWithinMs());", "poll(wake, 2, -1);"),
    M("trigger-wait-silent", "src/board/trigger.cpp",
      "        serviceAlive();\n        const std::int64_t left", "        const std::int64_t left"),
    M("clock-waits-silent", "src/playback/show_clock.cpp",
      "    lastCheck = now;\n    serviceAlive();\n", "    lastCheck = now;\n"),
    M("device-wait-looks-too-rarely-for-the-watchdog", "src/boot/device_wait.cpp",
      "alive > 0 && alive < kLookAgainMs ? alive : kLookAgainMs;", "kLookAgainMs;"),
    M("device-wait-never-waits-for-the-sound", "src/boot/wait_for_device.cpp",
      "if (sound != nullptr && !waitForSound(sound, limit, began)) {",
      "if (false && sound != nullptr && !waitForSound(sound, limit, began)) {"),
    M("device-wait-holds-back-a-sound-name-it-cannot-read", "src/boot/device_wait.cpp",
      "    if (named < 0) {\n        return DeviceFound::kUsable;",
      "    if (named < 0) {\n        return DeviceFound::kNone;"),
    M("device-wait-names-one-device-twice", "src/boot/wait_for_device.cpp",
      "if (std::strcmp(first, second) == 0) {", "if (std::strcmp(first, second) != 0) {"),
    M("state-no-pass-line", "src/playback/show_clock.cpp",
      "            stateSendPending(now);\n        }\n        sleepTowards(", "        }\n        sleepTowards("),
    M("state-next-pass-without-period", "src/playback/show_state.cpp",
      "(passStart + passPeriod - now) * 1000000", "(passStart - now) * 1000000"),
    M("state-moment-rounded-down", "src/playback/show_state.cpp",
      "(unixNanos + kNanosPerSecond / 2) / kNanosPerSecond", "unixNanos / kNanosPerSecond"),
    M("state-last-pass-has-a-next", "src/playback/show_state.cpp",
      "passesBegun < passesInShow;", "passesBegun <= passesInShow;"),
    M("state-no-count-of-passes", "src/playback/passes.cpp",
      "    passesInShow = count;\n", ""),
    M("state-trigger-wait-forgets-the-passes", "src/playback/show_state.cpp",
      "    if (passesBegun == 0) {", "    if (true) {"),
    M("state-second-device-not-named", "src/command_line.cpp",
      "        device = kSecondDevice;\n", ""),
    # The sound file's header, the sound clock, the soundtrack and the
    # show clock's following of it.
    M("sound-wav-chunk-unpadded", "src/playback/sound_file.cpp", " + (size & 1);", ";"),
    M("sound-wav-extensible-ignored", "src/playback/sound_file.cpp",
      "if (tag == kWavExtensible && size >= 40) {", "if (false) {"),
    M("sound-wav-data-past-its-end", "src/playback/sound_file.cpp",
      "if (size < bytes) {", "if (size > bytes) {"),
    M("sound-flac-bits-one-short", "src/playback/sound_file.cpp",
      "stream[13] >> 4) + 1;", "stream[13] >> 4);"),
    M("sound-mp3-one-header-enough", "src/playback/sound_file.cpp",
      "if (!readMp3Header(head, &second)) {", "if (false) {"),
    M("sound-mp3-xing-ignored", "src/playback/sound_file.cpp",
      "(big32(xing + 4) & 1) != 0", "(big32(xing + 4) & 1) == 2"),
    M("sound-mp3-padding-ignored", "src/playback/sound_file.cpp",
      " + ((head[2] >> 1) & 1);", ";"),
    M("decode-flac-low-bits-kept", "src/playback/flac_decode.cpp",
      "sample >> (bits - 16)", "sample"),
    M("decode-flac-shallow-not-scaled", "src/playback/flac_decode.cpp",
      ": sample * (1 << (16 - bits)));", ": sample);"),
    M("decode-flac-damage-ignored", "src/playback/flac_decode.cpp",
      "static_cast<FlacRead*>(data)->damaged = true;", "(void)data;"),
    M("decode-flac-cut-short-played", "src/playback/sound_decode.cpp",
      "g_decodedFrames != format->frames;", "false;"),
    M("decode-frames-not-counted", "src/playback/sound_decode.cpp",
      "    g_decodedFrames += count;\n", ""),
    M("decode-full-memory-ignored", "src/playback/sound_decode.cpp",
      "        if (n <= 0) {\n            return false;", "        if (n <= 0) {\n            break;"),
    M("decode-mp3-cut-short-played", "src/playback/mp3_decode.cpp",
      "delay >= 0 && frames < told", "false"),
    M("decode-mp3-encoder-delay-kept", "src/playback/mp3_decode.cpp",
      "MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS", "MPG123_REMOVE_FLAGS, MPG123_GAPLESS"),
    M("decode-sound-not-used", "src/playback/soundtrack.cpp",
      "    g_file = decoded;\n", "    g_file = -1;\n"),
    M("sound-clock-latest-reading", "src/playback/sound_clock.cpp",
      "if (g_zeros[at] <= g_zeros[earliest]) {", "if (true) {"),
    M("sound-clock-no-allowance", "src/playback/sound_clock.cpp",
      "* kSlowestPpm / 1000000;", "* 0;"),
    M("sound-clock-one-reading", "src/playback/sound_clock.h",
      "kSoundClockReadings = 64;", "kSoundClockReadings = 1;"),
    M("sound-readings-not-spread", "src/playback/soundtrack.cpp",
      "    g_readDelay = (g_readDelay + kSpreadStep) % kSpreadNanos;\n", ""),
    M("sound-no-skip-ahead", "src/playback/soundtrack.cpp",
      "        g_written += soundSkip(g_out, -queued);\n", ""),
    M("sound-mono-on-one-channel", "src/playback/soundtrack.cpp",
      "const int from = g_format.channels == 1 ? 0 : c;", "const int from = c;"),
    M("sound-24-bit-low-bytes", "src/playback/soundtrack.cpp", " + (bytes - 2);", ";"),
    M("sound-mixed-down-as-first", "src/playback/soundtrack.cpp",
      "sum / g_format.channels", "sum / 1"),
    M("sound-pass-ends-with-its-cues", "src/playback/show_clock.cpp",
      "    waitForSample(end);\n", ""),
    M("sound-next-pass-not-queued", "src/playback/show_clock.cpp",
      "        soundtrackQueueNext(passGridNanos + length * kNanosPerMs);\n", ""),
    M("sound-period-not-cut", "src/playback/show_clock.cpp",
      "passPeriod > 0 ? std::min(soundMs, passPeriod) : soundMs;", "soundMs;"),
    M("sound-opened-never", "src/command_line.cpp", "    return openSound();", "    return true;"),
    M("check-cue-at-sound-end-warned", "src/check/show_check.cpp",
      "latest_ > soundMs_", "latest_ >= soundMs_"),
    M("sound-not-started-ahead-of-the-moment", "src/playback/show_clock.cpp",
      "const bool soundAhead = soundtrackOn() && triggerSource < 0;",
      "const bool soundAhead = false;"),
    M("sound-ahead-plays-at-once", "src/playback/soundtrack.cpp",
      "return startStream(-g_format.frames);", "return startStream(0);"),
    M("check-sound-as-long-as-period-warned", "src/check/show_check.cpp",
      "soundMs_ > periodMs_", "soundMs_ >= periodMs_"),
]


# What every mutant is tested through: when one of these changes, a sample
# no longer speaks for the mutants it leaves out.
HARNESS = ("tests/fake_board.cpp", "tests/fake_board.h", "tests/player_fixture.h",
           "tools/virtual_serial.cpp", "tools/virtual_serial.h")
BASELINE = os.path.join(ROOT, "tools", "mutation-baseline")


def git(*words):
    return subprocess.run(["git", *words], cwd=ROOT, check=True, capture_output=True,
                          text=True).stdout.strip()


def last_release():
    """The newest release tag on HEAD's history, or the baseline commit; and
    whether HEAD is itself a release."""
    tags = git("tag", "--merged", "HEAD", "--sort=-creatordate", "--list", "v*").split()
    if tags:
        return tags[0], tags[0] in git("tag", "--points-at", "HEAD", "--list", "v*").split()
    with open(BASELINE, encoding="utf-8") as f:
        words = [line.split("#")[0].strip() for line in f]
    return next(word for word in words if word)[:12], False


def mutants_at(commit):
    """The mutant list as it stood at commit: {name: (path, old, new)}."""
    try:
        text = git("show", f"{commit}:tools/mutation-test.py")
    except subprocess.CalledProcessError:
        return {}
    space = {"__name__": "mutation_test_then", "__file__": __file__}
    exec(compile(text, "mutation-test.py@" + commit, "exec"), space)  # our own file, as it was
    return {m.name: (m.path, m.old, m.new) for m in space["MUTANTS"]}


def select(mutants, sample):
    """The mutants a run without --all takes, and why, as (chosen, reason)."""
    release, at_release = last_release()
    if at_release:
        return mutants, f"HEAD is the release {release}: every mutant"
    if subprocess.run(["git", "cat-file", "-e", release + "^{commit}"], cwd=ROOT,
                      capture_output=True).returncode != 0:
        return mutants, f"the last release {release} is not in this clone: every mutant"
    changed = set(git("diff", "--name-only", release, "--").split())
    changed |= set(git("ls-files", "--others", "--exclude-standard").split())
    harness = sorted(changed.intersection(HARNESS))
    if harness:
        return mutants, f"the test harness changed since {release} ({', '.join(harness)}): every mutant"
    before = mutants_at(release)
    touched = [m for m in mutants
               if m.path in changed or before.get(m.name) != (m.path, m.old, m.new)]
    rest = sorted((m for m in mutants if m not in touched and not m.equivalent),
                  key=lambda m: zlib.crc32(m.name.encode()))
    chosen = set(m.name for m in touched + rest[:sample])
    return ([m for m in mutants if m.name in chosen],
            f"{len(touched)} of files changed since {release} or new in the list, "
            f"and a sample of {min(sample, len(rest))} of the other {len(rest)}")


def run(cmd, cwd, timeout=None, env=None):
    """Runs `cmd` in its own process group; returns (status or None on timeout, output)."""
    proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, errors="replace", start_new_session=True, env=env)
    try:
        out, _ = proc.communicate(timeout=timeout)
        return proc.returncode, out
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)  # the tests and the players they started
        out, _ = proc.communicate()
        return None, out


def copy_sources(src_dir):
    """Copies the tracked and new files of the tree, rewriting only changed ones."""
    listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                            cwd=ROOT, check=True, capture_output=True).stdout
    for rel in filter(None, listed.decode().split("\0")):
        source = os.path.join(ROOT, rel)
        target = os.path.join(src_dir, rel)
        if not os.path.isfile(source):
            continue
        with open(source, "rb") as f:
            data = f.read()
        if os.path.exists(target):
            with open(target, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(source, target)


def first_failure(output):
    """The first failed test in ctest's output, and how it failed."""
    for line in output.splitlines():
        match = re.search(r"Test\s+#\d+: (\S+) .*?\*{3}(\w+)", line)
        if match:
            return match.group(1), match.group(2)
    return "(unknown test)", "Failed"


class Runner:
    """One copy of the tree, built and tested on its own."""

    def __init__(self, args, index):
        self.args = args
        self.work = os.path.join(os.path.abspath(args.build_dir), f"worker-{index}")
        self.src = os.path.join(self.work, "src")
        self.build = os.path.join(self.work, "build")
        self.tmp = os.path.join(self.work, "tmp")
        self.env = dict(os.environ, TEST_TMPDIR=self.tmp)
        self.jobs = max(1, args.jobs // args.workers)
        self.budgets = [3600.0] * len(STAGES)

    def prepare(self):
        os.makedirs(self.src, exist_ok=True)
        os.makedirs(self.tmp, exist_ok=True)
        copy_sources(self.src)
        if not os.path.exists(os.path.join(self.build, "CMakeCache.txt")):
            # Each mutant rebuilds what its file touches: Ninja finds that at
            # once where make scans every target, gold links the test programs
            # several times faster, and without debug information there is
            # less to link (about 1.5 s a mutant against 7 s).
            generator = "Ninja" if shutil.which("ninja") else "Unix Makefiles"
            options = ["-DCMAKE_BUILD_TYPE=Release"]
            if shutil.which("ld.gold"):
                options.append("-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=gold")
            status, out = run(["cmake", "-S", self.src, "-B", self.build, "-G", generator,
                               "-DCMAKE_CXX_COMPILER=g++", *options], ROOT)
            if status != 0:
                sys.exit("configure failed:\n" + out)

    def make(self):
        return run(["cmake", "--build", self.build, "-j", str(self.jobs), "--target",
                    *TEST_TARGETS], ROOT)

    def suite(self, budgets):
        """Runs the suite stage by stage, each within its budget in seconds.

        Returns (verdict, test, seconds for each stage run)."""
        spent = []
        for selection, budget in zip(STAGES, budgets):
            start = time.monotonic()
            status, out = run(["ctest", "--test-dir", self.build, "--stop-on-failure",
                               *selection], ROOT, timeout=budget, env=self.env)
            spent.append(time.monotonic() - start)
            if status is None:
                running = re.findall(r"Start\s+\d+: (\S+)", out)
                return "timed out", running[-1] if running else "?", spent
            if status != 0:
                test, how = first_failure(out)
                return ("timed out" if how == "Timeout" else "killed"), test, spent
        return "survived", "", spent

    def mutate(self, mutant):
        path = os.path.join(self.src, mutant.path)
        with open(path, encoding="utf-8") as f:
            original = f.read()
        count = original.count(mutant.old)
        if count != 1:
            return "error", f"snippet found {count} times in {mutant.path}", 0.0
        with open(path, "w", encoding="utf-8") as f:
            f.write(original.replace(mutant.old, mutant.new))
        try:
            status, out = self.make()
            if status != 0:
                return "error", "does not compile: " + out[-300:].replace("\n", " "), 0.0
            verdict, test, spent = self.suite(self.budgets)
            return verdict, test, sum(spent)
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "mutation"))
    parser.add_argument("--jobs", type=int, default=2, help="build jobs, shared by the workers")
    parser.add_argument("--workers", type=int, default=2,
                        help="mutants run at once, each on a copy of the tree of its own")
    parser.add_argument("--goal", type=float, default=95.0, help="least kill rate, percent")
    parser.add_argument("--least-budget", type=float, default=20,
                        help="seconds each stage of the suite may take at least, with a mutant "
                             "(default 20; otherwise three times its clean run)")
    parser.add_argument("--only", nargs="*", help="mutant names to run")
    parser.add_argument("--all", action="store_true", help="every mutant (before a release)")
    parser.add_argument("--sample", type=int, default=30,
                        help="mutants of unchanged files that run besides the changed ones")
    parser.add_argument("--list", action="store_true", help="print the mutants and stop")
    args = parser.parse_args()

    names = [m.name for m in MUTANTS]
    duplicates = {n for n in names if names.count(n) > 1}
    if duplicates:
        sys.exit("mutant names used twice: " + ", ".join(sorted(duplicates)))
    if args.list:
        for m in MUTANTS:
            print(f"{m.name:42} {m.path}" + ("  (equivalent)" if m.equivalent else ""))
        print(f"{len(MUTANTS)} mutants, {sum(1 for m in MUTANTS if m.equivalent)} equivalent")
        return 0
    if args.only:
        chosen = [m for m in MUTANTS if m.name in args.only]
    elif args.all:
        chosen = MUTANTS
    else:
        chosen, why = select(MUTANTS, args.sample)
        print(f"{len(chosen)} of {len(MUTANTS)} mutants: {why}", flush=True)

    began = time.monotonic()
    runners = [Runner(args, index) for index in range(args.workers)]
    for runner in runners:
        runner.prepare()
        status, out = runner.make()
        if status != 0:
            sys.exit("the unmutated tree does not build:\n" + out)
    verdict, test, spent = runners[0].suite(runners[0].budgets)
    if verdict != "survived":
        sys.exit(f"the suite fails without any mutant ({test}); fix that first")
    # A stage that takes far longer than without a mutant hangs; the workers
    # share the cores, so each stage is allowed more time.
    share = 1 + 0.5 * (args.workers - 1)
    budgets = [max(args.least_budget, 3 * seconds * share) for seconds in spent]
    for runner in runners:
        runner.budgets = budgets
    print(f"clean run: the suite passes in {sum(spent):.0f} s; stage budgets "
          + ", ".join(f"{budget:.0f}" for budget in budgets) + " s", flush=True)

    results = {}
    todo = queue.Queue()
    for m in chosen:
        if m.equivalent:
            results[m.name] = "equivalent"
            print(f"{'equivalent':10} {m.name:42} {m.equivalent}", flush=True)
        else:
            todo.put(m)
    lock = threading.Lock()

    def work(runner):
        while True:
            try:
                m = todo.get_nowait()
            except queue.Empty:
                return
            verdict, detail, seconds = runner.mutate(m)
            with lock:
                results[m.name] = verdict
                print(f"{verdict:10} {m.name:42} {detail} ({seconds:.0f} s)", flush=True)

    threads = [threading.Thread(target=work, args=(runner,)) for runner in runners]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    # Leave the scratch trees built as they are in the source tree.
    for runner in runners:
        runner.make()

    counts = {v: sum(1 for r in results.values() if r == v)
              for v in ("killed", "timed out", "survived", "equivalent", "error")}
    counted = counts["killed"] + counts["timed out"] + counts["survived"]
    rate = 100.0 * (counts["killed"] + counts["timed out"]) / counted if counted else 0.0
    print(f"\n{len(results)} mutants: {counts['killed']} killed, {counts['timed out']} timed out, "
          f"{counts['survived']} survived, {counts['equivalent']} equivalent, "
          f"{counts['error']} errors; {time.monotonic() - began:.0f} s")
    print(f"kill rate: {rate:.1f}% of {counted} non-equivalent mutants (goal {args.goal:g}%)")
    if counts["error"]:
        print("FAILED: mutants with errors (see above)")
        return 1
    if rate < args.goal:
        print("FAILED: kill rate below the goal")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
