#include "net/pilot/PluginLink.h"

#include <cstdio>

namespace velmir::net {

namespace {
// The plugin reports ten times a second; this much silence means it is gone
// (or reloading), and we knock again with a ConnectMessage this often.
constexpr double LostAfterSeconds = 2.0;
constexpr double KnockSeconds = 1.0;
// The plugin drops a client after 120 s without a datagram. A type-7
// message is dropped by it without effect but still counts as a sign of life.
constexpr double KeepAliveSeconds = 30.0;
constexpr std::uint8_t TagHighByte = 0x4E;
}  // namespace

PluginLink::PluginLink(std::string root, ModelMap models)
    : root_(std::move(root)),
      models_(std::move(models)),
      written_(SlotCount + 1),
      matches_(SlotCount + 1) {}

bool PluginLink::Open(const std::string& host, std::uint16_t port, std::string& error) {
    if (!link_.Open(host, port)) {
        error = link_.LastError();
        return false;
    }
    link_.Connect(TagHighByte);
    lastSentAt_ = lastConnectAt_ = client::MonotonicSeconds();
    return true;
}

void PluginLink::Close() {
    if (link_.State() != client::LinkState::Closed) link_.Disconnect();
    link_.Close();
}

void PluginLink::Reconnect(double now) {
    link_.Connect(TagHighByte);
    lastSentAt_ = lastConnectAt_ = now;
}

void PluginLink::Poll(Pilot& pilot, double now, std::uint64_t wallMicros) {
    while (auto received = link_.Receive(0)) {
        if (!received->Result.Ok()) continue;
        const client::Message& m = received->Result.Value;
        if (std::holds_alternative<client::DisconnectNotice>(m)) {
            // The plugin stopped or dropped us: its slots are gone with it.
            lost_ = true;
            Reconnect(now);
            continue;
        }
        if (const auto* p = std::get_if<client::PositionReport>(&m)) {
            if (p->AircraftIndex != 0) continue;
            // A clock that went back is a reloaded plugin, even without a gap.
            const bool restarted = reports_ > 0 && p->Time + 1.0 < lastReportTime_;
            const bool resumed =
                lost_ || (lastReportAt_ >= 0 && now - lastReportAt_ > LostAfterSeconds);
            ++reports_;
            lastReportAt_ = now;
            lastReportTime_ = p->Time;
            if (restarted || resumed) {
                // Already knocking when it was lost; otherwise say hello again.
                if (restarted && !lost_) Reconnect(now);
                lost_ = false;
                ++reconnects_;
                pilot.ResendSlots(now);
            }
            pilot.OnOwnPosition(*p, now, wallMicros);
        } else if (const auto* model = std::get_if<client::ModelReport>(&m)) {
            if (model->AircraftIndex == 0) pilot.OnOwnModel(*model);
        }
    }
    const bool silent = lastReportAt_ < 0 || now - lastReportAt_ > LostAfterSeconds;
    if (silent && reports_ > 0) lost_ = true;
    if (silent && now - lastConnectAt_ >= KnockSeconds) Reconnect(now);
    if (now - lastSentAt_ >= KeepAliveSeconds) {
        link_.Send(client::SecondaryControlsReport{});
        lastSentAt_ = now;
    }
}

bool PluginLink::PrepareSlotFor(int slot, const Identity& id, Gear gear) {
    const std::string source = models_.FolderFor(id.ModelName);
    std::string error;
    if (source.empty() && source_) {
        // Source keys start with a NUL, so they never equal a folder.
        SlotMatch match;
        const std::string key = source_->KeyFor(id, gear, &match);
        if (!key.empty()) {
            const std::string mark = std::string(1, '\0') + key;
            if (written_[slot] == mark || source_->Fill(slot, id, gear, error)) {
                written_[slot] = mark;
                matches_[slot] = match;
                return true;
            }
            std::fprintf(stderr, "velmir-net: %s; the slot gets the built-in mesh\n",
                         error.c_str());
        }
    }
    matches_[slot] =
        source.empty() ? SlotMatch{"built-in mesh", ""} : SlotMatch{"models map", source};
    // The built-in mesh is marked by a name no folder can have.
    const std::string mark = source.empty() ? std::string(1, '\0') : source;
    if (written_[slot] == mark) return false;
    if (WriteSlotFrom(root_, slot, source, error)) {
        written_[slot] = mark;
    } else {
        written_[slot].clear();
        std::fprintf(stderr, "velmir-net: %s\n", error.c_str());
    }
    return false;
}

void PluginLink::SendModel(int slot, const Identity& id) {
    client::ModelReport m;
    m.AircraftIndex = static_cast<std::uint8_t>(slot);
    m.LiveryIndex = id.LiveryIndex;
    // The plugin labels a slot with these two and takes the traffic flight
    // id from the tail number. Only the callsign is vouched for (the broker
    // lets a login publish under its own callsign only); a sender's own
    // name or tail number could be anybody's callsign.
    m.DisplayName = id.Callsign;
    m.TailNumber = id.Callsign;
    // An empty name would equal a free slot's and load nothing.
    m.ModelName = id.ModelName.empty() ? "velmir-net/" + id.Callsign : id.ModelName;
    link_.Send(m);
    lastSentAt_ = client::MonotonicSeconds();
}

void PluginLink::SendSample(const client::PositionReport& report) {
    link_.Send(report);
    lastSentAt_ = client::MonotonicSeconds();
}

void PluginLink::RemoveSlot(int slot) {
    client::RemoveAircraftCommand m;
    m.AircraftIndex = static_cast<std::uint8_t>(slot);
    link_.Send(m);
    lastSentAt_ = client::MonotonicSeconds();
}

}  // namespace velmir::net
