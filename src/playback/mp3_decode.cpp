// MP3 with Debian's libmpg123: gapless, so that the encoder's delay and
// padding are taken off and the sound's first sample is the one the
// encoder was given (a cue at X ms is then on the sample at X ms).
#include <mpg123.h>
#include <unistd.h>

#include "sound_decode.h"

namespace {

// One decoder for the run: set up once, quiet (the player writes nothing
// to standard error), 16-bit at the file's own rate and channels.
mpg123_handle* newDecoder(const SoundFormat& format) {
    mpg123_init();
    int error = MPG123_OK;
    mpg123_handle* decoder = mpg123_new(nullptr, &error);
    if (decoder == nullptr) {
        return nullptr;
    }
    mpg123_param(decoder, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0.0);
    mpg123_format_none(decoder);
    mpg123_format(decoder, format.rate, format.channels == 1 ? MPG123_MONO : MPG123_STEREO,
                  MPG123_ENC_SIGNED_16);
    return decoder;
}

}  // namespace

int decodeMp3(int fd, SoundFormat* format) {
    mpg123_handle* decoder = newDecoder(*format);
    if (decoder == nullptr) {
        return kSoundNoMemory;
    }
    lseek(fd, 0, SEEK_SET);
    int result = mpg123_open_fd(decoder, fd) == MPG123_OK ? kSoundKnown : kSoundDamaged;
    // The length the encoder's Info frame tells, exact when it also tells
    // the encoder's delay (checked below): a file that ends before it was
    // cut short.
    const off_t told = mpg123_length(decoder);
    std::int64_t frames = 0;
    constexpr std::size_t kSamples = 4608;
    std::int16_t out[kSamples];
    const int frameBytes = format->channels * static_cast<int>(sizeof out[0]);
    while (result == kSoundKnown) {
        size_t bytes = 0;
        const int status =
            mpg123_read(decoder, reinterpret_cast<unsigned char*>(out), sizeof out, &bytes);
        const std::int64_t count = static_cast<std::int64_t>(bytes) / frameBytes;
        frames += count;
        if (bytes > 0 && !decodedFrames(out, count, format->channels)) {
            result = kSoundNoMemory;
        } else if (status == MPG123_DONE) {
            break;
        } else if (status != MPG123_OK && status != MPG123_NEW_FORMAT) {
            // A rate or channels other than the first frame's, or data
            // the decoder cannot read.
            result = status == MPG123_ERR && mpg123_errcode(decoder) == MPG123_ERR_READER
                         ? kSoundUnreadable
                         : kSoundDamaged;
        }
    }
    long delay = -1;
    double unused = 0;
    mpg123_getstate(decoder, MPG123_ENC_DELAY, &delay, &unused);
    if (result == kSoundKnown && delay >= 0 && frames < told) {
        result = kSoundDamaged;
    }
    mpg123_close(decoder);
    mpg123_delete(decoder);
    return result;
}
