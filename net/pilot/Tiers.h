// Rates that follow distance, in plain MQTT topics.
//
// A pilot's samples (ten a second) are spread over four topic trees: every
// 20th sample goes to 0.25-degree cells ("p250"), the other 10th ones to
// 0.2-degree cells ("pos-20"), the other 5th ones to 0.05-degree cells
// ("pos-5"), the rest to 0.01-degree cells ("pos-1"). A listener subscribes
// to the cells of each tree that come within that tree's radius. Each
// sample is published once, and a listener hears a pilot at
//   10 Hz within ~0.5 nm, 2 Hz within ~2 nm, 1 Hz within ~10 nm, 0.5 Hz beyond,
// the tiers measured with the plugin's smoothing (docs/network.md).
// Slower aircraft need fewer samples for the same picture (measured too):
// one moving slower than 15 m/s (taxiing) sends at most 2 a second, one
// standing still one every 2 s, on the coarsest tree only. Airports are full
// of both.
//
// A pilot nobody is near sends only what someone may be owed: a tier's
// samples go out, and its cells are listened to, only while a pilot was
// heard within its radius and a mile (everyone sends coarse samples, so
// everyone near is heard within 2 s, and a mile is 3 s at 1,200 kt closing).
// Airliners in cruise, alone, then send one sample every 2 s instead of ten
// a second, and follow no fine cells.
//
// Older companions sent every 20th sample to the 1-degree "pos" tree. The
// Pilot always listens on its 1-degree cells, which carry nothing but such
// pilots; while one of them is near, this layer writes that tree as well.
//
// TieredNetwork sits between the Pilot and the broker session: the Pilot
// keeps publishing to and listening on 1-degree cells; this layer moves
// each sample to its tier's topic and follows the cells around the own
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
    int Tree;         // index into PositionTrees
    int Every;        // takes the samples whose sequence is a multiple of this
    double RadiusNm;  // listeners subscribe within this distance; 0 = the Pilot's radius
};
// Coarsest first; a sample goes to the first tier that takes it.
constexpr std::array<Tier, 4> Tiers = {
    {{CoarseTree, 20, 0.0}, {1, 10, 10.0}, {2, 5, 2.0}, {3, 1, 0.5}}};
// Below these speeds an aircraft counts as standing, or as taxiing.
constexpr double StillMetresPerSecond = 0.5;
constexpr double SlowMetresPerSecond = 15.0;
// Where more pilots are around than a listener can show, the coarse tree is
// listened to only a little beyond the nearest this many (the plugin shows
// 40): what it shows is the same, and the broker delivers far less. The
// circle changes at most this often, and grows at most twofold at a time.
constexpr std::size_t CoarseCrowd = 60;
constexpr double CoarseRefitSeconds = 10.0;
// A pilot on the 1-degree tree alone heard this recently keeps us writing it.
constexpr double OneDegreeHoldSeconds = 60.0;
// A tier goes quiet when nobody was heard within its radius and this much
// more, once we have listened this long since the broker (re)accepted us.
constexpr double QuietMarginNm = 1.0;
constexpr double QuietAfterSeconds = 5.0;

// A cell of one position tree: lat/lon indexes in units of its cell size.
struct TierCell {
    int Tree = 0;
    int Lat = 0, Lon = 0;
    bool operator<(const TierCell& o) const {
        return Tree != o.Tree ? Tree < o.Tree : Lat != o.Lat ? Lat < o.Lat : Lon < o.Lon;
    }
    bool operator==(const TierCell& o) const {
        return Tree == o.Tree && Lat == o.Lat && Lon == o.Lon;
    }
};
TierCell TierCellOf(int tree, double latitude, double longitude);
std::string TierCellName(const TierCell&);  // "4746_854"
// velmir/v1/local/<level>/<cell>/<callsign> and velmir/v1/+/<level>/<cell>/+.
std::string TierTopic(const TierCell&, std::string_view callsign);
std::string TierFilter(const TierCell&);

// Tier (0..3) of a sample of an aircraft moving at `speed` m/s: -1 when it
// is not sent at all.
int TierOfSample(std::uint16_t sequence, double speed);

// The shortest distance from a point to any point of a cell.
double DistanceToCellNm(double latitude, double longitude, const TierCell&);
// Every cell of `tree` that comes within `radiusNm` of a point, and no other.
std::set<TierCell> CellsAround(int tree, double latitude, double longitude, double radiusNm);

class TieredNetwork : public NetworkPort {
  public:
    // `radiusNm`: the Pilot's listening radius, the coarsest tier's.
    TieredNetwork(NetworkPort& inner, double radiusNm)
        : inner_(&inner), radiusNm_(radiusNm), coarseRadiusNm_(radiusNm) {}

    // Pilot side.
    bool Publish(const std::string& topic, const std::uint8_t* data, std::size_t length, int qos,
                 bool retain) override;
    void Subscribe(const std::string& filter, int qos) override;
    void Unsubscribe(const std::string& filter) override;

    // Broker side: the broker (re)accepted us; subscribe to the cells again.
    void OnBrokerConnected();
    // What the Pilot heard decides three things; call about once a second.
    // Whether a pilot who reads only the 1-degree tree is near: every 20th
    // sample goes there too. How far to listen on the coarse tree. And
    // which tiers nobody is near enough to need.
    void Tick(const Pilot&, double now);
    // `crowdNm`: the distance of the CoarseCrowd-th nearest pilot heard,
    // infinite when fewer are heard (Pilot::NearestNm).
    void FitCoarseRadius(double crowdNm, double now);
    double CoarseRadiusNm() const { return coarseRadiusNm_; }
    // The tiers sent, coarsest first: the finer ones are quiet.
    int TiersSent() const { return tiersSent_; }

    // Samples not sent: slow aircraft's, and those of quiet tiers.
    std::uint64_t Skipped() const { return skipped_; }

  private:
    void Follow(double latitude, double longitude);
    std::set<TierCell> CellsFor(double latitude, double longitude) const;
    void Move(std::set<TierCell> next);
    void Refollow();
    void Quieten(const Pilot&, double now);

    NetworkPort* inner_;
    double radiusNm_;
    double coarseRadiusNm_;
    double refitAt_ = -1e9, crowdLookedAt_ = -1e9;
    std::set<TierCell> cells_;
    bool followed_ = false;
    double followedLat_ = 0, followedLon_ = 0;
    bool oneDegree_ = false;
    int tiersSent_ = static_cast<int>(Tiers.size());
    double listeningSince_ = -1;  // the first Tick since the broker accepted us; -1 = none yet
    std::uint16_t shift_ = 0;
    bool shifted_ = false;
    std::uint64_t skipped_ = 0;
};

}  // namespace velmir::net
