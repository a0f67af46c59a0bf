// Track files for `velmir-client fly`: timed rows that drive the user aircraft.
//
// One row per line, '#' starts a comment, columns separated by white space:
//   t lat lon alt_m pitch bank heading [ias hdg_ind alt_ind vs turn slip] [prop0 prop1 prop2 prop3]
// so a row has 7, 13 or 17 columns, the same count on every row, and t
// (seconds) strictly increases.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "client/Client.h"

namespace velmir::client {

struct TrackRow {
    int Line = 0;
    double Time = 0;
    double Latitude = 0, Longitude = 0, Altitude = 0;  // deg, deg, m MSL
    double Pitch = 0, Bank = 0, Heading = 0;           // deg
    // Indicated airspeed kt, heading indicator deg, indicated altitude ft,
    // vertical speed fpm, turn rate, slip.
    std::array<double, 6> Instruments{};
    std::array<double, 4> Propellers{};  // lever targets
};

struct Track {
    std::vector<TrackRow> Rows;
    bool HasInstruments = false;
    bool HasPropellers = false;
    double Duration() const { return Rows.empty() ? 0.0 : Rows.back().Time - Rows.front().Time; }
};

// Errors read "line N: ...". Limits: lines up to 4096 bytes, 1 000 000 rows.
bool ParseTrack(std::istream& in, Track& track, std::string& error);
bool LoadTrack(const std::string& path, Track& track, std::string& error);

// The aircraft's state `elapsed` seconds after the first row, interpolated
// linearly (headings the short way round); velocity and rates are those of
// the segment the moment lies in, so they stay constant within it.
struct TrackState {
    double Latitude = 0, Longitude = 0, Altitude = 0;
    double Pitch = 0, Bank = 0, Heading = 0;
    double VelocityEast = 0, VelocityUp = 0, VelocityNorth = 0;  // m/s
    double PitchRate = 0, YawRate = 0, RollRate = 0;             // deg/s
    std::array<double, 6> Instruments{};
    std::array<double, 4> Propellers{};
};
TrackState SampleTrack(const Track& track, double elapsed);

// The messages `fly` sends for one state. Velocity goes to the local frame:
// +x east, +y up, +z south. RadioAltitude −1 leaves the ground clamp off.
PositionReport TrackPosition(const TrackState& state, double senderTime);
AircraftStateReport TrackInstruments(const TrackState& state);
// Byte 25 carries the element 0..3 and byte 53 the lever target, which the
// plugin reads unscaled (so it is rounded to a whole number); the Propeller
// field carries the same target as a ratio × 16384 for readers that use it.
PistonEngineReport TrackPropeller(const TrackState& state, int element);

}  // namespace velmir::client
