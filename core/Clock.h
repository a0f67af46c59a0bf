// The plugin clock: seconds since start, read from the high-resolution
// counter once per frame (by MotionFrame) so every reader in a frame sees
// the same time.
#pragma once

#include <cstdint>

namespace velmir {

extern double ClockFrequency;    // counter ticks per second
extern std::int64_t ClockStart;  // counter value at start
extern double PluginClock;       // seconds since start, as of this frame

// Start-up step: query the frequency (logging a failure) and the start value.
void StartClock();
// Reads the counter and stores PluginClock; once per frame.
void RefreshPluginClock();

}  // namespace velmir
