// The gear a slot's model is baked with. Our plugin cannot animate a CSL
// model's gear per aircraft, so the slot is filled with the gear down or up
// and filled again when the pilot has stayed in the other state a while,
// only when it is too far away for anyone to see the model swap.
#pragma once

#include <optional>

#include "client/Client.h"

namespace velmir::net {

enum class Gear { Down, Up };

// On the ground or below this height above it: the gear is down.
constexpr double GearDownBelowFeet = 1500.0;
// A state held this long by a pilot this far away gets its slot filled again.
constexpr double GearSwapAfterSeconds = 30.0;
constexpr double GearSwapBeyondNm = 2.0;

// From one sample: on the ground, or the radio altitude below 1,500 ft, is
// down. Without a radio altitude the altitude above sea level stands in
// (never lower than the height above the ground, except below sea level).
Gear GearFor(const client::PositionReport&);

// One slot holder's shown state and how long it has wanted the other.
class GearSwitch {
  public:
    void Filled(Gear shown) {
        shown_ = shown;
        otherSince_.reset();
    }
    Gear Shown() const { return shown_; }
    // True when the slot should be filled again with `wanted` now.
    bool Update(Gear wanted, double distanceNm, double now);

  private:
    Gear shown_ = Gear::Down;
    std::optional<double> otherSince_;  // since when `wanted` has differed from shown_
};

}  // namespace velmir::net
