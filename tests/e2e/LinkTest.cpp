// lin.xpl as the simulator loads it, and the client link over real UDP:
// connection, keep-alive, disconnection, datagrams that must be refused,
// and fresh state on every load. The time-out is FaultTest's, with the
// plugin linked in.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "e2e/Harness.h"
#include "tests/support/Wire.h"

namespace velmir::e2e {
namespace {

using client::Received;

using test::Wire;

// Literal header bytes: what every datagram the plugin sends must carry.
void ExpectPluginHeader(const Received& r, std::uint8_t tagHigh, std::uint8_t type,
                        std::size_t length) {
    ASSERT_EQ(r.Length, length);
    auto expected = Wire(type, 24);
    expected[1] = tagHigh;
    EXPECT_EQ(std::vector<std::uint8_t>(r.Raw.begin(), r.Raw.begin() + 24), expected);
}

void Send(client::Connection& from, const std::vector<std::uint8_t>& d) {
    ASSERT_TRUE(from.SendRaw(d.data(), d.size()));
}

Wire Remove(std::uint8_t slot) { return Wire(13, 25, slot); }

class Link : public PluginTest {
    void Configure() override { host::SetXPlaneVersion(12000); }
};

TEST_F(Link, ConnectionIsAnnouncedAndKeptAliveWithTheSimulatorVersion) {
    EXPECT_TRUE(host::LogContains("Velmir: Listening for the client on port 7472."));
    ConnectClient(0x2A);
    EXPECT_LT(LogIndex("Velmir: Acquiring planes"), LogIndex("Velmir: Client connected."));

    received.clear();
    Pump(10.0);
    const auto infos = OfType(2);
    ASSERT_EQ(infos.size(), 5u) << "one InfoMessage every 2 s";
    for (const auto& info : infos) {
        ExpectPluginHeader(info, 0x2A, 2, 31);  // then 12000, little-endian, and zeros
        EXPECT_EQ(std::vector<std::uint8_t>(info.Raw.begin() + 24, info.Raw.end()),
                  (std::vector<std::uint8_t>{0xE0, 0x2E, 0, 0, 0, 0, 0}));
    }
}

TEST_F(Link, ClientDisconnectReleasesPlanesThenAnswers) {
    ConnectClient(0x2A);
    received.clear();
    ASSERT_TRUE(client.Disconnect());
    RunReceivePasses(1);
    Pump(0.2);

    const int said = LogIndex("Velmir: Client disconnected.");
    const int released = LogIndex("Velmir: Releasing planes");
    const int done = LogIndex("Velmir: Disconnected.");
    ASSERT_GE(said, 0);
    EXPECT_LT(said, released);
    EXPECT_LT(released, done);

    const auto byes = OfType(1);
    ASSERT_EQ(byes.size(), 1u);
    ExpectPluginHeader(byes[0], 0x2A, 1, 24);

    // Nothing more is sent to a client that left.
    received.clear();
    Pump(4.5);
    EXPECT_TRUE(received.empty()) << received.size() << " datagrams after the disconnect";
}

TEST_F(Link, WrongVersionIsLoggedAndAnsweredWhileTheClientStays) {
    // Before any ConnectMessage the reply carries the initial tag.
    client::Connection stranger;
    ASSERT_TRUE(stranger.Open("127.0.0.1", 7472));
    auto bad = Wire(0, 24);
    std::swap(bad[21], bad[22]);  // the version written big-endian
    Send(stranger, bad);
    RunReceivePasses(1);
    std::vector<Received> replies;
    Drain(stranger, replies);
    ASSERT_EQ(replies.size(), 1u);
    ExpectPluginHeader(replies[0], 0x00, 1, 24);
    EXPECT_EQ(host::CountLogLines("Velmir: Data version mismatch."), 1);
    EXPECT_FALSE(host::LogContains("Client connected")) << "a mismatched connect is not accepted";

    ConnectClient(0x2A);
    auto wrong = Wire(4, 120);
    wrong[21] = 0x10;
    Send(client, wrong);
    received.clear();
    RunReceivePasses(1);
    Pump(0.05);
    ASSERT_EQ(OfType(1).size(), 1u) << "the reply goes to the sender";
    ExpectPluginHeader(OfType(1)[0], 0x2A, 1, 24);
    EXPECT_EQ(host::CountLogLines("Velmir: Data version mismatch."), 2);
    EXPECT_EQ(LogIndex("Velmir: Disconnected."), -1);
    Pump(2.1);
    EXPECT_FALSE(OfType(2).empty()) << "keep-alive goes on";
}

TEST_F(Link, DatagramsThatMustBeDroppedChangeNothing) {
    ConnectClient(0);
    const auto before = host::LogLines().size();
    std::vector<std::vector<std::uint8_t>> junk;
    junk.push_back(std::vector<std::uint8_t>(23, 0));  // shorter than a header
    for (int type : {7, 10, 14, 200, 255})
        junk.push_back(Wire(static_cast<std::uint8_t>(type), 64, 5));
    for (std::uint8_t slot : {0, 41, 255}) junk.push_back(Remove(slot));  // no such slot
    for (const auto& d : junk) Send(client, d);
    RunReceivePasses(2);
    EXPECT_EQ(host::LogLines().size(), before) << host::LogText();
    Send(client, Remove(40));  // the last slot there is
    RunReceivePasses(1);
    EXPECT_EQ(host::LogLines().size(), before + 1);
    EXPECT_EQ(host::CountLogLines("Velmir: Removing aircraft 40, model ''"), 1);
    EXPECT_EQ(LogIndex("Velmir: Disconnected."), -1);
}

TEST_F(Link, OversizedDatagramEndsThePassAndTheRestFollowNextPass) {
    ConnectClient(0);
    const Wire big(13, 1500, 4);
    Send(client, big);
    Send(client, Remove(5));
    RunReceivePasses(1);
    EXPECT_FALSE(host::LogContains("Removing aircraft")) << "the oversized datagram ends this pass";
    RunReceivePasses(1);
    EXPECT_EQ(host::CountLogLines("Velmir: Removing aircraft 5, model ''"), 1);
    EXPECT_FALSE(host::LogContains("Removing aircraft 4")) << "the oversized datagram is lost";
}

TEST_F(Link, StrangersAreIgnoredUntilTheyConnect) {
    ConnectClient(0x11);
    client::Connection stranger;
    ASSERT_TRUE(stranger.Open("127.0.0.1", 7472));
    Send(stranger, Remove(5));
    ASSERT_TRUE(stranger.Disconnect());
    RunReceivePasses(1);
    EXPECT_FALSE(host::LogContains("Removing aircraft"));
    EXPECT_FALSE(host::LogContains("Client disconnected"));

    // A ConnectMessage from anyone takes the link over at once.
    ASSERT_TRUE(stranger.Connect(0x22));
    RunReceivePasses(1);
    EXPECT_EQ(host::CountLogLines("Velmir: Client connected."), 2);
    EXPECT_EQ(host::CountLogLines("Velmir: Acquiring planes"), 1);
    Send(client, Remove(6));
    Send(stranger, Remove(7));
    RunReceivePasses(1);
    EXPECT_FALSE(host::LogContains("Removing aircraft 6"));
    EXPECT_EQ(host::CountLogLines("Velmir: Removing aircraft 7, model ''"), 1);

    std::vector<Received> toNew;
    Drain(client, received);  // what was sent before the takeover
    received.clear();
    for (int i = 0; i < 130; ++i) {
        host::RunFrame();
        Drain(stranger, toNew);
        Drain(client, received);
    }
    EXPECT_TRUE(received.empty()) << "the old client hears nothing more";
    bool sawInfo = false;
    for (const auto& r : toNew) {
        if (r.Raw[23] != 2) continue;
        ExpectPluginHeader(r, 0x22, 2, 31);
        sawInfo = true;
    }
    EXPECT_TRUE(sawInfo);
}

// The port taken before the plugin starts.
class PortTaken : public PluginTest {
  protected:
    int blocker_ = socket(AF_INET, SOCK_DGRAM, 0);
    void Configure() override {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(7472);
        ASSERT_EQ(bind(blocker_, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    }
    ~PortTaken() override { close(blocker_); }
};

TEST_F(PortTaken, BindFailureIsLoggedWithItsCodeAndThePluginRunsOn) {
    EXPECT_TRUE(host::LogContains("Velmir: Failed to bind socket, 98"));  // EADDRINUSE
    EXPECT_FALSE(host::LogContains("Listening"));
    host::RunFor(5.0);
    host::StopPlugin();
    EXPECT_TRUE(host::FlightLoops().empty());
    EXPECT_TRUE(host::Errors().empty());
}

TEST(Module, LoadStartStopUnloadFiftyTimesWithFreshStateEachTime) {
    host::Session session;
    host::SetLogEcho(false);
    for (int cycle = 0; cycle < 50; ++cycle) {
        SCOPED_TRACE(cycle);
        std::string error;
        ASSERT_TRUE(host::LoadAndStart(VelmirXplPath, &error)) << error;
        client::Connection client;
        ASSERT_TRUE(client.Open("127.0.0.1", 7472));

        // A fresh module starts with the initial link tag: the reply to a
        // wrong version shows it.
        auto bad = Wire(0, 24);
        bad[22] = 0x53;
        Send(client, bad);
        host::RunFor(0.2);
        auto reply = client.Receive(100);
        ASSERT_TRUE(reply.has_value());
        ExpectPluginHeader(*reply, 0x00, 1, 24);

        // Change the tag; the next load must not remember it. A stop while
        // connected sends one disconnect, the last datagram.
        const auto tag = static_cast<std::uint8_t>(cycle + 1);
        ASSERT_TRUE(client.Connect(tag));
        host::RunFor(0.2);
        ASSERT_TRUE(host::PlanesHeld());
        std::vector<Received> received;
        Drain(client, received);
        received.clear();
        host::StopPlugin();
        Drain(client, received);
        ASSERT_EQ(std::count_if(received.begin(), received.end(),
                                [](const Received& r) { return r.Raw[23] == 1; }),
                  1);
        ExpectPluginHeader(received.back(), tag, 1, 24);
        EXPECT_FALSE(host::PlanesHeld());
        EXPECT_TRUE(host::Plugin().unloaded);
        EXPECT_TRUE(host::FlightLoops().empty());
    }
    EXPECT_TRUE(host::Errors().empty());
}

// A simulator that already holds more than a thousand files: the plugin's
// socket then gets a descriptor above select()'s FD_SETSIZE (1024), and the
// plugin must still send.
class HighDescriptor : public PluginTest {
  protected:
    void Configure() override {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        if (limit.rlim_cur < 2048 && limit.rlim_max >= 2048) {
            limit.rlim_cur = 2048;
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        while (held_.empty() || held_.back() < 1100) {
            const int fd = open("/dev/null", O_RDONLY);
            if (fd < 0) break;
            held_.push_back(fd);
        }
    }
    void TearDown() override {
        PluginTest::TearDown();
        for (int fd : held_) close(fd);
    }
    std::vector<int> held_;
};

TEST_F(HighDescriptor, ReportsStillGoOut) {
    ASSERT_FALSE(held_.empty());
    ASSERT_GE(held_.back(), 1100) << "could not open enough files";
    ConnectClient();
    received.clear();
    Pump(1.0);
    EXPECT_GE(OfType(4).size(), 9u) << "position reports, ten a second";
}

}  // namespace
}  // namespace velmir::e2e
