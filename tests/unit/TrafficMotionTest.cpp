// Remote aircraft motion inside one process: the motion handlers and step,
// prediction, correction and snap, attitude, placement of every instance,
// the ground clamp, and the user aircraft under shared control.
#include "unit/TrafficHarness.h"

namespace velmir {
namespace {

using namespace test;

TEST_F(Traffic, PredictionCorrectionAndSnap) {
    struct Case {
        double te;
        float accel, velocity;  // expected: 10 + accel * te + 1.5 * (predicted - shown)
    } cases[] = {{0.5, 0.0f, 10.0f + 1.5f * 5.0f},
                 {0.5, 2.0f, 10.0f + 1.0f + 1.5f * 5.5f},  // te² with no one half
                 {3.5, 0.0f, 10.0f + 1.5f * 20.0f},        // te limited to 2 s
                 {-3.5, 0.0f, 10.0f - 1.5f * 20.0f}};
    for (const Case& c : cases) {
        AircraftRecord& r = InFlight(c.te, 0.1);
        r.Velocity[0] = 10.0f;
        r.Accel[0] = c.accel;
        UpdateMotion(r);
        EXPECT_FLOAT_EQ(r.ShownVelocity[0], c.velocity) << c.te;
        EXPECT_NEAR(r.ShownPosition[0], 100.0 + c.velocity * 0.1, 1e-4);
        EXPECT_EQ(r.UpdatedAt, 50.0);
    }
    for (int axis = 0; axis < 3; ++axis) {
        for (double sign : {1.0, -1.0}) {
            AircraftRecord& r = InFlight(0.2, 0.02);
            r.Velocity[axis] = 5.0f;  // the prediction is 1 m beyond Position
            r.Attitude[2] = 90.0f;
            r.ShownPosition[axis] -= sign * 70.0;
            UpdateMotion(r);
            EXPECT_EQ(r.ShownPosition[axis], r.Position[axis]) << axis << " " << sign;
            EXPECT_EQ(r.ShownAttitude[2], 90.0f);
        }
    }
    AircraftRecord& r = InFlight(0.0, 0.02);
    r.ShownPosition[1] -= 50.0;
    UpdateMotion(r);
    EXPECT_FLOAT_EQ(r.ShownVelocity[1], 75.0f) << "50 m is corrected, not snapped";
    InFlight(0.5, 0.005);  // too short a step: nothing moves
    r.Velocity[0] = 10.0f;
    UpdateMotion(r);
    EXPECT_EQ(r.ShownVelocity[0], 0.0f);
}

TEST_F(Traffic, AttitudeFollowsGentlyFlownSamplesAndBlendsSteepOnes) {
    AircraftRecord& r = InFlight(0.0, 0.5);
    r.ShownAttitude[2] = 359.0f;
    const float attitude[3] = {4.0f, 10.0f, 1.0f}, rates[3] = {2.0f, 0.0f, 4.0f};
    std::memcpy(r.Attitude, attitude, sizeof attitude);
    std::memcpy(r.Rates, rates, sizeof rates);
    UpdateMotion(r);
    EXPECT_FLOAT_EQ(r.ShownAttitude[0], (2.0f + 1.5f * 4.0f) * 0.5f);
    EXPECT_FLOAT_EQ(r.ShownAttitude[1], 1.5f * 10.0f * 0.5f) << "no roll rate in the bank";
    EXPECT_FLOAT_EQ(r.ShownAttitude[2], 0.5f) << "359 + 3 deg/s for 0.5 s, through 0";

    const struct {
        double te;
        float rates[3], shown[3];
    } gentle[] = {
        {0.0, {2.0f, 12.0f, 3.0f}, {1.0f, 0.0f, 5.0f}},       // yaw 12: the received rates only
        {0.25, {2.0f, 4.0f, 6.0f}, {4.375f, 8.625f, 3.25f}},  // a quarter second old: carried on
    };
    for (const auto& c : gentle) {
        SCOPED_TRACE(c.te);
        InFlight(c.te, 0.5);
        r.ShownAttitude[2] = 359.0f;
        std::memcpy(r.Attitude, attitude, sizeof attitude);
        std::memcpy(r.Rates, c.rates, sizeof c.rates);
        UpdateMotion(r);
        ExpectTriple(r.ShownAttitude, c.shown[0], c.shown[1], c.shown[2]);
    }

    const struct {
        double since;
        float pitch, bank, heading;
    } blends[] = {
        {0.05, 50.0f, 5.0f, 0.0f}, {0.1, 60.0f, 10.0f, 10.0f}, {0.3, 60.0f, 10.0f, 10.0f}};
    for (const auto& blend : blends) {
        AircraftRecord& steep = InFlight(0.0, 0.02);
        steep.ReceivedAt = 50.0 - blend.since;
        steep.ShownAttitude[0] = 50.0f;
        const float previous[3] = {40.0f, 0.0f, 350.0f}, latest[3] = {60.0f, 10.0f, 10.0f};
        std::memcpy(steep.PrevAttitude, previous, sizeof previous);
        std::memcpy(steep.Attitude, latest, sizeof latest);
        UpdateMotion(steep);
        ExpectTriple(steep.ShownAttitude, blend.pitch, blend.bank, blend.heading);
    }
    // Inverted, half way from a bank of 170 to -170: 180 is shown as -180.
    AircraftRecord& inverted = InFlight(0.0, 0.02);
    inverted.ReceivedAt = 50.0 - 0.05;
    inverted.ShownAttitude[1] = 170.0f;
    inverted.PrevAttitude[1] = 170.0f;
    inverted.Attitude[1] = -170.0f;
    UpdateMotion(inverted);
    ExpectTriple(inverted.ShownAttitude, 0.0f, -180.0f, 0.0f);
    EXPECT_FLOAT_EQ(AngleDifference(1.0f, 359.0f), -2.0f);
    EXPECT_FLOAT_EQ(AngleDifference(180.0f, 0.0f), 180.0f);
}

TEST_F(Traffic, PositionMessagesApplyNewerSamplesOnlyAndTrackTheSendersClock) {
    Model(6, "M", "a.obj 0 0 0 0 0 0\n");
    host::RunFrame();
    PluginClock = 10.0;
    Wire first = Position(6, 500.0, 120.0, 1500.0, -80.0);
    const float fields[] = {3, -4, 270, 1, 2, 3, 4, 5, 6, 7, 8, 9};  // bytes 57 to 104
    for (int i = 0; i < 12; ++i) first.At(57 + 4 * i, fields[i]);
    HandlePosition(
        first.At(105, std::int16_t{999}).At(115, 12.5f).At(119, std::uint8_t{0xFD}).data());

    const AircraftRecord& r = AircraftTable[5];
    EXPECT_NEAR(r.Position[0], 120.0, 1e-6);
    EXPECT_NEAR(r.Position[2], -80.0, 1e-6);
    ExpectTriple(r.Attitude, 3, -4, 270);
    ExpectTriple(r.Velocity, 1, 2, 3);
    ExpectTriple(r.Rates, 4, 5, 6);
    ExpectTriple(r.Accel, 7, 8, 9);
    EXPECT_EQ(r.RadioAltitude, 12.5f);
    EXPECT_EQ(r.OnGround, 1);
    EXPECT_FLOAT_EQ(r.AltitudeFeet, 1500.0f * 3.2808399f);
    EXPECT_EQ(r.FilteredTime, 500.0);
    // Never placed before: placed at once.
    EXPECT_EQ(r.UpdatedAt, 10.0);
    const host::InstanceInfo placed = host::Instances().at(0);
    EXPECT_FLOAT_EQ(placed.position.x, 120.0f);
    EXPECT_FLOAT_EQ(placed.position.y, 1500.0f);
    EXPECT_EQ(placed.position.heading, 270.0f);

    PluginClock = 11.2;  // a newer sample moves the clock estimate 2 % its way
    HandlePosition(Position(6, 501.0, 200.0, 1500.0, -80.0).At(57, 9.0f).data());
    EXPECT_NEAR(r.FilteredTime, 501.2 + 0.02 * (501.0 - 501.2), 1e-9);
    EXPECT_EQ(r.PrevAttitude[0], 3.0f);
    EXPECT_NEAR(r.ShownPosition[0], 120.0, 1e-6) << "later samples are not placed by the handler";
    EXPECT_EQ(host::Instances().at(0).setCount, placed.setCount);
    for (double stale : {501.0, 400.0, std::nan("")})
        HandlePosition(Position(6, stale, -9.0, 0, 0).data());
    HandlePosition(Position(41, 900.0, -9.0, 0, 0).data());
    EXPECT_NEAR(r.Position[0], 200.0, 1e-6);
    EXPECT_EQ(r.Time, 501.0);
}

TEST_F(Traffic, CogAndOffsetsPlaceEachInstanceThroughTheWholeAttitude) {
    // Offsets lateral, vertical, longitudinal: the first cancels the cog
    // exactly, the second lies (1, 2, 3) from the reference point.
    Model(8, "M", "a.obj 0 0 0 0 0.5 -2.0\na.obj 0 0 0 1 2.5 1.0\n", "0.5 -2.0 1.2\n");
    host::RunFrame();
    // Expected offsets of the second object from the placement table's
    // coefficients, worked out by hand; every sine and cosine is nonzero in
    // the combined attitudes, so each of the nine terms counts.
    const struct {
        float pitch, bank, heading, x, y, z;
    } cases[] = {{0, 0, 0, -1.0f, 2.0f, 3.0f},
                 {0, 0, 90, -3.0f, 2.0f, -1.0f},  // nose east: aft is west
                 {20, 30, 120, -2.1695f, 3.1235f, -3.4073f},
                 {-15, -40, 250, 2.3290f, 0.0825f, -1.4006f}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.pitch << " " << c.bank << " " << c.heading);
        HandlePlacement(Placement(8, 10.0, 2000.0, 20.0)
                            .At(49, c.pitch)
                            .At(53, c.bank)
                            .At(57, c.heading)
                            .data());
        const std::vector<host::InstanceInfo> instances = host::Instances();
        ASSERT_EQ(instances.size(), 2u);
        const XPLMDrawInfo_t& at = instances[0].position;
        EXPECT_EQ(std::vector<float>({at.x, at.y, at.z, at.pitch, at.roll, at.heading}),
                  std::vector<float>({10.0f, 2000.0f, 20.0f, c.pitch, c.bank, c.heading}));
        const XPLMDrawInfo_t& second = instances[1].position;
        EXPECT_NEAR(second.x - 10.0f, c.x, 2e-3);
        EXPECT_NEAR(second.y - 2000.0f, c.y, 2e-3);
        EXPECT_NEAR(second.z - 20.0f, c.z, 2e-3);
        EXPECT_EQ(instances[1].data, std::vector<float>{0.0f});
    }

    // Placement alone leaves the slot inactive: never moved, never a
    // target, never timed out.
    const int sets = host::Instances()[0].setCount;
    AcquirePlanes();
    host::RunFor(15.0);
    EXPECT_EQ(host::Instances()[0].setCount, sets);
    EXPECT_EQ(host::PluginWrites("sim/cockpit2/tcas/targets/modeS_id"), 0);
    EXPECT_STREQ(AircraftTable[7].ModelName, "M");
}

TEST_F(Traffic, TheGroundClampPutsNearGroundAircraftOnTheTerrainBelowThem) {
    // A slope in both directions: a probe anywhere but under the aircraft
    // finds another height.
    host::SetTerrain([](double x, double z) { return 400.0 + 0.1 * x - 0.2 * z; });
    const double x = 30.0, z = -50.0;  // terrain 413 m here
    const struct {
        int slot;
        double altitude;
        float radioAltitude;
        double expected;
    } cases[] = {{10, 416.0, 0.0f, 413.0},
                 {11, 448.0, 25.0f, 443.0},  // 10 m off, half corrected at 25 m
                 {12, 483.0, 50.0f, 483.0},  // none at the ceiling
                 {13, 423.0, -1.0f, 423.0},  // height unknown
                 {14, 416.0, 0.0f, 412.3}};  // its cog: reference 0.5 m up, wheels 1.2 m down
    Model(14, "M", "", "0.5 0 1.2\n");
    for (const auto& c : cases) {
        HandlePosition(Position(c.slot, 1.0, x, c.altitude, z)
                           .At(115, c.radioAltitude)
                           .At(119, std::uint8_t{2})
                           .data());
        EXPECT_NEAR(AircraftTable[c.slot - 1].Position[1], c.expected, 1e-3) << c.slot;
    }
    HandlePosition(Position(15, 1.0, x, 416.0, z).At(115, 0.0f).data());  // no clamp asked
    EXPECT_NEAR(AircraftTable[14].Position[1], 416.0, 1e-6);

    host::SetProbeCreationFails(true);
    const Wire placement = Placement(16, x, 416.0, z).At(61, 0.0f).At(65, std::uint8_t{2});
    HandlePlacement(placement.data());
    EXPECT_NEAR(AircraftTable[15].Position[1], 416.0, 1e-6) << "no probe, no clamp";
    host::SetProbeCreationFails(false);
    HandlePlacement(placement.data());
    EXPECT_NEAR(AircraftTable[15].Position[1], 413.0, 1e-3);
    EXPECT_NEAR(AircraftTable[15].ShownPosition[1], 416.0, 1e-6) << "shown where it was sent";
}

TEST_F(Traffic, MotionMessagesSetEachFieldInItsOwnAxis) {
    // Bytes 25 to 57: velocity x, y, z, rates pitch, yaw, roll, acceleration x, y, z.
    Wire motion(6, 61, 3);
    for (int i = 0; i < 9; ++i) motion.At(25 + 4 * i, 1.0f + i);
    HandleMotion(motion.data());
    const AircraftRecord& r = AircraftTable[2];
    ExpectTriple(r.Velocity, 1, 2, 3);
    ExpectTriple(r.ShownVelocity, 1, 2, 3);
    ExpectTriple(r.Rates, 4, 5, 6);
    ExpectTriple(r.Accel, 7, 8, 9);

    motion.At(24, std::uint8_t{0});  // the user aircraft: its velocity datarefs at once
    HandleMotion(motion.data());
    EXPECT_EQ(std::vector<float>({host::GetFloat("sim/flightmodel/position/local_vx"),
                                  host::GetFloat("sim/flightmodel/position/local_vy"),
                                  host::GetFloat("sim/flightmodel/position/local_vz")}),
              std::vector<float>({1, 2, 3}));
}

TEST_F(Traffic, TheUserAircraftUnderSharedControlMovesThroughItsDatarefs) {
    host::SetFloat("sim/cockpit2/gauges/indicators/radio_altimeter_height_ft_pilot", 10.0f);
    HandlePosition(Position(0, 10.0, 500.0, 900.0, 600.0)
                       .At(65, 45.0f)
                       .At(69, 30.0f)
                       .At(115, 0.0f)
                       .At(119, std::uint8_t{2})
                       .data());
    ASSERT_TRUE(SharedControl);
    EXPECT_NEAR(UserAircraft.Position[1], 900.0 - 3.048, 1e-4) << "its own radio altimeter";
    EXPECT_NEAR(host::GetDouble("sim/flightmodel/position/local_x"), 500.0, 1e-6);
    EXPECT_FLOAT_EQ(host::GetFloat("sim/flightmodel/position/psi"), 45.0f);
    EXPECT_FLOAT_EQ(host::GetFloat("sim/flightmodel/position/local_vx"), 30.0f);

    AcquirePlanes();
    host::RunFrames(30);
    EXPECT_NEAR(host::GetDouble("sim/flightmodel/position/local_x"), 500.0 + 15.0, 3.0);
    EXPECT_EQ(host::PluginWrites("sim/cockpit2/tcas/targets/modeS_id"), 0) << "never a target";
    EXPECT_TRUE(host::Errors().empty());
}

TEST_F(Traffic, PlacementAndMotionMakeOnlyTheUserAircraftWaitForAFreshSample) {
    const Wire messages[] = {Placement(0, -100.0, 900.0, 0.0), Wire(6, 61, 0).At(25, 40.0f)};
    double time = 10.0;
    for (const Wire& message : messages) {
        HandlePosition(Position(0, time += 1.0, 500.0, 900.0, 600.0).At(69, 30.0f).data());
        host::RunFrames(3);
        ASSERT_NE(UserAircraft.UpdatedAt, 0.0);
        (message[23] == 5 ? HandlePlacement : HandleMotion)(message.data());
        const double times[] = {UserAircraft.Time, UserAircraft.FilteredTime,
                                UserAircraft.ReceivedAt, UserAircraft.UpdatedAt};
        EXPECT_EQ(std::vector<double>(times, times + 4), std::vector<double>(4, 0.0));
        const double x = host::GetDouble("sim/flightmodel/position/local_x");
        host::RunFrames(10);
        EXPECT_EQ(host::GetDouble("sim/flightmodel/position/local_x"), x) << int{message[23]};
    }

    HandlePosition(Position(4, 5.0, 0.0, 900.0, 0.0).data());
    const AircraftRecord& remote = AircraftTable[3];
    const double received = remote.ReceivedAt, updated = remote.UpdatedAt;
    HandlePlacement(Placement(4, 0.0, 900.0, 0.0).data());
    HandleMotion(Wire(6, 61, 4).data());
    EXPECT_EQ(std::vector<double>(
                  {remote.Time, remote.FilteredTime, remote.ReceivedAt, remote.UpdatedAt}),
              std::vector<double>({5.0, 5.0, received, updated}));
}

}  // namespace
}  // namespace velmir
