// The reference client's library: typed messages, their encoding through the
// shared layouts of link/Messages.h, person-friendly unit helpers and a UDP
// connection to the plugin.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "client/Platform.h"
#include "link/Messages.h"

namespace velmir::client {

constexpr std::uint16_t DefaultPort = 7472;
constexpr std::size_t HeaderLength = HeaderLayout::Length;
// The longest message (ModelMessage); an encode buffer of this size fits any type.
constexpr std::size_t MaxMessageLength = ModelLayout::Length;

// Text field capacities, terminator included.
constexpr std::size_t DisplayNameCapacity = 20;
constexpr std::size_t TailNumberCapacity = 40;
constexpr std::size_t ModelNameCapacity = 256;

// ---------------------------------------------------------------- messages --
// Fields carry the wire's own units and types; the helpers further below turn
// them into units a person reads. Reserved and constant bytes are not fields:
// encoding writes them as the plugin does, decoding skips them.

struct ConnectRequest {            // type 0
    std::uint8_t TagHighByte = 0;  // header byte 1; the plugin echoes it
};

struct DisconnectNotice {};  // type 1

struct InfoReport {  // type 2
    std::uint16_t SimVersion = 0;
    std::uint8_t LabelFlags = 0;
    std::uint32_t LabelColourArgb = 0;  // 0xAARRGGBB, alpha unused
};

struct ModelReport {  // type 3
    std::uint8_t AircraftIndex = 0;
    std::uint8_t LiveryIndex = 0;
    std::string DisplayName;  // at most 19 bytes are sent
    std::string TailNumber;   // at most 39 bytes are sent
    std::string ModelName;    // at most 255 bytes are sent
};

struct PositionReport {  // type 4
    std::uint8_t AircraftIndex = 0;
    double Time = 0, Latitude = 0, Longitude = 0, Altitude = 0;  // s, deg, deg, m MSL
    float Pitch = 0, Bank = 0, Heading = 0;                      // deg
    float VelocityX = 0, VelocityY = 0, VelocityZ = 0;           // m/s, x east, y up, z south
    float PitchRate = 0, YawRate = 0, RollRate = 0;              // deg/s
    float AccelX = 0, AccelY = 0, AccelZ = 0;                    // m/s²
    std::int16_t YokeHeading = 0, YokePitch = 0, YokeRoll = 0;   // ratio × 16384
    std::int16_t LeftBrake = 0, RightBrake = 0;                  // ratio × 32768 − 16384
    float RadioAltitude = -1.0f;                                 // m, negative = unknown
    std::uint8_t PositionFlags = 0;                              // bit 0 ground, bit 1 clamp
};

struct PlacementCommand {  // type 5
    std::uint8_t AircraftIndex = 0;
    double Latitude = 0, Longitude = 0, Altitude = 0;
    float Pitch = 0, Bank = 0, Heading = 0;
    float RadioAltitude = -1.0f;
    std::uint8_t PositionFlags = 0;
};

struct MotionCommand {  // type 6
    std::uint8_t AircraftIndex = 0;
    float VelocityX = 0, VelocityY = 0, VelocityZ = 0;
    float PitchRate = 0, YawRate = 0, RollRate = 0;
    float AccelX = 0, AccelY = 0, AccelZ = 0;
};

struct SecondaryControlsReport {  // type 7
    std::uint8_t AircraftIndex = 0;
    std::int16_t ElevatorTrim = 0, AileronTrim = 0, RudderTrim = 0;  // ratio × 16384
    std::int16_t SpoilerDeflection = 0, TailHook = 0;
    std::int16_t ExtraControl1 = 0, ExtraControl2 = 0;
};

struct AircraftStateReport {  // type 8
    std::uint8_t AircraftIndex = 0;
    std::uint8_t SystemFlags = 0, AutopilotFlags = 0, ModeFlags = 0;
    std::uint8_t FlapDetent = 0;
    std::int16_t HeadingIndicator = 0;  // deg
    std::int16_t Barometer = 0;         // sixteenths of a hPa
    std::uint8_t EngineCount = 0;
    std::uint8_t Turbine = 0;
    std::uint16_t Transponder = 0;
    std::uint16_t Lights = 0;
    std::int16_t Nav1Course = 0, Nav2Course = 0;
    // Com and nav in 10 kHz steps (12345 = 123.45 MHz), ADF in kHz.
    std::int32_t Com1Frequency = 0, Com2Frequency = 0, Nav1Frequency = 0, Nav2Frequency = 0;
    std::int32_t Adf1Frequency = 0, Adf2Frequency = 0;
    std::int32_t Com1Standby = 0, Com2Standby = 0, Nav1Standby = 0, Nav2Standby = 0;
    float RadioAltitude = 0;                                         // m
    std::int16_t AutopilotHeading = 0, AutopilotAltitude = 0;        // deg, ft
    std::int16_t AutopilotVerticalSpeed = 0, AutopilotAirspeed = 0;  // fpm, kt
    float GroundElevation = 0;                                       // m MSL
    float IndicatedAirspeed = 0;                                     // kt
    float IndicatedAltitude = 0;                                     // ft
    float VerticalSpeed = 0;                                         // fpm
    float TurnRate = 0, Slip = 0;
};

struct PistonEngineReport {  // type 9
    std::uint8_t AircraftIndex = 0;
    // From the plugin: engine number from 1. To the plugin: propeller element 0..3.
    std::uint8_t EngineNumber = 0;
    std::uint8_t EngineFlags = 0, EngineFlags2 = 0;
    std::int16_t Throttle = 0, Mixture = 0, Propeller = 0;  // ratio × 16384
    std::int16_t ExhaustGasTemp = 0;                        // Rankine
    std::uint8_t OilPressure = 0;                           // psi
    std::int16_t OilTemp = 0;                               // Rankine
    std::uint8_t FuelPressure = 0;                          // psi
    std::int16_t CowlFlaps = 0;
    std::uint8_t ManifoldPressure = 0;  // inHg
    std::int16_t AlternateStaticAir = 0;
    std::int16_t CylinderHeadTemp = 0;  // Rankine
    std::int16_t FuelFlow = 0;          // lb/h
    // From the plugin: rpm. To the plugin: propeller lever target, read unscaled.
    std::int16_t EngineRpm = 0;
    std::uint8_t FuelSelector = 0;
};

struct TurbineEngineReport {  // type 10
    std::uint8_t AircraftIndex = 0;
    std::uint8_t EngineNumber = 0;
    std::uint8_t EngineFlags = 0;
    std::int16_t Throttle = 0, Mixture = 0, Propeller = 0;
    std::int16_t ExhaustGasTemp = 0;
    std::uint8_t OilPressure = 0;
    std::int16_t OilTemp = 0;
    std::uint8_t FuelPressure = 0;
    std::int16_t N1 = 0, N2 = 0, N1Copy = 0, N2Copy = 0;  // value × 16384, low 16 bits
    std::int16_t FuelFlow = 0;
    std::int16_t PressureRatio = 0;
    std::int16_t InterTurbineTemp = 0;  // Rankine
    std::uint8_t FuelSelector = 0;
};

struct FuelReport {  // type 11
    std::uint8_t AircraftIndex = 0;
    // Kilograms, in wire order: tanks 2, 5, 8, 0, 6, 3, 1, 7, 4 (see TanksFromWire).
    std::array<std::uint8_t, 9> TankMass{};
};

struct VariableCommand {  // type 12
    std::uint8_t AircraftIndex = 0;
    std::int16_t VariableId = 0;
    std::int32_t VariableValue = 0;
};

struct RemoveAircraftCommand {  // type 13
    std::uint8_t AircraftIndex = 0;
};

// The alternative index equals the message type.
using Message =
    std::variant<ConnectRequest, DisconnectNotice, InfoReport, ModelReport, PositionReport,
                 PlacementCommand, MotionCommand, SecondaryControlsReport, AircraftStateReport,
                 PistonEngineReport, TurbineEngineReport, FuelReport, VariableCommand,
                 RemoveAircraftCommand>;
static_assert(std::variant_size_v<Message> == MessageTypeCount, "one alternative per type");

// ---------------------------------------------------------------- encoding --
// Encode writes the whole datagram (header included) into `out`, which must
// hold at least the type's length (MaxMessageLength always suffices), and
// returns that length. Header bytes 0-1 carry `linkTag`; a ConnectRequest puts
// its TagHighByte into byte 1 instead.
std::size_t Encode(const ConnectRequest&, std::uint8_t* out,
                   std::uint16_t linkTag = InitialLinkTag);
std::size_t Encode(const DisconnectNotice&, std::uint8_t* out,
                   std::uint16_t linkTag = InitialLinkTag);
std::size_t Encode(const InfoReport&, std::uint8_t* out, std::uint16_t linkTag = InitialLinkTag);
std::size_t Encode(const ModelReport&, std::uint8_t* out, std::uint16_t linkTag = InitialLinkTag);
std::size_t Encode(const PositionReport&, std::uint8_t* out,
                   std::uint16_t linkTag = InitialLinkTag);
std::size_t Encode(const PlacementCommand&, std::uint8_t* out,
                   std::uint16_t linkTag = InitialLinkTag);
std::size_t Encode(const MotionCommand&, std::uint8_t* out, std::uint16_t linkTag = InitialLinkTag);
std::size_t Encode(const SecondaryControlsReport&, std::uint8_t* out,
                   std::uint16_t linkTag = InitialLinkTag);
std::size_t Encode(const AircraftStateReport&, std::uint8_t* out,
                   std::uint16_t linkTag = InitialLinkTag);
std::size_t Encode(const PistonEngineReport&, std::uint8_t* out,
                   std::uint16_t linkTag = InitialLinkTag);
std::size_t Encode(const TurbineEngineReport&, std::uint8_t* out,
                   std::uint16_t linkTag = InitialLinkTag);
std::size_t Encode(const FuelReport&, std::uint8_t* out, std::uint16_t linkTag = InitialLinkTag);
std::size_t Encode(const VariableCommand&, std::uint8_t* out,
                   std::uint16_t linkTag = InitialLinkTag);
std::size_t Encode(const RemoveAircraftCommand&, std::uint8_t* out,
                   std::uint16_t linkTag = InitialLinkTag);
std::size_t Encode(const Message&, std::uint8_t* out, std::uint16_t linkTag = InitialLinkTag);

// Decode accepts a datagram of at least the type's length (longer is fine:
// the extra bytes are ignored) whose DataVersion is 21007 and whose type is
// the struct's. On false the struct is left untouched.
bool Decode(const std::uint8_t* data, std::size_t length, ConnectRequest&);
bool Decode(const std::uint8_t* data, std::size_t length, DisconnectNotice&);
bool Decode(const std::uint8_t* data, std::size_t length, InfoReport&);
bool Decode(const std::uint8_t* data, std::size_t length, ModelReport&);
bool Decode(const std::uint8_t* data, std::size_t length, PositionReport&);
bool Decode(const std::uint8_t* data, std::size_t length, PlacementCommand&);
bool Decode(const std::uint8_t* data, std::size_t length, MotionCommand&);
bool Decode(const std::uint8_t* data, std::size_t length, SecondaryControlsReport&);
bool Decode(const std::uint8_t* data, std::size_t length, AircraftStateReport&);
bool Decode(const std::uint8_t* data, std::size_t length, PistonEngineReport&);
bool Decode(const std::uint8_t* data, std::size_t length, TurbineEngineReport&);
bool Decode(const std::uint8_t* data, std::size_t length, FuelReport&);
bool Decode(const std::uint8_t* data, std::size_t length, VariableCommand&);
bool Decode(const std::uint8_t* data, std::size_t length, RemoveAircraftCommand&);

enum class DecodeError {
    None,
    TooShort,         // under 24 bytes: no header
    VersionMismatch,  // DataVersion is not 21007
    UnknownType,      // type above 13
    Truncated,        // shorter than its type's layout
};
const char* ToString(DecodeError);

struct Decoded {
    DecodeError Error = DecodeError::None;
    std::uint16_t LinkTag = 0;  // header bytes 0-1, when there is a header
    Message Value;              // meaningful only when Error is None
    bool Ok() const { return Error == DecodeError::None; }
};
Decoded DecodeAny(const std::uint8_t* data, std::size_t length);

// Type name as in the catalogue ("PositionMessage"), "unknown" past 13.
const char* MessageName(std::uint8_t type);
inline std::uint8_t TypeOf(const Message& m) { return static_cast<std::uint8_t>(m.index()); }

// Bounded text: at most capacity − 1 bytes, cut at a UTF-8 character boundary,
// so the field always ends with a zero. ReadText stops at the first zero or at
// the field's end, whichever comes first.
void WriteText(std::uint8_t* field, std::size_t capacity, const std::string& text);
std::string ReadText(const std::uint8_t* field, std::size_t capacity);

// ------------------------------------------------------------------- units --
constexpr double FixedOne = 16384.0;
constexpr double KnotsPerMetrePerSecond = 1.9438444924406;
constexpr double FeetPerMetre = 3.280839895;
constexpr double HectopascalPerInchHg = 33.863888;

// 16384 stands for 1.0; encoding truncates toward zero and saturates at the
// int16 range, so out-of-range input cannot wrap to the opposite sign.
double RatioFromFixed(std::int16_t value);
std::int16_t FixedFromRatio(double ratio);
// Brakes travel as ratio × 32768 − 16384: −16384 released, 16384 full.
double BrakeRatioFromWire(std::int16_t value);
std::int16_t WireFromBrakeRatio(double ratio);
double CelsiusFromRankine(double rankine);
std::int16_t RankineFromCelsius(double celsius);
double HectopascalFromSixteenths(std::int16_t value);
double InchesHgFromSixteenths(std::int16_t value);
std::int16_t SixteenthsFromInchesHg(double inchesHg);
double MegahertzFromRadio(std::int32_t tensOfKilohertz);
double KilogramsPerHourFromFuelFlow(std::int16_t poundsPerHour);

// Tank carried in each wire byte: wire byte k holds tank TankWireOrder[k].
constexpr std::array<std::uint8_t, 9> TankWireOrder = {2, 5, 8, 0, 6, 3, 1, 7, 4};
// Kilograms indexed by tank number, from the wire order, and back.
std::array<std::uint8_t, 9> TanksFromWire(const std::array<std::uint8_t, 9>& wire);
std::array<std::uint8_t, 9> WireFromTanks(const std::array<std::uint8_t, 9>& tanks);
// A mass in kilograms as one tank byte: rounded up, limited to 0..255.
std::uint8_t TankByteFromKilograms(double kg);

// ------------------------------------------------------------- connection --
enum class LinkState {
    Closed,            // no socket
    Open,              // socket ready, no ConnectMessage sent (or we disconnected)
    Connected,         // ConnectMessage sent; the plugin has no reply for it
    PeerDisconnected,  // the plugin sent us a DisconnectMessage
};
const char* ToString(LinkState);

struct Received {
    Decoded Result;
    std::vector<std::uint8_t> Raw;  // the datagram as it arrived
    std::size_t Length = 0;         // its full length, even if longer than Raw
    sockaddr_in From{};
};

class Connection {
  public:
    Connection() = default;
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Creates the socket, binds it to localPort (0 = ephemeral) on every
    // interface and sets the target. `host` is an IPv4 address or name.
    bool Open(const std::string& host = "127.0.0.1", std::uint16_t port = DefaultPort,
              std::uint16_t localPort = 0);
    void Close();
    const std::string& LastError() const { return error_; }

    bool Connect(std::uint8_t tagHighByte);
    bool Disconnect();

    template <class T>
    bool Send(const T& message) {
        std::uint8_t buffer[MaxMessageLength];
        const std::size_t length = Encode(message, buffer, linkTag_);
        return SendRaw(buffer, length);
    }
    bool SendRaw(const std::uint8_t* data, std::size_t length);

    // Waits up to timeoutMs for one datagram from the target (datagrams from
    // other addresses are counted and skipped); nullopt when none came.
    std::optional<Received> Receive(int timeoutMs);

    LinkState State() const { return state_; }
    // Seconds since the last datagram from the target; a negative value
    // when none has arrived yet.
    double SecondsSinceLastDatagram() const;
    std::uint16_t LocalPort() const;
    std::uint16_t LinkTag() const { return linkTag_; }
    const sockaddr_in& Target() const { return target_; }
    std::uint64_t StrangerDatagrams() const { return strangers_; }
    int NativeHandle() const { return socket_; }

  private:
    int socket_ = -1;
    sockaddr_in target_{};
    std::uint16_t linkTag_ = InitialLinkTag;
    LinkState state_ = LinkState::Closed;
    double lastDatagramAt_ = -1.0;
    std::uint64_t strangers_ = 0;
    std::string error_;
    std::vector<std::uint8_t> buffer_;
};

// Seconds on a monotonic clock (the sender clock the tool stamps into Time).
double MonotonicSeconds();
// "a.b.c.d:port"
std::string FormatAddress(const sockaddr_in&);

}  // namespace velmir::client
