#include "traffic/TrafficTargets.h"

#include <cstring>

#include "XPLMPlanes.h"

namespace velmir {

TrafficTargetRefs TrafficRefs;

namespace {

// Targets written so far this frame. Index 0 is the user's own aircraft and
// is never ours, so remote aircraft occupy 1 to TargetCount.
int TargetCount = 0;

// The flight id slot of a target is 8 bytes; the eighth is left alone.
constexpr int FlightIdStride = 8;
constexpr int FlightIdLength = 7;

void SetElement(XPLMDataRef ref, float value, int index) { XPLMSetDatavf(ref, &value, index, 1); }

}  // namespace

void BeginTargets() { TargetCount = 0; }

void PublishTarget(const AircraftRecord& record, int slot) {
    const int n = ++TargetCount;
    // The mode S id stays with the slot while the target index moves with
    // the set of active slots below it.
    int modeS = slot;
    XPLMSetDatavi(TrafficRefs.ModeSId, &modeS, n, 1);
    // Copied as it is, terminator and whatever follows included.
    char flightId[FlightIdLength];
    std::memcpy(flightId, record.TailNumber, FlightIdLength);
    XPLMSetDatab(TrafficRefs.FlightId, flightId, FlightIdStride * n, FlightIdLength);
    SetElement(TrafficRefs.X, static_cast<float>(record.ShownPosition[0]), n);
    SetElement(TrafficRefs.Y, static_cast<float>(record.ShownPosition[1]), n);
    SetElement(TrafficRefs.Z, static_cast<float>(record.ShownPosition[2]), n);
    SetElement(TrafficRefs.Vx, record.ShownVelocity[0], n);
    SetElement(TrafficRefs.Vy, record.ShownVelocity[1], n);
    SetElement(TrafficRefs.Vz, record.ShownVelocity[2], n);
    SetElement(TrafficRefs.Psi, record.ShownAttitude[2], n);
    SetElement(TrafficRefs.The, record.ShownAttitude[0], n);
    SetElement(TrafficRefs.Phi, record.ShownAttitude[1], n);
}

void FinishTargets() {
    // With no target left the last count stays: the release of the planes
    // sets it to 0.
    if (TargetCount > 0) XPLMSetActiveAircraftCount(TargetCount);
}

}  // namespace velmir
