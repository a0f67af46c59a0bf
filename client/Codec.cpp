// Message encoding and decoding, every offset taken from link/Messages.h.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <variant>

#include "client/Client.h"

namespace velmir::client {
namespace {

// Zeroes the whole message and writes a complete header.
void Begin(std::uint8_t* out, std::size_t length, std::uint16_t linkTag, std::uint8_t type) {
    std::memset(out, 0, length);
    ConstructHeader(out);
    StampHeader(out, linkTag, type);
}

bool HeaderFits(const std::uint8_t* data, std::size_t length, std::uint8_t type,
                std::size_t layoutLength) {
    if (data == nullptr || length < layoutLength || length < HeaderLength) return false;
    return Get(data, HeaderLayout::DataVersion) == DataVersion &&
           Get(data, HeaderLayout::MessageType) == type;
}

template <std::size_t N>
void PutText(std::uint8_t* out, Field<Bytes<N>> field, const std::string& text) {
    WriteText(At(out, field), N, text);
}

template <std::size_t N>
std::string GetText(const std::uint8_t* data, Field<Bytes<N>> field) {
    return ReadText(At(data, field), N);
}

// Length of the longest prefix of `text` within `limit` bytes that does not
// end inside a UTF-8 sequence.
std::size_t Utf8Cut(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) return text.size();
    std::size_t cut = limit;
    // Back off continuation bytes, then the lead byte they belong to.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return cut;
}

}  // namespace

void WriteText(std::uint8_t* field, std::size_t capacity, const std::string& text) {
    if (capacity == 0) return;
    std::memset(field, 0, capacity);
    // A zero inside the text would end it early on the other side anyway.
    const std::size_t visible = std::min(text.find('\0'), text.size());
    const std::size_t length = Utf8Cut(text.substr(0, visible), capacity - 1);
    std::memcpy(field, text.data(), length);
}

std::string ReadText(const std::uint8_t* field, std::size_t capacity) {
    const void* end = std::memchr(field, 0, capacity);
    const std::size_t length =
        end ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(end) - field) : capacity;
    return std::string(reinterpret_cast<const char*>(field), length);
}

// ------------------------------------------------------------ both ways --

namespace {

// Each message's fields, listed once: the encoder writes them, the decoder
// reads them back. Constants are written and not read.
template <class M, class Io>
void Fields(M& m, Io& io) {
    using T = std::remove_const_t<M>;
    if constexpr (std::is_same_v<T, InfoReport>) {
        namespace L = InfoLayout;
        io(L::SimVersion, m.SimVersion);
        io(L::LabelFlags, m.LabelFlags);
        io(L::LabelColourArgb, m.LabelColourArgb);
    } else if constexpr (std::is_same_v<T, ModelReport>) {
        namespace L = ModelLayout;
        io(L::AircraftIndex, m.AircraftIndex);
        io.Constant(L::ConstantOneA, 1);
        io.Constant(L::ConstantOneB, 1);
        io(L::LiveryIndex, m.LiveryIndex);
        io(L::DisplayName, m.DisplayName);
        io(L::TailNumber, m.TailNumber);
        io(L::ModelName, m.ModelName);
    } else if constexpr (std::is_same_v<T, PositionReport>) {
        namespace L = PositionLayout;
        io(L::AircraftIndex, m.AircraftIndex);
        io(L::Time, m.Time);
        io(L::Latitude, m.Latitude);
        io(L::Longitude, m.Longitude);
        io(L::Altitude, m.Altitude);
        io(L::Pitch, m.Pitch);
        io(L::Bank, m.Bank);
        io(L::Heading, m.Heading);
        io(L::VelocityX, m.VelocityX);
        io(L::VelocityY, m.VelocityY);
        io(L::VelocityZ, m.VelocityZ);
        io(L::PitchRate, m.PitchRate);
        io(L::YawRate, m.YawRate);
        io(L::RollRate, m.RollRate);
        io(L::AccelX, m.AccelX);
        io(L::AccelY, m.AccelY);
        io(L::AccelZ, m.AccelZ);
        io(L::YokeHeading, m.YokeHeading);
        io(L::YokePitch, m.YokePitch);
        io(L::YokeRoll, m.YokeRoll);
        io(L::LeftBrake, m.LeftBrake);
        io(L::RightBrake, m.RightBrake);
        io(L::RadioAltitude, m.RadioAltitude);
        io(L::PositionFlags, m.PositionFlags);
    } else if constexpr (std::is_same_v<T, PlacementCommand>) {
        namespace L = PlacementLayout;
        io(L::AircraftIndex, m.AircraftIndex);
        io(L::Latitude, m.Latitude);
        io(L::Longitude, m.Longitude);
        io(L::Altitude, m.Altitude);
        io(L::Pitch, m.Pitch);
        io(L::Bank, m.Bank);
        io(L::Heading, m.Heading);
        io(L::RadioAltitude, m.RadioAltitude);
        io(L::PositionFlags, m.PositionFlags);
    } else if constexpr (std::is_same_v<T, MotionCommand>) {
        namespace L = MotionLayout;
        io(L::AircraftIndex, m.AircraftIndex);
        io(L::VelocityX, m.VelocityX);
        io(L::VelocityY, m.VelocityY);
        io(L::VelocityZ, m.VelocityZ);
        io(L::PitchRate, m.PitchRate);
        io(L::YawRate, m.YawRate);
        io(L::RollRate, m.RollRate);
        io(L::AccelX, m.AccelX);
        io(L::AccelY, m.AccelY);
        io(L::AccelZ, m.AccelZ);
    } else if constexpr (std::is_same_v<T, SecondaryControlsReport>) {
        namespace L = SecondaryControlsLayout;
        io(L::AircraftIndex, m.AircraftIndex);
        io(L::ElevatorTrim, m.ElevatorTrim);
        io(L::AileronTrim, m.AileronTrim);
        io(L::RudderTrim, m.RudderTrim);
        io(L::SpoilerDeflection, m.SpoilerDeflection);
        io(L::TailHook, m.TailHook);
        io(L::ExtraControl1, m.ExtraControl1);
        io(L::ExtraControl2, m.ExtraControl2);
    } else if constexpr (std::is_same_v<T, AircraftStateReport>) {
        namespace L = AircraftStateLayout;
        io(L::AircraftIndex, m.AircraftIndex);
        io(L::SystemFlags, m.SystemFlags);
        io(L::AutopilotFlags, m.AutopilotFlags);
        io(L::ModeFlags, m.ModeFlags);
        io(L::FlapDetent, m.FlapDetent);
        io(L::HeadingIndicator, m.HeadingIndicator);
        io(L::Barometer, m.Barometer);
        io(L::EngineCount, m.EngineCount);
        io.Constant(L::FixedOne, 1);
        io(L::Turbine, m.Turbine);
        io(L::Transponder, m.Transponder);
        io(L::Lights, m.Lights);
        io(L::Nav1Course, m.Nav1Course);
        io(L::Nav2Course, m.Nav2Course);
        io(L::Com1Frequency, m.Com1Frequency);
        io(L::Com2Frequency, m.Com2Frequency);
        io(L::Nav1Frequency, m.Nav1Frequency);
        io(L::Nav2Frequency, m.Nav2Frequency);
        io(L::Adf1Frequency, m.Adf1Frequency);
        io(L::Adf2Frequency, m.Adf2Frequency);
        io(L::Com1Standby, m.Com1Standby);
        io(L::Com2Standby, m.Com2Standby);
        io(L::Nav1Standby, m.Nav1Standby);
        io(L::Nav2Standby, m.Nav2Standby);
        io(L::RadioAltitude, m.RadioAltitude);
        io(L::AutopilotHeading, m.AutopilotHeading);
        io(L::AutopilotAltitude, m.AutopilotAltitude);
        io(L::AutopilotVerticalSpeed, m.AutopilotVerticalSpeed);
        io(L::AutopilotAirspeed, m.AutopilotAirspeed);
        io(L::GroundElevation, m.GroundElevation);
        io(L::IndicatedAirspeed, m.IndicatedAirspeed);
        io(L::IndicatedAltitude, m.IndicatedAltitude);
        io(L::VerticalSpeed, m.VerticalSpeed);
        io(L::TurnRate, m.TurnRate);
        io(L::Slip, m.Slip);
    } else if constexpr (std::is_same_v<T, PistonEngineReport>) {
        namespace L = PistonEngineLayout;
        io(L::AircraftIndex, m.AircraftIndex);
        io(L::EngineNumber, m.EngineNumber);
        io(L::EngineFlags, m.EngineFlags);
        io(L::EngineFlags2, m.EngineFlags2);
        io(L::Throttle, m.Throttle);
        io(L::Mixture, m.Mixture);
        io(L::Propeller, m.Propeller);
        io(L::ExhaustGasTemp, m.ExhaustGasTemp);
        io(L::OilPressure, m.OilPressure);
        io(L::OilTemp, m.OilTemp);
        io(L::FuelPressure, m.FuelPressure);
        io(L::CowlFlaps, m.CowlFlaps);
        io(L::ManifoldPressure, m.ManifoldPressure);
        io(L::AlternateStaticAir, m.AlternateStaticAir);
        io(L::CylinderHeadTemp, m.CylinderHeadTemp);
        io(L::FuelFlow, m.FuelFlow);
        io.Constant(L::FixedOne, 1);
        io(L::EngineRpm, m.EngineRpm);
        io(L::FuelSelector, m.FuelSelector);
    } else if constexpr (std::is_same_v<T, TurbineEngineReport>) {
        namespace L = TurbineEngineLayout;
        io(L::AircraftIndex, m.AircraftIndex);
        io(L::EngineNumber, m.EngineNumber);
        io(L::EngineFlags, m.EngineFlags);
        io(L::Throttle, m.Throttle);
        io(L::Mixture, m.Mixture);
        io(L::Propeller, m.Propeller);
        io(L::ExhaustGasTemp, m.ExhaustGasTemp);
        io(L::OilPressure, m.OilPressure);
        io(L::OilTemp, m.OilTemp);
        io(L::FuelPressure, m.FuelPressure);
        io(L::N1, m.N1);
        io(L::N2, m.N2);
        io(L::N1Copy, m.N1Copy);
        io(L::N2Copy, m.N2Copy);
        io(L::FuelFlow, m.FuelFlow);
        io(L::PressureRatio, m.PressureRatio);
        io(L::InterTurbineTemp, m.InterTurbineTemp);
        io(L::FuelSelector, m.FuelSelector);
    } else if constexpr (std::is_same_v<T, FuelReport>) {
        namespace L = FuelLayout;
        io(L::AircraftIndex, m.AircraftIndex);
        io(L::TankMass, m.TankMass);
    } else if constexpr (std::is_same_v<T, VariableCommand>) {
        namespace L = VariableLayout;
        io(L::AircraftIndex, m.AircraftIndex);
        io(L::VariableId, m.VariableId);
        io(L::VariableValue, m.VariableValue);
    } else if constexpr (std::is_same_v<T, RemoveAircraftCommand>) {
        namespace L = RemoveAircraftLayout;
        io(L::AircraftIndex, m.AircraftIndex);
    } else {
        static_assert(std::is_same_v<T, DisconnectNotice>, "every message lists its fields");
    }
}

// The message type of a message struct: its index in Message.
template <class M, std::size_t I = 0>
constexpr std::uint8_t MessageTypeOf() {
    if constexpr (std::is_same_v<std::variant_alternative_t<I, Message>, M>)
        return static_cast<std::uint8_t>(I);
    else
        return MessageTypeOf<M, I + 1>();
}

struct Encoder {
    std::uint8_t* out;
    template <class T, class V>
    void operator()(Field<T> field, const V& value) {
        Put(out, field, value);
    }
    template <std::size_t N>
    void operator()(Field<Bytes<N>> field, const std::string& text) {
        PutText(out, field, text);
    }
    template <std::size_t N>
    void operator()(Field<Bytes<N>> field, const std::array<std::uint8_t, N>& bytes) {
        std::memcpy(At(out, field), bytes.data(), N);
    }
    template <class T>
    void Constant(Field<T> field, int value) {
        Put(out, field, value);
    }
};

struct Decoder {
    const std::uint8_t* data;
    template <class T, class V>
    void operator()(Field<T> field, V& value) {
        value = Get(data, field);
    }
    template <std::size_t N>
    void operator()(Field<Bytes<N>> field, std::string& text) {
        text = GetText(data, field);
    }
    template <std::size_t N>
    void operator()(Field<Bytes<N>> field, std::array<std::uint8_t, N>& bytes) {
        std::memcpy(bytes.data(), At(data, field), N);
    }
    template <class T>
    void Constant(Field<T>, int) {}
};

template <class M>
std::size_t EncodeFields(const M& m, std::uint8_t* out, std::uint16_t linkTag) {
    constexpr std::uint8_t type = MessageTypeOf<M>();
    const std::size_t length = Catalogue[type].Length;
    Begin(out, length, linkTag, type);
    Encoder encoder{out};
    Fields(m, encoder);
    return length;
}

template <class M>
bool DecodeFields(const std::uint8_t* d, std::size_t n, M& m) {
    constexpr std::uint8_t type = MessageTypeOf<M>();
    if (!HeaderFits(d, n, type, Catalogue[type].Length)) return false;
    Decoder decoder{d};
    Fields(m, decoder);
    return true;
}

}  // namespace

// The connect request carries its one value in the header itself.
std::size_t Encode(const ConnectRequest& m, std::uint8_t* out, std::uint16_t linkTag) {
    Begin(out, ConnectLayout::Length, linkTag, ConnectLayout::Type);
    out[1] = m.TagHighByte;
    return ConnectLayout::Length;
}

bool Decode(const std::uint8_t* d, std::size_t n, ConnectRequest& m) {
    if (!HeaderFits(d, n, ConnectLayout::Type, ConnectLayout::Length)) return false;
    m.TagHighByte = d[1];
    return true;
}

#define VELMIR_CODEC(M)                                                        \
    std::size_t Encode(const M& m, std::uint8_t* out, std::uint16_t linkTag) { \
        return EncodeFields(m, out, linkTag);                                  \
    }                                                                          \
    bool Decode(const std::uint8_t* d, std::size_t n, M& m) { return DecodeFields(d, n, m); }

VELMIR_CODEC(DisconnectNotice)
VELMIR_CODEC(InfoReport)
VELMIR_CODEC(ModelReport)
VELMIR_CODEC(PositionReport)
VELMIR_CODEC(PlacementCommand)
VELMIR_CODEC(MotionCommand)
VELMIR_CODEC(SecondaryControlsReport)
VELMIR_CODEC(AircraftStateReport)
VELMIR_CODEC(PistonEngineReport)
VELMIR_CODEC(TurbineEngineReport)
VELMIR_CODEC(FuelReport)
VELMIR_CODEC(VariableCommand)
VELMIR_CODEC(RemoveAircraftCommand)
#undef VELMIR_CODEC

std::size_t Encode(const Message& m, std::uint8_t* out, std::uint16_t linkTag) {
    return std::visit([&](const auto& typed) { return Encode(typed, out, linkTag); }, m);
}

namespace {

template <std::size_t I = 0>
bool DecodeAlternative(std::size_t type, const std::uint8_t* d, std::size_t n, Message& out) {
    if constexpr (I < std::variant_size_v<Message>) {
        if (type == I) {
            std::variant_alternative_t<I, Message> typed;
            if (!Decode(d, n, typed)) return false;
            out = std::move(typed);
            return true;
        }
        return DecodeAlternative<I + 1>(type, d, n, out);
    } else {
        return false;
    }
}

}  // namespace

Decoded DecodeAny(const std::uint8_t* data, std::size_t length) {
    Decoded result;
    if (data == nullptr || length < HeaderLength) {
        result.Error = DecodeError::TooShort;
        return result;
    }
    result.LinkTag = Get(data, HeaderLayout::LinkTag);
    // The plugin judges headers in this order; so do we.
    switch (JudgeHeader(data, static_cast<long>(length))) {
    case HeaderVerdict::TooShort: result.Error = DecodeError::TooShort; return result;
    case HeaderVerdict::VersionMismatch: result.Error = DecodeError::VersionMismatch; return result;
    case HeaderVerdict::UnknownType: result.Error = DecodeError::UnknownType; return result;
    case HeaderVerdict::SendOnly:  // types 7 and 10 are what a client expects to get
    case HeaderVerdict::Dispatch: break;
    }
    const std::uint8_t type = Get(data, HeaderLayout::MessageType);
    if (length < Catalogue[type].Length || !DecodeAlternative(type, data, length, result.Value)) {
        result.Error = DecodeError::Truncated;
    }
    return result;
}

const char* ToString(DecodeError error) {
    switch (error) {
    case DecodeError::None: return "ok";
    case DecodeError::TooShort: return "shorter than the 24-byte header";
    case DecodeError::VersionMismatch: return "data version is not 21007";
    case DecodeError::UnknownType: return "unknown message type";
    case DecodeError::Truncated: return "shorter than its message layout";
    }
    return "?";
}

const char* MessageName(std::uint8_t type) {
    return type < MessageTypeCount ? Catalogue[type].Name : "unknown";
}

}  // namespace velmir::client
