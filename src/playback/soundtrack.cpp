#include "soundtrack.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "board/board.h"
#include "sound_clock.h"
#include "sound_decode.h"
#include "sound_file.h"

namespace {

constexpr std::int64_t kNanosPerMs = 1000000;

int g_file = -1;
SoundFormat g_format;
int g_out = -1;
int g_channels = 0;  // the device's

bool g_running = false;
// Frames queued on the stream since it started, skipped ones included.
std::int64_t g_written = 0;
// The stream frames where the pass's sound begins and ends, and where the
// next pass's begins, once known (else -1): there the pass's is cut off.
std::int64_t g_passFrame = 0;
std::int64_t g_endFrame = 0;
std::int64_t g_nextFrame = -1;
// When the pass's sound ends, on the device's clock as last seen while it
// played: the show clock goes on from there on the monotonic clock.
std::int64_t g_endNanos = 0;

// After the sound, silence is queued only this far ahead of what plays:
// a loop's next pass starts where its frame leaves, and what is queued
// beyond it must be taken back first. Longer than the longest wait
// between two feeds.
constexpr std::int64_t kSilenceLeadMs = 80;

// A device's position may move only now and then (at each timer tick or
// period), and is then behind by up to that much: a reading taken just
// after a move is the true one. So readings are spread over such a
// stretch: each waits for a different part of it (multiples of the golden
// ratio's fraction spread evenly), and the sound clock goes by the truest.
constexpr std::int64_t kSpreadNanos = 10000000;
constexpr std::int64_t kSpreadStep = 6180340;
std::int64_t g_readDelay = 0;

// One read and one write of sound at a time, in fixed buffers.
constexpr std::size_t kReadBytes = 24576;
constexpr std::size_t kPlaySamples = 8192;
unsigned char g_read[kReadBytes];
std::int16_t g_play[kPlaySamples];

std::int64_t bytesPerFrame() {
    return static_cast<std::int64_t>(g_format.channels) * (g_format.bits / 8);
}

// Sample `channel` of the frame at `frame` in g_read, as 16 bits: 24-bit
// samples lose their lowest byte.
std::int16_t sampleAt(const unsigned char* frame, int channel) {
    const std::ptrdiff_t bytes = g_format.bits / 8;
    const unsigned char* at = frame + channel * bytes + (bytes - 2);
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(at[0] | at[1] << 8));
}

// `count` frames of g_read into g_play in the device's channels: the same
// ones where they agree, a mono sound on every channel, the mix of all on
// a mono device, silence on channels the file does not have.
void convert(int count) {
    const std::int64_t frameBytes = bytesPerFrame();
    for (int f = 0; f < count; ++f) {
        const unsigned char* frame = g_read + f * frameBytes;
        std::int16_t* out = g_play + static_cast<std::ptrdiff_t>(f) * g_channels;
        if (g_channels == 1 && g_format.channels > 1) {
            std::int32_t sum = 0;
            for (int c = 0; c < g_format.channels; ++c) {
                sum += sampleAt(frame, c);
            }
            out[0] = static_cast<std::int16_t>(sum / g_format.channels);
            continue;
        }
        for (int c = 0; c < g_channels; ++c) {
            const int from = g_format.channels == 1 ? 0 : c;
            out[c] = from < g_format.channels ? sampleAt(frame, from) : std::int16_t{0};
        }
    }
}

// The frame of the sound that stream frame `frame` holds, or -1 for
// silence: the pass's sound from its first frame, and the next pass's from
// its own.
std::int64_t soundIndexAt(std::int64_t frame) {
    const bool next = g_nextFrame >= 0 && frame >= g_nextFrame;
    const std::int64_t index = frame - (next ? g_nextFrame : g_passFrame);
    return index >= 0 && index < g_format.frames ? index : -1;
}

// Where the last sound queued so far ends.
std::int64_t soundEndFrame() {
    return g_nextFrame >= 0 ? g_nextFrame + g_format.frames : g_endFrame;
}

// Fills g_play with `count` frames of the stream from g_written: the
// sound where it plays, silence elsewhere. A file that cannot be read (any
// more) gives silence.
void prepare(int count) {
    const std::int64_t index = soundIndexAt(g_written);
    if (index < 0) {
        std::memset(g_play, 0, static_cast<std::size_t>(count * g_channels) * sizeof g_play[0]);
        return;
    }
    const std::int64_t frameBytes = bytesPerFrame();
    const std::size_t want = static_cast<std::size_t>(count * frameBytes);
    ssize_t got =
        pread(g_file, g_read, want, static_cast<off_t>(g_format.dataOffset + index * frameBytes));
    if (got < 0) {
        got = 0;
    }
    std::memset(g_read + got, 0, want - static_cast<std::size_t>(got));
    convert(count);
}

// How many frames may go into the stream from g_written in one write:
// never across a sound's start or end, so that one write is all of one
// sound, or all silence.
int nextCount(std::int64_t limit) {
    const std::int64_t most =
        std::min<std::int64_t>(static_cast<std::int64_t>(kReadBytes) / bytesPerFrame(),
                               static_cast<std::int64_t>(kPlaySamples) / g_channels);
    std::int64_t count = std::min(most, limit - g_written);
    for (const std::int64_t edge :
         {g_passFrame, g_endFrame, g_nextFrame, g_nextFrame + g_format.frames}) {
        if (g_written < edge) {
            count = std::min(count, edge - g_written);
        }
    }
    return static_cast<int>(count);
}

// Queues the stream as far as the buffer takes it while the pass's sound
// (or the silence before it) is to come, and after the sound only a little
// silence ahead of `heard`.
bool fill(std::int64_t heard) {
    for (;;) {
        const std::int64_t end = soundEndFrame();
        const std::int64_t until =
            g_written < end ? end : std::max(end, heard + kSilenceLeadMs * g_format.rate / 1000);
        if (g_written >= until) {
            return true;
        }
        const int count = nextCount(until);
        prepare(count);
        const int taken = soundWrite(g_out, g_play, count);
        if (taken < 0) {
            return false;
        }
        g_written += taken;
        if (taken < count) {
            return true;  // the buffer is full
        }
    }
}

std::int64_t lengthNanos() {
    return g_format.frames / g_format.rate * 1000000000 +
           g_format.frames % g_format.rate * 1000000000 / g_format.rate;
}

// Where the pass's sound begins and ends, from `frame` on.
std::int64_t beginPass(std::int64_t frame) {
    g_nextFrame = -1;
    g_passFrame = frame;
    g_endFrame = frame + g_format.frames;
    g_endNanos = soundFrameNanos(g_endFrame);
    return soundFrameNanos(frame);
}

}  // namespace

int soundtrackReadFile(const char* path) {
    if (g_file >= 0) {
        close(g_file);
    }
    g_file = open(path, O_RDONLY | O_CLOEXEC);
    if (g_file < 0) {
        return kSoundUnreadable;
    }
    const int found = readSoundFormat(g_file, &g_format);
    if (found != kSoundKnown || g_format.kind == kSoundWav) {
        return found;
    }
    // FLAC and MP3 are played from their decoded frames.
    const int decoded = decodeSound(g_file, &g_format);
    close(g_file);
    g_file = decoded;
    return decoded < 0 ? decoded : kSoundKnown;
}

int soundtrackOpenDevice(const char* device) {
    const int out = soundOpen(device, g_format.rate, g_format.channels, &g_channels);
    if (out < 0) {
        return out;
    }
    g_out = out;
    g_running = false;
    return 0;
}

int soundtrackRate() { return g_format.rate; }

bool soundtrackOn() { return g_out >= 0; }

std::int64_t soundtrackLengthMs() {
    return (g_format.frames * 1000 + g_format.rate - 1) / g_format.rate;
}

namespace {

// Starts the stream afresh, the pass's sound from stream frame `frame` on
// (before 0: none yet).
bool startStream(std::int64_t frame) {
    soundtrackPause();
    g_written = 0;
    soundClockReset(g_format.rate);
    beginPass(frame);
    if (!fill(0) || soundStart(g_out) != 0) {
        return false;
    }
    g_running = true;
    return soundtrackFeed();
}

}  // namespace

std::int64_t soundtrackStart() { return startStream(0) ? beginPass(0) : -1; }

bool soundtrackStartSilent() { return startStream(-g_format.frames); }

void soundtrackQueueNext(std::int64_t monotonicNanos) {
    if (!g_running) {
        return;
    }
    g_nextFrame = soundFrameAt(monotonicNanos);
    // What is queued past the next pass's first frame is taken back; what
    // the device will not give back plays, and the next pass's sound then
    // starts that much into itself, in step all the same.
    if (g_written > g_nextFrame) {
        g_written += soundSkip(g_out, g_nextFrame - g_written);
    }
}

std::int64_t soundtrackStartAt(std::int64_t monotonicNanos) {
    if (!g_running) {
        return soundtrackStart();
    }
    if (g_nextFrame < 0) {
        soundtrackQueueNext(monotonicNanos);
    }
    const std::int64_t start = beginPass(g_nextFrame);
    return soundtrackFeed() ? start : -1;
}

std::int64_t soundtrackNanos(std::int64_t ms) {
    if (ms * g_format.rate < g_format.frames * 1000) {
        return soundFrameNanos(g_passFrame) + ms * kNanosPerMs;
    }
    return g_endNanos + ms * kNanosPerMs - lengthNanos();
}

bool soundtrackFeed() {
    if (!g_running) {
        return true;
    }
    std::int64_t queued = 0;
    std::int64_t at = 0;
    if (soundQueued(g_out, &queued, &at) != 0) {
        return false;
    }
    const std::int64_t heard = g_written - queued;
    soundClockReading(heard, at);
    g_readDelay = (g_readDelay + kSpreadStep) % kSpreadNanos;
    if (heard < g_endFrame) {
        g_endNanos = soundFrameNanos(g_endFrame);
    }
    if (queued < 0) {
        // Behind: the device played silence meanwhile. The sound goes on
        // from the frame that belongs where it now plays.
        g_written += soundSkip(g_out, -queued);
    }
    return fill(heard);
}

std::int64_t soundtrackReadDelay() { return g_readDelay; }

void soundtrackPause() {
    if (g_running) {
        soundStop(g_out);
        g_running = false;
    }
}

void soundtrackClose() {
    if (g_out >= 0) {
        soundClose(g_out);
        g_out = -1;
    }
    g_running = false;
    if (g_file >= 0) {
        close(g_file);
        g_file = -1;
    }
}
