// What the pilot hears from the broker: samples and identities of others,
// and its own identity cleared by someone else.
#include <algorithm>
#include <cmath>
#include <limits>

#include "net/pilot/Geo.h"
#include "net/pilot/Pilot.h"

namespace velmir::net {

namespace {
// Long enough to hear a pilot on the 0.25-degree tree twice.
constexpr double OneDegreeProofSeconds = 5.0;
// A sender clock this far behind what was already forwarded means its
// plugin restarted: the slot is shown afresh so the clock filter restarts.
constexpr double ClockRestartSeconds = 1.0;

// The identity topics of one pilot of one region (not every region's):
// version 2 first, so its retained copy is here when version 1 arrives and
// the pilot is shown once, with what it says it flies.
std::string IdentityFilterOf(const std::string& origin, const std::string& callsign) {
    return "velmir/v1/" + origin + "/id/" + callsign;
}
std::string Identity2FilterOf(const std::string& origin, const std::string& callsign) {
    return "velmir/v1/" + origin + "/id2/" + callsign;
}

// A version-2 identity describes the version-1 one beside it only when
// they agree: the last will clears version 1 alone, so a version 2 left
// from an earlier run may speak of another aircraft.
bool SameBase(const Identity& a, const Identity& b) {
    return a.Callsign == b.Callsign && a.DisplayName == b.DisplayName &&
           a.TailNumber == b.TailNumber && a.ModelName == b.ModelName &&
           a.LiveryIndex == b.LiveryIndex;
}
}  // namespace

void Pilot::OnMessage(std::string_view topicName, const std::uint8_t* data, std::size_t length,
                      double now, std::uint64_t wallMicros, bool retained) {
    ++counters_.Received;
    // Before anything reads it: the length alone says it is none of ours.
    if (length > MaxPayloadLength) return Drop(DropReason::Oversized);
    Topic topic;
    const DropReason reason = ParseTopic(topicName, topic);
    if (reason != DropReason::None) return Drop(reason);
    if (topic.Callsign == options_.Callsign) {  // our own, echoed back (id2/ needs no watching)
        if (topic.Kind == TopicKind::Identity) HandleOwnIdentity(topic, length, now);
        return;
    }
    // Samples are never published retained; one the broker kept anyway may
    // be hours old and its pilot gone, yet it would win a slot and a model.
    if (topic.Kind == TopicKind::Position && retained) return Drop(DropReason::Retained);
    if (topic.Kind == TopicKind::Position)
        HandleSample(topic, data, length, now, wallMicros);
    else
        HandleIdentity(topic, data, length, now);
}

// Our identity cleared while we are here: a hung run of ours whose session
// the broker ended late, or someone clearing it on purpose. Publish it again.
void Pilot::HandleOwnIdentity(const Topic& topic, std::size_t length, double now) {
    if (length != 0 || topic.Origin != "local" || !ownIdentity_ || left_) return;
    restoreIdentity_ = true;
    if (now - identityPublishedAt_ < RestoreIdentitySeconds) return;  // Tick does it
    restoreIdentity_ = false;
    identityPublishedAt_ = now;
    ++counters_.IdentityRestored;
    PublishIdentity();
}

Pilot::Other* Pilot::Remember(std::string_view key, const Topic& topic, double distanceNm,
                              double now) {
    auto it = others_.find(key);
    if (it != others_.end()) return &it->second;
    if (others_.size() >= options_.MaxPilots) {
        // Full: the farthest pilot without a slot makes room for a nearer
        // one (the longest silent when we do not know where we are).
        auto worst = others_.end();
        for (auto o = others_.begin(); o != others_.end(); ++o) {
            if (o->second.Slot != 0) continue;
            if (worst == others_.end() || (hasOwn_ ? o->second.DistanceNm > worst->second.DistanceNm
                                                   : o->second.HeardAt < worst->second.HeardAt))
                worst = o;
        }
        ++counters_.TableFull;
        if (worst == others_.end() || (hasOwn_ && distanceNm >= worst->second.DistanceNm))
            return nullptr;
        if (worst->second.IdentityWanted) UnwatchIdentity(worst->second);
        others_.erase(worst);
    }
    Other& other = others_.emplace(std::string(key), Other{}).first->second;
    other.Callsign = topic.Callsign;
    other.Origin = std::string(topic.Origin);
    other.HeardAt = other.FirstHeardAt = now;
    return &other;
}

double Pilot::NearestNm(std::size_t k, double now) const {
    if (!hasOwn_ || k == 0) return std::numeric_limits<double>::infinity();
    distances_.clear();
    for (const auto& [key, o] : others_)
        if (now - o.HeardAt <= options_.SilenceSeconds) distances_.push_back(o.DistanceNm);
    if (distances_.size() < k) return std::numeric_limits<double>::infinity();
    std::nth_element(distances_.begin(), distances_.begin() + (k - 1), distances_.end());
    return distances_[k - 1];
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
    const double distance =
        hasOwn_ ? DistanceNm(ownLat_, ownLon_, sample.Report.Latitude, sample.Report.Longitude)
                : 0.0;
    KeyBuffer key;
    Other* found = Remember(key.Of(topic.Callsign, topic.Origin), topic, distance, now);
    if (!found) return;  // the table is full of nearer pilots
    Other& other = *found;
    // A pilot near us heard for a while on the 1-degree tree and never on
    // the 0.25-degree one listens on the 1-degree tree alone (one who writes
    // both is heard on p250 every 2 s within the radius): we write it too.
    if (topic.Tree == CoarseTree)
        other.CoarseTreeAt = now;
    else if (topic.Tree == OneDegreeTree && hasOwn_ && distance <= options_.RadiusNm &&
             now - other.FirstHeardAt > OneDegreeProofSeconds &&
             now - other.CoarseTreeAt > OneDegreeProofSeconds)
        oneDegreeOnlyAt_ = now;
    other.Last = sample;
    other.HeardAt = now;
    if (hasOwn_) {
        other.DistanceNm = distance;
        other.BearingDeg =
            BearingDeg(ownLat_, ownLon_, sample.Report.Latitude, sample.Report.Longitude);
    }
    if (sample.SentAtMicros != 0)
        other.LatencyMs =
            (static_cast<double>(wallMicros) - static_cast<double>(sample.SentAtMicros)) / 1000.0;
    // Its identity matters only once it is near enough for a slot: the
    // cells we hear reach well beyond the radius.
    if (!other.IdentityWanted && hasOwn_ && distance <= options_.RadiusNm * RadiusExitRatio) {
        other.IdentityWanted = true;
        WatchIdentity(other);  // the retained copies follow
    }

    const int slot = other.Slot;
    if (slot == 0 || !other.Shown) return;
    // Gone out of range: the next Tick removes it; the plugin sees no more of it.
    if (hasOwn_ && other.DistanceNm > options_.RadiusNm * RadiusExitRatio) return;
    if (sample.Report.Time < other.ForwardedTime - ClockRestartSeconds) {
        // Its sender restarted: the slot starts over (unless it does so too often).
        if (MayShow(other, now)) Show(slot, other, now);
        return;
    }
    // Gear up or down for a while, far enough away that the swap is not seen.
    if (other.GearBaked &&
        other.Gears.Update(GearFor(sample.Report), hasOwn_ ? other.DistanceNm : 0.0, now)) {
        if (MayShow(other, now)) Show(slot, other, now);
        return;
    }
    Forward(slot, other, now);
}

void Pilot::HandleIdentity(const Topic& topic, const std::uint8_t* data, std::size_t length,
                           double now) {
    // Only this region's record: another region's messages never touch it.
    KeyBuffer key;
    auto it = others_.find(key.Of(topic.Callsign, topic.Origin));
    if (length == 0) {
        if (it == others_.end()) return;
        // Version 2 cleared alone says nothing about leaving: version 1 rules.
        if (topic.Kind == TopicKind::Identity2)
            it->second.Said.reset();
        else if (!it->second.ClearedAt)  // the pilot left, or its last will spoke
            it->second.ClearedAt = now;
        return;
    }
    Identity id;
    const DropReason reason = DecodeIdentity(data, length, topic.Callsign, id);
    if (reason != DropReason::None) return Drop(reason);
    // id2/ carries version 2 only; id/ either (one day version 2 alone).
    if (topic.Kind == TopicKind::Identity2 && !id.Described) return Drop(DropReason::WrongVersion);
    if (it == others_.end()) return;  // not (or no longer) heard nearby
    Other& other = it->second;
    if (topic.Kind == TopicKind::Identity2) {
        other.Said = id;
        // Waits for the version 1 it belongs to, if that is not here yet.
        if (other.Plain && SameBase(*other.Plain, id)) SetIdentity(other, id, now);
        return;
    }
    other.ClearedAt.reset();
    other.Plain = id;
    if (!id.Described && other.Said && SameBase(*other.Said, id)) id = *other.Said;
    SetIdentity(other, id, now);
}

void Pilot::SetIdentity(Other& other, const Identity& id, double now) {
    const bool changed = other.Who && *other.Who != id;
    other.Who = id;
    if (changed && other.Slot != 0 && MayShow(other, now)) Show(other.Slot, other, now);
}

void Pilot::WatchIdentity(const Other& other) {
    network_.Subscribe(Identity2FilterOf(other.Origin, other.Callsign), 1);
    network_.Subscribe(IdentityFilterOf(other.Origin, other.Callsign), 1);
}

void Pilot::UnwatchIdentity(const Other& other) {
    network_.Unsubscribe(Identity2FilterOf(other.Origin, other.Callsign));
    network_.Unsubscribe(IdentityFilterOf(other.Origin, other.Callsign));
}

}  // namespace velmir::net
