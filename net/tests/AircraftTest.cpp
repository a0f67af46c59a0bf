// What a pilot says about its aircraft (type from the .acf file, operator,
// livery) and the gear its slot is baked with: when a far pilot's slot is
// filled again with the other gear, and that a near one never is.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <string>
#include <vector>

#include "net/pilot/Aircraft.h"
#include "net/pilot/Gear.h"
#include "net/pilot/Pilot.h"
#include "net/tests/NullPorts.h"
#include "net/tests/OwnPilot.h"

namespace velmir::net {
namespace {

namespace fs = std::filesystem;

class AcfFile : public ::testing::Test {
  protected:
    fs::path dir = fs::temp_directory_path() / ("velmir-acf-" + std::to_string(::getpid()));
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }
    std::string Write(const std::string& text) {
        const fs::path p = dir / "plane.acf";
        std::ofstream(p, std::ios::binary) << text;
        return p.string();
    }
    // A plausible file: header, many properties sorting before acf/, then ours.
    static std::string Acf(const std::string& icaoLine, int before = 20000) {
        std::string text = "I\n1100 Version\nACF\n";
        for (int i = 0; i < before; ++i)
            text += "P _engn/" + std::to_string(i) + "/_rpm 2500.000000\n";
        return text + icaoLine + "P acf/_name Boeing 737-800\n";
    }
};

TEST_F(AcfFile, TypeIsReadFromItsPropertyLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"P acf/_ICAO B738\n", "B738"},
        {"P acf/_ICAO b738\r\n", "B738"},  // saved on Windows, lower case
        {"P acf/_ICAO   A20N  \n", "A20N"},
        {"P acf/_ICAO\n", ""},           // no value
        {"P acf/_ICAO_old B738\n", ""},  // another property
        {"P acf/_ICAO B7 38\n", ""},     // not a designator
        {"P acf/_ICAO B\x1b[2J\n", ""},  // control bytes
        {"P acf/_ICAO B73800\n", ""},    // too long
        {"", ""},                        // none at all
    };
    for (const auto& [line, type] : cases) {
        std::string error;
        EXPECT_EQ(ReadAcfIcaoType(Write(Acf(line)), error), type) << line;
    }
}

TEST_F(AcfFile, ReadingIsBounded) {
    std::string error;
    // The property beyond the byte limit is not found.
    const std::string far = Acf("P acf/_ICAO B738\n", 20000);
    EXPECT_EQ(ReadAcfIcaoType(Write(far), error, 100000), "");
    EXPECT_EQ(ReadAcfIcaoType(Write(far), error, far.size()), "B738");
    // A line over 4 KiB is skipped whole, even when it starts like ours.
    EXPECT_EQ(ReadAcfIcaoType(Write("P acf/_ICAO B738" + std::string(5000, ' ') + "\n"), error),
              "");
    // The last line needs no newline.
    EXPECT_EQ(ReadAcfIcaoType(Write("I\n1100 Version\nACF\nP acf/_ICAO C172"), error), "C172");
    error.clear();
    EXPECT_EQ(ReadAcfIcaoType((dir / "missing.acf").string(), error), "");
    EXPECT_NE(error.find("missing.acf"), std::string::npos);
}

TEST(OwnAircraft, CodesAreChecked) {
    for (const char* good : {"B738", "C172", "A20N", "J3"})
        EXPECT_TRUE(IsValidIcaoType(good)) << good;
    for (const char* bad : {"", "B", "B7380", "b738", "7378", "B73-", "B 38"})
        EXPECT_FALSE(IsValidIcaoType(bad)) << bad;
    EXPECT_TRUE(IsValidAirline("SWR"));
    for (const char* bad : {"", "SW", "SWRX", "swr", "SW1"})
        EXPECT_FALSE(IsValidAirline(bad)) << bad;
    for (const char* good : {"HB-JLT", "Swiss Star Alliance", "A"})
        EXPECT_TRUE(IsValidLivery(good)) << good;
    for (const std::string& bad :
         {std::string(), std::string(40, 'A'), std::string(" HB"), std::string("HB "),
          std::string("HB\tJ"), std::string("\xc3\xa9")})
        EXPECT_FALSE(IsValidLivery(bad)) << bad;
    const std::pair<const char*, const char*> callsigns[] = {
        {"SWR123", "SWR"}, {"EZY45TF", "EZY"}, {"swr1", "SWR"}, {"HBJLT", ""},
        {"N123AB", ""},    {"SW1234", ""},     {"SWR", ""},     {"SW-12", ""}};
    for (const auto& [callsign, airline] : callsigns)
        EXPECT_EQ(AirlineFromCallsign(callsign), airline) << callsign;
}

// What our version-2 identity says, from options, the aircraft file, the
// callsign and the tail number.
TEST(OwnAircraft, PublishedFromOptionsElseFileCallsignAndTail) {
    struct Capture : NetworkPort {
        std::vector<std::uint8_t> Second;
        bool Publish(const std::string& t, const std::uint8_t* d, std::size_t n, int,
                     bool) override {
            if (t.find("/id2/") != std::string::npos) Second.assign(d, d + n);
            return true;
        }
        void Subscribe(const std::string&, int) override {}
        void Unsubscribe(const std::string&) override {}
    };
    struct Case {
        const char *Callsign, *Icao, *Airline, *Livery, *FileType, *Tail;
        const char *WantType, *WantAirline, *WantLivery;
    };
    const Case cases[] = {
        {"SWR123", "", "", "", "B738", "HB-JLT", "B738", "SWR", "HB-JLT"},
        {"SWR123", "A320", "EZY", "easyJet orange", "B738", "HB-JLT", "A320", "EZY",
         "easyJet orange"},
        {"N123AB", "", "", "", "", "N123AB", "", "", "N123AB"},
        {"HBJLT", "", "", "", "b738", "HB-JLT ", "", "", ""},  // checked before publishing
    };
    for (const Case& c : cases) {
        Capture network;
        NullPlugin plugin;
        PilotOptions o;
        o.Callsign = c.Callsign;
        o.IcaoType = c.Icao;
        o.Airline = c.Airline;
        o.Livery = c.Livery;
        std::string asked;
        o.ReadType = [&](const std::string& path) {
            asked = path;
            return std::string(c.FileType);
        };
        Pilot pilot(o, network, plugin);
        client::ModelReport model;
        model.TailNumber = c.Tail;
        model.ModelName = "Aircraft/737/b738.acf";
        pilot.OnOwnModel(model);
        Identity back;
        ASSERT_EQ(network.Second.size(), 388u) << c.Callsign;
        ASSERT_EQ(DecodeIdentity(network.Second.data(), 388, c.Callsign, back), DropReason::None);
        EXPECT_EQ(back.IcaoType, c.WantType) << c.Callsign << " " << c.Icao;
        EXPECT_EQ(back.Airline, c.WantAirline) << c.Callsign << " " << c.Icao;
        EXPECT_EQ(back.Livery, c.WantLivery) << c.Callsign << " " << c.Icao;
        if (*c.Icao == 0) {
            EXPECT_EQ(asked, "Aircraft/737/b738.acf");
        }
    }
}

TEST(NetGear, StateFollowsGroundAndHeight) {
    client::PositionReport r;
    r.Altitude = 3000;      // metres MSL
    r.RadioAltitude = 400;  // 1,312 ft
    EXPECT_EQ(GearFor(r), Gear::Down);
    r.RadioAltitude = 500;  // 1,640 ft
    EXPECT_EQ(GearFor(r), Gear::Up);
    r.PositionFlags = 1;  // on the ground wins over an odd radio altitude
    EXPECT_EQ(GearFor(r), Gear::Down);
    r.PositionFlags = 0;
    r.RadioAltitude = -1;  // unknown: the altitude above sea level
    EXPECT_EQ(GearFor(r), Gear::Up);
    r.Altitude = 300;
    EXPECT_EQ(GearFor(r), Gear::Down);
}

TEST(NetGear, SwapsOnlyAfterThirtySecondsAndBeyondTwoMiles) {
    GearSwitch g;
    g.Filled(Gear::Down);
    double t = 0;
    EXPECT_FALSE(g.Update(Gear::Up, 5, t));
    EXPECT_FALSE(g.Update(Gear::Up, 5, t += 29.9));
    EXPECT_TRUE(g.Update(Gear::Up, 5, t += 0.1));

    // A short change of mind starts the count again.
    g.Filled(Gear::Down);
    EXPECT_FALSE(g.Update(Gear::Up, 5, t = 100));
    EXPECT_FALSE(g.Update(Gear::Down, 5, t += 20));
    EXPECT_FALSE(g.Update(Gear::Up, 5, t += 1));
    EXPECT_FALSE(g.Update(Gear::Up, 5, t += 29));
    EXPECT_TRUE(g.Update(Gear::Up, 5, t += 1));

    // Near, it waits however long; once farther away it swaps at once.
    g.Filled(Gear::Up);
    EXPECT_FALSE(g.Update(Gear::Down, 1.0, t = 200));
    EXPECT_FALSE(g.Update(Gear::Down, 2.0, t += 300));
    EXPECT_TRUE(g.Update(Gear::Down, 2.1, t += 0.1));
}

// Through a pilot: which gear each fill of the slot asked for.
struct GearPlugin : PluginPort {
    bool Baked = true;  // false: the --models map's or built-in objects, the same either way
    std::vector<std::string> Fills;
    std::vector<Identity> Shown;
    void PrepareSlot(int, const Identity&) override { Fills.push_back("plain"); }
    bool PrepareSlotFor(int, const Identity& id, Gear gear) override {
        Fills.push_back(gear == Gear::Down ? "down" : "up");
        Shown.push_back(id);
        return Baked;
    }
    void SendModel(int, const Identity&) override {}
    void SendSample(const client::PositionReport&) override {}
    void RemoveSlot(int) override {}
};

class GearThroughPilot : public OwnPilot<NullNetwork, GearPlugin> {
  protected:
    double clock = 10;

    // SWR1 `nm` north of us at `feet` above the ground, a second later each time.
    void Fly(double nm, double feet) {
        Sample s;
        s.SentAtMicros = WallMicros();
        s.Report.Time = clock += 1;
        s.Report.Latitude = 47.5 + nm / 60.04;
        s.Report.Longitude = 8.5;
        s.Report.Altitude = 500 + feet / client::FeetPerMetre;
        s.Report.RadioAltitude = static_cast<float>(feet / client::FeetPerMetre);
        s.Report.PositionFlags = feet <= 0 ? 1 : 0;
        std::uint8_t b[SampleLayout::Length];
        EncodeSample(s, b);
        now += 1;
        pilot.OnMessage(PositionTopic(CellOf(s.Report.Latitude, 8.5), "SWR1"), b, sizeof b, now,
                        WallMicros());
        pilot.Tick(now);
    }
    void Appear(double nm, double feet) {
        Fly(nm, feet);
        std::uint8_t b[IdentityLayout::Length];
        EncodeIdentity(Identity{"SWR1", "SWR1", "HB-JLT", "b738.acf", 0}, b);
        pilot.OnMessage(IdentityTopic("SWR1"), b, sizeof b, now, WallMicros());
        pilot.Tick(now);
    }
    void Say(const std::string& topic, const Identity& id, bool second) {
        std::vector<std::uint8_t> b(second ? Identity2Layout::Length : IdentityLayout::Length);
        if (second)
            EncodeIdentity2(id, b.data());
        else
            EncodeIdentity(id, b.data());
        pilot.OnMessage(topic, b.data(), b.size(), now, WallMicros());
    }
    static Identity Swiss(const std::string& model = "Aircraft/737/b738.acf") {
        Identity id{"SWR1", "SWR1", "HB-JLT", model, 0};
        id.IcaoType = "B738";
        id.Airline = "SWR";
        id.Livery = "HB-JLT";
        id.Described = true;
        return id;
    }
};

// A new companion publishes version 2 on id2/ and version 1 on id/; an old
// one version 1 alone. Either way the pilot is shown once, and described
// only by a version 2 that agrees with its version 1.
TEST_F(GearThroughPilot, IdentityVersionsMix) {
    Fly(5, 0);
    Say("velmir/v1/local/id2/SWR1", Swiss(), true);
    Say("velmir/v1/local/id/SWR1", Swiss(), false);
    pilot.Tick(now);
    ASSERT_EQ(plugin.Shown.size(), 1u);
    EXPECT_EQ(plugin.Shown[0], Swiss());
    EXPECT_EQ(pilot.View(now).at(0).Type, "B738");

    // Its model changes: version 2 first, held until its version 1 comes.
    Say("velmir/v1/local/id2/SWR1", Swiss("Aircraft/320/a320.acf"), true);
    EXPECT_EQ(plugin.Shown.size(), 1u);
    Say("velmir/v1/local/id/SWR1", Swiss("Aircraft/320/a320.acf"), false);
    ASSERT_EQ(plugin.Shown.size(), 2u);
    EXPECT_EQ(plugin.Shown[1].ModelName, "Aircraft/320/a320.acf");
    EXPECT_TRUE(plugin.Shown[1].Described);

    // Downgraded to an old companion: the version 2 left behind speaks of
    // another aircraft and is not used.
    Say("velmir/v1/local/id/SWR1", Identity{"SWR1", "SWR1", "HB-JLT", "c172.acf", 0}, false);
    ASSERT_EQ(plugin.Shown.size(), 3u);
    EXPECT_FALSE(plugin.Shown[2].Described);
    EXPECT_EQ(pilot.View(now).at(0).Type, "");

    // Version 2 cleared alone is no departure; version 1 on id2/ is refused.
    const std::uint64_t wrongVersion =
        pilot.GetCounters().DroppedBy[static_cast<int>(DropReason::WrongVersion)];
    pilot.OnMessage("velmir/v1/local/id2/SWR1", nullptr, 0, now, WallMicros());
    Say("velmir/v1/local/id2/SWR1", Swiss(), false);
    EXPECT_EQ(pilot.GetCounters().DroppedBy[static_cast<int>(DropReason::WrongVersion)],
              wrongVersion + 1);
    Fly(5, 0);
    now += 5;
    Fly(5, 0);
    EXPECT_EQ(pilot.SlotsUsed(), 1);
    EXPECT_EQ(plugin.Shown.size(), 3u);
}

TEST_F(GearThroughPilot, FarClimberIsFilledAgainWithGearUpAfterThirtySeconds) {
    Appear(5, 0);  // on the runway
    ASSERT_EQ(plugin.Fills, std::vector<std::string>{"down"});
    for (int i = 0; i < 29; ++i) Fly(5, 3000);
    EXPECT_EQ(plugin.Fills.size(), 1u);
    Fly(5, 3000);  // 30 s up now
    Fly(5, 3000);
    EXPECT_EQ(plugin.Fills, (std::vector<std::string>{"down", "up"}));
    for (int i = 0; i < 40; ++i) Fly(5, 3000);
    EXPECT_EQ(plugin.Fills.size(), 2u);  // once
}

TEST_F(GearThroughPilot, NearPilotKeepsItsModelUntilItIsFarther) {
    Appear(1.5, 5000);
    ASSERT_EQ(plugin.Fills, std::vector<std::string>{"up"});
    for (int i = 0; i < 60; ++i) Fly(1.5, 800);  // descending beside us
    EXPECT_EQ(plugin.Fills.size(), 1u);
    Fly(2.5, 800);
    EXPECT_EQ(plugin.Fills, (std::vector<std::string>{"up", "down"}));
}

TEST_F(GearThroughPilot, ObjectsThatDoNotDependOnTheGearAreNotFilledAgain) {
    plugin.Baked = false;
    Appear(5, 0);
    for (int i = 0; i < 60; ++i) Fly(5, 3000);
    EXPECT_EQ(plugin.Fills.size(), 1u);
}

}  // namespace
}  // namespace velmir::net
