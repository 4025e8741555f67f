// Playing a show again and again: every pass reads the cue file from its
// beginning and plays it as the first pass did, with the port and the file
// held open in between.
#pragma once

#include <cstdint>
#include <cstdio>

// Plays `file` `count` times in a row (0: without end), each pass from the
// file's beginning (the first from where it stands). Returns false when
// reading the file failed; the cues before the failure were played.
bool playPasses(std::FILE* file, std::int64_t count);

// Whether `file` can be read again from its beginning: not a pipe or FIFO.
bool canReadAgain(std::FILE* file);
