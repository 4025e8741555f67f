/* The least any program can do between a GPIO edge and a serial device,
 * for the board-level test's trigger figures: it requests the line with
 * rising-edge events, blocks for each event, writes the first cue at once
 * and the second at the edge's kernel timestamp plus SECOND_MS (each cue a
 * word and a line feed).
 *
 *   orv-gpio-reference CHIP OFFSET DEVICE COUNT FIRST SECOND SECOND_MS
 */
#include <fcntl.h>
#include <linux/gpio.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static void writeAll(int fd, const char* text) {
    size_t done = 0;
    const size_t length = strlen(text);
    while (done < length) {
        const ssize_t n = write(fd, text + done, length - done);
        if (n > 0) {
            done += (size_t)n;
        }
    }
}

int main(int argc, char** argv) {
    if (argc < 8) {
        puts("usage: orv-gpio-reference CHIP OFFSET DEVICE COUNT FIRST SECOND SECOND_MS");
        return 2;
    }
    const int chip = open(argv[1], O_RDWR | O_CLOEXEC);
    struct gpio_v2_line_request request;
    memset(&request, 0, sizeof request);
    request.offsets[0] = (unsigned)atoi(argv[2]);
    request.num_lines = 1;
    strcpy(request.consumer, "reference");
    request.config.flags = GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_EDGE_RISING;
    if (chip < 0 || ioctl(chip, GPIO_V2_GET_LINE_IOCTL, &request) != 0) {
        puts("reference: cannot request the line");
        return 1;
    }
    const int port = open(argv[3], O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios tio;
    if (port < 0 || tcgetattr(port, &tio) != 0) {
        puts("reference: cannot open the device");
        return 1;
    }
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tcsetattr(port, TCSANOW, &tio);
    printf("@@REFERENCE ready\n");
    fflush(stdout);

    char first[64];
    char second[64];
    snprintf(first, sizeof first, "%s\n", argv[5]);
    snprintf(second, sizeof second, "%s\n", argv[6]);
    const int count = atoi(argv[4]);
    const long long secondNs = atoll(argv[7]) * 1000000LL;
    for (int i = 0; i < count; ++i) {
        struct gpio_v2_line_event event;
        if (read(request.fd, &event, sizeof event) != (ssize_t)sizeof event) {
            return 1;
        }
        writeAll(port, first);
        const long long at = (long long)event.timestamp_ns + secondNs;
        struct timespec until = {(time_t)(at / 1000000000LL), (long)(at % 1000000000LL)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL);
        writeAll(port, second);
        tcdrain(port);
    }
    return 0;
}
