// The aircraft records of the 40 remote slots.
#pragma once

#include <cstdint>
#include <vector>

#include "XPLMDataAccess.h"
#include "XPLMInstance.h"
#include "user/AircraftMotion.h"

namespace velmir {

constexpr int SlotCount = 40;

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

// Maps a message's AircraftIndex to a remote slot, or nullptr.
inline AircraftRecord* SlotForIndex(std::uint8_t index) {
    return (index >= 1 && index <= SlotCount) ? &AircraftTable[index - 1] : nullptr;
}

void ResetRecord(AircraftRecord& record);
void ReleaseRecord(AircraftRecord& record);
// The keep-alive loop's sweep: releases every slot whose samples stopped
// arriving more than StaleAircraftSeconds ago.
constexpr double StaleAircraftSeconds = 10.0;
void SweepStaleAircraft();
// Handler of RemoveAircraftMessage.
void RemoveAircraft(const std::uint8_t* datagram);

}  // namespace velmir
