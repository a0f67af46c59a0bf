// Winsock before <windows.h>, and both before any other header that might
// include <windows.h> itself.
#if defined(_WIN32)
#include <winsock2.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#if defined(__APPLE__)
#include <sys/uio.h>
#endif
#include <time.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <cstddef>
#include <cstring>

#include "core/Platform.h"

namespace velmir {

static_assert(sizeof(SocketAddress) == sizeof(sockaddr_in), "an IPv4 socket address is 16 bytes");
static_assert(offsetof(sockaddr_in, sin_port) == 2, "the port lies at bytes 2 and 3");

SocketAddress MakeSocketAddress(std::uint32_t ipv4, std::uint16_t port) {
    sockaddr_in in;
    std::memset(&in, 0, sizeof in);
#if defined(__APPLE__)
    in.sin_len = sizeof in;  // BSD addresses carry their length
#endif
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(ipv4);
    in.sin_port = htons(port);
    SocketAddress address;
    std::memcpy(address.Bytes, &in, sizeof in);
    return address;
}

#if defined(_WIN32)

int SocketStartup() {
    WSADATA data;
    return WSAStartup(0x0202, &data);
}
void SocketCleanup() { WSACleanup(); }
SocketHandle SocketCreateUdp() { return socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP); }
int SocketBind(SocketHandle s, std::uint16_t port) {
    const SocketAddress local = MakeSocketAddress(INADDR_ANY, port);
    return bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 ? 0 : -1;
}
void SocketSetNonBlocking(SocketHandle s) {
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
}
long SocketReceive(SocketHandle s, std::uint8_t* buffer, int capacity, SocketAddress* from) {
    int fromLength = sizeof(SocketAddress);
    // An oversized datagram fails with WSAEMSGSIZE, which ends the caller's loop.
    return recvfrom(s, reinterpret_cast<char*>(buffer), capacity, 0,
                    reinterpret_cast<sockaddr*>(from), &fromLength);
}
long SocketSend(SocketHandle s, const std::uint8_t* data, int length, const SocketAddress* to) {
    return sendto(s, reinterpret_cast<const char*>(data), length, 0,
                  reinterpret_cast<const sockaddr*>(to), sizeof(SocketAddress));
}
bool SocketWritable(SocketHandle s, long waitMicroseconds) {
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(s, &writable);
    timeval wait{waitMicroseconds / 1000000, waitMicroseconds % 1000000};
    select(1, nullptr, &writable, nullptr, &wait);  // Winsock ignores the first argument
    return FD_ISSET(s, &writable) != 0;
}
void SocketClose(SocketHandle s) { closesocket(s); }
int SocketLastError() { return WSAGetLastError(); }

bool QueryCounterFrequency(std::int64_t* ticksPerSecond) {
    LARGE_INTEGER value;
    const bool ok = QueryPerformanceFrequency(&value) != 0;
    *ticksPerSecond = value.QuadPart;
    return ok;
}
bool QueryCounter(std::int64_t* ticks) {
    LARGE_INTEGER value;
    const bool ok = QueryPerformanceCounter(&value) != 0;
    *ticks = value.QuadPart;
    return ok;
}

#else

int SocketStartup() { return 0; }
void SocketCleanup() {}
SocketHandle SocketCreateUdp() { return socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP); }
int SocketBind(SocketHandle s, std::uint16_t port) {
    const SocketAddress local = MakeSocketAddress(INADDR_ANY, port);
    return bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 ? 0 : -1;
}
void SocketSetNonBlocking(SocketHandle s) {
    const int flags = fcntl(s, F_GETFL, 0);
    if (flags >= 0) fcntl(s, F_SETFL, flags | O_NONBLOCK);
}
long SocketReceive(SocketHandle s, std::uint8_t* buffer, int capacity, SocketAddress* from) {
#if defined(__APPLE__)
    // The BSD stack takes no MSG_TRUNC on input: it cuts the datagram to the
    // buffer and says so only in recvmsg's msg_flags. Same verdict as below.
    iovec part{buffer, static_cast<size_t>(capacity)};
    msghdr message{};
    message.msg_name = from;
    message.msg_namelen = sizeof(SocketAddress);
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    const ssize_t received = recvmsg(s, &message, MSG_DONTWAIT);
    if (received >= 0 && (message.msg_flags & MSG_TRUNC) != 0) {
        errno = EMSGSIZE;
        return -1;
    }
    return static_cast<long>(received);
#else
    socklen_t fromLength = sizeof(SocketAddress);
    // MSG_TRUNC reports the datagram's real length, so an oversized one is
    // refused here as Winsock refuses it, instead of arriving cut short.
    // MSG_DONTWAIT: a socket whose bind failed is still blocking, and where
    // Winsock refuses to read an unbound socket, POSIX would wait forever.
    const ssize_t length =
        recvfrom(s, buffer, static_cast<size_t>(capacity), MSG_TRUNC | MSG_DONTWAIT,
                 reinterpret_cast<sockaddr*>(from), &fromLength);
    if (length > capacity) {
        errno = EMSGSIZE;
        return -1;
    }
    return static_cast<long>(length);
#endif
}
long SocketSend(SocketHandle s, const std::uint8_t* data, int length, const SocketAddress* to) {
    return static_cast<long>(sendto(s, data, static_cast<size_t>(length), 0,
                                    reinterpret_cast<const sockaddr*>(to), sizeof(SocketAddress)));
}
bool SocketWritable(SocketHandle s, long waitMicroseconds) {
    // poll, not select: a simulator holding a thousand files gives us a
    // descriptor above select's FD_SETSIZE.
    if (s < 0) return false;
    pollfd entry{s, POLLOUT, 0};
    const int waitMilliseconds = static_cast<int>((waitMicroseconds + 999) / 1000);
    return poll(&entry, 1, waitMilliseconds) > 0 && (entry.revents & POLLOUT) != 0;
}
void SocketClose(SocketHandle s) { close(s); }
int SocketLastError() { return errno; }

bool QueryCounterFrequency(std::int64_t* ticksPerSecond) {
    *ticksPerSecond = 1000000000;  // nanoseconds
    return true;
}
bool QueryCounter(std::int64_t* ticks) {
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return false;
    *ticks = static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
    return true;
}

#endif

}  // namespace velmir
