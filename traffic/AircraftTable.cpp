#include "traffic/AircraftTable.h"

#include "link/Messages.h"
#include "core/Clock.h"
#include "core/Log.h"

namespace velmir {

AircraftRecord AircraftTable[SlotCount];

void ResetRecord(AircraftRecord& r) {
    ResetMotion(r);
    r.ModelName[0] = '\0';
    r.TailNumber[0] = '\0';
    r.DisplayName[0] = '\0';
    r.LabelDistance = r.LabelSpeed = 0.0f;
    r.ModelOffset[0] = r.ModelOffset[1] = r.ModelOffset[2] = 0.0f;
}

void ReleaseRecord(AircraftRecord& r) {
    r.Time = r.FilteredTime = r.ReceivedAt = r.UpdatedAt = 0.0;
    r.ModelName[0] = '\0';
    r.TailNumber[0] = '\0';
    r.DisplayName[0] = '\0';
    r.ModelOffset[0] = r.ModelOffset[1] = 0.0f;
    // Instances go before their objects.
    for (ObjectEntry& entry : r.Objects) {
        if (entry.Instance != nullptr) XPLMDestroyInstance(entry.Instance);
        if (entry.Object != nullptr) XPLMUnloadObject(entry.Object);
        entry.Instance = nullptr;
        entry.Object = nullptr;
    }
    r.Objects.clear();  // keeps its storage for the next model
}

void SweepStaleAircraft() {
    for (int slot = 1; slot <= SlotCount; ++slot) {
        AircraftRecord& record = AircraftTable[slot - 1];
        if (record.Time == 0.0) continue;
        if (PluginClock - record.ReceivedAt > StaleAircraftSeconds) {
            LogMessage("Velmir: Removing timed out aircraft %d, model '%s'\n", slot,
                       record.ModelName);
            ReleaseRecord(record);
        }
    }
}

void RemoveAircraft(const std::uint8_t* datagram) {
    const std::uint8_t index = Get(datagram, RemoveAircraftLayout::AircraftIndex);
    AircraftRecord* record = SlotForIndex(index);
    if (record == nullptr) return;
    LogMessage("Velmir: Removing aircraft %d, model '%s'\n", index, record->ModelName);
    ReleaseRecord(*record);
}

}  // namespace velmir
