// Cells: which cell a position is in, and that the cell set of a radius
// misses no point within it (cell edges, the antimeridian, the poles).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "net/pilot/Geo.h"

namespace velmir::net {
namespace {

constexpr double Pi = 3.14159265358979323846;

// The point `nm` away from (lat, lon) on initial bearing `deg`.
void Destination(double lat, double lon, double deg, double nm, double& outLat, double& outLon) {
    const double d = nm / EarthRadiusNm, b = deg * Pi / 180, p = lat * Pi / 180;
    const double p2 =
        std::asin(std::sin(p) * std::cos(d) + std::cos(p) * std::sin(d) * std::cos(b));
    const double l2 = lon * Pi / 180 + std::atan2(std::sin(b) * std::sin(d) * std::cos(p),
                                                  std::cos(d) - std::sin(p) * std::sin(p2));
    outLat = p2 * 180 / Pi;
    outLon = std::remainder(l2 * 180 / Pi, 360.0);
    if (outLon >= 180) outLon -= 360;
}

bool Holds(const std::vector<Cell>& cells, Cell c) {
    return std::find(cells.begin(), cells.end(), c) != cells.end();
}

TEST(NetGeo, CellOf) {
    struct Case {
        double Lat, Lon;
        int CellLat, CellLon;
    };
    const Case cases[] = {
        {47.99, 8.0, 47, 8},      {-33.5, -58.2, -34, -59}, {0.0, 0.0, 0, 0},
        {-0.001, -0.001, -1, -1}, {90.0, 10.0, 89, 10},     {-90.0, 10.0, -90, 10},
        {5.0, 180.0, 5, -180},    {5.0, -180.0, 5, -180},   {5.0, 179.9999999, 5, 179},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CellOf(c.Lat, c.Lon), (Cell{c.CellLat, c.CellLon})) << c.Lat << "," << c.Lon;
}

TEST(NetGeo, DistanceAndBearing) {
    EXPECT_NEAR(DistanceNm(0, 0, 1, 0), 60.04, 0.01);
    EXPECT_NEAR(DistanceNm(10, 179.5, 10, -179.5), 59.1, 0.1);  // across the antimeridian
    EXPECT_NEAR(BearingDeg(0, 0, 0, 1), 90.0, 1e-9);
    EXPECT_NEAR(BearingDeg(0, 0, -1, 0), 180.0, 1e-9);
    EXPECT_NEAR(BearingDeg(10, 179.5, 10, -179.5), 90.0, 0.1);
}

// One cell inside it, the neighbours at an edge, every longitude at a pole.
TEST(NetGeo, CellsWithinARadius) {
    EXPECT_EQ(CellsWithin(47.5, 8.5, 10), (std::vector<Cell>{{47, 8}}));
    EXPECT_EQ(CellsWithin(47.999, 8.999, 5),
              (std::vector<Cell>{{47, 8}, {47, 9}, {48, 8}, {48, 9}}));
    const auto antimeridian = CellsWithin(10.5, 179.9, 40);
    EXPECT_TRUE(Holds(antimeridian, {10, 179}));
    EXPECT_TRUE(Holds(antimeridian, {10, -180}));
    EXPECT_TRUE(Holds(antimeridian, {11, -180}));
    EXPECT_FALSE(Holds(antimeridian, {10, 178}));
    EXPECT_FALSE(Holds(antimeridian, {10, -179}));
    const auto north = CellsWithin(89.8, 0, 40);
    EXPECT_EQ(north.size(), 360u);
    EXPECT_TRUE(Holds(north, {89, -180}));
    EXPECT_TRUE(Holds(north, {89, 179}));
    EXPECT_EQ(CellsWithin(-89.5, 100, 40).size(), 720u);
}

// Every point just inside the circle lies in a listed cell.
TEST(NetGeo, NoPointWithinTheRadiusIsMissed) {
    const double centres[][2] = {
        {47.5, 8.5}, {47.999, 8.999}, {0.001, -0.001}, {10.5, 179.9}, {-10.5, -179.95},
        {85.0, 0.0}, {89.2, 45.0},    {-88.9, -170.0}, {60.0, 179.0}, {-60.0, -180.0}};
    for (double radius : {5.0, 40.0, 120.0}) {
        for (const auto& c : centres) {
            const auto cells = CellsWithin(c[0], c[1], radius);
            for (int deg = 0; deg < 360; deg += 3) {
                for (double f : {0.5, 0.999}) {
                    double lat, lon;
                    Destination(c[0], c[1], deg, radius * f, lat, lon);
                    ASSERT_TRUE(Holds(cells, CellOf(lat, lon)))
                        << "centre " << c[0] << "," << c[1] << " radius " << radius << " bearing "
                        << deg << " -> " << lat << "," << lon;
                }
            }
            // And not wildly more than needed away from the poles.
            if (std::fabs(c[0]) < 70 && radius <= 40) {
                EXPECT_LE(cells.size(), 9u);
            }
        }
    }
}

}  // namespace
}  // namespace velmir::net
