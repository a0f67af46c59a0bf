#include "traffic/ModelInjection.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "XPLMInstance.h"
#include "link/Messages.h"
#include "core/Log.h"
#include "traffic/AircraftTable.h"
#include "traffic/TextFile.h"

namespace velmir {

namespace {

#if defined(_WIN32)
#define VELMIR_SEP "\\"
#else
#define VELMIR_SEP "/"
#endif
#define VELMIR_SLOT_FOLDER \
    "Resources" VELMIR_SEP "plugins" VELMIR_SEP "Velmir" VELMIR_SEP "inject%03d"

constexpr const char* ObjectListFormat = VELMIR_SLOT_FOLDER VELMIR_SEP "object_list";
constexpr const char* ObjectFileFormat = VELMIR_SLOT_FOLDER VELMIR_SEP "objects" VELMIR_SEP "%.*s";
constexpr const char* CogFileFormat = VELMIR_SLOT_FOLDER VELMIR_SEP "cog";

constexpr std::size_t PathCapacity = 256;

// Every instance carries the one per-instance value the placement supplies:
// the rudder angle.
const char* InstanceDataRefs[] = {"sim/flightmodel2/wing/rudder1_deg[0]", nullptr};

// Serial 0 never names an entry, so a null refcon can never match one.
std::uint64_t NextObjectSerial = 1;

void* SerialToRefcon(std::uint64_t serial) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(serial));
}

// A message text is its bytes up to the first zero, and never more than
// fits the record's field with its terminator: a client that fills the
// whole field without a zero gets its text cut, not read past.
void CopyMessageText(char* destination, std::size_t capacity, const std::uint8_t* source,
                     std::size_t width) {
    const std::size_t limit = width < capacity - 1 ? width : capacity - 1;
    std::size_t length = 0;
    while (length < limit && source[length] != 0) ++length;
    std::memcpy(destination, source, length);
    destination[length] = '\0';
}

void ReadObjectList(AircraftRecord& record, int index) {
    char path[PathCapacity];
    if (FormatString(path, sizeof path, ObjectListFormat, index) < 0) return;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return;

    char line[TextLineCapacity];
    while (ReadTextLine(file, line, sizeof line)) {
        if (line[0] == '\0') continue;
        FieldCursor cursor(line);
        const TextField name = cursor.Next();
        char objectPath[PathCapacity];
        const bool fits = FormatString(objectPath, sizeof objectPath, ObjectFileFormat, index,
                                       static_cast<int>(name.Length), name.Start) >= 0;
        // A path that does not fit would name some other file: the line is refused.
        if (!fits) continue;

        ObjectEntry entry{};
        entry.Serial = NextObjectSerial++;
        for (float& extra : entry.Extra) extra = FieldToFloat(cursor.Next());
        for (float& offset : entry.Offset) offset = FieldToFloat(cursor.Next());
        // The load may complete at once on some hosts; the entry must be
        // findable by then.
        record.Objects.push_back(entry);
        XPLMLoadObjectAsync(objectPath, &ObjectLoaded, SerialToRefcon(entry.Serial));
    }
    std::fclose(file);
}

void ReadCog(AircraftRecord& record, int index) {
    char path[PathCapacity];
    if (FormatString(path, sizeof path, CogFileFormat, index) < 0) return;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return;
    char line[TextLineCapacity];
    if (ReadTextLine(file, line, sizeof line) && line[0] != '\0') {
        FieldCursor cursor(line);
        for (float& value : record.ModelOffset) value = FieldToFloat(cursor.Next());
    }
    std::fclose(file);
}

}  // namespace

void ApplyModel(const std::uint8_t* datagram) {
    const std::uint8_t index = Get(datagram, ModelLayout::AircraftIndex);
    AircraftRecord* record = SlotForIndex(index);
    if (record == nullptr) return;

    char modelName[sizeof record->ModelName];
    CopyMessageText(modelName, sizeof modelName, At(datagram, ModelLayout::ModelName),
                    ModelLayout::ModelName.Width);
    if (std::strncmp(modelName, record->ModelName, sizeof modelName) == 0) return;

    LogMessage("Velmir: Aircraft %d model changed from '%s' to '%s'.\n", index, record->ModelName,
               modelName);
    ReleaseRecord(*record);
    ResetRecord(*record);
    ReadObjectList(*record, index);
    ReadCog(*record, index);

    std::memcpy(record->ModelName, modelName, sizeof modelName);
    CopyMessageText(record->TailNumber, sizeof record->TailNumber,
                    At(datagram, ModelLayout::TailNumber), ModelLayout::TailNumber.Width);
    CopyMessageText(record->DisplayName, sizeof record->DisplayName,
                    At(datagram, ModelLayout::DisplayName), ModelLayout::DisplayName.Width);
}

void ObjectLoaded(XPLMObjectRef object, void* refcon) {
    const std::uint64_t serial =
        static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(refcon));
    if (serial != 0) {
        for (AircraftRecord& record : AircraftTable) {
            for (ObjectEntry& entry : record.Objects) {
                if (entry.Serial != serial) continue;
                entry.Object = object;
                entry.Loaded = 1;
                if (object != nullptr)
                    entry.Instance = XPLMCreateInstance(object, InstanceDataRefs);
                return;
            }
        }
    }
    // The entry was released (model change, removal, time-out, disconnect)
    // while its load ran. Nobody else will ever unload this object.
    if (object != nullptr) XPLMUnloadObject(object);
}

}  // namespace velmir
