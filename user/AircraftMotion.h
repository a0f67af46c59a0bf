// The motion state that the user aircraft (under shared control) and every
// remote slot share. The user aircraft's lives here; the slots' records in
// traffic/ extend it.
#pragma once

#include <cstdint>

#include "XPLMDataAccess.h"
#include "XPLMScenery.h"

namespace velmir {

// What the user aircraft and every remote slot share: the received state
// written by the message handlers, and the shown state the motion step
// moves towards it.
struct AircraftMotion {
    // User aircraft only: local_x, local_y, local_z, local_vx, local_vy,
    // local_vz, theta, phi, psi.
    XPLMDataRef UserRefs[9];
    double Position[3];
    float Velocity[3];
    float Accel[3];
    float Attitude[3];  // Pitch, Bank, Heading
    float PrevAttitude[3];
    float Rates[3];  // PitchRate, YawRate, RollRate
    double ShownPosition[3];
    float ShownVelocity[3];
    float ShownAttitude[3];
    double Time;          // sender's clock of the last applied sample; 0 = inactive
    double FilteredTime;  // estimate of the sender's clock
    double ReceivedAt;    // plugin clock when the last sample was applied
    double UpdatedAt;     // plugin clock of the last motion step; 0 = never placed
    std::uint8_t OnGround;
    float RadioAltitude;  // metres above ground, -1 = unknown
    float AltitudeFeet;
    XPLMProbeRef Probe;
};

extern AircraftMotion UserAircraft;

inline bool IsUserAircraft(const AircraftMotion& record) { return &record == &UserAircraft; }
inline bool IsActive(const AircraftMotion& record) { return record.Time != 0.0; }

void ResetMotion(AircraftMotion& record);

}  // namespace velmir
