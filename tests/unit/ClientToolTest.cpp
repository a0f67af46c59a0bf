// Track and scenario files of the reference client (its slot folders and
// poor network: ClientInjectTest.cpp).
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "client/Geo.h"
#include "client/Scenario.h"
#include "client/Track.h"

using namespace velmir::client;

namespace {

const std::filesystem::path SourceRoot =
    std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();

bool ParseTrackText(const std::string& text, Track& track, std::string& error) {
    std::istringstream in(text);
    return ParseTrack(in, track, error);
}

std::string TrackError(const std::string& text) {
    Track track;
    std::string error;
    EXPECT_FALSE(ParseTrackText(text, track, error)) << text;
    return error;
}

bool ParseScenarioText(const std::string& text, Scenario& scenario, std::string& error) {
    std::istringstream in(text);
    return ParseScenario(in, scenario, error);
}

std::string ScenarioError(const std::string& text) {
    Scenario scenario;
    std::string error;
    EXPECT_FALSE(ParseScenarioText(text, scenario, error)) << text;
    return error;
}

double DistanceMetres(double lat0, double lon0, double lat1, double lon1) {
    double north = 0, east = 0;
    MetresBetween(lat0, lon0, lat1, lon1, north, east);
    return std::hypot(north, east);
}

}  // namespace

// ---------------------------------------------------------------- numbers --

TEST(ClientNumbers, WholeTokensOnlyAndNoSurprisingBases) {
    long long v = 0;
    EXPECT_TRUE(ParseInteger("010", 0, 100, v));
    EXPECT_EQ(v, 10);
    EXPECT_TRUE(ParseInteger("08", 0, 100, v));
    EXPECT_EQ(v, 8);
    EXPECT_TRUE(ParseInteger("0x1F", 0, 100, v));
    EXPECT_EQ(v, 31);
    EXPECT_TRUE(ParseInteger("-0x10", -100, 100, v));
    EXPECT_EQ(v, -16);
    for (const char* bad : {"", " 5", "5 ", "1.5", "0x", "abc", "41", "-1", "99999999999999999999"})
        EXPECT_FALSE(ParseInteger(bad, 0, 40, v)) << bad;

    double d = 0;
    EXPECT_TRUE(ParseNumber("-33.9", d));
    EXPECT_EQ(d, -33.9);
    for (const char* bad : {"", "nan", "inf", "1e999", "47.5abc", "--1"})
        EXPECT_FALSE(ParseNumber(bad, d)) << bad;
}

// ------------------------------------------------------------------- track --

TEST(ClientTrack, ParsesRowsCommentsAndOptionalColumns) {
    Track track;
    std::string error;
    ASSERT_TRUE(ParseTrackText("# header\n\n0 47 8 1000 0 0 0  # start\n10 47.01 8 1000 0 0 0\n",
                               track, error))
        << error;
    EXPECT_EQ(track.Rows.size(), 2u);
    EXPECT_FALSE(track.HasInstruments);
    EXPECT_EQ(track.Rows[1].Line, 4);
    EXPECT_DOUBLE_EQ(track.Duration(), 10.0);

    ASSERT_TRUE(
        ParseTrackText("0 47 8 1000 0 0 0 100 90 3281 0 0 0 0.1 0.2 0.3 0.4\n"
                       "1 47 8 1000 0 0 0 100 90 3281 0 0 0 0.1 0.2 0.3 0.4\r\n",
                       track, error))
        << error;
    EXPECT_TRUE(track.HasInstruments);
    EXPECT_TRUE(track.HasPropellers);
    EXPECT_DOUBLE_EQ(track.Rows[0].Propellers[3], 0.4);
}

TEST(ClientTrack, RejectsBadFilesNamingTheLine) {
    EXPECT_EQ(TrackError("0 47 8 1000 0 0 0\n1 47 x 1000 0 0 0\n"),
              "line 2: column lon: 'x' is not a finite number");
    EXPECT_EQ(TrackError("0 47 8 1000 0 0 0 1\n"),
              "line 1: a row has 7, 13 or 17 columns, this one has 8");
    EXPECT_EQ(TrackError("0 47 8 1000 0 0 0\n1 47 8 1000 0 0 0 1 2 3 4 5 6\n"),
              "line 2: has 13 columns, earlier rows have 7");
    EXPECT_EQ(TrackError("0 47 8 1000 0 0 0\n0 47 8 1000 0 0 0\n"),
              "line 2: t must be greater than on the row before");
    EXPECT_EQ(TrackError("0 91 8 1000 0 0 0\n1 47 8 1000 0 0 0\n"),
              "line 1: latitude must lie within -90..90");
    EXPECT_EQ(TrackError("0 47 8 nan 0 0 0\n1 47 8 1000 0 0 0\n"),
              "line 1: column alt_m: 'nan' is not a finite number");
    EXPECT_EQ(TrackError("# only a comment\n0 47 8 1000 0 0 0\n"),
              "a track needs at least two rows");
    EXPECT_EQ(TrackError(std::string(5000, '1') + "\n"), "line 1: line longer than 4096 bytes");
    EXPECT_EQ(TrackError(""), "a track needs at least two rows");

    Track track;
    std::string error;
    EXPECT_FALSE(LoadTrack("/nonexistent/track.txt", track, error));
    EXPECT_NE(error.find("cannot open"), std::string::npos);
}

TEST(ClientTrack, VelocityComesFromConsecutiveRowsInTheLocalFrame) {
    Track track;
    std::string error;
    // 0.01° north in 10 s at 47°N: about 111.2 m/s northward, 10 m/s climb.
    ASSERT_TRUE(ParseTrackText("0 47.00 8 1000 0 0 0\n10 47.01 8 1100 0 0 0\n", track, error));
    const PositionReport north = TrackPosition(SampleTrack(track, 5), 100.0);
    EXPECT_NEAR(north.VelocityZ, -111.19, 0.05);  // +z is south
    EXPECT_NEAR(north.VelocityX, 0.0, 1e-6);
    EXPECT_NEAR(north.VelocityY, 10.0, 1e-4);
    EXPECT_NEAR(north.Latitude, 47.005, 1e-9);
    EXPECT_NEAR(north.Altitude, 1050.0, 1e-9);
    EXPECT_EQ(north.AircraftIndex, 0);
    EXPECT_EQ(north.Time, 100.0);
    EXPECT_EQ(north.RadioAltitude, -1.0f);

    // 0.02° east at 60°N over 10 s: cos 60° halves it to about 111.2 m/s.
    ASSERT_TRUE(ParseTrackText("0 60 8.00 1000 0 0 90\n10 60 8.02 1000 0 0 90\n", track, error));
    const PositionReport east = TrackPosition(SampleTrack(track, 1), 1.0);
    EXPECT_NEAR(east.VelocityX, 111.19, 0.05);
    EXPECT_NEAR(east.VelocityZ, 0.0, 1e-3);
}

TEST(ClientTrack, HeadingsTurnTheShortWayAndHoldAtTheEnds) {
    Track track;
    std::string error;
    ASSERT_TRUE(ParseTrackText("0 47 8 1000 0 0 350\n10 47 8 1000 0 10 10\n20 47 8 1000 0 0 20\n",
                               track, error));
    const TrackState mid = SampleTrack(track, 5);
    EXPECT_NEAR(mid.Heading, 0.0, 1e-9);
    EXPECT_NEAR(mid.YawRate, 2.0, 1e-9);
    EXPECT_NEAR(mid.Bank, 5.0, 1e-9);
    EXPECT_NEAR(mid.RollRate, 1.0, 1e-9);
    // Second segment: its own rates.
    EXPECT_NEAR(SampleTrack(track, 15).RollRate, -1.0, 1e-9);
    // Before the start and past the end the nearest row is held.
    EXPECT_NEAR(SampleTrack(track, -3).Heading, 350.0, 1e-9);
    EXPECT_NEAR(SampleTrack(track, 99).Heading, 20.0, 1e-9);
}

TEST(ClientTrack, InstrumentAndPropellerMessages) {
    Track track;
    std::string error;
    ASSERT_TRUE(
        ParseTrackText("0 47 8 1000 0 0 0 100 271.6 3281 500 1.5 -0.5 0 0 0 1\n"
                       "1 47 8 1000 0 0 0 100 271.6 3281 500 1.5 -0.5 0 0 0 1\n",
                       track, error))
        << error;
    const TrackState s = SampleTrack(track, 0.5);
    std::uint8_t d[MaxMessageLength];

    ASSERT_EQ(Encode(TrackInstruments(s), d), 126u);
    std::int16_t heading;
    std::memcpy(&heading, d + 29, 2);
    EXPECT_EQ(heading, 272);
    float value;
    std::memcpy(&value, d + 106, 4);
    EXPECT_EQ(value, 100.0f);
    std::memcpy(&value, d + 114, 4);
    EXPECT_EQ(value, 500.0f);
    std::memcpy(&value, d + 122, 4);
    EXPECT_EQ(value, -0.5f);

    // Element 3, lever target 1 at byte 53 (unscaled), 1.0 × 16384 at byte 32.
    ASSERT_EQ(Encode(TrackPropeller(s, 3), d), 56u);
    EXPECT_EQ(d[24], 0);
    EXPECT_EQ(d[25], 3);
    std::int16_t lever;
    std::memcpy(&lever, d + 53, 2);
    EXPECT_EQ(lever, 1);
    std::memcpy(&lever, d + 32, 2);
    EXPECT_EQ(lever, 16384);
    EXPECT_EQ(TrackPropeller(s, 0).EngineNumber, 0);
}

TEST(ClientTrack, ShippedExampleParses) {
    Track track;
    std::string error;
    ASSERT_TRUE(LoadTrack((SourceRoot / "client/tracks/example.txt").string(), track, error))
        << error;
    EXPECT_TRUE(track.HasPropellers);
    EXPECT_GE(track.Duration(), 30.0);
}

// ---------------------------------------------------------------- scenario --

// circuit.txt is flown by demo_run; forty.txt fills every slot.
TEST(ClientScenario, ShippedFortyFillsEverySlot) {
    Scenario forty;
    std::string error;
    ASSERT_TRUE(LoadScenario((SourceRoot / "client/scenarios/forty.txt").string(), forty, error))
        << error;
    ASSERT_EQ(forty.Aircraft.size(), 40u);
    std::set<int> slots;
    for (const ScenarioAircraft& a : forty.Aircraft) slots.insert(a.Slot);
    EXPECT_EQ(slots.size(), 40u);
    EXPECT_EQ(*slots.begin(), 1);
    EXPECT_EQ(*slots.rbegin(), 40);
}

TEST(ClientScenario, QuotedFieldsAndPathForms) {
    Scenario s;
    std::string error;
    ASSERT_TRUE(
        ParseScenarioText("3 N1 \"Big \\\"Al\\\"\" \"My Model\" line 47 8 90 50 1000 # comment\n"
                          "4 N2 \"\" M hold 47 8 450 ground\n"
                          "5 N3 X M hold 47 8 450 180\n"
                          "6 N4 X M circle 47 8 1000 900 50 ccw\n",
                          s, error))
        << error;
    ASSERT_EQ(s.Aircraft.size(), 4u);
    EXPECT_EQ(s.Aircraft[0].DisplayName, "Big \"Al\"");
    EXPECT_EQ(s.Aircraft[0].ModelName, "My Model");
    EXPECT_EQ(s.Aircraft[1].DisplayName, "");
    EXPECT_TRUE(s.Aircraft[1].OnGround);
    EXPECT_EQ(s.Aircraft[2].Heading, 180.0);
    EXPECT_FALSE(s.Aircraft[2].OnGround);
    EXPECT_FALSE(s.Aircraft[3].Clockwise);
}

TEST(ClientScenario, RejectsBadLinesNamingTheLine) {
    const std::string ok = "1 N1 A M hold 47 8 1000\n";
    EXPECT_EQ(ScenarioError(ok + "41 N2 A M hold 47 8 1000\n"),
              "line 2: slot must lie within 1..40");
    EXPECT_EQ(ScenarioError("0 N2 A M hold 47 8 1000\n"), "line 1: slot must lie within 1..40");
    EXPECT_EQ(ScenarioError("1.5 N2 A M hold 47 8 1000\n"),
              "line 1: slot must be a whole number 1..40");
    EXPECT_EQ(ScenarioError(ok + "1 N2 A M hold 47 8 1000\n"), "line 2: slot 1 is used twice");
    EXPECT_EQ(ScenarioError(ok + "\n# note\n2 N2 A M spiral 47 8\n"),
              "line 4: path must be circle, line or hold, not 'spiral'");
    EXPECT_EQ(ScenarioError("1 N1 \"Alpha M hold 47 8 1000\n"),
              "line 1: a quoted field is not closed");
    EXPECT_EQ(ScenarioError("1 " + std::string(40, 'T') + " A M hold 47 8 1000\n"),
              "line 1: tail number is longer than 39 bytes");
    EXPECT_EQ(ScenarioError("1 N1 " + std::string(20, 'D') + " M hold 47 8 1000\n"),
              "line 1: display name is longer than 19 bytes");
    EXPECT_EQ(ScenarioError("1 N1 A M circle 47 8 1000 900 50\n"),
              "line 1: circle takes LAT LON RADIUS_M ALT_M SPEED_MS cw|ccw [START_BEARING]");
    EXPECT_EQ(ScenarioError("1 N1 A M circle 47 8 1000 900 50 left\n"),
              "line 1: direction must be cw or ccw (1 or 0), not 'left'");
    EXPECT_EQ(ScenarioError("1 N1 A M circle 47 8 0 900 50 cw\n"),
              "line 1: radius must lie within 1..100000");
    EXPECT_EQ(ScenarioError("1 N1 A M hold 47 8 1000 90 parked\n"),
              "line 1: expected 'ground' after the heading, not 'parked'");
    EXPECT_EQ(ScenarioError("1 N1 A M\n"),
              "line 1: expected SLOT TAIL NAME MODEL PATH ..., got 4 fields");
    EXPECT_EQ(ScenarioError("# nothing here\n"), "the scenario names no aircraft");
}

TEST(ClientScenario, CirclesKeepTheirRadiusAndBankIntoTheTurn) {
    ScenarioAircraft a;
    a.Slot = 3;
    a.Path = PathKind::Circle;
    a.Latitude = 47.0;
    a.Longitude = 8.0;
    a.Radius = 1000;
    a.Altitude = 1000;
    a.Speed = 50;
    a.Clockwise = true;

    // Starting due north of the centre, flying clockwise means flying east.
    PositionReport p = ScenarioPosition(a, 0, 10.0);
    EXPECT_EQ(p.AircraftIndex, 3);
    EXPECT_EQ(p.Time, 10.0);
    EXPECT_NEAR(p.Latitude, 47.0 + 1000 / 111195.0, 1e-6);
    EXPECT_NEAR(p.Heading, 90.0, 1e-4);
    EXPECT_NEAR(p.VelocityX, 50.0, 1e-3);
    EXPECT_NEAR(p.VelocityZ, 0.0, 1e-3);
    EXPECT_NEAR(p.Bank, std::atan(2500.0 / (1000 * 9.80665)) * 180 / 3.14159265, 1e-3);
    EXPECT_GT(p.YawRate, 0);
    EXPECT_EQ(p.RadioAltitude, -1.0f);
    EXPECT_EQ(p.PositionFlags, 0);
    // Centripetal acceleration points back at the centre: south, i.e. +z.
    EXPECT_NEAR(p.AccelZ, 2.5, 1e-3);

    // A quarter lap later it is due east, heading south.
    const double quarter = 3.14159265358979 * 1000 / 2 / 50;
    p = ScenarioPosition(a, quarter, 11.0);
    EXPECT_NEAR(p.Latitude, 47.0, 1e-6);
    EXPECT_GT(p.Longitude, 8.0);
    EXPECT_NEAR(p.Heading, 180.0, 1e-3);
    EXPECT_NEAR(p.VelocityZ, 50.0, 1e-3);
    for (double t = 0; t < 200; t += 7.3)
        EXPECT_NEAR(DistanceMetres(47.0, 8.0, ScenarioPosition(a, t, t).Latitude,
                                   ScenarioPosition(a, t, t).Longitude),
                    1000.0, 0.5);

    a.Clockwise = false;
    p = ScenarioPosition(a, 0, 1.0);
    EXPECT_NEAR(p.Heading, 270.0, 1e-4);
    EXPECT_LT(p.Bank, 0);
    EXPECT_LT(p.YawRate, 0);
}

TEST(ClientScenario, LinesAndHolds) {
    ScenarioAircraft a;
    a.Slot = 1;
    a.Path = PathKind::Line;
    a.Latitude = 47.0;
    a.Longitude = 8.0;
    a.Heading = 90;
    a.Speed = 50;
    a.Altitude = 1200;
    const PositionReport p = ScenarioPosition(a, 10, 1.0);
    EXPECT_NEAR(DistanceMetres(47.0, 8.0, p.Latitude, p.Longitude), 500.0, 0.1);
    EXPECT_NEAR(p.Latitude, 47.0, 1e-9);
    EXPECT_NEAR(p.VelocityX, 50.0, 1e-4);
    EXPECT_EQ(p.Bank, 0.0f);

    a.Path = PathKind::Hold;
    a.OnGround = true;
    const PositionReport g = ScenarioPosition(a, 10, 1.0);
    EXPECT_EQ(g.Latitude, 47.0);
    EXPECT_EQ(g.RadioAltitude, 0.0f);
    EXPECT_EQ(g.PositionFlags, 0x03);
    EXPECT_EQ(g.VelocityX, 0.0f);
}

TEST(ClientScenario, RandomTextGivesAnErrorOrAValidResultNeverACrash) {
    // Fragments of real lines mixed with noise reach deep into both parsers.
    const char* const pieces[] = {"1",   "40",      "41",     "-3",   "47.0", "8",      "1e308",
                                  "nan", "\"",      "\\",     "#",    " ",    "  ",     "\t",
                                  "\n",  "\r\n",    "circle", "line", "hold", "ground", "cw",
                                  "ccw", "\"a b\"", "\xC3",   "\0",   "x"};
    std::mt19937 random(5);
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const int count = static_cast<int>(random() % 40);
        for (int i = 0; i < count; ++i)
            text += random() % 4 ? std::string(pieces[random() % (sizeof pieces / sizeof *pieces)])
                                 : std::string(1, static_cast<char>(random()));
        Scenario scenario;
        Track track;
        std::string error;
        if (ParseScenarioText(text, scenario, error)) {
            for (const ScenarioAircraft& a : scenario.Aircraft) {
                EXPECT_GE(a.Slot, 1);
                EXPECT_LE(a.Slot, 40);
                EXPECT_LT(a.TailNumber.size(), 40u);
            }
        } else {
            EXPECT_FALSE(error.empty());
        }
        if (!ParseTrackText(text, track, error)) {
            EXPECT_FALSE(error.empty());
        }
    }
}
