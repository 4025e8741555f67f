// Waiting at boot for the show's serial device, before the player starts.
#pragma once

#include <cstdint>

// What waitForDevice() found.
enum class DeviceFound {
    kNone,        // neither device appeared
    kNotAllowed,  // one is there, but this process may not open it
    kUsable,      // one is there and may be opened for reading and writing
};

// Waits until `first` or `second` is there and this process may open it
// for reading and writing, for at most `limitSeconds`. The kernel makes a
// device node for root alone, and udev gives it its group and mode a moment
// later (longer on a slow board): a node that is merely there is not yet
// the show's. Counted on the monotonic clock, never on the wall clock,
// which a board without a real-time clock has stepped by hours or days at
// boot. Sleeps on changes to the devices' folders, looking again at least
// every second; it starts no program.
DeviceFound waitForDevice(const char* first, const char* second, int limitSeconds);

// Waits as waitForDevice() does, for at most `limitMs` milliseconds, until
// the sound device `name` is there and this process may open it: the node
// the name gives (as the player's -o takes it), or for an empty name or
// "default", the first device of any card.
DeviceFound waitForSoundDevice(const char* name, std::int64_t limitMs);
