// GPIO lines through the kernel's own interface, the GPIO character device
// and its uAPI v2 (Linux 5.10 and later), with no library: the armhf
// program is static, and Debian 12's libgpiod 1.6 speaks an API that its
// successor 2.x replaced. Never the deprecated sysfs interface.
#include "gpio_line.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "board.h"

namespace {

constexpr std::uint32_t kLongestDebounceMs = 60000;
// Edges the kernel keeps for the player between two reads; the most it
// allows for one line.
constexpr std::uint32_t kEdgeBuffer = GPIO_V2_LINES_MAX * 16;

bool readNumber(const char* text, std::uint32_t most, std::uint32_t* value) {
    std::uint64_t number = 0;
    const char* digit = text;
    for (; *digit >= '0' && *digit <= '9' && number <= most; ++digit) {
        number = number * 10 + static_cast<std::uint64_t>(*digit - '0');
    }
    if (digit == text || *digit != '\0' || number > most) {
        return false;
    }
    *value = static_cast<std::uint32_t>(number);
    return true;
}

bool readOption(const char* option, LineWanted* wanted, std::uint64_t* edges, std::uint64_t* bias) {
    if (std::strcmp(option, "rising") == 0) {
        *edges = GPIO_V2_LINE_FLAG_EDGE_RISING;
    } else if (std::strcmp(option, "falling") == 0) {
        *edges = GPIO_V2_LINE_FLAG_EDGE_FALLING;
    } else if (std::strcmp(option, "both") == 0) {
        *edges = GPIO_V2_LINE_FLAG_EDGE_RISING | GPIO_V2_LINE_FLAG_EDGE_FALLING;
    } else if (std::strcmp(option, "pull-up") == 0) {
        *bias = GPIO_V2_LINE_FLAG_BIAS_PULL_UP;
    } else if (std::strcmp(option, "pull-down") == 0) {
        *bias = GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN;
    } else if (std::strcmp(option, "no-bias") == 0) {
        *bias = GPIO_V2_LINE_FLAG_BIAS_DISABLED;
    } else if (std::strncmp(option, "debounce=", 9) == 0) {
        std::uint32_t ms = 0;
        if (!readNumber(option + 9, kLongestDebounceMs, &ms)) {
            return false;
        }
        wanted->debounceUs = ms * 1000;
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool readLineWords(const char* words, LineWanted* wanted) {
    char text[kLineWordsChars];
    const std::size_t length = std::strlen(words);
    if (length >= sizeof text) {
        return false;
    }
    std::memcpy(text, words, length + 1);
    *wanted = LineWanted{};
    std::uint64_t edges = GPIO_V2_LINE_FLAG_EDGE_RISING;
    std::uint64_t bias = 0;
    char* options = std::strchr(text, ',');
    if (options != nullptr) {
        *options++ = '\0';
        for (char* option = options; option != nullptr;) {
            char* next = std::strchr(option, ',');
            if (next != nullptr) {
                *next++ = '\0';
            }
            if (!readOption(option, wanted, &edges, &bias)) {
                return false;
            }
            option = next;
        }
    }
    wanted->flags = GPIO_V2_LINE_FLAG_INPUT | edges | bias;
    char* colon = std::strchr(text, ':');
    if (colon == nullptr) {
        std::snprintf(wanted->name, sizeof wanted->name, "%s", text);
        return text[0] != '\0';
    }
    *colon = '\0';
    std::snprintf(wanted->chip, sizeof wanted->chip, "%s", text);
    return text[0] != '\0' && readNumber(colon + 1, UINT32_MAX - 1, &wanted->offset);
}

void fillLineRequest(const LineWanted& wanted, gpio_v2_line_request* request) {
    *request = gpio_v2_line_request{};
    request->offsets[0] = wanted.offset;
    request->num_lines = 1;
    std::strcpy(request->consumer, "orvplayer");
    request->config.flags = wanted.flags;
    if (wanted.debounceUs > 0) {
        request->config.num_attrs = 1;
        request->config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_DEBOUNCE;
        request->config.attrs[0].attr.debounce_period_us = wanted.debounceUs;
        request->config.attrs[0].mask = 1;  // the request's one line
    }
    request->event_buffer_size = kEdgeBuffer;
}

namespace {

// Whether the chip open on `chip` has the line wanted; sets its offset.
bool chipHasLine(int chip, const char* device, LineWanted* wanted) {
    gpiochip_info info{};
    if (ioctl(chip, GPIO_GET_CHIPINFO_IOCTL, &info) != 0) {
        return false;
    }
    if (wanted->chip[0] != '\0') {
        return (std::strcmp(wanted->chip, device) == 0 ||
                std::strcmp(wanted->chip, info.label) == 0) &&
               wanted->offset < info.lines;
    }
    for (std::uint32_t offset = 0; offset < info.lines; ++offset) {
        gpio_v2_line_info line{};
        line.offset = offset;
        if (ioctl(chip, GPIO_V2_GET_LINEINFO_IOCTL, &line) == 0 &&
            std::strncmp(line.name, wanted->name, sizeof line.name) == 0) {
            wanted->offset = offset;
            return true;
        }
    }
    return false;
}

// Opens the chip that holds the line wanted, from every GPIO chip there
// is. Returns its descriptor, or a kTrigger... reason.
int findChip(LineWanted* wanted) {
    DIR* devices = opendir("/dev");
    if (devices == nullptr) {
        return kTriggerNoSuchLine;
    }
    int found = kTriggerNoSuchLine;
    while (const dirent* entry = readdir(devices)) {
        if (std::strncmp(entry->d_name, "gpiochip", 8) != 0) {
            continue;
        }
        char path[sizeof "/dev/" + sizeof entry->d_name];
        std::snprintf(path, sizeof path, "/dev/%s", entry->d_name);
        const int chip = open(path, O_RDWR | O_CLOEXEC);
        if (chip < 0) {
            // The line may be on this very chip: say why it cannot be had.
            if (errno == EACCES || errno == EPERM) {
                found = kTriggerNoPermission;
            }
            continue;
        }
        if (chipHasLine(chip, entry->d_name, wanted)) {
            found = chip;
            break;
        }
        close(chip);
    }
    closedir(devices);
    return found;
}

int reasonOf(int error) {
    switch (error) {
        case EBUSY:
            return kTriggerBusy;
        case EACCES:
        case EPERM:
            return kTriggerNoPermission;
        default:
            // No interrupt for the line (ENXIO, ENODEV), or no uAPI v2
            // (ENOTTY, EINVAL): the kernel cannot report its edges.
            return kTriggerNoEdgeEvents;
    }
}

}  // namespace

int openGpioLine(const char* words) {
    LineWanted wanted{};
    if (!readLineWords(words, &wanted)) {
        return kTriggerInvalid;
    }
    const int chip = findChip(&wanted);
    if (chip < 0) {
        return chip;
    }
    gpio_v2_line_request request{};
    fillLineRequest(wanted, &request);
    const int requested = ioctl(chip, GPIO_V2_GET_LINE_IOCTL, &request);
    const int error = errno;
    close(chip);
    if (requested != 0) {
        return reasonOf(error);
    }
    const int flags = fcntl(request.fd, F_GETFL);
    fcntl(request.fd, F_SETFL, flags | O_NONBLOCK);
    return request.fd;
}

std::int64_t readEdges(int line, std::int64_t notBeforeNanos) {
    std::int64_t first = -1;
    gpio_v2_line_event events[16];
    // The kernel hands over as many events as it holds, up to the buffer: a
    // read that leaves room emptied it, and the system call that would
    // only find that out is spared (a trigger's first cue waits on it).
    std::size_t count = sizeof events / sizeof events[0];
    while (count == sizeof events / sizeof events[0]) {
        const ssize_t got = read(line, events, sizeof events);
        count = got > 0 ? static_cast<std::size_t>(got) / sizeof events[0] : 0;
        for (std::size_t i = 0; i < count && first < 0; ++i) {
            const auto at = static_cast<std::int64_t>(events[i].timestamp_ns);
            if (at >= notBeforeNanos) {
                first = at;
            }
        }
    }
    return first;
}
