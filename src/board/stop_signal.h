// Inside the board layer: what the sleeps watch besides their deadline.
#pragma once

// Readable once a stop signal came (or -1 before catchStopSignals()), so
// that a sleep can wait on it beside its timer.
int stopWakeFd();
