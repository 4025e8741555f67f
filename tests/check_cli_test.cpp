// orvplayer-check as a command: output, --quiet and exit status.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "emulator.h"
#include "virtual_serial.h"
#include "wav_bytes.h"

namespace {

const std::string kChecker = ORV_TEST_CHECKER;
const std::string kExamples = ORV_TEST_EXAMPLES;

RunResult checkWith(std::vector<std::string> args) {
    args.insert(args.begin(), kChecker);
    RunOptions options;
    options.launcher = emulator();
    RunResult result = runAgainst(args, nullptr, options);
    EXPECT_EQ(result.err, "");
    return result;
}

TEST(CheckCommand, CleanShowEndsWithStatusZero) {
    RunResult result = checkWith({kExamples + "hello.txt"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find("       2  1f4                 500  0:00:00.500    SPOT 1 ON\\n\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("summary: 9 cues, 0 lines passed over, duration 0:00:03.500, 100 "
                              "bytes, 0 warnings\n"),
              std::string::npos)
        << result.out;
}

TEST(CheckCommand, OneFileIsShownWithoutItsName) {
    RunResult result = checkWith({kExamples + "hello.txt"});
    EXPECT_EQ(result.out.substr(0, 12), "    line  of") << result.out;
}

TEST(CheckCommand, WarningsEndWithStatusOneAndQuietShowsOnlyThem) {
    RunResult result = checkWith({"--quiet", "--baud", "9600", kExamples + "mistakes.txt"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("warning: line 3: no colon: passed over\n"), std::string::npos);
    EXPECT_NE(result.out.find(" ms on the line at 9600 baud, 5 warnings\n"), std::string::npos)
        << result.out;
    // No header, no cue rows: every line a warning but the summary.
    std::size_t lines = 0;
    for (std::size_t at = 0; at < result.out.size(); at = result.out.find('\n', at) + 1) {
        const bool summary = result.out.compare(at, 9, "summary: ") == 0;
        EXPECT_TRUE(summary || result.out.compare(at, 9, "warning: ") == 0)
            << "line " << lines + 1 << " of:\n"
            << result.out;
        ++lines;
    }
    EXPECT_EQ(lines, 6U);
}

TEST(CheckCommand, PeriodTellsWhatOnePassLasts) {
    RunResult result = checkWith({"--quiet", "--period", "3200", kExamples + "hello.txt"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("warning: line 9: played at 0:00:03.500, not before the period of "
                              "0:00:03.200"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find(", one pass lasts 0:00:03.200 (the period), 1 warning\n"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(checkWith({"--period", "0", kExamples + "hello.txt"}).status, 2);
}

// A file of these bytes in a folder of the test's own.
std::string fileWith(const std::string& name, const std::string& bytes) {
    const std::string path = ::testing::TempDir() + "check-cli-" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    return path;
}

// `frames` frames of silence, stereo at 8000 Hz, of `bits`-bit samples.
std::string wavOf(unsigned frames, unsigned bits = 16) {
    return wavBytes(2, 8000, bits, std::string(frames * 2 * bits / 8, '\0'));
}

TEST(CheckCommand, SoundTellsItsLengthBesideTheShowsAndUnplayableSoundEndsWithStatusTwo) {
    const std::string sound = fileWith("sound.wav", wavOf(8000 * 3 + 80));
    RunResult result = checkWith({"--sound", sound, kExamples + "hello.txt"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out.substr(0, result.out.find('\n') + 1),
              "sound: " + sound + ": WAV, 8000 Hz, 2 channels, 16-bit, lasts 0:00:03.010\n");
    EXPECT_NE(result.out.find("warning: line 9: played at 0:00:03.500, after the sound ends at "
                              "0:00:03.010\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("duration 0:00:03.500, 100 bytes, sound 0:00:03.010, 1 warning\n"),
              std::string::npos)
        << result.out;
    // A sound longer than the cues makes the pass.
    const std::string longer = fileWith("longer.wav", wavOf(8000 * 4));
    result = checkWith({"--quiet", "--sound", longer, kExamples + "hello.txt"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out,
              "summary: 9 cues, 0 lines passed over, duration 0:00:03.500, 100 bytes, "
              "sound 0:00:04.000, one pass lasts 0:00:04.000 (the sound), 0 warnings\n");

    const struct {
        std::string sound;
        std::string message;
    } refused[] = {
        {"/nonexistent/sound.wav", "orvplayer-check: cannot read /nonexistent/sound.wav: "},
        {kExamples + "hello.txt", "orvplayer-check: " + kExamples +
                                      "hello.txt is not a sound file that orvplayer plays (WAV, "
                                      "FLAC or MP3)\n"},
        {fileWith("8bit.wav", wavOf(10, 8)),
         "orvplayer-check: " + ::testing::TempDir() +
             "check-cli-8bit.wav is a WAV file whose samples are not 16- or 24-bit PCM\n"},
    };
    for (const auto& r : refused) {
        result = checkWith({"--sound", r.sound, kExamples + "hello.txt"});
        EXPECT_EQ(result.status, 2) << r.sound;
        EXPECT_EQ(result.out.substr(0, r.message.size()), r.message);
    }
}

// A compressed sound lasts what the player plays of it: an MP3's length
// without its encoder's delay and padding (its header tells 0.575 s).
TEST(CheckCommand, CompressedSoundsLastWhatThePlayerPlays) {
    const std::string mp3 = ORV_TEST_SOUNDS "burst-at-200ms.mp3";
    RunResult result = checkWith({"--sound", mp3, kExamples + "hello.txt"});
#ifdef ORV_SOUND_DECODERS
    const std::string length = "0:00:00.500";
#else
    const std::string length = "0:00:00.574";
#endif
    EXPECT_EQ(result.out.substr(0, result.out.find('\n') + 1),
              "sound: " + mp3 + ": MP3, 22050 Hz, 1 channel, 16-bit, lasts " + length + "\n");
#ifdef ORV_SOUND_DECODERS
    std::ifstream whole(mp3, std::ios::binary);
    std::string bytes(200, '\0');
    whole.read(bytes.data(), 200);
    const std::string cut = fileWith("cut.mp3", bytes);
    result = checkWith({"--sound", cut, kExamples + "hello.txt"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "orvplayer-check: " + cut + ": its sound data is damaged\n");
#endif
}

TEST(CheckCommand, UnreadableFilesAndBadUsageEndWithStatusTwo) {
    RunResult missing = checkWith({kExamples + "hello.txt", "/nonexistent/show.txt"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.out.find("orvplayer-check: cannot read /nonexistent/show.txt: "),
              std::string::npos);
    EXPECT_EQ(checkWith({kExamples}).status, 2);  // a directory
    EXPECT_EQ(checkWith({}).status, 2);
    EXPECT_EQ(checkWith({"--baud", "fast", kExamples + "hello.txt"}).status, 2);
    EXPECT_EQ(checkWith({"--baud", "9600baud", kExamples + "hello.txt"}).status, 2);
    // A file with warnings after an unreadable one does not hide it.
    EXPECT_EQ(checkWith({"/nonexistent/show.txt", kExamples + "mistakes.txt"}).status, 2);
}

}  // namespace
