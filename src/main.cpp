// orvplayer: plays a cue file to a serial device, each cue at its moment.
#include "board/board.h"
#include "command_line.h"

int main(int argc, char* argv[]) {
    wiringPiSetup();
    return runCommandLine(argc, argv);
}
