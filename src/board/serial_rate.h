// Rates through Linux's arbitrary-rate interface (termios2). Kept apart
// because its kernel header clashes with <termios.h>.
#pragma once

// Sets input and output rate of an open terminal to `baud`, also one that
// termios has no code for. Returns false when the driver refuses it.
bool setCustomRate(int fd, int baud);

// The output rate the driver reports for an open terminal, after it has
// rounded or replaced the one asked for; -1 when the interface is missing.
long reportedRate(int fd);
