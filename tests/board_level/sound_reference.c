/* The naive way to play a show with its sound, for the board-level test's
 * sound figures, as a cue player and a sound player started side by side
 * would: from one moment on, one process plays the sound with blocking
 * writes (the card starts with its first frame, as aplay starts it), and
 * the other writes each cue at that moment plus its offset on the
 * monotonic clock. Neither looks at the card's clock.
 *
 *   orv-sound-reference PCM WAV SHOW DEVICE
 *
 * PCM: the card's playback node; WAV: 16-bit stereo PCM with the plain
 * 44-byte header the test writes; SHOW: a cue file (a hexadecimal offset,
 * a colon, the codes); DEVICE: the serial device, at 115200 baud.
 */
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
/* After <time.h>: the header uses struct timespec. */
#include <sound/asound.h>

#define MAX_CUES 256
#define MAX_CODES 64

static long offsets[MAX_CUES];
static char codes[MAX_CUES][MAX_CODES];
static unsigned char sound[8 * 1024 * 1024];

static int readCues(const char* path) {
    FILE* file = fopen(path, "r");
    char line[256];
    int count = 0;
    if (file == NULL) {
        return -1;
    }
    while (count < MAX_CUES && fgets(line, sizeof line, file) != NULL) {
        char* colon = strchr(line, ':');
        if (colon == NULL) {
            continue;
        }
        offsets[count] = strtol(line, NULL, 16);
        snprintf(codes[count], MAX_CODES, "%s", colon + 1);
        ++count;
    }
    fclose(file);
    return count;
}

static void setMask(struct snd_pcm_hw_params* params, int which, unsigned bit) {
    struct snd_mask* mask = &params->masks[which - SNDRV_PCM_HW_PARAM_FIRST_MASK];
    memset(mask, 0, sizeof *mask);
    mask->bits[bit / 32] = 1U << (bit % 32);
}

static void setExactly(struct snd_pcm_hw_params* params, int which, unsigned value) {
    struct snd_interval* range = &params->intervals[which - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL];
    range->min = value;
    range->max = value;
}

/* 16-bit stereo at `rate`, the rest as the driver chooses; started by the
 * first write. */
static int openPlayback(const char* node, unsigned rate) {
    struct snd_pcm_hw_params hw;
    struct snd_pcm_sw_params sw;
    int version = SNDRV_PCM_VERSION;
    const int fd = open(node, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    memset(&hw, 0, sizeof hw);
    memset(hw.masks, 0xFF, sizeof hw.masks);
    for (int i = 0; i <= SNDRV_PCM_HW_PARAM_LAST_INTERVAL - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL;
         ++i) {
        hw.intervals[i].max = UINT_MAX;
    }
    hw.rmask = ~0U;
    setMask(&hw, SNDRV_PCM_HW_PARAM_ACCESS, SNDRV_PCM_ACCESS_RW_INTERLEAVED);
    setMask(&hw, SNDRV_PCM_HW_PARAM_FORMAT, SNDRV_PCM_FORMAT_S16_LE);
    setMask(&hw, SNDRV_PCM_HW_PARAM_SUBFORMAT, SNDRV_PCM_SUBFORMAT_STD);
    setExactly(&hw, SNDRV_PCM_HW_PARAM_CHANNELS, 2);
    setExactly(&hw, SNDRV_PCM_HW_PARAM_RATE, rate);
    memset(&sw, 0, sizeof sw);
    sw.proto = SNDRV_PCM_VERSION;
    sw.period_step = 1;
    sw.avail_min = 1;
    sw.start_threshold = 1;
    ioctl(fd, SNDRV_PCM_IOCTL_USER_PVERSION, &version);
    if (ioctl(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &hw) != 0) {
        close(fd);
        return -1;
    }
    /* Stops when it runs dry, as by default. */
    sw.stop_threshold =
        hw.intervals[SNDRV_PCM_HW_PARAM_BUFFER_SIZE - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL].min;
    if (ioctl(fd, SNDRV_PCM_IOCTL_SW_PARAMS, &sw) != 0 || ioctl(fd, SNDRV_PCM_IOCTL_PREPARE) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static void playAll(int pcm, size_t frames) {
    size_t done = 0;
    while (done < frames) {
        struct snd_xferi transfer;
        memset(&transfer, 0, sizeof transfer);
        transfer.buf = sound + 44 + 4 * done;
        transfer.frames = frames - done < 1024 ? frames - done : 1024;
        if (ioctl(pcm, SNDRV_PCM_IOCTL_WRITEI_FRAMES, &transfer) == 0) {
            done += (size_t)transfer.result;
        }
    }
    ioctl(pcm, SNDRV_PCM_IOCTL_DRAIN);
}

int main(int argc, char** argv) {
    if (argc < 5) {
        puts("usage: orv-sound-reference PCM WAV SHOW DEVICE");
        return 2;
    }
    FILE* wav = fopen(argv[2], "rb");
    const size_t bytes = wav != NULL ? fread(sound, 1, sizeof sound, wav) : 0;
    const int count = readCues(argv[3]);
    const int device = open(argv[4], O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios raw;
    if (bytes < 44 || count < 0 || device < 0 || tcgetattr(device, &raw) != 0) {
        puts("orv-sound-reference: cannot read the sound, the show or the device");
        return 1;
    }
    cfmakeraw(&raw);
    cfsetspeed(&raw, B115200);
    tcsetattr(device, TCSANOW, &raw);
    const unsigned rate = sound[24] | sound[25] << 8 | sound[26] << 16 | (unsigned)sound[27] << 24;
    const int pcm = openPlayback(argv[1], rate);
    if (pcm < 0) {
        puts("orv-sound-reference: cannot open the card");
        return 1;
    }
    struct timespec zero;
    clock_gettime(CLOCK_MONOTONIC, &zero);
    const pid_t player = fork();
    if (player == 0) {
        playAll(pcm, (bytes - 44) / 4);
        _exit(0);
    }
    for (int i = 0; i < count; ++i) {
        const long long at = (long long)zero.tv_nsec + (long long)offsets[i] * 1000000;
        struct timespec due = {zero.tv_sec + (time_t)(at / 1000000000), (long)(at % 1000000000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, NULL);
        const size_t length = strlen(codes[i]);
        if (write(device, codes[i], length) != (ssize_t)length) {
            puts("orv-sound-reference: cannot write a cue");
        }
    }
    waitpid(player, NULL, 0);
    return 0;
}
