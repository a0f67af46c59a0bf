// Another view of a joined pilot beside the terminal (`join --web`, the map
// page in net/web): join hands it every message it hears and, once a second,
// what its own table shows. Called on join's loop only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/pilot/Pilot.h"

namespace velmir::net {

struct WatchedStatus {
    double Seconds = 0;            // since start
    std::string Callsign, Broker;  // Broker: host:port of the current broker
    std::vector<PilotView> Pilots;
    Counters Count;
    int SlotsUsed = 0;
    bool BrokerConnected = false, PluginAnswering = false;
};

class Watcher {
  public:
    virtual ~Watcher() = default;
    // A message as the pilot reads it, before any check.
    virtual void OnMessage(std::string_view topic, const std::uint8_t* data, std::size_t length,
                           double now) = 0;
    virtual void OnStatus(const WatchedStatus&, double now) = 0;
};

}  // namespace velmir::net
