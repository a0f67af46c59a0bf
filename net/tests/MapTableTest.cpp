// The map's table: what it accepts from the network, what it forgets, what
// the page is told changed.
#include <gtest/gtest.h>

#include <vector>

#include "net/web/MapTable.h"

namespace velmir::net {
namespace {

std::vector<std::uint8_t> SampleBytes(double lat, double lon, std::uint16_t seq = 1, float vx = 0,
                                      float vz = 0) {
    Sample s;
    s.Sequence = seq;
    s.Report.Time = 100.0;
    s.Report.Latitude = lat;
    s.Report.Longitude = lon;
    s.Report.Altitude = 3048.0;
    s.Report.Heading = 90.0f;
    s.Report.VelocityX = vx;
    s.Report.VelocityZ = vz;
    std::vector<std::uint8_t> out(SampleLayout::Length);
    EncodeSample(s, out.data());
    return out;
}

std::vector<std::uint8_t> IdentityBytes(const std::string& callsign, const std::string& tail) {
    Identity who{callsign, "Name", tail, "Aircraft/Test/Cub.acf", 0};
    std::vector<std::uint8_t> out(IdentityLayout::Length);
    EncodeIdentity(who, out.data());
    return out;
}

void Send(MapTable& t, const std::string& topic, const std::vector<std::uint8_t>& bytes,
          double now) {
    t.OnMessage(topic, bytes.data(), bytes.size(), now);
}

nlohmann::json Find(const nlohmann::json& pilots, const std::string& callsign) {
    for (const auto& p : pilots)
        if (p["callsign"] == callsign) return p;
    return nullptr;
}

TEST(MapTable, ShowsAValidPilotWithItsIdentityOriginAndMotion) {
    MapTable t;
    Send(t, "velmir/v1/eu-west/id/ABC1", IdentityBytes("ABC1", "D-EABC"), 0);
    // 100 m/s north-east in the plugin's frame: x east, z south.
    Send(t, "velmir/v1/eu-west/pos/47_8/ABC1", SampleBytes(47.5, 8.5, 7, 70.7107f, -70.7107f), 1);
    const nlohmann::json p = Find(t.Snapshot(3.5), "ABC1");
    ASSERT_FALSE(p.is_null());
    EXPECT_EQ(p["tail"], "D-EABC");
    EXPECT_EQ(p["origin"], "eu-west");
    EXPECT_DOUBLE_EQ(p["lat"].get<double>(), 47.5);
    EXPECT_NEAR(p["alt_ft"].get<double>(), 10000, 1);
    EXPECT_NEAR(p["gs_kt"].get<double>(), 194.4, 0.1);
    EXPECT_NEAR(p["track_deg"].get<double>(), 45.0, 0.1);
    EXPECT_NEAR(p["age_ms"].get<double>(), 2500, 1);
    EXPECT_FALSE(p.contains("slot"));  // only join's page has slots
}

TEST(MapTable, RefusesWhatJoinRefuses) {
    MapTable t;
    Send(t, "velmir/v1/local/pos/10_10/ABC1", SampleBytes(47.5, 8.5), 0);      // wrong cell
    Send(t, "velmir/v1/local/pos/47_8/abc", SampleBytes(47.5, 8.5), 0);        // bad callsign
    Send(t, "velmir/v1/local/pos-20/238_42/ABC1", SampleBytes(47.5, 8.5), 0);  // its 0.2° cell
    std::vector<std::uint8_t> shortSample = SampleBytes(47.5, 8.5);
    shortSample.pop_back();
    Send(t, "velmir/v1/local/pos/47_8/ABC1", shortSample, 0);
    Send(t, IdentityTopic("ABC1"), IdentityBytes("XYZ", "D-EABC"), 0);  // names another
    EXPECT_EQ(t.Size(), 0u);
    EXPECT_EQ(t.Dropped(), 5u);
    EXPECT_EQ(t.DroppedBy()[static_cast<int>(DropReason::WrongCell)], 2u);
    EXPECT_EQ(t.DroppedBy()[static_cast<int>(DropReason::CallsignMismatch)], 1u);
}

TEST(MapTable, ForgetsPilotsThatLeaveOrFallSilent) {
    MapTable t;
    Send(t, "velmir/v1/local/pos/47_8/ABC1", SampleBytes(47.5, 8.5), 0);
    Send(t, "velmir/v1/local/pos/47_8/DEF2", SampleBytes(47.5, 8.5), 0);
    t.Changes(0);
    const std::vector<std::uint8_t> cleared;
    Send(t, IdentityTopic("ABC1"), cleared, 1);  // cleared identity: gone at once
    EXPECT_EQ(t.Size(), 1u);
    Send(t, "velmir/v1/local/pos/47_8/DEF2", SampleBytes(47.5, 8.5, 2), 5);
    t.Expire(5 + MapLimits{}.SilenceSeconds - 0.1);
    EXPECT_EQ(t.Size(), 1u);
    t.Expire(5 + MapLimits{}.SilenceSeconds + 0.1);
    EXPECT_EQ(t.Size(), 0u);
    const nlohmann::json c = t.Changes(20);
    EXPECT_EQ(c["remove"], nlohmann::json({"ABC1", "DEF2"}));
    EXPECT_TRUE(c["upsert"].empty());
}

TEST(MapTable, ChangesCarryOnlyWhatChanged) {
    MapTable t;
    Send(t, "velmir/v1/local/pos/47_8/ABC1", SampleBytes(47.5, 8.5, 1), 0);
    Send(t, "velmir/v1/local/pos/47_8/DEF2", SampleBytes(47.5, 8.5, 1), 0);
    EXPECT_EQ(t.Changes(0)["upsert"].size(), 2u);
    EXPECT_TRUE(t.Changes(1)["upsert"].empty());
    Send(t, "velmir/v1/local/pos/47_8/DEF2", SampleBytes(47.6, 8.5, 2), 1);
    nlohmann::json c = t.Changes(2);
    ASSERT_EQ(c["upsert"].size(), 1u);
    EXPECT_EQ(c["upsert"][0]["callsign"], "DEF2");
    // An identity arriving later changes the pilot too.
    Send(t, IdentityTopic("ABC1"), IdentityBytes("ABC1", "N123"), 2);
    c = t.Changes(3);
    ASSERT_EQ(c["upsert"].size(), 1u);
    EXPECT_EQ(c["upsert"][0]["tail"], "N123");
    // Gone and back within one second: the page gets it as present.
    Send(t, IdentityTopic("ABC1"), {}, 3);
    Send(t, "velmir/v1/local/pos/47_8/ABC1", SampleBytes(47.5, 8.5, 3), 3);
    c = t.Changes(4);
    EXPECT_TRUE(c["remove"].empty());
    ASSERT_EQ(c["upsert"].size(), 1u);
    EXPECT_TRUE(c["upsert"][0]["tail"].is_null());
}

TEST(MapTable, StaysWithinItsBounds) {
    MapLimits limits;
    limits.MaxPilots = 3;
    limits.MaxIdentities = 2;
    MapTable t(limits);
    for (const char* c : {"A1", "A2", "A3", "A4"}) {
        Send(t, std::string("velmir/v1/local/pos/47_8/") + c, SampleBytes(47.5, 8.5), 0);
        Send(t, IdentityTopic(c), IdentityBytes(c, "T"), 0);
    }
    EXPECT_EQ(t.Size(), 3u);
    EXPECT_EQ(t.Refused(), 3u);  // one position, two identities
    // A known pilot still moves when the table is full.
    Send(t, "velmir/v1/local/pos/47_8/A1", SampleBytes(47.7, 8.5, 2), 1);
    EXPECT_DOUBLE_EQ(Find(t.Snapshot(1), "A1")["lat"].get<double>(), 47.7);
}

TEST(MapTable, JoinModeMarksTheOwnAircraftAndSlots) {
    MapTable t;
    Send(t, "velmir/v1/local/pos/47_8/OWN", SampleBytes(47.5, 8.5), 0);
    Send(t, "velmir/v1/local/pos/47_8/ABC1", SampleBytes(47.5, 8.5), 0);
    t.SetOwn("OWN");
    t.SetSlots({{"ABC1", 3}});
    t.Changes(0);
    nlohmann::json s = t.Snapshot(0);
    EXPECT_EQ(Find(s, "OWN")["own"], true);
    EXPECT_TRUE(Find(s, "OWN")["slot"].is_null());
    EXPECT_EQ(Find(s, "ABC1")["slot"], 3);
    t.SetSlots({});  // losing its slot is a change the page must hear of
    const nlohmann::json c = t.Changes(1);
    ASSERT_EQ(c["upsert"].size(), 1u);
    EXPECT_TRUE(c["upsert"][0]["slot"].is_null());
}

// Another region can neither clear nor move a pilot that one region holds,
// and a retained sample is never shown.
TEST(MapTable, ARegionCannotClearOrMoveAnotherRegionsPilot) {
    MapTable t;
    Send(t, "velmir/v1/a/id/REAL", IdentityBytes("REAL", "HB-REA"), 0);
    Send(t, "velmir/v1/a/pos/47_8/REAL", SampleBytes(47.5, 8.5), 0);
    for (int i = 0; i < 10; ++i) t.OnMessage("velmir/v1/b/id/REAL", nullptr, 0, 1);
    Send(t, "velmir/v1/b/id/REAL", IdentityBytes("REAL", "FAKE"), 1);
    Send(t, "velmir/v1/b/pos/46_7/REAL", SampleBytes(46.5, 7.5, 2), 1);
    const nlohmann::json p = Find(t.Snapshot(1), "REAL");
    ASSERT_FALSE(p.is_null());
    EXPECT_EQ(p["tail"], "HB-REA");
    EXPECT_DOUBLE_EQ(p["lat"].get<double>(), 47.5);
    EXPECT_TRUE(t.Changes(1)["remove"].empty());

    const std::vector<std::uint8_t> ghost = SampleBytes(46.5, 7.5);
    t.OnMessage("velmir/v1/a/pos/46_7/GHOST", ghost.data(), ghost.size(), 2, true);
    EXPECT_TRUE(Find(t.Snapshot(2), "GHOST").is_null());
}

}  // namespace
}  // namespace velmir::net
