// Quiet tiers: a pilot nobody is near sends and follows only the coarse
// tree, and yet every listener hears every pilot at its distance's rate,
// however fast they close in.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "net/pilot/Geo.h"
#include "net/tests/MemoryBroker.h"

namespace velmir::net {
namespace {

struct Path {
    std::string Callsign;
    double North0, East0;      // nm from the origin at t = 0
    double NorthMps, EastMps;  // ground speed
    double Lat(double t) const { return 47.5 + (North0 + NorthMps * t / 1852.0) / 60.0; }
    double Lon(double t) const { return 8.5 + (East0 + EastMps * t / 1852.0) / 60.0 / 0.6756; }
};

// The samples a listener must hear out of any 20 consecutive ones of a
// pilot this far away: the tiers' rates.
int Owed(double nm) { return nm <= 0.5 ? 20 : nm <= 2.0 ? 4 : nm <= 10.0 ? 2 : nm <= 40 ? 1 : 0; }

TEST(NetTiers, QuietTiersLeaveNothingOwedUnsent) {
    // ME flies east; JET comes down from 16 nm north at 250 m/s and passes
    // over it; HEAD meets it head-on 0.3 nm abeam at 250 m/s; LONE cruises
    // 30 nm south, never within 11 nm of anyone. Far east, LEAD and WING
    // fly in formation from the start.
    const std::vector<Path> paths = {{"ME", 0, 0, 0, 60},        {"JET", 16, 0, -250, 60},
                                     {"HEAD", 0.3, 20, 0, -250}, {"LONE", -30, 0, 0, 60},
                                     {"LEAD", 0, 100, 0, 120},   {"WING", 0.2, 100, 0, 120}};
    MemoryBroker broker;
    for (const Path& p : paths) broker.Add(p.Callsign);
    const auto& clients = broker.Clients;
    constexpr int Steps = 1500;  // 150 s at ten samples a second
    for (int step = 0; step < Steps; ++step) {
        const double t = step * 0.1;
        broker.Now = t;
        for (std::size_t i = 0; i < paths.size(); ++i) {
            client::PositionReport r;
            r.Latitude = paths[i].Lat(t);
            r.Longitude = paths[i].Lon(t);
            r.Altitude = 3000;
            r.VelocityX = static_cast<float>(paths[i].EastMps);
            r.VelocityZ = static_cast<float>(-paths[i].NorthMps);
            r.Time = 1.0 + t;
            clients[i]->Own->OnOwnPosition(r, t, 1000000 + step * 100000);
            if (step % 10 == 0) {
                clients[i]->Own->Tick(t);
                clients[i]->Tiers.Tick(*clients[i]->Own, t);
            }
        }
    }
    // Of every 20 samples in a row, a listener heard what it was owed.
    for (std::size_t l = 0; l < paths.size(); ++l)
        for (std::size_t s = 0; s < paths.size(); ++s) {
            if (s == l) continue;
            const std::set<int>& heard = clients[l]->Heard[paths[s].Callsign];
            auto distance = [&](int k) {
                const double t = k * 0.1;
                return DistanceNm(paths[l].Lat(t), paths[l].Lon(t), paths[s].Lat(t),
                                  paths[s].Lon(t));
            };
            // (From the second step: at the first, not all had subscribed.)
            for (int k = 1; k + 20 <= Steps; ++k) {
                double farthest = 0;
                for (int j = k; j < k + 20; ++j) farthest = std::max(farthest, distance(j));
                const auto got = std::count_if(heard.begin(), heard.end(),
                                               [&](int q) { return q >= k && q < k + 20; });
                ASSERT_GE(got, Owed(farthest))
                    << paths[s].Callsign << " to " << paths[l].Callsign << " from sample " << k
                    << " at " << farthest << " nm";
            }
        }
    // While everyone was far apart, and LONE always: the coarse tree alone.
    auto fine = [&](std::size_t i, double from, double to) {
        return std::count_if(clients[i]->Sent.begin(), clients[i]->Sent.end(), [&](const auto& e) {
            return e.first.find("/p250") == std::string::npos && e.second >= from && e.second < to;
        });
    };
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(fine(i, 7, 25), 0) << paths[i].Callsign;
    EXPECT_EQ(fine(3, 7, 150), 0);
    EXPECT_GT(fine(0, 100, 150), 200);  // then ME sent at ten a second while they passed
    // Nor does LONE follow any cell of the finer trees, until it reconnects:
    // then everything, for the first seconds.
    auto follows = [&](const char* level) {
        return std::any_of(clients[3]->Filters.begin(), clients[3]->Filters.end(),
                           [&](const std::string& f) { return f.find(level) != f.npos; });
    };
    EXPECT_TRUE(follows("/p250/"));
    EXPECT_FALSE(follows("/pos-20/") || follows("/pos-5/") || follows("/pos-1/"));
    clients[3]->Tiers.OnBrokerConnected();
    EXPECT_EQ(clients[3]->Tiers.TiersSent(), 4);
    EXPECT_TRUE(follows("/pos-20/") && follows("/pos-5/") && follows("/pos-1/"));
}

}  // namespace
}  // namespace velmir::net
