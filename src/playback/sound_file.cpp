#include "sound_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::uint32_t little16(const unsigned char* at) {
    return static_cast<std::uint32_t>(at[0] | at[1] << 8);
}

std::uint32_t little32(const unsigned char* at) { return little16(at) | little16(at + 2) << 16; }

std::uint32_t big32(const unsigned char* at) {
    return static_cast<std::uint32_t>(at[0]) << 24 | static_cast<std::uint32_t>(at[1]) << 16 |
           static_cast<std::uint32_t>(at[2]) << 8 | at[3];
}

// Reads exactly `size` bytes at `offset`; false at the end of the file too
// (errno tells a failure apart: it is left 0 there).
bool readAt(int fd, std::int64_t offset, void* into, std::size_t size) {
    errno = 0;
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = pread(fd, static_cast<char*>(into) + got, size - got,
                                static_cast<off_t>(offset) + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// The end of a failed read: a read error, or a file too short to be sound.
int readFailure() { return errno != 0 ? kSoundUnreadable : kSoundNotSound; }

// An ID3v2 tag (MP3 files carry one, and some FLAC files) comes before the
// sound: its length, or 0 without one.
std::int64_t id3Length(const unsigned char* head) {
    if (std::memcmp(head, "ID3", 3) != 0) {
        return 0;
    }
    // Seven bits a byte, and a footer of 10 more bytes when its flag says so.
    const std::int64_t size =
        (head[6] & 0x7F) << 21 | (head[7] & 0x7F) << 14 | (head[8] & 0x7F) << 7 | (head[9] & 0x7F);
    return 10 + size + ((head[5] & 0x10) != 0 ? 10 : 0);
}

// The two bytes of the GUID of an extensible WAV's integer PCM samples.
constexpr std::uint32_t kWavPcm = 1;
constexpr std::uint32_t kWavExtensible = 0xFFFE;

int readWav(int fd, SoundFormat* format) {
    std::int64_t at = 12;  // after "RIFF", its size and "WAVE"
    bool haveFormat = false;
    for (;;) {
        unsigned char chunk[8];
        if (!readAt(fd, at, chunk, sizeof chunk)) {
            return readFailure();
        }
        const std::uint32_t size = little32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            unsigned char fmt[40] = {};
            if (size < 16 || !readAt(fd, at + 8, fmt, size < sizeof fmt ? size : sizeof fmt)) {
                return size < 16 ? kSoundNotSound : readFailure();
            }
            std::uint32_t tag = little16(fmt);
            if (tag == kWavExtensible && size >= 40) {
                tag = little16(fmt + 24);  // the sub-format's first two bytes
            }
            format->channels = static_cast<std::int32_t>(little16(fmt + 2));
            format->rate = static_cast<std::int32_t>(little32(fmt + 4));
            format->bits = static_cast<std::int32_t>(little16(fmt + 14));
            const std::uint32_t blockAlign = little16(fmt + 12);
            if (tag != kWavPcm || (format->bits != 16 && format->bits != 24) ||
                format->channels < 1 || format->rate < 1 ||
                blockAlign != static_cast<std::uint32_t>(format->channels * format->bits / 8)) {
                return kSoundUnplayable;
            }
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) {
                return kSoundNotSound;
            }
            // A writer that never went back to fill in the size leaves it
            // all ones; the sound then lasts to the end of the file.
            struct stat info {};
            if (fstat(fd, &info) != 0) {
                return kSoundUnreadable;
            }
            std::int64_t bytes = static_cast<std::int64_t>(info.st_size) - (at + 8);
            if (size < bytes) {
                bytes = size;
            }
            format->dataOffset = at + 8;
            format->frames = bytes < 0 ? 0 : bytes / (format->channels * format->bits / 8);
            return kSoundKnown;
        }
        at += 8 + static_cast<std::int64_t>(size) + (size & 1);  // chunks are padded to even
    }
}

int readFlac(int fd, std::int64_t at, SoundFormat* format) {
    // The first metadata block, STREAMINFO, is always there: 34 bytes.
    unsigned char info[4 + 34];
    if (!readAt(fd, at + 4, info, sizeof info)) {
        return readFailure();
    }
    if ((info[0] & 0x7F) != 0 || info[3] != 34) {
        return kSoundNotSound;
    }
    const unsigned char* stream = info + 4;
    format->rate = stream[10] << 12 | stream[11] << 4 | stream[12] >> 4;
    format->channels = ((stream[12] >> 1) & 7) + 1;
    format->bits = ((stream[12] & 1) << 4 | stream[13] >> 4) + 1;
    const std::int64_t total =
        static_cast<std::int64_t>(stream[13] & 0x0F) << 32 | big32(stream + 14);
    format->frames = total > 0 ? total : -1;
    return format->rate > 0 ? kSoundKnown : kSoundNotSound;
}

// One MPEG audio layer III frame header.
struct Mp3Frame {
    std::int32_t rate;
    std::int32_t channels;
    std::int32_t samples;   // frames of sound it holds
    std::int64_t bytes;     // its length in the file
    std::int32_t sideInfo;  // bytes after its header before its data
};

bool readMp3Header(const unsigned char* head, Mp3Frame* frame) {
    if (head[0] != 0xFF || (head[1] & 0xE0) != 0xE0 || (head[1] & 0x06) != 0x02) {
        return false;  // no sync, or not layer III
    }
    static const int kRates[3] = {44100, 48000, 32000};
    static const int kKbpsV1[15] = {0,   32,  40,  48,  56,  64,  80, 96,
                                    112, 128, 160, 192, 224, 256, 320};
    static const int kKbpsV2[15] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    const int version = (head[1] >> 3) & 3;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    const int bitrate = head[2] >> 4;
    const int rateIndex = (head[2] >> 2) & 3;
    if (version == 1 || bitrate == 0 || bitrate == 15 || rateIndex == 3) {
        return false;  // reserved, free-format or bad
    }
    const bool mpeg1 = version == 3;
    frame->rate = kRates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    frame->channels = (head[3] >> 6) == 3 ? 1 : 2;
    frame->samples = mpeg1 ? 1152 : 576;
    const std::int64_t kbps = (mpeg1 ? kKbpsV1 : kKbpsV2)[bitrate];
    frame->bytes = (mpeg1 ? 144000 : 72000) * kbps / frame->rate + ((head[2] >> 1) & 1);
    frame->sideInfo = mpeg1 ? (frame->channels == 1 ? 17 : 32) : (frame->channels == 1 ? 9 : 17);
    return true;
}

int readMp3(int fd, std::int64_t at, SoundFormat* format) {
    unsigned char head[4 + 32 + 12];
    Mp3Frame first{};
    if (!readAt(fd, at, head, 4)) {
        return readFailure();
    }
    if (!readMp3Header(head, &first)) {
        return kSoundNotSound;
    }
    // Random bytes may look like one header, seldom like two in a row.
    if (readAt(fd, at + first.bytes, head, 4)) {
        Mp3Frame second{};
        if (!readMp3Header(head, &second)) {
            return kSoundNotSound;
        }
    } else if (errno != 0) {
        return kSoundUnreadable;
    }
    format->rate = first.rate;
    format->channels = first.channels;
    format->bits = 16;
    // An encoder's Xing (or Info) frame tells how many frames follow it.
    std::memset(head, 0, sizeof head);
    if (readAt(fd, at, head, sizeof head) || errno == 0) {
        const unsigned char* xing = head + 4 + first.sideInfo;
        if ((std::memcmp(xing, "Xing", 4) == 0 || std::memcmp(xing, "Info", 4) == 0) &&
            (big32(xing + 4) & 1) != 0) {
            format->frames = static_cast<std::int64_t>(big32(xing + 8)) * first.samples;
            return kSoundKnown;
        }
    }
    // Otherwise the frames are counted, to the first bytes that are not one
    // (a tag at the end, or the end of the file).
    std::int64_t frames = 0;
    Mp3Frame frame{};
    while (readAt(fd, at, head, 4) && readMp3Header(head, &frame)) {
        frames += frame.samples;
        at += frame.bytes;
    }
    if (errno != 0) {
        return kSoundUnreadable;
    }
    format->frames = frames;
    return kSoundKnown;
}

}  // namespace

int readSoundFormat(int fd, SoundFormat* format) {
    *format = SoundFormat{};
    unsigned char head[12];
    if (!readAt(fd, 0, head, sizeof head)) {
        return readFailure();
    }
    if (std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0) {
        format->kind = kSoundWav;
        return readWav(fd, format);
    }
    const std::int64_t start = id3Length(head);
    unsigned char magic[4];
    if (!readAt(fd, start, magic, sizeof magic)) {
        return readFailure();
    }
    if (std::memcmp(magic, "fLaC", 4) == 0) {
        format->kind = kSoundFlac;
        return readFlac(fd, start, format);
    }
    format->kind = kSoundMp3;
    return readMp3(fd, start, format);
}

const char* soundKindName(int kind) {
    return kind == kSoundWav ? "WAV" : kind == kSoundFlac ? "FLAC" : "MP3";
}

std::int64_t soundLengthMs(const SoundFormat& format) {
    return format.frames < 0 ? -1 : format.frames * 1000 / format.rate;
}
