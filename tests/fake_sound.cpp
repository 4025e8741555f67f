#include "fake_sound.h"

#include <algorithm>
#include <cmath>

#include "board/board.h"

namespace fake {

SoundCard sound;

void resetSound() { sound = SoundCard{}; }

// Frames the card has taken from its buffer at `nanos`.
std::int64_t playedAt(std::int64_t nanos) {
    if (!sound.started) {
        return 0;
    }
    const double seconds = static_cast<double>(nanos - sound.startNanos) / 1e9;
    return static_cast<std::int64_t>(std::floor(seconds * sound.rate * (1 + sound.ppm / 1e6)));
}

std::int64_t queued() { return static_cast<std::int64_t>(sound.frames.size()); }

std::int64_t soundHeardAt(std::int64_t nanos) {
    return sound.started ? playedAt(nanos) - sound.latencyFrames : -sound.latencyFrames - 1;
}

double soundHeardNanos(std::int64_t frame) {
    return static_cast<double>(sound.startNanos) +
           static_cast<double>(frame + sound.latencyFrames) * 1e9 /
               (sound.rate * (1 + sound.ppm / 1e6));
}

std::int32_t soundValue(std::int64_t frame) {
    return frame >= 0 && frame < queued() ? sound.frames[static_cast<std::size_t>(frame)] : -1;
}

}  // namespace fake

using fake::sound;

int soundOpen(const char* device, int rate, int channels, int* playChannels) {
    sound.device = device != nullptr ? device : "";
    sound.rate = rate;
    *playChannels = std::clamp(channels, sound.minChannels, sound.channels);
    return sound.openResult;
}

int soundWrite(int /*handle*/, const std::int16_t* frames, int count) {
    if (sound.gone) {
        return -1;
    }
    const std::int64_t played = fake::playedAt(clockNanos());
    const std::int64_t room =
        sound.bufferFrames - (fake::queued() - std::min(played, fake::queued()));
    const int taken = static_cast<int>(std::min<std::int64_t>(count, room));
    for (int i = 0; i < taken; ++i) {
        if (sound.started && fake::queued() < played) {
            ++sound.framesLate;
        }
        // Read as the player's test sound has them: two channels.
        const std::int16_t* frame = frames + i * std::min(2, sound.channels);
        sound.frames.push_back(sound.channels >= 2 ? frame[0] | frame[1] * (1 << 15) : frame[0]);
    }
    return taken;
}

int soundStart(int /*handle*/) {
    sound.started = true;
    sound.startNanos = clockNanos();
    ++sound.starts;
    return 0;
}

int soundQueued(int /*handle*/, std::int64_t* frames, std::int64_t* atNanos) {
    if (sound.gone) {
        return -1;
    }
    *atNanos = clockNanos();
    std::int64_t played = fake::playedAt(*atNanos);
    if (sound.lagFrames > 0) {
        played -= played % sound.lagFrames;
    }
    *frames = fake::queued() - played + sound.latencyFrames;
    return 0;
}

std::int64_t soundSkip(int /*handle*/, std::int64_t frames) {
    if (frames >= 0) {
        sound.frames.insert(sound.frames.end(), static_cast<std::size_t>(frames), 0);
        return frames;
    }
    // Back no further than what the card has not yet played.
    const std::int64_t back = std::max(frames, fake::playedAt(clockNanos()) - fake::queued());
    sound.frames.resize(static_cast<std::size_t>(fake::queued() + std::min<std::int64_t>(back, 0)));
    return std::min<std::int64_t>(back, 0);
}

void soundStop(int /*handle*/) {
    sound.started = false;
    sound.frames.clear();
    ++sound.stops;
}

void soundClose(int /*handle*/) {
    sound.started = false;
    sound.closed = true;
}
