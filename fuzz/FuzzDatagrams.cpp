// Any sequence of datagrams, from the client or from a stranger, mixed with
// simulator frames, object loads that fail, planes that are refused and a
// client that falls silent, must neither crash the simulator nor leave an
// object, instance or SDK misuse behind.
//
// An input is a sequence of chunks:
//   byte 0     control
//                bits 0-2  frames to run after the datagram (FrameSteps)
//                bit 3     sent by a stranger rather than the client
//                bit 4     write the right DataVersion into bytes 21-22
//                bit 5     object loads start or stop failing
//                bit 6     the simulator refuses or grants the planes
//                bit 7     the client's 120 s deadline has passed
//   bytes 1-2  datagram length, little-endian; over 1024 the datagram is
//              lost, as recvfrom refuses it
//   then the datagram (cut short where the input ends)
// Every input starts with the client connected and ends with it gone.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzSimulator.h"

namespace velmir::fuzz {
namespace {

// 0.1 s covers a receive pass and an object load. The last step is a
// stall: 11 frames of a second each, long enough for the stale-aircraft
// sweep (and cheap enough to be fuzzed often).
constexpr int FrameSteps[8] = {0, 1, 1, 2, 3, 6, 12, 11};
constexpr int StallStep = 7;
constexpr double NormalFps = 60.0, StallFps = 1.0;

// Slots 1, 2, 3, 5 and 40 have folders; the others have none.
void WriteSlotFolders() {
    struct File {
        int slot;
        const char* name;
        const char* text;
    };
    const File files[] = {
        {1, "objects/body.obj", Obj8},
        {1, "objects/wing.obj", Obj8},
        {1, "object_list", "body.obj 0 0 0 0 0 0\nwing.obj 1 2 3 -4.5 0.5 2\n"},
        {1, "cog", "0.5 -1 1\n"},
        // A missing object, a file that is no object and a good one.
        {2, "objects/body.obj", Obj8},
        {2, "objects/broken.obj", "not an object\n"},
        {2, "object_list",
         "missing.obj 1 1 1 1 1 1\nbroken.obj 0 0 0 0 0 0\nbody.obj 0 0 0 0 0 0\n"},
        // A cog file without an object list.
        {3, "cog", "1e30 -1e30 nan\n"},
        // Windows line ends, blank lines, a field run without spaces.
        {5, "objects/a.obj", Obj8},
        {5, "object_list", "\r\n\na.obj\r\na.obj 1 2 3 4 5 6 7 8\r\n"},
        {5, "cog", "garbage\n"},
        {40, "objects/a.obj", Obj8},
        {40, "object_list", "a.obj 0 0 0 0 -2 0\n"},
    };
    for (const File& f : files) {
        MakeDirectories(SlotFolder(f.slot) + "/objects");
        WriteFile(SlotFolder(f.slot) + "/" + f.name, f.text);
    }
}

bool LoadsFail = false;
bool PlanesRefused = false;

void Chunk(std::uint8_t control, std::uint8_t* datagram, std::size_t length, bool lost) {
    if (control & 0x20) host::SetAllLoadsFail(LoadsFail = !LoadsFail);
    if (control & 0x40) host::SetPlanesAvailable(!(PlanesRefused = !PlanesRefused));
    if (control & 0x80) ReceiveDeadline = XPLMGetElapsedTime() - 1.0f;
    if (!lost) {
        if ((control & 0x10) && length >= 23) {
            datagram[21] = 0x0F;
            datagram[22] = 0x52;
        }
        Feed(datagram, length, (control & 0x08) ? StrangerSide : ClientSide);
    }
    const int step = control & 0x07;
    if (step == StallStep) host::SetFps(StallFps);
    host::RunFrames(FrameSteps[step]);
    if (step == StallStep) host::SetFps(NormalFps);
    CheckHost("SDK misuse");
}

}  // namespace
}  // namespace velmir::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    using namespace velmir::fuzz;
    EnterScratchRoot();
    WriteSlotFolders();
    StartPlugin();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velmir::fuzz;
    LoadsFail = PlanesRefused = false;
    Connect();
    // A copy: the control bits may stamp the version into it.
    std::uint8_t datagram[velmir::ReceiveBufferSize];
    std::size_t at = 0;
    while (at < size) {
        const std::uint8_t control = data[at++];
        std::size_t length = 0;
        if (at < size) length = data[at++];
        if (at < size) length |= static_cast<std::size_t>(data[at++]) << 8;
        const bool lost = length > sizeof datagram;
        const std::size_t available = size - at;
        const std::size_t taken = length < available ? length : available;
        if (!lost) {
            std::memcpy(datagram, data + at, taken);
            length = taken;
        }
        at += taken;
        Chunk(control, datagram, length, lost);
    }
    FinishInput();
    return 0;
}
