#include "net/pilot/Pilot.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "net/pilot/Aircraft.h"
#include "net/pilot/Geo.h"

namespace velmir::net {

namespace {
// A slot's first sample sets the plugin's estimate of its sender's clock,
// which then moves only 2 % a sample: a sample that had waited here half a
// second would show the aircraft half a second late for many seconds at the
// lower rate tiers. An older one is not sent; the next to arrive starts it.
constexpr double FirstSampleAgeSeconds = 0.05;
}  // namespace

std::string_view Pilot::KeyBuffer::Of(std::string_view callsign, std::string_view origin) {
    // ParseTopic has checked both lengths; the cut is only a guard.
    const std::size_t c = std::min(callsign.size(), MaxCallsignLength);
    const std::size_t o = std::min(origin.size(), sizeof Text - c - 1);
    std::memcpy(Text, callsign.data(), c);
    Text[c] = '/';
    std::memcpy(Text + c + 1, origin.data(), o);
    return std::string_view(Text, c + 1 + o);
}

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
    id.Described = true;
    id.IcaoType = options_.IcaoType;
    if (id.IcaoType.empty() && options_.ReadType) id.IcaoType = options_.ReadType(report.ModelName);
    if (!IsValidIcaoType(id.IcaoType)) id.IcaoType.clear();
    id.Airline = options_.Airline.empty() ? AirlineFromCallsign(id.Callsign) : options_.Airline;
    if (!IsValidAirline(id.Airline)) id.Airline.clear();
    id.Livery = options_.Livery.empty() ? report.TailNumber : options_.Livery;
    if (!IsValidLivery(id.Livery)) id.Livery.clear();  // a tail number with odd bytes
    if (ownIdentity_ && *ownIdentity_ == id) return;
    ownIdentity_ = id;
    PublishIdentity();
}

void Pilot::PublishIdentity() {
    if (!ownIdentity_ || left_) return;
    // Version 2 first: a receiver holds it until the version 1 it matches
    // arrives, and then shows us once.
    std::uint8_t described[Identity2Layout::Length];
    EncodeIdentity2(*ownIdentity_, described);
    network_.Publish(Identity2Topic(options_.Callsign), described, sizeof described, 1, true);
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

void Pilot::OnBrokerLost(double now) {
    brokerLostAt_ = now;
    // Clears still in their grace came with the broker's going (the loss is
    // noticed after the wills it delivered, sometimes in the same pass).
    for (auto& [key, other] : others_) other.ClearedAt.reset();
}

void Pilot::OnBrokerConnected() {
    for (const Cell& c : cells_) network_.Subscribe(PositionFilter(c), 0);
    for (const auto& [key, other] : others_)
        if (other.IdentityWanted) WatchIdentity(other);
    // Published before we watch it, so that the retained copy we are sent
    // is this one and not what a dead session's last will left.
    PublishIdentity();
    network_.Subscribe(IdentityTopic(options_.Callsign), 1);
}

// ------------------------------------------------------------------- slots --

bool Pilot::MayShow(Other& other, double now) {
    if (other.Shows < ShowLimit || now - other.ShownAt[other.ShowNext] >= ShowWindowSeconds)
        return true;
    // Its samples stop here; the next Tick frees the slot.
    other.BarredUntil = now + ShowPenaltySeconds;
    other.Shown = false;
    ++counters_.ShowLimited;
    return false;
}

void Pilot::Show(int slot, Other& other, double now, bool removed) {
    ++other.Shows;
    other.ShownAt[other.ShowNext] = now;
    other.ShowNext = (other.ShowNext + 1) % ShowLimit;
    // Removing first: the plugin's clock filter never sees two senders' (or
    // two runs of one sender's) clocks in one slot.
    if (!removed) plugin_.RemoveSlot(slot);
    // Baked for the state it flies in now; HandleSample swaps it later.
    const Gear gear = other.Last ? GearFor(other.Last->Report) : Gear::Down;
    other.GearBaked = plugin_.PrepareSlotFor(slot, *other.Who, gear);
    other.Gears.Filled(gear);
    plugin_.SendModel(slot, *other.Who);
    other.Shown = true;
    other.ForwardedTime = 0;
    if (other.Last && now - other.HeardAt <= FirstSampleAgeSeconds) Forward(slot, other, now);
}

void Pilot::Forward(int slot, Other& other, double now) {
    // Samples reach us in order, but a repeat is not worth sending.
    if (other.Last->Report.Time <= other.ForwardedTime) return;
    // A token bucket: a second's worth at most, refilled at the cap's rate.
    const double cap = options_.MaxForwardPerSecond;
    other.Tokens =
        other.TokensAt < 0 ? cap : std::min(cap, other.Tokens + (now - other.TokensAt) * cap);
    other.TokensAt = now;
    if (other.Tokens < 1.0) {
        ++counters_.RateLimited;
        return;
    }
    other.Tokens -= 1.0;
    client::PositionReport report = other.Last->Report;  // its sender's Time, untouched
    report.AircraftIndex = static_cast<std::uint8_t>(slot);
    plugin_.SendSample(report);
    other.ForwardedTime = report.Time;
    ++counters_.Forwarded;
}

void Pilot::Tick(double now) {
    if (restoreIdentity_ && now - identityPublishedAt_ >= RestoreIdentitySeconds) {
        restoreIdentity_ = false;
        identityPublishedAt_ = now;
        ++counters_.IdentityRestored;
        PublishIdentity();
    }
    std::vector<SlotChooser::Candidate> eligible;
    for (auto it = others_.begin(); it != others_.end();) {
        Other& o = it->second;
        const double quiet = now - o.HeardAt;
        // Cleared just before the broker went away: a restart, not a departure.
        if (o.ClearedAt && brokerLostAt_ >= *o.ClearedAt) o.ClearedAt.reset();
        const bool left = o.ClearedAt && now - *o.ClearedAt >= options_.LeaveGraceSeconds;
        if (left || quiet > options_.ForgetSeconds) {
            if (o.IdentityWanted) UnwatchIdentity(o);
            it = others_.erase(it);
            continue;
        }
        const bool holder = o.Slot != 0;
        const double reach = options_.RadiusNm * (holder ? RadiusExitRatio : 1.0);
        // A pilot that would take a slot only to pass the show limit is
        // barred now, before it costs the plugin a model load.
        const bool barred = o.BarredUntil > now || (!holder && !MayShow(o, now));
        if (hasOwn_ && o.Who && o.Last && quiet <= options_.SilenceSeconds &&
            o.DistanceNm <= reach && !barred)
            eligible.push_back({it->first, o.DistanceNm});
        ++it;
    }
    const auto changes = chooser_.Update(eligible);
    // Every slot that changes is removed (a free one too: it may hold what an
    // earlier run left), and every removal goes out before any new model.
    for (const auto& change : changes) {
        plugin_.RemoveSlot(change.Slot);
        auto it = others_.find(change.From);
        if (it != others_.end()) {
            it->second.Shown = false;
            it->second.Slot = 0;
        }
    }
    for (const auto& change : changes) {
        if (change.To.empty()) continue;
        Other& other = others_.at(change.To);
        other.Slot = change.Slot;
        Show(change.Slot, other, now, true);
    }
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
        if (other.Last && now - other.HeardAt <= options_.SilenceSeconds) Forward(slot, other, now);
    }
}

void Pilot::Leave() {
    for (int slot = 1; slot <= chooser_.Slots(); ++slot)
        if (!chooser_.Holder(slot).empty()) plugin_.RemoveSlot(slot);
    chooser_.Clear();
    for (auto& [key, other] : others_) {
        other.Shown = false;
        other.Slot = 0;
    }
    left_ = true;  // the cleared identity below is ours, not to be restored
    if (ownIdentity_) {
        network_.Publish(IdentityTopic(options_.Callsign), nullptr, 0, 1, true);
        network_.Publish(Identity2Topic(options_.Callsign), nullptr, 0, 1, true);
    }
}

std::vector<PilotView> Pilot::View(double now) const {
    std::vector<PilotView> rows;
    for (const auto& [key, o] : others_) {
        if (!o.Last) continue;
        PilotView v;
        v.Callsign = o.Callsign;
        v.Origin = o.Origin;
        if (o.Who) {
            const std::string& path = o.Who->ModelName;
            const std::size_t cut = path.find_last_of("/\\:");
            v.Model = cut == std::string::npos ? path : path.substr(cut + 1);
            v.Type = o.Who->IcaoType;
        }
        if (o.Slot != 0 && o.Shown) {
            const PluginPort::SlotMatch match = plugin_.MatchOf(o.Slot);
            v.Match = match.Rule;
            v.MatchedModel = match.Model;
            if (o.GearBaked) v.GearShown = o.Gears.Shown();
        }
        v.DistanceNm = o.DistanceNm;
        v.BearingDeg = o.BearingDeg;
        v.AltitudeFt = o.Last->Report.Altitude * client::FeetPerMetre;
        v.Slot = o.Slot;
        v.AgeMs = (now - o.HeardAt) * 1000.0;
        v.LatencyMs = o.LatencyMs;
        rows.push_back(std::move(v));
    }
    // The nearest rows only: the table can hold hundreds.
    const std::size_t shown = std::min(rows.size(), options_.MaxViewRows);
    std::partial_sort(
        rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(shown), rows.end(),
        [](const PilotView& a, const PilotView& b) { return a.DistanceNm < b.DistanceNm; });
    rows.resize(shown);
    return rows;
}

}  // namespace velmir::net
