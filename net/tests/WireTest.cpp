// The payloads byte by byte, the topics, and every reason to refuse input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include "net/pilot/Wire.h"

namespace velmir::net {
namespace {

using Bytes = std::vector<std::uint8_t>;

template <class T>
void Poke(Bytes& b, std::size_t offset, T value) {
    std::memcpy(b.data() + offset, &value, sizeof value);
}
template <class T>
T Peek(const Bytes& b, std::size_t offset) {
    T value;
    std::memcpy(&value, b.data() + offset, sizeof value);
    return value;
}

// A valid sample in cell 47_8, written by hand at the documented offsets.
Bytes HandSample() {
    Bytes b(108, 0);
    b[0] = 1;
    b[1] = 1;
    Poke<std::uint16_t>(b, 2, 0x1234);
    Poke<std::uint64_t>(b, 4, 1700000000123456ull);
    Poke<double>(b, 12, 1.5);
    Poke<double>(b, 20, 47.5);
    Poke<double>(b, 28, 8.25);
    Poke<double>(b, 36, 1000.0);
    Poke<float>(b, 44, 2.0f);
    Poke<float>(b, 52, 270.0f);
    Poke<float>(b, 56, 60.0f);
    Poke<float>(b, 64, -10.0f);
    Poke<float>(b, 88, 0.5f);
    Poke<std::int16_t>(b, 92, -16384);
    Poke<std::int16_t>(b, 100, 16384);
    Poke<float>(b, 102, -1.0f);
    b[106] = 3;
    return b;
}

// Decoding reads each field from its documented offset; encoding the result
// gives the hand-written bytes back (AircraftIndex is not carried).
TEST(NetWire, SampleDecodesFromHandWrittenBytesAndEncodesBack) {
    const Bytes b = HandSample();
    Sample s;
    ASSERT_EQ(DecodeSample(b.data(), b.size(), Cell{47, 8}, s), DropReason::None);
    EXPECT_EQ(s.Sequence, 0x1234);
    EXPECT_EQ(s.SentAtMicros, 1700000000123456ull);
    EXPECT_EQ(s.Report.Time, 1.5);
    EXPECT_EQ(s.Report.Latitude, 47.5);
    EXPECT_EQ(s.Report.Longitude, 8.25);
    EXPECT_EQ(s.Report.Altitude, 1000.0);
    EXPECT_EQ(s.Report.Heading, 270.0f);
    EXPECT_EQ(s.Report.VelocityZ, -10.0f);
    EXPECT_EQ(s.Report.AccelZ, 0.5f);
    EXPECT_EQ(s.Report.YokeHeading, -16384);
    EXPECT_EQ(s.Report.RightBrake, 16384);
    EXPECT_EQ(s.Report.RadioAltitude, -1.0f);
    EXPECT_EQ(s.Report.PositionFlags, 3);
    s.Report.AircraftIndex = 7;
    Bytes out(108, 0xEE);
    EncodeSample(s, out.data());
    EXPECT_EQ(out, b);
    const Bytes time = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8, 0x3F};  // 1.5, little-endian
    EXPECT_TRUE(std::equal(time.begin(), time.end(), out.begin() + 12));
}

TEST(NetWire, SampleRefusals) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* Name;
        std::function<void(Bytes&)> Spoil;
        DropReason Expected;
    };
    const Case cases[] = {
        {"one byte short", [](Bytes& b) { b.pop_back(); }, DropReason::WrongSize},
        {"one byte long", [](Bytes& b) { b.push_back(0); }, DropReason::WrongSize},
        {"empty", [](Bytes& b) { b.clear(); }, DropReason::WrongSize},
        {"version 2", [](Bytes& b) { b[0] = 2; }, DropReason::WrongVersion},
        {"identity kind", [](Bytes& b) { b[1] = 2; }, DropReason::WrongVersion},
        {"NaN latitude", [&](Bytes& b) { Poke<double>(b, 20, nan); }, DropReason::NotFinite},
        {"NaN time", [&](Bytes& b) { Poke<double>(b, 12, nan); }, DropReason::NotFinite},
        {"infinite climb", [&](Bytes& b) { Poke<float>(b, 60, inf); }, DropReason::NotFinite},
        {"NaN radio altitude", [&](Bytes& b) { Poke<float>(b, 102, float(nan)); },
         DropReason::NotFinite},
        {"latitude 90.5", [](Bytes& b) { Poke<double>(b, 20, 90.5); }, DropReason::OutOfRange},
        {"longitude 180", [](Bytes& b) { Poke<double>(b, 28, 180.0); }, DropReason::OutOfRange},
        {"longitude -180.5", [](Bytes& b) { Poke<double>(b, 28, -180.5); }, DropReason::OutOfRange},
        {"altitude 40 km", [](Bytes& b) { Poke<double>(b, 36, 40000.0); }, DropReason::OutOfRange},
        {"clock at zero", [](Bytes& b) { Poke<double>(b, 12, 0.0); }, DropReason::OutOfRange},
        {"800 m/s east", [](Bytes& b) { Poke<float>(b, 56, 800.0f); }, DropReason::AbsurdSpeed},
        {"500+500 m/s", [](Bytes& b) { Poke<float>(b, 56, 500.0f), Poke<float>(b, 64, 500.0f); },
         DropReason::AbsurdSpeed},
        {"position in 48_8", [](Bytes& b) { Poke<double>(b, 20, 48.01); }, DropReason::WrongCell},
        {"position in 47_7", [](Bytes& b) { Poke<double>(b, 28, 7.99); }, DropReason::WrongCell},
        // Finite but beyond any aircraft: the plugin's arithmetic assumes
        // angles within a turn and sane rates.
        {"pitch FLT_MAX", [](Bytes& b) { Poke<float>(b, 44, 3.4028235e38f); },
         DropReason::OutOfRange},
        {"pitch 90.5", [](Bytes& b) { Poke<float>(b, 44, 90.5f); }, DropReason::OutOfRange},
        {"pitch -90.5", [](Bytes& b) { Poke<float>(b, 44, -90.5f); }, DropReason::OutOfRange},
        {"bank 181", [](Bytes& b) { Poke<float>(b, 48, 181.0f); }, DropReason::OutOfRange},
        {"bank -181", [](Bytes& b) { Poke<float>(b, 48, -181.0f); }, DropReason::OutOfRange},
        {"heading 1e30", [](Bytes& b) { Poke<float>(b, 52, 1e30f); }, DropReason::OutOfRange},
        {"heading 360.5", [](Bytes& b) { Poke<float>(b, 52, 360.5f); }, DropReason::OutOfRange},
        {"heading -0.5", [](Bytes& b) { Poke<float>(b, 52, -0.5f); }, DropReason::OutOfRange},
        {"pitch rate 3e38", [](Bytes& b) { Poke<float>(b, 68, 3e38f); }, DropReason::OutOfRange},
        {"yaw rate -721", [](Bytes& b) { Poke<float>(b, 72, -721.0f); }, DropReason::OutOfRange},
        {"roll rate 721", [](Bytes& b) { Poke<float>(b, 76, 721.0f); }, DropReason::OutOfRange},
        {"accel x 3.3e38", [](Bytes& b) { Poke<float>(b, 80, 3.3e38f); }, DropReason::OutOfRange},
        {"accel y -201", [](Bytes& b) { Poke<float>(b, 84, -201.0f); }, DropReason::OutOfRange},
        {"accel z 201", [](Bytes& b) { Poke<float>(b, 88, 201.0f); }, DropReason::OutOfRange},
        {"radio altitude 1e30", [](Bytes& b) { Poke<float>(b, 102, 1e30f); },
         DropReason::OutOfRange},
        {"radio altitude -1e30", [](Bytes& b) { Poke<float>(b, 102, -1e30f); },
         DropReason::OutOfRange},
        {"yaw yoke 1.00006", [](Bytes& b) { Poke<std::int16_t>(b, 92, 16385); },
         DropReason::OutOfRange},
        {"pitch yoke -2", [](Bytes& b) { Poke<std::int16_t>(b, 94, -32768); },
         DropReason::OutOfRange},
        {"roll yoke 2", [](Bytes& b) { Poke<std::int16_t>(b, 96, 32767); }, DropReason::OutOfRange},
        {"left brake below 0", [](Bytes& b) { Poke<std::int16_t>(b, 98, -16385); },
         DropReason::OutOfRange},
        {"right brake above 1", [](Bytes& b) { Poke<std::int16_t>(b, 100, 16385); },
         DropReason::OutOfRange},
        {"clock 1e300 s", [](Bytes& b) { Poke<double>(b, 12, 1e300); }, DropReason::OutOfRange},
        {"flags 0xFF", [](Bytes& b) { b[106] = 0xFF; }, DropReason::ReservedSet},
        {"flag bit 2", [](Bytes& b) { b[106] = 0x04; }, DropReason::ReservedSet},
        {"reserved 0xFF", [](Bytes& b) { b[107] = 0xFF; }, DropReason::ReservedSet},
        {"reserved 1", [](Bytes& b) { b[107] = 1; }, DropReason::ReservedSet},
    };
    for (const Case& c : cases) {
        Bytes b = HandSample();
        c.Spoil(b);
        Sample s;
        EXPECT_EQ(DecodeSample(b.data(), b.size(), Cell{47, 8}, s), c.Expected) << c.Name;
    }
}

// The edges themselves are flyable: a loop, a knife edge, due north, full
// yoke and brakes, a hard manoeuvre, an unknown radio altitude.
TEST(NetWire, SampleLimitsThemselvesPass) {
    const std::function<void(Bytes&)> edges[] = {
        [](Bytes& b) { Poke<float>(b, 44, 90.0f), Poke<float>(b, 48, -180.0f); },
        [](Bytes& b) { Poke<float>(b, 44, -90.0f), Poke<float>(b, 48, 180.0f); },
        [](Bytes& b) { Poke<float>(b, 52, 0.0f); },
        [](Bytes& b) { Poke<float>(b, 52, 360.0f); },
        [](Bytes& b) { Poke<float>(b, 68, 720.0f), Poke<float>(b, 76, -720.0f); },
        [](Bytes& b) { Poke<float>(b, 80, 200.0f), Poke<float>(b, 84, -200.0f); },
        [](Bytes& b) {
            for (std::size_t at = 92; at <= 100; at += 2) Poke<std::int16_t>(b, at, 16384);
        },
        [](Bytes& b) {
            for (std::size_t at = 92; at <= 100; at += 2) Poke<std::int16_t>(b, at, -16384);
        },
        [](Bytes& b) { Poke<float>(b, 102, 31000.0f), b[106] = 0; },
        [](Bytes& b) { Poke<float>(b, 102, -31000.0f), b[106] = 2; },
    };
    int n = 0;
    for (const auto& edge : edges) {
        Bytes b = HandSample();
        edge(b);
        Sample s;
        EXPECT_EQ(DecodeSample(b.data(), b.size(), Cell{47, 8}, s), DropReason::None) << n++;
    }
}

// The finer trees check the sample against their own cell, not only the
// 1-degree cell around it.
TEST(NetWire, SampleCellOfEachTree) {
    struct Case {
        int Tree, Lat, Lon;
        DropReason Expected;
    };
    // HandSample is at 47.5, 8.25.
    const Case cases[] = {
        {0, 47, 8, DropReason::None},          {1, 237, 41, DropReason::None},
        {2, 950, 165, DropReason::None},       {3, 4750, 825, DropReason::None},
        {1, 237, 40, DropReason::WrongCell},   {1, 236, 41, DropReason::WrongCell},
        {2, 949, 165, DropReason::WrongCell},  {3, 4749, 825, DropReason::WrongCell},
        {3, 4750, 826, DropReason::WrongCell}, {3, 47, 8, DropReason::WrongCell},
        {0, 4750, 825, DropReason::WrongCell},
    };
    for (const Case& c : cases) {
        const Bytes b = HandSample();
        Sample s;
        EXPECT_EQ(DecodeSample(b.data(), b.size(), Cell{c.Lat, c.Lon}, s, c.Tree), c.Expected)
            << c.Tree << " " << c.Lat << "_" << c.Lon;
    }
}

Bytes HandIdentity() {
    Bytes b(332, 0);
    b[0] = 1;
    b[1] = 2;
    b[2] = 4;  // livery
    std::memcpy(b.data() + 4, "AB-12", 5);
    std::memcpy(b.data() + 16, "Bob", 3);
    std::memcpy(b.data() + 36, "D-EFGH", 6);
    std::memcpy(b.data() + 76, "Aircraft/C172/c172.acf", 22);
    return b;
}

TEST(NetWire, IdentityEncodesAtDocumentedOffsetsAndDecodes) {
    Identity id{"AB-12", "Bob", "D-EFGH", "Aircraft/C172/c172.acf", 4};
    Bytes out(332, 0xEE);
    EncodeIdentity(id, out.data());
    EXPECT_EQ(out, HandIdentity());
    Identity back;
    ASSERT_EQ(DecodeIdentity(out.data(), out.size(), "AB-12", back), DropReason::None);
    EXPECT_EQ(back, id);
}

TEST(NetWire, IdentityTextIsCutToLeaveItsTerminator) {
    Identity id{"AB", std::string(30, 'N'), std::string(50, 'T'), std::string(300, 'M'), 0};
    Bytes out(332, 0);
    EncodeIdentity(id, out.data());
    EXPECT_EQ(out[16 + 19], 0);
    EXPECT_EQ(out[36 + 39], 0);
    EXPECT_EQ(out[331], 0);
    Identity back;
    ASSERT_EQ(DecodeIdentity(out.data(), out.size(), "AB", back), DropReason::None);
    EXPECT_EQ(back.DisplayName.size(), 19u);
    EXPECT_EQ(back.ModelName.size(), 255u);
}

TEST(NetWire, IdentityRefusals) {
    struct Case {
        const char* Name;
        std::function<void(Bytes&)> Spoil;
        DropReason Expected;
    };
    const Case cases[] = {
        {"short", [](Bytes& b) { b.resize(331); }, DropReason::WrongSize},
        {"sample kind", [](Bytes& b) { b[1] = 1; }, DropReason::WrongVersion},
        {"version 0", [](Bytes& b) { b[0] = 0; }, DropReason::WrongVersion},
        {"other callsign", [](Bytes& b) { std::memcpy(b.data() + 4, "AB-13", 5); },
         DropReason::CallsignMismatch},
        {"callsign prefix only", [](Bytes& b) { b[8] = 0; }, DropReason::CallsignMismatch},
        {"callsign fills field", [](Bytes& b) { std::memset(b.data() + 4, 'A', 12); },
         DropReason::BadText},
        {"tail without terminator", [](Bytes& b) { std::memset(b.data() + 36, 'T', 40); },
         DropReason::BadText},
        {"model without terminator", [](Bytes& b) { std::memset(b.data() + 76, 'M', 256); },
         DropReason::BadText},
        {"escape in model", [](Bytes& b) { b[80] = 0x1B; }, DropReason::BadText},
        {"newline in name", [](Bytes& b) { b[17] = '\n'; }, DropReason::BadText},
        // After each terminator only zeros.
        {"byte after callsign", [](Bytes& b) { b[15] = 'X'; }, DropReason::BadText},
        {"byte after name", [](Bytes& b) { b[20] = 'X'; }, DropReason::BadText},
        {"0xFF at name's end", [](Bytes& b) { b[35] = 0xFF; }, DropReason::BadText},
        {"byte after tail", [](Bytes& b) { b[43] = 1; }, DropReason::BadText},
        {"byte after model", [](Bytes& b) { b[331] = 'M'; }, DropReason::BadText},
        {"second text in model", [](Bytes& b) { std::memcpy(b.data() + 99, "/etc", 4); },
         DropReason::BadText},
        {"reserved 0xFF", [](Bytes& b) { b[3] = 0xFF; }, DropReason::ReservedSet},
        {"reserved 1", [](Bytes& b) { b[3] = 1; }, DropReason::ReservedSet},
    };
    for (const Case& c : cases) {
        Bytes b = HandIdentity();
        c.Spoil(b);
        Identity id;
        EXPECT_EQ(DecodeIdentity(b.data(), b.size(), "AB-12", id), c.Expected) << c.Name;
    }
}

// Version 2: version 1's bytes with 2 in byte 0, then type, operator, livery.
Bytes HandIdentity2() {
    Bytes b = HandIdentity();
    b[0] = 2;
    b.resize(388, 0);
    std::memcpy(b.data() + 332, "C172", 4);
    std::memcpy(b.data() + 340, "SWR", 3);
    std::memcpy(b.data() + 348, "HB-CQX Swiss", 12);
    return b;
}

TEST(NetWire, Identity2EncodesAtDocumentedOffsetsAndDecodes) {
    Identity id{"AB-12", "Bob", "D-EFGH", "Aircraft/C172/c172.acf", 4};
    id.IcaoType = "C172";
    id.Airline = "SWR";
    id.Livery = "HB-CQX Swiss";
    id.Described = true;
    Bytes out(388, 0xEE);
    EncodeIdentity2(id, out.data());
    EXPECT_EQ(out, HandIdentity2());
    Identity back;
    ASSERT_EQ(DecodeIdentity(out.data(), out.size(), "AB-12", back), DropReason::None);
    EXPECT_EQ(back, id);

    // Version 1 of the same pilot: the old bytes exactly, nothing said.
    Bytes old(332, 0xEE);
    EncodeIdentity(id, old.data());
    EXPECT_EQ(old, HandIdentity());
    ASSERT_EQ(DecodeIdentity(old.data(), old.size(), "AB-12", back), DropReason::None);
    EXPECT_FALSE(back.Described);
    EXPECT_TRUE(back.IcaoType.empty() && back.Airline.empty() && back.Livery.empty());

    // What a receiver would refuse is sent as "not said".
    id.IcaoType = "b738";
    id.Airline = "SWISS";
    id.Livery = std::string(45, 'L');
    EncodeIdentity2(id, out.data());
    EXPECT_EQ(Bytes(out.begin() + 332, out.end()), Bytes(56, 0));
    ASSERT_EQ(DecodeIdentity(out.data(), out.size(), "AB-12", back), DropReason::None);
    EXPECT_TRUE(back.Described);
    EXPECT_TRUE(back.IcaoType.empty());
}

TEST(NetWire, Identity2Refusals) {
    struct Case {
        const char* Name;
        std::function<void(Bytes&)> Spoil;
        DropReason Expected;
    };
    const Case cases[] = {
        {"one short", [](Bytes& b) { b.resize(387); }, DropReason::WrongSize},
        {"between the versions", [](Bytes& b) { b.resize(360); }, DropReason::WrongSize},
        {"version 1 at 388 bytes", [](Bytes& b) { b[0] = 1; }, DropReason::WrongVersion},
        {"version 2 at 332 bytes", [](Bytes& b) { b.resize(332); }, DropReason::WrongVersion},
        {"version 3", [](Bytes& b) { b[0] = 3; }, DropReason::WrongVersion},
        {"lower-case type", [](Bytes& b) { b[332] = 'c'; }, DropReason::BadText},
        {"type of five", [](Bytes& b) { b[336] = 'X'; }, DropReason::BadText},
        {"type without terminator", [](Bytes& b) { std::memset(b.data() + 332, 'C', 8); },
         DropReason::BadText},
        {"byte after type", [](Bytes& b) { b[339] = 1; }, DropReason::BadText},
        {"digit in operator", [](Bytes& b) { b[342] = '1'; }, DropReason::BadText},
        {"operator of two", [](Bytes& b) { b[342] = 0; }, DropReason::BadText},
        {"escape in livery", [](Bytes& b) { b[350] = 0x1B; }, DropReason::BadText},
        {"UTF-8 in livery", [](Bytes& b) { b[350] = 0xC3; }, DropReason::BadText},
        {"livery fills field", [](Bytes& b) { std::memset(b.data() + 348, 'L', 40); },
         DropReason::BadText},
        {"livery's trailing space", [](Bytes& b) { b[360] = ' '; }, DropReason::BadText},
        {"byte after model", [](Bytes& b) { b[331] = 'M'; }, DropReason::BadText},
        {"reserved", [](Bytes& b) { b[3] = 1; }, DropReason::ReservedSet},
        {"other callsign", [](Bytes& b) { b[5] = 'C'; }, DropReason::CallsignMismatch},
    };
    for (const Case& c : cases) {
        Bytes b = HandIdentity2();
        c.Spoil(b);
        Identity id;
        EXPECT_EQ(DecodeIdentity(b.data(), b.size(), "AB-12", id), c.Expected) << c.Name;
    }
    // Each of the three may be left unsaid.
    Bytes b = HandIdentity2();
    std::memset(b.data() + 332, 0, 56);
    Identity id;
    EXPECT_EQ(DecodeIdentity(b.data(), b.size(), "AB-12", id), DropReason::None);
    EXPECT_TRUE(id.Described);
}

TEST(NetWire, Topics) {
    EXPECT_EQ(PositionTopic(Cell{47, 8}, "AB-12"), "velmir/v1/local/pos/47_8/AB-12");
    EXPECT_EQ(PositionTopic(Cell{-34, -59}, "Z9"), "velmir/v1/local/pos/-34_-59/Z9");
    EXPECT_EQ(PositionFilter(Cell{0, -180}), "velmir/v1/+/pos/0_-180/+");
    EXPECT_EQ(IdentityTopic("AB-12"), "velmir/v1/local/id/AB-12");
    EXPECT_EQ(IdentityFilter("AB-12"), "velmir/v1/+/id/AB-12");
    EXPECT_EQ(Identity2Topic("AB-12"), "velmir/v1/local/id2/AB-12");
    Topic second;
    ASSERT_EQ(ParseTopic("velmir/v1/b/id2/AB-12", second), DropReason::None);
    EXPECT_TRUE(second.Kind == TopicKind::Identity2 && second.Callsign == "AB-12" &&
                second.Origin == "b");
    EXPECT_EQ(ParseTopic("velmir/v1/b/id3/AB-12", second), DropReason::BadTopic);
    EXPECT_EQ(ParseTopic("velmir/v1/b/id2/ab", second), DropReason::BadCallsign);

    struct Case {
        const char* Topic;
        DropReason Expected;
        int Lat, Lon;
    };
    const Case cases[] = {
        {"velmir/v1/local/pos/47_8/AB-12", DropReason::None, 47, 8},
        {"velmir/v1/local/pos/-90_-180/A", DropReason::None, -90, -180},
        {"velmir/v1/local/pos/89_179/0123456789", DropReason::None, 89, 179},
        {"velmir/v1/local/id/AB-12", DropReason::None, 0, 0},
        {"velmir/v1/eu-West_2/pos/1_-2/AB", DropReason::None, 1, -2},
        {"velmir/v1/abcdefghijklmnopqrstuvwxyz012345/id/AB", DropReason::None, 0, 0},
        {"velmir/v1/abcdefghijklmnopqrstuvwxyz0123456/id/AB", DropReason::BadTopic, 0, 0},
        {"velmir/v1/no.origin/pos/47_8/AB", DropReason::BadTopic, 0, 0},
        {"velmir/v1//pos/47_8/AB", DropReason::BadTopic, 0, 0},
        {"velmir/v2/pos/47_8/AB", DropReason::BadTopic, 0, 0},
        {"velmir/v1/local/pos/47_8", DropReason::BadTopic, 0, 0},
        {"velmir/v1/other/AB", DropReason::BadTopic, 0, 0},
        {"", DropReason::BadTopic, 0, 0},
        {"velmir/v1/local/pos/47_8/ab", DropReason::BadCallsign, 0, 0},
        {"velmir/v1/local/pos/47_8/ABCDEFGHIJK", DropReason::BadCallsign, 0, 0},
        {"velmir/v1/local/pos/47_8/", DropReason::BadCallsign, 0, 0},
        {"velmir/v1/local/pos/47_8/AB/C", DropReason::BadCallsign, 0, 0},
        {"velmir/v1/local/id/", DropReason::BadCallsign, 0, 0},
        {"velmir/v1/local/id/A+", DropReason::BadCallsign, 0, 0},
        {"velmir/v1/local/pos/90_8/AB", DropReason::BadCell, 0, 0},
        {"velmir/v1/local/pos/47_180/AB", DropReason::BadCell, 0, 0},
        {"velmir/v1/local/pos/047_8/AB", DropReason::BadCell, 0, 0},
        {"velmir/v1/local/pos/-0_8/AB", DropReason::BadCell, 0, 0},
        {"velmir/v1/local/pos/47-8/AB", DropReason::BadCell, 0, 0},
        {"velmir/v1/local/pos/+47_8/AB", DropReason::BadCell, 0, 0},
        {"velmir/v1/local/pos/47_/AB", DropReason::BadCell, 0, 0},
        {"velmir/v1/local/pos/99999_8/AB", DropReason::BadCell, 0, 0},
    };
    for (const Case& c : cases) {
        Topic t;
        ASSERT_EQ(ParseTopic(c.Topic, t), c.Expected) << c.Topic;
        if (c.Expected == DropReason::None && t.Kind == TopicKind::Position) {
            EXPECT_EQ(t.Where, (Cell{c.Lat, c.Lon})) << c.Topic;
        }
    }
}

}  // namespace
}  // namespace velmir::net
