// One pilot "ME" with one slot, at 47.5, 8.5 since `now`, its ports of the
// test's choosing; the others are reported by hand.
#pragma once

#include <gtest/gtest.h>

#include "net/pilot/Pilot.h"

namespace velmir::net {

template <class Network, class Plugin>
class OwnPilot : public ::testing::Test {
  protected:
    Network network;
    Plugin plugin;
    Pilot pilot{Options(), network, plugin};
    double now = 100.0;

    static PilotOptions Options() {
        PilotOptions o;
        o.Callsign = "ME";
        o.Slots = 1;
        return o;
    }
    void SetUp() override { PlaceOwn(pilot, 50); }
    // `p`'s own aircraft at 47.5, 8.5, its clock at `time`.
    void PlaceOwn(Pilot& p, double time) const {
        client::PositionReport own;
        own.Time = time;
        own.Latitude = 47.5;
        own.Longitude = 8.5;
        p.OnOwnPosition(own, now, 1);
    }
};

}  // namespace velmir::net
