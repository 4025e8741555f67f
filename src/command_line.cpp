#include "command_line.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "board/board.h"
#include "playback/parse_int32.h"
#include "playback/passes.h"
#include "playback/show_clock.h"
#include "playback/show_state.h"
#include "playback/sound_decode.h"
#include "playback/sound_file.h"
#include "playback/soundtrack.h"
#include "playback/stop.h"
#include "repeat.h"
#include "start_time.h"

// The upload directory and the two serial devices are settings of the build.
#if !defined(ORV_UPLOAD_DIR) || !defined(ORV_FIRST_DEVICE) || !defined(ORV_SECOND_DEVICE)
#error "ORV_UPLOAD_DIR, ORV_FIRST_DEVICE and ORV_SECOND_DEVICE must be defined by the build"
#endif

std::FILE* fp = nullptr;

namespace {

const char kUploadDir[] = ORV_UPLOAD_DIR;
const char kFirstDevice[] = ORV_FIRST_DEVICE;
const char kSecondDevice[] = ORV_SECOND_DEVICE;

// The cue file's path: the upload directory with the -f value appended.
char path[PATH_MAX];

// How many times the show is played (-r; 0: without end).
std::int64_t repeatCount = 1;

// Whether a trigger (-w) starts the passes, wherever it stands.
bool triggerGiven = false;

// The serial device -s names, the only one then tried; nullptr: the two
// built-in ones.
const char* namedDevice = nullptr;

// The show's sound file (-a), and the sound device -o names (nullptr: the
// first card that plays it).
const char* soundValue = nullptr;
const char* soundDevice = nullptr;

// The sound file's path: the upload directory with the -a value appended.
char soundPath[PATH_MAX];

// Writes the upload directory with `value` appended into `into`
// (PATH_MAX bytes). False for a path too long for the system: refused
// whole rather than opened shortened. The value is appended as it is,
// never normalised.
bool uploadPath(const char* value, char* into) {
    const std::size_t dirLength = sizeof ORV_UPLOAD_DIR - 1;
    const std::size_t valueLength = std::strlen(value);
    if (dirLength + valueLength >= PATH_MAX) {
        return false;
    }
    std::memcpy(into, ORV_UPLOAD_DIR, dirLength);
    std::memcpy(into + dirLength, value, valueLength + 1);
    return true;
}

// Opens the show's sound file and its device, before any option acts, so
// that a show never plays without its sound. Returns false after printing
// why not.
bool openSound() {
    if (soundValue == nullptr) {
        return true;
    }
    if (!uploadPath(soundValue, soundPath)) {
        std::printf("could not open sound file %s%s\n", ORV_UPLOAD_DIR, soundValue);
        return false;
    }
    const int found = soundtrackReadFile(soundPath);
    if (found == kSoundUnreadable) {
        std::printf("could not open sound file %s\n", soundPath);
        return false;
    }
    if (found == kSoundNotSound) {
        std::printf("couldn't play sound file %s: it is not a sound file\n", soundPath);
        return false;
    }
    if (found != kSoundKnown) {
        const char* reason = found == kSoundDamaged    ? "its sound data is damaged"
                             : found == kSoundNoMemory ? "not enough memory to decode it"
                             : found == kSoundNoDecoder
                                 ? "this build of orvplayer plays WAV files only"
                                 : "orvplayer plays WAV files of 16- or 24-bit PCM samples";
        std::printf("couldn't play sound file %s: %s\n", soundPath, reason);
        return false;
    }
    const int opened = soundtrackOpenDevice(soundDevice);
    if (opened == 0) {
        return true;
    }
    const char* name = soundDevice != nullptr ? soundDevice : "default";
    if (opened == kSoundRefused) {
        std::printf("couldn't open sound device %s: it plays no 16-bit sound at %d Hz\n", name,
                    soundtrackRate());
        return false;
    }
    const char* reason = opened == kSoundInvalid
                             ? "not a device name (hw:CARD,DEVICE or plughw:CARD,DEVICE)"
                         : opened == kSoundBusy         ? "another program plays on it"
                         : opened == kSoundNoPermission ? "no permission (the audio group)"
                                                        : "no such device";
    std::printf("couldn't open sound device %s: %s\n", name, reason);
    return false;
}

// -r, -p and -s are settings of the whole show, not steps: they are read
// before any option acts, wherever they stand, so that a bad value ends the
// run before anything happens, -t knows the loop it may join, and -b opens
// the device named after it. The last of a repeated one counts. Returns
// false after printing why not.
bool readShowSettings(int argc, char* argv[]) {
    repeatCount = 1;
    namedDevice = nullptr;
    soundValue = nullptr;
    soundDevice = nullptr;
    passPeriod = 0;
    triggerSource = -1;
    passWaitsForTrigger = false;
    triggerNotBefore = 0;
    triggerGiven = false;
    for (int i = 1; i + 1 < argc; ++i) {
        triggerGiven = triggerGiven || std::strcmp(argv[i], "-w") == 0;
        if (std::strcmp(argv[i], "-s") == 0) {
            namedDevice = argv[i + 1];
        }
        if (std::strcmp(argv[i], "-a") == 0) {
            soundValue = argv[i + 1];
        }
        if (std::strcmp(argv[i], "-o") == 0) {
            soundDevice = argv[i + 1];
        }
        if (std::strcmp(argv[i], "-r") == 0 && !parseCount(argv[i + 1], &repeatCount)) {
            std::puts("repeat count invalid");
            return false;
        }
        if (std::strcmp(argv[i], "-p") == 0) {
            std::int64_t period = 0;
            if (!parseCount(argv[i + 1], &period) || period <= 0 || period > kLongestPeriodMs) {
                std::puts("period invalid");
                return false;
            }
            passPeriod = period;
        }
    }
    return openSound();
}

void startDelay(const char* value) {
    const std::int32_t ms = parseInt32(value, 10);
    if (ms > 0) {  // a negative delay waits nothing
        delay(static_cast<unsigned int>(ms));
    }
}

// Fills the stdio buffer of an open regular cue file, so that reading the
// first cue costs no system call. Pipes are left alone: reading one could
// block until its writer writes. At the end of the file (or on an error)
// the file is left to be read again later, as it would have been. Returns
// whether the buffer holds the file's first bytes.
bool readAhead(std::FILE* file) {
    struct stat info {};
    if (file == nullptr || fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }
    const int first = std::fgetc(file);
    if (first == EOF) {
        std::clearerr(file);
        return false;
    }
    std::ungetc(first, file);
    return true;
}

// Whether any word after `index` is an option that acts (or, when `only`
// is given, that option).
bool optionActsAfter(int index, int argc, char* argv[], const char* only = nullptr) {
    static const char* const kOptions[] = {"-d", "-t", "-w", "-b", "-f"};
    for (int i = index + 1; i + 1 < argc; ++i) {
        for (const char* option : kOptions) {
            if (std::strcmp(argv[i], option) == 0 &&
                (only == nullptr || std::strcmp(option, only) == 0)) {
                return true;
            }
        }
    }
    return false;
}

// A loop started at a moment already past (a board that booted late, or
// was restarted) is joined at its next pass that lies far enough ahead,
// counting passes from that moment: the passes already over are not played.
// Without a period, or with none of its passes left, the moment has passed.
bool joinLoop(std::int64_t* moment) {
    const std::int64_t now = wallClockNanos();
    if (*moment >= now) {
        return true;
    }
    if (passPeriod == 0) {
        return false;
    }
    const std::int64_t pass = passToJoin(*moment, now, passPeriod);
    if (repeatCount != 0 && pass >= repeatCount) {
        return false;
    }
    // Unsigned, as in passToJoin: the way from a moment before 1678 to
    // now is longer than int64 reaches, though where it ends is not.
    *moment = static_cast<std::int64_t>(static_cast<std::uint64_t>(*moment) +
                                        static_cast<std::uint64_t>(pass) *
                                            static_cast<std::uint64_t>(passPeriod) * 1000000U);
    if (repeatCount != 0) {
        repeatCount -= pass;
    }
    return true;
}

// Waits for the start moment where -t stands. Returns false after printing
// why not. When nothing acts after it and the show is ready to play (port
// open, cue file already holding bytes), the wait is left to the first cue:
// read and parsed before the moment, it needs only its write after it.
// Nothing else happens in between either way. With a trigger (-w, wherever
// it stands) the moment arms the show instead: only triggers that come at
// or after it start a pass.
bool startAt(const char* value, bool lastToAct) {
    std::int64_t moment = 0;
    if (!parseStartTime(value, &moment)) {
        std::puts("start time invalid");
        return false;
    }
    const bool fileReady = readAhead(fp);
    const std::int64_t given = moment;
    const std::int64_t countGiven = repeatCount;
    if (!joinLoop(&moment)) {
        std::puts("start time has passed");
        return false;
    }
    // A loop's wait stays here, where a step of the wall clock can make it
    // join another pass.
    if (lastToAct && sp != -1 && fileReady && !triggerGiven && passPeriod == 0) {
        startMoment = moment;
        return true;
    }
    std::int64_t tick = 0;
    stateWaitingForStart(moment);
    while ((tick = waitForWallClock(moment)) == kWallClockStepped) {
        // The moment stands on the stepped clock: one show starts there or
        // has passed; a loop joins its next pass from the clock's new now.
        moment = given;
        repeatCount = countGiven;
        if (!joinLoop(&moment)) {
            std::puts("start time has passed");
            return false;
        }
        stateWaitingForStart(moment);
    }
    stopIfAsked();
    if (tick < 0) {
        std::puts("start time has passed");
        return false;
    }
    if (triggerGiven) {
        triggerNotBefore = clockNanos();
        if (triggerSource >= 0) {
            triggerDiscard(triggerSource);  // lines that came before the moment
        }
        return true;
    }
    startTick = tick;
    return true;
}

// Opens the trigger source where -w stands and waits there for the first
// trigger, which the show then counts from. Returns false after printing
// why not. As with -t, when nothing acts after it and the show is ready to
// play, the wait is left to the first pass: its first cue is read before
// the trigger comes. So it is when a start moment (-t) stands after it:
// triggers count from that moment on. A trigger that came here, with
// options still to act after it (a -d), starts the show as a start moment
// does: at its first cue, if that comes later, so that the cues keep their
// spacing.
bool startOnTrigger(const char* value, bool lastToAct, bool startMomentAfter) {
    const int source = triggerOpen(value);
    if (source < 0) {
        if (source == kTriggerInvalid) {
            std::puts("trigger invalid");
        } else {
            const char* reason = source == kTriggerBusy           ? "line busy"
                                 : source == kTriggerNoPermission ? "no permission"
                                 : source == kTriggerNoEdgeEvents ? "no edge events from the kernel"
                                                                  : "no such line";
            std::printf("couldn't open trigger %s: %s\n", value, reason);
        }
        return false;
    }
    triggerSource = source;
    triggerName = value;
    passWaitsForTrigger = true;
    if (!startMomentAfter && !(lastToAct && sp != -1 && readAhead(fp))) {
        // Input that ends before the first trigger is found again by the
        // first pass, once the walk is over.
        if (startPassOnTrigger()) {
            startAtTriggerTick();
        }
    }
    return true;
}

// Opens the serial port into `sp`. Returns false after printing why not.
bool openPort(const char* value) {
    const std::int32_t baud = parseInt32(value, 10);
    if (baud == 0) {
        std::puts("baud rate invalid");
        return false;
    }
    if (sp != -1) {  // a repeated -b replaces the earlier port
        serialClose(sp);
    }
    const char* device = namedDevice != nullptr ? namedDevice : kFirstDevice;
    sp = serialOpen(device, baud);
    if (sp == -1 && namedDevice == nullptr) {  // never in place of a named one
        device = kSecondDevice;
        sp = serialOpen(device, baud);
    }
    if (sp == -1) {
        std::puts("couldn't connect to serial");
        return false;
    }
    stateConnected(device);
    return true;
}

// Opens `name` for reading like fopen(name, "r"), except that a FIFO with
// no writer does not hang the player: it opens, and reads as an empty file.
std::FILE* openForReading(const char* name) {
    const int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    const int flags = fcntl(fd, F_GETFL);
    std::FILE* file = nullptr;
    if (flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) {
        file = fdopen(fd, "r");
    }
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

// Without end, without a period and without a trigger, each pass starts at
// the moment of the last one's last cue: a show whose cues all fall at one
// moment would be written again and again as fast as the port takes it.
void printNoPause() {
    std::printf(
        "couldn't repeat file %s: its cues all fall at one moment, so it would loop without "
        "pause (give a period with -p)\n",
        path);
}

// Opens the cue file into `fp`. Returns false after printing why not.
bool openCueFile(const char* value) {
    if (fp != nullptr) {  // a repeated -f replaces the earlier file
        std::fclose(fp);
        fp = nullptr;
    }
    if (!uploadPath(value, path)) {
        std::printf("could not open file %s%s\n", kUploadDir, value);
        return false;
    }
    fp = openForReading(path);
    if (fp == nullptr) {
        std::printf("could not open file %s\n", path);
        return false;
    }
    // Refused before anything plays, rather than after the first pass.
    if (repeatCount != 1 && !canReadAgain(fp)) {
        std::printf("couldn't repeat file %s: it cannot be read again from its beginning\n", path);
        return false;
    }
    if (repeatCount == 0 && passPeriod == 0 && !triggerGiven && !passTakesTime(fp)) {
        printNoPause();
        return false;
    }
    return true;
}

// What `orvplayer -h` prints: the forms of the command line, and where the
// rest is told.
void printHelp() {
    std::printf(
        "orvplayer plays a show: each cue of FILE, looked up in %s, to the serial\n"
        "device at its moment (%s, or else %s; with -s, DEVICE alone).\n"
        "usage: orvplayer -b BAUD -f FILE -d DELAY [SETTINGS]\n"
        "       orvplayer -b BAUD -f FILE -t TIME [SETTINGS]\n"
        "       orvplayer -b BAUD -f FILE -w SOURCE [-t TIME] [SETTINGS]\n"
        "SETTINGS: -r COUNT, -p PERIOD, -s DEVICE, -a SOUND (a WAV file, looked up\n"
        "beside FILE, played from each pass's start), -o SOUNDDEVICE (hw:CARD,DEV),\n"
        "anywhere on the line.\n"
        "Options act in the order given. See man orvplayer.\n",
        kUploadDir, kFirstDevice, kSecondDevice);
}

}  // namespace

int runCommandLine(int argc, char* argv[]) {
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        printHelp();
        return 0;
    }
    bool fileGiven = false;
    bool baudGiven = false;
    bool delayGiven = false;
    if (!readShowSettings(argc, argv)) {
        return 1;
    }

    // Each word is tested against all three options, and the value word is
    // itself tested on the next pass. An option that is the last word has
    // no value and counts as not given.
    for (int i = 1; i + 1 < argc; ++i) {
        const char* word = argv[i];
        const char* value = argv[i + 1];
        if (std::strcmp(word, "-d") == 0) {
            startDelay(value);
            stopIfAsked();
            delayGiven = true;
        }
        if (std::strcmp(word, "-t") == 0) {
            if (!startAt(value, !optionActsAfter(i, argc, argv))) {
                return 1;
            }
            delayGiven = true;  // a start moment stands in for the delay
        }
        if (std::strcmp(word, "-w") == 0) {
            if (!startOnTrigger(value, !optionActsAfter(i, argc, argv),
                                optionActsAfter(i, argc, argv, "-t"))) {
                return 1;
            }
            delayGiven = true;  // a trigger stands in for the delay
        }
        if (std::strcmp(word, "-b") == 0) {
            if (!openPort(value)) {
                return 1;
            }
            baudGiven = true;
        }
        if (std::strcmp(word, "-f") == 0) {
            if (!openCueFile(value)) {
                return 1;
            }
            fileGiven = true;
        }
        stopIfAsked();
    }

    if (fileGiven && baudGiven && delayGiven) {
        // A failed read is a failure, not the end of the show.
        const int played = playPasses(fp, repeatCount);
        if (played == kPassesReadFailed) {
            std::printf("couldn't read file %s\n", path);
            return 1;
        }
        if (played == kPassesWithoutPause) {  // the file changed while it looped
            printNoPause();
            return 1;
        }
        if (played == kPassesNoTrigger) {
            std::puts("no trigger came: standard input ended");
            return 1;
        }
        std::fclose(fp);
        fp = nullptr;
        soundtrackClose();  // every pass has heard its sound to the end
        // Status 0 promises that every byte reached the device.
        const int drained = serialClose(sp);
        sp = -1;
        stopIfAsked();  // a stop during the drain bounded it
        if (drained != 0) {
            std::puts("couldn't write to serial");
            return 1;
        }
        return 0;
    }

    if (!fileGiven) {
        std::puts("no filename\nsyntax: orvplayer -b [baud] -f [filename] -d [delay]");
    }
    if (!baudGiven) {
        std::puts("no baud rate\n\nsyntax: orvplayer -b [baud] -f [filename] -d [delay]");
    }
    if (!delayGiven) {
        std::puts("no delay\n\nsyntax: orvplayer -b [baud] -f [filename] -d [delay]");
    }
    return 1;
}
