// Synthetic pilots for `velmir-net load`: where each one is at any moment,
// without a simulator. Most crowd around a handful of busy airports (parked,
// taxiing, flying circuits, departing, arriving), the rest cruise between
// them, as on the public networks at a busy hour.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/Client.h"

namespace velmir::net {

struct Airport {
    const char* Name;
    double Latitude, Longitude, Elevation;  // deg, deg, m
    double Weight;                          // share of the airport pilots
};
const std::vector<Airport>& BusyAirports();

enum class Role { Parked, Taxi, Circuit, Departure, Arrival, EnRoute };
const char* ToString(Role);

struct Flight {
    Role Kind = Role::Parked;
    int From = 0, To = 0;  // airports (To: en route only)
    double Phase = 0;      // seconds into its path at t = 0
    double Bearing = 0;    // deg: parking spot, radial, circuit orientation
    double Offset = 0;     // m: parking spot distance, taxi loop radius
};

// Shares of the pilots; the airport ones are split by the airports' weights.
struct TrafficMix {
    double AtAirports = 0.6;                                              // the rest en route
    double Parked = 0.35, Taxi = 0.08, Circuit = 0.12, Departure = 0.22;  // arrivals: the rest
};

std::vector<Flight> MakeFlights(int pilots, std::uint32_t seed, const TrafficMix& = {});

// The pilot's own report, as its plugin would give it, t seconds into the
// run (Time is left for the caller to stamp).
client::PositionReport FlightSample(const Flight&, double t);

}  // namespace velmir::net
