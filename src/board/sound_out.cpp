// The show's sound through the kernel's PCM interface (the ioctls of
// <sound/asound.h>), with no library: the armhf program is static, ALSA's
// library comes only as a shared one and loads its configuration and
// plugins at run time, and playing 16-bit samples to one device needs none
// of that. The stream never stops by itself: when the player falls behind,
// the kernel plays silence and the device's clock runs on, so that the
// player can skip its sound ahead to where it belongs.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
// After <ctime>: the header uses struct timespec.
#include <sound/asound.h>

#include "board.h"
#include "sound_device.h"

namespace {

// A buffer this long holds the sound for every wait between two feeds (a
// look at the port every 20 ms, after a burst of cues at most every 50).
constexpr unsigned kBufferMicros = 250000;
// Periods this long at the least: no more interrupts than needed.
constexpr unsigned kPeriodMicros = 10000;

int g_channels = 0;

void setMask(snd_pcm_hw_params* params, int which, unsigned bit) {
    snd_mask& mask = params->masks[which - SNDRV_PCM_HW_PARAM_FIRST_MASK];
    std::memset(&mask, 0, sizeof mask);
    mask.bits[bit / 32] = 1U << (bit % 32);
}

snd_interval& interval(snd_pcm_hw_params* params, int which) {
    return params->intervals[which - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL];
}

void setRange(snd_pcm_hw_params* params, int which, unsigned least, unsigned most) {
    snd_interval& range = interval(params, which);
    range.min = least;
    range.max = most;
}

// The device takes 16-bit interleaved samples at `rate` in `channels`.
bool setHardware(int fd, int rate, int channels) {
    snd_pcm_hw_params params{};
    std::memset(params.masks, 0xFF, sizeof params.masks);
    for (snd_interval& range : params.intervals) {
        range.max = UINT_MAX;
    }
    params.rmask = ~0U;
    params.info = ~0U;
    setMask(&params, SNDRV_PCM_HW_PARAM_ACCESS, SNDRV_PCM_ACCESS_RW_INTERLEAVED);
    setMask(&params, SNDRV_PCM_HW_PARAM_FORMAT, SNDRV_PCM_FORMAT_S16_LE);
    setMask(&params, SNDRV_PCM_HW_PARAM_SUBFORMAT, SNDRV_PCM_SUBFORMAT_STD);
    setRange(&params, SNDRV_PCM_HW_PARAM_CHANNELS, static_cast<unsigned>(channels),
             static_cast<unsigned>(channels));
    setRange(&params, SNDRV_PCM_HW_PARAM_RATE, static_cast<unsigned>(rate),
             static_cast<unsigned>(rate));
    // The kernel then chooses the shortest period and the longest buffer.
    setRange(&params, SNDRV_PCM_HW_PARAM_PERIOD_TIME, kPeriodMicros, UINT_MAX);
    setRange(&params, SNDRV_PCM_HW_PARAM_BUFFER_TIME, 0, kBufferMicros);
    if (ioctl(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &params) != 0) {
        // A device whose periods are all longer: any buffer it has.
        setRange(&params, SNDRV_PCM_HW_PARAM_PERIOD_TIME, 0, UINT_MAX);
        setRange(&params, SNDRV_PCM_HW_PARAM_BUFFER_TIME, 0, UINT_MAX);
        params.rmask = ~0U;
        if (ioctl(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &params) != 0) {
            return false;
        }
    }
    return true;
}

// Started only by soundStart(); never stopped by the kernel; what has been
// played is filled with silence; timestamps on the monotonic clock.
bool setSoftware(int fd) {
    int version = SNDRV_PCM_VERSION;
    ioctl(fd, SNDRV_PCM_IOCTL_USER_PVERSION, &version);  // older kernels do without
    snd_pcm_sw_params params{};
    params.tstamp_mode = SNDRV_PCM_TSTAMP_ENABLE;
    params.tstamp_type = SNDRV_PCM_TSTAMP_TYPE_MONOTONIC;
    params.proto = SNDRV_PCM_VERSION;
    params.period_step = 1;
    params.avail_min = 1;
    params.start_threshold = LONG_MAX;
    params.stop_threshold = LONG_MAX;
    // The first call tells the boundary the stream's counters wrap at.
    if (ioctl(fd, SNDRV_PCM_IOCTL_SW_PARAMS, &params) != 0) {
        return false;
    }
    params.start_threshold = params.boundary;
    params.stop_threshold = params.boundary;
    params.silence_threshold = 0;
    params.silence_size = params.boundary;
    return ioctl(fd, SNDRV_PCM_IOCTL_SW_PARAMS, &params) == 0 &&
           ioctl(fd, SNDRV_PCM_IOCTL_PREPARE) == 0;
}

// Opens `path` for the sound: `channels` if the device takes them, else
// two or one. Returns the descriptor or a reason.
int openNode(const char* path, int rate, int channels) {
    const int fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == EBUSY                      ? kSoundBusy
               : errno == EACCES || errno == EPERM ? kSoundNoPermission
                                                   : kSoundNoDevice;
    }
    const int tries[] = {channels, 2, 1};
    for (const int tried : tries) {
        if (setHardware(fd, rate, tried)) {
            g_channels = tried;
            if (setSoftware(fd)) {
                return fd;
            }
            break;
        }
    }
    close(fd);
    return kSoundRefused;
}

}  // namespace

int soundOpen(const char* device, int rate, int channels, int* playChannels) {
    char path[64];
    const int named = soundDevicePath(device, path, sizeof path);
    if (named < 0) {
        return named == kSoundNameNoCard ? kSoundNoDevice : kSoundInvalid;
    }
    int fd = kSoundNoDevice;
    if (named > 0) {
        fd = openNode(path, rate, channels);
    } else {
        // The first card whose first device plays the sound; a card that is
        // there but refuses says so when no other plays it.
        for (int card = 0; card < kSoundCards && fd < 0; ++card) {
            soundCardPath(card, path, sizeof path);
            const int tried = openNode(path, rate, channels);
            if (tried >= 0 || fd == kSoundNoDevice) {
                fd = tried;
            }
        }
    }
    if (fd >= 0) {
        *playChannels = g_channels;
    }
    return fd;
}

int soundWrite(int handle, const std::int16_t* frames, int count) {
    snd_xferi transfer{};
    transfer.buf = const_cast<std::int16_t*>(frames);
    transfer.frames = static_cast<snd_pcm_uframes_t>(count);
    if (ioctl(handle, SNDRV_PCM_IOCTL_WRITEI_FRAMES, &transfer) == 0) {
        return static_cast<int>(transfer.result);
    }
    return errno == EAGAIN || errno == EINTR ? 0 : -1;
}

int soundStart(int handle) { return ioctl(handle, SNDRV_PCM_IOCTL_START) == 0 ? 0 : -1; }

int soundQueued(int handle, std::int64_t* frames, std::int64_t* atNanos) {
    snd_pcm_status status{};
    if (ioctl(handle, SNDRV_PCM_IOCTL_STATUS, &status) != 0 ||
        status.state == SNDRV_PCM_STATE_DISCONNECTED) {
        return -1;
    }
    *frames = status.delay;
    *atNanos = static_cast<std::int64_t>(status.tstamp.tv_sec) * 1000000000 + status.tstamp.tv_nsec;
    if (*atNanos == 0) {
        // A driver that has not moved its position yet has not stamped it:
        // its position is the one it started at, now.
        *atNanos = clockNanos();
    }
    return 0;
}

std::int64_t soundSkip(int handle, std::int64_t frames) {
    snd_pcm_uframes_t moved = static_cast<snd_pcm_uframes_t>(frames < 0 ? -frames : frames);
    if (ioctl(handle, frames < 0 ? SNDRV_PCM_IOCTL_REWIND : SNDRV_PCM_IOCTL_FORWARD, &moved) != 0) {
        return 0;
    }
    return frames < 0 ? -static_cast<std::int64_t>(moved) : static_cast<std::int64_t>(moved);
}

void soundStop(int handle) {
    ioctl(handle, SNDRV_PCM_IOCTL_DROP);
    ioctl(handle, SNDRV_PCM_IOCTL_PREPARE);
}

void soundClose(int handle) {
    ioctl(handle, SNDRV_PCM_IOCTL_DROP);
    close(handle);
}
