// The map's table of pilots: every pilot heard on the coarsest position tree,
// with its identity, validated as join validates (net/pilot/Wire), bounded,
// and turned into the JSON the page and other views read (docs/network.md,
// "The map's JSON"). Used on the main loop only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "net/pilot/Wire.h"

namespace velmir::net {

struct MapLimits {
    std::size_t MaxPilots = 10000;      // pilots with a position; more are refused
    std::size_t MaxIdentities = 20000;  // identities kept, with or without a position
    double SilenceSeconds = 8.0;        // this quiet, a pilot has left: off the page within 10 s
};

class MapTable {
  public:
    explicit MapTable(MapLimits limits = {}) : limits_(limits) {}

    // One message from the broker: a sample on a position topic or an
    // identity. Anything else, or anything invalid, is counted and dropped;
    // so are retained samples and a region's messages about a pilot that
    // another region holds.
    void OnMessage(std::string_view topic, const std::uint8_t* data, std::size_t length, double now,
                   bool retained = false);
    // Drops pilots silent for longer than the limit.
    void Expire(double now);

    // For `velmir-net join --web`: the own aircraft and the slot each pilot holds.
    void SetOwn(const std::string& callsign);
    void SetSlots(const std::map<std::string, int>& slots);

    // The whole table, and what changed since the previous call to Changes.
    nlohmann::json Snapshot(double now) const;
    nlohmann::json Changes(double now);

    std::size_t Size() const { return pilots_.size(); }
    std::uint64_t Received() const { return received_; }
    std::uint64_t Dropped() const { return dropped_; }
    // Table full, or a message about a pilot another region holds.
    std::uint64_t Refused() const { return refused_; }
    const std::array<std::uint64_t, DropReasonCount>& DroppedBy() const { return droppedBy_; }

  private:
    struct Entry {
        std::string Origin;
        Sample Last;
        double HeardAt = 0;
        std::uint64_t Revision = 0;
    };
    struct Known {
        Identity Who;
        std::string Origin;
    };

    void Drop(DropReason);
    void Touch(Entry&);
    void Remove(const std::string& callsign);
    nlohmann::json PilotJson(const std::string& callsign, const Entry&, double now) const;

    MapLimits limits_;
    std::map<std::string, Entry> pilots_;
    std::map<std::string, Known> identities_;
    std::map<std::string, int> slots_;
    std::string own_;
    std::uint64_t revision_ = 0;
    std::map<std::string, std::uint64_t> sent_;  // revision each pilot had at the last Changes
    std::vector<std::string> removed_;           // since the last Changes
    std::uint64_t received_ = 0, dropped_ = 0, refused_ = 0;
    std::array<std::uint64_t, DropReasonCount> droppedBy_{};
};

}  // namespace velmir::net
