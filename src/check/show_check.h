// Reads a cue file exactly as the player does and tells what it will play
// and everything it will pass over or treat otherwise than a reader might
// expect.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct CheckedCue {
    int line;                // line number in the file
    std::string offsetText;  // the offset field as written (up to the colon)
    std::int32_t offset;     // what the player reads it as, in ms
    std::int64_t moment;     // when it is played, in ms after the first cue
    std::string codes;       // the bytes written to the device
};

struct CheckNote {
    int line;
    bool warning;      // false: a cue row of the show, true: a warning
    std::size_t cue;   // with !warning: index into cues
    std::string text;  // with warning
};

struct ShowCheck {
    std::vector<CheckedCue> cues;
    std::vector<CheckNote> notes;  // cue rows and warnings, in line order
    int passedOver = 0;            // lines or pieces (other than empty lines) with no cue
    int warnings = 0;
    std::uint64_t bytes = 0;
    std::int64_t duration = 0;  // moment of the last cue
    bool readError = false;
};

// Reads `file` to its end. With `baud` above 0, also warns about every cue
// whose bytes cannot leave at that rate (10 bits a byte) before the next
// cue falls due; with `periodMs` above 0 (a show repeated with -p), about
// every cue played at or after the period. Always warns about a file
// without a cue; with `endless` (a show repeated without end, -r 0) and no
// period, about a show whose cues all fall at one moment, which the player
// refuses to loop. With `soundMs` 0 or more (the show's sound lasts that
// long, -a), about every cue played after the sound has ended and, with a
// period, about a sound longer than the period, which each pass cuts off.
ShowCheck checkShow(std::FILE* file, int baud, std::int64_t periodMs = 0, bool endless = false,
                    std::int64_t soundMs = -1);

// Milliseconds as h:mm:ss.mmm (negative values with a leading minus).
std::string clockTime(std::int64_t ms);
