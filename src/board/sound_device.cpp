#include "sound_device.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

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

// The card a number or an id names: the kernel lists each card's id as a
// link /proc/asound/ID to its folder cardN. -1 when none.
int cardOf(const char* text, std::size_t length) {
    const int number = readIndex(text, length, kSoundCards);
    if (number >= 0) {
        return number;
    }
    char link[64];
    char target[32] = {};
    if (length == 0 || length > 32 || std::memchr(text, '/', length) != nullptr ||
        std::snprintf(link, sizeof link, "/proc/asound/%.*s", static_cast<int>(length), text) < 0 ||
        readlink(link, target, sizeof target - 1) < 0 || std::strncmp(target, "card", 4) != 0) {
        return -1;
    }
    return readIndex(target + 4, std::strlen(target + 4), kSoundCards);
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
