// The reference client's connection against a plain UDP socket standing in
// for the plugin: what the end-to-end tests with the real plugin cannot
// provoke (garbage, strangers, raw datagrams, a closed socket).
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include <gtest/gtest.h>

#include "client/Client.h"
#include "support/ClientSamples.h"

using namespace velmir::client;
using namespace velmir::client::samples;

namespace {

// A plain UDP socket standing in for the plugin, on an ephemeral port.
struct FakePlugin {
    int Socket = -1;
    std::uint16_t Port = 0;
    FakePlugin() {
        Socket = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(Socket, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t n = sizeof a;
        ::getsockname(Socket, reinterpret_cast<sockaddr*>(&a), &n);
        Port = ntohs(a.sin_port);
        timeval timeout{2, 0};
        ::setsockopt(Socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~FakePlugin() { ::close(Socket); }
    std::vector<std::uint8_t> Take() {
        std::vector<std::uint8_t> d(2048);
        const ssize_t n = ::recv(Socket, d.data(), d.size(), 0);
        d.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return d;
    }
    void SendTo(std::uint16_t port, const std::vector<std::uint8_t>& d) const {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        ::sendto(Socket, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
};

}  // namespace

TEST(ClientConnection, TalksToAPlainUdpPeer) {
    FakePlugin plugin;
    Connection link;
    ASSERT_TRUE(link.Open("127.0.0.1", plugin.Port)) << link.LastError();
    EXPECT_EQ(link.State(), LinkState::Open);
    EXPECT_LT(link.SecondsSinceLastDatagram(), 0);

    ASSERT_TRUE(link.Connect(0x2A));
    EXPECT_EQ(link.State(), LinkState::Connected);
    auto connect = plugin.Take();
    ASSERT_EQ(connect.size(), 24u);
    EXPECT_EQ(connect[0], 0x0B);
    EXPECT_EQ(connect[1], 0x2A);
    EXPECT_EQ(connect[23], 0);

    // Later datagrams carry the same tag bytes.
    ASSERT_TRUE(link.Send(Position()));
    auto position = plugin.Take();
    ASSERT_EQ(position.size(), 120u);
    EXPECT_EQ(position[1], 0x2A);
    EXPECT_EQ(position[23], 4);

    const std::uint8_t odd[5] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(link.SendRaw(odd, sizeof odd));
    EXPECT_EQ(plugin.Take().size(), 5u);

    // From the plugin: a report, then garbage, then its disconnect.
    plugin.SendTo(link.LocalPort(), Bytes(State(), 0x2A0B));
    auto got = link.Receive(2000);
    ASSERT_TRUE(got);
    ASSERT_TRUE(got->Result.Ok());
    EXPECT_TRUE(std::holds_alternative<AircraftStateReport>(got->Result.Value));
    EXPECT_EQ(got->Length, 126u);
    EXPECT_EQ(got->Raw.size(), 126u);
    EXPECT_GE(link.SecondsSinceLastDatagram(), 0);
    EXPECT_LT(link.SecondsSinceLastDatagram(), 1.0);

    plugin.SendTo(link.LocalPort(), {1, 2, 3});
    got = link.Receive(2000);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->Result.Error, DecodeError::TooShort);
    EXPECT_EQ(got->Raw.size(), 3u);
    EXPECT_EQ(link.State(), LinkState::Connected);

    plugin.SendTo(link.LocalPort(), Bytes(DisconnectNotice{}));
    got = link.Receive(2000);
    ASSERT_TRUE(got);
    EXPECT_EQ(link.State(), LinkState::PeerDisconnected);

    EXPECT_FALSE(link.Receive(0));
}

TEST(ClientConnection, IgnoresDatagramsFromOtherAddresses) {
    FakePlugin plugin;
    FakePlugin stranger;
    Connection link;
    ASSERT_TRUE(link.Open("127.0.0.1", plugin.Port));
    stranger.SendTo(link.LocalPort(), Bytes(DisconnectNotice{}));
    EXPECT_FALSE(link.Receive(200));
    EXPECT_EQ(link.StrangerDatagrams(), 1u);
    EXPECT_EQ(link.State(), LinkState::Open);
}

TEST(ClientConnection, RefusesBadTargetsAndClosedSockets) {
    Connection link;
    EXPECT_FALSE(link.Open("127.0.0.1", 0));
    EXPECT_FALSE(link.LastError().empty());
    EXPECT_FALSE(link.SendRaw(reinterpret_cast<const std::uint8_t*>("x"), 1));
    EXPECT_FALSE(link.Receive(0));
    EXPECT_EQ(link.State(), LinkState::Closed);
}
