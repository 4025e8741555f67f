// The command-line walk and the run in this process, on the fake board: the
// repeat settings, joining a loop that began at a moment already past, and
// a cue file whose reading fails partway (fdopen is wrapped at link time,
// so that the file the player opens can fail after a given number of bytes).
#include "command_line.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "board/board.h"
#include "fake_board.h"
#include "fake_sound.h"
#include "gtest/gtest.h"
#include "playback/show_clock.h"
#include "playback/soundtrack.h"
#include "wav_bytes.h"

namespace {

const std::string kUploadDir = ORV_UPLOAD_DIR;
constexpr std::int64_t kSecond = 1000000000;

// With 0 or more, the next file the player opens fails to read after that
// many bytes, as a failing SD card does.
long g_failAfter = -1;

struct FailingFile {
    int fd;
    long left;
};

ssize_t readFailing(void* cookie, char* into, std::size_t size) {
    auto* file = static_cast<FailingFile*>(cookie);
    if (file->left <= 0) {
        errno = EIO;
        return -1;
    }
    const std::size_t most = std::min(size, static_cast<std::size_t>(file->left));
    const ssize_t got = read(file->fd, into, most);
    file->left -= got > 0 ? got : 0;
    return got;
}

int closeFailing(void* cookie) {
    auto* file = static_cast<FailingFile*>(cookie);
    const int closed = close(file->fd);
    delete file;
    return closed;
}

}  // namespace

extern "C" std::FILE* __real_fdopen(int fd, const char* mode);

extern "C" std::FILE* __wrap_fdopen(int fd, const char* mode) {
    if (g_failAfter < 0) {
        return __real_fdopen(fd, mode);
    }
    auto* cookie = new FailingFile{fd, g_failAfter};
    g_failAfter = -1;
    cookie_io_functions_t calls{readFailing, nullptr, nullptr, closeFailing};
    return fopencookie(cookie, mode, calls);
}

// A step of the wall clock that comes half way through the next wait for a
// moment (0: none), as chrony steps a Pi's clock after boot.
std::int64_t g_stepDuringWait = 0;

extern "C" std::int64_t __real_waitForWallClock(std::int64_t unixNanos);

extern "C" std::int64_t __wrap_waitForWallClock(std::int64_t unixNanos) {
    if (g_stepDuringWait == 0 || unixNanos < fake::wallNanos) {
        return __real_waitForWallClock(unixNanos);
    }
    const std::int64_t half = (unixNanos - fake::wallNanos) / 2;
    fake::now += static_cast<std::uint32_t>(half / 1000000);
    fake::wallNanos += half + g_stepDuringWait;
    g_stepDuringWait = 0;
    return kWallClockStepped;
}

namespace {

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(kUploadDir);
        fake::reset();
        fake::resetSound();
        sp = -1;
        fp = nullptr;
        g_failAfter = -1;
        g_stepDuringWait = 0;
    }

    void TearDown() override {
        soundtrackClose();
        if (fp != nullptr) {  // left open by a failure, as at process end
            std::fclose(fp);
            fp = nullptr;
        }
    }

    static void writeShow(const std::string& bytes) {
        std::ofstream(kUploadDir + "show.txt", std::ios::binary) << bytes;
    }

    // Runs the walk and the show; returns the status, and what was printed.
    static int run(std::vector<std::string> words, std::string* out) {
        words.insert(words.begin(), "orvplayer");
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        ::testing::internal::CaptureStdout();
        const int status = runCommandLine(static_cast<int>(words.size()), argv.data());
        *out = ::testing::internal::GetCapturedStdout();
        return status;
    }

    static std::vector<std::string> written() {
        std::vector<std::string> codes;
        for (const fake::Write& write : fake::writes) {
            codes.push_back(write.codes);
        }
        return codes;
    }

    // "@SECONDS.NANOS" for a moment on the fake wall clock.
    static std::string at(std::int64_t nanos) {
        char text[40];
        std::snprintf(text, sizeof text, "@%lld.%09lld", static_cast<long long>(nanos / kSecond),
                      static_cast<long long>(nanos % kSecond));
        return text;
    }
};

using Words = std::vector<std::string>;

TEST_F(CommandLine, ReadFailingPartwayIsAFailureAfterTheCuesBeforeIt) {
    writeShow("0:one\n1:two\n2:three\n");
    g_failAfter = 12;  // "0:one\n1:two\n": the rest cannot be read
    std::string out;
    EXPECT_EQ(run({"-b", "9600", "-f", "show.txt", "-d", "0"}, &out), 1);
    EXPECT_EQ(out, "couldn't read file " + kUploadDir + "show.txt\n");
    EXPECT_EQ(written(), (Words{"one\n", "two\n"}));

    // The end of the file is no failure.
    std::string clean;
    EXPECT_EQ(run({"-b", "9600", "-f", "show.txt", "-d", "0"}, &clean), 0);
    EXPECT_EQ(clean, "");
}

TEST_F(CommandLine, RepeatCountAndPeriodAreReadStrictlyBeforeAnythingActs) {
    writeShow("0:x\n");
    const std::pair<Words, std::string> refused[] = {
        {{"-r", "abc"}, "repeat count invalid\n"},
        {{"-r", "3x"}, "repeat count invalid\n"},
        {{"-r", ""}, "repeat count invalid\n"},
        {{"-r", "-1"}, "repeat count invalid\n"},
        {{"-r", " 2"}, "repeat count invalid\n"},
        {{"-r", "+2"}, "repeat count invalid\n"},
        {{"-r", "99999999999999999999"}, "repeat count invalid\n"},
        {{"-p", "0"}, "period invalid\n"},
        {{"-p", "1.5"}, "period invalid\n"},
        {{"-p", "-100"}, "period invalid\n"},
        {{"-p", ""}, "period invalid\n"},
        {{"-p", "2147483648"}, "period invalid\n"},
    };
    for (const auto& [setting, message] : refused) {
        // Standing last, the bad value still comes before the port opens,
        // the delay and the file.
        Words words = {"-b", "9600", "-d", "100000", "-f", "missing"};
        words.insert(words.end(), setting.begin(), setting.end());
        std::string out;
        EXPECT_EQ(run(words, &out), 1) << setting[1];
        EXPECT_EQ(out, message) << setting[1];
        EXPECT_EQ(fake::now, 1000U) << "the delay acted for " << setting[1];
    }
}

TEST_F(CommandLine, RepeatPlaysTheFileAgainFromItsBeginning) {
    writeShow("5:a\n7:b\n");
    std::string out;
    EXPECT_EQ(run({"-r", "3", "-b", "9600", "-f", "show.txt", "-d", "0"}, &out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(written(), (Words{"a\n", "b\n", "a\n", "b\n", "a\n", "b\n"}));
    // Back to back: each pass starts at the moment of the one before's last
    // cue, 2 ms after its first.
    const auto start = static_cast<std::uint32_t>(starttime);
    EXPECT_EQ(fake::writes[2].lastReading - start, 3U);  // written right after
    EXPECT_EQ(fake::writes[3].lastReading - start, 4U);
    EXPECT_EQ(fake::writes[5].lastReading - start, 6U);
}

TEST_F(CommandLine, LateStartJoinsTheLoopAtItsNextPassStillAhead) {
    writeShow("0:go\n");
    // The loop began 5.3 s ago, a pass every 2 s: the next pass that lies
    // at least 0.1 s ahead is the fourth (6 s), 0.7 s from now.
    const std::int64_t began = fake::wallNanos - 5300 * 1000000LL;
    std::string out;
    EXPECT_EQ(run({"-r", "5", "-p", "2000", "-b", "9600", "-f", "show.txt", "-t", at(began)}, &out),
              0);
    EXPECT_EQ(out, "");
    // Passes 3 and 4 of 0..4: two left.
    EXPECT_EQ(written(), (Words{"go\n", "go\n"}));
    EXPECT_EQ(fake::wallNanos, began + 6 * kSecond);
    EXPECT_EQ(fake::writes[1].lastReading - fake::writes[0].lastReading, 2000U);

    // 5.95 s ago: 6 s lies only 50 ms ahead, too close; 8 s it is.
    fake::reset();
    const std::int64_t earlier = fake::wallNanos - 5950 * 1000000LL;
    EXPECT_EQ(
        run({"-r", "0", "-p", "2000", "-b", "9600", "-f", "show.txt", "-t", at(earlier), "-r", "5"},
            &out),
        0);
    EXPECT_EQ(written(), (Words{"go\n"}));
    EXPECT_EQ(fake::wallNanos, earlier + 8 * kSecond);

    // A loop begun before 1678 lies further behind than 64-bit nanoseconds
    // reach: still joined, on a pass within one period of now (the endless
    // loop stopped as by a signal during its second write).
    fake::reset();
    fake::stopInWrite = 1;
    const std::int64_t now = fake::wallNanos;
    try {
        run({"-r", "0", "-p", "10100200", "-b", "9600", "-f", "show.txt", "-t",
             "0052-02-01T20:00:00Z"},
            &out);
        ADD_FAILURE() << "the endless loop ended by itself";
    } catch (const fake::EndedBySignal&) {
        static_cast<void>(::testing::internal::GetCapturedStdout());
    }
    ASSERT_FALSE(fake::writes.empty());
    EXPECT_EQ(fake::writes[0].codes, "go\n");
    EXPECT_GE(fake::wallNanos, now + 100 * 1000000LL);
    EXPECT_LE(fake::wallNanos, now + 10100200 * 1000000LL + 100 * 1000000LL);
}

TEST_F(CommandLine, LateStartWithNoPassLeftOrNoPeriodHasPassed) {
    writeShow("0:go\n1:done\n");
    const std::int64_t began = fake::wallNanos - 5300 * 1000000LL;
    for (const Words& settings : {Words{"-r", "3", "-p", "2000"}, Words{"-r", "0"}}) {
        Words words = {"-b", "9600", "-f", "show.txt", "-t", at(began)};
        words.insert(words.end(), settings.begin(), settings.end());
        std::string out;
        EXPECT_EQ(run(words, &out), 1);
        EXPECT_EQ(out, "start time has passed\n");
        EXPECT_TRUE(fake::writes.empty());
    }
}

TEST_F(CommandLine, StepOfTheWallClockDuringTheWaitIsMetOnTheSteppedClock) {
    // One show waits for its moment on the stepped clock, or has passed; a
    // loop (a pass every 2 s, begun 5.3 s ago, joined at 6 s) joins the
    // next pass that lies ahead of the stepped clock's now.
    writeShow("0:go\n");
    constexpr std::int64_t kMs = 1000000;
    struct Case {
        bool loop;
        std::int64_t step;
        std::string out;
        std::size_t writes;
        std::int64_t reached;  // the moment the show started, after `began`
    };
    const Case cases[] = {
        {false, 5300 * kMs, "start time has passed\n", 0, 0},
        {false, -5000 * kMs, "", 1, 3 * kSecond},
        {true, 5300 * kMs, "", 4, 12 * kSecond},  // passes 6 to 9
        {true, -5300 * kMs, "", 9, 2 * kSecond},  // passes 1 to 9
    };
    for (const Case& c : cases) {
        fake::reset();
        const std::int64_t began = c.loop ? fake::wallNanos - 5300 * kMs : fake::wallNanos;
        // -t first: waited for in the walk (as a loop's always is).
        Words words = {"-t",      at(began + (c.loop ? 0 : 3 * kSecond)), "-b", "9600", "-f",
                       "show.txt"};
        if (c.loop) {
            words.insert(words.end(), {"-r", "10", "-p", "2000"});
        }
        g_stepDuringWait = c.step;
        std::string out;
        EXPECT_EQ(run(words, &out), c.out.empty() ? 0 : 1) << c.step;
        EXPECT_EQ(out, c.out) << c.step;
        EXPECT_EQ(fake::writes.size(), c.writes) << c.step;
        if (c.writes > 0) {
            EXPECT_EQ(fake::wallNanos, began + c.reached) << c.step;
        }
    }
}

TEST_F(CommandLine, TriggeredShowsStartWhereTheirOptionsSay) {
    const std::string moment = at(fake::wallNanos + 2 * kSecond);
    const std::string noTrigger = "no trigger came: standard input ended\n";
    const Words armed = {"-b", "9600", "-f", "show.txt", "-w", "-", "-t", moment};
    const Words input = {"-b", "9600", "-f", "show.txt", "-w", "-", "-r", "0"};
    struct Case {
        const char* show;
        Words words;
        std::vector<std::uint32_t> triggers;  // ms after the run began
        int status;
        std::string out;
        std::vector<std::pair<std::string, std::uint32_t>> cues;  // and when, as triggers
    };
    const Case cases[] = {
        // Armed at the moment (2 s from now), wherever -t and -w stand: a
        // trigger before it is not played, the first after it starts the
        // show.
        {"0:go\n", armed, {1500, 2500}, 0, "", {{"go\n", 2500}}},
        {"0:go\n",
         {"-b", "9600", "-f", "show.txt", "-t", moment, "-w", "-"},
         {1500, 2500},
         0,
         "",
         {{"go\n", 2500}}},
        {"0:go\n",
         {"-w", "-", "-t", moment, "-b", "9600", "-f", "show.txt"},
         {1500, 2500},
         0,
         "",
         {{"go\n", 2500}}},
        {"0:go\n",
         {"-t", moment, "-w", "-", "-b", "9600", "-f", "show.txt"},
         {1500, 2500},
         0,
         "",
         {{"go\n", 2500}}},
        // A trigger waited for where -w stands starts the show there; with
        // -d 500 after it, the show starts after the delay, as after a
        // start moment: B still comes 100 ms after A, not with it.
        {"0:A\n64:B\n",
         {"-b", "9600", "-f", "show.txt", "-w", "-"},
         {2000},
         0,
         "",
         {{"A\n", 2000}, {"B\n", 2100}}},
        {"0:A\n64:B\n",
         {"-b", "9600", "-f", "show.txt", "-w", "-", "-d", "500"},
         {2000},
         0,
         "",
         {{"A\n", 2500}, {"B\n", 2600}}},
        {"0:A\n64:B\n",
         {"-w", "-", "-d", "500", "-b", "9600", "-f", "show.txt"},
         {2000},
         0,
         "",
         {{"A\n", 2500}, {"B\n", 2600}}},
        // Standard input at its end from the start (/dev/null, as in a
        // unit without StandardInput=): said, status 1. Once a pass has
        // played, the end of input is the end of the show.
        {"0:go\n", input, {}, 1, noTrigger, {}},
        {"0:go\n", input, {10}, 0, "", {{"go\n", 10}}},
    };
    for (const Case& c : cases) {
        fake::reset();
        writeShow(c.show);
        const std::uint32_t start = fake::now;
        for (const std::uint32_t trigger : c.triggers) {
            fake::triggers.push_back(start + trigger);
        }
        std::string out;
        EXPECT_EQ(run(c.words, &out), c.status) << out;
        EXPECT_EQ(out, c.out);
        ASSERT_EQ(fake::writes.size(), c.cues.size()) << c.words[0] << " " << c.words[4];
        for (std::size_t i = 0; i < c.cues.size(); ++i) {
            EXPECT_EQ(fake::writes[i].codes, c.cues[i].first);
            // The scripted clock moves a millisecond a reading.
            EXPECT_GE(fake::writes[i].lastReading, start + c.cues[i].second) << c.words[4];
            EXPECT_LE(fake::writes[i].lastReading, start + c.cues[i].second + 5) << c.words[4];
        }
    }
}

TEST_F(CommandLine, HelpAloneIsAskedForAndAnsweredWithStatusZero) {
    const std::string usage = "syntax: orvplayer -b [baud] -f [filename] -d [delay]";
    struct Case {
        Words words;
        int status;
        bool help;
    };
    const Case cases[] = {
        {{"-h"}, 0, true},
        {{"--help"}, 0, true},
        {{"-h", "-b"}, 1, false},  // among other words: passed over, as before
        {{"-help"}, 1, false},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(run(c.words, &out), c.status) << c.words[0];
        EXPECT_EQ(out.find("usage: orvplayer -b BAUD -f FILE -d DELAY") != std::string::npos,
                  c.help)
            << out;
        EXPECT_EQ(out.find("See man orvplayer.") != std::string::npos, c.help) << out;
        EXPECT_EQ(out.find(usage) != std::string::npos, !c.help) << out;
    }
}

TEST_F(CommandLine, ASoundThatCannotPlayEndsTheRunBeforeAnythingActs) {
    writeShow("0:x\n");
    // Mono at 8000 Hz, 100 frames of silence.
    std::ofstream(kUploadDir + "tune.wav", std::ios::binary)
        << wavBytes(1, 8000, 16, std::string(200, '\0'));
    std::ofstream(kUploadDir + "8bit.wav", std::ios::binary)
        << wavBytes(1, 8000, 8, std::string(100, '\0'));
    std::ofstream(kUploadDir + "tune.flac", std::ios::binary)
        << "fLaC" << std::string("\x80\0\0\x22", 4) << std::string(10, '\0')
        << std::string("\x01\xF4\x02\xF0", 4) << std::string(20, '\0');
    const std::string refusedFile = "couldn't play sound file " + kUploadDir;
    const std::string samples = ": orvplayer plays WAV files of 16- or 24-bit PCM samples\n";
    const struct {
        Words sound;
        int openResult;
        std::string message;
    } refused[] = {
        {{"-a", "missing.wav"}, 7, "could not open sound file " + kUploadDir + "missing.wav\n"},
        {{"-a", "show.txt"}, 7, refusedFile + "show.txt: it is not a sound file\n"},
        {{"-a", "8bit.wav"}, 7, refusedFile + "8bit.wav" + samples},
#ifdef ORV_SOUND_DECODERS
        {{"-a", "tune.flac"}, 7, refusedFile + "tune.flac: its sound data is damaged\n"},
#else
        {{"-a", "tune.flac"},
         7,
         refusedFile + "tune.flac: this build of orvplayer plays WAV files only\n"},
#endif
        {{"-a", "tune.wav", "-o", "card0"},
         kSoundInvalid,
         "couldn't open sound device card0: not a device name (hw:CARD,DEVICE or "
         "plughw:CARD,DEVICE)\n"},
        {{"-a", "tune.wav"},
         kSoundNoDevice,
         "couldn't open sound device default: no such device\n"},
        {{"-o", "hw:1", "-a", "tune.wav"},
         kSoundBusy,
         "couldn't open sound device hw:1: another program plays on it\n"},
        {{"-a", "tune.wav"},
         kSoundNoPermission,
         "couldn't open sound device default: no permission (the audio group)\n"},
        {{"-a", "tune.wav"},
         kSoundRefused,
         "couldn't open sound device default: it plays no 16-bit sound at 8000 Hz\n"},
    };
    for (const auto& r : refused) {
        fake::resetSound();
        fake::sound.openResult = r.openResult;
        // Standing last, the sound still comes before the port, the delay
        // and the show.
        Words words = {"-b", "9600", "-d", "100000", "-f", "show.txt"};
        words.insert(words.end(), r.sound.begin(), r.sound.end());
        std::string out;
        EXPECT_EQ(run(words, &out), 1) << r.message;
        EXPECT_EQ(out, r.message);
        EXPECT_EQ(fake::now, 1000U) << "the delay acted for " << r.message;
        EXPECT_EQ(sp, -1) << r.message;
    }

    // A sound that plays: on the device named, its stream from the show's
    // first cue to its end.
    fake::resetSound();
    std::string out;
    EXPECT_EQ(
        run({"-b", "9600", "-a", "tune.wav", "-f", "show.txt", "-o", "hw:CARD=Device", "-d", "0"},
            &out),
        0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(written(), Words{"x\n"});
    EXPECT_EQ(fake::sound.device, "hw:CARD=Device");
    EXPECT_EQ(fake::sound.rate, 8000);
    EXPECT_EQ(fake::sound.starts, 1);
    EXPECT_TRUE(fake::sound.closed);
    EXPECT_GE(clockNanos() - fake::sound.startNanos, 100 * 1000000 / 8)
        << "the run ended before its sound";
}

TEST_F(CommandLine, StopSignalDuringTheDelayEndsTheRunWithoutPlaying) {
    writeShow("0:x\n");
    fake::stopSignal = 2;
    std::string out;
    try {
        run({"-b", "9600", "-f", "show.txt", "-d", "5000"}, &out);
        ADD_FAILURE() << "the run went on";
    } catch (const fake::EndedBySignal& ended) {
        out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(ended.signal, 2);
    }
    EXPECT_EQ(out, "");
    EXPECT_TRUE(fake::portStopped);
    EXPECT_TRUE(fake::writes.empty());
}

}  // namespace
