// The aircraft records: 40 remote slots and the user aircraft's motion.
#pragma once

#include <cstdint>
#include <vector>

#include "XPLMDataAccess.h"
#include "XPLMInstance.h"
#include "XPLMScenery.h"

namespace velmir {

constexpr int SlotCount = 40;

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

// One 3D object of a remote aircraft's model.
struct ObjectEntry {
    // Never reused: a late load result names its entry by this serial, so
    // it cannot land on a newer entry.
    std::uint64_t Serial;
    std::uint8_t Loaded;
    XPLMObjectRef Object;
    XPLMInstanceRef Instance;
    float Extra[3];
    float Offset[3];  // lateral, vertical, longitudinal
};

struct AircraftRecord : AircraftMotion {
    XPLMDataRef LightRefs[5];  // beacon, landing, nav, strobe, taxi
    char ModelName[256];
    char TailNumber[40];
    char DisplayName[20];
    float RudderRatio;
    float LabelDistance;  // nautical miles
    float LabelSpeed;     // knots
    std::vector<ObjectEntry> Objects;
    float ModelOffset[3];  // vertical offset, longitudinal offset, ground height
};

extern AircraftRecord AircraftTable[SlotCount];
extern AircraftMotion UserAircraft;

inline bool IsUserAircraft(const AircraftMotion& record) { return &record == &UserAircraft; }
inline bool IsActive(const AircraftMotion& record) { return record.Time != 0.0; }

// Maps a message's AircraftIndex to a remote slot, or nullptr.
inline AircraftRecord* SlotForIndex(std::uint8_t index) {
    return (index >= 1 && index <= SlotCount) ? &AircraftTable[index - 1] : nullptr;
}

void ResetMotion(AircraftMotion& record);
void ResetRecord(AircraftRecord& record);
void ReleaseRecord(AircraftRecord& record);
// Handler of RemoveAircraftMessage.
void RemoveAircraft(const std::uint8_t* datagram);

}  // namespace velmir
