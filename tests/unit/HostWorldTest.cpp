// The headless host's simulated world: projection and terrain, the user
// aircraft it flies, the camera, planes, log and the simulated clock.
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <string>
#include <vector>

#include "host/Host.h"
#include "unit/HostFixture.h"

namespace host = velmir::host;

namespace {

class HostWorld : public velmir::test::HostSessionTest {};
using velmir::test::Find;

// ---------------------------------------------------------------- world

TEST_F(HostWorld, ProjectionRoundTripsAndProbesReportTheTerrain) {
    double x, y, z;
    XPLMWorldToLocal(47.0, 8.0, 123.0, &x, &y, &z);
    EXPECT_EQ(x, 0.0);
    EXPECT_EQ(y, 123.0);
    EXPECT_EQ(z, 0.0);
    XPLMWorldToLocal(47.01, 8.01, 0, &x, &y, &z);
    const double metresPerDegree = 6378137.0 * M_PI / 180.0;
    EXPECT_NEAR(z, -0.01 * metresPerDegree, 1e-6) << "north is -z";
    EXPECT_NEAR(x, 0.01 * std::cos(47.0 * M_PI / 180.0) * metresPerDegree, 1e-6);
    const host::GeoPoint back = host::LocalToWorld(x, 55.0, z);
    EXPECT_NEAR(back.lat, 47.01, 1e-12);
    EXPECT_NEAR(back.lon, 8.01, 1e-12);

    host::SetTerrain([](double px, double pz) { return pz > 0 ? NAN : 400.0 + px * 0.1; });
    XPLMProbeRef probe = XPLMCreateProbe(xplm_ProbeY);
    XPLMProbeInfo_t info{};
    info.structSize = sizeof info;
    EXPECT_EQ(XPLMProbeTerrainXYZ(probe, 100, 0, -5, &info), xplm_ProbeHitTerrain);
    EXPECT_NEAR(info.locationY, 410.0f, 1e-3);
    EXPECT_EQ(info.locationX, 100.0f);
    EXPECT_EQ(XPLMProbeTerrainXYZ(probe, 0, 0, 5, &info), xplm_ProbeMissed);
    info.structSize = 40;
    EXPECT_EQ(XPLMProbeTerrainXYZ(probe, 0, 0, -5, &info), xplm_ProbeError);
    EXPECT_EQ(host::LiveProbes(), 1);
    XPLMDestroyProbe(probe);
    EXPECT_EQ(host::LiveProbes(), 0);
    host::SetProbeCreationFails(true);
    EXPECT_EQ(XPLMCreateProbe(xplm_ProbeY), nullptr);
}

TEST_F(HostWorld, AircraftCirclesUntilThePluginTakesThePlane) {
    host::RunFor(20.0);
    const double x = host::GetDouble("sim/flightmodel/position/local_x");
    const double z = host::GetDouble("sim/flightmodel/position/local_z");
    EXPECT_NEAR(std::hypot(x, z), 2000.0, 1.0);
    const float vx = host::GetFloat("sim/flightmodel/position/local_vx");
    const float vz = host::GetFloat("sim/flightmodel/position/local_vz");
    EXPECT_NEAR(std::hypot(vx, vz), 55.0, 0.1);
    EXPECT_NEAR(vx * x + vz * z, 0.0, 1.0) << "velocity is tangent to the circle";
    const double psi = host::GetFloat("sim/flightmodel/position/psi") * M_PI / 180.0;
    EXPECT_NEAR(std::sin(psi) * 55.0, vx, 0.1) << "heading matches the velocity";
    EXPECT_GT(host::GetFloat("sim/flightmodel/position/phi"), 5.0f) << "right turn, right bank";
    EXPECT_NEAR(host::GetFloat("sim/cockpit2/gauges/indicators/radio_altimeter_height_ft_pilot"),
                600.0 / 0.3048, 0.1);
    const host::GeoPoint g = host::LocalToWorld(x, 0, z);
    EXPECT_NEAR(host::GetDouble("sim/flightmodel/position/latitude"), g.lat, 1e-9);

    // The plugin holds the plane: the host leaves position and attitude alone
    // but keeps the geographic position in step with what the plugin wrote.
    host::SetInt("sim/operation/override/override_planepath", 1, 0);
    XPLMSetDatad(Find("sim/flightmodel/position/local_x"), 500.0);
    XPLMSetDatad(Find("sim/flightmodel/position/local_y"), 410.0);
    host::RunFor(1.0);
    EXPECT_FALSE(host::AircraftFlownByHost());
    EXPECT_EQ(host::GetDouble("sim/flightmodel/position/local_x"), 500.0);
    EXPECT_NEAR(host::GetDouble("sim/flightmodel/position/longitude"),
                host::LocalToWorld(500, 0, 0).lon, 1e-12);
    EXPECT_NEAR(host::GetFloat("sim/cockpit2/gauges/indicators/radio_altimeter_height_ft_pilot"),
                10.0 / 0.3048, 0.01);
    EXPECT_NEAR(host::TrackTime(), 20.0, 1e-9) << "the track pauses";

    host::AircraftConfig parked;
    parked.parked = true;
    parked.engines = host::Engines::TwinTurboprop;
    host::SetInt("sim/operation/override/override_planepath", 0, 0);
    host::ConfigureAircraft(parked);
    host::RunFor(1.0);
    EXPECT_EQ(host::GetFloat("sim/cockpit2/gauges/indicators/radio_altimeter_height_ft_pilot"),
              0.0f);
    EXPECT_EQ(host::GetFloat("sim/flightmodel/position/local_vx"), 0.0f);
    EXPECT_EQ(host::GetInt("sim/aircraft/prop/acf_en_type", 1), 2);
}

TEST_F(HostWorld, CustomTrackGivesHeadingClimbAndBank) {
    const double metresPerDegree = 6378137.0 * M_PI / 180.0;
    // North at 60 m/s, climbing at 5 m/s.
    host::SetTrack([=](double t) {
        return host::GeoPoint{47.0 + 60.0 * t / metresPerDegree, 8.0, 500.0 + 5.0 * t};
    });
    host::RunFor(2.0);
    const double psi = host::GetFloat("sim/flightmodel/position/psi") * M_PI / 180.0;
    EXPECT_NEAR(std::cos(psi), 1.0, 1e-6);
    EXPECT_NEAR(host::GetFloat("sim/flightmodel/position/local_vz"), -60.0f, 1e-3);
    EXPECT_NEAR(host::GetFloat("sim/flightmodel/position/local_vy"), 5.0f, 1e-3);
    EXPECT_NEAR(host::GetFloat("sim/flightmodel/position/theta"),
                std::atan2(5.0, 60.0) * 180 / M_PI, 1e-3);
    EXPECT_NEAR(host::GetFloat("sim/flightmodel/position/phi"), 0.0f, 1e-3);
    EXPECT_NEAR(host::GetDouble("sim/flightmodel/position/elevation"), 510.0, 1e-9);
    EXPECT_NEAR(host::GetFloat("sim/flightmodel/misc/h_ind"), 510.0 / 0.3048, 0.01);
}

TEST_F(HostWorld, CameraLooksAlongTheHeading) {
    host::RunFrame();
    const double x = host::GetDouble("sim/flightmodel/position/local_x");
    const double y = host::GetDouble("sim/flightmodel/position/local_y");
    const double z = host::GetDouble("sim/flightmodel/position/local_z");
    const double psi = host::GetFloat("sim/flightmodel/position/psi") * M_PI / 180.0;
    const double fx = std::sin(psi), fz = -std::cos(psi);
    // Straight ahead at the camera's height (8 m above the aircraft): centre.
    host::ScreenPoint ahead = host::ProjectToWindow(x + 500 * fx, y + 8, z + 500 * fz);
    EXPECT_TRUE(ahead.inFront);
    EXPECT_NEAR(ahead.x, 960.0f, 0.5f);
    EXPECT_NEAR(ahead.y, 540.0f, 0.5f);
    EXPECT_GT(ahead.depth, 0.0f);
    // To the right of the heading and lower: right of and below the centre.
    host::ScreenPoint right =
        host::ProjectToWindow(x + 500 * fx - 50 * fz, y, z + 500 * fz + 50 * fx);
    EXPECT_GT(right.x, 960.0f);
    EXPECT_LT(right.y, 540.0f);
    EXPECT_FALSE(host::ProjectToWindow(x - 500 * fx, y, z - 500 * fz).inFront);
}

// ---------------------------------------------------------------- planes, log, journal

struct PlanesWait {
    int calls = 0;
    int acquired = 0;
};

void OnPlanesAvailable(void* refcon) {
    auto* w = static_cast<PlanesWait*>(refcon);
    ++w->calls;
    w->acquired = XPLMAcquirePlanes(nullptr, OnPlanesAvailable, refcon);
}

TEST_F(HostWorld, PlanesBecomingFreeCallTheWaitingPluginOnTheNextFrame) {
    PlanesWait wait;
    host::SetPlanesAvailable(false);
    EXPECT_EQ(XPLMAcquirePlanes(nullptr, OnPlanesAvailable, &wait), 0);
    EXPECT_TRUE(host::PlanesCallbackPending());
    host::RunFrames(3);
    EXPECT_EQ(wait.calls, 0);
    host::SetPlanesAvailable(true);
    EXPECT_EQ(wait.calls, 0) << "not from inside the host's call";
    host::RunFrames(3);
    EXPECT_EQ(wait.calls, 1);
    EXPECT_EQ(wait.acquired, 1);
    EXPECT_TRUE(host::PlanesHeld());
    XPLMReleasePlanes();
    EXPECT_FALSE(host::PlanesHeld());
}

TEST_F(HostWorld, LogKeepsPartialLinesAndTheJournalKeepsTheNewestCalls) {
    XPLMDebugString("one\ntw");
    XPLMDebugString("o\nthree");
    EXPECT_EQ(host::LogLines(), (std::vector<std::string>{"one", "two", "three"}));

    host::SetJournalCapacity(3);
    for (int k = 0; k < 5; ++k) XPLMSetActiveAircraftCount(k);
    const auto calls = host::Journal();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].value, 2.0);
    EXPECT_EQ(calls[2].value, 4.0);
}

// ---------------------------------------------------------------- clock

double Monotonic() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Whether CLOCK_MONOTONIC moves across a 20 ms sleep.
bool Advances() {
    const double before = Monotonic();
    usleep(20000);
    return Monotonic() - before >= 0.015;
}

TEST_F(HostWorld, MonotonicClockFollowsSimulatedTimeDuringASession) {
    EXPECT_DOUBLE_EQ(Monotonic(), host::kClockBase);
    host::RunFrames(90);
    EXPECT_NEAR(Monotonic(), host::kClockBase + 1.5, 1e-9);
    EXPECT_NEAR(XPLMGetElapsedTime(), 1.5f, 1e-6);

    EXPECT_FALSE(Advances()) << "no frame, no time";

    host::SetClockMode(host::ClockMode::Real);
    EXPECT_TRUE(Advances());
    host::SetClockMode(host::ClockMode::Simulated);
    EXPECT_FALSE(Advances());
    host::EndSession();
    EXPECT_TRUE(Advances());
}

TEST_F(HostWorld, RealTimeRunKeepsToTheWallClockAndStopsOnRequest) {
    timespec a{}, b{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &a);
    host::RunRealTime(0.25, nullptr);
    clock_gettime(CLOCK_MONOTONIC_RAW, &b);
    const double wall = double(b.tv_sec - a.tv_sec) + double(b.tv_nsec - a.tv_nsec) * 1e-9;
    EXPECT_GE(wall, 0.23);
    EXPECT_EQ(host::FrameCount(), 15u);
    const std::atomic<bool> stop{true};
    host::RunRealTime(10.0, &stop);
    EXPECT_EQ(host::FrameCount(), 15u);
}

}  // namespace
