// Message encoding and decoding, every offset taken from link/Messages.h.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

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

template <class T>
std::int16_t SaturatingInt16(T value) {
    if (!(value == value)) return 0;  // NaN
    const double truncated = std::trunc(static_cast<double>(value));
    if (truncated >= 32767.0) return 32767;
    if (truncated <= -32768.0) return -32768;
    return static_cast<std::int16_t>(truncated);
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

// ------------------------------------------------------------------ encode --

std::size_t Encode(const ConnectRequest& m, std::uint8_t* out, std::uint16_t linkTag) {
    Begin(out, ConnectLayout::Length, linkTag, ConnectLayout::Type);
    out[1] = m.TagHighByte;
    return ConnectLayout::Length;
}

std::size_t Encode(const DisconnectNotice&, std::uint8_t* out, std::uint16_t linkTag) {
    Begin(out, DisconnectLayout::Length, linkTag, DisconnectLayout::Type);
    return DisconnectLayout::Length;
}

std::size_t Encode(const InfoReport& m, std::uint8_t* out, std::uint16_t linkTag) {
    namespace L = InfoLayout;
    Begin(out, L::Length, linkTag, L::Type);
    Put(out, L::SimVersion, m.SimVersion);
    Put(out, L::LabelFlags, m.LabelFlags);
    Put(out, L::LabelColourArgb, m.LabelColourArgb);
    return L::Length;
}

std::size_t Encode(const ModelReport& m, std::uint8_t* out, std::uint16_t linkTag) {
    namespace L = ModelLayout;
    Begin(out, L::Length, linkTag, L::Type);
    Put(out, L::AircraftIndex, m.AircraftIndex);
    // The two constant bytes are 1 in the plugin's own report; mirror it.
    Put(out, L::ConstantOneA, 1);
    Put(out, L::ConstantOneB, 1);
    Put(out, L::LiveryIndex, m.LiveryIndex);
    PutText(out, L::DisplayName, m.DisplayName);
    PutText(out, L::TailNumber, m.TailNumber);
    PutText(out, L::ModelName, m.ModelName);
    return L::Length;
}

std::size_t Encode(const PositionReport& m, std::uint8_t* out, std::uint16_t linkTag) {
    namespace L = PositionLayout;
    Begin(out, L::Length, linkTag, L::Type);
    Put(out, L::AircraftIndex, m.AircraftIndex);
    Put(out, L::Time, m.Time);
    Put(out, L::Latitude, m.Latitude);
    Put(out, L::Longitude, m.Longitude);
    Put(out, L::Altitude, m.Altitude);
    Put(out, L::Pitch, m.Pitch);
    Put(out, L::Bank, m.Bank);
    Put(out, L::Heading, m.Heading);
    Put(out, L::VelocityX, m.VelocityX);
    Put(out, L::VelocityY, m.VelocityY);
    Put(out, L::VelocityZ, m.VelocityZ);
    Put(out, L::PitchRate, m.PitchRate);
    Put(out, L::YawRate, m.YawRate);
    Put(out, L::RollRate, m.RollRate);
    Put(out, L::AccelX, m.AccelX);
    Put(out, L::AccelY, m.AccelY);
    Put(out, L::AccelZ, m.AccelZ);
    Put(out, L::YokeHeading, m.YokeHeading);
    Put(out, L::YokePitch, m.YokePitch);
    Put(out, L::YokeRoll, m.YokeRoll);
    Put(out, L::LeftBrake, m.LeftBrake);
    Put(out, L::RightBrake, m.RightBrake);
    Put(out, L::RadioAltitude, m.RadioAltitude);
    Put(out, L::PositionFlags, m.PositionFlags);
    return L::Length;
}

std::size_t Encode(const PlacementCommand& m, std::uint8_t* out, std::uint16_t linkTag) {
    namespace L = PlacementLayout;
    Begin(out, L::Length, linkTag, L::Type);
    Put(out, L::AircraftIndex, m.AircraftIndex);
    Put(out, L::Latitude, m.Latitude);
    Put(out, L::Longitude, m.Longitude);
    Put(out, L::Altitude, m.Altitude);
    Put(out, L::Pitch, m.Pitch);
    Put(out, L::Bank, m.Bank);
    Put(out, L::Heading, m.Heading);
    Put(out, L::RadioAltitude, m.RadioAltitude);
    Put(out, L::PositionFlags, m.PositionFlags);
    return L::Length;
}

std::size_t Encode(const MotionCommand& m, std::uint8_t* out, std::uint16_t linkTag) {
    namespace L = MotionLayout;
    Begin(out, L::Length, linkTag, L::Type);
    Put(out, L::AircraftIndex, m.AircraftIndex);
    Put(out, L::VelocityX, m.VelocityX);
    Put(out, L::VelocityY, m.VelocityY);
    Put(out, L::VelocityZ, m.VelocityZ);
    Put(out, L::PitchRate, m.PitchRate);
    Put(out, L::YawRate, m.YawRate);
    Put(out, L::RollRate, m.RollRate);
    Put(out, L::AccelX, m.AccelX);
    Put(out, L::AccelY, m.AccelY);
    Put(out, L::AccelZ, m.AccelZ);
    return L::Length;
}

std::size_t Encode(const SecondaryControlsReport& m, std::uint8_t* out, std::uint16_t linkTag) {
    namespace L = SecondaryControlsLayout;
    Begin(out, L::Length, linkTag, L::Type);
    Put(out, L::AircraftIndex, m.AircraftIndex);
    Put(out, L::ElevatorTrim, m.ElevatorTrim);
    Put(out, L::AileronTrim, m.AileronTrim);
    Put(out, L::RudderTrim, m.RudderTrim);
    Put(out, L::SpoilerDeflection, m.SpoilerDeflection);
    Put(out, L::TailHook, m.TailHook);
    Put(out, L::ExtraControl1, m.ExtraControl1);
    Put(out, L::ExtraControl2, m.ExtraControl2);
    return L::Length;
}

std::size_t Encode(const AircraftStateReport& m, std::uint8_t* out, std::uint16_t linkTag) {
    namespace L = AircraftStateLayout;
    Begin(out, L::Length, linkTag, L::Type);
    Put(out, L::AircraftIndex, m.AircraftIndex);
    Put(out, L::SystemFlags, m.SystemFlags);
    Put(out, L::AutopilotFlags, m.AutopilotFlags);
    Put(out, L::ModeFlags, m.ModeFlags);
    Put(out, L::FlapDetent, m.FlapDetent);
    Put(out, L::HeadingIndicator, m.HeadingIndicator);
    Put(out, L::Barometer, m.Barometer);
    Put(out, L::EngineCount, m.EngineCount);
    Put(out, L::FixedOne, 1);
    Put(out, L::Turbine, m.Turbine);
    Put(out, L::Transponder, m.Transponder);
    Put(out, L::Lights, m.Lights);
    Put(out, L::Nav1Course, m.Nav1Course);
    Put(out, L::Nav2Course, m.Nav2Course);
    Put(out, L::Com1Frequency, m.Com1Frequency);
    Put(out, L::Com2Frequency, m.Com2Frequency);
    Put(out, L::Nav1Frequency, m.Nav1Frequency);
    Put(out, L::Nav2Frequency, m.Nav2Frequency);
    Put(out, L::Adf1Frequency, m.Adf1Frequency);
    Put(out, L::Adf2Frequency, m.Adf2Frequency);
    Put(out, L::Com1Standby, m.Com1Standby);
    Put(out, L::Com2Standby, m.Com2Standby);
    Put(out, L::Nav1Standby, m.Nav1Standby);
    Put(out, L::Nav2Standby, m.Nav2Standby);
    Put(out, L::RadioAltitude, m.RadioAltitude);
    Put(out, L::AutopilotHeading, m.AutopilotHeading);
    Put(out, L::AutopilotAltitude, m.AutopilotAltitude);
    Put(out, L::AutopilotVerticalSpeed, m.AutopilotVerticalSpeed);
    Put(out, L::AutopilotAirspeed, m.AutopilotAirspeed);
    Put(out, L::GroundElevation, m.GroundElevation);
    Put(out, L::IndicatedAirspeed, m.IndicatedAirspeed);
    Put(out, L::IndicatedAltitude, m.IndicatedAltitude);
    Put(out, L::VerticalSpeed, m.VerticalSpeed);
    Put(out, L::TurnRate, m.TurnRate);
    Put(out, L::Slip, m.Slip);
    return L::Length;
}

std::size_t Encode(const PistonEngineReport& m, std::uint8_t* out, std::uint16_t linkTag) {
    namespace L = PistonEngineLayout;
    Begin(out, L::Length, linkTag, L::Type);
    Put(out, L::AircraftIndex, m.AircraftIndex);
    Put(out, L::EngineNumber, m.EngineNumber);
    Put(out, L::EngineFlags, m.EngineFlags);
    Put(out, L::EngineFlags2, m.EngineFlags2);
    Put(out, L::Throttle, m.Throttle);
    Put(out, L::Mixture, m.Mixture);
    Put(out, L::Propeller, m.Propeller);
    Put(out, L::ExhaustGasTemp, m.ExhaustGasTemp);
    Put(out, L::OilPressure, m.OilPressure);
    Put(out, L::OilTemp, m.OilTemp);
    Put(out, L::FuelPressure, m.FuelPressure);
    Put(out, L::CowlFlaps, m.CowlFlaps);
    Put(out, L::ManifoldPressure, m.ManifoldPressure);
    Put(out, L::AlternateStaticAir, m.AlternateStaticAir);
    Put(out, L::CylinderHeadTemp, m.CylinderHeadTemp);
    Put(out, L::FuelFlow, m.FuelFlow);
    Put(out, L::FixedOne, 1);
    Put(out, L::EngineRpm, m.EngineRpm);
    Put(out, L::FuelSelector, m.FuelSelector);
    return L::Length;
}

std::size_t Encode(const TurbineEngineReport& m, std::uint8_t* out, std::uint16_t linkTag) {
    namespace L = TurbineEngineLayout;
    Begin(out, L::Length, linkTag, L::Type);
    Put(out, L::AircraftIndex, m.AircraftIndex);
    Put(out, L::EngineNumber, m.EngineNumber);
    Put(out, L::EngineFlags, m.EngineFlags);
    Put(out, L::Throttle, m.Throttle);
    Put(out, L::Mixture, m.Mixture);
    Put(out, L::Propeller, m.Propeller);
    Put(out, L::ExhaustGasTemp, m.ExhaustGasTemp);
    Put(out, L::OilPressure, m.OilPressure);
    Put(out, L::OilTemp, m.OilTemp);
    Put(out, L::FuelPressure, m.FuelPressure);
    Put(out, L::N1, m.N1);
    Put(out, L::N2, m.N2);
    Put(out, L::N1Copy, m.N1Copy);
    Put(out, L::N2Copy, m.N2Copy);
    Put(out, L::FuelFlow, m.FuelFlow);
    Put(out, L::PressureRatio, m.PressureRatio);
    Put(out, L::InterTurbineTemp, m.InterTurbineTemp);
    Put(out, L::FuelSelector, m.FuelSelector);
    return L::Length;
}

std::size_t Encode(const FuelReport& m, std::uint8_t* out, std::uint16_t linkTag) {
    namespace L = FuelLayout;
    Begin(out, L::Length, linkTag, L::Type);
    Put(out, L::AircraftIndex, m.AircraftIndex);
    std::memcpy(At(out, L::TankMass), m.TankMass.data(), m.TankMass.size());
    return L::Length;
}

std::size_t Encode(const VariableCommand& m, std::uint8_t* out, std::uint16_t linkTag) {
    namespace L = VariableLayout;
    Begin(out, L::Length, linkTag, L::Type);
    Put(out, L::AircraftIndex, m.AircraftIndex);
    Put(out, L::VariableId, m.VariableId);
    Put(out, L::VariableValue, m.VariableValue);
    return L::Length;
}

std::size_t Encode(const RemoveAircraftCommand& m, std::uint8_t* out, std::uint16_t linkTag) {
    namespace L = RemoveAircraftLayout;
    Begin(out, L::Length, linkTag, L::Type);
    Put(out, L::AircraftIndex, m.AircraftIndex);
    return L::Length;
}

std::size_t Encode(const Message& m, std::uint8_t* out, std::uint16_t linkTag) {
    return std::visit([&](const auto& typed) { return Encode(typed, out, linkTag); }, m);
}

// ------------------------------------------------------------------ decode --

bool Decode(const std::uint8_t* d, std::size_t n, ConnectRequest& m) {
    if (!HeaderFits(d, n, ConnectLayout::Type, ConnectLayout::Length)) return false;
    m.TagHighByte = d[1];
    return true;
}

bool Decode(const std::uint8_t* d, std::size_t n, DisconnectNotice&) {
    return HeaderFits(d, n, DisconnectLayout::Type, DisconnectLayout::Length);
}

bool Decode(const std::uint8_t* d, std::size_t n, InfoReport& m) {
    namespace L = InfoLayout;
    if (!HeaderFits(d, n, L::Type, L::Length)) return false;
    m.SimVersion = Get(d, L::SimVersion);
    m.LabelFlags = Get(d, L::LabelFlags);
    m.LabelColourArgb = Get(d, L::LabelColourArgb);
    return true;
}

bool Decode(const std::uint8_t* d, std::size_t n, ModelReport& m) {
    namespace L = ModelLayout;
    if (!HeaderFits(d, n, L::Type, L::Length)) return false;
    m.AircraftIndex = Get(d, L::AircraftIndex);
    m.LiveryIndex = Get(d, L::LiveryIndex);
    m.DisplayName = GetText(d, L::DisplayName);
    m.TailNumber = GetText(d, L::TailNumber);
    m.ModelName = GetText(d, L::ModelName);
    return true;
}

bool Decode(const std::uint8_t* d, std::size_t n, PositionReport& m) {
    namespace L = PositionLayout;
    if (!HeaderFits(d, n, L::Type, L::Length)) return false;
    m.AircraftIndex = Get(d, L::AircraftIndex);
    m.Time = Get(d, L::Time);
    m.Latitude = Get(d, L::Latitude);
    m.Longitude = Get(d, L::Longitude);
    m.Altitude = Get(d, L::Altitude);
    m.Pitch = Get(d, L::Pitch);
    m.Bank = Get(d, L::Bank);
    m.Heading = Get(d, L::Heading);
    m.VelocityX = Get(d, L::VelocityX);
    m.VelocityY = Get(d, L::VelocityY);
    m.VelocityZ = Get(d, L::VelocityZ);
    m.PitchRate = Get(d, L::PitchRate);
    m.YawRate = Get(d, L::YawRate);
    m.RollRate = Get(d, L::RollRate);
    m.AccelX = Get(d, L::AccelX);
    m.AccelY = Get(d, L::AccelY);
    m.AccelZ = Get(d, L::AccelZ);
    m.YokeHeading = Get(d, L::YokeHeading);
    m.YokePitch = Get(d, L::YokePitch);
    m.YokeRoll = Get(d, L::YokeRoll);
    m.LeftBrake = Get(d, L::LeftBrake);
    m.RightBrake = Get(d, L::RightBrake);
    m.RadioAltitude = Get(d, L::RadioAltitude);
    m.PositionFlags = Get(d, L::PositionFlags);
    return true;
}

bool Decode(const std::uint8_t* d, std::size_t n, PlacementCommand& m) {
    namespace L = PlacementLayout;
    if (!HeaderFits(d, n, L::Type, L::Length)) return false;
    m.AircraftIndex = Get(d, L::AircraftIndex);
    m.Latitude = Get(d, L::Latitude);
    m.Longitude = Get(d, L::Longitude);
    m.Altitude = Get(d, L::Altitude);
    m.Pitch = Get(d, L::Pitch);
    m.Bank = Get(d, L::Bank);
    m.Heading = Get(d, L::Heading);
    m.RadioAltitude = Get(d, L::RadioAltitude);
    m.PositionFlags = Get(d, L::PositionFlags);
    return true;
}

bool Decode(const std::uint8_t* d, std::size_t n, MotionCommand& m) {
    namespace L = MotionLayout;
    if (!HeaderFits(d, n, L::Type, L::Length)) return false;
    m.AircraftIndex = Get(d, L::AircraftIndex);
    m.VelocityX = Get(d, L::VelocityX);
    m.VelocityY = Get(d, L::VelocityY);
    m.VelocityZ = Get(d, L::VelocityZ);
    m.PitchRate = Get(d, L::PitchRate);
    m.YawRate = Get(d, L::YawRate);
    m.RollRate = Get(d, L::RollRate);
    m.AccelX = Get(d, L::AccelX);
    m.AccelY = Get(d, L::AccelY);
    m.AccelZ = Get(d, L::AccelZ);
    return true;
}

bool Decode(const std::uint8_t* d, std::size_t n, SecondaryControlsReport& m) {
    namespace L = SecondaryControlsLayout;
    if (!HeaderFits(d, n, L::Type, L::Length)) return false;
    m.AircraftIndex = Get(d, L::AircraftIndex);
    m.ElevatorTrim = Get(d, L::ElevatorTrim);
    m.AileronTrim = Get(d, L::AileronTrim);
    m.RudderTrim = Get(d, L::RudderTrim);
    m.SpoilerDeflection = Get(d, L::SpoilerDeflection);
    m.TailHook = Get(d, L::TailHook);
    m.ExtraControl1 = Get(d, L::ExtraControl1);
    m.ExtraControl2 = Get(d, L::ExtraControl2);
    return true;
}

bool Decode(const std::uint8_t* d, std::size_t n, AircraftStateReport& m) {
    namespace L = AircraftStateLayout;
    if (!HeaderFits(d, n, L::Type, L::Length)) return false;
    m.AircraftIndex = Get(d, L::AircraftIndex);
    m.SystemFlags = Get(d, L::SystemFlags);
    m.AutopilotFlags = Get(d, L::AutopilotFlags);
    m.ModeFlags = Get(d, L::ModeFlags);
    m.FlapDetent = Get(d, L::FlapDetent);
    m.HeadingIndicator = Get(d, L::HeadingIndicator);
    m.Barometer = Get(d, L::Barometer);
    m.EngineCount = Get(d, L::EngineCount);
    m.Turbine = Get(d, L::Turbine);
    m.Transponder = Get(d, L::Transponder);
    m.Lights = Get(d, L::Lights);
    m.Nav1Course = Get(d, L::Nav1Course);
    m.Nav2Course = Get(d, L::Nav2Course);
    m.Com1Frequency = Get(d, L::Com1Frequency);
    m.Com2Frequency = Get(d, L::Com2Frequency);
    m.Nav1Frequency = Get(d, L::Nav1Frequency);
    m.Nav2Frequency = Get(d, L::Nav2Frequency);
    m.Adf1Frequency = Get(d, L::Adf1Frequency);
    m.Adf2Frequency = Get(d, L::Adf2Frequency);
    m.Com1Standby = Get(d, L::Com1Standby);
    m.Com2Standby = Get(d, L::Com2Standby);
    m.Nav1Standby = Get(d, L::Nav1Standby);
    m.Nav2Standby = Get(d, L::Nav2Standby);
    m.RadioAltitude = Get(d, L::RadioAltitude);
    m.AutopilotHeading = Get(d, L::AutopilotHeading);
    m.AutopilotAltitude = Get(d, L::AutopilotAltitude);
    m.AutopilotVerticalSpeed = Get(d, L::AutopilotVerticalSpeed);
    m.AutopilotAirspeed = Get(d, L::AutopilotAirspeed);
    m.GroundElevation = Get(d, L::GroundElevation);
    m.IndicatedAirspeed = Get(d, L::IndicatedAirspeed);
    m.IndicatedAltitude = Get(d, L::IndicatedAltitude);
    m.VerticalSpeed = Get(d, L::VerticalSpeed);
    m.TurnRate = Get(d, L::TurnRate);
    m.Slip = Get(d, L::Slip);
    return true;
}

bool Decode(const std::uint8_t* d, std::size_t n, PistonEngineReport& m) {
    namespace L = PistonEngineLayout;
    if (!HeaderFits(d, n, L::Type, L::Length)) return false;
    m.AircraftIndex = Get(d, L::AircraftIndex);
    m.EngineNumber = Get(d, L::EngineNumber);
    m.EngineFlags = Get(d, L::EngineFlags);
    m.EngineFlags2 = Get(d, L::EngineFlags2);
    m.Throttle = Get(d, L::Throttle);
    m.Mixture = Get(d, L::Mixture);
    m.Propeller = Get(d, L::Propeller);
    m.ExhaustGasTemp = Get(d, L::ExhaustGasTemp);
    m.OilPressure = Get(d, L::OilPressure);
    m.OilTemp = Get(d, L::OilTemp);
    m.FuelPressure = Get(d, L::FuelPressure);
    m.CowlFlaps = Get(d, L::CowlFlaps);
    m.ManifoldPressure = Get(d, L::ManifoldPressure);
    m.AlternateStaticAir = Get(d, L::AlternateStaticAir);
    m.CylinderHeadTemp = Get(d, L::CylinderHeadTemp);
    m.FuelFlow = Get(d, L::FuelFlow);
    m.EngineRpm = Get(d, L::EngineRpm);
    m.FuelSelector = Get(d, L::FuelSelector);
    return true;
}

bool Decode(const std::uint8_t* d, std::size_t n, TurbineEngineReport& m) {
    namespace L = TurbineEngineLayout;
    if (!HeaderFits(d, n, L::Type, L::Length)) return false;
    m.AircraftIndex = Get(d, L::AircraftIndex);
    m.EngineNumber = Get(d, L::EngineNumber);
    m.EngineFlags = Get(d, L::EngineFlags);
    m.Throttle = Get(d, L::Throttle);
    m.Mixture = Get(d, L::Mixture);
    m.Propeller = Get(d, L::Propeller);
    m.ExhaustGasTemp = Get(d, L::ExhaustGasTemp);
    m.OilPressure = Get(d, L::OilPressure);
    m.OilTemp = Get(d, L::OilTemp);
    m.FuelPressure = Get(d, L::FuelPressure);
    m.N1 = Get(d, L::N1);
    m.N2 = Get(d, L::N2);
    m.N1Copy = Get(d, L::N1Copy);
    m.N2Copy = Get(d, L::N2Copy);
    m.FuelFlow = Get(d, L::FuelFlow);
    m.PressureRatio = Get(d, L::PressureRatio);
    m.InterTurbineTemp = Get(d, L::InterTurbineTemp);
    m.FuelSelector = Get(d, L::FuelSelector);
    return true;
}

bool Decode(const std::uint8_t* d, std::size_t n, FuelReport& m) {
    namespace L = FuelLayout;
    if (!HeaderFits(d, n, L::Type, L::Length)) return false;
    m.AircraftIndex = Get(d, L::AircraftIndex);
    std::memcpy(m.TankMass.data(), At(d, L::TankMass), m.TankMass.size());
    return true;
}

bool Decode(const std::uint8_t* d, std::size_t n, VariableCommand& m) {
    namespace L = VariableLayout;
    if (!HeaderFits(d, n, L::Type, L::Length)) return false;
    m.AircraftIndex = Get(d, L::AircraftIndex);
    m.VariableId = Get(d, L::VariableId);
    m.VariableValue = Get(d, L::VariableValue);
    return true;
}

bool Decode(const std::uint8_t* d, std::size_t n, RemoveAircraftCommand& m) {
    namespace L = RemoveAircraftLayout;
    if (!HeaderFits(d, n, L::Type, L::Length)) return false;
    m.AircraftIndex = Get(d, L::AircraftIndex);
    return true;
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

// ------------------------------------------------------------------- units --

double RatioFromFixed(std::int16_t value) { return value / FixedOne; }
std::int16_t FixedFromRatio(double ratio) { return SaturatingInt16(ratio * FixedOne); }

double BrakeRatioFromWire(std::int16_t value) { return (value + 16384.0) / 32768.0; }
std::int16_t WireFromBrakeRatio(double ratio) { return SaturatingInt16(ratio * 32768.0 - 16384.0); }

double CelsiusFromRankine(double rankine) { return (rankine - 491.67) / 1.8; }
std::int16_t RankineFromCelsius(double celsius) { return SaturatingInt16(celsius * 1.8 + 491.67); }

double HectopascalFromSixteenths(std::int16_t value) { return value / 16.0; }
double InchesHgFromSixteenths(std::int16_t value) {
    return value / 16.0 / HectopascalPerInchHg;
}
std::int16_t SixteenthsFromInchesHg(double inchesHg) {
    return SaturatingInt16(inchesHg * HectopascalPerInchHg * 16.0);
}

double MegahertzFromRadio(std::int32_t tensOfKilohertz) { return tensOfKilohertz / 100.0; }

// The field is kg/s × 7937, i.e. pounds per hour.
double KilogramsPerHourFromFuelFlow(std::int16_t poundsPerHour) {
    return poundsPerHour * 3600.0 / 7937.0;
}

std::array<std::uint8_t, 9> TanksFromWire(const std::array<std::uint8_t, 9>& wire) {
    std::array<std::uint8_t, 9> tanks{};
    for (std::size_t k = 0; k < 9; ++k) tanks[TankWireOrder[k]] = wire[k];
    return tanks;
}

std::array<std::uint8_t, 9> WireFromTanks(const std::array<std::uint8_t, 9>& tanks) {
    std::array<std::uint8_t, 9> wire{};
    for (std::size_t k = 0; k < 9; ++k) wire[k] = tanks[TankWireOrder[k]];
    return wire;
}

std::uint8_t TankByteFromKilograms(double kg) {
    if (!(kg > 0.0)) return 0;  // also NaN
    if (kg >= 255.0) return 255;
    return static_cast<std::uint8_t>(std::ceil(kg));
}

}  // namespace velmir::client
