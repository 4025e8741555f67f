#include "sound_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
// After <ctime>: the header uses struct timespec.
#include <sound/asound.h>

namespace {

// A whole decimal number below `most`, or -1.
int readIndex(const char* text, std::size_t length, int most) {
    int value = 0;
    if (length == 0 || length > 2) {
        return -1;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value < most ? value : -1;
}

// The card a number or an id names, or -1. Each card's control device
// tells its id; /proc/asound would too, but a locked-down service (the
// show's unit) sees no /proc but its own processes.
int cardOf(const char* text, std::size_t length) {
    const int number = readIndex(text, length, kSoundCards);
    if (number >= 0) {
        return number;
    }
    if (length == 0 || length >= sizeof(snd_ctl_card_info::id)) {
        return -1;
    }
    for (int card = 0; card < kSoundCards; ++card) {
        char control[32];
        std::snprintf(control, sizeof control, "/dev/snd/controlC%d", card);
        const int fd = open(control, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        snd_ctl_card_info info{};
        const bool named =
            ioctl(fd, SNDRV_CTL_IOCTL_CARD_INFO, &info) == 0 &&
            std::strncmp(reinterpret_cast<const char*>(info.id), text, length) == 0 &&
            info.id[length] == '\0';
        close(fd);
        if (named) {
            return card;
        }
    }
    return -1;
}

}  // namespace

int soundDevicePath(const char* name, char* path, std::size_t size) {
    if (name == nullptr || name[0] == '\0' || std::strcmp(name, "default") == 0) {
        return 0;
    }
    const char* rest = nullptr;
    if (std::strncmp(name, "hw:", 3) == 0) {
        rest = name + 3;
    } else if (std::strncmp(name, "plughw:", 7) == 0) {
        rest = name + 7;
    } else {
        return -1;
    }
    if (std::strncmp(rest, "CARD=", 5) == 0) {
        rest += 5;
    }
    const char* comma = std::strchr(rest, ',');
    const std::size_t cardLength =
        comma != nullptr ? static_cast<std::size_t>(comma - rest) : std::strlen(rest);
    int device = 0;
    if (comma != nullptr) {
        const char* dev = comma + 1;
        if (std::strncmp(dev, "DEV=", 4) == 0) {
            dev += 4;
        }
        device = readIndex(dev, std::strlen(dev), 32);
        if (device < 0) {
            return -1;
        }
    }
    const int card = cardOf(rest, cardLength);
    if (card < 0) {
        return kSoundNameNoCard;
    }
    std::snprintf(path, size, "/dev/snd/pcmC%dD%dp", card, device);
    return 1;
}

void soundCardPath(int card, char* path, std::size_t size) {
    std::snprintf(path, size, "/dev/snd/pcmC%dD0p", card);
}
