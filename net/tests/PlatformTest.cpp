// The portability layer's promises the rest relies on, checked on the
// system the tests run on: a datagram longer than the buffer is reported,
// not cut silently; Poll skips absent sockets and says which are ready;
// UTF-8 paths reach the file system unchanged; another process's CPU time
// is read from the right fields, or said to be unknown.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "client/Platform.h"
#include "client/ProcStat.h"

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

TEST(Platform, CpuTicksAreUserPlusSystemAfterTheName) {
    std::uint64_t ticks = 0;
    // A real line of mosquitto's (fields 14 and 15: 5021 and 1377).
    EXPECT_TRUE(platform::CpuTicksFromStat(
        "4242 (mosquitto) S 1 4242 4242 0 -1 4194560 321 0 0 0 5021 1377 0 0 20 0 1 0 "
        "88123 12345678 1520 18446744073709551615 1 1 0 0 0 0 0 4096 17987 0 0 0 17 1 0 0\n",
        ticks));
    EXPECT_EQ(ticks, 6398u);
    // The name may hold spaces and parentheses: counting starts after the last ')'.
    EXPECT_TRUE(platform::CpuTicksFromStat("7 (a) b (c) R 1 7 7 0 -1 0 0 0 0 0 11 22 0 0", ticks));
    EXPECT_EQ(ticks, 33u);
    // Cut short, no name, or not numbers: no figure rather than a wrong one.
    EXPECT_FALSE(platform::CpuTicksFromStat("7 (a) R 1 7 7 0 -1 0 0 0 0 0 11", ticks));
    EXPECT_FALSE(platform::CpuTicksFromStat("7 (a) R 1 7 7 0 -1 0 0 0 0 0 11\n", ticks));
    EXPECT_FALSE(platform::CpuTicksFromStat("7 a R 1 7 7 0 -1 0 0 0 0 0 11 22 0 0", ticks));
    EXPECT_FALSE(platform::CpuTicksFromStat("7 (a) R 1 7 7 0 -1 0 0 0 0 0 1x 22 0 0", ticks));
    EXPECT_FALSE(platform::CpuTicksFromStat("", ticks));
}

TEST(Platform, AnotherProcessesCpuTimeOrUnknown) {
    EXPECT_LT(platform::OtherProcessCpuSeconds(0), 0);
    EXPECT_LT(platform::OtherProcessCpuSeconds(999999999), 0);  // beyond any pid_max
#if defined(__linux__)
    // This process seen from outside agrees with its own count, to a tick or two.
    volatile double x = 0;
    for (int i = 0; i < 30000000; ++i) x = x + i * 1e-9;
    const double own = platform::ProcessCpuSeconds();
    const double seen = platform::OtherProcessCpuSeconds(platform::ProcessId());
    EXPECT_GT(own, 0.0);
    EXPECT_NEAR(seen, own, 0.05);
#endif
}
