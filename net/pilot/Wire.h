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
// clang-format on

// Payloads carry no message header: their fields start at byte 0.
namespace SampleLayout {
VELMIR_LAYOUT_BODY(0, 108, VELMIR_NET_SAMPLE_FIELDS, "SampleLayout")
}
namespace IdentityLayout {
VELMIR_LAYOUT_BODY(0, 332, VELMIR_NET_IDENTITY_FIELDS, "IdentityLayout")
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
    OutOfRange,        // latitude, longitude or altitude outside the Earth's
    AbsurdSpeed,       // velocity beyond any aircraft
    WrongCell,         // sample position is not inside its topic's cell
    CallsignMismatch,  // identity names another callsign than its topic
    BadText,           // text without terminator in its field, or with control bytes
    Count
};
constexpr int DropReasonCount = static_cast<int>(DropReason::Count);
const char* ToString(DropReason);

// Limits a sample must respect.
constexpr double MaxSpeedMetresPerSecond = 700.0;
constexpr double MinAltitudeMetres = -1000.0;
constexpr double MaxAltitudeMetres = 30000.0;
constexpr std::size_t MaxCallsignLength = 10;

bool IsValidCallsign(std::string_view callsign);

// A 1 x 1 degree cell: lat index -90..89, lon index -180..179.
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

enum class TopicKind { Position, Identity };
struct Topic {
    TopicKind Kind = TopicKind::Position;
    Cell Where;  // Position only
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
    std::string IcaoType, Airline, Livery;
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
void EncodeIdentity(const Identity&, std::uint8_t* out);

// Decoders validate everything; on a refusal `out` is unspecified.
// DecodeSample checks the position against `cell`, the cell of its topic.
DropReason DecodeSample(const std::uint8_t* data, std::size_t length, const Cell& cell,
                        Sample& out);
// The identity's callsign must equal `topicCallsign`.
DropReason DecodeIdentity(const std::uint8_t* data, std::size_t length,
                          std::string_view topicCallsign, Identity& out);

}  // namespace velmir::net
