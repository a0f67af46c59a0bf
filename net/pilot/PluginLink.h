// The companion's side of the plugin's UDP link: reports of the user's own
// aircraft go to the Pilot; the Pilot's slot decisions come back as slot
// folders and plugin messages. Notices a restarted plugin and reconnects.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/Client.h"
#include "net/pilot/Models.h"
#include "net/pilot/Pilot.h"

namespace velmir::net {

// Where a slot's objects come from when the --models map names none (the
// CSL packages of net/csl). KeyFor names what Fill would write, so a slot
// already holding it is left alone; empty = nothing to offer. `match` gets
// how the model was chosen and which it is, for the display.
class SlotModelSource {
  public:
    virtual ~SlotModelSource() = default;
    virtual std::string KeyFor(const Identity&, Gear, PluginPort::SlotMatch* match = nullptr) = 0;
    virtual bool Fill(int slot, const Identity&, Gear, std::string& error) = 0;
};

class PluginLink : public PluginPort {
  public:
    PluginLink(std::string root, ModelMap models);

    bool Open(const std::string& host, std::uint16_t port, std::string& error);
    // Drains the plugin's datagrams into `pilot`, keeps the link alive and
    // reconnects after a restart (then re-sends every slot through `pilot`).
    void Poll(Pilot& pilot, double now, std::uint64_t wallMicros);
    void Close();  // DisconnectMessage to the plugin

    int Handle() const { return link_.NativeHandle(); }
    std::uint16_t LocalPort() const { return link_.LocalPort(); }
    bool Answered() const { return reports_ > 0; }
    std::uint64_t Reconnects() const { return reconnects_; }
    void SetModelSource(SlotModelSource* source) { source_ = source; }

    void PrepareSlot(int slot, const Identity& id) override {
        PrepareSlotFor(slot, id, Gear::Down);
    }
    bool PrepareSlotFor(int slot, const Identity&, Gear) override;
    SlotMatch MatchOf(int slot) const override { return matches_.at(slot); }
    void SendModel(int slot, const Identity&) override;
    void SendSample(const client::PositionReport&) override;
    void RemoveSlot(int slot) override;

  private:
    void Reconnect(double now);

    std::string root_;
    ModelMap models_;
    SlotModelSource* source_ = nullptr;
    client::Connection link_;
    std::vector<std::string> written_;  // per slot: the source its folder holds
    std::vector<SlotMatch> matches_;    // per slot: how its model was chosen
    std::uint64_t reports_ = 0, reconnects_ = 0;
    double lastReportAt_ = -1, lastReportTime_ = 0;
    double lastSentAt_ = 0, lastConnectAt_ = 0;
    bool lost_ = false;  // the plugin went away; re-send slots when it is back
};

}  // namespace velmir::net
