// The portability layer's promises the rest relies on, checked on the
// system the tests run on: a datagram longer than the buffer is reported,
// not cut silently; Poll skips absent sockets and says which are ready;
// UTF-8 paths reach the file system unchanged.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "client/Platform.h"

using namespace velmir;

namespace {

struct UdpPair {
    int A = platform::OpenUdpSocket(), B = platform::OpenUdpSocket();
    sockaddr_in ToB{};
    UdpPair() {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(B, reinterpret_cast<sockaddr*>(&local), sizeof local);
        socklen_t length = sizeof ToB;
        getsockname(B, reinterpret_cast<sockaddr*>(&ToB), &length);
        platform::SetNonBlocking(B);
    }
    ~UdpPair() {
        platform::CloseSocket(A);
        platform::CloseSocket(B);
    }
};

}  // namespace

TEST(Platform, OversizedDatagramIsReportedNotCut) {
    UdpPair pair;
    ASSERT_GE(pair.A, 0);
    std::uint8_t big[100];
    std::memset(big, 7, sizeof big);
    ASSERT_EQ(platform::SendTo(pair.A, big, sizeof big, pair.ToB), 100);
    platform::PollSocket wait;
    wait.Socket = pair.B;
    wait.Read = true;
    ASSERT_EQ(platform::Poll(&wait, 1, 1000), 1);
    std::uint8_t small[10];
    sockaddr_in from{};
    EXPECT_GT(platform::ReceiveFrom(pair.B, small, sizeof small, from), 10);
    // Nothing left: the next read would block.
    EXPECT_LT(platform::ReceiveFrom(pair.B, small, sizeof small, from), 0);
    EXPECT_TRUE(platform::WouldBlock(platform::LastSocketError()));
}

TEST(Platform, PollSkipsAbsentSocketsAndNamesTheReadyOne) {
    UdpPair pair;
    platform::PollSocket sockets[3];
    sockets[0].Socket = -1;
    sockets[0].Read = true;
    sockets[1].Socket = pair.B;
    sockets[1].Read = true;
    sockets[2].Socket = pair.A;
    sockets[2].Read = true;
    EXPECT_EQ(platform::Poll(sockets, 3, 20), 0);
    EXPECT_FALSE(sockets[1].Readable);

    const std::uint8_t one = 1;
    ASSERT_EQ(platform::SendTo(pair.A, &one, 1, pair.ToB), 1);
    EXPECT_EQ(platform::Poll(sockets, 3, 1000), 1);
    EXPECT_FALSE(sockets[0].Readable);
    EXPECT_TRUE(sockets[1].Readable);
    EXPECT_FALSE(sockets[2].Readable);
    EXPECT_EQ(platform::BytesWaiting(pair.B), 1);

    sockets[2].Read = false;
    sockets[2].Write = true;
    platform::Poll(sockets, 3, 1000);
    EXPECT_TRUE(sockets[2].Writable);
}

TEST(Platform, Utf8PathsReachTheFileSystem) {
    const std::string name = "velmir-Größe-Ærø-" + std::to_string(::getpid());
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / platform::PathFromUtf8(name);
    std::filesystem::create_directories(folder);
    EXPECT_TRUE(platform::IsDirectory(platform::PathToUtf8(folder)));
    EXPECT_EQ(platform::PathToUtf8(folder.filename()), name);
    EXPECT_EQ(platform::PathForNarrowLibraries(platform::PathToUtf8(folder)),
              platform::PathToUtf8(folder));
    EXPECT_FALSE(platform::IsDirectory(platform::PathToUtf8(folder / "no")));
    std::filesystem::remove_all(folder);
}
