// The network's wire format: topics and the two payloads, written down once.
//
// Payloads are fixed, packed, little-endian layouts with the version byte
// first, described with the same field machinery as the plugin's messages
// (link/Messages.h), so offsets exist in one place and are checked at compile
// time. Everything decoded here comes from strangers: the decoders validate
// every field and name the reason when they refuse.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "client/Client.h"
#include "link/Messages.h"

namespace velmir::net {

constexpr std::uint8_t WireVersion = 1;
// The identity that also says the aircraft's type, operator and livery.
// Published on its own topic (id2/) beside the version-1 identity, which
// older companions read alone: they take only a 332-byte version 1.
constexpr std::uint8_t IdentityVersion2 = 2;
constexpr std::uint8_t SampleKind = 1;
constexpr std::uint8_t IdentityKind = 2;

// clang-format off
#define VELMIR_NET_SAMPLE_FIELDS(F)      \
    F(Version, 0, std::uint8_t)          \
    F(Kind, 1, std::uint8_t)             \
    F(Sequence, 2, std::uint16_t)        \
    F(SentAtMicros, 4, std::uint64_t)    \
    F(Time, 12, double)                  \
    F(Latitude, 20, double)              \
    F(Longitude, 28, double)             \
    F(Altitude, 36, double)              \
    F(Pitch, 44, float)                  \
    F(Bank, 48, float)                   \
    F(Heading, 52, float)                \
    F(VelocityX, 56, float)              \
    F(VelocityY, 60, float)              \
    F(VelocityZ, 64, float)              \
    F(PitchRate, 68, float)              \
    F(YawRate, 72, float)                \
    F(RollRate, 76, float)               \
    F(AccelX, 80, float)                 \
    F(AccelY, 84, float)                 \
    F(AccelZ, 88, float)                 \
    F(YokeHeading, 92, std::int16_t)     \
    F(YokePitch, 94, std::int16_t)       \
    F(YokeRoll, 96, std::int16_t)        \
    F(LeftBrake, 98, std::int16_t)       \
    F(RightBrake, 100, std::int16_t)     \
    F(RadioAltitude, 102, float)         \
    F(PositionFlags, 106, std::uint8_t)  \
    F(Reserved107, 107, std::uint8_t)

#define VELMIR_NET_IDENTITY_FIELDS(F)             \
    F(Version, 0, std::uint8_t)                   \
    F(Kind, 1, std::uint8_t)                      \
    F(LiveryIndex, 2, std::uint8_t)               \
    F(Reserved3, 3, std::uint8_t)                 \
    F(Callsign, 4, ::velmir::Bytes<12>)           \
    F(DisplayName, 16, ::velmir::Bytes<20>)       \
    F(TailNumber, 36, ::velmir::Bytes<40>)        \
    F(ModelName, 76, ::velmir::Bytes<256>)

// Version 2: version 1's fields at the same offsets (the version byte says
// 2), then what the pilot says it flies. Each text is checked as in version
// 1 and must be empty or well formed (net/pilot/Aircraft.h).
#define VELMIR_NET_IDENTITY2_FIELDS(F)            \
    VELMIR_NET_IDENTITY_FIELDS(F)                 \
    F(IcaoType, 332, ::velmir::Bytes<8>)          \
    F(Airline, 340, ::velmir::Bytes<8>)           \
    F(Livery, 348, ::velmir::Bytes<40>)
// clang-format on

// Payloads carry no message header: their fields start at byte 0.
namespace SampleLayout {
VELMIR_LAYOUT_BODY(0, 108, VELMIR_NET_SAMPLE_FIELDS, "SampleLayout")
}
namespace IdentityLayout {
VELMIR_LAYOUT_BODY(0, 332, VELMIR_NET_IDENTITY_FIELDS, "IdentityLayout")
}
namespace Identity2Layout {
VELMIR_LAYOUT_BODY(0, 388, VELMIR_NET_IDENTITY2_FIELDS, "Identity2Layout")
}

// Why an input from the network was refused; each has its own counter.
enum class DropReason : std::uint8_t {
    None,
    BadTopic,          // not a topic of this scheme
    BadCallsign,       // callsign in the topic is not 1..10 of [A-Z0-9-]
    BadCell,           // cell in the topic is not "<lat>_<lon>" in range
    WrongSize,         // payload length is not the layout's
    WrongVersion,      // version or kind byte is not ours
    NotFinite,         // NaN or infinity in a number
    OutOfRange,        // a field outside what any aircraft (or the Earth) allows
    AbsurdSpeed,       // velocity beyond any aircraft
    WrongCell,         // sample position is not inside its topic's cell
    CallsignMismatch,  // identity names another callsign than its topic
    BadText,           // text without terminator, control bytes, or bytes after the terminator
    ReservedSet,       // a reserved byte or an undefined flag bit is not zero
    Oversized,         // payload longer than any of ours, refused before anything reads it
    Retained,          // a retained sample: the broker kept it, its pilot may be long gone
    Stale,             // sent longer ago than any live sample, by the sender's clock and ours
    Count
};
constexpr int DropReasonCount = static_cast<int>(DropReason::Count);
const char* ToString(DropReason);

// Limits a sample must respect. The plugin's attitude arithmetic assumes
// angles within a turn, and its extrapolation multiplies rates and
// accelerations by the time since the sample: beyond these no aircraft
// flies, and a value there only throws the shown aircraft about.
constexpr double MaxSpeedMetresPerSecond = 700.0;
constexpr double MinAltitudeMetres = -1000.0;
constexpr double MaxAltitudeMetres = 30000.0;
constexpr double MaxPlainTimeSeconds = 1e9;          // the sender's plugin clock, ~30 years
constexpr double MaxRateDegreesPerSecond = 720.0;    // two turns a second; aerobatics reach ~450
constexpr double MaxAccelMetresPerSecond2 = 200.0;   // ~20 g on one axis
constexpr double MaxRadioAltitudeMetres = 31000.0;   // highest altitude over the lowest ground
constexpr int MaxRatioFixed = 16384;                 // a ratio of 1 (or brake 1, 0 = -16384)
constexpr std::uint8_t DefinedPositionFlags = 0x03;  // on ground, clamp to terrain
// The longest payload of ours; anything longer is refused unread.
constexpr std::size_t MaxPayloadLength = 388;  // Identity2Layout::Length
// A sample older than this by the sender's wall clock is not shown: the
// plugin would place it seconds behind, and it may come from a pilot who
// left. Clocks of machines that synchronise their time agree well within it.
constexpr double MaxSampleAgeSeconds = 30.0;
constexpr std::size_t MaxCallsignLength = 10;

bool IsValidCallsign(std::string_view callsign);

// A 1 x 1 degree cell: lat index -90..89, lon index -180..179. In the finer
// trees below, the same in units of the tree's cell size.
struct Cell {
    int Lat = 0, Lon = 0;
    bool operator==(const Cell& o) const { return Lat == o.Lat && Lon == o.Lon; }
    bool operator!=(const Cell& o) const { return !(*this == o); }
    bool operator<(const Cell& o) const { return Lat != o.Lat ? Lat < o.Lat : Lon < o.Lon; }
};
Cell CellOf(double latitude, double longitude);
std::string CellName(const Cell&);  // "47_8", "-34_-59"
// A cell index as cell names write it: decimal, '-' the only sign, no
// leading zero, no "-0", at most six digits; anything else is refused.
bool ParseCellIndex(std::string_view text, int& out);

// Topics carry an origin level so that brokers can be joined by bridges
// without loops: a pilot publishes under "local"; a bridge re-publishes what
// its broker's pilots sent under its region's name; listeners take any origin.
constexpr std::size_t MaxOriginLength = 32;
std::string PositionTopic(const Cell&, std::string_view callsign);  // velmir/v1/local/pos/...
std::string PositionFilter(const Cell&);                            // velmir/v1/+/pos/<cell>/+
std::string IdentityTopic(std::string_view callsign);               // velmir/v1/local/id/<callsign>
std::string IdentityFilter(std::string_view callsign);              // velmir/v1/+/id/<callsign>
std::string Identity2Topic(std::string_view callsign);  // velmir/v1/local/id2/<callsign>

// The position trees: the same samples, spread by rate over cells
// (net/pilot/Tiers.h chooses which sample goes where). Every 20th sample
// goes to the 0.25-degree "p250" tree; older companions wrote it to the
// 1-degree "pos" tree instead, which is still read, and written next to
// such pilots.
struct PositionTree {
    std::string_view Level;  // topic level after the origin
    int CellThousandths;     // cell size in thousandths of a degree
};
constexpr PositionTree PositionTrees[] = {
    {"pos", 1000}, {"pos-20", 200}, {"pos-5", 50}, {"pos-1", 10}, {"p250", 250},
};
constexpr int PositionTreeCount = 5;
constexpr int OneDegreeTree = 0;
constexpr int CoarseTree = 4;
// The cell of a tree that holds a point. It never lies in another 1-degree
// cell than CellOf's, even where rounding near a whole degree would say so.
Cell TreeCellOf(int tree, double latitude, double longitude);
// Cells of a tree in `degrees` degrees.
int TreeCells(int tree, int degrees);
// Whether a topic or filter (velmir/v1/<origin>/<level>/...) lies in a
// position tree: samples are never retained, so such a subscription wants no
// retained messages (and the broker then skips looking for them).
bool IsPositionFilter(std::string_view filter);

// Identity2: the version-2 identity's own topic (id2/).
enum class TopicKind { Position, Identity, Identity2 };
struct Topic {
    TopicKind Kind = TopicKind::Position;
    int Tree = 0;  // Position only: index into PositionTrees
    Cell Where;    // Position only, in the tree's units
    std::string Callsign;
    // The broker region the message came from: pilots are told apart by
    // origin and callsign. A view into the parsed topic text.
    std::string_view Origin;
};
DropReason ParseTopic(std::string_view topic, Topic& out);

// The clock of a sample's send time: CLOCK_REALTIME in microseconds, so
// that a receiver on the same machine can measure the latency.
std::uint64_t WallMicros();

// One position sample of a pilot: the plugin's report (AircraftIndex is not
// carried) plus the sender's sequence number and wall-clock send time.
struct Sample {
    std::uint16_t Sequence = 0;
    std::uint64_t SentAtMicros = 0;  // CLOCK_REALTIME, microseconds
    client::PositionReport Report;
};

struct Identity {
    std::string Callsign, DisplayName, TailNumber, ModelName;
    std::uint8_t LiveryIndex = 0;
    // What the pilot says it flies (net/pilot/Aircraft.h); empty = not said.
    std::string IcaoType{}, Airline{}, Livery{};
    bool Described = false;  // the three above were published (old senders publish none)
    bool operator==(const Identity& o) const {
        return Callsign == o.Callsign && DisplayName == o.DisplayName &&
               TailNumber == o.TailNumber && ModelName == o.ModelName &&
               LiveryIndex == o.LiveryIndex && IcaoType == o.IcaoType && Airline == o.Airline &&
               Livery == o.Livery && Described == o.Described;
    }
    bool operator!=(const Identity& o) const { return !(*this == o); }
};

// Encoders write exactly the layout's length into `out`. Texts longer than
// their field are cut (at a UTF-8 boundary) so that a terminator always fits.
void EncodeSample(const Sample&, std::uint8_t* out);
void EncodeIdentity(const Identity&, std::uint8_t* out);   // version 1: 332 bytes
void EncodeIdentity2(const Identity&, std::uint8_t* out);  // version 2: 388 bytes

// Decoders validate everything; on a refusal `out` is unspecified.
// DecodeSample checks the position against `cell`, the cell of its topic in
// the tree `tree`.
DropReason DecodeSample(const std::uint8_t* data, std::size_t length, const Cell& cell, Sample& out,
                        int tree = 0);
// The identity's callsign must equal `topicCallsign`. Reads either version,
// told apart by length (332 or 388) and then its version byte; `out.Described`
// says which it was.
DropReason DecodeIdentity(const std::uint8_t* data, std::size_t length,
                          std::string_view topicCallsign, Identity& out);

}  // namespace velmir::net
