#include "net/load/Relay.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "client/Platform.h"
#include "net/load/Headroom.h"
#include "net/pilot/Mqtt.h"

namespace velmir::net {

namespace {

constexpr double ConnectSeconds = 10.0;
constexpr double SubscribeSeconds = 0.3;  // no SUBACK callback: the broker has them by then
constexpr double StallSeconds = 0.2;      // nothing arrived: QoS 0 lost some, stop waiting

struct Client {
    std::unique_ptr<MqttSession> Session = std::make_unique<MqttSession>();
    int Group = 0;
    bool Subscriber = false;
};

std::string RelayCell(int group) {
    char text[16];
    std::snprintf(text, sizeof text, "4746_%03d", group);
    return text;
}

// Reads what every ready session has waiting, not one message per pass.
void ServiceAll(std::vector<Client>& clients, std::vector<platform::PollSocket>& fds,
                int timeoutMs) {
    for (std::size_t i = 0; i < clients.size(); ++i) {
        fds[i].Socket = clients[i].Session->Socket();
        fds[i].Read = true;
        fds[i].Write = clients[i].Session->WantsWrite();
    }
    platform::Poll(fds.data(), fds.size(), timeoutMs);
    const double now = client::MonotonicSeconds();
    std::string error;
    for (std::size_t i = 0; i < clients.size(); ++i) {
        if (!fds[i].Readable && !fds[i].Writable && clients[i].Session->Connected()) continue;
        MqttSession& s = *clients[i].Session;
        s.Service(now, error);
        for (int k = 0; k < 256 && s.Socket() >= 0 && platform::BytesWaiting(s.Socket()) > 0; ++k)
            s.Service(now, error);
    }
}

}  // namespace

int RunRelay(const RelayOptions& o, RelayFigures& f, std::ostream& log) {
    const int publishers = o.Groups * o.PublishersPerGroup, subscribers = o.Groups * o.Fanout;
    std::vector<Client> clients(static_cast<std::size_t>(publishers + subscribers));
    std::vector<std::string> topics;
    bool measuring = false;
    std::uint64_t underWay = 0;
    bool arrived = false;
    std::string error;
    for (std::size_t i = 0; i < clients.size(); ++i) {
        Client& c = clients[i];
        c.Subscriber = static_cast<int>(i) >= publishers;
        c.Group = static_cast<int>(i) % o.Groups;
        char name[24];
        std::snprintf(name, sizeof name, "RELAY-%04d", static_cast<int>(i));
        if (!c.Subscriber)
            topics.push_back("velmir/v1/local/relay/" + RelayCell(c.Group) + "/" + name);
        c.Session->SetMessageHandler(
            [&, length = o.PayloadBytes](const char*, const std::uint8_t*, std::size_t n, bool) {
                if (n != length) return;
                arrived = true;
                if (underWay > 0) --underWay;
                f.Delivered += measuring;
            });
        BrokerOptions b;
        b.Host = o.Broker.Host;
        b.Port = o.Broker.Port;
        b.ClientId = "relay-" + std::to_string(platform::ProcessId()) + "-" + std::to_string(i);
        c.Session->Start(b, error);
    }
    std::vector<platform::PollSocket> fds(clients.size());
    const double start = client::MonotonicSeconds();
    int connected = 0;
    while (connected < static_cast<int>(clients.size()) &&
           client::MonotonicSeconds() - start < ConnectSeconds) {
        ServiceAll(clients, fds, 20);
        for (Client& c : clients)
            if (c.Session->TakeJustConnected()) {
                ++connected;
                if (c.Subscriber)
                    c.Session->Subscribe("velmir/v1/+/relay/" + RelayCell(c.Group) + "/+", 0);
            }
    }
    if (connected < static_cast<int>(clients.size())) {
        log << "relay: " << connected << " of " << clients.size() << " clients connected\n";
        return 1;
    }
    for (double t = client::MonotonicSeconds(); client::MonotonicSeconds() - t < SubscribeSeconds;)
        ServiceAll(clients, fds, 10);

    const std::vector<std::uint8_t> payload(o.PayloadBytes, 0x5a);
    const double t0 = client::MonotonicSeconds();
    const double measureFrom = t0 + o.WarmUpSeconds, end = measureFrom + o.Seconds;
    double cpuStart = -1, lastArrival = t0, now = t0, measuredFrom = 0;
    std::size_t next = 0;
    while (now < end) {
        if (!measuring && now >= measureFrom) {
            measuring = true;
            measuredFrom = now;
            cpuStart = o.BrokerPid > 0 ? platform::OtherProcessCpuSeconds(o.BrokerPid) : -1;
        }
        int sent = 0;
        for (; sent < 256 && underWay + o.Fanout <= o.Window; ++sent) {
            const std::size_t p = next++ % topics.size();
            if (!clients[p].Session->Publish(topics[p], payload.data(), payload.size(), 0, false))
                break;
            underWay += static_cast<std::uint64_t>(o.Fanout);
            f.Published += measuring;
        }
        ServiceAll(clients, fds, sent > 0 ? 0 : 1);
        now = client::MonotonicSeconds();
        if (arrived) lastArrival = now;
        arrived = false;
        if (underWay > 0 && now - lastArrival > StallSeconds) {
            underWay = 0;
            ++f.Stalls;
            lastArrival = now;
        }
    }
    const double cpuEnd = cpuStart >= 0 ? platform::OtherProcessCpuSeconds(o.BrokerPid) : -1;
    measuring = false;
    f.Seconds = now - measuredFrom;
    if (cpuStart >= 0 && cpuEnd >= cpuStart) f.BrokerCpuSeconds = cpuEnd - cpuStart;
    f.MessagesPerCpuSecond = PerCpuSecond(double(f.Published + f.Delivered), f.BrokerCpuSeconds);
    for (Client& c : clients) c.Session->Disconnect();

    char line[320];
    std::snprintf(line, sizeof line,
                  "relay: %d publishers, %d subscribers, each message to %d, %zu bytes: "
                  "%.0f messages in and out per second, broker CPU %s s of %.1f s\n",
                  publishers, subscribers, o.Fanout, o.PayloadBytes,
                  double(f.Published + f.Delivered) / f.Seconds,
                  FigureText(f.BrokerCpuSeconds, 2).c_str(), f.Seconds);
    log << line;
    std::snprintf(line, sizeof line,
                  "relay_published=%llu relay_delivered=%llu relay_stalls=%llu "
                  "relay_broker_cpu_s=%s relay_msgs_per_s=%.0f\n",
                  (unsigned long long)f.Published, (unsigned long long)f.Delivered,
                  (unsigned long long)f.Stalls, FigureText(f.BrokerCpuSeconds, 2).c_str(),
                  double(f.Published + f.Delivered) / f.Seconds);
    log << line;
    return 0;
}

}  // namespace velmir::net
