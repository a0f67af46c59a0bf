#pragma once

namespace velmir {

constexpr double StaleAircraftSeconds = 10.0;

// Every 2.0 s: the InfoMessage to a connected client, then the removal of
// remote aircraft whose positions stopped arriving.
float KeepAliveLoop(float sinceLastCall, float sinceLastLoop, int counter, void* refcon);
void SweepStaleAircraft();

}  // namespace velmir
