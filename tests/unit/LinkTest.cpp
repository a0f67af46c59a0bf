// The link's behaviour where a test must see inside: deadlines, the drain of
// a flood in one pass, the stale-aircraft sweep, late planes.
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "client/Client.h"
#include "plugin/Schedule.h"
#include "link/Connection.h"
#include "link/KeepAlive.h"
#include "link/Messages.h"
#include "core/Clock.h"
#include "traffic/AircraftTable.h"
#include "traffic/Labels.h"
#include "unit/PluginHarness.h"

namespace velmir {
namespace {

using test::Wire;

// Header bytes here are literals on purpose: they must not come from the
// definitions they check.
TEST(MessageHeader, ConstructedThenStampedHeaderHasTheProtocolBytes) {
    std::vector<std::uint8_t> message(25, 0xAA), expected(25, 0);
    ConstructHeader(message.data());
    expected[0] = 0x0B;
    expected[24] = 0xAA;  // construction stays within the header
    EXPECT_EQ(message, expected);

    StampHeader(message.data(), 0x2A0B, 2);
    expected = Wire(2, 24);
    expected[1] = 0x2A;
    expected.push_back(0xAA);
    EXPECT_EQ(message, expected);
}

TEST(MessageHeader, JudgingFollowsTheReceiveOrder) {
    auto d = Wire(4, 24);
    EXPECT_EQ(JudgeHeader(d.data(), 24), HeaderVerdict::Dispatch);
    EXPECT_EQ(JudgeHeader(d.data(), 23), HeaderVerdict::TooShort);
    auto noisy = d;  // reserved bytes and the link tag are never looked at
    std::fill(noisy.begin(), noisy.begin() + 21, 0xFF);
    EXPECT_EQ(JudgeHeader(noisy.data(), 24), HeaderVerdict::Dispatch);

    const std::pair<int, HeaderVerdict> types[] = {{7, HeaderVerdict::SendOnly},
                                                   {10, HeaderVerdict::SendOnly},
                                                   {14, HeaderVerdict::UnknownType},
                                                   {200, HeaderVerdict::UnknownType},
                                                   {255, HeaderVerdict::UnknownType}};
    for (const auto& [type, verdict] : types) {
        d[23] = static_cast<std::uint8_t>(type);
        EXPECT_EQ(JudgeHeader(d.data(), 24), verdict) << type;
    }
    // The version written big-endian is a mismatch, judged before the type.
    std::swap(d[21], d[22]);
    EXPECT_EQ(JudgeHeader(d.data(), 24), HeaderVerdict::VersionMismatch);
}

class LinkInProcess : public test::InProcessTest {
  protected:
    client::Connection client;
    void SetUp() override {
        test::InProcessTest::SetUp();
        StartPlugin();
        ASSERT_TRUE(client.Open("127.0.0.1", ListenPort));
    }
    void Connect() {
        ASSERT_TRUE(client.Connect(0));
        ReceiveLoop();
        ASSERT_TRUE(ClientConnected());
    }
};

TEST_F(LinkInProcess, OnlyDatagramsPastTheHeaderChecksPushTheDeadline) {
    Connect();
    ReceiveDeadline = 5.0f;
    const auto tooShort = Wire(4, 23);
    ASSERT_TRUE(client.SendRaw(tooShort.data(), tooShort.size()));
    auto wrongVersion = Wire(4, 120);
    wrongVersion[22] = 0x53;
    ASSERT_TRUE(client.SendRaw(wrongVersion.data(), wrongVersion.size()));
    ReceiveLoop();
    EXPECT_EQ(ReceiveDeadline, 5.0f);

    // Dropped types and strangers still count as signs of life.
    host::RunFor(1.0);
    const auto sendOnly = Wire(7, 42);
    ASSERT_TRUE(client.SendRaw(sendOnly.data(), sendOnly.size()));
    ReceiveLoop();
    EXPECT_FLOAT_EQ(ReceiveDeadline, static_cast<float>(host::SimTime()) + 120.0f);
}

TEST_F(LinkInProcess, ClientStaysConnectedAtTheDeadlineAndLeavesJustAfter) {
    Connect();
    ReceiveDeadline = static_cast<float>(host::SimTime());
    ReceiveLoop();
    EXPECT_TRUE(ClientConnected()) << "at exactly the deadline";
    host::RunFrame();
    ReceiveLoop();
    EXPECT_FALSE(ClientConnected());
}

TEST_F(LinkInProcess, AFloodIsDrainedUpToTheBoundInOnePassAndTheRestInTheNext) {
    Connect();
    // The kernel's default queue holds a few hundred small datagrams; make
    // room for the whole flood (needs CAP_NET_ADMIN, which the test's
    // network namespace gives a root user).
    const int bytes = 64 << 20;
    if (setsockopt(Socket, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        GTEST_SKIP() << "cannot enlarge the receive queue here";
    constexpr int Bound = 16384;  // datagrams per pass
    auto remove = Wire(13, 25);
    for (int i = 0; i <= Bound; ++i) {
        remove[24] = static_cast<std::uint8_t>(1 + i % 40);
        ASSERT_TRUE(client.SendRaw(remove.data(), remove.size()));
    }
    host::ClearLog();
    ReceiveLoop();
    EXPECT_EQ(host::CountLogLines("Velmir: Removing aircraft"), Bound);
    ReceiveLoop();
    EXPECT_EQ(host::CountLogLines("Velmir: Removing aircraft"), Bound + 1);
    std::uint8_t probe[8];
    EXPECT_LT(recv(Socket, probe, sizeof probe, MSG_DONTWAIT), 0) << "queue left empty";
}

TEST_F(LinkInProcess, HandlersOnlyEverSeeTheirWholeLayout) {
    Connect();
    // A removal from an earlier datagram leaves byte 24 behind; a bare
    // header of the same type must not reuse it.
    const auto full = Wire(13, 25, 9);
    ASSERT_TRUE(client.SendRaw(full.data(), full.size()));
    const auto bare = Wire(13, 24);
    ASSERT_TRUE(client.SendRaw(bare.data(), bare.size()));
    // The label settings reach the overlay through the same table.
    auto info = Wire(2, 31);
    info[26] = 31;
    ASSERT_TRUE(client.SendRaw(info.data(), info.size()));
    host::ClearLog();
    ReceiveLoop();
    EXPECT_EQ(host::CountLogLines("Velmir: Removing aircraft 9"), 1);
    EXPECT_EQ(LabelFlags, 31);
}

TEST_F(LinkInProcess, PlanesGrantedAfterTheClientLeftGoBackOnTheNextReleaseOrAtStop) {
    // The connection ends before the simulator frees the planes.
    // Asking for them changes nothing yet: the TCAS override stays as it was.
    auto grantedLate = [&](int tcasBefore) {
        host::SetPlanesAvailable(false);
        Connect();
        EXPECT_FALSE(PlanesAcquired);
        EXPECT_EQ(host::GetInt("sim/operation/override/override_TCAS"), tcasBefore);
        ASSERT_TRUE(client.Disconnect());
        ReceiveLoop();
        host::SetPlanesAvailable(true);
        host::RunFrame();
        EXPECT_TRUE(PlanesAcquired);
        EXPECT_EQ(host::GetInt("sim/operation/override/override_TCAS"), 1);
    };
    grantedLate(0);
    // Listening, acquiring, connected, client disconnected, disconnected:
    // nothing was held, so nothing is released.
    EXPECT_EQ(host::CountLogLines("Velmir:"), 5) << host::LogText();

    Connect();
    ASSERT_TRUE(client.Disconnect());
    ReceiveLoop();
    EXPECT_FALSE(PlanesAcquired);
    EXPECT_FALSE(host::PlanesHeld());

    grantedLate(1);
    host::StopPlugin();
    EXPECT_FALSE(host::PlanesHeld());
    EXPECT_FALSE(PlanesAcquired);
}

// ------------------------------------------------------------------ sweep --

class StaleSweep : public test::InProcessTest {
  protected:
    void SetUp() override {
        test::InProcessTest::SetUp();
        StartPlugin();
    }
    static void Activate(int slot, double receivedAt, const char* model) {
        AircraftRecord& r = AircraftTable[slot - 1];
        r.Time = 1.0;
        r.ReceivedAt = receivedAt;
        std::strcpy(r.ModelName, model);
    }
};

TEST_F(StaleSweep, RemovesOnlyAircraftSilentForMoreThanTenSeconds) {
    Activate(3, 100.0, "A320");
    Activate(9, 100.5, "C172");
    Activate(12, 95.0, "");
    std::strcpy(AircraftTable[20].ModelName, "modelled, never positioned");

    PluginClock = 110.0;
    host::ClearLog();
    SweepStaleAircraft();
    const auto lines = host::LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Velmir: Removing timed out aircraft 12, model ''");
    EXPECT_EQ(AircraftTable[2].Time, 1.0) << "exactly 10.0 s old is kept";

    PluginClock = 110.6;
    host::ClearLog();
    SweepStaleAircraft();
    ASSERT_EQ(host::LogLines().size(), 2u);
    EXPECT_EQ(host::LogLines()[0], "Velmir: Removing timed out aircraft 3, model 'A320'");
    EXPECT_EQ(host::LogLines()[1], "Velmir: Removing timed out aircraft 9, model 'C172'");
    EXPECT_EQ(AircraftTable[2].Time, 0.0);
    EXPECT_STREQ(AircraftTable[2].ModelName, "") << "the same model loads again";
    EXPECT_STREQ(AircraftTable[20].ModelName, "modelled, never positioned");

    host::ClearLog();
    PluginClock = 1000.0;
    SweepStaleAircraft();
    EXPECT_TRUE(host::LogLines().empty()) << "a removed slot is not reported again";
}

}  // namespace
}  // namespace velmir
