// What the broker is asked to carry for the load's synthetic pilots, with
// no broker and no clock: every pilot's Pilot and tier layer run on
// simulated time, and an in-memory router counts what each published sample
// would be delivered to. The figures do not depend on the machine's speed:
//   velmir_net_benchmarks --benchmark_filter=Deliveries
// Counters are per simulated second: publishes in, deliveries out (by tree),
// subscription changes.
#include <benchmark/benchmark.h>

#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/load/LoadPilot.h"
#include "net/load/LoadTraffic.h"
#include "net/pilot/Pilot.h"
#include "net/pilot/Tiers.h"
#include "net/tests/NullPorts.h"

namespace velmir::net {
namespace {

// A cell's samples, "<level>/<cell>", as the load's books name them; empty
// for anything else (identities are not counted).
std::string ChannelKey(const std::string& topic) {
    std::string_view channel, last;
    return load::ChannelOf(topic, channel, last) ? std::string(channel) : std::string();
}

std::uint64_t WallAt(double t) { return 1'000'000 + static_cast<std::uint64_t>(t * 1e6); }

struct Router {
    std::unordered_map<std::string, std::vector<int>> Subscribers;
    std::vector<Pilot*> Pilots;  // by id: what is delivered reaches their tables
    double Now = 0;
    std::map<std::string, double> DeliveredByLevel;
    double Published = 0, Delivered = 0, SubscriptionChanges = 0;
};

struct Member : NetworkPort, NullPlugin {
    Router* Routes = nullptr;
    int Id = 0;
    bool Publish(const std::string& topic, const std::uint8_t* data, std::size_t length, int,
                 bool) override {
        const std::string key = ChannelKey(topic);
        if (key.empty()) return true;
        ++Routes->Published;
        auto it = Routes->Subscribers.find(key);
        if (it == Routes->Subscribers.end()) return true;
        double n = 0;
        for (int id : it->second)
            if (id != Id) {  // no-local
                ++n;
                Routes->Pilots[id]->OnMessage(topic, data, length, Routes->Now,
                                              WallAt(Routes->Now));
            }
        Routes->Delivered += n;
        Routes->DeliveredByLevel[key.substr(0, key.find('/'))] += n;
        return true;
    }
    void Subscribe(const std::string& filter, int) override {
        const std::string key = ChannelKey(filter);
        if (key.empty()) return;
        Routes->Subscribers[key].push_back(Id);
        ++Routes->SubscriptionChanges;
    }
    void Unsubscribe(const std::string& filter) override {
        const std::string key = ChannelKey(filter);
        if (key.empty()) return;
        std::vector<int>& v = Routes->Subscribers[key];
        for (std::size_t i = 0; i < v.size(); ++i)
            if (v[i] == Id) {
                v[i] = v.back();
                v.pop_back();
                break;
            }
        ++Routes->SubscriptionChanges;
    }
};

struct Simulated {
    Member Port;
    TieredNetwork Tiers;
    Pilot Own;
    Flight Path;
    Simulated(Router& r, int id, const Flight& f)
        : Tiers(Port, 40.0), Own(PilotOptions{"SIM" + std::to_string(id)}, Tiers, Port), Path(f) {
        Port.Routes = &r;
        Port.Id = id;
        Tiers.OnBrokerConnected();
        Own.OnBrokerConnected();
    }
};

// Arguments: pilots; 1 for what velmir-net does with what it hears (the
// coarse tree listened to only around the nearest CoarseCrowd pilots in a
// crowd, tiers nobody is near left quiet), 0 to always listen to the whole
// radius and send every tier.
void BM_Deliveries(benchmark::State& state) {
    const int pilots = static_cast<int>(state.range(0));
    const bool rules = state.range(1) != 0;
    constexpr double WarmUp = 8, Measured = 20, Step = 0.1;
    Router routes;
    for (auto _ : state) {
        routes = Router{};
        const std::vector<Flight> flights = MakeFlights(pilots, 7);
        std::vector<std::unique_ptr<Simulated>> all;
        for (int i = 0; i < pilots; ++i) {
            all.push_back(std::make_unique<Simulated>(routes, i, flights[i]));
            routes.Pilots.push_back(&all.back()->Own);
        }
        for (double t = 0; t < WarmUp + Measured; t += Step) {
            if (t < WarmUp + Step / 2 && t > WarmUp - Step / 2) {
                routes.DeliveredByLevel.clear();
                routes.Published = routes.Delivered = routes.SubscriptionChanges = 0;
            }
            routes.Now = t;
            const bool second = std::fmod(t + Step / 2, 1.0) < Step;
            for (auto& p : all) {
                client::PositionReport r = FlightSample(p->Path, t);
                r.Time = 1 + t;
                p->Own.OnOwnPosition(r, t, WallAt(t));
                if (second) {
                    p->Own.Tick(t);
                    if (rules) p->Tiers.Tick(p->Own, t);
                }
            }
        }
    }
    state.counters["published_per_s"] = routes.Published / Measured;
    state.counters["delivered_per_s"] = routes.Delivered / Measured;
    state.counters["messages_per_s"] = (routes.Published + routes.Delivered) / Measured;
    state.counters["subscription_changes_per_s"] = routes.SubscriptionChanges / Measured;
    for (const auto& [level, n] : routes.DeliveredByLevel)
        state.counters["delivered_" + level] = n / Measured;
}
BENCHMARK(BM_Deliveries)
    ->Args({300, 1})
    ->Args({1000, 1})
    ->Args({1000, 0})
    ->Args({3000, 1})
    ->Args({3000, 0})
    ->Unit(benchmark::kSecond)
    ->Iterations(1);

}  // namespace
}  // namespace velmir::net
