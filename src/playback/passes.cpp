#include "passes.h"

#include <unistd.h>

#include "cue_reader.h"
#include "show_clock.h"
#include "show_state.h"
#include "stop.h"

int playPasses(std::FILE* file, std::int64_t count) {
    passesInShow = count;
    for (std::int64_t pass = 0; count == 0 || pass < count; ++pass) {
        if (pass > 0) {
            nextPass();
            std::rewind(file);
        }
        // A pass that starts on a trigger has its first cue read and parsed
        // before the trigger comes, so that only its write is left then.
        std::int32_t offset = 0;
        const char* codes = nullptr;
        const bool hasCue = nextCue(file, &offset, &codes);
        stopIfAsked();
        if (std::ferror(file) != 0) {
            return kPassesReadFailed;
        }
        if (!startPassOnTrigger()) {
            // The triggers' input ended: the show is over, or never began.
            return pass == 0 ? kPassesNoTrigger : kPassesPlayed;
        }
        statePassStarted();
        if (hasCue) {
            queue(offset, codes);
            playFile(file);
        }
        // A read that a stop signal cut short is a stop, not a read error.
        stopIfAsked();
        if (std::ferror(file) != 0) {
            return kPassesReadFailed;
        }
        endPass(count == 0 || pass + 1 < count);
        // Without end, a pass that takes no time would be followed by the
        // next at once, for ever: a core busy writing the same cues (or
        // nothing at all) as fast as it can.
        if (count == 0 && passTakesNoTime()) {
            return hasCue ? kPassesWithoutPause : kPassesPlayed;
        }
    }
    return kPassesPlayed;
}

bool passTakesTime(std::FILE* file) {
    // The moments as the show clock counts them, on a base of their own.
    const std::int32_t savedBase = ShowOffset;
    ShowOffset = -1;
    bool any = false;
    bool later = false;
    std::int32_t offset = 0;
    const char* codes = nullptr;
    while (!later && nextCue(file, &offset, &codes)) {
        any = true;
        later = dueOf(offset) > 0;
    }
    ShowOffset = savedBase;
    const bool failed = std::ferror(file) != 0;
    std::rewind(file);
    return later || !any || failed;
}

bool canReadAgain(std::FILE* file) { return lseek(fileno(file), 0, SEEK_CUR) >= 0; }
