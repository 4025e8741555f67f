// FLAC and MP3 sounds decoded whole into 16-bit frames: every sample where
// it was encoded, whatever the file's depth, and a damaged file refused.
#include "playback/sound_decode.h"

#include <FLAC/stream_encoder.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fake_board.h"
#include "fake_sound.h"
#include "playback/soundtrack.h"

namespace {

// Frame i's sample on channel c: a ramp, different on each channel, that
// fits any depth from 8 bits up.
std::int32_t sampleOf(std::int64_t i, int c, int bits) {
    const std::int32_t top = 1 << (bits - 1);
    return static_cast<std::int32_t>((i * 37 + c * 1000) % (2 * top) - top);
}

// A FLAC file of `frames` frames of the ramp, encoded with libFLAC.
std::string flacFile(const std::string& name, int channels, int bits, std::int64_t frames) {
    const std::string path = ::testing::TempDir() + name + ".flac";
    FLAC__StreamEncoder* encoder = FLAC__stream_encoder_new();
    FLAC__stream_encoder_set_channels(encoder, static_cast<unsigned>(channels));
    FLAC__stream_encoder_set_bits_per_sample(encoder, static_cast<unsigned>(bits));
    FLAC__stream_encoder_set_sample_rate(encoder, 44100);
    EXPECT_EQ(FLAC__stream_encoder_init_file(encoder, path.c_str(), nullptr, nullptr),
              FLAC__STREAM_ENCODER_INIT_STATUS_OK);
    std::vector<FLAC__int32> samples;
    for (std::int64_t i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            samples.push_back(sampleOf(i, c, bits));
        }
    }
    FLAC__stream_encoder_process_interleaved(encoder, samples.data(),
                                             static_cast<unsigned>(frames));
    FLAC__stream_encoder_finish(encoder);
    FLAC__stream_encoder_delete(encoder);
    return path;
}

std::string bytesOf(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// What decodeSound() gives for the file at `path`: its result, and the
// decoded samples.
int decode(const std::string& path, SoundFormat* format, std::vector<std::int16_t>* samples) {
    const int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    EXPECT_EQ(readSoundFormat(fd, format), kSoundKnown);
    const int decoded = decodeSound(fd, format);
    close(fd);
    if (decoded < 0) {
        return decoded;
    }
    samples->resize(static_cast<std::size_t>(format->frames * format->channels));
    EXPECT_EQ(pread(decoded, samples->data(), samples->size() * 2, 0),
              static_cast<ssize_t>(samples->size() * 2));
    close(decoded);
    return kSoundKnown;
}

TEST(SoundDecode, FlacGivesEverySampleAs16Bits) {
    const struct {
        const char* name;
        int channels;
        int bits;
        std::int64_t frames;
    } cases[] = {
        {"stereo-16", 2, 16, 10000},
        {"mono-24", 1, 24, 5000},  // loses its lowest 8 bits
        {"quad-8", 4, 8, 4097},    // scaled up; a block and a frame more
        {"stereo-12", 2, 12, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SoundFormat format;
        std::vector<std::int16_t> samples;
        ASSERT_EQ(decode(flacFile(c.name, c.channels, c.bits, c.frames), &format, &samples),
                  kSoundKnown);
        EXPECT_EQ(format.frames, c.frames);
        EXPECT_EQ(format.bits, 16);
        int wrong = 0;
        for (std::int64_t i = 0; i < c.frames; ++i) {
            for (int ch = 0; ch < c.channels; ++ch) {
                const std::int32_t want = c.bits >= 16
                                              ? sampleOf(i, ch, c.bits) >> (c.bits - 16)
                                              : sampleOf(i, ch, c.bits) * (1 << (16 - c.bits));
                wrong += samples[static_cast<std::size_t>(i * c.channels + ch)] != want;
            }
        }
        EXPECT_EQ(wrong, 0);
    }
}

// MP3 encoders put a delay before the sound and padding after it: decoded
// gaplessly, the sound is as long as what was encoded, and a burst encoded
// at 200 ms is heard at 200 ms, not 50 ms later.
TEST(SoundDecode, Mp3StartsOnItsFirstEncodedSample) {
    SoundFormat format;
    std::vector<std::int16_t> samples;
    ASSERT_EQ(decode(ORV_TEST_SOUNDS "burst-at-200ms.mp3", &format, &samples), kSoundKnown);
    EXPECT_EQ(format.rate, 22050);
    EXPECT_EQ(format.channels, 1);
    EXPECT_EQ(format.frames, 22050 / 2);
    std::size_t loudest = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (std::abs(samples[i]) > std::abs(samples[loudest])) {
            loudest = i;
        }
    }
    // The burst lasts a millisecond from frame 4410; its loudest sample
    // decoded within that millisecond.
    EXPECT_GE(loudest, 4410U - 11);
    EXPECT_LE(loudest, 4410U + 33);

    // The show's sound is played from its decoded frames: the burst goes
    // to the card where it was decoded.
    fake::reset();
    fake::resetSound();
    fake::sound.bufferFrames = 1 << 15;
    fake::sound.channels = 2;  // it reads two channels back
    fake::sound.minChannels = 2;
    ASSERT_EQ(soundtrackReadFile(ORV_TEST_SOUNDS "burst-at-200ms.mp3"), kSoundKnown);
    EXPECT_EQ(soundtrackLengthMs(), 500);
    ASSERT_EQ(soundtrackOpenDevice(nullptr), 0);
    ASSERT_GE(soundtrackStart(), 0);
    ASSERT_GT(fake::sound.frames.size(), loudest);
    EXPECT_NE(fake::sound.frames[loudest], 0);
    soundtrackClose();
    fake::reset();
}

// Damaged, cut short or a tag without sound: never played with a gap.
TEST(SoundDecode, ADamagedFileIsRefused) {
    const std::string flac = bytesOf(flacFile("whole", 2, 16, 20000));
    std::string flipped = flac;
    flipped[flac.size() / 2] = static_cast<char>(flipped[flac.size() / 2] ^ 0x5A);
    // Its header tells 30000 frames (the lowest 32 bits of the 36 that
    // tell how many, after the rate, channels and depth): 10000 are missing.
    std::string longer = flac;
    longer.replace(22, 4, std::string("\x00\x00\x75\x30", 4));
    const std::string mp3 = bytesOf(ORV_TEST_SOUNDS "burst-at-200ms.mp3");
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"flac-flipped", flipped},
        {"flac-cut", flac.substr(0, flac.size() / 2)},
        {"flac-without-frames", flac.substr(0, 42)},
        {"flac-with-frames-missing", longer},
        // The encoder's Info frame, cut short, and no sound after it.
        {"mp3-without-sound", mp3.substr(0, 200)},
        {"mp3-cut", mp3.substr(0, 3000)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = ::testing::TempDir() + c.name;
        std::ofstream(path, std::ios::binary) << c.bytes;
        SoundFormat format;
        std::vector<std::int16_t> samples;
        EXPECT_EQ(decode(path, &format, &samples), kSoundDamaged);
    }
}

// Memory that runs out while decoding (here: a limit on file sizes, which
// the decoded sound's memory file keeps to) ends the decoding cleanly.
TEST(SoundDecode, NoMemoryForTheSoundIsTold) {
    const std::string path = flacFile("long", 2, 16, 100000);
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit limit = before;
    limit.rlim_cur = 65536;
    std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limit);
    SoundFormat format;
    std::vector<std::int16_t> samples;
    const int found = decode(path, &format, &samples);
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(found, kSoundNoMemory);
}

}  // namespace
