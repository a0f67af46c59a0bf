// One pilot on the network: publishes its own aircraft, listens to the cells
// around it, keeps the table of nearby pilots and decides what the plugin's
// 40 slots show. It knows neither MQTT nor UDP nor the terminal: it talks
// through the two ports below, so that many pilots can run in one process.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "client/Client.h"
#include "net/pilot/Slots.h"
#include "net/pilot/Wire.h"

namespace velmir::net {

class NetworkPort {
  public:
    virtual ~NetworkPort() = default;
    // False when the message could not be queued (not connected).
    virtual bool Publish(const std::string& topic, const std::uint8_t* data, std::size_t length,
                         int qos, bool retain) = 0;
    virtual void Subscribe(const std::string& filter, int qos) = 0;
    virtual void Unsubscribe(const std::string& filter) = 0;
};

class PluginPort {
  public:
    virtual ~PluginPort() = default;
    // Writes the slot's folder for this identity (before its model message).
    virtual void PrepareSlot(int slot, const Identity&) = 0;
    virtual void SendModel(int slot, const Identity&) = 0;
    // The report's AircraftIndex is the slot.
    virtual void SendSample(const client::PositionReport&) = 0;
    virtual void RemoveSlot(int slot) = 0;
};

struct PilotOptions {
    std::string Callsign;
    double RadiusNm = 40.0;
    double SilenceSeconds = 5.0;     // a pilot this quiet loses its slot
    double LeaveGraceSeconds = 0.5;  // a cleared identity removes the pilot after this
    double ForgetSeconds = 30.0;     // and is dropped from the table after this
    int Slots = SlotCount;
};

struct Counters {
    std::uint64_t Published = 0, Received = 0, Dropped = 0, Forwarded = 0;
    std::array<std::uint64_t, DropReasonCount> DroppedBy{};
};

// What the pilot's display shows about one other pilot.
struct PilotView {
    std::string Callsign, Model;
    double DistanceNm = 0, BearingDeg = 0, AltitudeFt = 0;
    int Slot = 0;  // 0 = no slot
    double AgeMs = 0;
    std::optional<double> LatencyMs;
};

class Pilot {
  public:
    Pilot(PilotOptions options, NetworkPort& network, PluginPort& plugin);

    // The plugin's reports about the user's own aircraft. `now` is seconds
    // on a monotonic clock, `wallMicros` CLOCK_REALTIME in microseconds.
    void OnOwnPosition(const client::PositionReport&, double now, std::uint64_t wallMicros);
    void OnOwnModel(const client::ModelReport&);

    // The broker (re)accepted us: subscribe again, publish the identity again.
    void OnBrokerConnected();
    // The broker connection dropped. A broker that shuts down sends every
    // client's last will first, so identities cleared just before are not
    // taken as departures: those pilots stay while their samples resume.
    void OnBrokerLost(double now);
    // A message from the broker, any position tree or an identity.
    // `retained`: the broker kept it from earlier instead of passing it on now.
    void OnMessage(std::string_view topic, const std::uint8_t* data, std::size_t length, double now,
                   std::uint64_t wallMicros, bool retained = false);

    // Expiry and slot choice; call about ten times a second.
    void Tick(double now);
    // The plugin came back empty: show every slot again from its folder.
    void ResendSlots(double now);
    // Leaving: every slot removed, identity cleared.
    void Leave();

    std::vector<PilotView> View(double now) const;
    const Counters& GetCounters() const { return counters_; }
    int SlotsUsed() const { return chooser_.Used(); }
    const std::string& Callsign() const { return options_.Callsign; }

  private:
    struct Other {
        std::optional<Identity> Who;
        std::optional<Sample> Last;
        double HeardAt = 0;  // monotonic, last accepted sample
        double DistanceNm = 0, BearingDeg = 0;
        std::optional<double> LatencyMs;
        double ForwardedTime = 0;         // sender clock of the last sample given to the plugin
        bool Shown = false;               // model message sent for its slot
        std::optional<double> ClearedAt;  // identity cleared; departs after a short grace
    };

    void Drop(DropReason);
    void FollowCells();
    void HandleSample(const Topic&, const std::uint8_t*, std::size_t, double, std::uint64_t);
    void HandleIdentity(const Topic&, const std::uint8_t*, std::size_t, double);
    Other& Remember(const std::string& callsign, double now);
    void Show(int slot, Other&, double now, bool removed = false);
    void Forward(int slot, Other&);
    void PublishIdentity();

    PilotOptions options_;
    NetworkPort& network_;
    PluginPort& plugin_;
    SlotChooser chooser_;
    Counters counters_;

    double brokerLostAt_ = -1;
    bool hasOwn_ = false;
    double ownLat_ = 0, ownLon_ = 0;
    std::uint16_t sequence_ = 0;
    std::optional<Identity> ownIdentity_;
    std::set<Cell> cells_;
    std::map<std::string, Other> others_;
};

}  // namespace velmir::net
