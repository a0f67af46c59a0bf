#include "net/pilot/Pilot.h"

#include <algorithm>
#include <cmath>

#include "net/pilot/Geo.h"

namespace velmir::net {

namespace {
// A holder stays eligible a little beyond the radius, so a pilot flying
// along the circle does not blink in and out.
constexpr double RadiusExitRatio = 1.05;
// A sender clock this far behind what was already forwarded means its
// plugin restarted: the slot is shown afresh so the clock filter restarts.
constexpr double ClockRestartSeconds = 1.0;
// A slot's first sample sets the plugin's estimate of its sender's clock,
// which then moves only 2 % a sample: a sample that had waited here half a
// second would show the aircraft half a second late for many seconds at the
// lower rate tiers. An older one is not sent; the next to arrive starts it.
constexpr double FirstSampleAgeSeconds = 0.05;
}  // namespace

Pilot::Pilot(PilotOptions options, NetworkPort& network, PluginPort& plugin)
    : options_(std::move(options)), network_(network), plugin_(plugin), chooser_(options_.Slots) {}

void Pilot::Drop(DropReason reason) {
    ++counters_.Dropped;
    ++counters_.DroppedBy[static_cast<int>(reason)];
}

// ------------------------------------------------------------ own aircraft --

void Pilot::OnOwnPosition(const client::PositionReport& report, double, std::uint64_t wallMicros) {
    if (!std::isfinite(report.Latitude) || !std::isfinite(report.Longitude) ||
        std::fabs(report.Latitude) > 90.0)
        return;
    hasOwn_ = true;
    ownLat_ = report.Latitude;
    ownLon_ = report.Longitude;
    FollowCells();

    Sample sample;
    sample.Sequence = sequence_++;
    sample.SentAtMicros = wallMicros;
    sample.Report = report;
    std::uint8_t payload[SampleLayout::Length];
    EncodeSample(sample, payload);
    if (network_.Publish(PositionTopic(CellOf(ownLat_, ownLon_), options_.Callsign), payload,
                         sizeof payload, 0, false))
        ++counters_.Published;
}

void Pilot::OnOwnModel(const client::ModelReport& report) {
    Identity id;
    id.Callsign = options_.Callsign;
    // Listeners show the callsign as the name whatever this says; sending it
    // keeps what is on the wire the same as what they show.
    id.DisplayName = options_.Callsign;
    id.TailNumber = report.TailNumber;
    id.ModelName = report.ModelName;
    id.LiveryIndex = report.LiveryIndex;
    if (ownIdentity_ && *ownIdentity_ == id) return;
    ownIdentity_ = id;
    PublishIdentity();
}

void Pilot::PublishIdentity() {
    if (!ownIdentity_) return;
    std::uint8_t payload[IdentityLayout::Length];
    EncodeIdentity(*ownIdentity_, payload);
    network_.Publish(IdentityTopic(options_.Callsign), payload, sizeof payload, 1, true);
}

// Subscribes to the cells now in range before leaving those that are not,
// so a pilot crossing a cell edge is heard on one or the other throughout.
void Pilot::FollowCells() {
    const std::vector<Cell> wanted = CellsWithin(ownLat_, ownLon_, options_.RadiusNm);
    const std::set<Cell> next(wanted.begin(), wanted.end());
    if (next == cells_) return;
    for (const Cell& c : next)
        if (cells_.count(c) == 0) network_.Subscribe(PositionFilter(c), 0);
    for (const Cell& c : cells_)
        if (next.count(c) == 0) network_.Unsubscribe(PositionFilter(c));
    cells_ = next;
}

void Pilot::OnBrokerLost(double now) { brokerLostAt_ = now; }

void Pilot::OnBrokerConnected() {
    for (const Cell& c : cells_) network_.Subscribe(PositionFilter(c), 0);
    for (const auto& [callsign, other] : others_) network_.Subscribe(IdentityFilter(callsign), 1);
    PublishIdentity();
}

// ----------------------------------------------------------------- network --

void Pilot::OnMessage(std::string_view topicName, const std::uint8_t* data, std::size_t length,
                      double now, std::uint64_t wallMicros, bool retained) {
    ++counters_.Received;
    // Before anything reads it: the length alone says it is none of ours.
    if (length > MaxPayloadLength) return Drop(DropReason::Oversized);
    Topic topic;
    const DropReason reason = ParseTopic(topicName, topic);
    if (reason != DropReason::None) return Drop(reason);
    if (topic.Callsign == options_.Callsign) return;  // our own, echoed back
    // Samples are never published retained; one the broker kept anyway may
    // be hours old and its pilot gone, yet it would win a slot and a model.
    if (topic.Kind == TopicKind::Position && retained) return Drop(DropReason::Retained);
    if (topic.Kind == TopicKind::Position)
        HandleSample(topic, data, length, now, wallMicros);
    else
        HandleIdentity(topic, data, length, now);
}

Pilot::Other& Pilot::Remember(const std::string& callsign, double now) {
    auto [it, fresh] = others_.try_emplace(callsign);
    if (fresh) {
        it->second.HeardAt = now;
        network_.Subscribe(IdentityFilter(callsign), 1);  // its retained identity follows
    }
    return it->second;
}

void Pilot::HandleSample(const Topic& topic, const std::uint8_t* data, std::size_t length,
                         double now, std::uint64_t wallMicros) {
    Sample sample;
    const DropReason reason = DecodeSample(data, length, topic.Where, sample, topic.Tree);
    if (reason != DropReason::None) return Drop(reason);
    // Signed: a sender whose clock runs ahead of ours is not old.
    const double ageSeconds =
        (static_cast<double>(wallMicros) - static_cast<double>(sample.SentAtMicros)) / 1e6;
    if (ageSeconds > MaxSampleAgeSeconds) return Drop(DropReason::Stale);
    Other& other = Remember(topic.Callsign, now);
    other.Last = sample;
    other.HeardAt = now;
    if (hasOwn_) {
        other.DistanceNm =
            DistanceNm(ownLat_, ownLon_, sample.Report.Latitude, sample.Report.Longitude);
        other.BearingDeg =
            BearingDeg(ownLat_, ownLon_, sample.Report.Latitude, sample.Report.Longitude);
    }
    if (sample.SentAtMicros != 0)
        other.LatencyMs =
            (static_cast<double>(wallMicros) - static_cast<double>(sample.SentAtMicros)) / 1000.0;

    const int slot = chooser_.SlotOf(topic.Callsign);
    if (slot == 0 || !other.Shown) return;
    // Gone out of range: the next Tick removes it; the plugin sees no more of it.
    if (hasOwn_ && other.DistanceNm > options_.RadiusNm * RadiusExitRatio) return;
    if (sample.Report.Time < other.ForwardedTime - ClockRestartSeconds) {
        Show(slot, other, now);  // its sender restarted: the slot starts over
        return;
    }
    Forward(slot, other);
}

void Pilot::HandleIdentity(const Topic& topic, const std::uint8_t* data, std::size_t length,
                           double now) {
    if (length == 0) {  // cleared: the pilot left, or its last will spoke
        auto it = others_.find(topic.Callsign);
        if (it != others_.end() && !it->second.ClearedAt) it->second.ClearedAt = now;
        return;
    }
    Identity id;
    const DropReason reason = DecodeIdentity(data, length, topic.Callsign, id);
    if (reason != DropReason::None) return Drop(reason);
    auto it = others_.find(topic.Callsign);
    if (it == others_.end()) return;  // not (or no longer) heard nearby
    Other& other = it->second;
    other.ClearedAt.reset();
    const bool changed = other.Who && *other.Who != id;
    other.Who = id;
    const int slot = chooser_.SlotOf(topic.Callsign);
    if (changed && slot != 0) Show(slot, other, now);
}

// ------------------------------------------------------------------- slots --

void Pilot::Show(int slot, Other& other, double now, bool removed) {
    // Removing first: the plugin's clock filter never sees two senders' (or
    // two runs of one sender's) clocks in one slot.
    if (!removed) plugin_.RemoveSlot(slot);
    plugin_.PrepareSlot(slot, *other.Who);
    plugin_.SendModel(slot, *other.Who);
    other.Shown = true;
    other.ForwardedTime = 0;
    if (other.Last && now - other.HeardAt <= FirstSampleAgeSeconds) Forward(slot, other);
}

void Pilot::Forward(int slot, Other& other) {
    // Samples reach us in order, but a repeat is not worth sending.
    if (other.Last->Report.Time <= other.ForwardedTime) return;
    client::PositionReport report = other.Last->Report;  // its sender's Time, untouched
    report.AircraftIndex = static_cast<std::uint8_t>(slot);
    plugin_.SendSample(report);
    other.ForwardedTime = report.Time;
    ++counters_.Forwarded;
}

void Pilot::Tick(double now) {
    std::vector<SlotChooser::Candidate> eligible;
    for (auto it = others_.begin(); it != others_.end();) {
        Other& o = it->second;
        const double quiet = now - o.HeardAt;
        // Cleared just before the broker went away: a restart, not a departure.
        if (o.ClearedAt && brokerLostAt_ >= *o.ClearedAt) o.ClearedAt.reset();
        const bool left = o.ClearedAt && now - *o.ClearedAt >= options_.LeaveGraceSeconds;
        if (left || quiet > options_.ForgetSeconds) {
            network_.Unsubscribe(IdentityFilter(it->first));
            it = others_.erase(it);
            continue;
        }
        const bool holder = chooser_.SlotOf(it->first) != 0;
        const double reach = options_.RadiusNm * (holder ? RadiusExitRatio : 1.0);
        if (hasOwn_ && o.Who && o.Last && quiet <= options_.SilenceSeconds && o.DistanceNm <= reach)
            eligible.push_back({it->first, o.DistanceNm});
        ++it;
    }
    const auto changes = chooser_.Update(eligible);
    // Every slot that changes is removed (a free one too: it may hold what an
    // earlier run left), and every removal goes out before any new model.
    for (const auto& change : changes) {
        plugin_.RemoveSlot(change.Slot);
        auto it = others_.find(change.From);
        if (it != others_.end()) it->second.Shown = false;
    }
    for (const auto& change : changes)
        if (!change.To.empty()) Show(change.Slot, others_.at(change.To), now, true);
}

void Pilot::ResendSlots(double now) {
    for (int slot = 1; slot <= chooser_.Slots(); ++slot) {
        const std::string& holder = chooser_.Holder(slot);
        if (holder.empty()) continue;
        Other& other = others_.at(holder);
        // The folder is still on disk; the plugin needs the model and samples.
        plugin_.SendModel(slot, *other.Who);
        other.Shown = true;
        other.ForwardedTime = 0;
        if (other.Last && now - other.HeardAt <= options_.SilenceSeconds) Forward(slot, other);
    }
}

void Pilot::Leave() {
    for (int slot = 1; slot <= chooser_.Slots(); ++slot)
        if (!chooser_.Holder(slot).empty()) plugin_.RemoveSlot(slot);
    chooser_.Clear();
    for (auto& [callsign, other] : others_) other.Shown = false;
    if (ownIdentity_) network_.Publish(IdentityTopic(options_.Callsign), nullptr, 0, 1, true);
}

std::vector<PilotView> Pilot::View(double now) const {
    std::vector<PilotView> rows;
    for (const auto& [callsign, o] : others_) {
        if (!o.Last) continue;
        PilotView v;
        v.Callsign = callsign;
        if (o.Who) {
            const std::string& path = o.Who->ModelName;
            const std::size_t cut = path.find_last_of("/\\:");
            v.Model = cut == std::string::npos ? path : path.substr(cut + 1);
        }
        v.DistanceNm = o.DistanceNm;
        v.BearingDeg = o.BearingDeg;
        v.AltitudeFt = o.Last->Report.Altitude * client::FeetPerMetre;
        v.Slot = chooser_.SlotOf(callsign);
        v.AgeMs = (now - o.HeardAt) * 1000.0;
        v.LatencyMs = o.LatencyMs;
        rows.push_back(std::move(v));
    }
    std::sort(rows.begin(), rows.end(),
              [](const PilotView& a, const PilotView& b) { return a.DistanceNm < b.DistanceNm; });
    return rows;
}

}  // namespace velmir::net
