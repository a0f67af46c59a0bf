// The wire format: every message's byte layout, written down once.
//
// The plugin and the reference client both read and write datagrams through
// these definitions, so a sender and a reader can never disagree on an
// offset. Every message is a 24-byte header followed by a packed,
// little-endian payload; offsets count from the first byte of the datagram.
//
// Each layout is an X-macro list of (name, offset, type). From it come the
// typed field constants used by the code (PositionLayout::Time, ...) and a
// table of field descriptions used by tools, documentation checks and the
// compile-time check below that fields are contiguous and fill the message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "Velmir's wire format is little-endian; this host is not."
#endif

namespace velmir {

// A fixed-width byte field (text or raw bytes) inside a message.
template <std::size_t N>
struct Bytes {
    std::uint8_t Data[N];
};

enum class FieldKind : std::uint8_t { U8, U16, I16, U32, I32, U64, F32, F64, Bytes };

// clang-format off
template <class T> struct KindOf;
template <> struct KindOf<std::uint8_t> { static constexpr FieldKind Value = FieldKind::U8; };
template <> struct KindOf<std::uint16_t> { static constexpr FieldKind Value = FieldKind::U16; };
template <> struct KindOf<std::int16_t> { static constexpr FieldKind Value = FieldKind::I16; };
template <> struct KindOf<std::uint32_t> { static constexpr FieldKind Value = FieldKind::U32; };
template <> struct KindOf<std::int32_t> { static constexpr FieldKind Value = FieldKind::I32; };
template <> struct KindOf<std::uint64_t> { static constexpr FieldKind Value = FieldKind::U64; };
template <> struct KindOf<float> { static constexpr FieldKind Value = FieldKind::F32; };
template <> struct KindOf<double> { static constexpr FieldKind Value = FieldKind::F64; };
template <std::size_t N> struct KindOf<Bytes<N>> { static constexpr FieldKind Value = FieldKind::Bytes; };
// clang-format on

// A field of type T at a fixed offset.
template <class T>
struct Field {
    std::uint16_t Offset;
    static constexpr std::uint16_t Width = sizeof(T);
};

// A field as data, for tables and tools.
struct FieldInfo {
    const char* Name;
    std::uint16_t Offset;
    std::uint16_t Width;
    FieldKind Kind;
};

template <class T>
inline T Get(const std::uint8_t* message, Field<T> field) {
    T value;
    std::memcpy(&value, message + field.Offset, sizeof(T));
    return value;
}

template <class T, class V>
inline void Put(std::uint8_t* message, Field<T> field, V value) {
    const T typed = static_cast<T>(value);
    std::memcpy(message + field.Offset, &typed, sizeof(T));
}

template <std::size_t N>
inline std::uint8_t* At(std::uint8_t* message, Field<Bytes<N>> field) {
    return message + field.Offset;
}
template <std::size_t N>
inline const std::uint8_t* At(const std::uint8_t* message, Field<Bytes<N>> field) {
    return message + field.Offset;
}

// Fields must follow one another without gaps and end at the message length.
template <std::size_t Count>
constexpr bool FieldsAreContiguous(const FieldInfo (&fields)[Count], std::size_t first,
                                   std::size_t length) {
    std::size_t next = first;
    for (std::size_t i = 0; i < Count; ++i) {
        if (fields[i].Offset != next) return false;
        next += fields[i].Width;
    }
    return next == length;
}

#define VELMIR_FIELD_CONSTANT(name, offset, type) constexpr ::velmir::Field<type> name{offset};
#define VELMIR_FIELD_INFO(name, offset, type) \
    ::velmir::FieldInfo{#name, offset, sizeof(type), ::velmir::KindOf<type>::Value},

// The body every layout namespace shares: its length, a constant per field
// and the table of fields, which must tile [first, length) without a gap.
#define VELMIR_LAYOUT_BODY(first, length, FIELDS, what)                   \
    constexpr std::size_t Length = length;                                \
    FIELDS(VELMIR_FIELD_CONSTANT)                                         \
    constexpr ::velmir::FieldInfo Fields[] = {FIELDS(VELMIR_FIELD_INFO)}; \
    static_assert(::velmir::FieldsAreContiguous(Fields, first, Length),   \
                  what " fields must be contiguous and fill it");

#define VELMIR_LAYOUT(layout, messageName, type, length, FIELDS) \
    namespace layout {                                           \
    constexpr std::uint8_t Type = type;                          \
    constexpr const char* Name = messageName;                    \
    VELMIR_LAYOUT_BODY(24, length, FIELDS, messageName)          \
    }

// ---------------------------------------------------------------- header --
// Bytes 2 to 20 are reserved and always zero when we send.
#define VELMIR_HEADER_FIELDS(F)       \
    F(LinkTag, 0, std::uint16_t)      \
    F(Reserved2, 2, std::uint8_t)     \
    F(Reserved3, 3, std::uint64_t)    \
    F(Reserved11, 11, std::uint16_t)  \
    F(Reserved13, 13, std::uint8_t)   \
    F(Reserved14, 14, std::uint32_t)  \
    F(Reserved18, 18, std::uint16_t)  \
    F(Reserved20, 20, std::uint8_t)   \
    F(DataVersion, 21, std::uint16_t) \
    F(MessageType, 23, std::uint8_t)

namespace HeaderLayout {
constexpr std::size_t Length = 24;
VELMIR_HEADER_FIELDS(VELMIR_FIELD_CONSTANT)
constexpr FieldInfo Fields[] = {VELMIR_HEADER_FIELDS(VELMIR_FIELD_INFO)};
static_assert(FieldsAreContiguous(Fields, 0, Length), "header fields must fill 24 bytes");
}  // namespace HeaderLayout

constexpr std::uint16_t DataVersion = 21007;
// Low byte of the link tag every datagram we send starts with.
constexpr std::uint16_t InitialLinkTag = 0x000B;

// ------------------------------------------------------------- payloads --
#define VELMIR_INFO_FIELDS(F)        \
    F(SimVersion, 24, std::uint16_t) \
    F(LabelFlags, 26, std::uint8_t)  \
    F(LabelColourArgb, 27, std::uint32_t)

#define VELMIR_MODEL_FIELDS(F)              \
    F(AircraftIndex, 24, std::uint8_t)      \
    F(Reserved25, 25, std::uint8_t)         \
    F(ConstantOneA, 26, std::uint8_t)       \
    F(ConstantOneB, 27, std::uint8_t)       \
    F(LiveryIndex, 28, std::uint8_t)        \
    F(DisplayName, 29, ::velmir::Bytes<20>) \
    F(TailNumber, 49, ::velmir::Bytes<40>)  \
    F(ModelName, 89, ::velmir::Bytes<256>)

#define VELMIR_POSITION_FIELDS(F)      \
    F(AircraftIndex, 24, std::uint8_t) \
    F(Time, 25, double)                \
    F(Latitude, 33, double)            \
    F(Longitude, 41, double)           \
    F(Altitude, 49, double)            \
    F(Pitch, 57, float)                \
    F(Bank, 61, float)                 \
    F(Heading, 65, float)              \
    F(VelocityX, 69, float)            \
    F(VelocityY, 73, float)            \
    F(VelocityZ, 77, float)            \
    F(PitchRate, 81, float)            \
    F(YawRate, 85, float)              \
    F(RollRate, 89, float)             \
    F(AccelX, 93, float)               \
    F(AccelY, 97, float)               \
    F(AccelZ, 101, float)              \
    F(YokeHeading, 105, std::int16_t)  \
    F(YokePitch, 107, std::int16_t)    \
    F(YokeRoll, 109, std::int16_t)     \
    F(LeftBrake, 111, std::int16_t)    \
    F(RightBrake, 113, std::int16_t)   \
    F(RadioAltitude, 115, float)       \
    F(PositionFlags, 119, std::uint8_t)

#define VELMIR_PLACEMENT_FIELDS(F)     \
    F(AircraftIndex, 24, std::uint8_t) \
    F(Latitude, 25, double)            \
    F(Longitude, 33, double)           \
    F(Altitude, 41, double)            \
    F(Pitch, 49, float)                \
    F(Bank, 53, float)                 \
    F(Heading, 57, float)              \
    F(RadioAltitude, 61, float)        \
    F(PositionFlags, 65, std::uint8_t)

#define VELMIR_MOTION_FIELDS(F)        \
    F(AircraftIndex, 24, std::uint8_t) \
    F(VelocityX, 25, float)            \
    F(VelocityY, 29, float)            \
    F(VelocityZ, 33, float)            \
    F(PitchRate, 37, float)            \
    F(YawRate, 41, float)              \
    F(RollRate, 45, float)             \
    F(AccelX, 49, float)               \
    F(AccelY, 53, float)               \
    F(AccelZ, 57, float)

#define VELMIR_SECONDARY_CONTROLS_FIELDS(F) \
    F(AircraftIndex, 24, std::uint8_t)      \
    F(Reserved25, 25, std::uint8_t)         \
    F(Reserved26, 26, std::uint16_t)        \
    F(ElevatorTrim, 28, std::int16_t)       \
    F(AileronTrim, 30, std::int16_t)        \
    F(RudderTrim, 32, std::int16_t)         \
    F(SpoilerDeflection, 34, std::int16_t)  \
    F(TailHook, 36, std::int16_t)           \
    F(ExtraControl1, 38, std::int16_t)      \
    F(ExtraControl2, 40, std::int16_t)

#define VELMIR_AIRCRAFT_STATE_FIELDS(F)         \
    F(AircraftIndex, 24, std::uint8_t)          \
    F(SystemFlags, 25, std::uint8_t)            \
    F(AutopilotFlags, 26, std::uint8_t)         \
    F(ModeFlags, 27, std::uint8_t)              \
    F(FlapDetent, 28, std::uint8_t)             \
    F(HeadingIndicator, 29, std::int16_t)       \
    F(Barometer, 31, std::int16_t)              \
    F(EngineCount, 33, std::uint8_t)            \
    F(FixedOne, 34, std::uint8_t)               \
    F(Turbine, 35, std::uint8_t)                \
    F(Transponder, 36, std::uint16_t)           \
    F(Lights, 38, std::uint16_t)                \
    F(Nav1Course, 40, std::int16_t)             \
    F(Nav2Course, 42, std::int16_t)             \
    F(Com1Frequency, 44, std::int32_t)          \
    F(Com2Frequency, 48, std::int32_t)          \
    F(Nav1Frequency, 52, std::int32_t)          \
    F(Nav2Frequency, 56, std::int32_t)          \
    F(Adf1Frequency, 60, std::int32_t)          \
    F(Adf2Frequency, 64, std::int32_t)          \
    F(Com1Standby, 68, std::int32_t)            \
    F(Com2Standby, 72, std::int32_t)            \
    F(Nav1Standby, 76, std::int32_t)            \
    F(Nav2Standby, 80, std::int32_t)            \
    F(RadioAltitude, 84, float)                 \
    F(Reserved88, 88, ::velmir::Bytes<6>)       \
    F(AutopilotHeading, 94, std::int16_t)       \
    F(AutopilotAltitude, 96, std::int16_t)      \
    F(AutopilotVerticalSpeed, 98, std::int16_t) \
    F(AutopilotAirspeed, 100, std::int16_t)     \
    F(GroundElevation, 102, float)              \
    F(IndicatedAirspeed, 106, float)            \
    F(IndicatedAltitude, 110, float)            \
    F(VerticalSpeed, 114, float)                \
    F(TurnRate, 118, float)                     \
    F(Slip, 122, float)

#define VELMIR_PISTON_ENGINE_FIELDS(F)      \
    F(AircraftIndex, 24, std::uint8_t)      \
    F(EngineNumber, 25, std::uint8_t)       \
    F(EngineFlags, 26, std::uint8_t)        \
    F(EngineFlags2, 27, std::uint8_t)       \
    F(Throttle, 28, std::int16_t)           \
    F(Mixture, 30, std::int16_t)            \
    F(Propeller, 32, std::int16_t)          \
    F(ExhaustGasTemp, 34, std::int16_t)     \
    F(OilPressure, 36, std::uint8_t)        \
    F(OilTemp, 37, std::int16_t)            \
    F(FuelPressure, 39, std::uint8_t)       \
    F(CowlFlaps, 40, std::int16_t)          \
    F(ManifoldPressure, 42, std::uint8_t)   \
    F(AlternateStaticAir, 43, std::int16_t) \
    F(CylinderHeadTemp, 45, std::int16_t)   \
    F(Reserved47, 47, std::uint16_t)        \
    F(FuelFlow, 49, std::int16_t)           \
    F(FixedOne, 51, std::uint16_t)          \
    F(EngineRpm, 53, std::int16_t)          \
    F(FuelSelector, 55, std::uint8_t)

#define VELMIR_TURBINE_ENGINE_FIELDS(F)   \
    F(AircraftIndex, 24, std::uint8_t)    \
    F(EngineNumber, 25, std::uint8_t)     \
    F(EngineFlags, 26, std::uint8_t)      \
    F(Throttle, 27, std::int16_t)         \
    F(Mixture, 29, std::int16_t)          \
    F(Propeller, 31, std::int16_t)        \
    F(ExhaustGasTemp, 33, std::int16_t)   \
    F(OilPressure, 35, std::uint8_t)      \
    F(OilTemp, 36, std::int16_t)          \
    F(FuelPressure, 38, std::uint8_t)     \
    F(N1, 39, std::int16_t)               \
    F(N2, 41, std::int16_t)               \
    F(N1Copy, 43, std::int16_t)           \
    F(N2Copy, 45, std::int16_t)           \
    F(FuelFlow, 47, std::int16_t)         \
    F(PressureRatio, 49, std::int16_t)    \
    F(InterTurbineTemp, 51, std::int16_t) \
    F(FuelSelector, 53, std::uint8_t)

// Tank masses travel in the tank order 2, 5, 8, 0, 6, 3, 1, 7, 4.
#define VELMIR_FUEL_FIELDS(F)           \
    F(AircraftIndex, 24, std::uint8_t)  \
    F(TankMass, 25, ::velmir::Bytes<9>) \
    F(Reserved34, 34, std::uint16_t)

#define VELMIR_VARIABLE_FIELDS(F)      \
    F(AircraftIndex, 24, std::uint8_t) \
    F(VariableId, 25, std::int16_t)    \
    F(VariableValue, 27, std::int32_t)

#define VELMIR_REMOVE_AIRCRAFT_FIELDS(F) F(AircraftIndex, 24, std::uint8_t)

// Connect and disconnect are the bare header.
namespace ConnectLayout {
constexpr std::uint8_t Type = 0;
constexpr std::size_t Length = 24;
constexpr const char* Name = "ConnectMessage";
}  // namespace ConnectLayout
namespace DisconnectLayout {
constexpr std::uint8_t Type = 1;
constexpr std::size_t Length = 24;
constexpr const char* Name = "DisconnectMessage";
}  // namespace DisconnectLayout
VELMIR_LAYOUT(InfoLayout, "InfoMessage", 2, 31, VELMIR_INFO_FIELDS)
VELMIR_LAYOUT(ModelLayout, "ModelMessage", 3, 345, VELMIR_MODEL_FIELDS)
VELMIR_LAYOUT(PositionLayout, "PositionMessage", 4, 120, VELMIR_POSITION_FIELDS)
VELMIR_LAYOUT(PlacementLayout, "PlacementMessage", 5, 66, VELMIR_PLACEMENT_FIELDS)
VELMIR_LAYOUT(MotionLayout, "MotionMessage", 6, 61, VELMIR_MOTION_FIELDS)
VELMIR_LAYOUT(SecondaryControlsLayout, "SecondaryControlsMessage", 7, 42,
              VELMIR_SECONDARY_CONTROLS_FIELDS)
VELMIR_LAYOUT(AircraftStateLayout, "AircraftStateMessage", 8, 126, VELMIR_AIRCRAFT_STATE_FIELDS)
VELMIR_LAYOUT(PistonEngineLayout, "PistonEngineMessage", 9, 56, VELMIR_PISTON_ENGINE_FIELDS)
VELMIR_LAYOUT(TurbineEngineLayout, "TurbineEngineMessage", 10, 54, VELMIR_TURBINE_ENGINE_FIELDS)
VELMIR_LAYOUT(FuelLayout, "FuelMessage", 11, 36, VELMIR_FUEL_FIELDS)
VELMIR_LAYOUT(VariableLayout, "VariableMessage", 12, 31, VELMIR_VARIABLE_FIELDS)
VELMIR_LAYOUT(RemoveAircraftLayout, "RemoveAircraftMessage", 13, 25, VELMIR_REMOVE_AIRCRAFT_FIELDS)

// -------------------------------------------------------------- catalogue --
enum MessageType : std::uint8_t {
    ConnectMessage = 0,
    DisconnectMessage = 1,
    InfoMessage = 2,
    ModelMessage = 3,
    PositionMessage = 4,
    PlacementMessage = 5,
    MotionMessage = 6,
    SecondaryControlsMessage = 7,
    AircraftStateMessage = 8,
    PistonEngineMessage = 9,
    TurbineEngineMessage = 10,
    FuelMessage = 11,
    VariableMessage = 12,
    RemoveAircraftMessage = 13,
};
constexpr int MessageTypeCount = 14;

struct MessageDescription {
    std::uint8_t Type;
    const char* Name;
    std::uint16_t Length;  // full datagram length, header included
    const FieldInfo* Fields;
    std::size_t FieldCount;
};

#define VELMIR_DESCRIBE(layout)                                                                 \
    MessageDescription {                                                                        \
        layout::Type, layout::Name, static_cast<std::uint16_t>(layout::Length), layout::Fields, \
            sizeof(layout::Fields) / sizeof(layout::Fields[0])                                  \
    }

constexpr MessageDescription Catalogue[MessageTypeCount] = {
    {ConnectLayout::Type, ConnectLayout::Name, 24, nullptr, 0},
    {DisconnectLayout::Type, DisconnectLayout::Name, 24, nullptr, 0},
    VELMIR_DESCRIBE(InfoLayout),
    VELMIR_DESCRIBE(ModelLayout),
    VELMIR_DESCRIBE(PositionLayout),
    VELMIR_DESCRIBE(PlacementLayout),
    VELMIR_DESCRIBE(MotionLayout),
    VELMIR_DESCRIBE(SecondaryControlsLayout),
    VELMIR_DESCRIBE(AircraftStateLayout),
    VELMIR_DESCRIBE(PistonEngineLayout),
    VELMIR_DESCRIBE(TurbineEngineLayout),
    VELMIR_DESCRIBE(FuelLayout),
    VELMIR_DESCRIBE(VariableLayout),
    VELMIR_DESCRIBE(RemoveAircraftLayout),
};

constexpr bool CatalogueIsInTypeOrder() {
    for (int i = 0; i < MessageTypeCount; ++i)
        if (Catalogue[i].Type != i) return false;
    return true;
}
static_assert(CatalogueIsInTypeOrder(), "the catalogue is indexed by message type");

// ------------------------------------------------------------------ header --

// A fresh header: our link tag's fixed low byte, every reserved byte zero.
// Version and type are left for stamping.
inline void ConstructHeader(std::uint8_t* message) {
    std::memset(message, 0, HeaderLayout::Length);
    Put(message, HeaderLayout::LinkTag, InitialLinkTag);
}

// Written just before each send.
inline void StampHeader(std::uint8_t* message, std::uint16_t linkTag, std::uint8_t type) {
    Put(message, HeaderLayout::LinkTag, linkTag);
    Put(message, HeaderLayout::DataVersion, DataVersion);
    Put(message, HeaderLayout::MessageType, type);
}

enum class HeaderVerdict {
    TooShort,         // fewer than 24 bytes: dropped
    VersionMismatch,  // wrong data version: logged and answered with a disconnect
    UnknownType,      // type above 13: dropped
    SendOnly,         // types 7 and 10 only travel from the plugin: dropped
    Dispatch,
};

// Judges a received datagram's header, in the order the receive loop checks.
inline HeaderVerdict JudgeHeader(const std::uint8_t* datagram, long length) {
    if (length < static_cast<long>(HeaderLayout::Length)) return HeaderVerdict::TooShort;
    if (Get(datagram, HeaderLayout::DataVersion) != DataVersion)
        return HeaderVerdict::VersionMismatch;
    const std::uint8_t type = Get(datagram, HeaderLayout::MessageType);
    if (type >= MessageTypeCount) return HeaderVerdict::UnknownType;
    if (type == SecondaryControlsMessage || type == TurbineEngineMessage)
        return HeaderVerdict::SendOnly;
    return HeaderVerdict::Dispatch;
}

}  // namespace velmir
