#include "net/load/LoadTraffic.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "client/Geo.h"
#include "net/pilot/Geo.h"

namespace velmir::net {

namespace {

using client::Degrees;
using client::Radians;
constexpr double EarthRadius = client::EarthRadiusMetres;
constexpr double Gravity = client::StandardGravity;
constexpr double RadialMetres = 40.0 * NauticalMileMetres;  // departures and arrivals to 40 nm

// Motion in a flat frame around a point: east, north, up (m) and their rates.
struct Local {
    double East = 0, North = 0, Up = 0;
    double VEast = 0, VNorth = 0, VUp = 0;
    double AEast = 0, ANorth = 0;
    bool Ground = false;
};

client::PositionReport ToReport(double lat0, double lon0, double elevation, const Local& m) {
    client::PositionReport r;
    r.Latitude = lat0 + Degrees(m.North / EarthRadius);
    r.Longitude = lon0 + Degrees(m.East / (EarthRadius * std::cos(Radians(lat0))));
    r.Altitude = elevation + m.Up;
    r.VelocityX = static_cast<float>(m.VEast);
    r.VelocityY = static_cast<float>(m.VUp);
    r.VelocityZ = static_cast<float>(-m.VNorth);
    r.AccelX = static_cast<float>(m.AEast);
    r.AccelZ = static_cast<float>(-m.ANorth);
    const double ground = std::hypot(m.VEast, m.VNorth);
    r.Heading =
        static_cast<float>(std::fmod(Degrees(std::atan2(m.VEast, m.VNorth)) + 360.0, 360.0));
    if (ground > 1.0) {
        r.Pitch = static_cast<float>(Degrees(std::atan2(m.VUp, ground)));
        // Bank from the sideways acceleration of a coordinated turn.
        const double side = (m.AEast * m.VNorth - m.ANorth * m.VEast) / ground;
        r.Bank = static_cast<float>(Degrees(std::atan2(side, Gravity)));
    }
    r.RadioAltitude = m.Ground ? 0.0f : -1.0f;
    r.PositionFlags = m.Ground ? 0x01 : 0x00;
    return r;
}

// The angle between two airports (radians); with lat/lon given, the point a
// fraction f of the way along the great circle from a to b.
double GreatCircle(const Airport& a, const Airport& b, double f, double* lat, double* lon) {
    const double p1[3] = {std::cos(Radians(a.Latitude)) * std::cos(Radians(a.Longitude)),
                          std::cos(Radians(a.Latitude)) * std::sin(Radians(a.Longitude)),
                          std::sin(Radians(a.Latitude))};
    const double p2[3] = {std::cos(Radians(b.Latitude)) * std::cos(Radians(b.Longitude)),
                          std::cos(Radians(b.Latitude)) * std::sin(Radians(b.Longitude)),
                          std::sin(Radians(b.Latitude))};
    const double dot = std::clamp(p1[0] * p2[0] + p1[1] * p2[1] + p1[2] * p2[2], -1.0, 1.0);
    const double omega = std::acos(dot);
    if (lat && lon) {
        const double s = std::sin(omega);
        const double ka = std::sin((1 - f) * omega) / s, kb = std::sin(f * omega) / s;
        const double p[3] = {ka * p1[0] + kb * p2[0], ka * p1[1] + kb * p2[1],
                             ka * p1[2] + kb * p2[2]};
        *lat = Degrees(std::atan2(p[2], std::hypot(p[0], p[1])));
        *lon = Degrees(std::atan2(p[1], p[0]));
    }
    return omega;
}

// Around a circle of radius r at speed v, clockwise from north, centred at
// (cx, cy) in the frame rotated by `bearing`.
Local Circle(double cx, double cy, double r, double v, double t, double bearing) {
    const double a = v / r * t;
    const double x = cx + r * std::sin(a), y = cy + r * std::cos(a);
    const double vx = v * std::cos(a), vy = -v * std::sin(a);
    const double w = v / r;
    const double ax = -v * w * std::sin(a), ay = -v * w * std::cos(a);
    const double c = std::cos(Radians(bearing)), s = std::sin(Radians(bearing));
    Local m;
    m.East = x * c + y * s;
    m.North = -x * s + y * c;
    m.VEast = vx * c + vy * s;
    m.VNorth = -vx * s + vy * c;
    m.AEast = ax * c + ay * s;
    m.ANorth = -ax * s + ay * c;
    return m;
}

}  // namespace

const std::vector<Airport>& BusyAirports() {
    // Three regions of four, busiest first in each; weights as on the public
    // networks at a European evening.
    static const std::vector<Airport> airports = {
        {"London", 51.4700, -0.4543, 25, 0.14},        {"Amsterdam", 52.3086, 4.7639, -3, 0.11},
        {"Frankfurt", 50.0333, 8.5706, 111, 0.11},     {"Zurich", 47.4647, 8.5492, 432, 0.07},
        {"New York", 40.6413, -73.7781, 4, 0.10},      {"Atlanta", 33.6407, -84.4277, 313, 0.08},
        {"Los Angeles", 33.9416, -118.4085, 38, 0.08}, {"Chicago", 41.9742, -87.9073, 204, 0.07},
        {"Dubai", 25.2532, 55.3657, 19, 0.07},         {"Tokyo", 35.5494, 139.7798, 6, 0.07},
        {"Singapore", 1.3644, 103.9915, 7, 0.05},      {"Sydney", -33.9399, 151.1753, 6, 0.05},
    };
    return airports;
}

const char* ToString(Role r) {
    switch (r) {
    case Role::Parked: return "parked";
    case Role::Taxi: return "taxi";
    case Role::Circuit: return "circuit";
    case Role::Departure: return "departure";
    case Role::Arrival: return "arrival";
    case Role::EnRoute: return "en-route";
    }
    return "?";
}

std::vector<Flight> MakeFlights(int pilots, std::uint32_t seed, const TrafficMix& mix) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto& airports = BusyAirports();
    std::vector<double> weights;
    for (const Airport& a : airports) weights.push_back(a.Weight);
    std::discrete_distribution<int> pick(weights.begin(), weights.end());
    std::vector<Flight> flights;
    for (int i = 0; i < pilots; ++i) {
        Flight f;
        f.From = pick(random);
        f.Phase = unit(random) * 3600.0;
        f.Bearing = unit(random) * 360.0;
        if (unit(random) >= mix.AtAirports) {
            f.Kind = Role::EnRoute;
            // Mostly within the region (airports come in fours), some long-haul.
            const int count = static_cast<int>(airports.size());
            do {
                f.To = unit(random) < 0.8 ? f.From / 4 * 4 + static_cast<int>(unit(random) * 4) % 4
                                          : static_cast<int>(unit(random) * count) % count;
            } while (f.To == f.From);
        } else {
            const double r = unit(random);
            double edge = mix.Parked;
            f.Kind = r < edge                      ? Role::Parked
                     : r < (edge += mix.Taxi)      ? Role::Taxi
                     : r < (edge += mix.Circuit)   ? Role::Circuit
                     : r < (edge += mix.Departure) ? Role::Departure
                                                   : Role::Arrival;
        }
        f.Offset =
            f.Kind == Role::Parked ? 150.0 + 450.0 * unit(random) : 250.0 + 250.0 * unit(random);
        flights.push_back(f);
    }
    return flights;
}

client::PositionReport FlightSample(const Flight& f, double t) {
    const Airport& home = BusyAirports()[f.From];
    const double time = f.Phase + t;
    Local m;
    switch (f.Kind) {
    case Role::Parked:
        m.East = f.Offset * std::sin(Radians(f.Bearing));
        m.North = f.Offset * std::cos(Radians(f.Bearing));
        m.Ground = true;
        break;
    case Role::Taxi:  // a loop of the taxiways at 15 kt
        m = Circle(0, 0, f.Offset, 8.0, time, f.Bearing);
        m.Ground = true;
        break;
    case Role::Circuit:  // a 1000 ft circuit at 90 kt, 1.4 km across
        m = Circle(700.0, 0, 700.0, 46.0, time, f.Bearing);
        m.Up = 300.0;
        break;
    case Role::Departure:
    case Role::Arrival: {
        // Along a radial at 140 kt, climbing or descending 3 degrees.
        const double speed = 72.0, slope = 0.0524;
        const double along = std::fmod(time * speed, RadialMetres);
        const double d = f.Kind == Role::Departure ? along : RadialMetres - along;
        const double sign = f.Kind == Role::Departure ? 1.0 : -1.0;
        const double b = Radians(f.Bearing);
        m.East = d * std::sin(b);
        m.North = d * std::cos(b);
        m.Up = 10.0 + d * slope;
        m.VEast = sign * speed * std::sin(b);
        m.VNorth = sign * speed * std::cos(b);
        m.VUp = sign * speed * slope;
        break;
    }
    case Role::EnRoute: {
        // Cruise along the great circle to the other airport at 450 kt,
        // FL350, to and fro.
        const Airport& to = BusyAirports()[f.To];
        const double speed = 232.0;
        const double length = GreatCircle(home, to, 0.0, nullptr, nullptr) * EarthRadius;
        auto where = [&](double at, double& lat, double& lon) {
            double along = std::fmod(at * speed, 2.0 * length);
            if (along >= length) along = 2.0 * length - along;
            GreatCircle(home, to, along / length, &lat, &lon);
        };
        double lat, lon, lat2, lon2;
        where(time, lat, lon);
        where(time + 0.5, lat2, lon2);
        client::PositionReport r;
        r.Latitude = lat;
        r.Longitude = lon;
        r.Altitude = 10668.0;
        double dLon = lon2 - lon;
        if (dLon > 180) dLon -= 360;
        if (dLon < -180) dLon += 360;
        const double vNorth = Radians(lat2 - lat) * EarthRadius / 0.5;
        const double vEast = Radians(dLon) * EarthRadius * std::cos(Radians(lat)) / 0.5;
        r.VelocityX = static_cast<float>(vEast);
        r.VelocityZ = static_cast<float>(-vNorth);
        r.Heading =
            static_cast<float>(std::fmod(Degrees(std::atan2(vEast, vNorth)) + 360.0, 360.0));
        return r;
    }
    }
    return ToReport(home.Latitude, home.Longitude, home.Elevation, m);
}

}  // namespace velmir::net
