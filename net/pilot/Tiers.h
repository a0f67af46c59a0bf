// Rates that follow distance, in plain MQTT topics.
//
// A pilot's samples (ten a second) are spread over four topic trees whose
// cells nest: every 20th sample goes to the 1-degree cell tree the pilot
// already uses ("pos"), the other 10th ones to 0.2-degree cells ("pos-20"),
// the other 5th ones to 0.05-degree cells ("pos-5"), the rest to
// 0.01-degree cells ("pos-1"). A listener subscribes to each tree's cells
// within that tree's radius. Each sample is published once, and a listener
// hears a pilot at
//   10 Hz within ~0.5 nm, 2 Hz within ~2 nm, 1 Hz within ~10 nm, 0.5 Hz beyond,
// the tiers measured with the plugin's smoothing (docs/network.md).
// Slower aircraft need fewer samples for the same picture (measured too):
// one moving slower than 15 m/s (taxiing) sends at most 2 a second, one
// standing still one every 2 s, on the coarsest tree only. Airports are full
// of both.
//
// TieredNetwork sits between the Pilot and the broker session: the Pilot
// keeps publishing to and listening on 1-degree cells; this layer moves
// each sample to its tier's topic and follows the finer cells around the own
// aircraft. What arrives goes to the Pilot as it is: its topic parser knows
// every tree and checks each sample against the cell of its own tree.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>

#include "net/pilot/Pilot.h"

namespace velmir::net {

struct Tier {
    const char* Level;   // topic level after the origin
    int CellHundredths;  // cell size in hundredths of a degree
    int Every;           // takes the samples whose sequence is a multiple of this
    double RadiusNm;     // listeners subscribe within this distance; 0 = the Pilot's radius
};
// Coarsest first; a sample goes to the first tier that takes it.
constexpr std::array<Tier, 4> Tiers = {{
    {"pos", 100, 20, 0.0},
    {"pos-20", 20, 10, 10.0},
    {"pos-5", 5, 5, 2.0},
    {"pos-1", 1, 1, 0.5},
}};
constexpr bool TiersAreThePositionTrees() {
    if (Tiers.size() != PositionTreeCount) return false;
    for (std::size_t t = 0; t < Tiers.size(); ++t)
        if (std::string_view(Tiers[t].Level) != PositionTrees[t].Level ||
            Tiers[t].CellHundredths != PositionTrees[t].CellHundredths)
            return false;
    return true;
}
static_assert(TiersAreThePositionTrees(), "each tier is the position tree of Wire.h at its index");
// Below these speeds an aircraft counts as standing, or as taxiing.
constexpr double StillMetresPerSecond = 0.5;
constexpr double SlowMetresPerSecond = 15.0;

// A cell of one tier: lat/lon indexes in units of the tier's cell size.
struct TierCell {
    int Tier = 0;
    int Lat = 0, Lon = 0;
    bool operator<(const TierCell& o) const {
        return Tier != o.Tier ? Tier < o.Tier : Lat != o.Lat ? Lat < o.Lat : Lon < o.Lon;
    }
    bool operator==(const TierCell& o) const {
        return Tier == o.Tier && Lat == o.Lat && Lon == o.Lon;
    }
};
TierCell TierCellOf(int tier, double latitude, double longitude);
std::string TierCellName(const TierCell&);  // "4712_812"
// velmir/v1/local/<level>/<cell>/<callsign> and velmir/v1/+/<level>/<cell>/+.
std::string TierTopic(const TierCell&, std::string_view callsign);
std::string TierFilter(const TierCell&);

// Tier of a sample of an aircraft moving at `speed` m/s: -1 when it is not
// sent at all.
int TierOfSample(std::uint16_t sequence, double speed);

// Cells of the finer tiers (1..3) within each tier's radius of a point.
std::set<TierCell> FineCellsAround(double latitude, double longitude);

class TieredNetwork : public NetworkPort {
  public:
    explicit TieredNetwork(NetworkPort& inner) : inner_(&inner) {}

    // Pilot side.
    bool Publish(const std::string& topic, const std::uint8_t* data, std::size_t length, int qos,
                 bool retain) override;
    void Subscribe(const std::string& filter, int qos) override;
    void Unsubscribe(const std::string& filter) override;

    // Broker side: the broker (re)accepted us; subscribe to the fine cells again.
    void OnBrokerConnected();

    std::uint64_t Skipped() const { return skipped_; }  // samples of slow aircraft not sent

  private:
    void Follow(double latitude, double longitude);

    NetworkPort* inner_;
    std::set<TierCell> fine_;
    double followedLat_ = 0, followedLon_ = 0;
    std::uint16_t shift_ = 0;
    bool shifted_ = false;
    std::uint64_t skipped_ = 0;
};

}  // namespace velmir::net
