// Rate tiers: which samples go where, the cell arithmetic, the topic
// rewrite, and, through an in-memory broker with MQTT wildcard matching,
// the rates a listener really hears at each distance.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "net/pilot/Geo.h"
#include "net/pilot/Pilot.h"
#include "net/pilot/Tiers.h"
#include "net/tests/MemoryBroker.h"
#include "net/tests/NullPorts.h"

namespace velmir::net {
namespace {

TEST(NetTiers, EachSampleGoesToOneTierAndSlowAircraftSendLess) {
    struct Case {
        std::uint16_t Sequence;
        double Speed;
        int Tier;
    };
    const Case cases[] = {
        {0, 50, 0},  {20, 50, 0}, {10, 50, 1}, {30, 50, 1},  {5, 50, 2},   {15, 50, 2},
        {1, 50, 3},  {7, 50, 3},  {0, 8, 0},   {10, 8, 1},   {5, 8, 2},    {3, 8, -1},
        {0, 0.1, 0}, {10, 0, -1}, {5, 0, -1},  {1, 0.4, -1}, {1, 15.0, 3},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TierOfSample(c.Sequence, c.Speed), c.Tier) << c.Sequence << " at " << c.Speed;

    // Twenty seconds at ten a second: 0.5 + 0.5 + 1 + 8 per second, nothing twice.
    int count[4] = {};
    for (int s = 0; s < 200; ++s) ++count[TierOfSample(static_cast<std::uint16_t>(s), 50)];
    EXPECT_EQ(count[0], 10);
    EXPECT_EQ(count[1], 10);
    EXPECT_EQ(count[2], 20);
    EXPECT_EQ(count[3], 160);
}

TEST(NetTiers, CellsTopicsAndEveryTreeParsedByThePilot) {
    EXPECT_EQ(TierCellName(TierCellOf(4, 47.4647, 8.5492)), "189_34");
    EXPECT_EQ(TierCellName(TierCellOf(4, -33.9399, 151.1753)), "-136_604");
    EXPECT_EQ(TierCellName(TierCellOf(4, 10.0, 180.0)), "40_-720");  // wraps to -180
    EXPECT_EQ(TierCellName(TierCellOf(3, 47.4647, 8.5492)), "4746_854");
    EXPECT_EQ(TierCellName(TierCellOf(2, 47.4647, 8.5492)), "949_170");
    EXPECT_EQ(TierCellName(TierCellOf(1, 47.4647, 8.5492)), "237_42");
    EXPECT_EQ(TierCellName(TierCellOf(3, 10.0, 180.0)), "1000_-18000");
    // Just under a whole degree stays in the degree below, as CellOf says.
    EXPECT_EQ(TierCellOf(3, std::nextafter(47.0, 0.0), 8.5).Lat, 4699);
    EXPECT_EQ(TierCellOf(4, std::nextafter(47.0, 0.0), 8.5).Lat, 187);
    EXPECT_EQ(TierCellOf(3, 89.99999, 0.0).Lat, 8999);

    EXPECT_EQ(TierTopic(TierCellOf(4, 47.4647, 8.5492), "AB-1"),
              "velmir/v1/local/p250/189_34/AB-1");
    EXPECT_EQ(TierTopic(TierCellOf(2, 47.4647, 8.5492), "AB-1"),
              "velmir/v1/local/pos-5/949_170/AB-1");
    EXPECT_EQ(TierFilter(TierCellOf(3, -33.9399, 151.1753)), "velmir/v1/+/pos-1/-3394_15117/+");

    // The Pilot reads every tree's topics itself, with the cell in the
    // tree's own units.
    struct Case {
        const char* Topic;
        DropReason Expected;
        int Tree, Lat, Lon;
    };
    const Case cases[] = {
        {"velmir/v1/eu/pos-5/949_170/AB-1", DropReason::None, 2, 949, 170},
        {"velmir/v1/local/pos-1/-3394_15117/X", DropReason::None, 3, -3394, 15117},
        {"velmir/v1/local/pos-20/-1_-1/X", DropReason::None, 1, -1, -1},
        {"velmir/v1/local/pos/47_8/X", DropReason::None, 0, 47, 8},
        {"velmir/v1/local/pos-1/8999_17999/X", DropReason::None, 3, 8999, 17999},
        {"velmir/v1/local/pos-1/-9000_-18000/X", DropReason::None, 3, -9000, -18000},
        {"velmir/v1/local/pos-1/9000_0/X", DropReason::BadCell, 0, 0, 0},  // 90 degrees north
        {"velmir/v1/local/pos-20/0_900/X", DropReason::BadCell, 0, 0, 0},  // 180 degrees east
        {"velmir/v1/local/pos-7/949_170/X", DropReason::BadTopic, 0, 0, 0},
        {"velmir/v1/local/pos-/949_170/X", DropReason::BadTopic, 0, 0, 0},
        {"velmir/v1/local/pos-5/949/X", DropReason::BadCell, 0, 0, 0},
        {"velmir/v1/local/pos-5/0949_170/X", DropReason::BadCell, 0, 0, 0},
        {"velmir/v1/local/pos-5/-0_170/X", DropReason::BadCell, 0, 0, 0},
        {"velmir/v1/local/pos-5/1800_0/X", DropReason::BadCell, 0, 0, 0},  // 90 degrees north
        {"velmir/v1/local/pos-5/0_3600/X", DropReason::BadCell, 0, 0, 0},
        {"velmir/v1/local/pos-5/949_170", DropReason::BadTopic, 0, 0, 0},
        {"velmir/v1//pos-5/949_170/X", DropReason::BadTopic, 0, 0, 0},
        {"velmir/v1/local/pos-5/949_170/x", DropReason::BadCallsign, 0, 0, 0},
        {"velmir/v1/local/p250/189_34/X", DropReason::None, 4, 189, 34},
        {"velmir/v1/b/p250/-360_719/X", DropReason::None, 4, -360, 719},
        {"velmir/v1/local/p250/360_0/X", DropReason::BadCell, 0, 0, 0},  // 90 degrees north
        {"velmir/v1/local/p250/0_720/X", DropReason::BadCell, 0, 0, 0},  // 180 degrees east
        {"velmir/v1/local/p25/0_0/X", DropReason::BadTopic, 0, 0, 0},
    };
    for (const Case& c : cases) {
        Topic t;
        ASSERT_EQ(ParseTopic(c.Topic, t), c.Expected) << c.Topic;
        if (c.Expected == DropReason::None) {
            EXPECT_EQ(t.Kind, TopicKind::Position) << c.Topic;
            EXPECT_EQ(t.Tree, c.Tree) << c.Topic;
            EXPECT_EQ(t.Where, (Cell{c.Lat, c.Lon})) << c.Topic;
        }
    }
    // Subscriptions to samples ask for no retained messages; identities do.
    EXPECT_TRUE(IsPositionFilter("velmir/v1/+/pos-1/4746_854/+"));
    EXPECT_TRUE(IsPositionFilter("velmir/v1/+/pos/47_8/+"));
    EXPECT_TRUE(IsPositionFilter("velmir/v1/+/p250/+/+"));
    EXPECT_FALSE(IsPositionFilter("velmir/v1/+/id/+"));
    EXPECT_FALSE(IsPositionFilter("velmir/v1/local/id2/AB"));
    EXPECT_FALSE(IsPositionFilter("velmir/v1/+/pos"));
    EXPECT_FALSE(IsPositionFilter("other/v1/+/pos/47_8/+"));
    Topic id;
    ASSERT_EQ(ParseTopic("velmir/v1/local/id/X", id), DropReason::None);
    EXPECT_EQ(id.Kind, TopicKind::Identity);
}

TEST(NetTiers, CellsAroundHoldEveryPointWithinTheRadiusAndNothingBeyond) {
    std::mt19937 random(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double places[][2] = {
        {47.46, 8.55}, {0.001, 179.999}, {-33.94, 151.18}, {64.1, -21.9}, {89.7, 10.0}};
    struct Case {
        int Tree;
        double Radius;
        std::size_t MaxCells;  // at 47 N
    };
    const Case cases[] = {{4, 40, 60}, {1, 10, 16}, {2, 2, 16}, {3, 0.5, 16}, {4, 300, 2100}};
    for (const auto& p : places) {
        for (const Case& c : cases) {
            const std::set<TierCell> cells = CellsAround(c.Tree, p[0], p[1], c.Radius);
            if (p[0] == 47.46) {
                EXPECT_LE(cells.size(), c.MaxCells) << "tree " << c.Tree;
            }
            for (const TierCell& cell : cells)
                EXPECT_LE(DistanceToCellNm(p[0], p[1], cell), c.Radius) << "tree " << c.Tree;
            for (int i = 0; i < 300; ++i) {
                // A point within the radius: go a random distance and bearing.
                const double d = c.Radius * std::sqrt(unit(random)) * 0.999;
                const double b = unit(random) * 2 * 3.14159265358979;
                const double lat = std::min(89.9999, p[0] + d / 60.0 * std::cos(b));
                const double lon =
                    p[1] + d / 60.0 * std::sin(b) / std::cos(p[0] * 3.14159265358979 / 180);
                if (DistanceNm(p[0], p[1], lat, lon) > c.Radius) continue;
                EXPECT_EQ(cells.count(TierCellOf(c.Tree, lat, lon)), 1u)
                    << "tree " << c.Tree << " misses " << lat << "," << lon << " from " << p[0];
            }
        }
    }
}

TEST(NetTiers, DistanceToACellIsItsNearestPoint) {
    // Against a fine grid of the cell's points, on both sides of the
    // antimeridian, at high latitudes and inside the cell.
    const double points[][2] = {{47.46, 8.55}, {0.01, 179.99}, {-0.01, -179.99},
                                {70.3, 20.0},  {-60.2, -45.5}, {47.1, 8.1}};
    for (const auto& p : points)
        for (int tree : {4, 1, 0})
            for (int dLat = -3; dLat <= 3; ++dLat)
                for (int dLon = -3; dLon <= 3; ++dLon) {
                    TierCell c = TierCellOf(tree, p[0], p[1]);
                    c.Lat += dLat;
                    c.Lon += dLon;
                    const double size = PositionTrees[tree].CellThousandths / 1000.0;
                    double best = 1e9;
                    for (int i = 0; i <= 40; ++i)
                        for (int j = 0; j <= 40; ++j)
                            best = std::min(best, DistanceNm(p[0], p[1], (c.Lat + i / 40.0) * size,
                                                             (c.Lon + j / 40.0) * size));
                    const double got = DistanceToCellNm(p[0], p[1], c);
                    EXPECT_LE(got, best + 1e-6) << tree << " " << dLat << " " << dLon;
                    EXPECT_GE(got, best - size * 60.0 / 40.0) << tree << " " << dLat << " " << dLon;
                }
}

TEST(NetTiers, ListenersHearTenTwoOneAndHalfASecondByDistance) {
    MemoryBroker broker;
    // A listener at the centre, pilots 0.3, 1.5, 6 and 25 nm north of it,
    // all flying east at 60 m/s, and one standing 0.2 nm south.
    const double lat0 = 47.5, lon0 = 8.5;
    const std::vector<std::pair<std::string, double>> pilots = {
        {"ME", 0.0}, {"NEAR", 0.3}, {"MID", 1.5}, {"FAR", 6.0}, {"EDGE", 25.0}, {"PARKED", -0.2}};
    for (const auto& p : pilots) broker.Add(p.first);
    const auto& clients = broker.Clients;
    for (int step = 0; step < 200; ++step) {  // 20 s at ten samples a second
        for (std::size_t i = 0; i < pilots.size(); ++i) {
            client::PositionReport r;
            const bool parked = pilots[i].first == "PARKED";
            r.Latitude = lat0 + pilots[i].second / 60.0;
            r.Longitude = lon0 + (parked ? 0.0 : 60.0 * step * 0.1 / 75000.0);
            r.Altitude = 1000;
            r.VelocityX = parked ? 0.0f : 60.0f;
            r.Time = 1.0 + step * 0.1;  // the sender clock starts above 0
            broker.Now = step * 0.1;
            clients[i]->Own->OnOwnPosition(r, step * 0.1, 1000000 + step * 100000);
        }
    }
    const auto& heard = clients[0]->Heard;
    EXPECT_NEAR(heard.at("NEAR").size(), 200, 2);  // 10 Hz
    EXPECT_NEAR(heard.at("MID").size(), 40, 2);    // 2 Hz
    EXPECT_NEAR(heard.at("FAR").size(), 20, 2);    // 1 Hz
    EXPECT_NEAR(heard.at("EDGE").size(), 10, 2);   // 0.5 Hz
    EXPECT_NEAR(heard.at("PARKED").size(), 10, 2);
    // Nobody near listens on the 1-degree tree alone: nothing goes there.
    for (const auto& c : clients)
        for (const std::string& level : c->Levels)
            EXPECT_EQ(level.find("/pos/"), std::string::npos);
    // And the pilot library took them all as its own kind of sample.
    EXPECT_EQ(clients[0]->Own->GetCounters().Dropped, 0u);
}

// An older companion sends every sample to the 1-degree tree and listens
// there alone. Pilots near it hear it there, and after a few seconds write
// their coarse samples there too; pilots far from it never do.
TEST(NetTiers, OlderCompanionsAndNewOnesHearEachOther) {
    MemoryBroker broker;
    const double lat0 = 47.5, lon0 = 8.5;
    // ME at the centre, OLD 25 nm north, FAR 25 nm south (50 nm from OLD).
    const std::vector<std::pair<std::string, double>> pilots = {
        {"ME", 0.0}, {"OLD", 25.0}, {"FAR", -25.0}};
    for (const auto& p : pilots) broker.Add(p.first, p.first == "OLD");
    const auto& clients = broker.Clients;
    std::size_t earlyOld = 0;
    for (int step = 0; step < 200; ++step) {
        broker.Now = step * 0.1;
        for (std::size_t i = 0; i < pilots.size(); ++i) {
            client::PositionReport r;
            r.Latitude = lat0 + pilots[i].second / 60.0;
            r.Longitude = lon0 + 60.0 * step * 0.1 / 75000.0;
            r.Altitude = 3000;
            r.VelocityX = 60.0f;
            r.Time = 1.0 + step * 0.1;
            clients[i]->Own->OnOwnPosition(r, broker.Now, 1000000 + step * 100000);
            if (step % 10 == 0) clients[i]->Tiers.Tick(*clients[i]->Own, broker.Now);
        }
        if (step == 40) earlyOld = clients[1]->Heard["ME"].size();
    }
    EXPECT_GE(clients[0]->Heard["OLD"].size(), 10u);      // on its 1-degree cells
    EXPECT_EQ(earlyOld, 0u);                              // not before ME knew of it
    EXPECT_NEAR(clients[1]->Heard["ME"].size(), 6, 2);    // then at 0.5 Hz
    EXPECT_NEAR(clients[0]->Heard["FAR"].size(), 10, 2);  // once each, however sent
    EXPECT_TRUE(clients[1]->Heard["FAR"].empty());
    EXPECT_EQ(clients[0]->Levels.count("velmir/v1/local/pos"), 1u);
    EXPECT_EQ(clients[2]->Levels.count("velmir/v1/local/pos"), 0u);
}

// In a crowd the coarse tree is listened to only around the nearest pilots;
// it grows back by doubling when they thin out, and never more often than
// every 10 s.
TEST(NetTiers, CoarseRadiusFollowsTheCrowd) {
    struct Counting : NetworkPort {
        std::set<std::string> Filters;
        bool Publish(const std::string&, const std::uint8_t*, std::size_t, int, bool) override {
            return true;
        }
        void Subscribe(const std::string& f, int) override { Filters.insert(f); }
        void Unsubscribe(const std::string& f) override { Filters.erase(f); }
        std::size_t Coarse() const {
            std::size_t n = 0;
            for (const std::string& f : Filters) n += f.find("/p250/") != std::string::npos;
            return n;
        }
    } port;
    TieredNetwork tiers(port, 40.0);
    Sample s;
    s.Report.Time = 5;
    s.Report.Latitude = 47.46;
    s.Report.Longitude = 8.55;
    std::uint8_t b[108];
    EncodeSample(s, b);
    tiers.Publish(PositionTopic(CellOf(47.46, 8.55), "ME"), b, sizeof b, 0, false);
    const std::size_t whole = port.Coarse();
    const double inf = std::numeric_limits<double>::infinity();

    tiers.FitCoarseRadius(8.0, 0);
    EXPECT_DOUBLE_EQ(tiers.CoarseRadiusNm(), 11.0);  // 25 % and a mile beyond the crowd
    EXPECT_LT(port.Coarse() * 4, whole);
    tiers.FitCoarseRadius(inf, 5);
    EXPECT_DOUBLE_EQ(tiers.CoarseRadiusNm(), 11.0);  // too soon
    tiers.FitCoarseRadius(inf, 10);
    EXPECT_DOUBLE_EQ(tiers.CoarseRadiusNm(), 22.0);
    tiers.FitCoarseRadius(20.0, 20);
    EXPECT_DOUBLE_EQ(tiers.CoarseRadiusNm(), 22.0);  // 26 nm: a small change moves nothing
    tiers.FitCoarseRadius(inf, 30);
    EXPECT_DOUBLE_EQ(tiers.CoarseRadiusNm(), 40.0);  // never beyond the radius
    EXPECT_EQ(port.Coarse(), whole);
    tiers.FitCoarseRadius(1.0, 40);
    EXPECT_DOUBLE_EQ(tiers.CoarseRadiusNm(), 10.0);  // never inside the 1 Hz tier
}

}  // namespace
}  // namespace velmir::net
