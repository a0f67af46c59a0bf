#include "net/web/MapCommand.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include <CLI/CLI.hpp>

#include "client/Platform.h"
#include "net/pilot/Address.h"
#include "net/pilot/Exit.h"
#include "net/pilot/Failover.h"
#include "net/web/MapService.h"

namespace velmir::net {
namespace {

constexpr double PublishEverySeconds = 1.0;
// The whole world's coarsest trees (0.5 Hz a pilot; the 1-degree one for
// older companions) and every identity.
constexpr const char* WorldPositions = "velmir/v1/+/p250/+/+";
constexpr const char* WorldOneDegreePositions = "velmir/v1/+/pos/+/+";
constexpr const char* WorldIdentities = "velmir/v1/+/id/+";

nlohmann::json DroppedBy(const std::array<std::uint64_t, DropReasonCount>& counts) {
    nlohmann::json dropped = nlohmann::json::object();
    for (int r = 1; r < DropReasonCount; ++r)
        if (counts[r]) dropped[ToString(static_cast<DropReason>(r))] = counts[r];
    return dropped;
}

std::string BrokerName(const BrokerOptions& b) {
    return (b.Host.find(':') != std::string::npos ? "[" + b.Host + "]" : b.Host) + ":" +
           std::to_string(b.Port);
}

class WebWatcher : public Watcher {
  public:
    WebWatcher() : service_("join") {}
    bool Start(const std::string& listen, std::string& error) {
        return service_.Start(listen, error);
    }
    void OnMessage(std::string_view topic, const std::uint8_t* data, std::size_t length,
                   double now) override {
        service_.Table().OnMessage(topic, data, length, now);
    }
    void OnStatus(const WatchedStatus& s, double now) override {
        std::map<std::string, int> slots;
        for (const PilotView& p : s.Pilots)
            if (p.Slot) slots[p.Callsign] = p.Slot;
        MapTable& table = service_.Table();
        table.SetOwn(s.Callsign);
        table.SetSlots(slots);
        nlohmann::json status = {
            {"callsign", s.Callsign},
            {"broker", {{"connected", s.BrokerConnected}, {"address", s.Broker}}},
            {"plugin", s.PluginAnswering},
            {"heard", s.Pilots.size()},
            {"counters",
             {{"published", s.Count.Published},
              {"received", s.Count.Received},
              {"dropped", s.Count.Dropped},
              {"forwarded", s.Count.Forwarded},
              {"slots_used", s.SlotsUsed},
              {"dropped_by", DroppedBy(s.Count.DroppedBy)}}}};
        service_.Publish(now, s.Seconds, std::move(status));
    }

  private:
    MapService service_;
};

}  // namespace

CLI::App* AddMapCommand(CLI::App& app, MapOptions& o) {
    CLI::App* map = app.add_subcommand("map", "every pilot of the network on a map in the browser");
    map->add_option("--broker", o.Brokers,
                    "broker HOST[:PORT] (1883, or 8883 with --tls-ca); repeat for brokers to "
                    "move to when one fails")
        ->required();
    map->add_option("--listen", o.Listen,
                    "the page's ADDR:PORT (another than loopback only "
                    "when you mean to show it to others)")
        ->capture_default_str();
    map->add_option("--username", o.Username, "broker user name");
    map->add_option("--password-file", o.PasswordFile, "file whose first line is the password");
    map->add_option("--tls-ca", o.TlsCa, "CA certificate: connect to the broker over TLS");
    map->add_option("--seconds", o.Seconds, "run time, 0 = until interrupted")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    return map;
}

int RunMap(const MapOptions& o, const volatile std::sig_atomic_t& stop) {
    BrokerOptions broker;
    std::string error;
    if (!o.PasswordFile.empty() && !ReadPasswordFile(o.PasswordFile, broker.Password, error))
        return Fail(ExitUsage, error);
    broker.Username = o.Username;
    broker.TlsCa = o.TlsCa;
    char suffix[9];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(std::random_device{}()));
    broker.ClientId = std::string("vn-map-") + suffix;
    std::vector<BrokerOptions> brokers;
    if (!BrokerList(o.Brokers, broker, brokers, error)) return Fail(ExitUsage, error);

    MapService service("map");
    if (!service.Start(o.Listen, error)) return Fail(ExitUsage, error);

    FailoverSession session(brokers);
    const double start = client::MonotonicSeconds();
    session.SetMessageHandler(
        [&](const char* topic, const std::uint8_t* data, std::size_t n, bool retained) {
            service.Table().OnMessage(topic, data, n, client::MonotonicSeconds(), retained);
        });
    if (const BrokerFailure failure = session.Start(start, error); failure != BrokerFailure::None)
        return Fail(ExitCodeOf(failure), error);
    if (!error.empty()) std::fprintf(stderr, "velmir-net: %s\n", error.c_str());
    std::fprintf(stderr, "velmir-net: map on http://%s/\n", o.Listen.c_str());

    int exitCode = ExitOk;
    double nextPublish = start;
    while (!stop) {
        double now = client::MonotonicSeconds();
        if (o.Seconds > 0 && now - start >= o.Seconds) break;
        platform::PollSocket broker;
        broker.Socket = session.Socket();
        broker.Read = true;
        broker.Write = session.WantsWrite();
        const int waitMs = static_cast<int>(std::max(0.0, nextPublish - now) * 1000) + 1;
        platform::Poll(&broker, 1, std::min(waitMs, 100));
        now = client::MonotonicSeconds();

        // Fatal only when every broker refused us; anything else retries.
        const BrokerFailure failure = session.Service(now, error);
        if (failure == BrokerFailure::Refused || failure == BrokerFailure::Tls) {
            exitCode = Fail(ExitCodeOf(failure), error);
            break;
        }
        if (session.TakeJustConnected()) {
            std::fprintf(stderr, "velmir-net: map listening on broker %s\n",
                         BrokerName(session.CurrentBroker()).c_str());
            session.Subscribe(WorldIdentities, 0);
            session.Subscribe(WorldPositions, 0);
            session.Subscribe(WorldOneDegreePositions, 0);
        }
        if (now >= nextPublish) {
            const MapTable& t = service.Table();
            nlohmann::json status = {{"broker",
                                      {{"connected", session.Connected()},
                                       {"address", BrokerName(session.CurrentBroker())}}},
                                     {"counters",
                                      {{"received", t.Received()},
                                       {"dropped", t.Dropped()},
                                       {"refused", t.Refused()},
                                       {"dropped_by", DroppedBy(t.DroppedBy())}}}};
            service.Publish(now, now - start, std::move(status));
            nextPublish = std::max(nextPublish + PublishEverySeconds, now);
        }
    }
    service.Stop();
    session.Disconnect();
    return exitCode;
}

std::unique_ptr<Watcher> MakeWebWatcher(const std::string& listen, std::string& error) {
    auto watcher = std::make_unique<WebWatcher>();
    if (!watcher->Start(listen, error)) return nullptr;
    return watcher;
}

}  // namespace velmir::net
