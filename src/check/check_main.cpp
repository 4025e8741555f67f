// orvplayer-check: shows a cue file as orvplayer will play it, and warns
// about everything the player passes over or treats otherwise than a
// reader might expect.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "escape.h"
#include "playback/sound_decode.h"
#include "playback/sound_file.h"
#include "show_check.h"

namespace {

const char kUsage[] =
    "usage: orvplayer-check [--quiet] [--baud N] [--period MS] [--endless] [--sound SOUND]\n"
    "                       FILE...\n"
    "Shows each cue file as orvplayer plays it and warns about lines it passes over\n"
    "or treats otherwise than a reader might expect.\n"
    "  --quiet      print only warnings and the summary\n"
    "  --baud N     also check that each cue's bytes leave at N baud before the next cue\n"
    "  --period MS  the show repeats every MS milliseconds (orvplayer -p): warn about\n"
    "               cues played at or after that\n"
    "  --endless    the show repeats without end (orvplayer -r 0): warn when a pass\n"
    "               takes no time and no --period is given\n"
    "  --sound SOUND  the show's sound file: tell how long it lasts, warn\n"
    "               about cues played after it ends and a sound longer than --period\n"
    "Exit status: 0 no warning, 1 warnings, 2 a file cannot be read or bad usage.\n";

void printShow(const ShowCheck& check, bool quiet) {
    if (!quiet) {
        std::printf("  %6s  %-10s %12s  %-14s %s\n", "line", "offset", "ms", "at", "codes");
    }
    for (const CheckNote& note : check.notes) {
        if (note.warning) {
            std::printf("warning: %s\n", note.text.c_str());
        } else if (!quiet) {
            const CheckedCue& cue = check.cues[note.cue];
            std::printf("  %6d  %-10s %12d  %-14s %s\n", cue.line,
                        escapeBytes(cue.offsetText).c_str(), cue.offset,
                        clockTime(cue.moment).c_str(), escapeBytes(cue.codes).c_str());
        }
    }
}

// Reads a positive whole number up to `most`, as --baud and --period take it.
bool readPositive(const char* text, long most, long* value) {
    char* end = nullptr;
    *value = std::strtol(text, &end, 10);
    return *end == '\0' && *value > 0 && *value <= most;
}

// A FLAC or MP3 sound decoded as the player decodes it: its exact length
// (an MP3's without its encoder's delay and padding), or why the player
// would refuse it. A build without the decoders keeps the header's length.
int decodeForLength(int fd, SoundFormat* format) {
    const std::int32_t bits = format->bits;
    const int decoded = decodeSound(fd, format);
    format->bits = bits;
    if (decoded >= 0) {
        close(decoded);
    }
    return decoded >= 0 || decoded == kSoundNoDecoder ? kSoundKnown : decoded;
}

// Reads the sound file's header into `format`. Returns false after printing
// why it cannot be played.
bool readSound(const char* name, SoundFormat* format) {
    const int fd = open(name, O_RDONLY | O_CLOEXEC);
    int found = fd < 0 ? kSoundUnreadable : readSoundFormat(fd, format);
    const int readErrno = errno;
    if (found == kSoundKnown && format->kind != kSoundWav) {
        found = decodeForLength(fd, format);
    }
    if (fd >= 0) {
        close(fd);
    }
    if (found == kSoundDamaged || found == kSoundNoMemory) {
        std::printf("orvplayer-check: %s: %s\n", name,
                    found == kSoundDamaged ? "its sound data is damaged"
                                           : "not enough memory to decode it");
    }
    if (found == kSoundUnreadable) {
        std::printf("orvplayer-check: cannot read %s: %s\n", name, std::strerror(readErrno));
    } else if (found == kSoundNotSound) {
        std::printf(
            "orvplayer-check: %s is not a sound file that orvplayer plays (WAV, FLAC or "
            "MP3)\n",
            name);
    } else if (found == kSoundUnplayable) {
        std::printf(
            "orvplayer-check: %s is a WAV file whose samples are not 16- or 24-bit "
            "PCM\n",
            name);
    }
    return found == kSoundKnown;
}

void printSound(const char* name, const SoundFormat& format) {
    const std::int64_t ms = soundLengthMs(format);
    std::printf("sound: %s: %s, %d Hz, %d %s, %d-bit, %s%s\n", name, soundKindName(format.kind),
                format.rate, format.channels, format.channels == 1 ? "channel" : "channels",
                format.bits, ms < 0 ? "length not told by the file" : "lasts ",
                ms < 0 ? "" : clockTime(ms).c_str());
}

void printSummary(const ShowCheck& check, int baud, long periodMs, std::int64_t soundMs) {
    std::printf("summary: %zu %s, %d %s passed over, duration %s, %llu bytes", check.cues.size(),
                check.cues.size() == 1 ? "cue" : "cues", check.passedOver,
                check.passedOver == 1 ? "line" : "lines", clockTime(check.duration).c_str(),
                static_cast<unsigned long long>(check.bytes));
    if (soundMs >= 0) {
        std::printf(", sound %s", clockTime(soundMs).c_str());
    }
    if (periodMs > 0) {
        std::printf(", one pass lasts %s (the period)", clockTime(periodMs).c_str());
    } else if (soundMs > check.duration) {
        std::printf(", one pass lasts %s (the sound)", clockTime(soundMs).c_str());
    }
    if (baud > 0) {
        std::printf(", %.1f ms on the line at %d baud",
                    static_cast<double>(check.bytes) * 10 * 1000 / baud, baud);
    }
    std::printf(", %d %s\n", check.warnings, check.warnings == 1 ? "warning" : "warnings");
}

}  // namespace

int main(int argc, char* argv[]) {
    bool quiet = false;
    bool endless = false;
    int baud = 0;
    long periodMs = 0;
    const char* sound = nullptr;
    std::vector<const char*> files;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--quiet") {
            quiet = true;
        } else if (word == "--baud" && i + 1 < argc) {
            long value = 0;
            if (!readPositive(argv[++i], 100000000, &value)) {
                std::printf("orvplayer-check: --baud needs a positive whole number\n%s", kUsage);
                return 2;
            }
            baud = static_cast<int>(value);
        } else if (word == "--period" && i + 1 < argc) {
            if (!readPositive(argv[++i], INT32_MAX, &periodMs)) {
                std::printf(
                    "orvplayer-check: --period needs a positive whole number of "
                    "milliseconds\n%s",
                    kUsage);
                return 2;
            }
        } else if (word == "--sound" && i + 1 < argc) {
            sound = argv[++i];
        } else if (word == "--endless") {
            endless = true;
        } else if (word == "--help" || word == "-h") {
            std::printf("%s", kUsage);
            return 0;
        } else if (word.size() > 1 && word[0] == '-' && word != "--") {
            std::printf("orvplayer-check: unknown option %s\n%s", word.c_str(), kUsage);
            return 2;
        } else {
            files.push_back(argv[i]);
        }
    }
    if (files.empty()) {
        std::printf("%s", kUsage);
        return 2;
    }

    SoundFormat format;
    std::int64_t soundMs = -1;
    if (sound != nullptr) {
        if (!readSound(sound, &format)) {
            return 2;
        }
        soundMs = soundLengthMs(format);
        if (!quiet) {
            printSound(sound, format);
        }
    }

    int status = 0;
    for (const char* name : files) {
        if (files.size() > 1) {
            std::printf("== %s\n", name);
        }
        std::FILE* file = std::fopen(name, "r");
        if (file == nullptr) {
            std::printf("orvplayer-check: cannot read %s: %s\n", name, std::strerror(errno));
            status = 2;
            continue;
        }
        errno = 0;
        const ShowCheck check = checkShow(file, baud, periodMs, endless, soundMs);
        const int readErrno = errno;
        std::fclose(file);
        if (check.readError) {
            std::printf("orvplayer-check: cannot read %s: %s\n", name, std::strerror(readErrno));
            status = 2;
            continue;
        }
        printShow(check, quiet);
        printSummary(check, baud, periodMs, soundMs);
        if (check.warnings > 0 && status == 0) {
            status = 1;
        }
    }
    return status;
}
