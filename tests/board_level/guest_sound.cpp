// The board-level test's sound helpers inside the emulated board: the far
// ends of a show with sound. One records the loopback sound card's capture
// side and tells when each click in it was played; the other is a serial
// device on a pseudo-terminal and tells when each cue arrived. Both on the
// board's monotonic clock, reported on "@@" lines.
//
//   orv-board-guest record-clicks NODE RATE SECONDS
//   orv-board-guest pty-arrivals SECONDS
//   orv-board-guest rate-shift CONTROL DEVICE VALUE
//   orv-board-guest trigger-lines COUNT EVERY_MS FILE
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>
// After <ctime>: the header uses struct timespec.
#include <sound/asound.h>

namespace {

constexpr std::int64_t kSecond = 1000000000;

std::int64_t monotonicNanos() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * kSecond + t.tv_nsec;
}

void setMask(snd_pcm_hw_params* params, int which, unsigned bit) {
    snd_mask& mask = params->masks[which - SNDRV_PCM_HW_PARAM_FIRST_MASK];
    std::memset(&mask, 0, sizeof mask);
    mask.bits[bit / 32] = 1U << (bit % 32);
}

void setExactly(snd_pcm_hw_params* params, int which, unsigned value) {
    snd_interval& range = params->intervals[which - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL];
    range.min = value;
    range.max = value;
}

// Opens the capture node for 16-bit stereo at `rate`, timestamps on the
// monotonic clock, and starts it.
int openCapture(const char* node, unsigned rate) {
    const int fd = open(node, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    snd_pcm_hw_params hw{};
    std::memset(hw.masks, 0xFF, sizeof hw.masks);
    for (snd_interval& range : hw.intervals) {
        range.max = UINT_MAX;
    }
    hw.rmask = ~0U;
    setMask(&hw, SNDRV_PCM_HW_PARAM_ACCESS, SNDRV_PCM_ACCESS_RW_INTERLEAVED);
    setMask(&hw, SNDRV_PCM_HW_PARAM_FORMAT, SNDRV_PCM_FORMAT_S16_LE);
    setMask(&hw, SNDRV_PCM_HW_PARAM_SUBFORMAT, SNDRV_PCM_SUBFORMAT_STD);
    setExactly(&hw, SNDRV_PCM_HW_PARAM_CHANNELS, 2);
    setExactly(&hw, SNDRV_PCM_HW_PARAM_RATE, rate);
    snd_pcm_sw_params sw{};
    sw.tstamp_mode = SNDRV_PCM_TSTAMP_ENABLE;
    sw.tstamp_type = SNDRV_PCM_TSTAMP_TYPE_MONOTONIC;
    sw.proto = SNDRV_PCM_VERSION;
    sw.period_step = 1;
    sw.avail_min = 1;
    sw.start_threshold = 1;
    sw.stop_threshold = LONG_MAX;
    int version = SNDRV_PCM_VERSION;
    ioctl(fd, SNDRV_PCM_IOCTL_USER_PVERSION, &version);
    if (ioctl(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &hw) != 0 ||
        ioctl(fd, SNDRV_PCM_IOCTL_SW_PARAMS, &sw) != 0 || ioctl(fd, SNDRV_PCM_IOCTL_PREPARE) != 0 ||
        ioctl(fd, SNDRV_PCM_IOCTL_START) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

struct Reading {
    std::int64_t at;      // when
    std::int64_t frames;  // frames captured by then (as the driver tells)
};

}  // namespace

// A click is a sample above a quarter of full scale after at least 100 ms
// below it. The loopback driver moves its position only at its timer's
// ticks, so a reading tells late when a frame was captured, by up to a
// tick: a click's moment is taken from the earliest of the readings within
// half a second of it, each as the moment frame 0 would have been captured.
int recordClicks(int argc, char** argv) {
    if (argc < 3) {
        return 2;
    }
    const unsigned rate = static_cast<unsigned>(std::atol(argv[1]));
    const std::int64_t until = monotonicNanos() + std::atol(argv[2]) * kSecond;
    const int fd = openCapture(argv[0], rate);
    if (fd < 0) {
        std::printf("@@CLICKS error=%d\n", errno);
        return 1;
    }
    // The wall clock beside the monotonic one, for a test that compares
    // the clicks with what another machine saw.
    timespec wall{};
    const std::int64_t at = monotonicNanos();
    clock_gettime(CLOCK_REALTIME, &wall);
    std::printf("@@CLICKS ready at=%lld wall=%lld\n", static_cast<long long>(at),
                static_cast<long long>(wall.tv_sec) * kSecond + wall.tv_nsec);
    std::fflush(stdout);
    std::vector<std::int16_t> samples;
    std::vector<Reading> readings;
    std::int64_t read = 0;
    unsigned jitter = 1;
    std::int16_t chunk[2 * 4096];
    while (monotonicNanos() < until) {
        snd_pcm_status status{};
        // A driver that has not moved its position yet has no timestamp.
        if (ioctl(fd, SNDRV_PCM_IOCTL_STATUS, &status) == 0 &&
            (status.tstamp.tv_sec != 0 || status.tstamp.tv_nsec != 0)) {
            readings.push_back(
                {static_cast<std::int64_t>(status.tstamp.tv_sec) * kSecond + status.tstamp.tv_nsec,
                 read + status.delay});
        }
        snd_xferi transfer{};
        transfer.buf = chunk;
        transfer.frames = 4096;
        while (ioctl(fd, SNDRV_PCM_IOCTL_READI_FRAMES, &transfer) == 0 && transfer.result > 0) {
            samples.insert(samples.end(), chunk, chunk + 2 * transfer.result);
            read += transfer.result;
        }
        // Readings at every part of the driver's ticks: 1 to 3 ms apart.
        jitter = jitter * 1103515245U + 12345U;
        const timespec pause{0, 1000000 + static_cast<long>((jitter >> 8) % 2000000)};
        nanosleep(&pause, nullptr);
    }
    close(fd);
    std::int64_t quiet = 0;
    const std::int64_t quietFrames = rate / 10;
    int clicks = 0;
    for (std::size_t frame = 0; frame < samples.size() / 2; ++frame) {
        if (std::abs(samples[2 * frame]) < 8192) {
            ++quiet;
            continue;
        }
        if (quiet >= quietFrames) {
            const auto f = static_cast<std::int64_t>(frame);
            std::int64_t zero = INT64_MAX;
            const std::int64_t near = rate / 2;
            for (const Reading& r : readings) {
                if (r.frames > f - near && r.frames < f + near) {
                    zero = std::min(zero, r.at - r.frames * kSecond / rate);
                }
            }
            std::printf("@@CLICK n=%d frame=%lld at=%lld\n", clicks++, static_cast<long long>(f),
                        static_cast<long long>(zero + f * kSecond / rate));
        }
        quiet = 0;
    }
    // Stretches of silence of 2 ms or more within the sound (from its first
    // sample that is not silent to its last): where a sound that never
    // falls silent (a tone) stalled, the card played silence.
    std::size_t first = 0;
    std::size_t last = 0;
    for (std::size_t frame = 0; frame < samples.size() / 2; ++frame) {
        if (samples[2 * frame] != 0) {
            first = first == 0 && last == 0 ? frame : first;
            last = frame;
        }
    }
    int gaps = 0;
    std::size_t silent = 0;
    for (std::size_t frame = first; frame <= last && last > 0; ++frame) {
        silent = samples[2 * frame] == 0 ? silent + 1 : 0;
        gaps += silent == rate / 500 ? 1 : 0;
    }
    std::printf("@@CLICKS done=%d readings=%zu frames=%lld gaps=%d sounding=%lld\n", clicks,
                readings.size(), static_cast<long long>(read), gaps,
                static_cast<long long>(last > 0 ? last - first + 1 : 0));
    return 0;
}

// Opens a pseudo-terminal, tells its device's path, and tells when each
// line ending came through it, until SECONDS have passed.
int ptyArrivals(int argc, char** argv) {
    if (argc < 1) {
        return 2;
    }
    const std::int64_t until = monotonicNanos() + std::atol(argv[0]) * kSecond;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::printf("@@PTY error=%d\n", errno);
        return 1;
    }
    // Held open, so that reading the master waits rather than fails while
    // no player has the device open.
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    std::printf("@@PTY path=%s\n", ptsname(master));
    std::fflush(stdout);
    int lines = 0;
    for (std::int64_t now = monotonicNanos(); now < until; now = monotonicNanos()) {
        pollfd wait{master, POLLIN, 0};
        if (poll(&wait, 1, static_cast<int>((until - now) / 1000000) + 1) <= 0) {
            continue;
        }
        const std::int64_t at = monotonicNanos();
        char chunk[256];
        const ssize_t got = read(master, chunk, sizeof chunk);
        for (ssize_t i = 0; i < got; ++i) {
            if (chunk[i] == '\n') {
                std::printf("@@ARRIVAL n=%d at=%lld\n", lines++, static_cast<long long>(at));
            }
        }
    }
    close(slave);
    close(master);
    return 0;
}

// Sets the loopback card's "PCM Rate Shift 100000" control of `device`
// (substream 0) to VALUE: 100010 plays 100 parts per million fast, 99990
// as much slow.
int rateShift(int argc, char** argv) {
    if (argc < 3) {
        return 2;
    }
    const int control = open(argv[0], O_RDWR | O_CLOEXEC);
    snd_ctl_elem_value value{};
    std::strcpy(reinterpret_cast<char*>(value.id.name), "PCM Rate Shift 100000");
    value.id.device = static_cast<unsigned>(std::atol(argv[1]));
    value.value.integer.value[0] = std::atol(argv[2]);
    // The control is the card's PCM one on newer kernels, a mixer one on older.
    int written = -1;
    for (const snd_ctl_elem_iface_t iface :
         {SNDRV_CTL_ELEM_IFACE_PCM, SNDRV_CTL_ELEM_IFACE_MIXER}) {
        value.id.iface = iface;
        if (control >= 0 && written != 0) {
            written = ioctl(control, SNDRV_CTL_IOCTL_ELEM_WRITE, &value);
        }
    }
    std::printf("@@SHIFT %s=%d\n", written == 0 ? "ok" : "error", written == 0 ? 0 : errno);
    if (control >= 0) {
        close(control);
    }
    return written == 0 ? 0 : 1;
}

// Writes COUNT lines to standard output (a player's -w - reads them as
// triggers), the first EVERY_MS after the start and each next EVERY_MS
// after the one before, noting when each was written in FILE; then waits
// as long again and ends, which ends the player's input.
int triggerLines(int argc, char** argv) {
    if (argc < 3) {
        return 2;
    }
    const int count = std::atoi(argv[0]);
    const std::int64_t every = static_cast<std::int64_t>(std::atol(argv[1])) * 1000000;
    std::FILE* notes = std::fopen(argv[2], "w");
    if (notes == nullptr) {
        return 1;
    }
    std::int64_t next = monotonicNanos() + every;
    for (int n = 0; n <= count; ++n, next += every) {
        timespec at{static_cast<time_t>(next / kSecond), static_cast<long>(next % kSecond)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
        if (n == count) {
            break;
        }
        const std::int64_t written = monotonicNanos();
        if (write(STDOUT_FILENO, "go\n", 3) != 3) {
            return 1;
        }
        std::fprintf(notes, "@@TRIGGER n=%d at=%lld\n", n, static_cast<long long>(written));
    }
    std::fclose(notes);
    return 0;
}
