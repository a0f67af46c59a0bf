// The table and the web server together: the main loop feeds the table and
// calls Publish once a second, which turns it into the snapshot and the
// change the page reads.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "net/web/MapTable.h"
#include "net/web/WebServer.h"

namespace velmir::net {

class MapService {
  public:
    // kind: "map" for the whole network, "join" for one joined pilot.
    MapService(std::string kind, MapLimits limits = {}) : kind_(std::move(kind)), table_(limits) {}

    // listen: ADDR:PORT ([v6]:PORT); false with the reason when it cannot.
    bool Start(const std::string& listen, std::string& error);
    MapTable& Table() { return table_; }
    // Expires silent pilots and hands the server the new state. `status` is
    // the "status" object of docs/network.md.
    void Publish(double now, double seconds, nlohmann::json status);
    void Stop() { server_.Stop(); }

  private:
    std::string kind_;
    MapTable table_;
    WebServer server_;
};

}  // namespace velmir::net
