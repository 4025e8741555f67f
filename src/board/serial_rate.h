// Rates that termios has no code for, through Linux's arbitrary-rate
// interface. Kept apart because its kernel header clashes with <termios.h>.
#pragma once

// Sets input and output rate of an open terminal to `baud`.
// Returns false when the driver refuses it.
bool setCustomRate(int fd, int baud);
