// Distances on the sphere and the set of cells a listener subscribes to.
#pragma once

#include <vector>

#include "client/Geo.h"
#include "net/pilot/Wire.h"

namespace velmir::net {

constexpr double NauticalMileMetres = 1852.0;
constexpr double EarthRadiusNm = client::EarthRadiusMetres / NauticalMileMetres;

// Great-circle distance and initial true bearing (0..360) from 1 to 2.
double DistanceNm(double lat1, double lon1, double lat2, double lon2);
double BearingDeg(double lat1, double lon1, double lat2, double lon2);

// The extent of the spherical cap within `radiusNm` of a point: degrees of
// latitude either side, and of longitude between its tangent meridians
// (180 when the cap holds a pole and every longitude is in it).
struct CapExtent {
    double Lat = 0, Lon = 0;
    bool AllLongitudes = false;
};
CapExtent CapAround(double latitude, double radiusNm);

// Every cell that holds a point within `radiusNm` of (lat, lon), sorted;
// it may hold a few more near the circle, never fewer.
std::vector<Cell> CellsWithin(double latitude, double longitude, double radiusNm);

}  // namespace velmir::net
