#include "passes.h"

#include <unistd.h>

#include "cue_reader.h"
#include "show_clock.h"
#include "stop.h"

bool playPasses(std::FILE* file, std::int64_t count) {
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
            return false;
        }
        if (!startPassOnTrigger()) {
            break;  // the triggers' input ended: the show is over
        }
        if (hasCue) {
            queue(offset, codes);
            playFile(file);
        }
        // A read that a stop signal cut short is a stop, not a read error.
        stopIfAsked();
        if (std::ferror(file) != 0) {
            return false;
        }
        endPass();
    }
    return true;
}

bool canReadAgain(std::FILE* file) { return lseek(fileno(file), 0, SEEK_CUR) >= 0; }
