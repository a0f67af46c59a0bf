// Remote aircraft end to end inside one process: models from slot folders,
// the motion handlers and step, placement, traffic targets, and the promise
// that frames and position messages neither allocate nor look datarefs up.
// Message bytes are written at the protocol tables' literal offsets.
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "host/Host.h"
#include "plugin/Schedule.h"
#include "link/Connection.h"
#include "link/Messages.h"
#include "core/Clock.h"
#include "traffic/AircraftTable.h"
#include "traffic/Labels.h"
#include "traffic/ModelInjection.h"
#include "traffic/Motion.h"
#include "unit/AllocationCounter.h"
#include "unit/PluginHarness.h"
#include "user/SharedControl.h"

namespace velmir {
namespace {

namespace fs = std::filesystem;

struct Datagram {
    std::uint8_t bytes[1024] = {};
    Datagram(std::uint8_t type, int index) {
        ConstructHeader(bytes);
        Put(bytes, Field<std::uint16_t>{21}, 21007);
        Put(bytes, Field<std::uint8_t>{23}, type);
        Put(bytes, Field<std::uint8_t>{24}, index);
    }
    template <class T>
    Datagram& At(int offset, T value) {
        Put(bytes, Field<T>{static_cast<std::uint16_t>(offset)}, value);
        return *this;
    }
    Datagram& Text(int offset, const std::string& text) {
        std::memcpy(bytes + offset, text.data(), text.size());
        return *this;
    }
    // Latitude, longitude, altitude of a local point, from `offset` on.
    Datagram& Local(int offset, double x, double y, double z) {
        const host::GeoPoint geo = host::LocalToWorld(x, y, z);
        return At(offset, geo.lat).At(offset + 8, geo.lon).At(offset + 16, geo.alt);
    }
};

Datagram Position(int index, double time, double x, double y, double z) {
    return Datagram(4, index).At(25, time).Local(33, x, y, z).At(115, -1.0f);
}
Datagram Placement(int index, double x, double y, double z) {
    return Datagram(5, index).Local(25, x, y, z).At(61, -1.0f);
}

std::string Slot(int index) {
    char folder[64];
    std::snprintf(folder, sizeof folder, "Resources/plugins/Velmir/inject%03d/", index);
    return folder;
}

class Traffic : public test::InProcessTest {
  protected:
    fs::path previous_, root_;

    void SetUp() override {
        test::InProcessTest::SetUp();
        char pattern[] = "/tmp/velmir-traffic-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        previous_ = fs::current_path();
        fs::current_path(root_);  // the plugin reads slot folders from here
        host::SetRoot(root_.string());
        host::SetLoadDelayFrames(0);
        PlanesAcquired = false;  // link state outlives a plugin stop
        StartPlugin();
        host::RunFrame();
    }
    void TearDown() override {
        test::InProcessTest::TearDown();
        fs::current_path(previous_);
        fs::remove_all(root_);
    }
    void Write(const std::string& relative, const std::string& content) {
        fs::create_directories((root_ / relative).parent_path());
        std::ofstream(root_ / relative, std::ios::binary) << content;
    }
    // Object files a.obj, b.obj, ... exist; the list and cog are as given.
    void Model(int index, const std::string& model, const std::string& objectList,
               const std::string& cog = "", const std::string& tail = "N1") {
        for (const char* name : {"a.obj", "b.obj", "c.obj"})
            Write(Slot(index) + "objects/" + name, "I\n800\nOBJ\n");
        Write(Slot(index) + "object_list", objectList);
        if (!cog.empty()) Write(Slot(index) + "cog", cog);
        ApplyModel(Datagram(3, index).Text(29, "Pilot").Text(49, tail).Text(89, model).bytes);
    }
    static std::vector<std::string> LoadRequests() {
        std::vector<std::string> paths;
        for (const host::Call& call : host::Journal())
            if (call.function == "XPLMLoadObjectAsync") paths.push_back(call.arg);
        return paths;
    }
    // A slot mid-flight at PluginClock 50: its sample te seconds old on the
    // sender's clock, last stepped dt seconds ago, shown where received.
    static AircraftRecord& InFlight(double te, double dt) {
        AircraftRecord& r = AircraftTable[0];
        PluginClock = 50.0;
        r.Time = 1000.0;
        r.FilteredTime = 1000.0 + te;
        r.ReceivedAt = 50.0;
        r.UpdatedAt = 50.0 - dt;
        for (int i = 0; i < 3; ++i) {
            r.Position[i] = r.ShownPosition[i] = 100.0 * (i + 1);
            r.Velocity[i] = r.Accel[i] = r.Rates[i] = 0.0f;
            r.Attitude[i] = r.PrevAttitude[i] = r.ShownAttitude[i] = 0.0f;
        }
        return r;
    }
};

void ExpectTriple(const float* actual, float a, float b, float c) {
    EXPECT_FLOAT_EQ(actual[0], a);
    EXPECT_FLOAT_EQ(actual[1], b);
    EXPECT_FLOAT_EQ(actual[2], c);
}

TEST_F(Traffic, ObjectListLinesFollowTheFieldRule) {
    Model(5, "A",
          "a.obj 1 2\n"         // too few fields: the last one repeats
          "b.obj 1  3 4 5 6\n"  // two spaces: an empty field reads 0
          "\n"                  // empty: skipped
          "c.obj\r\n"           // name only, CRLF
          "3.5e1x\n"            // the numbers come from the name's own text
          "d.obj 0 0 0 1 2 3 " +
              std::string(1500, 'z') +
              "\n"                   // cut; next line intact
              "e.obj 9 8 7 6 5 4");  // no final line feed
    const std::vector<ObjectEntry>& objects = AircraftTable[4].Objects;
    ASSERT_EQ(objects.size(), 6u);
    ExpectTriple(objects[0].Extra, 1, 2, 2);
    ExpectTriple(objects[0].Offset, 2, 2, 2);
    ExpectTriple(objects[1].Extra, 1, 0, 3);
    ExpectTriple(objects[1].Offset, 4, 5, 6);
    ExpectTriple(objects[2].Offset, 0, 0, 0);
    ExpectTriple(objects[3].Offset, 35, 35, 35);
    ExpectTriple(objects[4].Offset, 1, 2, 3);
    ExpectTriple(objects[5].Extra, 9, 8, 7);
    ExpectTriple(objects[5].Offset, 6, 5, 4);
    const std::string dir = Slot(5) + "objects/";
    EXPECT_EQ(LoadRequests(),
              (std::vector<std::string>{dir + "a.obj", dir + "b.obj", dir + "c.obj", dir + "3.5e1x",
                                        dir + "d.obj", dir + "e.obj"}));
}

TEST_F(Traffic, OversizedInputIsCutOrRefusedWithinItsBounds) {
    // The objects folder path is 43 characters: a 212-character name makes
    // 255, one more does not fit and the line is refused.
    Write(Slot(7) + "object_list", std::string(212, 'f') + " 1 1 1 1 1 1\n" +
                                       std::string(213, 'g') + " 2\n" + std::string(5000, 'h') +
                                       "\nlast.obj\n");
    Write(Slot(7) + "cog", "0.5 -2.0 1.2\nignored\n");
    // Texts filling their fields without a terminator, garbage behind them.
    Datagram message = Datagram(3, 7).Text(29, std::string(20, 'D')).Text(49, std::string(40, 'T'));
    message.Text(89, std::string(1024 - 89, 'M'));
    ApplyModel(message.bytes);

    const AircraftRecord& slot = AircraftTable[6];
    const std::vector<std::string> requested = LoadRequests();
    ASSERT_EQ(requested.size(), 2u);
    EXPECT_EQ(requested[0].size(), 255u);
    EXPECT_EQ(requested[1], Slot(7) + "objects/last.obj");
    ExpectTriple(slot.ModelOffset, 0.5f, -2.0f, 1.2f);
    EXPECT_EQ(std::string(slot.ModelName), std::string(255, 'M'));
    EXPECT_EQ(std::string(slot.TailNumber), std::string(39, 'T'));
    EXPECT_EQ(std::string(slot.DisplayName), std::string(19, 'D'));
    host::ClearLog();
    ApplyModel(message.bytes);  // the cut name is what was stored: no change
    EXPECT_EQ(host::LogText(), "");
}

TEST_F(Traffic, LateLoadResultsNeverLandOnNewerEntries) {
    host::SetLoadDelayFrames(4);
    Model(9, "Old", "a.obj 0 0 0 0 0 0\nb.obj 0 0 0 0 0 0\n");
    Model(10, "Other", "a.obj 0 0 0 0 0 0\n");
    host::RunFrames(2);
    // The new entries take the released entries' storage while the old
    // loads still run; one of the new objects does not exist.
    const ObjectEntry* storage = AircraftTable[8].Objects.data();
    Model(9, "New", "c.obj 0 0 0 0 0 0\nmissing.obj 0 0 0 0 0 0\n");
    EXPECT_EQ(AircraftTable[8].Objects.data(), storage);
    host::RunFrames(3);  // the old results arrive, the new ones not yet
    for (const ObjectEntry& entry : AircraftTable[8].Objects) EXPECT_EQ(entry.Loaded, 0);
    EXPECT_NE(AircraftTable[9].Objects[0].Instance, nullptr) << "another slot's load still lands";

    Model(11, "Gone", "a.obj 0 0 0 0 0 0\n");
    ReleaseRecord(AircraftTable[10]);  // removed while loading
    host::RunFrames(5);
    const std::vector<ObjectEntry>& now = AircraftTable[8].Objects;
    EXPECT_NE(now[0].Instance, nullptr);
    EXPECT_EQ(now[1].Loaded, 1);
    EXPECT_EQ(now[1].Object, nullptr);
    std::vector<std::string> live;
    for (const host::ObjectInfo& object : host::Objects()) live.push_back(object.path);
    EXPECT_EQ(live,
              (std::vector<std::string>{Slot(10) + "objects/a.obj", Slot(9) + "objects/c.obj"}));
    const std::vector<host::InstanceInfo> instances = host::Instances();
    ASSERT_EQ(instances.size(), 2u);
    EXPECT_EQ(instances[0].datarefs,
              std::vector<std::string>{"sim/flightmodel2/wing/rudder1_deg[0]"});
    host::StopPlugin();  // no client to disconnect: the stop itself frees the slots
    EXPECT_TRUE(host::Instances().empty());
    EXPECT_TRUE(host::Objects().empty());
    EXPECT_TRUE(host::Errors().empty());
}

TEST_F(Traffic, OnlyADifferentModelNameIsAChange) {
    Model(2, "Same", "a.obj 0 0 0 0 0 0\n", "", "N111");
    host::RunFrame();
    host::ClearLog();
    Model(2, "Same", "a.obj 0 0 0 0 0 0\n", "", "N222");
    EXPECT_STREQ(AircraftTable[1].TailNumber, "N111");
    EXPECT_EQ(host::Instances().size(), 1u);
    EXPECT_EQ(host::LogText(), "");

    Model(2, "", "a.obj 0 0 0 0 0 0\n", "", "N333");  // an empty name counts too
    EXPECT_EQ(host::LogText(), "Velmir: Aircraft 2 model changed from 'Same' to ''.\n");
    EXPECT_STREQ(AircraftTable[1].TailNumber, "N333");
    EXPECT_EQ(host::Instances().size(), 0u);

    host::ClearLog();
    ApplyModel(Datagram(3, 0).Text(89, "User").bytes);
    ApplyModel(Datagram(3, 41).Text(89, "Nobody").bytes);
    EXPECT_EQ(host::LogText(), "");
    EXPECT_EQ(host::CountCalls("XPLMLoadObjectAsync"), 2);
}

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

    InFlight(0.0, 0.5);  // a yaw rate of 12: the received rates only
    r.ShownAttitude[2] = 359.0f;
    const float fastRates[3] = {2.0f, 12.0f, 3.0f};
    std::memcpy(r.Attitude, attitude, sizeof attitude);
    std::memcpy(r.Rates, fastRates, sizeof fastRates);
    UpdateMotion(r);
    ExpectTriple(r.ShownAttitude, 1.0f, 0.0f, 5.0f);

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
    EXPECT_FLOAT_EQ(AngleDifference(1.0f, 359.0f), -2.0f);
    EXPECT_FLOAT_EQ(AngleDifference(180.0f, 0.0f), 180.0f);
}

TEST_F(Traffic, PositionMessagesApplyNewerSamplesOnlyAndTrackTheSendersClock) {
    Model(6, "M", "a.obj 0 0 0 0 0 0\n");
    host::RunFrame();
    PluginClock = 10.0;
    Datagram first = Position(6, 500.0, 120.0, 1500.0, -80.0);
    const float fields[] = {3, -4, 270, 1, 2, 3, 4, 5, 6, 7, 8, 9};  // bytes 57 to 104
    for (int i = 0; i < 12; ++i) first.At(57 + 4 * i, fields[i]);
    HandlePosition(
        first.At(105, std::int16_t{999}).At(115, 12.5f).At(119, std::uint8_t{0xFD}).bytes);

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
    HandlePosition(Position(6, 501.0, 200.0, 1500.0, -80.0).At(57, 9.0f).bytes);
    EXPECT_NEAR(r.FilteredTime, 501.2 + 0.02 * (501.0 - 501.2), 1e-9);
    EXPECT_EQ(r.PrevAttitude[0], 3.0f);
    EXPECT_NEAR(r.ShownPosition[0], 120.0, 1e-6) << "later samples are not placed by the handler";
    EXPECT_EQ(host::Instances().at(0).setCount, placed.setCount);
    for (double stale : {501.0, 400.0, std::nan("")})
        HandlePosition(Position(6, stale, -9.0, 0, 0).bytes);
    HandlePosition(Position(41, 900.0, -9.0, 0, 0).bytes);
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
        HandlePlacement(Placement(8, 10.0, 2000.0, 20.0)
                            .At(49, c.pitch)
                            .At(53, c.bank)
                            .At(57, c.heading)
                            .bytes);
        const std::vector<host::InstanceInfo> instances = host::Instances();
        ASSERT_EQ(instances.size(), 2u);
        const XPLMDrawInfo_t& at = instances[0].position;
        EXPECT_EQ(std::vector<float>({at.x, at.y, at.z, at.pitch, at.roll, at.heading}),
                  std::vector<float>({10.0f, 2000.0f, 20.0f, c.pitch, c.bank, c.heading}));
        const XPLMDrawInfo_t& second = instances[1].position;
        EXPECT_NEAR(second.x - 10.0f, c.x, 2e-3) << c.pitch << " " << c.bank << " " << c.heading;
        EXPECT_NEAR(second.y - 2000.0f, c.y, 2e-3) << c.pitch << " " << c.bank << " " << c.heading;
        EXPECT_NEAR(second.z - 20.0f, c.z, 2e-3) << c.pitch << " " << c.bank << " " << c.heading;
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
                           .bytes);
        EXPECT_NEAR(AircraftTable[c.slot - 1].Position[1], c.expected, 1e-3) << c.slot;
    }
    HandlePosition(Position(15, 1.0, x, 416.0, z).At(115, 0.0f).bytes);  // no clamp asked
    EXPECT_NEAR(AircraftTable[14].Position[1], 416.0, 1e-6);

    host::SetProbeCreationFails(true);
    const Datagram placement = Placement(16, x, 416.0, z).At(61, 0.0f).At(65, std::uint8_t{2});
    HandlePlacement(placement.bytes);
    EXPECT_NEAR(AircraftTable[15].Position[1], 416.0, 1e-6) << "no probe, no clamp";
    host::SetProbeCreationFails(false);
    HandlePlacement(placement.bytes);
    EXPECT_NEAR(AircraftTable[15].Position[1], 413.0, 1e-3);
    EXPECT_NEAR(AircraftTable[15].ShownPosition[1], 416.0, 1e-6) << "shown where it was sent";
}

TEST_F(Traffic, MotionMessagesSetEachFieldInItsOwnAxis) {
    // Bytes 25 to 57: velocity x, y, z, rates pitch, yaw, roll, acceleration x, y, z.
    Datagram motion(6, 3);
    for (int i = 0; i < 9; ++i) motion.At(25 + 4 * i, 1.0f + i);
    HandleMotion(motion.bytes);
    const AircraftRecord& r = AircraftTable[2];
    ExpectTriple(r.Velocity, 1, 2, 3);
    ExpectTriple(r.ShownVelocity, 1, 2, 3);
    ExpectTriple(r.Rates, 4, 5, 6);
    ExpectTriple(r.Accel, 7, 8, 9);

    motion.At(24, std::uint8_t{0});  // the user aircraft: its velocity datarefs at once
    HandleMotion(motion.bytes);
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
                       .bytes);
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
    const Datagram messages[] = {Placement(0, -100.0, 900.0, 0.0), Datagram(6, 0).At(25, 40.0f)};
    double time = 10.0;
    for (const Datagram& message : messages) {
        HandlePosition(Position(0, time += 1.0, 500.0, 900.0, 600.0).At(69, 30.0f).bytes);
        host::RunFrames(3);
        ASSERT_NE(UserAircraft.UpdatedAt, 0.0);
        (message.bytes[23] == 5 ? HandlePlacement : HandleMotion)(message.bytes);
        const double times[] = {UserAircraft.Time, UserAircraft.FilteredTime,
                                UserAircraft.ReceivedAt, UserAircraft.UpdatedAt};
        EXPECT_EQ(std::vector<double>(times, times + 4), std::vector<double>(4, 0.0));
        const double x = host::GetDouble("sim/flightmodel/position/local_x");
        host::RunFrames(10);
        EXPECT_EQ(host::GetDouble("sim/flightmodel/position/local_x"), x) << int{message.bytes[23]};
    }

    HandlePosition(Position(4, 5.0, 0.0, 900.0, 0.0).bytes);
    const AircraftRecord& remote = AircraftTable[3];
    const double received = remote.ReceivedAt, updated = remote.UpdatedAt;
    HandlePlacement(Placement(4, 0.0, 900.0, 0.0).bytes);
    HandleMotion(Datagram(6, 4).bytes);
    EXPECT_EQ(std::vector<double>(
                  {remote.Time, remote.FilteredTime, remote.ReceivedAt, remote.UpdatedAt}),
              std::vector<double>({5.0, 5.0, received, updated}));
}

TEST_F(Traffic, ActiveSlotsBecomeTargetsInSlotOrderWhileThePlanesAreHeld) {
    const std::vector<std::uint8_t> filler(32, 0x55);
    host::SetBytes("sim/cockpit2/tcas/targets/flight_id", filler.data(), 32);
    std::strcpy(AircraftTable[2].TailNumber, "N123AB");
    std::strcpy(AircraftTable[6].TailNumber, "ABCDEFGHIJ");
    HandlePosition(Position(7, 1.0, 300.0, 1000.0, -50.0).bytes);
    HandlePosition(
        Position(3, 1.0, 100.0, 2000.0, 40.0).At(57, 5.0f).At(61, -10.0f).At(65, 200.0f).bytes);
    host::RunFor(1.0);
    for (const char* name : {"modeS_id", "flight_id", "position/x", "position/vz", "position/phi"})
        EXPECT_EQ(host::PluginWrites(std::string("sim/cockpit2/tcas/targets/") + name), 0)
            << "planes not held";

    AcquirePlanes();
    host::RunFrame();
    auto flightId = [](int target) {
        const std::vector<std::uint8_t> all = host::GetBytes("sim/cockpit2/tcas/targets/flight_id");
        return std::string(all.begin() + 8 * target, all.begin() + 8 * target + 8);
    };
    EXPECT_EQ(host::GetInts("sim/cockpit2/tcas/targets/modeS_id").at(1), 3);
    EXPECT_EQ(host::GetInts("sim/cockpit2/tcas/targets/modeS_id").at(2), 7);
    EXPECT_EQ(host::ActiveAircraftCount(), 2);
    EXPECT_EQ(flightId(0), std::string(8, '\x55')) << "target 0 is the user's";
    EXPECT_EQ(flightId(1), std::string("N123AB\0\x55", 8));
    EXPECT_EQ(flightId(2), "ABCDEFG\x55");
    const AircraftRecord& three = AircraftTable[2];
    EXPECT_EQ(host::GetFloat("sim/cockpit2/tcas/targets/position/y", 1),
              static_cast<float>(three.ShownPosition[1]));
    EXPECT_EQ(host::GetFloat("sim/cockpit2/tcas/targets/position/psi", 1), three.ShownAttitude[2]);
    EXPECT_EQ(host::GetFloat("sim/cockpit2/tcas/targets/position/the", 1), three.ShownAttitude[0]);
    EXPECT_EQ(host::GetFloat("sim/cockpit2/tcas/targets/position/phi", 1), three.ShownAttitude[1]);

    double time = 1.0;  // slot 3 falls silent and is swept; slot 7 becomes target 1
    ASSERT_TRUE(host::RunUntil(
        [&] {
            HandlePosition(Position(7, time += 0.02, 300.0, 1000.0, -50.0).bytes);
            return AircraftTable[2].Time == 0.0;
        },
        15.0));
    host::RunFrame();
    EXPECT_EQ(host::GetInts("sim/cockpit2/tcas/targets/modeS_id").at(1), 7);
    EXPECT_EQ(flightId(1), "ABCDEFG\x55");
    EXPECT_EQ(host::ActiveAircraftCount(), 1);
    ReleaseRecord(AircraftTable[6]);  // none left: the last count stays
    const int calls = host::CountCalls("XPLMSetActiveAircraftCount");
    host::RunFrames(3);
    EXPECT_EQ(host::CountCalls("XPLMSetActiveAircraftCount"), calls);
}

TEST_F(Traffic, FramesAndPositionMessagesAllocateNothingAndLookNothingUp) {
    std::string objectList;
    for (int i = 0; i < 8; ++i) objectList += "a.obj 0 0 0 " + std::to_string(i) + " 0.5 -1\n";
    for (int slot = 1; slot <= SlotCount; ++slot) Model(slot, "M", objectList, "0.5 -1 1\n");
    ApplyLabelSettings(Datagram(2, 0).At(26, std::uint8_t{31}).bytes);
    AcquirePlanes();
    host::RunFrame();
    ASSERT_EQ(host::Instances().size(), 320u);

    double time = 100.0;
    auto frame = [&](int n) {
        if (n % 6 == 0) {
            time += 0.1;
            for (int slot = 1; slot <= SlotCount; ++slot)
                HandlePosition(
                    Position(slot, time, 40.0 * slot, 1200.0, -300.0).At(65, 9.0f * slot).bytes);
            // The user aircraft, shared, looking at all of them.
            HandlePosition(Position(0, time, -500.0, 1500.0, 0.0).At(65, 90.0f).bytes);
        }
        host::RunFrame();
    };
    for (int n = 0; n < 180; ++n) frame(n);  // the host sizes its own buffers
    host::SetJournalEnabled(false);
    const int lookups = host::FindDataRefCalls();
    const host::Counters before = host::Counts();
    test::AllocationScope scope;
    for (int n = 0; n < 600; ++n) frame(n);
    const std::size_t allocations = scope.Count();
    host::SetJournalEnabled(true);

    EXPECT_EQ(allocations, 0u);
    EXPECT_EQ(host::FindDataRefCalls(), lookups);
    const host::Counters after = host::Counts();  // the paths under test really ran
    EXPECT_EQ(after.instancePositionSets - before.instancePositionSets, 320 * 600);
    EXPECT_EQ(after.drawStrings - before.drawStrings, 2 * 40 * 600);
    EXPECT_EQ(host::ActiveAircraftCount(), 40);
}

}  // namespace
}  // namespace velmir
