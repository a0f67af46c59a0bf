// Rate tiers: which samples go where, the cell arithmetic, the topic
// rewrite, and, through an in-memory broker with MQTT wildcard matching,
// the rates a listener really hears at each distance.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "net/pilot/Geo.h"
#include "net/pilot/Pilot.h"
#include "net/pilot/Tiers.h"

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
    EXPECT_EQ(TierCellName(TierCellOf(3, 47.4647, 8.5492)), "4746_854");
    EXPECT_EQ(TierCellName(TierCellOf(2, 47.4647, 8.5492)), "949_170");
    EXPECT_EQ(TierCellName(TierCellOf(1, 47.4647, 8.5492)), "237_42");
    EXPECT_EQ(TierCellName(TierCellOf(3, -33.9399, 151.1753)), "-3394_15117");
    EXPECT_EQ(TierCellName(TierCellOf(3, 10.0, 180.0)), "1000_-18000");  // wraps to -180
    // Just under a whole degree stays in the degree below, as CellOf says.
    EXPECT_EQ(TierCellOf(3, std::nextafter(47.0, 0.0), 8.5).Lat, 4699);
    EXPECT_EQ(TierCellOf(3, 89.99999, 0.0).Lat, 8999);

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
    Topic id;
    ASSERT_EQ(ParseTopic("velmir/v1/local/id/X", id), DropReason::None);
    EXPECT_EQ(id.Kind, TopicKind::Identity);
}

TEST(NetTiers, FineCellsCoverEveryPointWithinEachRadius) {
    std::mt19937 random(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double places[][2] = {{47.46, 8.55}, {0.001, 179.999}, {-33.94, 151.18}, {64.1, -21.9}};
    for (const auto& p : places) {
        const std::set<TierCell> cells = FineCellsAround(p[0], p[1]);
        for (int tier = 1; tier < 4; ++tier) {
            int inTier = 0;
            for (const TierCell& c : cells) inTier += c.Tier == tier;
            EXPECT_LE(inTier, 20) << "tier " << tier << " at " << p[0] << "," << p[1];
            for (int i = 0; i < 300; ++i) {
                // A point within the radius: go a random distance and bearing.
                const double d = Tiers[tier].RadiusNm * std::sqrt(unit(random)) * 0.999;
                const double b = unit(random) * 2 * 3.14159265358979;
                const double lat = p[0] + d / 60.0 * std::cos(b);
                const double lon =
                    p[1] + d / 60.0 * std::sin(b) / std::cos(p[0] * 3.14159265358979 / 180);
                ASSERT_LE(DistanceNm(p[0], p[1], lat, lon), Tiers[tier].RadiusNm * 1.01);
                EXPECT_EQ(cells.count(TierCellOf(tier, lat, lon)), 1u)
                    << "tier " << tier << " misses " << lat << "," << lon;
            }
        }
    }
}

// A broker in memory: '+' matches one level, nothing else is needed here.
struct MemoryBroker {
    struct Client;
    std::vector<Client*> Clients;
    static bool Matches(const std::string& filter, const std::string& topic) {
        std::size_t t = 0;
        for (const char c : filter) {
            if (c == '+')
                t = std::min(topic.find('/', t), topic.size());  // the rest of this level
            else if (t == topic.size() || topic[t++] != c)
                return false;
        }
        return t == topic.size();
    }
    struct Client : NetworkPort, PluginPort {
        MemoryBroker* Broker = nullptr;
        std::set<std::string> Filters;
        TieredNetwork Tiers{*this};
        std::unique_ptr<Pilot> Own;
        std::map<std::string, int> Heard;  // samples per sender callsign
        // Nothing comes back to its sender, as with MQTT 5's no-local.
        bool Publish(const std::string& topic, const std::uint8_t* d, std::size_t n, int,
                     bool) override {
            for (Client* c : Broker->Clients)
                if (c != this)
                    for (const std::string& f : c->Filters)
                        if (Matches(f, topic)) {
                            c->Own->OnMessage(topic, d, n, 0, 0);
                            const std::size_t last = topic.rfind('/');
                            if (topic.find("/id/") == std::string::npos)
                                ++c->Heard[topic.substr(last + 1)];
                            break;
                        }
            return true;
        }
        void Subscribe(const std::string& f, int) override { Filters.insert(f); }
        void Unsubscribe(const std::string& f) override { Filters.erase(f); }
        void PrepareSlot(int, const Identity&) override {}
        void SendModel(int, const Identity&) override {}
        void SendSample(const client::PositionReport&) override {}
        void RemoveSlot(int) override {}
    };
};

TEST(NetTiers, ListenersHearTenTwoOneAndHalfASecondByDistance) {
    MemoryBroker broker;
    // A listener at the centre, pilots 0.3, 1.5, 6 and 25 nm north of it,
    // all flying east at 60 m/s, and one standing 0.2 nm south.
    const double lat0 = 47.5, lon0 = 8.5;
    const std::vector<std::pair<std::string, double>> pilots = {
        {"ME", 0.0}, {"NEAR", 0.3}, {"MID", 1.5}, {"FAR", 6.0}, {"EDGE", 25.0}, {"PARKED", -0.2}};
    std::vector<std::unique_ptr<MemoryBroker::Client>> clients;
    for (const auto& [callsign, north] : pilots) {
        auto c = std::make_unique<MemoryBroker::Client>();
        c->Broker = &broker;
        c->Own = std::make_unique<Pilot>(PilotOptions{callsign}, c->Tiers, *c);
        broker.Clients.push_back(c.get());
        clients.push_back(std::move(c));
    }
    for (int step = 0; step < 200; ++step) {  // 20 s at ten samples a second
        for (std::size_t i = 0; i < pilots.size(); ++i) {
            client::PositionReport r;
            const bool parked = pilots[i].first == "PARKED";
            r.Latitude = lat0 + pilots[i].second / 60.0;
            r.Longitude = lon0 + (parked ? 0.0 : 60.0 * step * 0.1 / 75000.0);
            r.Altitude = 1000;
            r.VelocityX = parked ? 0.0f : 60.0f;
            r.Time = 1.0 + step * 0.1;  // the sender clock starts above 0
            clients[i]->Own->OnOwnPosition(r, step * 0.1, 1000000 + step * 100000);
        }
    }
    const auto& heard = clients[0]->Heard;
    EXPECT_NEAR(heard.at("NEAR"), 200, 2);  // 10 Hz
    EXPECT_NEAR(heard.at("MID"), 40, 2);    // 2 Hz
    EXPECT_NEAR(heard.at("FAR"), 20, 2);    // 1 Hz
    EXPECT_NEAR(heard.at("EDGE"), 10, 2);   // 0.5 Hz
    EXPECT_NEAR(heard.at("PARKED"), 10, 2);
    // And the pilot library took them all as its own kind of sample.
    EXPECT_EQ(clients[0]->Own->GetCounters().Dropped, 0u);
}

}  // namespace
}  // namespace velmir::net
