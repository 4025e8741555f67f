// The show clock: turns cue offsets into moments on the millisecond clock
// and writes each cue's codes to the serial port when its moment comes. A
// show is played in passes (one, unless it repeats); each pass counts its
// cues from its own start.
#pragma once

#include <cstdint>

// The current pass's base offset, in the cue file's milliseconds; negative
// until a cue sets it (and for as long as cues keep setting it to a
// negative value). Each pass takes it afresh from its first cue.
extern std::int32_t ShowOffset;

// The clock reading at the start of the first pass, or -1 before it. The
// show clock's readings are widened to 64 bits, so that a show that loops
// for longer than the 32-bit clock lasts (49.7 days) keeps every moment.
extern std::int64_t starttime;

// The clock reading at which the current pass starts, or -1: it starts when
// its first cue comes (the first pass; see startPass()).
extern std::int64_t passStart;

// Milliseconds from the start of one pass to the start of the next (-p),
// or 0: the next pass starts at the moment of this pass's last cue.
extern std::int64_t passPeriod;

// The clock reading whose millisecond began at the start moment (-t), or
// -1. A first cue queued within that millisecond starts the show on it.
extern std::int64_t startTick;

// A start moment (-t, Unix nanoseconds) still to be waited for, or -1. The
// first cue waits for it once it has been read, so that at the moment only
// its write is left to do.
extern std::int64_t startMoment;

// Serial port handle the codes are written to; -1 when none is open.
extern int sp;

// The trigger source (-w) whose triggers start passes, or -1.
extern int triggerSource;

// Whether the current pass starts on a trigger still to come.
extern bool passWaitsForTrigger;

// The moment (monotonic clock, nanoseconds) from which a trigger may start
// the current pass: the end of the last pass, or a period after its start.
extern std::int64_t triggerNotBefore;

// Milliseconds after the pass's start at which a cue with `offset` is due.
// Takes the offset as the pass's base while the base is not set (or is
// negative). Below 0 means the cue's moment has passed.
std::int64_t dueOf(std::int32_t offset);

// Waits until the cue is due, counted from the pass's start (asleep but
// for a short margin before its moment), then writes its codes. A cue already due is written at
// once. Meanwhile it looks at the port every few tens of milliseconds: a
// device that went away ends the run as a failed write does. A stop signal
// ends the run here, between cues.
void queue(std::int32_t offset, const char* codes);

// Writes the codes to the port. On a hard write error prints
// "couldn't write to serial" and ends the process with status 1.
void sendCodes(const char* codes);

// Starts the current pass if no cue has started it yet: at the start
// moment (-t; "start time has passed" and status 1 if reading the first cue
// took past it), else on the clock's next tick. Returns the clock reading.
std::int64_t startPass();

// Starts the current pass on a trigger, if it waits for one: waits for the
// first trigger since the last pass ended (and, with a period, no sooner
// than a period after its start), looking at the port meanwhile, and counts
// the pass from the trigger's moment. Returns false when standard input, as
// the source, ended instead: the show is over.
bool startPassOnTrigger();

// For a first trigger that came while the command line was still being
// walked (a -d after -w, say): the show starts on the trigger's tick only
// if its first cue is queued within that millisecond, as with a start
// moment; later, it starts at its first cue, so that the cues keep their
// spacing rather than all falling due at once.
void startAtTriggerTick();

// Ends the current pass: one without a cue still takes its place in time,
// so this waits for its start (and so a show without a single cue ends no
// sooner than its start moment).
// With a sound, a pass lasts until its sound has ended too; when
// `anotherFollows` (a loop without a trigger), the next pass's sound is
// queued to follow it on the loop's grid.
void endPass(bool anotherFollows = false);

// Whether the next pass would start at the moment this one started: no
// period, no trigger, and no cue of this pass due after its first.
bool passTakesNoTime();

// Moves on to the next pass: it starts one period after this one, or
// without a period at the moment of this pass's last cue; with a trigger
// source, on the next trigger.
void nextPass();
