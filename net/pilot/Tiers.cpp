#include "net/pilot/Tiers.h"

#include <algorithm>
#include <cmath>

#include "net/pilot/Geo.h"

namespace velmir::net {

namespace {

constexpr std::string_view Prefix = "velmir/v1/";
// The cells followed reach this much beyond each radius: the aircraft may
// move 0.001 degree (0.06 nm) before they are worked out again.
constexpr double FollowMarginNm = 0.1;
constexpr double FollowStepDegrees = 0.001;

double CellDegrees(int tree) { return PositionTrees[tree].CellThousandths / 1000.0; }

}  // namespace

TierCell TierCellOf(int tree, double latitude, double longitude) {
    const Cell c = TreeCellOf(tree, latitude, longitude);
    return TierCell{tree, c.Lat, c.Lon};
}

std::string TierCellName(const TierCell& c) {
    return std::to_string(c.Lat) + "_" + std::to_string(c.Lon);
}

std::string TierTopic(const TierCell& c, std::string_view callsign) {
    return std::string(Prefix) + "local/" + std::string(PositionTrees[c.Tree].Level) + "/" +
           TierCellName(c) + "/" + std::string(callsign);
}

std::string TierFilter(const TierCell& c) {
    return std::string(Prefix) + "+/" + std::string(PositionTrees[c.Tree].Level) + "/" +
           TierCellName(c) + "/+";
}

int TierOfSample(std::uint16_t sequence, double speed) {
    const int fewest = speed < StillMetresPerSecond ? 20 : speed < SlowMetresPerSecond ? 5 : 1;
    for (int t = 0; t < static_cast<int>(Tiers.size()); ++t) {
        if (Tiers[t].Every < fewest) return -1;
        if (sequence % Tiers[t].Every == 0) return t;
    }
    return -1;
}

double DistanceToCellNm(double latitude, double longitude, const TierCell& c) {
    const double size = CellDegrees(c.Tree);
    const double south = c.Lat * size, north = south + size;
    // The cell's meridians as seen from the point, within half a turn.
    const double centre = std::remainder(c.Lon * size + size / 2 - longitude, 360.0);
    const double west = centre - size / 2, east = centre + size / 2;
    if (west <= 0 && east >= 0) {  // the point's own meridian crosses the cell
        const double lat = std::clamp(latitude, south, north);
        return client::Radians(std::fabs(latitude - lat)) * EarthRadiusNm;
    }
    // Otherwise the nearer meridian holds the nearest point: the distance to
    // any point grows with the longitude between them. On that meridian the
    // nearest point is the foot of the perpendicular, or the cell's end.
    const double offset = std::fabs(west) < std::fabs(east) ? west : east;
    const double rad = client::Radians(offset);
    const double foot =
        std::cos(rad) > 0
            ? client::Degrees(std::atan(std::tan(client::Radians(latitude)) / std::cos(rad)))
            : (latitude >= 0 ? 90.0 : -90.0);
    return DistanceNm(latitude, longitude, std::clamp(foot, south, north), longitude + offset);
}

std::set<TierCell> CellsAround(int tree, double latitude, double longitude, double radiusNm) {
    // The candidates: the cap's rows and columns; then each cell's own distance.
    const CapExtent cap = CapAround(latitude, radiusNm);
    const int south = TierCellOf(tree, std::max(-90.0, latitude - cap.Lat), longitude).Lat;
    const int north = TierCellOf(tree, std::min(90.0, latitude + cap.Lat), longitude).Lat;
    const int around = TreeCells(tree, 360), half = TreeCells(tree, 180);
    const double size = CellDegrees(tree);
    const int west =
        cap.AllLongitudes ? -half : static_cast<int>(std::floor((longitude - cap.Lon) / size));
    const int east =
        cap.AllLongitudes ? half - 1 : static_cast<int>(std::floor((longitude + cap.Lon) / size));
    std::set<TierCell> cells;
    for (int lat = south; lat <= north; ++lat)
        for (int lon = west; lon <= east && lon < west + around; ++lon) {
            const int wrapped = ((lon + half) % around + around) % around - half;
            const TierCell c{tree, lat, wrapped};
            if (DistanceToCellNm(latitude, longitude, c) <= radiusNm) cells.insert(c);
        }
    return cells;
}

// ------------------------------------------------------------ the layer --

bool TieredNetwork::Publish(const std::string& topic, const std::uint8_t* data, std::size_t length,
                            int qos, bool retain) {
    Topic parsed;
    if (length != SampleLayout::Length || ParseTopic(topic, parsed) != DropReason::None ||
        parsed.Kind != TopicKind::Position) {
        return inner_->Publish(topic, data, length, qos, retain);
    }
    const double lat = Get(data, SampleLayout::Latitude), lon = Get(data, SampleLayout::Longitude);
    Follow(lat, lon);
    const double speed =
        std::hypot(Get(data, SampleLayout::VelocityX), Get(data, SampleLayout::VelocityY),
                   Get(data, SampleLayout::VelocityZ));
    // Sequences start at 0 when a program starts; pilots who started
    // together would all send their coarse samples in the same tenth of a
    // second. A shift that is the callsign's own spreads them.
    if (!shifted_) {
        shift_ = static_cast<std::uint16_t>(std::hash<std::string>{}(parsed.Callsign) % 20);
        shifted_ = true;
    }
    const auto sequence = static_cast<std::uint16_t>(Get(data, SampleLayout::Sequence) + shift_);
    const int tier = TierOfSample(sequence, speed);
    if (tier < 0 || tier >= tiersSent_) {
        ++skipped_;  // nobody needs it: as good as sent
        return true;
    }
    bool sent = inner_->Publish(TierTopic(TierCellOf(Tiers[tier].Tree, lat, lon), parsed.Callsign),
                                data, length, qos, retain);
    // The Pilot's own topic is the 1-degree tree.
    if (tier == 0 && oneDegree_) sent = inner_->Publish(topic, data, length, qos, retain) && sent;
    return sent;
}

void TieredNetwork::Subscribe(const std::string& filter, int qos) {
    inner_->Subscribe(filter, qos);
}

void TieredNetwork::Unsubscribe(const std::string& filter) { inner_->Unsubscribe(filter); }

std::set<TierCell> TieredNetwork::CellsFor(double latitude, double longitude) const {
    std::set<TierCell> cells;
    auto add = [&](const Tier& t) {
        // The coarsest tier reaches as far as a slot holder may be.
        const double radius = t.RadiusNm > 0 ? t.RadiusNm : coarseRadiusNm_ * RadiusExitRatio;
        cells.merge(CellsAround(t.Tree, latitude, longitude, radius + FollowMarginNm));
    };
    // A quiet tier's cells are not listened to either: whoever would send
    // there hears us first, and we them (net/pilot/Tiers.h).
    for (int t = 0; t < tiersSent_; ++t) add(Tiers[t]);
    return cells;
}

void TieredNetwork::Follow(double latitude, double longitude) {
    if (followed_ && std::fabs(latitude - followedLat_) < FollowStepDegrees &&
        std::fabs(longitude - followedLon_) < FollowStepDegrees)
        return;
    followed_ = true;
    followedLat_ = latitude;
    followedLon_ = longitude;
    Move(CellsFor(latitude, longitude));
}

// New cells before leaving old ones, as the Pilot does with its own.
void TieredNetwork::Move(std::set<TierCell> next) {
    if (next == cells_) return;
    for (const TierCell& c : next)
        if (cells_.count(c) == 0) inner_->Subscribe(TierFilter(c), 0);
    for (const TierCell& c : cells_)
        if (next.count(c) == 0) inner_->Unsubscribe(TierFilter(c));
    cells_ = std::move(next);
}

// The cells for where we are, after what decides them changed.
void TieredNetwork::Refollow() {
    if (followed_) Move(CellsFor(followedLat_, followedLon_));
}

void TieredNetwork::Tick(const Pilot& pilot, double now) {
    oneDegree_ = now - pilot.OneDegreeOnlyHeardAt() < OneDegreeHoldSeconds;
    Quieten(pilot, now);
    // The crowd is looked at twice a second at most, and only when the circle
    // may move.
    if (now - refitAt_ < CoarseRefitSeconds || now - crowdLookedAt_ < 0.5) return;
    crowdLookedAt_ = now;
    FitCoarseRadius(pilot.NearestNm(CoarseCrowd, now), now);
}

void TieredNetwork::Quieten(const Pilot& pilot, double now) {
    if (listeningSince_ < 0) listeningSince_ = now;
    int sent = static_cast<int>(Tiers.size());
    if (now - listeningSince_ >= QuietAfterSeconds) {  // else not everyone near is heard yet
        const double nearest = pilot.NearestNm(1, now);
        // Finest first: a tier nobody is within leaves every finer one empty
        // too. Only as far as the coarse tree is listened to can "nobody" be
        // known.
        while (sent > 1) {
            const double reach = Tiers[sent - 1].RadiusNm + QuietMarginNm;
            if (nearest <= reach || coarseRadiusNm_ * RadiusExitRatio < reach) break;
            --sent;
        }
    }
    if (sent == tiersSent_) return;
    tiersSent_ = sent;
    Refollow();
}

void TieredNetwork::FitCoarseRadius(double crowdNm, double now) {
    if (now - refitAt_ < CoarseRefitSeconds) return;
    // Never inside the 1 Hz tier: there the coarse samples fill its gaps.
    const double floor = std::min(radiusNm_, Tiers[1].RadiusNm);
    double want = std::isfinite(crowdNm) ? std::clamp(crowdNm * 1.25 + 1.0, floor, radiusNm_)
                                         : std::min(radiusNm_, coarseRadiusNm_ * 2);
    // Small changes move no subscriptions.
    if (want > coarseRadiusNm_ * 0.8 && want < coarseRadiusNm_ * 1.25 && want != radiusNm_) return;
    if (want == coarseRadiusNm_) return;
    refitAt_ = now;
    coarseRadiusNm_ = want;
    Refollow();
}

void TieredNetwork::OnBrokerConnected() {
    // Whoever is near may have been missed meanwhile: send everything until
    // we have listened again.
    listeningSince_ = -1;
    if (tiersSent_ != static_cast<int>(Tiers.size())) {
        tiersSent_ = static_cast<int>(Tiers.size());
        if (followed_) cells_ = CellsFor(followedLat_, followedLon_);
    }
    for (const TierCell& c : cells_) inner_->Subscribe(TierFilter(c), 0);
}

}  // namespace velmir::net
