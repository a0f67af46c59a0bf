// Faults from outside: object loads that fail or finish too late, probes
// and planes the simulator will not give, a client that vanishes, a socket
// that will not take another datagram. None of them may crash the
// simulator, hold up its main thread or leave an object, instance or probe
// behind.
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/Client.h"
#include "link/Connection.h"
#include "traffic/AircraftTable.h"
#include "traffic/Labels.h"
#include "traffic/ModelInjection.h"
#include "unit/PluginHarness.h"

namespace velmir {
namespace {

constexpr int ObjectsPerModel = 2;
// Made on first use, kept until stop: one per slot and the user aircraft's.
constexpr int UserAndSlotProbes = SlotCount + 1;

double WallSeconds() {
    // CLOCK_MONOTONIC follows simulated time during a host session.
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_RAW, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

// Objects, instances and probes the plugin holds right now, by the host's
// own books.
using Holdings = std::array<int, 3>;
enum { Objects, Instances, Probes };  // Holdings' order
Holdings Held() {
    const host::Counters c = host::Counts();
    return {c.loadsSucceeded - c.objectsUnloaded, c.instancesCreated - c.instancesDestroyed,
            host::LiveProbes()};
}

class Fault : public test::InSimulatorFolder {
  protected:
    client::Connection client_;
    double sampleTime_ = 0.0;

    void SetUp() override {
        test::InSimulatorFolder::SetUp();
        for (int slot = 1; slot <= SlotCount; ++slot) {
            Write(test::Slot(slot) + "objects/body.obj", "I\n800\nOBJ\n");
            Write(test::Slot(slot) + "object_list",
                  "body.obj 0 0 0 0 0 0\nbody.obj 0 0 0 1 0 -2\n");
        }
    }
    void TearDown() override {
        test::InSimulatorFolder::TearDown();
        EXPECT_TRUE(host::Errors().empty()) << host::Errors().front();
    }

    void StartAndConnect() {
        StartPlugin();
        ASSERT_TRUE(client_.Open("127.0.0.1", ListenPort)) << client_.LastError();
        ASSERT_TRUE(client_.Connect(0));
        ReceiveLoop();
        ASSERT_TRUE(ClientConnected());
    }

    void SendModels(const char* name) {
        for (int slot = 1; slot <= SlotCount; ++slot) {
            client::ModelReport model;
            model.AircraftIndex = static_cast<std::uint8_t>(slot);
            model.ModelName = name;
            model.TailNumber = "N" + std::to_string(slot);
            ASSERT_TRUE(client_.Send(model));
        }
    }
    // One sample for each of the 40 slots, near the ground and asking for
    // the terrain clamp.
    void SendPositions() {
        sampleTime_ += 0.1;
        for (int slot = 1; slot <= SlotCount; ++slot) {
            client::PositionReport p;
            p.AircraftIndex = static_cast<std::uint8_t>(slot);
            p.Time = sampleTime_;
            p.Latitude = 47.0 + 0.001 * slot;
            p.Longitude = 8.0 + 0.0001 * sampleTime_;
            p.Altitude = 405.0;
            p.VelocityX = 7.0f;
            p.RadioAltitude = 5.0f;
            p.PositionFlags = 3;
            ASSERT_TRUE(client_.Send(p));
        }
    }
    // The client streams all 40 aircraft at 10 Hz for `seconds`.
    void Stream(double seconds) {
        for (int step = 0; step < static_cast<int>(seconds * 10.0 + 0.5); ++step) {
            SendPositions();
            host::RunFrames(6);
        }
    }
    static int ActiveSlots() {
        int active = 0;
        for (const AircraftRecord& record : AircraftTable) active += IsActive(record);
        return active;
    }
};

// ------------------------------------------------------------- object loads

TEST_F(Fault, WithEveryLoadFailingAircraftStillFlyAndPublishButShowNothing) {
    host::SetAllLoadsFail(true);
    StartAndConnect();
    SendModels("Unloadable");
    Stream(2.0);

    EXPECT_EQ(ActiveSlots(), SlotCount);
    EXPECT_EQ(Held()[Objects], 0);
    EXPECT_EQ(Held()[Instances], 0);
    for (const AircraftRecord& record : AircraftTable) {
        ASSERT_EQ(record.Objects.size(), static_cast<std::size_t>(ObjectsPerModel));
        for (const ObjectEntry& entry : record.Objects) {
            EXPECT_EQ(entry.Loaded, 1) << "a failed load is finished, not pending";
            EXPECT_EQ(entry.Object, nullptr);
        }
    }
    EXPECT_GT(AircraftTable[0].ShownPosition[0], host::WorldToLocal(47.0, 8.0, 0.0).x);
    EXPECT_EQ(host::ActiveAircraftCount(), SlotCount) << "targets need no objects";

    // Once the files load again, the next model change shows them.
    host::SetAllLoadsFail(false);
    SendModels("Loadable");
    Stream(0.5);
    EXPECT_EQ(Held()[Instances], SlotCount * ObjectsPerModel);
}

TEST_F(Fault, LoadsOutlivingTheirSlotAreUnloadedWhateverReleasedIt) {
    StartAndConnect();
    const double loadSeconds = 15.0;
    host::SetLoadDelayFrames(static_cast<int>(loadSeconds * host::Fps()));

    // Removal, model change and disconnect release slots while their loads run.
    SendModels("First");
    Stream(0.5);
    client::RemoveAircraftCommand removal;
    removal.AircraftIndex = 1;
    ASSERT_TRUE(client_.Send(removal));
    Stream(0.5);
    SendModels("Second");
    Stream(0.5);
    ASSERT_TRUE(client_.Disconnect());
    host::RunFrames(6);
    ASSERT_FALSE(ClientConnected());
    EXPECT_EQ(host::PendingLoads(), 2 * SlotCount * ObjectsPerModel);

    // The stale sweep (more than 10 s without a sample, checked every 2 s)
    // releases the rest while a third model's loads run.
    ASSERT_TRUE(client_.Connect(0));
    SendModels("Third");
    Stream(1.0);
    host::RunFor(12.5);
    EXPECT_EQ(ActiveSlots(), 0) << "swept";
    EXPECT_GT(host::PendingLoads(), 0);

    host::RunFor(loadSeconds);
    EXPECT_EQ(host::PendingLoads(), 0);
    EXPECT_EQ(host::Counts().loadsSucceeded, 3 * SlotCount * ObjectsPerModel);
    EXPECT_EQ(Held(), (Holdings{0, 0, UserAndSlotProbes})) << "only the probes stay, until stop";
}

TEST_F(Fault, StopLeavesNothingLoadedOrLoadingAndARestartForgetsEverySlot) {
    StartAndConnect();
    host::SetLoadDelayFrames(30);
    SendModels("Model");
    Stream(0.2);
    const std::uint64_t serial = AircraftTable[4].Objects[0].Serial;
    ASSERT_GT(host::PendingLoads(), 0);

    host::StopPlugin();
    host::SetLoadDelayFrames(1);
    EXPECT_EQ(host::Counts().loadsDropped, SlotCount * ObjectsPerModel);
    EXPECT_EQ(Held(), (Holdings{0, 0, 0}));

    // A simulator that delivers a load anyway, after the stop: the plugin
    // gives the object back instead of keeping it in a released slot.
    XPLMObjectRef late = nullptr;
    XPLMLoadObjectAsync(
        (test::Slot(5) + "objects/body.obj").c_str(),
        [](XPLMObjectRef object, void* out) { *static_cast<XPLMObjectRef*>(out) = object; }, &late);
    host::RunFrames(3);
    ASSERT_NE(late, nullptr);
    ObjectLoaded(late, reinterpret_cast<void*>(static_cast<std::uintptr_t>(serial)));
    EXPECT_EQ(Held(), (Holdings{0, 0, 0}));

    // Started again in the same process, the slots load afresh; a stop
    // with everything shown gives everything back.
    StartAndConnect();
    SendModels("Model");
    Stream(0.3);
    EXPECT_EQ(Held()[Instances], SlotCount * ObjectsPerModel);
    std::strcpy(AircraftTable[4].DisplayName, "Pilot");
    host::StopPlugin();
    EXPECT_EQ(Held(), (Holdings{0, 0, 0}));
    StartPlugin();
    for (const AircraftRecord& record : AircraftTable) {
        EXPECT_STREQ(record.ModelName, "");
        EXPECT_STREQ(record.TailNumber, "");
        EXPECT_STREQ(record.DisplayName, "");
    }
}

// --------------------------------------------------------- probes, planes

TEST_F(Fault, WithoutProbesAircraftAreShownUnclampedUntilProbesCanBeMade) {
    host::SetProbeCreationFails(true);
    host::SetFlatTerrain(380.0);
    StartAndConnect();
    Stream(1.0);
    EXPECT_EQ(host::LiveProbes(), 0);
    for (const AircraftRecord& record : AircraftTable) {
        EXPECT_EQ(record.Probe, nullptr);
        EXPECT_NEAR(record.Position[1], 405.0, 1e-9) << "not clamped";
    }
    // The user aircraft under shared control asks for the clamp as well.
    client::PlacementCommand placement;
    placement.Latitude = 47.0;
    placement.Longitude = 8.0;
    placement.Altitude = 390.0;
    placement.RadioAltitude = 2.0f;
    placement.PositionFlags = 2;
    ASSERT_TRUE(client_.Send(placement));
    host::RunFrames(6);
    EXPECT_EQ(UserAircraft.Probe, nullptr);

    host::SetProbeCreationFails(false);
    Stream(0.2);
    EXPECT_EQ(host::LiveProbes(), SlotCount) << "one per record, made on first use";
    // 25 m up by the probe, 5 m by the client: 90 % of the 20 m corrected.
    EXPECT_NEAR(AircraftTable[0].Position[1], 387.0, 1e-3);
}

TEST_F(Fault, PlanesGrantedMidFlightBringEveryTargetOnTheNextFrame) {
    host::SetPlanesAvailable(false);
    StartAndConnect();
    Stream(2.0);
    EXPECT_FALSE(PlanesAcquired);
    EXPECT_EQ(ActiveSlots(), SlotCount);
    EXPECT_EQ(host::PluginWrites("sim/cockpit2/tcas/targets/position/x"), 0);

    host::SetPlanesAvailable(true);
    host::RunFrame();  // the simulator calls back; the motion step follows
    EXPECT_TRUE(PlanesAcquired);
    EXPECT_EQ(host::GetInt("sim/operation/override/override_TCAS"), 1);
    EXPECT_EQ(host::ActiveAircraftCount(), SlotCount);

    ASSERT_TRUE(client_.Disconnect());
    host::RunFrames(6);
    EXPECT_FALSE(host::PlanesHeld());
    EXPECT_EQ(host::ActiveAircraftCount(), 0);
}

// ------------------------------------------------------------------ client

TEST_F(Fault, AClientThatVanishesMidStreamLosesItsAircraftThenItsConnection) {
    StartAndConnect();
    SendModels("Model");
    Stream(5.0);
    ASSERT_EQ(Held()[Instances], SlotCount * ObjectsPerModel);
    const double silentFrom = host::SimTime();
    host::ClearLog();

    // The stale sweep runs every 2 s: gone between 10 and 12 s of silence.
    host::RunFor(10.0);
    EXPECT_EQ(ActiveSlots(), SlotCount);
    host::RunFor(2.0);
    EXPECT_EQ(ActiveSlots(), 0);
    EXPECT_EQ(host::CountLogLines("Velmir: Removing timed out aircraft"), SlotCount);
    EXPECT_EQ(Held()[Instances], 0);
    EXPECT_TRUE(ClientConnected()) << "the connection outlives its aircraft";

    // Reports keep going to the vanished address; read them as they come so
    // the goodbye at the end is not lost in a full queue.
    int disconnects = 0;
    while (ClientConnected() && host::SimTime() - silentFrom < 121.0) {
        host::RunFrame();
        while (auto datagram = client_.Receive(0))
            disconnects += datagram->Raw.size() == 24 && datagram->Raw[23] == DisconnectMessage;
    }
    EXPECT_FALSE(ClientConnected());
    EXPECT_NEAR(host::SimTime() - silentFrom, 120.0, 0.2);
    const std::vector<std::string> lines = host::LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Velmir: Disconnected.");
    EXPECT_EQ(lines.back(), "Velmir: Client connection was dropped due to time out.");
    EXPECT_FALSE(host::PlanesHeld());
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(Held(), (Holdings{0, 0, UserAndSlotProbes}));
}

// ------------------------------------------------------------------ socket

// Traffic control on the loopback device of the test's own network
// namespace; never on a namespace the machine itself uses.
bool InPrivateNetworkNamespace() {
    char mine[64] = {}, init[64] = {};
    if (readlink("/proc/self/ns/net", mine, sizeof mine - 1) <= 0) return false;
    if (readlink("/proc/1/ns/net", init, sizeof init - 1) <= 0)
        return true;  // not ours to see: not init's
    return std::strcmp(mine, init) != 0;
}

class UnwritableSocket : public Fault {
  protected:
    bool shaped_ = false;
    void TearDown() override {
        if (shaped_ && std::system("tc qdisc del dev lo root 2>/dev/null") != 0) ADD_FAILURE();
        Fault::TearDown();
    }
    // The loopback device sends 1 kB a second from now on, so a tiny send
    // buffer stays full: what a congested link does to the plugin's socket.
    bool Throttle() {
        if (!InPrivateNetworkNamespace()) return false;
        if (std::system(
                "tc qdisc add dev lo root tbf rate 8kbit burst 1600 limit 1000000 2>/dev/null") !=
            0)
            return false;
        shaped_ = true;
        const int tiny = 1;  // the kernel raises it to its minimum
        return setsockopt(Socket, SOL_SOCKET, SO_SNDBUF, &tiny, sizeof tiny) == 0;
    }
};

TEST_F(UnwritableSocket, ReportsAreDroppedAndFramesNeverWait) {
    StartAndConnect();
    SendModels("Model");
    Stream(1.0);
    while (client_.Receive(0)) {
    }
    if (!Throttle())
        GTEST_SKIP() << "no traffic control here (needs a private network namespace and tc)";

    // Fill the send buffer, then see that nothing more goes in.
    test::Wire info(2, 31);  // stamped on each send
    int handed = 0;
    while (handed < 1000 && SendToClient(info.data(), info.size(), InfoMessage)) ++handed;
    ASSERT_LT(handed, 1000) << "the socket never filled";
    EXPECT_FALSE(WritableTest());

    // Ten simulated seconds with 40 aircraft, labels and every report due:
    // the frames run at full speed, the reports are dropped.
    LabelFlags = 31;
    double slowest = 0.0;
    const double start = WallSeconds();
    for (int frame = 0; frame < 600; ++frame) {
        const double before = WallSeconds();
        host::RunFrame();
        slowest = std::max(slowest, WallSeconds() - before);
    }
    const double total = WallSeconds() - start;
    // A frame that waited would wait for the link's 1 kB/s: seconds in all.
    // The bounds leave room for a machine busy with other work.
    EXPECT_LT(slowest, 0.5) << "a frame waited for the socket";
    EXPECT_LT(total, 5.0);
    EXPECT_EQ(ActiveSlots(), SlotCount);

    // Even the goodbye is dropped rather than waited for.
    const double disconnectStart = WallSeconds();
    Disconnect();
    EXPECT_LT(WallSeconds() - disconnectStart, 0.5);
    EXPECT_FALSE(ClientConnected());
}

}  // namespace
}  // namespace velmir
