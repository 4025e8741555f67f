#include "stop.h"

#include <cstdio>

#include "board/board.h"
#include "show_clock.h"

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
    std::fflush(stdout);
    endBySignal(signal);
}
