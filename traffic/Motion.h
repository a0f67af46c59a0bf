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

// Every frame, after the clock: a motion step for every active slot, and
// the traffic targets when the simulator's planes are ours.
void MoveTraffic(bool publishTargets);

}  // namespace velmir
