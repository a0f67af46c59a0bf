#include "link/KeepAlive.h"

#include "XPLMUtilities.h"
#include "link/Connection.h"
#include "core/Clock.h"
#include "core/Log.h"
#include "traffic/AircraftTable.h"

namespace velmir {

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

float KeepAliveLoop(float, float, int, void*) {
    if (ClientConnected()) {
        int simVersion = 0, xplmVersion = 0;
        XPLMHostApplicationID hostId = 0;
        XPLMGetVersions(&simVersion, &xplmVersion, &hostId);
        std::uint8_t message[InfoLayout::Length];
        ConstructHeader(message);
        Put(message, InfoLayout::SimVersion, static_cast<std::uint16_t>(simVersion & 0xFFFF));
        Put(message, InfoLayout::LabelFlags, 0);
        Put(message, InfoLayout::LabelColourArgb, 0u);
        SendToClient(message, sizeof message, InfoMessage);
    }
    SweepStaleAircraft();
    return 2.0f;
}

}  // namespace velmir
