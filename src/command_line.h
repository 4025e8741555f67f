// The command line: each option acts where it stands, then the show plays.
#pragma once

#include <cstdio>

// The open cue file; nullptr until a -f opens one.
extern std::FILE* fp;

// Walks the words of the command line, acting on -d (sleep), -b (open the
// serial port) and -f (open the cue file) as they come, then plays the
// show if all three were given. Prints every message on standard output.
// Returns the exit status: 0 after a complete playback, 1 otherwise.
int runCommandLine(int argc, char* argv[]);
