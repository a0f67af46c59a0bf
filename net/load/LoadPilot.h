// The synthetic pilot of `velmir-net load` and the books it keeps: the
// library's Pilot over the tier layer, over a port that records what goes
// out and in, over its own broker session.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/pilot/Failover.h"
#include "net/load/LoadLedger.h"
#include "net/load/LoadTraffic.h"
#include "net/pilot/Tiers.h"

namespace velmir::net::load {

// The samples' send-time clock, signed for the ledger's differences.
inline std::int64_t WallMicros() { return static_cast<std::int64_t>(net::WallMicros()); }

// "<level>/<cell>" of a sample topic or filter velmir/v1/<origin>/pos*/<cell>/<last>,
// and its last level (the callsign, or "+").
inline bool ChannelOf(std::string_view topic, std::string_view& channel, std::string_view& last) {
    std::size_t slash[5], at = 0;
    for (int i = 0; i < 5; ++i) {
        at = topic.find('/', at);
        if (at == std::string_view::npos) return false;
        slash[i] = at++;
    }
    channel = topic.substr(slash[2] + 1, slash[4] - slash[2] - 1);
    last = topic.substr(slash[4] + 1);
    return IsPositionFilter(topic);
}

constexpr std::string_view CallsignPrefix = "LOAD-";
inline std::string CallsignOf(int id) {
    char text[16];
    std::snprintf(text, sizeof text, "LOAD-%05d", id);
    return text;
}
inline int PilotNumber(std::string_view callsign) {
    if (callsign.substr(0, CallsignPrefix.size()) != CallsignPrefix) return -1;
    int n = 0;
    for (char c : callsign.substr(CallsignPrefix.size())) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

// Bytes of an MQTT PUBLISH carrying this topic and payload.
inline std::uint64_t FrameBytes(std::size_t topic, std::size_t payload, int qos) {
    const std::size_t remaining = 2 + topic + payload + (qos > 0 ? 2 : 0);
    return 1 + (remaining < 128 ? 1 : remaining < 16384 ? 2 : 3) + remaining;
}

struct Books {
    LoadLedger Ledger;
    bool Measuring = false;
    std::vector<float> Latency, CrossLatency;
    std::vector<std::vector<float>> BySecond;  // latency by second of sending
    std::int64_t Start = 0;
    std::vector<std::uint64_t> Pairs;  // deliveries by sender's and receiver's broker
    std::uint64_t Published = 0, Messages = 0, Echoes = 0, UpBytes = 0, DownBytes = 0;
};

class SyntheticPilot;
using Fleet = std::vector<std::unique_ptr<SyntheticPilot>>;

// One pilot: the library's Pilot over the tier layer, over this class (which
// keeps the books), over its own broker session. No simulator: its plugin
// port only counts.
class SyntheticPilot : public PluginPort, public NetworkPort {
  public:
    SyntheticPilot(int id, const Flight& flight, std::vector<BrokerOptions> brokers, int home,
                   int brokerCount, double radiusNm, Books& books, const Fleet& fleet)
        : Id(id),
          Home(home),
          flight_(flight),
          brokerCount_(brokerCount),
          books_(books),
          fleet_(fleet),
          session_(std::move(brokers)),
          tiers_(*this, radiusNm),
          pilot_(PilotOptions{CallsignOf(id), radiusNm}, tiers_, *this) {
        session_.SetMessageHandler(
            [this](const char* topic, const std::uint8_t* data, std::size_t length, bool retained) {
                Receive(topic, data, length, retained);
            });
    }

    const int Id, Home;
    FailoverSession& Session() { return session_; }
    int Broker() const { return static_cast<int>((Home + session_.Current()) % brokerCount_); }

    void OnConnected() {
        tiers_.OnBrokerConnected();
        pilot_.OnBrokerConnected();
        client::ModelReport model;
        model.DisplayName = CallsignOf(Id);
        model.TailNumber = "N" + std::to_string(10000 + Id);
        model.ModelName = flight_.Kind == Role::EnRoute ? "Airbus A320" : "Cessna 172SP";
        pilot_.OnOwnModel(model);
    }
    void Sample(double t, double now) {
        client::PositionReport r = FlightSample(flight_, t);
        r.Time = now;
        pilot_.OnOwnPosition(r, now, static_cast<std::uint64_t>(WallMicros()));
    }
    void Tick(double now) {
        pilot_.Tick(now);
        tiers_.Tick(pilot_, now);
    }
    void Leave() {
        pilot_.Leave();
        session_.Disconnect();
    }
    std::uint64_t Skipped() const { return tiers_.Skipped(); }
    std::uint64_t Dropped() const { return pilot_.GetCounters().Dropped; }

    // PluginPort: nothing to show.
    void PrepareSlot(int, const Identity&) override {}
    void SendModel(int, const Identity&) override {}
    void SendSample(const client::PositionReport&) override {}
    void RemoveSlot(int) override {}

    // NetworkPort, below the tier layer: the books, then the broker.
    bool Publish(const std::string& topic, const std::uint8_t* data, std::size_t length, int qos,
                 bool retain) override {
        if (!session_.Connected()) return false;  // the session would drop it too
        std::string_view channel, last;
        if (books_.Measuring) {
            if (ChannelOf(topic, channel, last) && length == SampleLayout::Length) {
                books_.Ledger.Published(
                    books_.Ledger.Channel(channel), Id, Get(data, SampleLayout::Sequence),
                    static_cast<std::int64_t>(Get(data, SampleLayout::SentAtMicros)));
                ++books_.Published;
            }
            ++books_.Messages;
            books_.UpBytes += FrameBytes(topic.size(), length, qos);
        }
        return session_.Publish(topic, data, length, qos, retain);
    }
    void Subscribe(const std::string& filter, int qos) override {
        std::string_view channel, last;
        if (session_.Connected() && ChannelOf(filter, channel, last))
            books_.Ledger.Subscribed(Id, books_.Ledger.Channel(channel), WallMicros());
        session_.Subscribe(filter, qos);
    }
    void Unsubscribe(const std::string& filter) override {
        std::string_view channel, last;
        if (ChannelOf(filter, channel, last))
            books_.Ledger.Unsubscribed(Id, books_.Ledger.Channel(channel), WallMicros());
        session_.Unsubscribe(filter);
    }

  private:
    void Receive(const char* topic, const std::uint8_t* data, std::size_t length, bool retained) {
        const std::int64_t now = WallMicros();
        std::string_view channel, last;
        if (books_.Measuring) {
            ++books_.Messages;
            books_.DownBytes += FrameBytes(std::char_traits<char>::length(topic), length, 0);
            const int publisher = ChannelOf(topic, channel, last) ? PilotNumber(last) : -1;
            if (publisher >= 0 && publisher < static_cast<int>(fleet_.size()) &&
                length == SampleLayout::Length) {
                const auto sent = static_cast<std::int64_t>(Get(data, SampleLayout::SentAtMicros));
                if (publisher == Id) {
                    ++books_.Echoes;  // none: we subscribe with MQTT 5's no-local
                } else {
                    const float ms = static_cast<float>(now - sent) / 1000.0f;
                    books_.Latency.push_back(ms);
                    const auto second = static_cast<std::size_t>(
                        std::max<std::int64_t>(0, sent - books_.Start) / 1000000);
                    if (books_.BySecond.size() <= second) books_.BySecond.resize(second + 1);
                    books_.BySecond[second].push_back(ms);
                    const int from = fleet_[publisher]->Broker();
                    if (from != Broker()) books_.CrossLatency.push_back(ms);
                    ++books_.Pairs[static_cast<std::size_t>(from * brokerCount_ + Broker())];
                    books_.Ledger.Delivered(Id, books_.Ledger.Channel(channel), publisher,
                                            Get(data, SampleLayout::Sequence), sent);
                }
            }
        }
        pilot_.OnMessage(topic, data, length, client::MonotonicSeconds(),
                         static_cast<std::uint64_t>(now), retained);
    }

    Flight flight_;
    int brokerCount_;
    Books& books_;
    const Fleet& fleet_;
    FailoverSession session_;
    TieredNetwork tiers_;
    Pilot pilot_;
};

}  // namespace velmir::net::load
