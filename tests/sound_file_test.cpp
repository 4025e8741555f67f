// Sound files known by their headers: each kind's fields, the lengths, and
// every way a file can fail to be sound.
#include "playback/sound_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "wav_bytes.h"

namespace {

// A WAV file of `dataBytes` of silence.
std::string wav(unsigned tag, unsigned channels, unsigned rate, unsigned bits, unsigned dataBytes,
                const std::string& before = "", long long dataSize = -1) {
    return wavBytes(channels, rate, bits, std::string(dataBytes, '\0'), tag, before, dataSize);
}

// A FLAC file's start: its STREAMINFO block.
std::string flac(unsigned rate, unsigned channels, unsigned bits, unsigned long long total) {
    std::string info(34, '\0');
    info[10] = static_cast<char>(rate >> 12);
    info[11] = static_cast<char>(rate >> 4);
    info[12] = static_cast<char>((rate & 0xF) << 4 | (channels - 1) << 1 | (bits - 1) >> 4);
    info[13] = static_cast<char>(((bits - 1) & 0xF) << 4 | (total >> 32 & 0xF));
    for (int i = 0; i < 4; ++i) {
        info[static_cast<std::size_t>(14 + i)] = static_cast<char>(total >> (24 - 8 * i));
    }
    return "fLaC" + std::string("\x80\x00\x00\x22", 4) + info + "audio frames follow";
}

// An ID3v2 tag of `size` bytes of body.
std::string id3(unsigned size) {
    return "ID3\x04" + std::string(2, '\0') + static_cast<char>(size >> 21 & 0x7F) +
           static_cast<char>(size >> 14 & 0x7F) + static_cast<char>(size >> 7 & 0x7F) +
           static_cast<char>(size & 0x7F) + std::string(size, 'T');
}

// `count` MPEG audio frames with header bytes `b1 b2 b3` after the sync,
// each `bytes` long; the first holds a Xing header telling `xingFrames`
// when that is not negative.
std::string mp3(int count, unsigned char b1, unsigned char b2, unsigned char b3, std::size_t bytes,
                std::size_t sideInfo, long xingFrames = -1) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        std::string frame = std::string("\xFF", 1) + static_cast<char>(b1) + static_cast<char>(b2) +
                            static_cast<char>(b3);
        frame.resize(bytes, '\x55');
        if (i == 0 && xingFrames >= 0) {
            const unsigned frames = static_cast<unsigned>(xingFrames);
            const std::string xing = std::string("Xing\0\0\0\x01", 8) +
                                     static_cast<char>(frames >> 24) +
                                     static_cast<char>(frames >> 16) +
                                     static_cast<char>(frames >> 8) + static_cast<char>(frames);
            frame.replace(4 + sideInfo, xing.size(), xing);
        }
        out += frame;
    }
    return out;
}

struct Case {
    const char* name;
    std::string bytes;
    int found;
    int kind = 0;  // the rest only for a file that is sound
    int rate = 0;
    int channels = 0;
    int bits = 0;
    long long frames = 0;
    long long ms = 0;
};

TEST(SoundFile, EachKindTellsItsFormatAndLengthAndAnythingElseIsRefused) {
    // MPEG-1 layer III, 128 kbps, 44.1 kHz, stereo: 417 bytes a frame.
    const Case cases[] = {
        {"WAV 16-bit stereo", wav(1, 2, 44100, 16, 44541 * 4), kSoundKnown, kSoundWav, 44100, 2, 16,
         44541, 1010},
        {"WAV 24-bit mono, extensible, after an odd-sized chunk",
         wav(0xFFFE, 1, 48000, 24, 96000 * 3, "LIST" + le32(3) + "abc" + '\0'), kSoundKnown,
         kSoundWav, 48000, 1, 24, 96000, 2000},
        {"WAV whose data size was never filled in", wav(1, 2, 8000, 16, 8000 * 4, "", 0xFFFFFFFFL),
         kSoundKnown, kSoundWav, 8000, 2, 16, 8000, 1000},
        {"WAV whose last frame is cut short", wav(1, 2, 1000, 16, 10 * 4 + 3), kSoundKnown,
         kSoundWav, 1000, 2, 16, 10, 10},
        {"WAV of 8-bit samples", wav(1, 1, 8000, 8, 100), kSoundUnplayable},
        {"WAV of floating-point samples", wav(3, 2, 48000, 32, 100), kSoundUnplayable},
        {"WAV whose block size disagrees", wav(1, 2, 48000, 16, 4).replace(32, 2, le16(3)),
         kSoundUnplayable},
        {"WAV with its data before its format", "RIFF" + le32(12) + "WAVEdata" + le32(0),
         kSoundNotSound},
        {"WAV that ends in its chunk list", wav(1, 2, 48000, 16, 0).substr(0, 30), kSoundNotSound},
        {"FLAC", flac(48000, 2, 24, 96000), kSoundKnown, kSoundFlac, 48000, 2, 24, 96000, 2000},
        {"FLAC after an ID3 tag, over 2^32 frames", id3(300) + flac(96000, 6, 16, 0xFFFFFFFFFULL),
         kSoundKnown, kSoundFlac, 96000, 6, 16, 0xFFFFFFFFFLL, 715827882},
        {"FLAC that does not tell its length", flac(44100, 1, 16, 0), kSoundKnown, kSoundFlac,
         44100, 1, 16, -1, -1},
        {"FLAC without its STREAMINFO first",
         "fLaC" + std::string("\x84\x00\x00\x22", 4) + std::string(34, '\0'), kSoundNotSound},
        {"MP3, frames counted", mp3(3, 0xFB, 0x90, 0x00, 417, 32), kSoundKnown, kSoundMp3, 44100, 2,
         16, 3 * 1152, 78},
        {"MP3 of padded frames", mp3(4, 0xFB, 0x92, 0x00, 418, 32), kSoundKnown, kSoundMp3, 44100,
         2, 16, 4 * 1152, 104},
        {"MP3 after an ID3 tag, frames told by its Xing frame",
         id3(20) + mp3(2, 0xFB, 0x90, 0x00, 417, 32, 1000), kSoundKnown, kSoundMp3, 44100, 2, 16,
         1000 * 1152, 26122},
        {"MPEG-2 MP3, mono, 22.05 kHz, with a tag at its end",
         mp3(4, 0xF3, 0x80, 0xC0, 72 * 64000 / 22050, 9) + "TAG" + std::string(125, ' '),
         kSoundKnown, kSoundMp3, 22050, 1, 16, 4 * 576, 104},
        {"one frame header, then other bytes", mp3(1, 0xFB, 0x90, 0x00, 417, 32) + "text",
         kSoundNotSound},
        {"a cue file", "0:HOUSE LIGHTS OFF\n1f4:SPOT 1 ON\n", kSoundNotSound},
        {"an empty file", "", kSoundNotSound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::FILE* file = std::tmpfile();
        std::fwrite(c.bytes.data(), 1, c.bytes.size(), file);
        std::fflush(file);
        SoundFormat format;
        ASSERT_EQ(readSoundFormat(fileno(file), &format), c.found);
        std::fclose(file);
        if (c.found != kSoundKnown) {
            continue;
        }
        EXPECT_EQ(format.kind, c.kind);
        EXPECT_EQ(format.rate, c.rate);
        EXPECT_EQ(format.channels, c.channels);
        EXPECT_EQ(format.bits, c.bits);
        EXPECT_EQ(format.frames, c.frames);
        EXPECT_EQ(soundLengthMs(format), c.ms);
        if (c.kind == kSoundWav) {  // its data starts right after the data chunk's header
            EXPECT_EQ(c.bytes.substr(static_cast<std::size_t>(format.dataOffset) - 8, 4), "data");
        }
    }
}

TEST(SoundFile, AFileThatCannotBeReadIsToldApartFromOneThatIsNotSound) {
    const int directory = open("/", O_RDONLY | O_DIRECTORY);
    SoundFormat format;
    EXPECT_EQ(readSoundFormat(directory, &format), kSoundUnreadable);
    close(directory);
}

}  // namespace
