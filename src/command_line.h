// The command line: each option acts where it stands, then the show plays.
#pragma once

#include <cstdio>

// The open cue file; nullptr until a -f opens one.
extern std::FILE* fp;

// Reads the show's settings -r (repeat count), -p (period) and -s (the
// serial device) wherever they stand, then walks the words of the command
// line, acting on -d (sleep), -t (wait for a moment on the wall clock), -w
// (wait for a trigger), -b (open the serial port) and -f (open the cue
// file) as they come, then plays the show if a port, a file and a delay,
// start moment or trigger were given. Prints every message on standard
// output. Returns the exit status: 0 after a complete playback, 1
// otherwise.
int runCommandLine(int argc, char* argv[]);
