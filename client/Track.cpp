#include "client/Track.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <istream>
#include <sstream>

#include "client/Geo.h"

namespace velmir::client {
namespace {

constexpr std::size_t MaxLineLength = 4096;
constexpr std::size_t MaxRows = 1000000;

std::string LineError(int line, const std::string& what) {
    return "line " + std::to_string(line) + ": " + what;
}

const char* const ColumnNames[17] = {"t",       "lat",   "lon",     "alt_m",   "pitch", "bank",
                                     "heading", "ias",   "hdg_ind", "alt_ind", "vs",    "turn",
                                     "slip",    "prop0", "prop1",   "prop2",   "prop3"};

double Lerp(double a, double b, double f) { return a + (b - a) * f; }

std::int16_t RoundedInt16(double value) {
    if (!std::isfinite(value)) return 0;
    const double r = std::round(value);
    if (r >= 32767.0) return 32767;
    if (r <= -32768.0) return -32768;
    return static_cast<std::int16_t>(r);
}

}  // namespace

bool ParseTrack(std::istream& in, Track& track, std::string& error) {
    Track parsed;
    std::size_t columns = 0;
    std::string text;
    int lineNumber = 0;
    bool tooLong = false;
    while (ReadBoundedLine(in, text, MaxLineLength, tooLong)) {
        ++lineNumber;
        if (tooLong) {
            error = LineError(lineNumber, "line longer than 4096 bytes");
            return false;
        }
        const std::size_t hash = text.find('#');
        if (hash != std::string::npos) text.erase(hash);
        std::istringstream fields(text);
        std::vector<std::string> tokens;
        for (std::string token; fields >> token;) {
            if (tokens.size() == 17) {
                error = LineError(lineNumber, "more than 17 columns");
                return false;
            }
            tokens.push_back(token);
        }
        if (tokens.empty()) continue;
        if (tokens.size() != 7 && tokens.size() != 13 && tokens.size() != 17) {
            error = LineError(lineNumber, "a row has 7, 13 or 17 columns, this one has " +
                                              std::to_string(tokens.size()));
            return false;
        }
        if (columns == 0) {
            columns = tokens.size();
        } else if (tokens.size() != columns) {
            error =
                LineError(lineNumber, "has " + std::to_string(tokens.size()) +
                                          " columns, earlier rows have " + std::to_string(columns));
            return false;
        }
        double values[17] = {};
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            if (!ParseNumber(tokens[i], values[i])) {
                error =
                    LineError(lineNumber, std::string("column ") + ColumnNames[i] + ": '" +
                                              tokens[i].substr(0, 40) + "' is not a finite number");
                return false;
            }
        }
        TrackRow row;
        row.Line = lineNumber;
        row.Time = values[0];
        row.Latitude = values[1];
        row.Longitude = values[2];
        row.Altitude = values[3];
        row.Pitch = values[4];
        row.Bank = values[5];
        row.Heading = NormaliseHeading(values[6]);
        if (row.Latitude < -90.0 || row.Latitude > 90.0) {
            error = LineError(lineNumber, "latitude must lie within -90..90");
            return false;
        }
        if (row.Longitude < -180.0 || row.Longitude > 180.0) {
            error = LineError(lineNumber, "longitude must lie within -180..180");
            return false;
        }
        if (row.Pitch < -90.0 || row.Pitch > 90.0 || row.Bank < -180.0 || row.Bank > 180.0) {
            error =
                LineError(lineNumber, "pitch must lie within -90..90 and bank within -180..180");
            return false;
        }
        if (!parsed.Rows.empty() && !(row.Time > parsed.Rows.back().Time)) {
            error = LineError(lineNumber, "t must be greater than on the row before");
            return false;
        }
        for (int i = 0; i < 6 && columns >= 13; ++i) row.Instruments[i] = values[7 + i];
        for (int i = 0; i < 4 && columns == 17; ++i) row.Propellers[i] = values[13 + i];
        if (parsed.Rows.size() == MaxRows) {
            error = LineError(lineNumber, "more than 1000000 rows");
            return false;
        }
        parsed.Rows.push_back(row);
    }
    if (in.bad()) {
        error = "the file cannot be read";
        return false;
    }
    if (parsed.Rows.size() < 2) {
        error = "a track needs at least two rows";
        return false;
    }
    parsed.HasInstruments = columns >= 13;
    parsed.HasPropellers = columns == 17;
    track = std::move(parsed);
    return true;
}

bool LoadTrack(const std::string& path, Track& track, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot open track file '" + path + "'";
        return false;
    }
    if (!ParseTrack(in, track, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

TrackState SampleTrack(const Track& track, double elapsed) {
    TrackState s;
    if (track.Rows.empty()) return s;
    if (track.Rows.size() == 1) elapsed = 0;
    const double t = track.Rows.front().Time + (std::isfinite(elapsed) ? elapsed : 0.0);
    // Segment [i, i+1] holding t; before the first row or past the last the
    // nearest segment's ends are held.
    std::size_t i = 0;
    while (i + 2 < track.Rows.size() && t >= track.Rows[i + 1].Time) ++i;
    const TrackRow& a = track.Rows[i];
    const TrackRow& b = track.Rows[std::min(i + 1, track.Rows.size() - 1)];
    const double span = b.Time - a.Time;
    double f = span > 0 ? (t - a.Time) / span : 0.0;
    if (f < 0) f = 0;
    if (f > 1) f = 1;

    s.Latitude = Lerp(a.Latitude, b.Latitude, f);
    s.Longitude = NormaliseLongitude(a.Longitude + AngleDelta(a.Longitude, b.Longitude) * f);
    s.Altitude = Lerp(a.Altitude, b.Altitude, f);
    s.Pitch = Lerp(a.Pitch, b.Pitch, f);
    s.Bank = Lerp(a.Bank, b.Bank, f);
    s.Heading = NormaliseHeading(a.Heading + AngleDelta(a.Heading, b.Heading) * f);
    for (int k = 0; k < 6; ++k) s.Instruments[k] = Lerp(a.Instruments[k], b.Instruments[k], f);
    // The heading indicator turns the short way too.
    s.Instruments[1] =
        NormaliseHeading(a.Instruments[1] + AngleDelta(a.Instruments[1], b.Instruments[1]) * f);
    for (int k = 0; k < 4; ++k) s.Propellers[k] = Lerp(a.Propellers[k], b.Propellers[k], f);

    if (span > 0) {
        double north = 0, east = 0;
        MetresBetween(a.Latitude, a.Longitude, b.Latitude, b.Longitude, north, east);
        s.VelocityNorth = north / span;
        s.VelocityEast = east / span;
        s.VelocityUp = (b.Altitude - a.Altitude) / span;
        s.PitchRate = (b.Pitch - a.Pitch) / span;
        s.RollRate = (b.Bank - a.Bank) / span;
        s.YawRate = AngleDelta(a.Heading, b.Heading) / span;
    }
    return s;
}

PositionReport TrackPosition(const TrackState& s, double senderTime) {
    PositionReport m;
    m.AircraftIndex = 0;
    m.Time = senderTime;
    m.Latitude = s.Latitude;
    m.Longitude = s.Longitude;
    m.Altitude = s.Altitude;
    m.Pitch = static_cast<float>(s.Pitch);
    m.Bank = static_cast<float>(s.Bank);
    m.Heading = static_cast<float>(s.Heading);
    m.VelocityX = static_cast<float>(s.VelocityEast);
    m.VelocityY = static_cast<float>(s.VelocityUp);
    m.VelocityZ = static_cast<float>(-s.VelocityNorth);
    m.PitchRate = static_cast<float>(s.PitchRate);
    m.YawRate = static_cast<float>(s.YawRate);
    m.RollRate = static_cast<float>(s.RollRate);
    m.RadioAltitude = -1.0f;
    m.PositionFlags = 0;
    m.LeftBrake = m.RightBrake = WireFromBrakeRatio(0.0);
    return m;
}

AircraftStateReport TrackInstruments(const TrackState& s) {
    AircraftStateReport m;
    m.AircraftIndex = 0;
    m.IndicatedAirspeed = static_cast<float>(s.Instruments[0]);
    m.HeadingIndicator = RoundedInt16(s.Instruments[1]);
    m.IndicatedAltitude = static_cast<float>(s.Instruments[2]);
    m.VerticalSpeed = static_cast<float>(s.Instruments[3]);
    m.TurnRate = static_cast<float>(s.Instruments[4]);
    m.Slip = static_cast<float>(s.Instruments[5]);
    m.RadioAltitude = -1.0f;
    return m;
}

PistonEngineReport TrackPropeller(const TrackState& s, int element) {
    PistonEngineReport m;
    m.AircraftIndex = 0;
    const int e = element < 0 ? 0 : (element > 3 ? 3 : element);
    m.EngineNumber = static_cast<std::uint8_t>(e);
    m.EngineRpm = RoundedInt16(s.Propellers[e]);
    m.Propeller = FixedFromRatio(s.Propellers[e]);
    return m;
}

}  // namespace velmir::client
