// The wire format against the protocol's own tables. Offsets, widths and
// bytes here are literals on purpose: they must not come from the layout
// definitions they check.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/Messages.h"

using namespace velmir;

namespace {

struct Expected {
    const char* Name;
    int Offset;
    int Width;
};

struct ExpectedMessage {
    int Type;
    const char* Name;
    int Length;
    std::vector<Expected> Fields;
};

const std::vector<ExpectedMessage>& ProtocolTables() {
    static const std::vector<ExpectedMessage> tables = {
        {0, "ConnectMessage", 24, {}},
        {1, "DisconnectMessage", 24, {}},
        {2,
         "InfoMessage",
         31,
         {{"SimVersion", 24, 2}, {"LabelFlags", 26, 1}, {"LabelColourArgb", 27, 4}}},
        {3,
         "ModelMessage",
         345,
         {{"AircraftIndex", 24, 1},
          {"LiveryIndex", 28, 1},
          {"DisplayName", 29, 20},
          {"TailNumber", 49, 40},
          {"ModelName", 89, 256}}},
        {4,
         "PositionMessage",
         120,
         {{"AircraftIndex", 24, 1}, {"Time", 25, 8},           {"Latitude", 33, 8},
          {"Longitude", 41, 8},     {"Altitude", 49, 8},       {"Pitch", 57, 4},
          {"Bank", 61, 4},          {"Heading", 65, 4},        {"VelocityX", 69, 4},
          {"VelocityY", 73, 4},     {"VelocityZ", 77, 4},      {"PitchRate", 81, 4},
          {"YawRate", 85, 4},       {"RollRate", 89, 4},       {"AccelX", 93, 4},
          {"AccelY", 97, 4},        {"AccelZ", 101, 4},        {"YokeHeading", 105, 2},
          {"YokePitch", 107, 2},    {"YokeRoll", 109, 2},      {"LeftBrake", 111, 2},
          {"RightBrake", 113, 2},   {"RadioAltitude", 115, 4}, {"PositionFlags", 119, 1}}},
        {5,
         "PlacementMessage",
         66,
         {{"AircraftIndex", 24, 1},
          {"Latitude", 25, 8},
          {"Longitude", 33, 8},
          {"Altitude", 41, 8},
          {"Pitch", 49, 4},
          {"Bank", 53, 4},
          {"Heading", 57, 4},
          {"RadioAltitude", 61, 4},
          {"PositionFlags", 65, 1}}},
        {6,
         "MotionMessage",
         61,
         {{"AircraftIndex", 24, 1},
          {"VelocityX", 25, 4},
          {"VelocityY", 29, 4},
          {"VelocityZ", 33, 4},
          {"PitchRate", 37, 4},
          {"YawRate", 41, 4},
          {"RollRate", 45, 4},
          {"AccelX", 49, 4},
          {"AccelY", 53, 4},
          {"AccelZ", 57, 4}}},
        {7,
         "SecondaryControlsMessage",
         42,
         {{"AircraftIndex", 24, 1},
          {"ElevatorTrim", 28, 2},
          {"AileronTrim", 30, 2},
          {"RudderTrim", 32, 2},
          {"SpoilerDeflection", 34, 2},
          {"TailHook", 36, 2},
          {"ExtraControl1", 38, 2},
          {"ExtraControl2", 40, 2}}},
        {8,
         "AircraftStateMessage",
         126,
         {{"AircraftIndex", 24, 1},
          {"SystemFlags", 25, 1},
          {"AutopilotFlags", 26, 1},
          {"ModeFlags", 27, 1},
          {"FlapDetent", 28, 1},
          {"HeadingIndicator", 29, 2},
          {"Barometer", 31, 2},
          {"EngineCount", 33, 1},
          {"FixedOne", 34, 1},
          {"Turbine", 35, 1},
          {"Transponder", 36, 2},
          {"Lights", 38, 2},
          {"Nav1Course", 40, 2},
          {"Nav2Course", 42, 2},
          {"Com1Frequency", 44, 4},
          {"Com2Frequency", 48, 4},
          {"Nav1Frequency", 52, 4},
          {"Nav2Frequency", 56, 4},
          {"Adf1Frequency", 60, 4},
          {"Adf2Frequency", 64, 4},
          {"Com1Standby", 68, 4},
          {"Com2Standby", 72, 4},
          {"Nav1Standby", 76, 4},
          {"Nav2Standby", 80, 4},
          {"RadioAltitude", 84, 4},
          {"AutopilotHeading", 94, 2},
          {"AutopilotAltitude", 96, 2},
          {"AutopilotVerticalSpeed", 98, 2},
          {"AutopilotAirspeed", 100, 2},
          {"GroundElevation", 102, 4},
          {"IndicatedAirspeed", 106, 4},
          {"IndicatedAltitude", 110, 4},
          {"VerticalSpeed", 114, 4},
          {"TurnRate", 118, 4},
          {"Slip", 122, 4}}},
        {9,
         "PistonEngineMessage",
         56,
         {{"AircraftIndex", 24, 1},
          {"EngineNumber", 25, 1},
          {"EngineFlags", 26, 1},
          {"EngineFlags2", 27, 1},
          {"Throttle", 28, 2},
          {"Mixture", 30, 2},
          {"Propeller", 32, 2},
          {"ExhaustGasTemp", 34, 2},
          {"OilPressure", 36, 1},
          {"OilTemp", 37, 2},
          {"FuelPressure", 39, 1},
          {"CowlFlaps", 40, 2},
          {"ManifoldPressure", 42, 1},
          {"AlternateStaticAir", 43, 2},
          {"CylinderHeadTemp", 45, 2},
          {"FuelFlow", 49, 2},
          {"FixedOne", 51, 2},
          {"EngineRpm", 53, 2},
          {"FuelSelector", 55, 1}}},
        {10,
         "TurbineEngineMessage",
         54,
         {{"AircraftIndex", 24, 1},
          {"EngineNumber", 25, 1},
          {"EngineFlags", 26, 1},
          {"Throttle", 27, 2},
          {"Mixture", 29, 2},
          {"Propeller", 31, 2},
          {"ExhaustGasTemp", 33, 2},
          {"OilPressure", 35, 1},
          {"OilTemp", 36, 2},
          {"FuelPressure", 38, 1},
          {"N1", 39, 2},
          {"N2", 41, 2},
          {"N1Copy", 43, 2},
          {"N2Copy", 45, 2},
          {"FuelFlow", 47, 2},
          {"PressureRatio", 49, 2},
          {"InterTurbineTemp", 51, 2},
          {"FuelSelector", 53, 1}}},
        {11, "FuelMessage", 36, {{"AircraftIndex", 24, 1}, {"TankMass", 25, 9}}},
        {12,
         "VariableMessage",
         31,
         {{"AircraftIndex", 24, 1}, {"VariableId", 25, 2}, {"VariableValue", 27, 4}}},
        {13, "RemoveAircraftMessage", 25, {{"AircraftIndex", 24, 1}}},
    };
    return tables;
}

const FieldInfo* FindField(const MessageDescription& message, const std::string& name) {
    for (std::size_t i = 0; i < message.FieldCount; ++i)
        if (name == message.Fields[i].Name) return &message.Fields[i];
    return nullptr;
}

}  // namespace

TEST(MessageLayout, EveryNamedFieldSitsWhereTheProtocolTablesPutIt) {
    ASSERT_EQ(ProtocolTables().size(), 14u);
    for (const ExpectedMessage& expected : ProtocolTables()) {
        SCOPED_TRACE(expected.Name);
        const MessageDescription& message = Catalogue[expected.Type];
        EXPECT_EQ(message.Type, expected.Type);
        EXPECT_STREQ(message.Name, expected.Name);
        EXPECT_EQ(message.Length, expected.Length);
        for (const Expected& field : expected.Fields) {
            const FieldInfo* actual = FindField(message, field.Name);
            ASSERT_NE(actual, nullptr) << field.Name;
            EXPECT_EQ(actual->Offset, field.Offset) << field.Name;
            EXPECT_EQ(actual->Width, field.Width) << field.Name;
        }
    }
}

TEST(MessageHeader, ConstructedThenStampedHeaderHasTheProtocolBytes) {
    std::uint8_t message[31];
    std::memset(message, 0xAA, sizeof message);
    ConstructHeader(message);
    EXPECT_EQ(message[0], 0x0B);
    EXPECT_EQ(message[1], 0x00);
    for (int i = 2; i < 24; ++i) EXPECT_EQ(message[i], 0) << "byte " << i;
    EXPECT_EQ(message[24], 0xAA) << "construction stays within the header";

    StampHeader(message, 0x2A0B, 2);
    const std::uint8_t expected[24] = {0x0B, 0x2A, 0, 0, 0, 0, 0, 0, 0, 0,    0,    0,
                                       0,    0,    0, 0, 0, 0, 0, 0, 0, 0x0F, 0x52, 2};
    EXPECT_EQ(std::memcmp(message, expected, 24), 0);
}

TEST(MessageHeader, JudgingFollowsTheReceiveOrder) {
    std::uint8_t datagram[24] = {};
    datagram[21] = 0x0F;
    datagram[22] = 0x52;
    datagram[23] = 4;
    EXPECT_EQ(JudgeHeader(datagram, 24), HeaderVerdict::Dispatch);
    EXPECT_EQ(JudgeHeader(datagram, 23), HeaderVerdict::TooShort);

    // Reserved bytes and the link tag are never looked at.
    std::uint8_t noisy[24];
    std::memcpy(noisy, datagram, 24);
    for (int i = 0; i < 21; ++i) noisy[i] = 0xFF;
    EXPECT_EQ(JudgeHeader(noisy, 24), HeaderVerdict::Dispatch);

    for (int type : {7, 10}) {
        datagram[23] = static_cast<std::uint8_t>(type);
        EXPECT_EQ(JudgeHeader(datagram, 24), HeaderVerdict::SendOnly) << type;
    }
    for (int type : {14, 200, 255}) {
        datagram[23] = static_cast<std::uint8_t>(type);
        EXPECT_EQ(JudgeHeader(datagram, 24), HeaderVerdict::UnknownType) << type;
    }

    // The version written big-endian is a mismatch, and is judged before
    // the type.
    datagram[21] = 0x52;
    datagram[22] = 0x0F;
    datagram[23] = 255;
    EXPECT_EQ(JudgeHeader(datagram, 24), HeaderVerdict::VersionMismatch);
}

TEST(MessageLayout, ValuesTravelLittleEndianAtOddOffsets) {
    std::uint8_t message[120] = {};
    Put(message, PositionLayout::Time, 1.0);
    const std::uint8_t one[8] = {0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
    EXPECT_EQ(std::memcmp(message + 25, one, 8), 0);
    Put(message, PositionLayout::YokePitch, static_cast<std::int16_t>(-16384));
    EXPECT_EQ(message[107], 0x00);
    EXPECT_EQ(message[108], 0xC0);
    EXPECT_DOUBLE_EQ(Get(message, PositionLayout::Time), 1.0);
}
