// One pilot on the network: publishes its own aircraft, listens to the cells
// around it, keeps the table of nearby pilots and decides what the plugin's
// 40 slots show. It knows neither MQTT nor UDP nor the terminal: it talks
// through the two ports below, so that many pilots can run in one process.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "client/Client.h"
#include "net/pilot/Gear.h"
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
    // The same for a gear state; true when what was written depends on it
    // (a baked CSL model), so a change of state is worth filling it again.
    virtual bool PrepareSlotFor(int slot, const Identity& id, Gear) {
        PrepareSlot(slot, id);
        return false;
    }
    virtual void SendModel(int slot, const Identity&) = 0;
    // The report's AircraftIndex is the slot.
    virtual void SendSample(const client::PositionReport&) = 0;
    virtual void RemoveSlot(int slot) = 0;
    // How the slot's model was chosen, for the display ("type and
    // operator", "built-in mesh", ...), and which model; empty = not known.
    struct SlotMatch {
        std::string Rule, Model;
    };
    virtual SlotMatch MatchOf(int) const { return {}; }
};

// A holder stays eligible a little beyond the radius, so a pilot flying
// along the circle does not blink in and out.
constexpr double RadiusExitRatio = 1.05;

struct PilotOptions {
    std::string Callsign;
    double RadiusNm = 40.0;
    double SilenceSeconds = 5.0;     // a pilot this quiet loses its slot
    double LeaveGraceSeconds = 0.5;  // a cleared identity removes the pilot after this
    double ForgetSeconds = 30.0;     // and is dropped from the table after this
    int Slots = SlotCount;
    // Twice the fastest rate tier: a sender faster than this floods the plugin.
    double MaxForwardPerSecond = 20.0;
    // The nearest this many pilots are kept; the plugin shows 40 of them.
    std::size_t MaxPilots = 300;
    // Rows View() returns (the nearest): the display and the JSON line.
    std::size_t MaxViewRows = 100;
    // What we publish about our aircraft: given (checked by the caller), or
    // else the type read from the model file, the callsign's operator and
    // the tail number.
    std::string IcaoType{}, Airline{}, Livery{};
    std::function<std::string(const std::string& modelPath)> ReadType{};
};

// A pilot shown (given a slot, or shown afresh after a model change or a
// sender restart) this many times within the window loses its slot and is
// not shown again for the penalty: each show is a model load in the plugin.
constexpr int ShowLimit = 6;
constexpr double ShowWindowSeconds = 60.0;
constexpr double ShowPenaltySeconds = 60.0;

struct Counters {
    std::uint64_t Published = 0, Received = 0, Dropped = 0, Forwarded = 0;
    std::array<std::uint64_t, DropReasonCount> DroppedBy{};
    // Valid input held back by a limit, not refused: samples over a pilot's
    // rate, pilots barred for showing too often, pilots the full table
    // turned away or evicted.
    std::uint64_t RateLimited = 0, ShowLimited = 0, TableFull = 0;
    std::uint64_t IdentityRestored = 0;  // our identity cleared by someone else, published again
};

// What the pilot's display shows about one other pilot.
struct PilotView {
    std::string Callsign, Origin, Model;
    std::string Type;                 // the published type; empty = not known
    std::string Match, MatchedModel;  // how its slot's model was chosen, and which
    std::optional<Gear> GearShown;    // the baked gear of its slot's model
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
    std::size_t Heard() const { return others_.size(); }
    const Counters& GetCounters() const { return counters_; }
    int SlotsUsed() const { return chooser_.Used(); }
    const std::string& Callsign() const { return options_.Callsign; }
    // When a pilot who sends its coarse samples to the 1-degree tree alone
    // (an older companion, net/pilot/Tiers.h) was last heard within the
    // radius; far in the past when never.
    double OneDegreeOnlyHeardAt() const { return oneDegreeOnlyAt_; }
    // The distance of the k-th nearest pilot heard within the silence limit;
    // infinite when fewer are heard, or our own position is not known.
    double NearestNm(std::size_t k, double now) const;

  private:
    // Our identity cleared by someone else is published again, at most this
    // often: on a broker without access control anyone can clear it in a loop.
    static constexpr double RestoreIdentitySeconds = 1.0;

    struct Other {
        std::string Callsign, Origin;
        std::optional<Identity> Who;  // what slots show: Plain, described by Said when they agree
        std::optional<Identity> Plain, Said;  // the latest from id/ and from id2/
        std::optional<Sample> Last;
        double HeardAt = 0;                            // monotonic, last accepted sample
        double FirstHeardAt = 0, CoarseTreeAt = -1e9;  // last sample on the p250 tree
        double DistanceNm = 0, BearingDeg = 0;
        std::optional<double> LatencyMs;
        double ForwardedTime = 0;          // sender clock of the last sample given to the plugin
        bool Shown = false;                // model message sent for its slot
        std::optional<double> ClearedAt;   // identity cleared; departs after a short grace
        int Slot = 0;                      // the chooser's, kept here for the per-sample path
        bool IdentityWanted = false;       // subscribed to its identity
        double Tokens = 0, TokensAt = -1;  // forwarding allowance
        std::array<double, ShowLimit> ShownAt{};  // the last shows, oldest at ShowNext
        int ShowNext = 0, Shows = 0;
        double BarredUntil = -1;  // showed too often: no slot until then
        GearSwitch Gears;
        bool GearBaked = false;  // its slot's model depends on the gear state
    };
    // "CALLSIGN/origin": one key per pilot and region, built without
    // allocating for lookups (the map compares with std::less<>).
    struct KeyBuffer {
        char Text[MaxCallsignLength + 1 + 32];
        std::string_view Of(std::string_view callsign, std::string_view origin);
    };

    void Drop(DropReason);
    void FollowCells();
    void HandleSample(const Topic&, const std::uint8_t*, std::size_t, double, std::uint64_t);
    void HandleIdentity(const Topic&, const std::uint8_t*, std::size_t, double);
    void SetIdentity(Other&, const Identity&, double now);
    void WatchIdentity(const Other&);
    void UnwatchIdentity(const Other&);
    void HandleOwnIdentity(const Topic&, std::size_t, double);
    // The record for a sample `distanceNm` away; null when the table is full
    // of nearer pilots.
    Other* Remember(std::string_view key, const Topic&, double distanceNm, double now);
    // False, and the pilot barred, when one more show would pass the limit.
    bool MayShow(Other&, double now);
    void Show(int slot, Other&, double now, bool removed = false);
    void Forward(int slot, Other&, double now);
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
    double identityPublishedAt_ = -1e9;
    bool restoreIdentity_ = false;  // cleared by someone else; publish again when allowed
    bool left_ = false;
    double oneDegreeOnlyAt_ = -1e9;
    mutable std::vector<double> distances_;  // NearestNm's scratch
    std::set<Cell> cells_;
    std::map<std::string, Other, std::less<>> others_;  // by KeyBuffer::Of
};

}  // namespace velmir::net
