// Sound files, known by their headers: what a header tells is enough to
// know how long the sound lasts and what a sound device must take to play
// it. Read with pread() from an open descriptor, into fixed buffers.
#pragma once

#include <cstdint>

// The kinds of file, as their first bytes tell them.
constexpr int kSoundWav = 1;   // RIFF WAVE of integer PCM samples
constexpr int kSoundFlac = 2;  // FLAC
constexpr int kSoundMp3 = 3;   // MPEG-1, -2 or -2.5 audio, layer III

struct SoundFormat {
    int kind = 0;
    std::int32_t rate = 0;        // frames a second
    std::int32_t channels = 0;    // samples a frame
    std::int32_t bits = 0;        // bits a sample (MP3: 16, what it decodes to)
    std::int64_t frames = -1;     // frames the sound lasts; -1 when the file does not tell
    std::int64_t dataOffset = 0;  // WAV: where its first frame starts
};

// What readSoundFormat() found.
constexpr int kSoundKnown = 0;
constexpr int kSoundUnreadable = -1;  // the file could not be read
constexpr int kSoundNotSound = -2;    // none of the kinds above
constexpr int kSoundUnplayable = -3;  // a WAV whose samples are not 16- or 24-bit PCM
int readSoundFormat(int fd, SoundFormat* format);

// The kind's name, as messages give it: "WAV", "FLAC", "MP3".
const char* soundKindName(int kind);

// How long the sound lasts, in whole milliseconds (rounded down); -1 when
// the file does not tell.
std::int64_t soundLengthMs(const SoundFormat& format);
