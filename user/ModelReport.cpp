#include <cstring>

#include "XPLMPlanes.h"
#include "link/Connection.h"
#include "link/Messages.h"
#include "user/Reports.h"
#include "link/SendBuffer.h"
#include "user/UserDataRefs.h"

namespace velmir {

XPLMDataRef LiveryIndexRef = nullptr;

namespace {

SendBuffer<ModelLayout::Length> ModelBuffer;
// Sizes the simulator fills for XPLMGetNthAircraftModel.
char ModelFileName[256];
char ModelPath[512];

}  // namespace

void FillModelMessage(std::uint8_t* m) {
    namespace L = ModelLayout;
    ModelFileName[0] = '\0';
    ModelPath[0] = '\0';
    XPLMGetNthAircraftModel(0, ModelFileName, ModelPath);
    // A path that fills the buffer without a terminator is cut, not overrun.
    ModelPath[sizeof ModelPath - 1] = '\0';

    // Bytes 24 and 25 stay as the buffer was made; so do the display name's
    // bytes after its first: the user aircraft is sent without one.
    Put(m, L::ConstantOneA, 1);
    Put(m, L::ConstantOneB, 1);
    Put(m, L::LiveryIndex,
        LiveryIndexRef != nullptr
            ? static_cast<std::uint8_t>(static_cast<unsigned>(XPLMGetDatai(LiveryIndexRef)))
            : std::uint8_t{0});
    At(m, L::DisplayName)[0] = 0;
    // Copied raw: no terminator is added, and bytes the simulator does not
    // supply keep what an earlier report left.
    XPLMGetDatab(UserDataRefs.TailNumber, At(m, L::TailNumber), 0, L::TailNumber.Width);

    // Up to and including the terminator; a longer path is cut to what the
    // field holds, still terminated. Bytes after the terminator keep what a
    // longer earlier path left there.
    std::size_t length = std::strlen(ModelPath);
    if (length > L::ModelName.Width - 1) length = L::ModelName.Width - 1;
    std::uint8_t* name = At(m, L::ModelName);
    std::memcpy(name, ModelPath, length);
    name[length] = 0;
}

void ReportModel() {
    // Sent also while the client drives the user aircraft.
    if (!ClientConnected()) return;
    std::uint8_t* message = ModelBuffer.Get();
    FillModelMessage(message);
    SendToClient(message, ModelLayout::Length, ModelMessage);
}

}  // namespace velmir
