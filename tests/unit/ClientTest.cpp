// The reference client's codec, units and descriptions. Offsets and values
// in the layout table are written out by hand from the protocol's byte
// tables on purpose: they must not come from link/Messages.h, or a wrong
// offset there would pass unnoticed.
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/Client.h"
#include "client/Describe.h"
#include "support/ClientSamples.h"

using namespace velmir::client;
using namespace velmir::client::samples;

namespace {

// One message's fields: "OFFSET TYPE VALUE" entries separated by commas,
// TYPE one of u8 i16 u16 i32 f32 f64 (all little-endian).
struct Layout {
    Message Sample;
    const char* Fields;
};

// Every field of every type with a body, at its byte offset (lengths: the
// header test).
const Layout Layouts[] = {
    {Info(), "24 u16 12000, 26 u8 0x13, 27 u8 0, 28 u8 0x80, 29 u8 0xFF, 30 u8 0"},  // BGRA
    {Model(), "24 u8 5, 26 u8 1, 27 u8 1, 28 u8 2, 48 u8 0, 88 u8 0, 344 u8 0"},
    {Position(),
     "24 u8 7, 25 f64 1234.5625, 33 f64 47.123456789, 41 f64 -8.987654321, 49 f64 1523.25,"
     "57 f32 2.5, 61 f32 -15.25, 65 f32 271.75, 69 f32 11.5, 73 f32 -1.25, 77 f32 -52.5,"
     "81 f32 0.5, 85 f32 3.25, 89 f32 -4.5, 93 f32 0.125, 97 f32 -0.375, 101 f32 0.625,"
     "105 i16 -1000, 107 i16 8192, 109 i16 -16384, 111 i16 -16384, 113 i16 1234,"
     "115 f32 12.75, 119 u8 3"},
    {Placement(),
     "24 u8 9, 25 f64 46.5, 33 f64 7.25, 41 f64 2100.5, 49 f32 1.5, 53 f32 -2.5,"
     "57 f32 359.5, 61 f32 0.5, 65 u8 2"},
    {Motion(),
     "24 u8 4, 25 f32 1.5, 29 f32 2.5, 33 f32 3.5, 37 f32 4.5, 41 f32 5.5, 45 f32 6.5,"
     "49 f32 7.5, 53 f32 8.5, 57 f32 9.5"},
    {Controls(),
     "25 u8 0, 26 u16 0, 28 i16 100, 30 i16 -200, 32 i16 300, 34 i16 400, 36 i16 500,"
     "38 i16 600, 40 i16 700"},
    {State(),
     "25 u8 0x95, 26 u8 0x2C, 27 u8 0x0C, 28 u8 3, 29 i16 271, 31 i16 16211, 33 u8 2,"
     "34 u8 1, 35 u8 1, 36 u16 7000, 38 u16 0x25, 40 i16 123, 42 i16 -45, 44 i32 12345,"
     "48 i32 12180, 52 i32 11030, 56 i32 11290, 60 i32 362, 64 i32 415, 68 i32 11890,"
     "72 i32 13500, 76 i32 10850, 80 i32 11750, 84 f32 304.5, 88 i32 0, 92 u16 0,"
     "94 i16 270, 96 i16 5500, 98 i16 -700, 100 i16 120, 102 f32 432.25, 106 f32 105.5,"
     "110 f32 5480.5, 114 f32 -650.25, 118 f32 1.5, 122 f32 -0.75"},
    {Piston(),
     "24 u8 0, 25 u8 2, 26 u8 0x7F, 27 u8 0x05, 28 i16 12000, 30 i16 16000, 32 i16 15000,"
     "34 i16 1751, 36 u8 75, 37 i16 650, 39 u8 24, 40 i16 4096, 42 u8 23, 43 i16 77,"
     "45 i16 820, 47 u16 0, 49 i16 55, 51 u16 1, 53 i16 2400, 55 u8 3"},
    {Turbine(),
     "25 u8 1, 26 u8 0x33, 27 i16 11000, 29 i16 16384, 31 i16 14000, 33 i16 1500,"
     "35 u8 90, 36 i16 700, 38 u8 30, 39 i16 1601, 41 i16 1602, 43 i16 1603,"
     "45 i16 1604, 47 i16 350, 49 i16 20000, 51 i16 1700, 53 u8 1"},
    {Fuel(),
     "25 u8 1, 26 u8 2, 27 u8 3, 28 u8 4, 29 u8 5, 30 u8 6, 31 u8 7, 32 u8 8, 33 u8 9,"
     "34 u16 0"},
    // Id 101 and value 16211 byte by byte.
    {Variable(), "24 u8 3, 25 u8 0x65, 26 u8 0, 27 u8 0x53, 28 u8 0x3F, 29 u16 0"},
    {RemoveAircraftCommand{40}, "24 u8 40"},
};

// Compares each field of `fields` with the bytes of `d`.
void ExpectFields(const std::vector<std::uint8_t>& d, const std::string& fields) {
    std::istringstream entries(fields);
    for (std::string entry; std::getline(entries, entry, ',');) {
        std::istringstream in(entry);
        std::size_t offset = 0;
        std::string type, text;
        std::string extra;
        ASSERT_TRUE(in >> offset >> type >> text) << entry;
        ASSERT_FALSE(in >> extra) << "a comma missing in: " << entry;
        const double want = std::strtod(text.c_str(), nullptr);  // takes 0x.. too
        const auto read = [&](auto value) {
            if (offset + sizeof value > d.size()) return double(NAN);
            std::memcpy(&value, d.data() + offset, sizeof value);
            return double(value);
        };
        double got = NAN;
        if (type == "u8") got = read(std::uint8_t());
        if (type == "i16") got = read(std::int16_t());
        if (type == "u16") got = read(std::uint16_t());
        if (type == "i32") got = read(std::int32_t());
        if (type == "f32") got = read(float());
        if (type == "f64") got = read(double());
        EXPECT_EQ(got, want) << type << " at byte " << offset;
    }
}

}  // namespace

// ------------------------------------------------------------------ header --

// Decoding then encoding again must give the very same bytes; the samples
// set every field to a distinct value, so a field read from the wrong place
// or not read at all changes the second encoding.
TEST(ClientHeader, EveryTypeCarriesItsHeaderAndSurvivesDecodeAndReencode) {
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

        const Decoded decoded = DecodeAny(d.data(), d.size());
        ASSERT_TRUE(decoded.Ok()) << ToString(decoded.Error);
        ASSERT_EQ(decoded.Value.index(), type);
        EXPECT_EQ(decoded.LinkTag, 0x2A0B);
        EXPECT_EQ(Bytes(decoded.Value, 0x2A0B), d);
    }
    // A connect carries its own tag byte in byte 1, whatever the link tag.
    const auto connect = Bytes(ConnectRequest{0x07});
    EXPECT_EQ(connect[0], 0x0B);
    EXPECT_EQ(connect[1], 0x07);
}

// ------------------------------------------------------------------ layout --

TEST(ClientLayout, EveryFieldSitsAtItsBytes) {
    for (const Layout& layout : Layouts) {
        SCOPED_TRACE(MessageName(TypeOf(layout.Sample)));
        ExpectFields(Bytes(layout.Sample), layout.Fields);
    }
    const auto model = Bytes(Model());
    EXPECT_STREQ(reinterpret_cast<const char*>(&model[29]), "Alpha One");
    EXPECT_STREQ(reinterpret_cast<const char*>(&model[49]), "HB-KQA");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&model[89])), Model().ModelName);
    for (int i = 29 + 9; i < 49; ++i) EXPECT_EQ(model[i], 0) << "display name padding " << i;
}

TEST(ClientDecode, RejectsShortWrongTypeAndWrongVersionWithoutTouchingTheStruct) {
    auto d = Bytes(Position());
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
    auto longer = Bytes(Position());
    longer.resize(200, 0xAB);
    EXPECT_TRUE(Decode(longer.data(), longer.size(), p));
    EXPECT_EQ(p.Time, 1234.5625);
}

TEST(ClientDecode, DecodeAnyClassifiesBadDatagrams) {
    EXPECT_EQ(DecodeAny(nullptr, 0).Error, DecodeError::TooShort);
    auto d = Bytes(Position());
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
    const auto controls = Bytes(Controls());
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
    ModelReport m = Model();
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

TEST(ClientText, FieldWithoutTerminatorIsReadToItsWidthOnly) {
    auto d = Bytes(Model());
    std::memset(&d[49], 'X', 40);  // tail number fills its field, as the plugin may send it
    ModelReport m;
    ASSERT_TRUE(Decode(d.data(), d.size(), m));
    EXPECT_EQ(m.TailNumber, std::string(40, 'X'));
    EXPECT_EQ(m.ModelName, Model().ModelName);
}

TEST(ClientText, CutNeverSplitsAUtf8CharacterAndAZeroEndsTheText) {
    ModelReport m;
    m.DisplayName.clear();
    for (int i = 0; i < 15; ++i) m.DisplayName += "\xC3\x84";  // Ä, two bytes each
    m.TailNumber = std::string("AB\0CD", 5);
    const auto d = Bytes(m);
    // 19 bytes would end inside the tenth Ä; 18 bytes hold nine whole ones.
    EXPECT_EQ(d[29 + 17], 0x84);
    EXPECT_EQ(d[29 + 18], 0);
    EXPECT_EQ(d[49], 'A');
    EXPECT_EQ(d[50], 'B');
    for (int i = 51; i < 89; ++i) EXPECT_EQ(d[i], 0);
}

// ------------------------------------------------------------------- units --

// Wire units: scaled, truncated toward zero, saturated rather than wrapped.
TEST(ClientUnits, ConversionsBothWays) {
    struct Case {
        const char* What;
        double Got, Want, Tolerance;
    };
    const Case cases[] = {
        {"FixedFromRatio(1)", double(FixedFromRatio(1.0)), 16384, 0},
        {"FixedFromRatio(-1)", double(FixedFromRatio(-1.0)), -16384, 0},
        {"FixedFromRatio(0.5)", double(FixedFromRatio(0.5)), 8192, 0},
        {"FixedFromRatio(-0.00005)", double(FixedFromRatio(-0.00005)), 0, 0},
        {"FixedFromRatio(2.5)", double(FixedFromRatio(2.5)), 32767, 0},
        {"FixedFromRatio(-3)", double(FixedFromRatio(-3.0)), -32768, 0},
        {"FixedFromRatio(NaN)", double(FixedFromRatio(std::nan(""))), 0, 0},
        {"RatioFromFixed(8192)", RatioFromFixed(8192), 0.5, 0},
        {"RatioFromFixed(-16384)", RatioFromFixed(-16384), -1.0, 0},
        {"WireFromBrakeRatio(0)", double(WireFromBrakeRatio(0.0)), -16384, 0},
        {"WireFromBrakeRatio(0.5)", double(WireFromBrakeRatio(0.5)), 0, 0},
        {"WireFromBrakeRatio(1)", double(WireFromBrakeRatio(1.0)), 16384, 0},
        {"BrakeRatioFromWire(-16384)", BrakeRatioFromWire(-16384), 0.0, 0},
        {"BrakeRatioFromWire(16384)", BrakeRatioFromWire(16384), 1.0, 0},
        {"RankineFromCelsius(700)", double(RankineFromCelsius(700)), 1751, 0},
        {"RankineFromCelsius(0)", double(RankineFromCelsius(0)), 491, 0},
        {"CelsiusFromRankine(1751)", CelsiusFromRankine(1751), 700, 0.5},
        {"CelsiusFromRankine(491.67)", CelsiusFromRankine(491.67), 0, 1e-9},
        {"SixteenthsFromInchesHg(29.92)", double(SixteenthsFromInchesHg(29.92)), 16211, 0},
        {"HectopascalFromSixteenths(16211)", HectopascalFromSixteenths(16211), 1013.19, 0.01},
        {"InchesHgFromSixteenths(16211)", InchesHgFromSixteenths(16211), 29.92, 0.005},
        {"MegahertzFromRadio(12345)", MegahertzFromRadio(12345), 123.45, 1e-9},
        {"KilogramsPerHourFromFuelFlow(7937)", KilogramsPerHourFromFuelFlow(7937), 3600, 1e-9},
        {"TankByteFromKilograms(100)", double(TankByteFromKilograms(100.0)), 100, 0},
        {"TankByteFromKilograms(100.2)", double(TankByteFromKilograms(100.2)), 101, 0},
        {"TankByteFromKilograms(-1)", double(TankByteFromKilograms(-1)), 0, 0},
        {"TankByteFromKilograms(300)", double(TankByteFromKilograms(300)), 255, 0},
    };
    for (const Case& c : cases) EXPECT_NEAR(c.Got, c.Want, c.Tolerance) << c.What;

    // Bytes 25..33 = 1..9 hold tanks 0..8 = 4, 7, 1, 6, 9, 2, 5, 8, 3 kg.
    const std::array<std::uint8_t, 9> wire = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const std::array<std::uint8_t, 9> tanks = {4, 7, 1, 6, 9, 2, 5, 8, 3};
    EXPECT_EQ(TanksFromWire(wire), tanks);
    EXPECT_EQ(WireFromTanks(tanks), wire);
}

// ---------------------------------------------------------------- describe --

TEST(ClientDescribe, JsonStaysValidForAnyWireText) {
    EXPECT_EQ(JsonString(std::string("a\"b\\c\n\xFF", 7)), "\"a\\\"b\\\\c\\n\\u00ff\"");
    PositionReport p = Position();
    p.Latitude = std::nan("");
    const std::string json = FormatJson(Describe(p), 1.5);
    EXPECT_NE(json.find("\"lat\":null"), std::string::npos) << json;
    EXPECT_EQ(json.find("nan"), std::string::npos) << json;
}

TEST(ClientDescribe, PersonUnits) {
    const std::string fuel = FormatFields(Describe(Fuel()));
    EXPECT_NE(fuel.find("tank0_kg=4 "), std::string::npos) << fuel;
    EXPECT_NE(fuel.find("total_kg=45"), std::string::npos) << fuel;
    const std::string state = FormatFields(Describe(State()));
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
