#include "sound_decode.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

namespace {

// The decoded sound: a file in memory, so that it is read like any other
// (and may go to swap like any other page of the process).
int g_decoded = -1;
std::int64_t g_decodedFrames = 0;

}  // namespace

bool decodedFrames(const std::int16_t* samples, std::int64_t count, int channels) {
    const char* from = reinterpret_cast<const char*>(samples);
    std::size_t left = static_cast<std::size_t>(count * channels) * sizeof samples[0];
    while (left > 0) {
        const ssize_t n = write(g_decoded, from, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        from += n;
        left -= static_cast<std::size_t>(n);
    }
    g_decodedFrames += count;
    return true;
}

int decodeSound(int fd, SoundFormat* format) {
#ifdef ORV_SOUND_DECODERS
    g_decoded = memfd_create("orvplayer-sound", MFD_CLOEXEC);
    if (g_decoded < 0) {
        return kSoundNoMemory;
    }
    g_decodedFrames = 0;
    const int found = format->kind == kSoundFlac ? decodeFlac(fd, format) : decodeMp3(fd, format);
    // A FLAC file tells its length: one that ends before it was cut short.
    const bool cutShort =
        format->kind == kSoundFlac && format->frames > 0 && g_decodedFrames != format->frames;
    if (found != kSoundKnown || g_decodedFrames == 0 || cutShort) {
        close(g_decoded);
        g_decoded = -1;
        return found != kSoundKnown ? found : kSoundDamaged;
    }
    format->bits = 16;
    format->frames = g_decodedFrames;
    format->dataOffset = 0;
    const int decoded = g_decoded;
    g_decoded = -1;
    return decoded;
#else
    (void)fd;
    (void)format;
    return kSoundNoDecoder;
#endif
}
