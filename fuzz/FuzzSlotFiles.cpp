// Whatever a slot folder's object_list and cog files hold, a model message
// for the slot must load what they name, place it, and release it again
// without crashing, reading past a line or leaving an object behind.
//
// An input is the two files: bytes 0-1 give the object_list's length
// (little-endian), the object_list follows, and the rest is the cog file.
#include <cstddef>
#include <cstdint>

#include "client/Client.h"
#include "fuzz/FuzzSimulator.h"

namespace velmir::fuzz {
namespace {

constexpr int Slot = 7;
std::uint8_t ModelA[ModelLayout::Length];
std::uint8_t ModelB[ModelLayout::Length];
std::uint8_t Position[PositionLayout::Length];
std::uint8_t Removal[RemoveAircraftLayout::Length];
bool UseA = true;

void PrepareMessages() {
    client::ModelReport model;
    model.AircraftIndex = Slot;
    model.DisplayName = "Fuzz";
    model.TailNumber = "N7";
    model.ModelName = "A";
    client::Encode(model, ModelA);
    model.ModelName = "B";
    client::Encode(model, ModelB);
    // Near the ground and asking for the clamp: the cog file's ground
    // height takes part in the placement.
    client::PositionReport position;
    position.AircraftIndex = Slot;
    position.Time = 1.0;
    position.Latitude = 47.001;
    position.Longitude = 8.001;
    position.Altitude = 410.0;
    position.Heading = 30.0f;
    position.Bank = 10.0f;
    position.RadioAltitude = 10.0f;
    position.PositionFlags = 3;
    client::Encode(position, Position);
    client::RemoveAircraftCommand removal;
    removal.AircraftIndex = Slot;
    client::Encode(removal, Removal);
}

// Objects the lists of the seeds and of mutated inputs can name.
void WriteObjects() {
    MakeDirectories(SlotFolder(Slot) + "/objects/sub");
    for (const char* name : {"a.obj", "b.obj", "c.obj", "sub/d.obj"})
        WriteFile(SlotFolder(Slot) + "/objects/" + name, Obj8);
    WriteFile(SlotFolder(Slot) + "/objects/text.obj", "hello\n");
}

}  // namespace
}  // namespace velmir::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    using namespace velmir::fuzz;
    EnterScratchRoot();
    WriteObjects();
    PrepareMessages();
    StartPlugin();
    velmir::host::SetLoadDelayFrames(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velmir;
    using namespace velmir::fuzz;
    std::size_t listLength = 0;
    std::size_t at = 0;
    if (size >= 2) {
        listLength = data[0] | static_cast<std::size_t>(data[1]) << 8;
        at = 2;
    }
    if (listLength > size - at) listLength = size - at;
    WriteFile(SlotFolder(Slot) + "/object_list", data + at, listLength);
    WriteFile(SlotFolder(Slot) + "/cog", data + at + listLength, size - at - listLength);

    Connect();
    // A different name each time, or the message would not count as a change.
    UseA = !UseA;
    Feed(UseA ? ModelA : ModelB, ModelLayout::Length, ClientSide);
    Put(Position, PositionLayout::Time, Get(Position, PositionLayout::Time) + 1.0);
    Feed(Position, PositionLayout::Length, ClientSide);
    host::RunFrames(3);  // loads complete, instances are placed
    CheckHost("SDK misuse");
    Feed(Removal, RemoveAircraftLayout::Length, ClientSide);
    FinishInput();
    return 0;
}
