#include "link/KeepAlive.h"

#include "XPLMUtilities.h"
#include "link/Connection.h"

namespace velmir {

void ReportKeepAlive() {
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
}

}  // namespace velmir
