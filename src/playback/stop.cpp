#include "stop.h"

#include <cstdio>

#include "board/board.h"
#include "show_clock.h"
#include "soundtrack.h"

void stopIfAsked() {
    const int signal = stopSignal();
    if (signal == 0) {
        return;
    }
    // Every cue written so far is whole; the device gets them.
    if (sp != -1) {
        serialStop(sp);
        sp = -1;
    }
    // The sound ends with the cues.
    soundtrackClose();
    std::fflush(stdout);
    endBySignal(signal);
}
