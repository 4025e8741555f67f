// The player's one line of state for the service manager, which
// `systemctl status` shows for a show played by its unit: what it plays to,
// which pass plays and when the next starts, what it waits for.
#pragma once

#include <cstdint>

// The trigger source (-w) as given, named while the show waits for it, or
// nullptr.
extern const char* triggerName;

// How many passes the show plays (-r; 0: without end), for "pass N of M".
extern std::int64_t passesInShow;

// The port is open: the player is up.
void stateConnected(const char* device);

// The show waits for its start moment (-t), in Unix nanoseconds.
void stateWaitingForStart(std::int64_t unixNanos);

// The show waits for the trigger that starts its next pass.
void stateWaitingForTrigger();

// A pass is on its way. Its line is left for stateSendPending, so that
// telling it never delays the cue at the pass's start.
void statePassStarted();

// Tells the line of a pass that has begun by the show clock's reading
// `now`, if not told yet. For waits a tick or more from their moment.
void stateSendPending(std::int64_t now);
