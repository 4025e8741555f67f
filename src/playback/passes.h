// Playing a show again and again: every pass reads the cue file from its
// beginning and plays it as the first pass did, with the port and the file
// held open in between.
#pragma once

#include <cstdint>
#include <cstdio>

// How playPasses() ended.
constexpr int kPassesPlayed = 0;        // every pass, or until the triggers' input ended
constexpr int kPassesReadFailed = 1;    // the cues before the failure were played
constexpr int kPassesWithoutPause = 2;  // an endless loop whose pass took no time
constexpr int kPassesNoTrigger = 3;     // standard input ended before the first trigger

// Plays `file` `count` times in a row (0: without end), each pass from the
// file's beginning (the first from where it stands). Without end and
// without a period or a trigger, a pass without a cue ends the show (there
// is nothing to play), and one whose cues all fell at one moment ends it as
// kPassesWithoutPause: the next pass would start at once, for ever.
int playPasses(std::FILE* file, std::int64_t count);

// Whether `file` can be read again from its beginning: not a pipe or FIFO.
bool canReadAgain(std::FILE* file);

// Whether a pass of `file`, read from its beginning, takes time: a cue falls
// after the first one's moment, or it holds no cue at all (a loop of it
// ends at once). Reads the file and rewinds it; a read error answers true,
// and is found again when the show plays.
bool passTakesTime(std::FILE* file);
