// Shared control of the user aircraft and the report loops, through the
// real link code: the plugin started in-process, the "client" a plain
// loopback socket reading without allocating. Datagrams are built from the
// wire format's literal offsets.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "host/Host.h"
#include "plugin/Schedule.h"
#include "link/Connection.h"
#include "core/Clock.h"
#include "traffic/AircraftTable.h"
#include "unit/AllocationCounter.h"
#include "unit/PluginHarness.h"
#include "user/Reports.h"
#include "user/SharedControl.h"

namespace velmir {
namespace {

namespace h = host;

const char* const PlanePath = "sim/operation/override/override_planepath";
const char* const FlightControl = "sim/operation/override/override_flightcontrol";
const char* const PropRatio = "sim/cockpit2/engine/actuators/prop_ratio";
// The instrument filter's channels, in the order of the type 8 fields at
// bytes 106, 29, 110, 114, 118 and 122.
const char* const Channels[] = {"sim/flightmodel/position/indicated_airspeed",
                                "sim/cockpit/gyros/psi_vac_ind_degm",
                                "sim/flightmodel/misc/h_ind",
                                "sim/flightmodel/position/vh_ind_fpm",
                                "sim/flightmodel/misc/turnrate_roll",
                                "sim/flightmodel/misc/slip"};

using test::Wire;

Wire Instruments(float airspeed, std::int16_t heading, std::uint8_t index = 0) {
    return Wire(8, 126, index)
        .At(106, airspeed)
        .At(29, heading)
        .At(110, 5500.0f)
        .At(114, -300.0f)
        .At(118, 3.0f)
        .At(122, -0.5f);
}

Wire Propeller(std::uint8_t lever, std::int16_t target, std::uint8_t index = 0) {
    return Wire(9, 56, index).At(25, lever).At(53, target);
}

class UserControl : public test::InProcessTest {
  protected:
    void SetUp() override {
        test::InProcessTest::SetUp();
        StartPlugin();
        PluginClock = 10.0;
        ReceiveDeadline = 1e9f;
        const float start[] = {100.0f, 350.0f, 5000.0f, 0.0f, 0.0f, 0.5f};
        for (int i = 0; i < 6; ++i) h::SetFloat(Channels[i], start[i]);
        h::SetFloats(PropRatio, {0.1f, 0.2f, 0.3f, 0.4f});

        sockaddr_in plugin{};
        plugin.sin_family = AF_INET;
        plugin.sin_port = htons(7472);
        plugin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(client_, reinterpret_cast<sockaddr*>(&plugin), sizeof plugin), 0);
    }
    void TearDown() override {
        test::InProcessTest::TearDown();
        close(client_);
    }

    // A ConnectMessage from the client socket: the link learns its address.
    void Connect() {
        Send(Wire(0, 24));
        ReceiveLoop();
        ASSERT_TRUE(ClientConnected());
    }
    void Send(const Wire& d) { send(client_, d.data(), d.size(), 0); }
    // The types and lengths of everything sent to the client so far.
    std::vector<std::pair<int, int>> Drain() {
        std::vector<std::pair<int, int>> all;
        for (ssize_t n; (n = recv(client_, last_, sizeof last_, MSG_DONTWAIT)) > 0;)
            all.emplace_back(last_[23], static_cast<int>(n));
        return all;
    }
    int DrainCount() {  // allocates nothing
        int count = 0;
        while (recv(client_, last_, sizeof last_, MSG_DONTWAIT) > 0) ++count;
        return count;
    }

    int client_ = socket(AF_INET, SOCK_DGRAM, 0);
    std::uint8_t last_[512] = {};
};

using Sent = std::vector<std::pair<int, int>>;

TEST_F(UserControl, InstrumentsTakeControlAndEveryChannelFollowsItsTarget) {
    HandleInstruments(Instruments(200.0f, 10).data());
    EXPECT_TRUE(SharedControl);
    EXPECT_EQ(SharedControlDeadline, 11.0);
    EXPECT_EQ(h::GetInt(PlanePath, 0) + h::GetInt(FlightControl), 2);

    StepInstrumentFilter();
    // Heading blends as a plain number: from 350 towards 10 it goes down.
    const float after[] = {101.0f, 346.6f, 5005.0f, -3.0f, 0.03f, 0.49f};
    for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(h::GetFloat(Channels[i]), after[i]) << Channels[i];
    EXPECT_FLOAT_EQ(h::GetFloat(PropRatio, 3), 0.4f);  // untargeted levers stay put

    // Renewing moves only the deadline: the filter is not primed again.
    PluginClock = 10.5;
    h::SetFloat(Channels[0], 0.0f);
    HandleInstruments(Instruments(200.0f, 10).data());
    EXPECT_EQ(SharedControlDeadline, 11.5);
    StepInstrumentFilter();
    EXPECT_FLOAT_EQ(h::GetFloat(Channels[0]), 101.99f);

    // Taken again without an instrument message (a position for the user
    // aircraft does it): the filter holds each channel where it stands.
    EndSharedControl();
    h::SetFloat(Channels[0], 123.0f);
    TakeControl();
    StepInstrumentFilter();
    EXPECT_FLOAT_EQ(h::GetFloat(Channels[0]), 123.0f);
}

TEST_F(UserControl, PropellerTargetsOnlyTheNamedLeverAndOtherAircraftAreIgnored) {
    HandleInstruments(Instruments(200.0f, 10, 1).data());
    HandlePropeller(Propeller(0, 100, 7).data());
    EXPECT_FALSE(SharedControl);
    EXPECT_EQ(h::PluginWrites(PlanePath), 0);

    HandlePropeller(Propeller(3, 100).data());
    EXPECT_TRUE(SharedControl);
    StepInstrumentFilter();
    EXPECT_EQ(h::GetFloats(PropRatio), (std::vector<float>{0.1f, 0.2f, 0.3f, 0.4f * 0.99f + 1.0f}));

    // Lever numbers past the fourth still renew control but change nothing.
    PluginClock = 10.4;
    const InstrumentFilterState before = InstrumentFilter;
    HandlePropeller(Propeller(4, 500).data());
    HandlePropeller(Propeller(255, 500).data());
    EXPECT_EQ(std::memcmp(&before, &InstrumentFilter, sizeof before), 0);
    EXPECT_EQ(SharedControlDeadline, 11.4);
}

TEST_F(UserControl, FuelBytesGoToTheirTanksWithoutTakingControl) {
    Wire fuel(11, 36, 40);
    for (int k = 0; k < 9; ++k) fuel[25 + k] = static_cast<std::uint8_t>(k + 1);
    HandleFuel(fuel.data());
    EXPECT_EQ(h::PluginWrites("sim/flightmodel/weight/m_fuel"), 0);
    fuel[24] = 0;
    HandleFuel(fuel.data());
    EXPECT_EQ(h::GetFloats("sim/flightmodel/weight/m_fuel"),
              (std::vector<float>{4, 7, 1, 6, 9, 2, 5, 8, 3}));
    fuel[25] = 200;
    HandleFuel(fuel.data());
    EXPECT_EQ(h::GetFloat("sim/flightmodel/weight/m_fuel", 2), 200.0f);
    EXPECT_FALSE(SharedControl);
}

TEST_F(UserControl, ControlLapsesOnTheFirstTickPastTheDeadlineEvenWithoutAClient) {
    PluginClock = 10.03;
    HandleInstruments(Instruments(200.0f, 10).data());
    UserAircraft.Time = 5.0;
    double releasedAt = 0.0;
    for (int tick = 1; tick <= 20 && releasedAt == 0.0; ++tick) {
        PluginClock = 10.0 + 0.1 * tick;
        PositionReportLoop(0.1f, 0.1f, tick, nullptr);
        if (!SharedControl) releasedAt = PluginClock;
    }
    EXPECT_GT(releasedAt - 10.03, 1.0);
    EXPECT_LE(releasedAt - 10.03, 1.1);
    EXPECT_EQ(h::GetInt(PlanePath, 0) + h::GetInt(FlightControl), 0);
    EXPECT_EQ(UserAircraft.Time, 5.0);  // a lapse keeps the record's times

    // At the deadline exactly the client still holds control.
    TakeControl();
    PluginClock += 1.0;
    LapseSharedControl();
    EXPECT_TRUE(SharedControl);
    PluginClock += 1e-6;
    LapseSharedControl();
    EXPECT_FALSE(SharedControl);
}

TEST_F(UserControl, WithoutAClientNothingIsReadOrSent) {
    PositionReportLoop(0.1f, 0.1f, 1, nullptr);
    StateReportLoop(1.0f, 1.0f, 1, nullptr);
    ModelReportLoop(4.0f, 4.0f, 1, nullptr);
    EXPECT_EQ(DrainCount(), 0);
    EXPECT_EQ(h::PluginReads("sim/flightmodel/position/latitude"), 0);
    EXPECT_EQ(h::PluginReads("sim/cockpit/radios/com1_freq_hz"), 0);
    EXPECT_EQ(h::PluginReads("sim/aircraft/view/acf_tailnum"), 0);
}

TEST_F(UserControl, StateReportSendsOneOfEachInOrder) {
    Connect();
    h::SetInt("sim/aircraft/engine/acf_num_engines", 1);
    StateReportLoop(1.0f, 1.0f, 1, nullptr);
    EXPECT_EQ(Drain(), (Sent{{7, 42}, {8, 126}, {9, 56}, {11, 36}}));

    // A twin turboprop: one turbine message per engine, numbered from 1,
    // and no piston message.
    h::AircraftConfig twin;
    twin.engines = h::Engines::TwinTurboprop;
    h::ConfigureAircraft(twin);
    StateReportLoop(1.0f, 1.0f, 2, nullptr);
    std::vector<int> engineNumbers;
    for (ssize_t n; (n = recv(client_, last_, sizeof last_, MSG_DONTWAIT)) > 0;) {
        if (last_[23] == 8) {
            EXPECT_EQ(last_[35], 1);
        }
        if (last_[23] == 10 && n == 54) engineNumbers.push_back(last_[25]);
        EXPECT_NE(last_[23], 9);
    }
    EXPECT_EQ(engineNumbers, (std::vector<int>{1, 2}));
    EXPECT_TRUE(h::Errors().empty()) << h::Errors().front();
}

TEST_F(UserControl, ControlMessageSilencesItsOwnPassAndReportsResumeAfterTheLapse) {
    Connect();
    PluginClock = 1.0;
    PositionReportLoop(0.1f, 0.1f, 1, nullptr);
    EXPECT_EQ(Drain(), (Sent{{4, 120}}));
    double time;
    std::memcpy(&time, last_ + 25, sizeof time);
    EXPECT_EQ(time, 1.0);

    Send(Instruments(150.0f, 90));
    PositionReportLoop(0.1f, 0.1f, 2, nullptr);
    EXPECT_TRUE(SharedControl);
    StateReportLoop(1.0f, 1.0f, 1, nullptr);
    ModelReportLoop(4.0f, 4.0f, 1, nullptr);
    EXPECT_EQ(Drain(), (Sent{{3, 345}}));  // only the model report goes on

    PluginClock = 2.1;
    PositionReportLoop(0.1f, 0.1f, 3, nullptr);
    EXPECT_FALSE(SharedControl);
    EXPECT_EQ(DrainCount(), 0);  // released after this pass's report
    PositionReportLoop(0.1f, 0.1f, 4, nullptr);
    EXPECT_EQ(Drain(), (Sent{{4, 120}}));
}

TEST_F(UserControl, DisconnectWhileDrivingHandsTheAircraftBack) {
    Connect();
    Send(Propeller(0, 1));
    PositionReportLoop(0.1f, 0.1f, 1, nullptr);
    ASSERT_TRUE(SharedControl);
    UserAircraft.Time = UserAircraft.FilteredTime = 0.5;
    UserAircraft.ReceivedAt = UserAircraft.UpdatedAt = 0.9;

    Send(Wire(1, 24));
    PositionReportLoop(0.1f, 0.1f, 2, nullptr);
    EXPECT_FALSE(ClientConnected());
    EXPECT_FALSE(SharedControl);
    EXPECT_EQ(SharedControlDeadline, 0.0);
    EXPECT_EQ(h::GetInt(PlanePath, 0) + h::GetInt(FlightControl), 0);
    const double times[] = {UserAircraft.Time, UserAircraft.FilteredTime, UserAircraft.ReceivedAt,
                            UserAircraft.UpdatedAt};
    EXPECT_EQ(std::vector<double>(times, times + 4), std::vector<double>(4, 0.0));
    EXPECT_EQ(Drain(), (Sent{{1, 24}}));
}

TEST_F(UserControl, PeriodicPathsNeitherAllocateNorLookUp) {
    Connect();
    h::SetInt("sim/aircraft/engine/acf_num_engines", 4);
    h::SetInts("sim/aircraft/prop/acf_en_type", {2, 0, 2, 0});
    const Wire instruments = Instruments(120.0f, 45), propeller = Propeller(2, 1);
    const Wire fuel(11, 36);
    // Every 4 s: about a second driven by the client, then reports again.
    auto run = [&](int rounds) {
        int sent = 0;
        for (int i = 0; i < rounds; ++i) {
            PluginClock += 0.1;
            const int phase = i % 40;
            if (phase == 0) Send(instruments);
            if (phase == 5) Send(fuel);
            PositionReportLoop(0.1f, 0.1f, i, nullptr);
            if (phase % 10 == 0) StateReportLoop(1.0f, 1.0f, i, nullptr);
            if (phase == 20) ModelReportLoop(4.0f, 4.0f, i, nullptr);
            if (phase < 10) {
                HandlePropeller(propeller.data());
                HandleInstruments(instruments.data());
                HandleFuel(fuel.data());
            }
            if (SharedControl) StepInstrumentFilter();
            sent += DrainCount();
        }
        return sent;
    };
    run(40);  // first use: probe, buffers, headers

    h::SetJournalEnabled(false);  // the host's own journal allocates
    const int lookups = h::FindDataRefCalls();
    test::AllocationScope scope;
    const int sent = run(400);
    EXPECT_EQ(scope.Count(), 0u);
    EXPECT_EQ(h::FindDataRefCalls(), lookups);
    EXPECT_GT(sent, 300);  // reports went out between the driven seconds
    EXPECT_TRUE(ClientConnected());
}

}  // namespace
}  // namespace velmir
