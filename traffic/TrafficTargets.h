// Remote aircraft published as the simulator's traffic (TCAS) targets.
#pragma once

#include "XPLMDataAccess.h"
#include "traffic/AircraftTable.h"

namespace velmir {

struct TrafficTargetRefs {
    XPLMDataRef ModeSId, FlightId, X, Y, Z, Vx, Vy, Vz, Psi, The, Phi;
};
extern TrafficTargetRefs TrafficRefs;

void BeginTargets();
void PublishTarget(const AircraftRecord& record, int slot);
void FinishTargets();

}  // namespace velmir
