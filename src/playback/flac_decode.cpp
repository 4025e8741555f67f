// FLAC with Debian's libFLAC: its stream decoder, fed from the descriptor.
#include <FLAC/stream_decoder.h>
#include <unistd.h>

#include <cerrno>

#include "sound_decode.h"

namespace {

struct FlacRead {
    // Read through the decoder's client pointer, which cppcheck does not
    // follow.
    // cppcheck-suppress unusedStructMember
    int fd;
    bool damaged = false;
    bool full = false;  // memory ran out
    int channels = 0;
};

FLAC__StreamDecoderReadStatus readBytes(const FLAC__StreamDecoder*, FLAC__byte buffer[],
                                        size_t* bytes, void* data) {
    const int fd = static_cast<FlacRead*>(data)->fd;
    ssize_t n = 0;
    do {
        n = read(fd, buffer, *bytes);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        *bytes = 0;
        return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
    }
    *bytes = static_cast<size_t>(n);
    return n == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM
                  : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

// Each block's samples as 16 bits, interleaved: deeper samples lose their
// lowest bits, shallower ones are scaled up.
FLAC__StreamDecoderWriteStatus writeBlock(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                          const FLAC__int32* const buffer[], void* data) {
    auto* read = static_cast<FlacRead*>(data);
    const int channels = static_cast<int>(frame->header.channels);
    const int bits = static_cast<int>(frame->header.bits_per_sample);
    if (channels != read->channels) {
        read->damaged = true;  // a stream that changes its channels midway
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    constexpr std::size_t kSamples = 4096;
    std::int16_t out[kSamples];
    const std::size_t perWrite = kSamples / static_cast<std::size_t>(channels);
    const std::size_t blocksize = frame->header.blocksize;
    for (std::size_t first = 0; first < blocksize; first += perWrite) {
        const std::size_t count = blocksize - first < perWrite ? blocksize - first : perWrite;
        for (std::size_t f = 0; f < count; ++f) {
            for (int c = 0; c < channels; ++c) {
                const FLAC__int32 sample = buffer[c][first + f];
                out[f * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] =
                    static_cast<std::int16_t>(bits >= 16 ? sample >> (bits - 16)
                                                         : sample * (1 << (16 - bits)));
            }
        }
        if (!decodedFrames(out, static_cast<std::int64_t>(count), channels)) {
            read->full = true;
            return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        }
    }
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

// A lost sync, a bad header or a checksum that does not match: the sound
// would have a gap or noise there, so it is not played at all.
void decodeError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* data) {
    static_cast<FlacRead*>(data)->damaged = true;
}

}  // namespace

int decodeFlac(int fd, SoundFormat* format) {
    FLAC__StreamDecoder* decoder = FLAC__stream_decoder_new();
    if (decoder == nullptr) {
        return kSoundNoMemory;
    }
    FlacRead read{fd};
    read.channels = format->channels;
    lseek(fd, 0, SEEK_SET);
    bool done = FLAC__stream_decoder_init_stream(decoder, readBytes, nullptr, nullptr, nullptr,
                                                 nullptr, writeBlock, nullptr, decodeError,
                                                 &read) == FLAC__STREAM_DECODER_INIT_STATUS_OK;
    done = done && FLAC__stream_decoder_process_until_end_of_stream(decoder) != 0;
    const bool unreadable =
        FLAC__stream_decoder_get_state(decoder) == FLAC__STREAM_DECODER_ABORTED && !read.full &&
        !read.damaged;
    FLAC__stream_decoder_delete(decoder);
    if (read.full) {
        return kSoundNoMemory;
    }
    if (unreadable) {
        return kSoundUnreadable;
    }
    return done && !read.damaged ? kSoundKnown : kSoundDamaged;
}
