// Motion and placement of remote aircraft (and of the user aircraft under
// shared control), and the per-frame loop.
#pragma once

#include <cstdint>

#include "traffic/AircraftTable.h"

namespace velmir {

void HandlePosition(const std::uint8_t* datagram);
void HandlePlacement(const std::uint8_t* datagram);
void HandleMotion(const std::uint8_t* datagram);

// These take either UserAircraft or an element of AircraftTable; any other
// record is taken for a remote slot.
void ClampToGround(AircraftMotion& record);
// to - from, brought once into (-180, 180].
float AngleDifference(float from, float to);
// One motion step at the current PluginClock.
void UpdateMotion(AircraftMotion& record);
// Shows the shown state: instances of a remote slot, datarefs of the user aircraft.
void PlaceAircraft(AircraftMotion& record);

// Every frame: plugin clock, motion steps, traffic targets.
float MotionFrame(float sinceLastCall, float sinceLastLoop, int counter, void* refcon);

}  // namespace velmir
