#include "sound_clock.h"

#include <algorithm>

namespace {

constexpr std::int64_t kNanosPerSecond = 1000000000;

std::int32_t g_rate = 1;

// Each reading as the moment at which frame 0 would have left, had the
// device played at its nominal rate all along, and when it was taken. Over
// a short stretch the device's own rate barely moves it; lags in its
// readings only make it later. So the earliest of the latest readings is
// the truest.
std::int64_t g_zeros[kSoundClockReadings];
std::int64_t g_ats[kSoundClockReadings];
int g_count = 0;
int g_next = 0;
std::int64_t g_latestAt = 0;

// A device slower than its nominal rate has moved that moment later since
// the earliest reading was taken: sound cards run within 100 parts per
// million of their rate (a Raspberry Pi's own output 54 to 84, USB ones up
// to 100), so a fifth more of the time since is added, and no cue comes
// before its frame.
constexpr std::int64_t kSlowestPpm = 120;

std::int64_t framesToNanos(std::int64_t frames) {
    if (frames < 0) {
        return -framesToNanos(-frames);
    }
    // In two parts, so that weeks of frames do not overflow.
    return frames / g_rate * kNanosPerSecond + frames % g_rate * kNanosPerSecond / g_rate;
}

std::int64_t zero() {
    if (g_count == 0) {
        return 0;
    }
    // Of equal ones, the latest reading, which needs the least allowance.
    int earliest = 0;
    for (int i = 0; i < g_count; ++i) {
        const int at = (g_next + i) % g_count;
        if (g_zeros[at] <= g_zeros[earliest]) {
            earliest = at;
        }
    }
    return g_zeros[earliest] + (g_latestAt - g_ats[earliest]) * kSlowestPpm / 1000000;
}

}  // namespace

void soundClockReset(std::int32_t rate) {
    g_rate = rate;
    g_count = 0;
    g_next = 0;
}

void soundClockReading(std::int64_t frame, std::int64_t atNanos) {
    g_zeros[g_next] = atNanos - framesToNanos(frame);
    g_ats[g_next] = atNanos;
    g_latestAt = atNanos;
    g_next = (g_next + 1) % kSoundClockReadings;
    g_count = std::min(g_count + 1, kSoundClockReadings);
}

std::int64_t soundFrameNanos(std::int64_t frame) { return zero() + framesToNanos(frame); }

std::int64_t soundFrameAt(std::int64_t nanos) {
    const std::int64_t since = nanos - zero();
    // Rounded up, in two parts as above; then one on when that frame, by
    // the rounding of framesToNanos, still leaves before the moment.
    const std::int64_t seconds =
        since >= 0 ? since / kNanosPerSecond : -((-since + kNanosPerSecond - 1) / kNanosPerSecond);
    const std::int64_t rest = since - seconds * kNanosPerSecond;
    std::int64_t frame = seconds * g_rate + (rest * g_rate + kNanosPerSecond - 1) / kNanosPerSecond;
    while (soundFrameNanos(frame) < nanos) {
        ++frame;
    }
    return frame;
}
