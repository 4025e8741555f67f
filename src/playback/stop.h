// Where a stop asked for by signal (SIGTERM, SIGINT, SIGHUP) takes effect:
// between cues, and while the player waits, never inside a cue's write.
#pragma once

// When a stop signal came: lets what the port still holds leave (for a
// bounded time), releases the port, and ends the process by that signal,
// without a message. Otherwise returns at once.
void stopIfAsked();
