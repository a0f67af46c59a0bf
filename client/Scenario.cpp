// Scenario files: parsing, and where each aircraft is at a given time.
#include "client/Scenario.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <istream>
#include <set>
#include <system_error>

#include "client/Geo.h"

namespace velmir::client {
namespace {

constexpr std::size_t MaxLineLength = 4096;
constexpr std::size_t MaxAircraft = 40;

std::string LineError(int line, const std::string& what) {
    return "line " + std::to_string(line) + ": " + what;
}

// Splits a line into fields; quotes group, '#' outside quotes ends the line.
bool Tokenise(const std::string& line, std::vector<std::string>& tokens, std::string& error) {
    tokens.clear();
    std::size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t') {
            ++i;
            continue;
        }
        if (c == '#') break;
        std::string token;
        if (c == '"') {
            ++i;
            bool closed = false;
            while (i < line.size()) {
                char d = line[i++];
                if (d == '"') {
                    closed = true;
                    break;
                }
                if (d == '\\' && i < line.size() && (line[i] == '"' || line[i] == '\\'))
                    d = line[i++];
                token.push_back(d);
            }
            if (!closed) {
                error = "a quoted field is not closed";
                return false;
            }
            if (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '#') {
                error = "a quoted field must be followed by white space";
                return false;
            }
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '#')
                token.push_back(line[i++]);
        }
        tokens.push_back(std::move(token));
    }
    return true;
}

struct Reader {
    const std::vector<std::string>& Tokens;
    int Line;
    std::string& Error;

    bool Number(std::size_t index, const char* name, double low, double high, double& value) {
        if (!ParseNumber(Tokens[index], value)) {
            Error = LineError(Line, std::string(name) + ": '" + Tokens[index].substr(0, 40) +
                                        "' is not a finite number");
            return false;
        }
        if (value < low || value > high) {
            char range[96];
            std::snprintf(range, sizeof range, " must lie within %g..%g", low, high);
            Error = LineError(Line, std::string(name) + range);
            return false;
        }
        return true;
    }

    bool Text(std::size_t index, const char* name, std::size_t capacity, std::string& value) {
        if (Tokens[index].size() >= capacity) {
            Error = LineError(Line, std::string(name) + " is longer than " +
                                        std::to_string(capacity - 1) + " bytes");
            return false;
        }
        if (Tokens[index].find('\0') != std::string::npos) {
            Error = LineError(Line, std::string(name) + " holds a zero byte");
            return false;
        }
        value = Tokens[index];
        return true;
    }
};

bool ParseAircraft(const std::vector<std::string>& t, int line, ScenarioAircraft& a,
                   std::string& error) {
    Reader r{t, line, error};
    if (t.size() < 5) {
        error = LineError(line, "expected SLOT TAIL NAME MODEL PATH ..., got " +
                                    std::to_string(t.size()) + " fields");
        return false;
    }
    a.Line = line;
    double slot = 0;
    if (!r.Number(0, "slot", 1, 40, slot)) return false;
    if (slot != std::floor(slot)) {
        error = LineError(line, "slot must be a whole number 1..40");
        return false;
    }
    a.Slot = static_cast<std::uint8_t>(slot);
    if (!r.Text(1, "tail number", TailNumberCapacity, a.TailNumber) ||
        !r.Text(2, "display name", DisplayNameCapacity, a.DisplayName) ||
        !r.Text(3, "model name", ModelNameCapacity, a.ModelName))
        return false;

    const std::string& path = t[4];
    const std::size_t n = t.size() - 5;  // path arguments
    if (path == "circle") {
        if (n != 6 && n != 7) {
            error = LineError(
                line, "circle takes LAT LON RADIUS_M ALT_M SPEED_MS cw|ccw [START_BEARING]");
            return false;
        }
        a.Path = PathKind::Circle;
        if (!r.Number(5, "latitude", -89.0, 89.0, a.Latitude) ||
            !r.Number(6, "longitude", -180, 180, a.Longitude) ||
            !r.Number(7, "radius", 1, 100000, a.Radius) ||
            !r.Number(8, "altitude", -500, 20000, a.Altitude) ||
            !r.Number(9, "speed", 0, 400, a.Speed))
            return false;
        const std::string& dir = t[10];
        if (dir == "cw" || dir == "1")
            a.Clockwise = true;
        else if (dir == "ccw" || dir == "0")
            a.Clockwise = false;
        else {
            error = LineError(
                line, "direction must be cw or ccw (1 or 0), not '" + dir.substr(0, 40) + "'");
            return false;
        }
        if (n == 7 && !r.Number(11, "start bearing", -360, 360, a.StartBearing)) return false;
    } else if (path == "line") {
        if (n != 5) {
            error = LineError(line, "line takes LAT LON HEADING SPEED_MS ALT_M");
            return false;
        }
        a.Path = PathKind::Line;
        if (!r.Number(5, "latitude", -89.0, 89.0, a.Latitude) ||
            !r.Number(6, "longitude", -180, 180, a.Longitude) ||
            !r.Number(7, "heading", -360, 360, a.Heading) ||
            !r.Number(8, "speed", 0, 400, a.Speed) ||
            !r.Number(9, "altitude", -500, 20000, a.Altitude))
            return false;
    } else if (path == "hold") {
        if (n < 3 || n > 5) {
            error = LineError(line, "hold takes LAT LON ALT_M [HEADING] [ground]");
            return false;
        }
        a.Path = PathKind::Hold;
        if (!r.Number(5, "latitude", -90, 90, a.Latitude) ||
            !r.Number(6, "longitude", -180, 180, a.Longitude) ||
            !r.Number(7, "altitude", -500, 20000, a.Altitude))
            return false;
        std::size_t next = 8;
        if (next < t.size() && t[next] != "ground") {
            if (!r.Number(next, "heading", -360, 360, a.Heading)) return false;
            ++next;
        }
        if (next < t.size()) {
            if (t[next] != "ground") {
                error = LineError(line, "expected 'ground' after the heading, not '" +
                                            t[next].substr(0, 40) + "'");
                return false;
            }
            a.OnGround = true;
            ++next;
        }
        if (next != t.size()) {
            error = LineError(line, "hold takes LAT LON ALT_M [HEADING] [ground]");
            return false;
        }
    } else {
        error =
            LineError(line, "path must be circle, line or hold, not '" + path.substr(0, 40) + "'");
        return false;
    }
    a.Heading = NormaliseHeading(a.Heading);
    a.StartBearing = NormaliseHeading(a.StartBearing);
    return true;
}

}  // namespace

bool ParseScenario(std::istream& in, Scenario& scenario, std::string& error) {
    Scenario parsed;
    std::set<int> slots;
    std::string text;
    std::vector<std::string> tokens;
    int lineNumber = 0;
    bool tooLong = false;
    while (ReadBoundedLine(in, text, MaxLineLength, tooLong)) {
        ++lineNumber;
        if (tooLong) {
            error = LineError(lineNumber, "line longer than 4096 bytes");
            return false;
        }
        std::string tokenError;
        if (!Tokenise(text, tokens, tokenError)) {
            error = LineError(lineNumber, tokenError);
            return false;
        }
        if (tokens.empty()) continue;
        ScenarioAircraft aircraft;
        if (!ParseAircraft(tokens, lineNumber, aircraft, error)) return false;
        if (!slots.insert(aircraft.Slot).second) {
            error =
                LineError(lineNumber, "slot " + std::to_string(aircraft.Slot) + " is used twice");
            return false;
        }
        if (parsed.Aircraft.size() == MaxAircraft) {
            error = LineError(lineNumber, "more than 40 aircraft");
            return false;
        }
        parsed.Aircraft.push_back(std::move(aircraft));
    }
    if (in.bad()) {
        error = "the file cannot be read";
        return false;
    }
    if (parsed.Aircraft.empty()) {
        error = "the scenario names no aircraft";
        return false;
    }
    scenario = std::move(parsed);
    return true;
}

bool LoadScenario(const std::string& path, Scenario& scenario, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot open scenario file '" + path + "'";
        return false;
    }
    if (!ParseScenario(in, scenario, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

PathState SamplePath(const ScenarioAircraft& a, double elapsed) {
    PathState s;
    s.Altitude = a.Altitude;
    if (!std::isfinite(elapsed)) elapsed = 0;
    switch (a.Path) {
    case PathKind::Circle: {
        const double sign = a.Clockwise ? 1.0 : -1.0;
        const double omega = a.Speed / a.Radius;  // rad/s
        const double bearing = Radians(a.StartBearing) + sign * omega * elapsed;
        MoveBy(a.Latitude, a.Longitude, a.Radius * std::cos(bearing), a.Radius * std::sin(bearing),
               s.Latitude, s.Longitude);
        // Flying round the centre: the track is the bearing ± 90°.
        s.Heading = NormaliseHeading(Degrees(bearing) + sign * 90.0);
        const double track = Radians(s.Heading);
        s.VelocityNorth = a.Speed * std::cos(track);
        s.VelocityEast = a.Speed * std::sin(track);
        // Centripetal acceleration points at the centre.
        const double inward = a.Speed * omega;
        s.AccelNorth = -inward * std::cos(bearing);
        s.AccelEast = -inward * std::sin(bearing);
        s.YawRate = sign * Degrees(omega);
        // A coordinated turn: right wing down (positive) when clockwise.
        s.Bank = sign * Degrees(std::atan(a.Speed * a.Speed / (a.Radius * StandardGravity)));
        break;
    }
    case PathKind::Line: {
        const double h = Radians(a.Heading);
        const double distance = a.Speed * elapsed;
        MoveBy(a.Latitude, a.Longitude, distance * std::cos(h), distance * std::sin(h), s.Latitude,
               s.Longitude);
        s.Heading = a.Heading;
        s.VelocityNorth = a.Speed * std::cos(h);
        s.VelocityEast = a.Speed * std::sin(h);
        break;
    }
    case PathKind::Hold:
        s.Latitude = a.Latitude;
        s.Longitude = a.Longitude;
        s.Heading = a.Heading;
        break;
    }
    return s;
}

PositionReport ScenarioPosition(const ScenarioAircraft& a, double elapsed, double senderTime) {
    const PathState s = SamplePath(a, elapsed);
    PositionReport m;
    m.AircraftIndex = a.Slot;
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
    m.AccelX = static_cast<float>(s.AccelEast);
    m.AccelZ = static_cast<float>(-s.AccelNorth);
    m.YawRate = static_cast<float>(s.YawRate);
    m.LeftBrake = m.RightBrake = WireFromBrakeRatio(a.OnGround ? 1.0 : 0.0);
    if (a.OnGround) {
        // On its own ground: sit on the local terrain too.
        m.RadioAltitude = 0.0f;
        m.PositionFlags = 0x03;
    } else {
        m.RadioAltitude = -1.0f;
        m.PositionFlags = 0;
    }
    return m;
}

ModelReport ScenarioModel(const ScenarioAircraft& a) {
    ModelReport m;
    m.AircraftIndex = a.Slot;
    m.DisplayName = a.DisplayName;
    m.TailNumber = a.TailNumber;
    m.ModelName = a.ModelName;
    return m;
}

}  // namespace velmir::client
