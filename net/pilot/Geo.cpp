#include "net/pilot/Geo.h"

#include <algorithm>
#include <cmath>

#include "client/Geo.h"

namespace velmir::net {

namespace {
using client::Degrees;
using client::Radians;
}  // namespace

double DistanceNm(double lat1, double lon1, double lat2, double lon2) {
    const double p1 = Radians(lat1), p2 = Radians(lat2);
    const double dp = p2 - p1, dl = Radians(lon2 - lon1);
    const double a = std::sin(dp / 2) * std::sin(dp / 2) +
                     std::cos(p1) * std::cos(p2) * std::sin(dl / 2) * std::sin(dl / 2);
    return 2.0 * EarthRadiusNm * std::asin(std::min(1.0, std::sqrt(a)));
}

double BearingDeg(double lat1, double lon1, double lat2, double lon2) {
    const double p1 = Radians(lat1), p2 = Radians(lat2), dl = Radians(lon2 - lon1);
    const double y = std::sin(dl) * std::cos(p2);
    const double x = std::cos(p1) * std::sin(p2) - std::sin(p1) * std::cos(p2) * std::cos(dl);
    double b = std::fmod(Degrees(std::atan2(y, x)) + 360.0, 360.0);
    return b >= 360.0 ? 0.0 : b;
}

CapExtent CapAround(double latitude, double radiusNm) {
    // In latitude the radius itself; in longitude the tangent meridians, or
    // every longitude when the cap holds a pole.
    const double d = std::max(0.0, radiusNm) / EarthRadiusNm;  // radians of arc
    CapExtent cap;
    cap.Lat = Degrees(d);
    const double s = std::sin(d) / std::cos(Radians(latitude));
    cap.AllLongitudes = latitude + cap.Lat >= 90.0 || latitude - cap.Lat <= -90.0 || !(s < 1.0);
    cap.Lon = cap.AllLongitudes ? 180.0 : Degrees(std::asin(s));
    return cap;
}

std::vector<Cell> CellsWithin(double latitude, double longitude, double radiusNm) {
    const CapExtent cap = CapAround(latitude, radiusNm);
    const double top = latitude + cap.Lat, bottom = latitude - cap.Lat;

    const Cell low = CellOf(std::max(-90.0, bottom), longitude);
    const Cell high = CellOf(std::min(90.0, top), longitude);
    std::vector<Cell> cells;
    std::vector<int> lons;
    if (cap.AllLongitudes || cap.Lon >= 180.0) {
        for (int lon = -180; lon <= 179; ++lon) lons.push_back(lon);
    } else {
        const int west = static_cast<int>(std::floor(longitude - cap.Lon));
        const int east = static_cast<int>(std::floor(longitude + cap.Lon));
        for (int lon = west; lon <= east; ++lon)
            lons.push_back(((lon + 180) % 360 + 360) % 360 - 180);  // across the antimeridian
        std::sort(lons.begin(), lons.end());
        lons.erase(std::unique(lons.begin(), lons.end()), lons.end());
    }
    for (int lat = low.Lat; lat <= high.Lat; ++lat)
        for (int lon : lons) cells.push_back(Cell{lat, lon});
    return cells;
}

}  // namespace velmir::net
