// Track and scenario files of the reference client (its slot folders and
// poor network: ClientInjectTest.cpp).

#include <cmath>
#include <filesystem>
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

extern const char* const VelmirSourceDir;  // generated beside the objects

namespace {

const std::filesystem::path SourceRoot = VelmirSourceDir;

bool ParseText(const std::string& text, Track& track, std::string& error) {
    std::istringstream in(text);
    return ParseTrack(in, track, error);
}

bool ParseText(const std::string& text, Scenario& scenario, std::string& error) {
    std::istringstream in(text);
    return ParseScenario(in, scenario, error);
}

// What a file that must parse holds.
template <class T>
T Parsed(const std::string& text) {
    T parsed;
    std::string error;
    EXPECT_TRUE(ParseText(text, parsed, error)) << error;
    return parsed;
}

// Why a file that must not parse is refused.
template <class T>
std::string ErrorOf(const std::string& text) {
    T parsed;
    std::string error;
    EXPECT_FALSE(ParseText(text, parsed, error)) << text;
    return error;
}

// The only aircraft of a one-line scenario.
ScenarioAircraft Aircraft(const std::string& line) {
    const Scenario s = Parsed<Scenario>(line);
    return s.Aircraft.empty() ? ScenarioAircraft() : s.Aircraft[0];
}

double DistanceMetres(double lat0, double lon0, double lat1, double lon1) {
    double north = 0, east = 0;
    MetresBetween(lat0, lon0, lat1, lon1, north, east);
    return std::hypot(north, east);
}

}  // namespace

// ---------------------------------------------------------------- numbers --

TEST(ClientNumbers, WholeTokensOnlyAndNoSurprisingBases) {
    const std::pair<const char*, long long> good[] = {
        {"010", 10}, {"08", 8}, {"0x1F", 31}, {"-0x10", -16}};
    for (const auto& [text, want] : good) {
        long long v = 0;
        EXPECT_TRUE(ParseInteger(text, -100, 100, v)) << text;
        EXPECT_EQ(v, want) << text;
    }
    long long v = 0;
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
    Track track = Parsed<Track>("# header\n\n0 47 8 1000 0 0 0  # start\n10 47.01 8 1000 0 0 0\n");
    EXPECT_EQ(track.Rows.size(), 2u);
    EXPECT_FALSE(track.HasInstruments);
    EXPECT_EQ(track.Rows[1].Line, 4);
    EXPECT_DOUBLE_EQ(track.Duration(), 10.0);

    track = Parsed<Track>(
        "0 47 8 1000 0 0 0 100 90 3281 0 0 0 0.1 0.2 0.3 0.4\n"
        "1 47 8 1000 0 0 0 100 90 3281 0 0 0 0.1 0.2 0.3 0.4\r\n");
    EXPECT_TRUE(track.HasInstruments);
    EXPECT_TRUE(track.HasPropellers);
    ASSERT_EQ(track.Rows.size(), 2u);
    EXPECT_DOUBLE_EQ(track.Rows[0].Propellers[3], 0.4);
}

TEST(ClientTrack, RejectsBadFilesNamingTheLine) {
    const std::string row = "0 47 8 1000 0 0 0\n";
    const std::pair<std::string, const char*> cases[] = {
        {row + "1 47 x 1000 0 0 0\n", "line 2: column lon: 'x' is not a finite number"},
        {"0 47 8 1000 0 0 0 1\n", "line 1: a row has 7, 13 or 17 columns, this one has 8"},
        {row + "1 47 8 1000 0 0 0 1 2 3 4 5 6\n", "line 2: has 13 columns, earlier rows have 7"},
        {row + row, "line 2: t must be greater than on the row before"},
        {"0 91 8 1000 0 0 0\n1 47 8 1000 0 0 0\n", "line 1: latitude must lie within -90..90"},
        {"0 47 8 nan 0 0 0\n" + row, "line 1: column alt_m: 'nan' is not a finite number"},
        {"# only a comment\n" + row, "a track needs at least two rows"},
        {std::string(5000, '1') + "\n", "line 1: line longer than 4096 bytes"},
        {"", "a track needs at least two rows"},
    };
    for (const auto& [text, error] : cases) EXPECT_EQ(ErrorOf<Track>(text), error) << text;

    Track track;
    std::string error;
    EXPECT_FALSE(LoadTrack("/nonexistent/track.txt", track, error));
    EXPECT_NE(error.find("cannot open"), std::string::npos);
}

TEST(ClientTrack, VelocityComesFromConsecutiveRowsInTheLocalFrame) {
    // 0.01° north in 10 s at 47°N: about 111.2 m/s northward, 10 m/s climb.
    const Track up = Parsed<Track>("0 47.00 8 1000 0 0 0\n10 47.01 8 1100 0 0 0\n");
    const PositionReport north = TrackPosition(SampleTrack(up, 5), 100.0);
    EXPECT_NEAR(north.VelocityZ, -111.19, 0.05);  // +z is south
    EXPECT_NEAR(north.VelocityX, 0.0, 1e-6);
    EXPECT_NEAR(north.VelocityY, 10.0, 1e-4);
    EXPECT_NEAR(north.Latitude, 47.005, 1e-9);
    EXPECT_NEAR(north.Altitude, 1050.0, 1e-9);
    EXPECT_EQ(north.AircraftIndex, 0);
    EXPECT_EQ(north.Time, 100.0);
    EXPECT_EQ(north.RadioAltitude, -1.0f);

    // 0.02° east at 60°N over 10 s: cos 60° halves it to about 111.2 m/s.
    const Track across = Parsed<Track>("0 60 8.00 1000 0 0 90\n10 60 8.02 1000 0 0 90\n");
    const PositionReport east = TrackPosition(SampleTrack(across, 1), 1.0);
    EXPECT_NEAR(east.VelocityX, 111.19, 0.05);
    EXPECT_NEAR(east.VelocityZ, 0.0, 1e-3);
}

TEST(ClientTrack, HeadingsTurnTheShortWayAndHoldAtTheEnds) {
    const Track track =
        Parsed<Track>("0 47 8 1000 0 0 350\n10 47 8 1000 0 10 10\n20 47 8 1000 0 0 20\n");
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

// The fields the messages carry them in (where those sit: ClientTest.cpp).
TEST(ClientTrack, InstrumentAndPropellerMessages) {
    const std::string row = "47 8 1000 0 0 0 100 271.6 3281 500 1.5 -0.5 0 0 0 1\n";
    const TrackState s = SampleTrack(Parsed<Track>("0 " + row + "1 " + row), 0.5);
    const AircraftStateReport instruments = TrackInstruments(s);
    EXPECT_EQ(instruments.HeadingIndicator, 272);
    EXPECT_EQ(instruments.IndicatedAirspeed, 100.0f);
    EXPECT_EQ(instruments.VerticalSpeed, 500.0f);
    EXPECT_EQ(instruments.Slip, -0.5f);

    // Element 3, lever target 1 unscaled, and 1.0 × 16384 as the ratio.
    const PistonEngineReport propeller = TrackPropeller(s, 3);
    EXPECT_EQ(propeller.AircraftIndex, 0);
    EXPECT_EQ(propeller.EngineNumber, 3);
    EXPECT_EQ(propeller.EngineRpm, 1);
    EXPECT_EQ(propeller.Propeller, 16384);
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
    const Scenario s = Parsed<Scenario>(
        "3 N1 \"Big \\\"Al\\\"\" \"My Model\" line 47 8 90 50 1000 # comment\n"
        "4 N2 \"\" M hold 47 8 450 ground\n"
        "5 N3 X M hold 47 8 450 180\n"
        "6 N4 X M circle 47 8 1000 900 50 ccw\n");
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
    const std::string ok = "1 N1 A M hold 47 8 1000\n", circle = "1 N1 A M circle 47 8 ";
    const std::pair<std::string, const char*> cases[] = {
        {ok + "41 N2 A M hold 47 8 1000\n", "line 2: slot must lie within 1..40"},
        {"0 N2 A M hold 47 8 1000\n", "line 1: slot must lie within 1..40"},
        {"1.5 N2 A M hold 47 8 1000\n", "line 1: slot must be a whole number 1..40"},
        {ok + "1 N2 A M hold 47 8 1000\n", "line 2: slot 1 is used twice"},
        {ok + "\n# note\n2 N2 A M spiral 47 8\n",
         "line 4: path must be circle, line or hold, not 'spiral'"},
        {"1 N1 \"Alpha M hold 47 8 1000\n", "line 1: a quoted field is not closed"},
        {"1 " + std::string(40, 'T') + " A M hold 47 8 1000\n",
         "line 1: tail number is longer than 39 bytes"},
        {"1 N1 " + std::string(20, 'D') + " M hold 47 8 1000\n",
         "line 1: display name is longer than 19 bytes"},
        {circle + "1000 900 50\n",
         "line 1: circle takes LAT LON RADIUS_M ALT_M SPEED_MS cw|ccw [START_BEARING]"},
        {circle + "1000 900 50 left\n", "line 1: direction must be cw or ccw (1 or 0), not 'left'"},
        {circle + "0 900 50 cw\n", "line 1: radius must lie within 1..100000"},
        {"1 N1 A M hold 47 8 1000 90 parked\n",
         "line 1: expected 'ground' after the heading, not 'parked'"},
        {"1 N1 A M\n", "line 1: expected SLOT TAIL NAME MODEL PATH ..., got 4 fields"},
        {"# nothing here\n", "the scenario names no aircraft"},
    };
    for (const auto& [text, error] : cases) EXPECT_EQ(ErrorOf<Scenario>(text), error) << text;
}

TEST(ClientScenario, CirclesKeepTheirRadiusAndBankIntoTheTurn) {
    ScenarioAircraft a = Aircraft("3 N1 A M circle 47 8 1000 1000 50 cw");
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
    ScenarioAircraft a = Aircraft("1 N1 A M line 47 8 90 50 1200");
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
        if (ParseText(text, scenario, error)) {
            for (const ScenarioAircraft& a : scenario.Aircraft) {
                EXPECT_GE(a.Slot, 1);
                EXPECT_LE(a.Slot, 40);
                EXPECT_LT(a.TailNumber.size(), 40u);
            }
        } else {
            EXPECT_FALSE(error.empty());
        }
        if (!ParseText(text, track, error)) {
            EXPECT_FALSE(error.empty());
        }
    }
}
