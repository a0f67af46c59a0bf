#include "net/pilot/Gear.h"

namespace velmir::net {

Gear GearFor(const client::PositionReport& r) {
    if (r.PositionFlags & 1) return Gear::Down;  // on the ground
    const double metres = r.RadioAltitude >= 0 ? r.RadioAltitude : r.Altitude;
    return metres * client::FeetPerMetre < GearDownBelowFeet ? Gear::Down : Gear::Up;
}

bool GearSwitch::Update(Gear wanted, double distanceNm, double now) {
    if (wanted == shown_) {
        otherSince_.reset();  // a touch-and-go's few seconds up do not count
        return false;
    }
    if (!otherSince_) otherSince_ = now;
    // Near pilots keep their model: a swap would be seen.
    return now - *otherSince_ >= GearSwapAfterSeconds && distanceNm > GearSwapBeyondNm;
}

}  // namespace velmir::net
