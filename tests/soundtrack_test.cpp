// The show's sound on a fake sound card: each cue is written as the frame
// it belongs to is heard, however far the card's clock is from the
// system's; a pass lasts as long as its sound; loops restart it on their
// grid; triggers start it afresh; a card that fell behind skips its sound
// ahead, in step.
#include "playback/soundtrack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "board/board.h"
#include "fake_board.h"
#include "fake_sound.h"
#include "playback/passes.h"
#include "playback/show_clock.h"
#include "playback/sound_file.h"
#include "wav_bytes.h"

namespace {

// A frame a millisecond: the sound's frame N is heard N ms after its first.
constexpr int kRate = 1000;
constexpr std::int64_t kMs = 1000000;

// A 16-bit stereo WAV file of `frames` frames whose frame i holds i + 1: its
// low 15 bits on the first channel, the rest on the second, as the fake
// card reads them back.
std::string soundFile(std::uint32_t frames) {
    const std::string path = ::testing::TempDir() + "soundtrack-" + std::to_string(frames) + ".wav";
    std::FILE* file = std::fopen(path.c_str(), "wbx");  // made once
    if (file == nullptr) {
        return path;
    }
    std::string data;
    for (std::uint32_t i = 1; i <= frames; ++i) {
        data += le16(i & 0x7FFF) + le16(i >> 15);
    }
    const std::string wav = wavBytes(2, kRate, 16, data);
    std::fwrite(wav.data(), 1, wav.size(), file);
    std::fclose(file);
    return path;
}

// At each write: the sound's frame then heard (-1 in silence), the stream's
// frame, and when.
struct Heard {
    std::int64_t frame;
    std::int64_t streamFrame;
    std::int64_t nanos;
};
std::vector<Heard> g_heard;

class Soundtrack : public ::testing::Test {
protected:
    void SetUp() override { fresh(); }

    // A fresh board and card that note what is heard at each write.
    static void fresh() {
        fake::reset();
        fake::resetSound();
        // Reading the clock takes a microsecond, not a millisecond.
        fake::readsPerStep = 1000;
        g_heard.clear();
        fake::afterWrite = [](std::size_t) { noteHeard(); };
    }

    static void noteHeard() {
        const std::int64_t at = clockNanos();
        const std::int64_t frame = fake::soundHeardAt(at);
        g_heard.push_back({fake::soundValue(frame) - 1, frame, at});
    }

    // How long after the stream's frame `frame` was heard the write `i`
    // came, in microseconds (negative: early).
    static double latenessMicros(std::size_t i, std::int64_t frame) {
        return (static_cast<double>(g_heard[i].nanos) - fake::soundHeardNanos(frame)) / 1000;
    }

    void TearDown() override {
        soundtrackClose();
        fake::reset();
    }

    static void open(std::uint32_t frames) {
        ASSERT_EQ(soundtrackReadFile(soundFile(frames).c_str()), kSoundKnown);
        ASSERT_EQ(soundtrackOpenDevice(nullptr), 0);
    }

    static void play(const std::string& show, std::int64_t count, int expect = kPassesPlayed) {
        std::FILE* file = std::tmpfile();
        std::fwrite(show.data(), 1, show.size(), file);
        std::rewind(file);
        EXPECT_EQ(playPasses(file, count), expect);
        std::fclose(file);
    }
};

// A cue every `gap` ms over `ms` ms.
std::string cuesEvery(std::int64_t gap, std::int64_t ms) {
    std::string show;
    for (std::int64_t at = 0; at <= ms; at += gap) {
        char line[32];
        std::snprintf(line, sizeof line, "%llx:c\n", static_cast<unsigned long long>(at));
        show += line;
    }
    return show;
}

TEST_F(Soundtrack, EachCueIsWrittenAsItsFrameIsHeardHoweverTheCardsClockRuns) {
    struct Case {
        const char* name;
        double ppm;
        std::int64_t latency;  // frames between the card's position and its output
        std::int64_t lag;      // its position moves in steps of so many frames
        std::int64_t minutes;  // how long the show lasts
        double late;           // microseconds a cue may come after its frame
    };
    const Case cases[] = {
        {"a card on the system's clock", 0, 0, 0, 10, 200},
        {"100 ppm fast, 3 ms behind its position", 100, 3, 0, 10, 200},
        {"100 ppm slow, for an hour", -100, 0, 0, 60, 200},
        {"a position that moves every 4 ms", 100, 0, 4, 10, 800},
        {"a position that moves every 10 ms", -100, 2, 10, 10, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        const std::int64_t ms = c.minutes * 60000;
        open(static_cast<std::uint32_t>(ms + 1000));
        fake::sound.ppm = c.ppm;
        fake::sound.latencyFrames = c.latency;
        fake::sound.lagFrames = c.lag;
        play(cuesEvery(10000, ms), 1);
        ASSERT_EQ(g_heard.size(), static_cast<std::size_t>(ms / 10000 + 1));
        double latest = 0;
        for (std::size_t i = 0; i < g_heard.size(); ++i) {
            const double late = latenessMicros(i, static_cast<std::int64_t>(i) * 10000);
            // Within a microsecond: the device's own delay is counted at its
            // nominal rate until its clock has been seen.
            EXPECT_GE(late, -1) << "cue " << i << " early";
            latest = std::max(latest, late);
        }
        // The fake board's clock moves on by whole milliseconds while polled.
        EXPECT_LE(latest, 1000 + c.late);
        EXPECT_EQ(fake::sound.framesLate, 0);
        // The card moved away from the system's clock: 360 ms in an hour.
        const double drift =
            static_cast<double>(g_heard.back().nanos - g_heard.front().nanos) / kMs -
            static_cast<double>(ms);
        EXPECT_NEAR(drift, -c.ppm * 1e-6 * static_cast<double>(ms), 2);
        soundtrackClose();
    }
}

TEST_F(Soundtrack, PassesLastAsLongAsTheirSoundAndLoopsRestartItOnTheirGrid) {
    struct Case {
        const char* name;
        const char* show;
        std::uint32_t soundFrames;
        std::int64_t period;
        std::vector<std::uint32_t> triggers;
        std::vector<std::int64_t> frames;  // heard at each cue, each pass
        std::vector<std::int64_t> starts;  // ms from the first pass's start to each pass's
    };
    const Case cases[] = {
        {"the sound is longer than the cues",
         "0:a\n1f4:b\n",
         2000,
         0,
         {},
         {0, 500, 0, 500, 0, 500},
         {0, 2000, 4000}},
        // The next pass starts as its last cue is written: of the silence
        // queued after the sound, what the card already holds (its
        // latency, 2 ms) plays before the next pass's sound, in step.
        {"the cues are longer than the sound",
         "0:a\nbb8:b\n",
         2000,
         0,
         {},
         {0, -1, -1, -1, -1, -1},
         {0, 3000, 6000}},
        {"a period cuts the sound off",
         "0:a\n1f4:b\n",
         2000,
         1500,
         {},
         {0, 500, 0, 500, 0, 500},
         {0, 1500, 3000}},
        {"a period longer than the sound",
         "0:a\n1f4:b\n",
         2000,
         2500,
         {},
         {0, 500, 0, 500, 0, 500},
         {0, 2500, 5000}},
        // Each trigger after the last pass's sound starts it afresh.
        {"triggers", "0:a\n1f4:b\n", 2000, 0, {3000, 4000, 9000}, {0, 500, 0, 500}, {0, 6000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        fake::sound.latencyFrames = 2;
        open(c.soundFrames);
        passPeriod = c.period;
        fake::triggers = c.triggers;
        if (!c.triggers.empty()) {
            triggerSource = 0;
            passWaitsForTrigger = true;
        }
        play(c.show, c.triggers.empty() ? 3 : 0);
        ASSERT_EQ(g_heard.size(), c.frames.size());
        for (std::size_t i = 0; i < g_heard.size(); ++i) {
            EXPECT_LE(g_heard[i].frame - c.frames[i], c.frames[i] < 0 ? 0 : 1)
                << "cue " << i << ": " << g_heard[i].frame;
            EXPECT_GE(g_heard[i].frame, c.frames[i]) << "cue " << i;
        }
        for (std::size_t pass = 0; pass < c.starts.size(); ++pass) {
            const double start =
                static_cast<double>(g_heard[2 * pass].nanos - g_heard[0].nanos) / kMs;
            EXPECT_NEAR(start, static_cast<double>(c.starts[pass]), 1.0) << "pass " << pass;
        }
        EXPECT_EQ(fake::sound.starts, c.triggers.empty() ? 1 : 2);
        // The run ends once the last pass's sound has been heard to its end.
        const double lastPass =
            static_cast<double>(clockNanos() - g_heard[g_heard.size() - 2].nanos) / kMs;
        EXPECT_GE(lastPass,
                  c.period > 0 ? std::min<double>(static_cast<double>(c.period), 2000) - 1 : 1999);
        soundtrackClose();
    }
}

TEST_F(Soundtrack, AStartMomentIsWhenTheSoundsFirstFrameIsHeard) {
    // The card is started ahead of the moment, on silence, however near the
    // moment is; a loop's passes follow on the moment's grid.
    for (const std::int64_t ahead : {3000, 400, 100}) {
        SCOPED_TRACE(ahead);
        fresh();
        fake::sound.latencyFrames = 2;
        open(2000);
        passPeriod = 2500;
        const std::int64_t before = clockNanos();
        startMoment = fake::wallNanos + ahead * kMs;
        play("0:a\n1f4:b\n", 2);
        const auto& frames = fake::sound.frames;
        const auto first = std::find(frames.begin(), frames.end(), 1) - frames.begin();
        ASSERT_LT(static_cast<std::size_t>(first), frames.size());
        EXPECT_NEAR((fake::soundHeardNanos(first) - static_cast<double>(before)) / kMs,
                    static_cast<double>(ahead), 0.01);
        ASSERT_EQ(g_heard.size(), 4U);
        for (std::int64_t i = 0; i < 4; ++i) {
            // Within the millisecond the fake clock moves on by while polled.
            const std::int64_t frame = i % 2 * 500;
            const Heard& heard = g_heard[static_cast<std::size_t>(i)];
            EXPECT_GE(heard.frame, frame) << "cue " << i;
            EXPECT_LE(heard.frame, frame + 1) << "cue " << i;
            EXPECT_NEAR(static_cast<double>(heard.nanos - before) / kMs,
                        static_cast<double>(ahead + (i / 2) * 2500 + i % 2 * 500), 1.0)
                << "cue " << i;
        }
        EXPECT_EQ(fake::sound.starts, 1);
        soundtrackClose();
    }
}

TEST_F(Soundtrack, ACardThatFellBehindSkipsItsSoundAheadInStep) {
    open(10000);
    // The port holds the second write for 600 ms, longer than the card's
    // buffer lasts: meanwhile it plays silence.
    fake::afterWrite = [](std::size_t index) {
        noteHeard();
        if (index == 1) {
            fake::now += 600;
        }
    };
    play("0:a\n64:b\n3e8:c\n7d0:d\n", 1);
    ASSERT_EQ(g_heard.size(), 4U);
    // Within the millisecond that the fake board's polled clock moves by.
    for (const auto& [cue, due] :
         {std::pair<std::size_t, std::int64_t>{1, 100}, {2, 1000}, {3, 2000}}) {
        EXPECT_GE(g_heard[cue].frame, due) << "cue " << cue;
        EXPECT_LE(g_heard[cue].frame, due + 1) << "cue " << cue;
    }
    // Nothing was queued too late: it went on where the sound then stood.
    EXPECT_EQ(fake::sound.framesLate, 0);
    EXPECT_EQ(fake::soundValue(1000), 1000 + 1) << "the sound after the gap is in step";
}

TEST_F(Soundtrack, EachFramePlaysInTheCardsChannelsAsSixteenBits) {
    // Two frames of 24-bit samples (the top two bytes are what plays).
    const std::string samples24 = std::string(
        "\x11\x34\x12\x22\x78\x56"   // frame 0
        "\x33\x02\x01\x44\x04\x03",  // frame 1
        12);
    struct Case {
        const char* name;
        int fileChannels;
        int cardChannels;                  // it takes no other number of them
        std::vector<std::int32_t> frames;  // as the fake card reads them back
    };
    const Case cases[] = {
        // Stereo on a stereo card: the first channel, the second shifted up.
        {"stereo", 2, 2, {0x1234 | 0x5678 << 15, 0x0102 | 0x0304 << 15}},
        // Mono: the one channel on both.
        {"mono", 1, 2, {0x1234 | 0x1234 << 15, 0x5678 | 0x5678 << 15}},
        // Stereo on a mono card: the mix of both.
        {"mixed down", 2, 1, {(0x1234 + 0x5678) / 2, (0x0102 + 0x0304) / 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        fake::sound.channels = c.cardChannels;
        fake::sound.minChannels = c.cardChannels;
        const std::string path = ::testing::TempDir() + "soundtrack-24-" + c.name + ".wav";
        const auto channels = static_cast<std::uint32_t>(c.fileChannels);
        const std::string wav = wavBytes(channels, kRate, 24, samples24.substr(0, 6 * channels));
        std::FILE* file = std::fopen(path.c_str(), "wb");
        std::fwrite(wav.data(), 1, wav.size(), file);
        std::fclose(file);
        ASSERT_EQ(soundtrackReadFile(path.c_str()), kSoundKnown);
        ASSERT_EQ(soundtrackOpenDevice(nullptr), 0);
        ASSERT_GE(soundtrackStart(), 0);
        const std::size_t frames = c.fileChannels == 1 ? 2 : 1;
        ASSERT_GE(fake::sound.frames.size(), frames);
        EXPECT_EQ(std::vector<std::int32_t>(fake::sound.frames.begin(),
                                            fake::sound.frames.begin() + static_cast<long>(frames)),
                  std::vector<std::int32_t>(c.frames.begin(),
                                            c.frames.begin() + static_cast<long>(frames)));
        soundtrackClose();
    }
}

TEST_F(Soundtrack, StopEndsTheSoundWithTheCuesAndAGoneCardEndsTheRun) {
    open(5000);
    fake::stopAt = 1000 + 250;
    EXPECT_THROW(play(cuesEvery(100, 1000), 1), fake::EndedBySignal);
    EXPECT_TRUE(fake::sound.closed);
    EXPECT_EQ(g_heard.size(), 3U);  // stopped between the cues at 200 and 300 ms

    fresh();
    open(5000);
    fake::afterWrite = [](std::size_t index) { fake::sound.gone = index == 1; };
    EXPECT_EXIT(play(cuesEvery(100, 1000), 1), ::testing::ExitedWithCode(1), "");
}

}  // namespace
