// The few operating-system services the plugin needs: one UDP socket and a
// high-resolution clock. Windows Sockets and the performance counter on
// Windows; BSD sockets and the monotonic clock elsewhere. The rest of the
// plugin speaks only these terms.
#pragma once

#include <cstdint>

namespace velmir {

// The system's socket types stay in Platform.cpp, so that no other file
// pulls in the socket headers (Winsock must come before <windows.h>, which
// the simulator's headers may include).
#if defined(_WIN32)
using SocketHandle = std::uintptr_t;  // SOCKET
constexpr SocketHandle InvalidSocket = ~SocketHandle{0};
#else
using SocketHandle = int;
constexpr SocketHandle InvalidSocket = -1;
#endif

// An IPv4 socket address as the system stores it (sockaddr_in): 16 bytes on
// every platform we build for, the port at bytes 2 and 3 in network order.
// Compared byte for byte.
struct alignas(4) SocketAddress {
    std::uint8_t Bytes[16];
};

inline std::uint16_t AddressPort(const SocketAddress& address) {
    return static_cast<std::uint16_t>(address.Bytes[2] << 8 | address.Bytes[3]);
}
// An IPv4 address and port, both in host order.
SocketAddress MakeSocketAddress(std::uint32_t ipv4, std::uint16_t port);

// Start-up and clean-up of the socket library (no-ops off Windows).
// SocketStartup returns 0 on success.
int SocketStartup();
void SocketCleanup();

SocketHandle SocketCreateUdp();
// Binds to every local IPv4 address on the given port; 0 on success.
int SocketBind(SocketHandle socket, std::uint16_t port);
void SocketSetNonBlocking(SocketHandle socket);
// Receives one datagram. Returns its length, or a value <= 0 when nothing is
// waiting or on any error. A datagram longer than the buffer is an error on
// every platform (it is lost), never a silent truncation.
long SocketReceive(SocketHandle socket, std::uint8_t* buffer, int capacity, SocketAddress* from);
long SocketSend(SocketHandle socket, const std::uint8_t* data, int length, const SocketAddress* to);
// True when a datagram can be handed to the socket within waitMicroseconds.
bool SocketWritable(SocketHandle socket, long waitMicroseconds);
void SocketClose(SocketHandle socket);
// The last socket error code (WSAGetLastError on Windows, errno elsewhere).
int SocketLastError();

// The high-resolution counter and its ticks per second; false on failure.
bool QueryCounterFrequency(std::int64_t* ticksPerSecond);
bool QueryCounter(std::int64_t* ticks);

}  // namespace velmir
