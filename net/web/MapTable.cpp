#include "net/web/MapTable.h"

#include <cmath>

#include "client/Geo.h"

namespace velmir::net {
namespace {

constexpr double FeetPerMetre = 3.28084;
constexpr double KnotsPerMetreSecond = 1.943844;

double Round(double v, double step) { return std::round(v / step) * step; }

nlohmann::json TextOrNull(const std::optional<std::string>& text) {
    return text ? nlohmann::json(*text) : nlohmann::json(nullptr);
}

}  // namespace

void MapTable::Drop(DropReason reason) {
    ++dropped_;
    ++droppedBy_[static_cast<int>(reason)];
}

void MapTable::Touch(Entry& e) { e.Revision = ++revision_; }

void MapTable::Remove(const std::string& callsign) {
    if (pilots_.erase(callsign)) removed_.push_back(callsign);
}

void MapTable::OnMessage(std::string_view topic, const std::uint8_t* data, std::size_t length,
                         double now, bool retained) {
    ++received_;
    Topic parsed;
    if (const DropReason why = ParseTopic(topic, parsed); why != DropReason::None) return Drop(why);
    const std::string origin(parsed.Origin);
    // A pilot belongs to the region that first spoke for it, until it leaves
    // or falls silent: another region can neither move nor clear it.
    const auto held = pilots_.find(parsed.Callsign);
    const auto named = identities_.find(parsed.Callsign);
    if ((held != pilots_.end() && held->second.Origin != origin) ||
        (named != identities_.end() && named->second.Origin != origin)) {
        ++refused_;
        return;
    }
    // The map names pilots from version 1 (id/); version 2 (id2/) adds
    // nothing it shows, should a broader filter ever bring it here.
    if (parsed.Kind == TopicKind::Identity2) return;
    if (parsed.Kind == TopicKind::Identity) {
        if (length == 0) {  // cleared: the pilot left
            identities_.erase(parsed.Callsign);
            Remove(parsed.Callsign);
            return;
        }
        Identity who;
        if (const DropReason why = DecodeIdentity(data, length, parsed.Callsign, who);
            why != DropReason::None)
            return Drop(why);
        auto known = identities_.find(parsed.Callsign);
        if (known == identities_.end()) {
            if (identities_.size() >= limits_.MaxIdentities) {
                ++refused_;
                return;
            }
            known = identities_.emplace(parsed.Callsign, Known{}).first;
        }
        known->second = Known{std::move(who), origin};
        if (auto p = pilots_.find(parsed.Callsign); p != pilots_.end()) Touch(p->second);
        return;
    }
    // Samples are never published retained: one the broker kept is old.
    if (retained) return Drop(DropReason::Retained);
    Sample sample;
    if (const DropReason why = DecodeSample(data, length, parsed.Where, sample, parsed.Tree);
        why != DropReason::None)
        return Drop(why);
    auto p = pilots_.find(parsed.Callsign);
    if (p == pilots_.end()) {
        if (pilots_.size() >= limits_.MaxPilots) {
            ++refused_;
            return;
        }
        p = pilots_.emplace(parsed.Callsign, Entry{}).first;
    }
    p->second.Origin = origin;
    p->second.Last = sample;
    p->second.HeardAt = now;
    Touch(p->second);
}

void MapTable::Expire(double now) {
    for (auto p = pilots_.begin(); p != pilots_.end();) {
        if (now - p->second.HeardAt > limits_.SilenceSeconds) {
            removed_.push_back(p->first);
            p = pilots_.erase(p);
        } else {
            ++p;
        }
    }
}

void MapTable::SetOwn(const std::string& callsign) {
    if (callsign == own_) return;
    if (auto p = pilots_.find(own_); p != pilots_.end()) Touch(p->second);
    if (auto p = pilots_.find(callsign); p != pilots_.end()) Touch(p->second);
    own_ = callsign;
}

void MapTable::SetSlots(const std::map<std::string, int>& slots) {
    for (auto& [callsign, entry] : pilots_) {
        const auto was = slots_.find(callsign);
        const auto is = slots.find(callsign);
        const int before = was == slots_.end() ? 0 : was->second;
        const int after = is == slots.end() ? 0 : is->second;
        if (before != after) Touch(entry);
    }
    slots_ = slots;
}

nlohmann::json MapTable::PilotJson(const std::string& callsign, const Entry& e, double now) const {
    const client::PositionReport& r = e.Last.Report;
    const auto known = identities_.find(callsign);
    const Identity* who = known == identities_.end() ? nullptr : &known->second.Who;
    const double east = r.VelocityX, north = -r.VelocityZ;
    const double groundSpeed = std::hypot(east, north);
    double track = std::atan2(east, north) * 180.0 / client::Pi;
    if (track < 0) track += 360.0;
    nlohmann::json j;
    j["callsign"] = callsign;
    j["name"] = TextOrNull(who ? std::optional(who->DisplayName) : std::nullopt);
    j["tail"] = TextOrNull(who ? std::optional(who->TailNumber) : std::nullopt);
    j["model"] = TextOrNull(who ? std::optional(who->ModelName) : std::nullopt);
    j["lat"] = Round(r.Latitude, 1e-6);
    j["lon"] = Round(r.Longitude, 1e-6);
    j["alt_ft"] = Round(r.Altitude * FeetPerMetre, 1.0);
    j["heading_deg"] = Round(r.Heading, 0.1);
    // Below a walking pace the track is noise: the page turns nothing then.
    j["track_deg"] =
        groundSpeed < 0.5 ? nlohmann::json(nullptr) : nlohmann::json(Round(track, 0.1));
    j["gs_kt"] = Round(groundSpeed * KnotsPerMetreSecond, 0.1);
    j["vs_fpm"] = Round(r.VelocityY * FeetPerMetre * 60.0, 1.0);
    j["on_ground"] = (r.PositionFlags & 1) != 0;
    j["origin"] = e.Origin;
    j["age_ms"] = Round((now - e.HeardAt) * 1000.0, 1.0);
    j["seq"] = e.Last.Sequence;
    if (!own_.empty()) {  // join mode
        const auto slot = slots_.find(callsign);
        j["slot"] = slot == slots_.end() || slot->second == 0 ? nlohmann::json(nullptr)
                                                              : nlohmann::json(slot->second);
        j["own"] = callsign == own_;
    }
    return j;
}

nlohmann::json MapTable::Snapshot(double now) const {
    nlohmann::json pilots = nlohmann::json::array();
    for (const auto& [callsign, entry] : pilots_) pilots.push_back(PilotJson(callsign, entry, now));
    return pilots;
}

nlohmann::json MapTable::Changes(double now) {
    nlohmann::json upsert = nlohmann::json::array(), remove = nlohmann::json::array();
    for (const std::string& callsign : removed_) {
        sent_.erase(callsign);
        if (!pilots_.count(callsign)) remove.push_back(callsign);
    }
    removed_.clear();
    for (const auto& [callsign, entry] : pilots_) {
        auto sent = sent_.find(callsign);
        if (sent != sent_.end() && sent->second == entry.Revision) continue;
        sent_[callsign] = entry.Revision;
        upsert.push_back(PilotJson(callsign, entry, now));
    }
    return {{"upsert", std::move(upsert)}, {"remove", std::move(remove)}};
}

}  // namespace velmir::net
