#include "net/pilot/Tiers.h"

#include <algorithm>
#include <cmath>

#include "net/pilot/Geo.h"

namespace velmir::net {

namespace {

constexpr std::string_view Prefix = "velmir/v1/";

int Cells(int tier, int degrees) { return degrees * 100 / Tiers[tier].CellHundredths; }

int LatIndex(int tier, double latitude) {
    const int index = static_cast<int>(std::floor(latitude * 100.0 / Tiers[tier].CellHundredths));
    return std::clamp(index, -Cells(tier, 90), Cells(tier, 90) - 1);  // the pole: top row
}

}  // namespace

TierCell TierCellOf(int tier, double latitude, double longitude) {
    const Cell c = TreeCellOf(tier, latitude, longitude);
    return TierCell{tier, c.Lat, c.Lon};
}

std::string TierCellName(const TierCell& c) {
    return std::to_string(c.Lat) + "_" + std::to_string(c.Lon);
}

std::string TierTopic(const TierCell& c, std::string_view callsign) {
    return std::string(Prefix) + "local/" + Tiers[c.Tier].Level + "/" + TierCellName(c) + "/" +
           std::string(callsign);
}

std::string TierFilter(const TierCell& c) {
    return std::string(Prefix) + "+/" + Tiers[c.Tier].Level + "/" + TierCellName(c) + "/+";
}

int TierOfSample(std::uint16_t sequence, double speed) {
    const int fewest = speed < StillMetresPerSecond ? 20 : speed < SlowMetresPerSecond ? 5 : 1;
    for (int t = 0; t < static_cast<int>(Tiers.size()); ++t) {
        if (Tiers[t].Every < fewest) return -1;
        if (sequence % Tiers[t].Every == 0) return t;
    }
    return -1;
}

std::set<TierCell> FineCellsAround(double latitude, double longitude) {
    std::set<TierCell> cells;
    for (int t = 1; t < static_cast<int>(Tiers.size()); ++t) {
        // The box around the circle: small radii, far from the poles, so
        // the flat approximation is well inside one cell's size.
        const double dLat = Tiers[t].RadiusNm / 60.0;
        const double dLon =
            dLat / std::max(0.01, std::cos(client::Radians(std::min(89.0, std::fabs(latitude)))));
        const int south = LatIndex(t, std::max(-90.0, latitude - dLat));
        const int north = LatIndex(t, std::min(90.0, latitude + dLat));
        const int west =
            static_cast<int>(std::floor((longitude - dLon) * 100.0 / Tiers[t].CellHundredths));
        const int east =
            static_cast<int>(std::floor((longitude + dLon) * 100.0 / Tiers[t].CellHundredths));
        const int around = Cells(t, 360);
        for (int lat = south; lat <= north; ++lat)
            for (int lon = west; lon <= east; ++lon) {
                // Across the antimeridian the index wraps.
                const int wrapped = ((lon + Cells(t, 180)) % around + around) % around;
                cells.insert(TierCell{t, lat, wrapped - Cells(t, 180)});
            }
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
    if (tier < 0) {
        ++skipped_;  // not needed at this speed: as good as sent
        return true;
    }
    if (tier == 0) return inner_->Publish(topic, data, length, qos, retain);
    return inner_->Publish(TierTopic(TierCellOf(tier, lat, lon), parsed.Callsign), data, length,
                           qos, retain);
}

void TieredNetwork::Subscribe(const std::string& filter, int qos) {
    inner_->Subscribe(filter, qos);
}

void TieredNetwork::Unsubscribe(const std::string& filter) { inner_->Unsubscribe(filter); }

// New cells before leaving old ones, as the Pilot does with its own.
void TieredNetwork::Follow(double latitude, double longitude) {
    // The boxes are wider than the radii by a cell: moving 100 m changes
    // nothing that matters, and most samples move less.
    if (!fine_.empty() && std::fabs(latitude - followedLat_) < 0.001 &&
        std::fabs(longitude - followedLon_) < 0.001)
        return;
    followedLat_ = latitude;
    followedLon_ = longitude;
    std::set<TierCell> next = FineCellsAround(latitude, longitude);
    if (next == fine_) return;
    for (const TierCell& c : next)
        if (fine_.count(c) == 0) inner_->Subscribe(TierFilter(c), 0);
    for (const TierCell& c : fine_)
        if (next.count(c) == 0) inner_->Unsubscribe(TierFilter(c));
    fine_ = std::move(next);
}

void TieredNetwork::OnBrokerConnected() {
    for (const TierCell& c : fine_) inner_->Subscribe(TierFilter(c), 0);
}

}  // namespace velmir::net
