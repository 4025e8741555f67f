// The cue reader: turns the lines of a cue file into cues for the show clock.
//
// A line is "offset:codes". The offset is hexadecimal milliseconds, read
// from the line's first 8 characters; the codes are everything after the
// first colon, line end included, and are written to the device as they are.
#pragma once

#include <cstdint>
#include <cstdio>

// Pieces longer than this many characters are split (the rest of the line
// comes as the next piece).
constexpr int kPieceChars = 254;

// getOffset's answer for a piece that holds no colon (and so no cue).
constexpr std::int32_t kNoOffset = -1000;

// Codes of the current cue, with their terminator.
extern char buf[kPieceChars + 1];

// Reads the file from where it stands to its end (or a read error) and
// queues every cue, in file order.
void playFile(std::FILE* file);

// Reads up to the next cue of the file: its offset, and its codes (in
// `buf`). False at the end of the file or on a read error.
bool nextCue(std::FILE* file, std::int32_t* offset, const char** codes);

// Reads the next piece of the file into `line` (kPieceChars + 1 bytes): a
// line with its line feed, the last characters before the end of the file,
// or the first kPieceChars characters of a longer line. False at the end
// of the file or on a read error.
bool readPiece(std::FILE* file, char* line);

// The cue a piece carries: its offset, and its codes (copied into `buf`).
// False when it carries none: no colon, an offset that reads as kNoOffset,
// or empty codes.
bool parseCue(const char* line, std::int32_t* offset, const char** codes);

// The offset of a piece, or kNoOffset when it holds no colon.
std::int32_t getOffset(const char* line);

// Copies the codes of a piece (all after its first colon; the whole piece
// when it has none) into `buf` and returns `buf`.
char* getCodes(const char* line);
