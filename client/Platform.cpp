// Sockets and clocks, for each system the client runs on.
#include "client/Platform.h"

#include <chrono>
#include <cstring>
#include <fstream>

#include "client/ProcStat.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>
#endif

namespace velmir::platform {

namespace fs = std::filesystem;

// ----------------------------------------------------------------- sockets --

#if defined(_WIN32)

bool StartSockets() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}
int LastSocketError() { return WSAGetLastError(); }
bool WouldBlock(int error) { return error == WSAEWOULDBLOCK; }
bool Interrupted(int error) { return error == WSAEINTR; }
std::string SocketErrorText(int error) {
    wchar_t* text = nullptr;
    FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out = text ? PathToUtf8(fs::path(text)) : "error " + std::to_string(error);
    if (text) LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.'))
        out.pop_back();
    return out;
}
int OpenUdpSocket() {
    if (!StartSockets()) return -1;
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return -1;
    // Without this, an ICMP "port unreachable" for an earlier datagram makes
    // the next recvfrom fail with WSAECONNRESET over and over.
    BOOL report = FALSE;
    DWORD ignored = 0;
    WSAIoctl(s, _WSAIOW(IOC_VENDOR, 12) /* SIO_UDP_CONNRESET */, &report, sizeof report, nullptr, 0,
             &ignored, nullptr, nullptr);
    return static_cast<int>(s);
}
bool SetNonBlocking(int socket) {
    u_long on = 1;
    return ioctlsocket(static_cast<SOCKET>(socket), FIONBIO, &on) == 0;
}
bool AllowAddressReuse(int) { return true; }  // Windows binds again at once anyway
long ProcessId() { return static_cast<long>(GetCurrentProcessId()); }
void CloseSocket(int socket) {
    if (socket >= 0) closesocket(static_cast<SOCKET>(socket));
}
long ReceiveFrom(int socket, std::uint8_t* buffer, std::size_t capacity, sockaddr_in& from) {
    int fromLength = sizeof from;
    const int got =
        ::recvfrom(static_cast<SOCKET>(socket), reinterpret_cast<char*>(buffer),
                   static_cast<int>(capacity), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    // Windows has no MSG_TRUNC: a datagram past the buffer is an error.
    if (got < 0 && WSAGetLastError() == WSAEMSGSIZE) return static_cast<long>(capacity) + 1;
    return got;
}
long SendTo(int socket, const std::uint8_t* data, std::size_t length, const sockaddr_in& to) {
    return ::sendto(static_cast<SOCKET>(socket), reinterpret_cast<const char*>(data),
                    static_cast<int>(length), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}
long BytesWaiting(int socket) {
    u_long waiting = 0;
    return ioctlsocket(static_cast<SOCKET>(socket), FIONREAD, &waiting) == 0
               ? static_cast<long>(waiting)
               : 0;
}
bool SelectCanWatch(int socket) { return socket >= 0; }
int Poll(PollSocket* sockets, std::size_t count, int timeoutMs) {
    std::vector<WSAPOLLFD> fds;
    std::vector<std::size_t> index;
    for (std::size_t i = 0; i < count; ++i) {
        sockets[i].Readable = sockets[i].Writable = false;
        if (sockets[i].Socket < 0) continue;
        WSAPOLLFD fd{};
        fd.fd = static_cast<SOCKET>(sockets[i].Socket);
        fd.events = static_cast<SHORT>((sockets[i].Read ? POLLRDNORM : 0) |
                                       (sockets[i].Write ? POLLWRNORM : 0));
        fds.push_back(fd);
        index.push_back(i);
    }
    if (fds.empty()) {
        // WSAPoll refuses an empty set; the wait is still wanted.
        Sleep(static_cast<DWORD>(timeoutMs > 0 ? timeoutMs : 0));
        return 0;
    }
    const int ready = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs);
    if (ready <= 0) return ready;
    for (std::size_t k = 0; k < fds.size(); ++k) {
        PollSocket& s = sockets[index[k]];
        s.Readable = (fds[k].revents & (POLLRDNORM | POLLHUP | POLLERR)) != 0;
        s.Writable = (fds[k].revents & POLLWRNORM) != 0;
    }
    return ready;
}

#else

bool StartSockets() { return true; }
int LastSocketError() { return errno; }
bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }
bool Interrupted(int error) { return error == EINTR; }
std::string SocketErrorText(int error) { return std::strerror(error); }
int OpenUdpSocket() { return ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP); }
bool SetNonBlocking(int socket) {
    const int flags = fcntl(socket, F_GETFL, 0);
    return flags >= 0 && fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
}
bool AllowAddressReuse(int socket) {
    const int yes = 1;
    return setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0;
}
long ProcessId() { return static_cast<long>(getpid()); }
void CloseSocket(int socket) {
    if (socket >= 0) ::close(socket);
}
long ReceiveFrom(int socket, std::uint8_t* buffer, std::size_t capacity, sockaddr_in& from) {
    socklen_t fromLength = sizeof from;
#if defined(__linux__)
    // MSG_TRUNC makes Linux report the datagram's real length past the buffer.
    const int flags = MSG_TRUNC;
#else
    const int flags = 0;
#endif
    msghdr message{};
    iovec part{buffer, capacity};
    message.msg_name = &from;
    message.msg_namelen = fromLength;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    const ssize_t got = ::recvmsg(socket, &message, flags);
    // The BSD stack cuts silently and says so only in msg_flags.
    if (got >= 0 && (message.msg_flags & MSG_TRUNC) && static_cast<std::size_t>(got) <= capacity)
        return static_cast<long>(capacity) + 1;
    return static_cast<long>(got);
}
long SendTo(int socket, const std::uint8_t* data, std::size_t length, const sockaddr_in& to) {
    return static_cast<long>(
        ::sendto(socket, data, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to));
}
long BytesWaiting(int socket) {
    int waiting = 0;
    return ioctl(socket, FIONREAD, &waiting) == 0 ? waiting : 0;
}
bool SelectCanWatch(int socket) { return socket >= 0 && socket < FD_SETSIZE; }
int Poll(PollSocket* sockets, std::size_t count, int timeoutMs) {
    std::vector<pollfd> fds(count);
    for (std::size_t i = 0; i < count; ++i) {
        fds[i].fd = sockets[i].Socket;  // negative: poll skips it
        fds[i].events =
            static_cast<short>((sockets[i].Read ? POLLIN : 0) | (sockets[i].Write ? POLLOUT : 0));
    }
    const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
    for (std::size_t i = 0; i < count; ++i) {
        const short r = ready > 0 && fds[i].fd >= 0 ? fds[i].revents : 0;
        sockets[i].Readable = (r & (POLLIN | POLLHUP | POLLERR)) != 0;
        sockets[i].Writable = (r & POLLOUT) != 0;
    }
    return ready;
}

#endif

// ------------------------------------------------------------------- clock --

double MonotonicSeconds() {
    // steady_clock is QueryPerformanceCounter on MinGW-w64, the monotonic
    // clock elsewhere.
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

#if defined(_WIN32)
double ProcessCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    auto seconds = [](const FILETIME& t) {
        return double((std::uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) * 1e-7;
    };
    return seconds(kernel) + seconds(user);
}

double OtherProcessCpuSeconds(long pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process) return -1;
    FILETIME created, exited, kernel, user;
    const BOOL ok = GetProcessTimes(process, &created, &exited, &kernel, &user);
    CloseHandle(process);
    if (!ok) return -1;
    auto seconds = [](const FILETIME& t) {
        return double((std::uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) * 1e-7;
    };
    return seconds(kernel) + seconds(user);
}
#else
double ProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

double OtherProcessCpuSeconds(long pid) {
#if defined(__linux__)
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::uint64_t ticks = 0;
    const long perSecond = sysconf(_SC_CLK_TCK);
    if (pid <= 0 || !std::getline(file, line) || !CpuTicksFromStat(line, ticks) || perSecond <= 0)
        return -1;
    return double(ticks) / double(perSecond);
#else
    (void)pid;
    return -1;
#endif
}
#endif

}  // namespace velmir::platform
