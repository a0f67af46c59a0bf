// A broker in memory for tests of the tier layer: each client is a Pilot
// behind its own TieredNetwork, and what one publishes reaches every other
// whose filters match, as with MQTT 5's no-local.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "net/pilot/Pilot.h"
#include "net/pilot/Tiers.h"
#include "net/tests/NullPorts.h"

namespace velmir::net {

// A broker in memory: '+' matches one level, nothing else is needed here.
struct MemoryBroker {
    struct Client;
    std::vector<std::unique_ptr<Client>> Clients;
    double Now = 0;  // the clock every client reads
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
    struct Client : NetworkPort, NullPlugin {
        MemoryBroker* Broker = nullptr;
        std::set<std::string> Filters;
        TieredNetwork Tiers{*this, 40.0};
        std::unique_ptr<Pilot> Own;
        std::map<std::string, std::set<int>> Heard;        // sequence numbers per sender callsign
        std::set<std::string> Levels;                      // the tree levels it published to
        std::vector<std::pair<std::string, double>> Sent;  // each sample's level and time
        // Nothing comes back to its sender, as with MQTT 5's no-local.
        bool Publish(const std::string& topic, const std::uint8_t* d, std::size_t n, int,
                     bool) override {
            if (n == 108) {
                const std::string level = topic.substr(0, topic.rfind('/', topic.rfind('/') - 1));
                Levels.insert(level);
                Sent.emplace_back(level, Broker->Now);
            }
            for (const auto& c : Broker->Clients)
                if (c.get() != this)
                    for (const std::string& f : c->Filters)
                        if (Matches(f, topic)) {
                            const double now = Broker->Now;
                            c->Own->OnMessage(topic, d, n, now, 1000000 + std::uint64_t(now * 1e6));
                            const std::size_t last = topic.rfind('/');
                            if (n == 108) c->Heard[topic.substr(last + 1)].insert(d[2] | d[3] << 8);
                            break;
                        }
            return true;
        }
        void Subscribe(const std::string& f, int) override { Filters.insert(f); }
        void Unsubscribe(const std::string& f) override { Filters.erase(f); }
    };
    // A pilot behind its tier layer, or, `oneDegreeOnly`, an older companion
    // that writes and reads the 1-degree tree alone.
    Client& Add(const std::string& callsign, bool oneDegreeOnly = false) {
        Clients.push_back(std::make_unique<Client>());
        Client& c = *Clients.back();
        c.Broker = this;
        NetworkPort& port = oneDegreeOnly ? static_cast<NetworkPort&>(c) : c.Tiers;
        c.Own = std::make_unique<Pilot>(PilotOptions{callsign}, port, c);
        return c;
    }
};

}  // namespace velmir::net
