// The reference client's codec, units and connection. Offsets in the layout
// tests are written out by hand from the protocol's byte tables on purpose:
// they must not come from link/Messages.h, or a wrong offset there would
// pass unnoticed.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/Client.h"
#include "client/Describe.h"

using namespace velmir::client;

namespace {

template <class T>
T Read(const std::vector<std::uint8_t>& d, std::size_t offset) {
    T value;
    std::memcpy(&value, d.data() + offset, sizeof value);
    return value;
}

template <class M>
std::vector<std::uint8_t> Bytes(const M& message, std::uint16_t tag = 0x000B) {
    std::vector<std::uint8_t> out(MaxMessageLength + 8, 0xEE);
    out.resize(Encode(message, out.data(), tag));
    return out;
}

// Every field set, each to a value no other field shares.
PositionReport SamplePosition() {
    PositionReport m;
    m.AircraftIndex = 7;
    m.Time = 1234.5625;
    m.Latitude = 47.123456789;
    m.Longitude = -8.987654321;
    m.Altitude = 1523.25;
    m.Pitch = 2.5f;
    m.Bank = -15.25f;
    m.Heading = 271.75f;
    m.VelocityX = 11.5f;
    m.VelocityY = -1.25f;
    m.VelocityZ = -52.5f;
    m.PitchRate = 0.5f;
    m.YawRate = 3.25f;
    m.RollRate = -4.5f;
    m.AccelX = 0.125f;
    m.AccelY = -0.375f;
    m.AccelZ = 0.625f;
    m.YokeHeading = -1000;
    m.YokePitch = 8192;
    m.YokeRoll = -16384;
    m.LeftBrake = -16384;
    m.RightBrake = 1234;
    m.RadioAltitude = 12.75f;
    m.PositionFlags = 0x03;
    return m;
}

ModelReport SampleModel() {
    ModelReport m;
    m.AircraftIndex = 5;
    m.LiveryIndex = 2;
    m.DisplayName = "Alpha One";
    m.TailNumber = "HB-KQA";
    m.ModelName = "Aircraft/Laminar Research/Cessna 172SP/Cessna_172SP.acf";
    return m;
}

AircraftStateReport SampleState() {
    AircraftStateReport m;
    m.AircraftIndex = 0;
    m.SystemFlags = 0x95;
    m.AutopilotFlags = 0x2C;
    m.ModeFlags = 0x0C;
    m.FlapDetent = 3;
    m.HeadingIndicator = 271;
    m.Barometer = 16211;
    m.EngineCount = 2;
    m.Turbine = 1;
    m.Transponder = 7000;
    m.Lights = 0x0025;
    m.Nav1Course = 123;
    m.Nav2Course = -45;
    m.Com1Frequency = 12345;
    m.Com2Frequency = 12180;
    m.Nav1Frequency = 11030;
    m.Nav2Frequency = 11290;
    m.Adf1Frequency = 362;
    m.Adf2Frequency = 415;
    m.Com1Standby = 11890;
    m.Com2Standby = 13500;
    m.Nav1Standby = 10850;
    m.Nav2Standby = 11750;
    m.RadioAltitude = 304.5f;
    m.AutopilotHeading = 270;
    m.AutopilotAltitude = 5500;
    m.AutopilotVerticalSpeed = -700;
    m.AutopilotAirspeed = 120;
    m.GroundElevation = 432.25f;
    m.IndicatedAirspeed = 105.5f;
    m.IndicatedAltitude = 5480.5f;
    m.VerticalSpeed = -650.25f;
    m.TurnRate = 1.5f;
    m.Slip = -0.75f;
    return m;
}

PistonEngineReport SamplePiston() {
    PistonEngineReport m;
    m.AircraftIndex = 0;
    m.EngineNumber = 2;
    m.EngineFlags = 0x7F;
    m.EngineFlags2 = 0x05;
    m.Throttle = 12000;
    m.Mixture = 16000;
    m.Propeller = 15000;
    m.ExhaustGasTemp = 1751;
    m.OilPressure = 75;
    m.OilTemp = 650;
    m.FuelPressure = 24;
    m.CowlFlaps = 4096;
    m.ManifoldPressure = 23;
    m.AlternateStaticAir = 77;
    m.CylinderHeadTemp = 820;
    m.FuelFlow = 55;
    m.EngineRpm = 2400;
    m.FuelSelector = 3;
    return m;
}

TurbineEngineReport SampleTurbine() {
    TurbineEngineReport m;
    m.AircraftIndex = 0;
    m.EngineNumber = 1;
    m.EngineFlags = 0x33;
    m.Throttle = 11000;
    m.Mixture = 16384;
    m.Propeller = 14000;
    m.ExhaustGasTemp = 1500;
    m.OilPressure = 90;
    m.OilTemp = 700;
    m.FuelPressure = 30;
    m.N1 = 1601;
    m.N2 = 1602;
    m.N1Copy = 1603;
    m.N2Copy = 1604;
    m.FuelFlow = 350;
    m.PressureRatio = 20000;
    m.InterTurbineTemp = 1700;
    m.FuelSelector = 1;
    return m;
}

InfoReport SampleInfo() { return InfoReport{12000, 0x1B, 0xFFFF8000}; }
PlacementCommand SamplePlacement() {
    return PlacementCommand{9, 46.5, 7.25, 2100.5, 1.5f, -2.5f, 359.5f, 0.5f, 0x02};
}
MotionCommand SampleMotion() {
    return MotionCommand{4, 1.5f, 2.5f, 3.5f, 4.5f, 5.5f, 6.5f, 7.5f, 8.5f, 9.5f};
}
SecondaryControlsReport SampleControls() {
    return SecondaryControlsReport{0, 100, -200, 300, 400, 500, 600, 700};
}
FuelReport SampleFuel() { return FuelReport{0, {1, 2, 3, 4, 5, 6, 7, 8, 9}}; }
VariableCommand SampleVariable() { return VariableCommand{3, 101, 16211}; }

std::vector<Message> EveryMessage() {
    return {ConnectRequest{0x2A}, DisconnectNotice{},       SampleInfo(),    SampleModel(),
            SamplePosition(),     SamplePlacement(),        SampleMotion(),  SampleControls(),
            SampleState(),        SamplePiston(),           SampleTurbine(), SampleFuel(),
            SampleVariable(),     RemoveAircraftCommand{40}};
}

}  // namespace

// ------------------------------------------------------------------ header --

TEST(ClientHeader, EveryTypeCarriesVersionTypeTagAndZeroReservedBytes) {
    const std::size_t lengths[14] = {24, 24, 31, 345, 120, 66, 61, 42, 126, 56, 54, 36, 31, 25};
    for (const Message& m : EveryMessage()) {
        const std::vector<std::uint8_t> d = Bytes(m, 0x2A0B);
        const std::size_t type = m.index();
        SCOPED_TRACE(MessageName(static_cast<std::uint8_t>(type)));
        ASSERT_EQ(d.size(), lengths[type]);
        EXPECT_EQ(d[0], 0x0B);
        EXPECT_EQ(d[1], 0x2A);
        for (int i = 2; i <= 20; ++i) EXPECT_EQ(d[i], 0) << "reserved byte " << i;
        EXPECT_EQ(d[21], 0x0F);
        EXPECT_EQ(d[22], 0x52);
        EXPECT_EQ(d[23], type);
    }
}

TEST(ClientHeader, ConnectPutsItsTagByteIntoByteOne) {
    const auto d = Bytes(ConnectRequest{0x07});
    ASSERT_EQ(d.size(), 24u);
    EXPECT_EQ(d[0], 0x0B);
    EXPECT_EQ(d[1], 0x07);
    ConnectRequest back;
    ASSERT_TRUE(Decode(d.data(), d.size(), back));
    EXPECT_EQ(back.TagHighByte, 0x07);
}

// ------------------------------------------------------------------ layout --

TEST(ClientLayout, PositionFieldsSitAtTheirBytes) {
    const PositionReport m = SamplePosition();
    const auto d = Bytes(m);
    ASSERT_EQ(d.size(), 120u);
    EXPECT_EQ(d[24], 7);
    EXPECT_EQ(Read<double>(d, 25), m.Time);
    EXPECT_EQ(Read<double>(d, 33), m.Latitude);
    EXPECT_EQ(Read<double>(d, 41), m.Longitude);
    EXPECT_EQ(Read<double>(d, 49), m.Altitude);
    EXPECT_EQ(Read<float>(d, 57), m.Pitch);
    EXPECT_EQ(Read<float>(d, 61), m.Bank);
    EXPECT_EQ(Read<float>(d, 65), m.Heading);
    EXPECT_EQ(Read<float>(d, 69), m.VelocityX);
    EXPECT_EQ(Read<float>(d, 73), m.VelocityY);
    EXPECT_EQ(Read<float>(d, 77), m.VelocityZ);
    EXPECT_EQ(Read<float>(d, 81), m.PitchRate);
    EXPECT_EQ(Read<float>(d, 85), m.YawRate);
    EXPECT_EQ(Read<float>(d, 89), m.RollRate);
    EXPECT_EQ(Read<float>(d, 93), m.AccelX);
    EXPECT_EQ(Read<float>(d, 97), m.AccelY);
    EXPECT_EQ(Read<float>(d, 101), m.AccelZ);
    EXPECT_EQ(Read<std::int16_t>(d, 105), m.YokeHeading);
    EXPECT_EQ(Read<std::int16_t>(d, 107), m.YokePitch);
    EXPECT_EQ(Read<std::int16_t>(d, 109), m.YokeRoll);
    EXPECT_EQ(Read<std::int16_t>(d, 111), m.LeftBrake);
    EXPECT_EQ(Read<std::int16_t>(d, 113), m.RightBrake);
    EXPECT_EQ(Read<float>(d, 115), m.RadioAltitude);
    EXPECT_EQ(d[119], 0x03);
}

TEST(ClientLayout, PositionTimeIsALittleEndianDoubleAtByte25) {
    PositionReport m;
    m.Time = 1.0;  // 0x3FF0000000000000
    const auto d = Bytes(m);
    const std::uint8_t expected[8] = {0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(d[25 + i], expected[i]) << "byte " << 25 + i;
    EXPECT_EQ(d[33 + 7], 0);  // latitude 0 follows right after
}

TEST(ClientLayout, InfoVersionAndColourBytes) {
    InfoReport m;
    m.SimVersion = 12000;
    m.LabelFlags = 0x13;
    m.LabelColourArgb = 0x00FF8000;  // red FF, green 80, blue 00
    const auto d = Bytes(m);
    ASSERT_EQ(d.size(), 31u);
    EXPECT_EQ(d[24], 0xE0);
    EXPECT_EQ(d[25], 0x2E);
    EXPECT_EQ(d[26], 0x13);
    EXPECT_EQ(d[27], 0x00);  // blue
    EXPECT_EQ(d[28], 0x80);  // green
    EXPECT_EQ(d[29], 0xFF);  // red
    EXPECT_EQ(d[30], 0x00);  // alpha
}

TEST(ClientLayout, ModelTextFieldsAndConstants) {
    const auto d = Bytes(SampleModel());
    ASSERT_EQ(d.size(), 345u);
    EXPECT_EQ(d[24], 5);
    EXPECT_EQ(d[26], 1);
    EXPECT_EQ(d[27], 1);
    EXPECT_EQ(d[28], 2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[29])), "Alpha One");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[49])), "HB-KQA");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&d[89])), SampleModel().ModelName);
    for (int i = 29 + 9; i < 49; ++i) EXPECT_EQ(d[i], 0) << "display name padding " << i;
    EXPECT_EQ(d[344], 0);
}

TEST(ClientLayout, PlacementAndMotionFields) {
    const auto p = Bytes(SamplePlacement());
    ASSERT_EQ(p.size(), 66u);
    EXPECT_EQ(p[24], 9);
    EXPECT_EQ(Read<double>(p, 25), 46.5);
    EXPECT_EQ(Read<double>(p, 33), 7.25);
    EXPECT_EQ(Read<double>(p, 41), 2100.5);
    EXPECT_EQ(Read<float>(p, 49), 1.5f);
    EXPECT_EQ(Read<float>(p, 53), -2.5f);
    EXPECT_EQ(Read<float>(p, 57), 359.5f);
    EXPECT_EQ(Read<float>(p, 61), 0.5f);
    EXPECT_EQ(p[65], 0x02);

    const auto m = Bytes(SampleMotion());
    ASSERT_EQ(m.size(), 61u);
    EXPECT_EQ(m[24], 4);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(Read<float>(m, 25 + 4 * i), 1.5f + i) << "field " << i;
}

TEST(ClientLayout, SecondaryControlsFields) {
    const auto d = Bytes(SampleControls());
    ASSERT_EQ(d.size(), 42u);
    EXPECT_EQ(d[25], 0);
    EXPECT_EQ(Read<std::uint16_t>(d, 26), 0);
    const std::int16_t expected[7] = {100, -200, 300, 400, 500, 600, 700};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(Read<std::int16_t>(d, 28 + 2 * i), expected[i]);
}

TEST(ClientLayout, AircraftStateFields) {
    const auto d = Bytes(SampleState());
    ASSERT_EQ(d.size(), 126u);
    EXPECT_EQ(d[25], 0x95);
    EXPECT_EQ(d[26], 0x2C);
    EXPECT_EQ(d[27], 0x0C);
    EXPECT_EQ(d[28], 3);
    EXPECT_EQ(Read<std::int16_t>(d, 29), 271);
    EXPECT_EQ(Read<std::int16_t>(d, 31), 16211);
    EXPECT_EQ(d[33], 2);
    EXPECT_EQ(d[34], 1);
    EXPECT_EQ(d[35], 1);
    EXPECT_EQ(Read<std::uint16_t>(d, 36), 7000);
    EXPECT_EQ(Read<std::uint16_t>(d, 38), 0x0025);
    EXPECT_EQ(Read<std::int16_t>(d, 40), 123);
    EXPECT_EQ(Read<std::int16_t>(d, 42), -45);
    const std::int32_t radios[10] = {12345, 12180, 11030, 11290, 362,
                                     415,   11890, 13500, 10850, 11750};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(Read<std::int32_t>(d, 44 + 4 * i), radios[i]) << i;
    EXPECT_EQ(Read<float>(d, 84), 304.5f);
    for (int i = 88; i < 94; ++i) EXPECT_EQ(d[i], 0) << "reserved " << i;
    EXPECT_EQ(Read<std::int16_t>(d, 94), 270);
    EXPECT_EQ(Read<std::int16_t>(d, 96), 5500);
    EXPECT_EQ(Read<std::int16_t>(d, 98), -700);
    EXPECT_EQ(Read<std::int16_t>(d, 100), 120);
    EXPECT_EQ(Read<float>(d, 102), 432.25f);
    EXPECT_EQ(Read<float>(d, 106), 105.5f);
    EXPECT_EQ(Read<float>(d, 110), 5480.5f);
    EXPECT_EQ(Read<float>(d, 114), -650.25f);
    EXPECT_EQ(Read<float>(d, 118), 1.5f);
    EXPECT_EQ(Read<float>(d, 122), -0.75f);
}

TEST(ClientLayout, PistonEngineFields) {
    const auto d = Bytes(SamplePiston());
    ASSERT_EQ(d.size(), 56u);
    EXPECT_EQ(d[25], 2);
    EXPECT_EQ(d[26], 0x7F);
    EXPECT_EQ(d[27], 0x05);
    EXPECT_EQ(Read<std::int16_t>(d, 28), 12000);
    EXPECT_EQ(Read<std::int16_t>(d, 30), 16000);
    EXPECT_EQ(Read<std::int16_t>(d, 32), 15000);
    EXPECT_EQ(Read<std::int16_t>(d, 34), 1751);
    EXPECT_EQ(d[36], 75);
    EXPECT_EQ(Read<std::int16_t>(d, 37), 650);
    EXPECT_EQ(d[39], 24);
    EXPECT_EQ(Read<std::int16_t>(d, 40), 4096);
    EXPECT_EQ(d[42], 23);
    EXPECT_EQ(Read<std::int16_t>(d, 43), 77);
    EXPECT_EQ(Read<std::int16_t>(d, 45), 820);
    EXPECT_EQ(Read<std::uint16_t>(d, 47), 0);
    EXPECT_EQ(Read<std::int16_t>(d, 49), 55);
    EXPECT_EQ(Read<std::uint16_t>(d, 51), 1);
    EXPECT_EQ(Read<std::int16_t>(d, 53), 2400);
    EXPECT_EQ(d[55], 3);
}

TEST(ClientLayout, TurbineEngineFields) {
    const auto d = Bytes(SampleTurbine());
    ASSERT_EQ(d.size(), 54u);
    EXPECT_EQ(d[25], 1);
    EXPECT_EQ(d[26], 0x33);
    EXPECT_EQ(Read<std::int16_t>(d, 27), 11000);
    EXPECT_EQ(Read<std::int16_t>(d, 29), 16384);
    EXPECT_EQ(Read<std::int16_t>(d, 31), 14000);
    EXPECT_EQ(Read<std::int16_t>(d, 33), 1500);
    EXPECT_EQ(d[35], 90);
    EXPECT_EQ(Read<std::int16_t>(d, 36), 700);
    EXPECT_EQ(d[38], 30);
    EXPECT_EQ(Read<std::int16_t>(d, 39), 1601);
    EXPECT_EQ(Read<std::int16_t>(d, 41), 1602);
    EXPECT_EQ(Read<std::int16_t>(d, 43), 1603);
    EXPECT_EQ(Read<std::int16_t>(d, 45), 1604);
    EXPECT_EQ(Read<std::int16_t>(d, 47), 350);
    EXPECT_EQ(Read<std::int16_t>(d, 49), 20000);
    EXPECT_EQ(Read<std::int16_t>(d, 51), 1700);
    EXPECT_EQ(d[53], 1);
}

TEST(ClientLayout, FuelVariableAndRemoveFields) {
    const auto f = Bytes(SampleFuel());
    ASSERT_EQ(f.size(), 36u);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(f[25 + i], i + 1);
    EXPECT_EQ(f[34], 0);
    EXPECT_EQ(f[35], 0);

    const auto v = Bytes(SampleVariable());
    ASSERT_EQ(v.size(), 31u);
    EXPECT_EQ(v[24], 3);
    const std::uint8_t id[2] = {0x65, 0x00};           // 101
    const std::uint8_t value[4] = {0x53, 0x3F, 0, 0};  // 16211
    EXPECT_EQ(0, std::memcmp(&v[25], id, 2));
    EXPECT_EQ(0, std::memcmp(&v[27], value, 4));

    const auto r = Bytes(RemoveAircraftCommand{40});
    ASSERT_EQ(r.size(), 25u);
    EXPECT_EQ(r[24], 40);
}

// -------------------------------------------------------------- round trip --

// Decoding then encoding again must give the very same bytes; the samples
// set every field to a distinct value, so a field read from the wrong place
// or not read at all changes the second encoding.
TEST(ClientRoundTrip, EveryTypeSurvivesDecodeAndReencode) {
    for (const Message& m : EveryMessage()) {
        SCOPED_TRACE(MessageName(TypeOf(m)));
        const auto first = Bytes(m, 0x2A0B);
        const Decoded decoded = DecodeAny(first.data(), first.size());
        ASSERT_TRUE(decoded.Ok()) << ToString(decoded.Error);
        ASSERT_EQ(decoded.Value.index(), m.index());
        EXPECT_EQ(decoded.LinkTag, 0x2A0B);
        EXPECT_EQ(Bytes(decoded.Value, 0x2A0B), first);
    }
}

TEST(ClientRoundTrip, TypedDecodeGivesTheFields) {
    const auto d = Bytes(SamplePosition());
    PositionReport p;
    ASSERT_TRUE(Decode(d.data(), d.size(), p));
    EXPECT_EQ(p.Time, 1234.5625);
    EXPECT_EQ(p.Longitude, -8.987654321);
    EXPECT_EQ(p.YokeRoll, -16384);
    EXPECT_EQ(p.PositionFlags, 0x03);

    const auto m = Bytes(SampleModel());
    ModelReport model;
    ASSERT_TRUE(Decode(m.data(), m.size(), model));
    EXPECT_EQ(model.TailNumber, "HB-KQA");
    EXPECT_EQ(model.DisplayName, "Alpha One");
    EXPECT_EQ(model.LiveryIndex, 2);
}

TEST(ClientDecode, RejectsShortWrongTypeAndWrongVersionWithoutTouchingTheStruct) {
    auto d = Bytes(SamplePosition());
    PositionReport p;
    p.Time = -99;
    EXPECT_FALSE(Decode(d.data(), 119, p));
    EXPECT_FALSE(Decode(d.data(), 0, p));
    EXPECT_FALSE(Decode(nullptr, 120, p));
    PlacementCommand wrongType;
    EXPECT_FALSE(Decode(d.data(), d.size(), wrongType));
    std::swap(d[21], d[22]);  // version written big-endian
    EXPECT_FALSE(Decode(d.data(), d.size(), p));
    EXPECT_EQ(p.Time, -99);

    // Extra bytes after the layout are ignored.
    auto longer = Bytes(SamplePosition());
    longer.resize(200, 0xAB);
    EXPECT_TRUE(Decode(longer.data(), longer.size(), p));
    EXPECT_EQ(p.Time, 1234.5625);
}

TEST(ClientDecode, DecodeAnyClassifiesBadDatagrams) {
    EXPECT_EQ(DecodeAny(nullptr, 0).Error, DecodeError::TooShort);
    auto d = Bytes(SamplePosition());
    EXPECT_EQ(DecodeAny(d.data(), 23).Error, DecodeError::TooShort);
    EXPECT_EQ(DecodeAny(d.data(), 24).Error, DecodeError::Truncated);
    EXPECT_EQ(DecodeAny(d.data(), 119).Error, DecodeError::Truncated);
    d[23] = 14;
    EXPECT_EQ(DecodeAny(d.data(), d.size()).Error, DecodeError::UnknownType);
    d[23] = 200;
    EXPECT_EQ(DecodeAny(d.data(), d.size()).Error, DecodeError::UnknownType);
    d[23] = 4;
    d[21] = 0x52;
    d[22] = 0x0F;
    EXPECT_EQ(DecodeAny(d.data(), d.size()).Error, DecodeError::VersionMismatch);

    // The plugin's own report types 7 and 10 are ordinary for a client.
    const auto controls = Bytes(SampleControls());
    EXPECT_TRUE(DecodeAny(controls.data(), controls.size()).Ok());
}

TEST(ClientDecode, RandomDatagramsNeverReadPastTheirEnd) {
    std::mt19937 random(1);
    for (int round = 0; round < 20000; ++round) {
        const std::size_t length = random() % 400;
        // An exact-size heap block lets the address sanitizer see any overrun.
        std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[length + 1]);
        for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<std::uint8_t>(random());
        if (length >= 24 && round % 2 == 0) {  // a valid header sends it deeper
            data[21] = 0x0F;
            data[22] = 0x52;
            data[23] = static_cast<std::uint8_t>(random() % 15);
        }
        const Decoded decoded = DecodeAny(data.get(), length);
        if (decoded.Ok()) {
            const std::size_t type = decoded.Value.index();
            ASSERT_GE(length, velmir::Catalogue[type].Length);
            // Whatever came in, the text fields stay within their widths.
            if (const auto* model = std::get_if<ModelReport>(&decoded.Value)) {
                EXPECT_LE(model->DisplayName.size(), 20u);
                EXPECT_LE(model->TailNumber.size(), 40u);
                EXPECT_LE(model->ModelName.size(), 256u);
            }
        }
    }
}

// -------------------------------------------------------------------- text --

TEST(ClientText, OverlongTextIsCutAndStillTerminated) {
    ModelReport m = SampleModel();
    m.DisplayName = std::string(25, 'D');
    m.TailNumber = std::string(100, 'T');
    m.ModelName = std::string(300, 'M');
    const auto d = Bytes(m);
    ASSERT_EQ(d.size(), 345u);
    for (int i = 29; i < 48; ++i) EXPECT_EQ(d[i], 'D');
    EXPECT_EQ(d[48], 0);
    for (int i = 49; i < 88; ++i) EXPECT_EQ(d[i], 'T');
    EXPECT_EQ(d[88], 0);
    for (int i = 89; i < 344; ++i) EXPECT_EQ(d[i], 'M');
    EXPECT_EQ(d[344], 0);

    ModelReport back;
    ASSERT_TRUE(Decode(d.data(), d.size(), back));
    EXPECT_EQ(back.DisplayName, std::string(19, 'D'));
    EXPECT_EQ(back.TailNumber, std::string(39, 'T'));
    EXPECT_EQ(back.ModelName, std::string(255, 'M'));
}

TEST(ClientText, CutNeverSplitsAUtf8Character) {
    ModelReport m;
    m.DisplayName.clear();
    for (int i = 0; i < 15; ++i) m.DisplayName += "\xC3\x84";  // Ä, two bytes each
    const auto d = Bytes(m);
    // 19 bytes would end inside the tenth Ä; 18 bytes hold nine whole ones.
    EXPECT_EQ(d[29 + 17], 0x84);
    EXPECT_EQ(d[29 + 18], 0);
}

TEST(ClientText, FieldWithoutTerminatorIsReadToItsWidthOnly) {
    auto d = Bytes(SampleModel());
    std::memset(&d[49], 'X', 40);  // tail number fills its field, as the plugin may send it
    ModelReport m;
    ASSERT_TRUE(Decode(d.data(), d.size(), m));
    EXPECT_EQ(m.TailNumber, std::string(40, 'X'));
    EXPECT_EQ(m.ModelName, SampleModel().ModelName);
}

TEST(ClientText, EmbeddedZeroEndsTheText) {
    ModelReport m;
    m.TailNumber = std::string("AB\0CD", 5);
    const auto d = Bytes(m);
    EXPECT_EQ(d[49], 'A');
    EXPECT_EQ(d[50], 'B');
    for (int i = 51; i < 89; ++i) EXPECT_EQ(d[i], 0);
}

// ------------------------------------------------------------------- units --

TEST(ClientUnits, FixedPointRatios) {
    EXPECT_EQ(FixedFromRatio(1.0), 16384);
    EXPECT_EQ(FixedFromRatio(-1.0), -16384);
    EXPECT_EQ(FixedFromRatio(0.5), 8192);
    EXPECT_EQ(FixedFromRatio(-0.00005), 0);  // truncated toward zero
    EXPECT_EQ(FixedFromRatio(2.5), 32767);   // saturates, never wraps
    EXPECT_EQ(FixedFromRatio(-3.0), -32768);
    EXPECT_EQ(FixedFromRatio(std::nan("")), 0);
    EXPECT_DOUBLE_EQ(RatioFromFixed(8192), 0.5);
    EXPECT_DOUBLE_EQ(RatioFromFixed(-16384), -1.0);
}

TEST(ClientUnits, Brakes) {
    EXPECT_EQ(WireFromBrakeRatio(0.0), -16384);
    EXPECT_EQ(WireFromBrakeRatio(0.5), 0);
    EXPECT_EQ(WireFromBrakeRatio(1.0), 16384);
    EXPECT_DOUBLE_EQ(BrakeRatioFromWire(-16384), 0.0);
    EXPECT_DOUBLE_EQ(BrakeRatioFromWire(16384), 1.0);
}

TEST(ClientUnits, TemperatureAndPressure) {
    EXPECT_EQ(RankineFromCelsius(700), 1751);
    EXPECT_EQ(RankineFromCelsius(0), 491);
    EXPECT_NEAR(CelsiusFromRankine(1751), 700, 0.5);
    EXPECT_NEAR(CelsiusFromRankine(491.67), 0, 1e-9);
    EXPECT_EQ(SixteenthsFromInchesHg(29.92), 16211);
    EXPECT_NEAR(HectopascalFromSixteenths(16211), 1013.19, 0.01);
    EXPECT_NEAR(InchesHgFromSixteenths(16211), 29.92, 0.005);
    EXPECT_NEAR(MegahertzFromRadio(12345), 123.45, 1e-9);
    EXPECT_NEAR(KilogramsPerHourFromFuelFlow(7937), 3600, 1e-9);
}

TEST(ClientUnits, TankOrderFollowsTheWire) {
    // Bytes 25..33 = 1..9 hold tanks 0..8 = 4, 7, 1, 6, 9, 2, 5, 8, 3 kg.
    const std::array<std::uint8_t, 9> wire = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const std::array<std::uint8_t, 9> tanks = {4, 7, 1, 6, 9, 2, 5, 8, 3};
    EXPECT_EQ(TanksFromWire(wire), tanks);
    EXPECT_EQ(WireFromTanks(tanks), wire);
    EXPECT_EQ(TankByteFromKilograms(100.0), 100);
    EXPECT_EQ(TankByteFromKilograms(100.2), 101);
    EXPECT_EQ(TankByteFromKilograms(-1), 0);
    EXPECT_EQ(TankByteFromKilograms(300), 255);
}

// ---------------------------------------------------------------- describe --

TEST(ClientDescribe, JsonStaysValidForAnyWireText) {
    EXPECT_EQ(JsonString(std::string("a\"b\\c\n\xFF", 7)), "\"a\\\"b\\\\c\\u000A\\u00FF\"");
    PositionReport p = SamplePosition();
    p.Latitude = std::nan("");
    const std::string json = FormatJson(Describe(p), 1.5);
    EXPECT_NE(json.find("\"lat\":null"), std::string::npos) << json;
    EXPECT_EQ(json.find("nan"), std::string::npos) << json;
}

TEST(ClientDescribe, PersonUnits) {
    const std::string fuel = FormatFields(Describe(SampleFuel()));
    EXPECT_NE(fuel.find("tank0_kg=4 "), std::string::npos) << fuel;
    EXPECT_NE(fuel.find("total_kg=45"), std::string::npos) << fuel;
    const std::string state = FormatFields(Describe(SampleState()));
    EXPECT_NE(state.find("com1_mhz=123.450"), std::string::npos) << state;
    EXPECT_NE(state.find("baro_hpa=1013.2"), std::string::npos) << state;
    EXPECT_NE(state.find("lights=\"nav+landing+cockpit\""), std::string::npos) << state;
    EXPECT_NE(state.find("xpdr=\"7000\""), std::string::npos) << state;
    PositionReport p;
    p.Altitude = 1000;
    p.VelocityZ = -51.444f;  // 100 kt north
    const std::string pos = FormatFields(Describe(p));
    EXPECT_NE(pos.find("alt_ft=3281"), std::string::npos) << pos;
    EXPECT_NE(pos.find("gs_kt=100"), std::string::npos) << pos;
    EXPECT_NE(pos.find("radalt_ft=\"unknown\""), std::string::npos) << pos;
}

// -------------------------------------------------------------- connection --

namespace {

// A plain UDP socket standing in for the plugin, on an ephemeral port.
struct FakePlugin {
    int Socket = -1;
    std::uint16_t Port = 0;
    FakePlugin() {
        Socket = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(Socket, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t n = sizeof a;
        ::getsockname(Socket, reinterpret_cast<sockaddr*>(&a), &n);
        Port = ntohs(a.sin_port);
        timeval timeout{2, 0};
        ::setsockopt(Socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~FakePlugin() { ::close(Socket); }
    std::vector<std::uint8_t> Take() {
        std::vector<std::uint8_t> d(2048);
        const ssize_t n = ::recv(Socket, d.data(), d.size(), 0);
        d.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return d;
    }
    void SendTo(std::uint16_t port, const std::vector<std::uint8_t>& d) const {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        ::sendto(Socket, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
};

}  // namespace

TEST(ClientConnection, TalksToAPlainUdpPeer) {
    FakePlugin plugin;
    Connection link;
    ASSERT_TRUE(link.Open("127.0.0.1", plugin.Port)) << link.LastError();
    EXPECT_EQ(link.State(), LinkState::Open);
    EXPECT_LT(link.SecondsSinceLastDatagram(), 0);

    ASSERT_TRUE(link.Connect(0x2A));
    EXPECT_EQ(link.State(), LinkState::Connected);
    auto connect = plugin.Take();
    ASSERT_EQ(connect.size(), 24u);
    EXPECT_EQ(connect[0], 0x0B);
    EXPECT_EQ(connect[1], 0x2A);
    EXPECT_EQ(connect[23], 0);

    // Later datagrams carry the same tag bytes.
    ASSERT_TRUE(link.Send(SamplePosition()));
    auto position = plugin.Take();
    ASSERT_EQ(position.size(), 120u);
    EXPECT_EQ(position[1], 0x2A);
    EXPECT_EQ(position[23], 4);

    const std::uint8_t odd[5] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(link.SendRaw(odd, sizeof odd));
    EXPECT_EQ(plugin.Take().size(), 5u);

    // From the plugin: a report, then garbage, then its disconnect.
    plugin.SendTo(link.LocalPort(), Bytes(SampleState(), 0x2A0B));
    auto got = link.Receive(2000);
    ASSERT_TRUE(got);
    ASSERT_TRUE(got->Result.Ok());
    EXPECT_TRUE(std::holds_alternative<AircraftStateReport>(got->Result.Value));
    EXPECT_EQ(got->Length, 126u);
    EXPECT_EQ(got->Raw.size(), 126u);
    EXPECT_GE(link.SecondsSinceLastDatagram(), 0);
    EXPECT_LT(link.SecondsSinceLastDatagram(), 1.0);

    plugin.SendTo(link.LocalPort(), {1, 2, 3});
    got = link.Receive(2000);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->Result.Error, DecodeError::TooShort);
    EXPECT_EQ(got->Raw.size(), 3u);
    EXPECT_EQ(link.State(), LinkState::Connected);

    plugin.SendTo(link.LocalPort(), Bytes(DisconnectNotice{}));
    got = link.Receive(2000);
    ASSERT_TRUE(got);
    EXPECT_EQ(link.State(), LinkState::PeerDisconnected);

    EXPECT_FALSE(link.Receive(0));
}

TEST(ClientConnection, IgnoresDatagramsFromOtherAddresses) {
    FakePlugin plugin;
    FakePlugin stranger;
    Connection link;
    ASSERT_TRUE(link.Open("127.0.0.1", plugin.Port));
    stranger.SendTo(link.LocalPort(), Bytes(DisconnectNotice{}));
    EXPECT_FALSE(link.Receive(200));
    EXPECT_EQ(link.StrangerDatagrams(), 1u);
    EXPECT_EQ(link.State(), LinkState::Open);
}

TEST(ClientConnection, RefusesBadTargetsAndClosedSockets) {
    Connection link;
    EXPECT_FALSE(link.Open("127.0.0.1", 0));
    EXPECT_FALSE(link.LastError().empty());
    EXPECT_FALSE(link.SendRaw(reinterpret_cast<const std::uint8_t*>("x"), 1));
    EXPECT_FALSE(link.Receive(0));
    EXPECT_EQ(link.State(), LinkState::Closed);
}
