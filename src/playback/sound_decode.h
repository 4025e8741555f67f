// Compressed sounds (FLAC, MP3), decoded whole before the show plays into
// 16-bit samples in memory: playing one is then reading frames from a
// descriptor, as a WAV file's are read, and no decoding ever competes with
// a cue for the processor.
#pragma once

#include "sound_file.h"

// What decodeSound() may find besides readSoundFormat()'s results.
constexpr int kSoundDamaged = -4;    // the file's sound data is damaged
constexpr int kSoundNoMemory = -5;   // no memory to hold the decoded sound
constexpr int kSoundNoDecoder = -6;  // this build has no decoder for its kind

// Decodes the FLAC or MP3 sound in `fd`, whose header readSoundFormat()
// read into `format`. Returns a descriptor of the decoded frames (16-bit,
// interleaved, from offset 0), `format` telling them and their exact
// number; or one of the negative results above.
int decodeSound(int fd, SoundFormat* format);

// The decoders' own parts, each writing its frames with decodedFrames().
int decodeFlac(int fd, SoundFormat* format);
int decodeMp3(int fd, SoundFormat* format);

// Appends `count` frames of `channels` 16-bit samples to the decoded
// sound. Returns false when memory ran out.
bool decodedFrames(const std::int16_t* samples, std::int64_t count, int channels);
