#include "net/web/MapService.h"

#include <cmath>

#include "net/pilot/Address.h"

namespace velmir::net {

bool MapService::Start(const std::string& listen, std::string& error) {
    std::string host;
    int port = DefaultMapPort;
    if (!SplitHostPort(listen, host, port)) {
        error = "bad listen address '" + listen + "' (ADDR:PORT)";
        return false;
    }
    return server_.Start(host, port, error);
}

void MapService::Publish(double now, double seconds, nlohmann::json status) {
    table_.Expire(now);
    const double t = std::round(seconds * 1000.0) / 1000.0;
    nlohmann::json snapshot = {{"kind", kind_},
                               {"t", t},
                               {"count", table_.Size()},
                               {"pilots", table_.Snapshot(now)},
                               {"status", status}};
    nlohmann::json changes = table_.Changes(now);
    nlohmann::json delta = {{"kind", kind_},
                            {"t", t},
                            {"count", table_.Size()},
                            {"upsert", std::move(changes["upsert"])},
                            {"remove", std::move(changes["remove"])},
                            {"status", std::move(status)}};
    // Names come from strangers: bad UTF-8 must not stop the map.
    const auto replace = nlohmann::json::error_handler_t::replace;
    server_.Publish(snapshot.dump(-1, ' ', false, replace), delta.dump(-1, ' ', false, replace));
}

}  // namespace velmir::net
