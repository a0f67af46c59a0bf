// Small geometry and number-reading helpers shared by the tool's parts.
#pragma once

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <istream>
#include <string>

namespace velmir::client {

constexpr double Pi = 3.14159265358979323846;
constexpr double EarthRadiusMetres = 6371008.8;
constexpr double StandardGravity = 9.80665;

inline double Radians(double degrees) { return degrees * Pi / 180.0; }
inline double Degrees(double radians) { return radians * 180.0 / Pi; }

// Into [0, 360).
inline double NormaliseHeading(double degrees) {
    double h = std::fmod(degrees, 360.0);
    if (h < 0) h += 360.0;
    return h >= 360.0 ? 0.0 : h;
}

// Into [-180, 180).
inline double NormaliseLongitude(double degrees) {
    return NormaliseHeading(degrees + 180.0) - 180.0;
}

// Shortest turn from `from` to `to`, in (-180, 180].
inline double AngleDelta(double from, double to) {
    double d = std::fmod(to - from, 360.0);
    if (d <= -180.0) d += 360.0;
    if (d > 180.0) d -= 360.0;
    return d;
}

// Equirectangular approximation: fine over the few kilometres between samples.
inline void MetresBetween(double lat0, double lon0, double lat1, double lon1, double& north,
                          double& east) {
    const double midLat = Radians((lat0 + lat1) * 0.5);
    north = Radians(lat1 - lat0) * EarthRadiusMetres;
    east = Radians(AngleDelta(lon0, lon1)) * EarthRadiusMetres * std::cos(midLat);
}

inline void MoveBy(double lat, double lon, double north, double east, double& outLat,
                   double& outLon) {
    outLat = lat + Degrees(north / EarthRadiusMetres);
    const double c = std::cos(Radians(lat));
    outLon = NormaliseLongitude(lon + (c > 1e-9 ? Degrees(east / (EarthRadiusMetres * c)) : 0.0));
}

// Whole-token number reading: no trailing junk, finite values only.
inline bool ParseNumber(const std::string& text, double& value) {
    if (text.empty()) return false;
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(begin, &end);
    if (end == begin || *end != '\0' || errno == ERANGE || !std::isfinite(v)) return false;
    value = v;
    return true;
}

// Decimal, or hexadecimal with 0x; whole token, within [low, high]. A
// leading zero does not mean octal: "010" is ten, as a person means it.
inline bool ParseInteger(const std::string& text, long long low, long long high, long long& value) {
    if (text.empty()) return false;
    const char* begin = text.c_str();
    const char* digits = begin + ((*begin == '-' || *begin == '+') ? 1 : 0);
    const int base = (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) ? 16 : 10;
    if (!std::isxdigit(static_cast<unsigned char>(digits[base == 16 ? 2 : 0]))) return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(begin, &end, base);
    if (end == begin || *end != '\0' || errno == ERANGE || v < low || v > high) return false;
    value = v;
    return true;
}

// std::getline without the unbounded growth: keeps at most `limit` bytes of
// the line (dropping a trailing carriage return), skips the rest and flags it.
inline bool ReadBoundedLine(std::istream& in, std::string& line, std::size_t limit, bool& tooLong) {
    line.clear();
    tooLong = false;
    std::streambuf* buffer = in.rdbuf();
    if (buffer == nullptr || !in.good()) return false;
    bool any = false;
    for (;;) {
        int c;
        try {
            c = buffer->sbumpc();
        } catch (...) {
            // A folder opened as a file reports EISDIR here, by exception.
            in.setstate(std::ios::badbit);
            return false;
        }
        if (c == std::char_traits<char>::eof()) {
            in.setstate(std::ios::eofbit);
            break;
        }
        any = true;
        if (c == '\n') break;
        if (line.size() < limit + 1)
            line.push_back(static_cast<char>(c));
        else
            tooLong = true;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > limit) tooLong = true;
    return any;
}

}  // namespace velmir::client
