// The client's UDP socket: one non-blocking IPv4 socket talking to one plugin.
#include <algorithm>
#include <cstring>

#include "client/Client.h"
#include "client/Platform.h"

namespace velmir::client {
namespace {

// Larger than any UDP payload, so a datagram is never silently cut.
constexpr std::size_t ReceiveCapacity = 65536;

bool SameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

// Strangers drained in one Receive past its deadline before it gives up.
constexpr int MaxStrangersPerReceive = 256;

// The local address datagrams to `target` leave from: a connected UDP
// socket asks the routing table without sending anything. Any address when
// the route cannot be asked (the bind then behaves as before).
in_addr LocalAddressTowards(const sockaddr_in& target) {
    in_addr any{};
    any.s_addr = htonl(INADDR_ANY);
    if ((ntohl(target.sin_addr.s_addr) >> 24) == 127) {
        in_addr loopback{};
        loopback.s_addr = htonl(INADDR_LOOPBACK);
        return loopback;
    }
    const int probe = platform::OpenUdpSocket();
    if (probe < 0) return any;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    const bool found =
        ::connect(probe, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0 &&
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&local), &length) == 0;
    platform::CloseSocket(probe);
    return found ? local.sin_addr : any;
}

}  // namespace

double MonotonicSeconds() { return platform::MonotonicSeconds(); }

std::string FormatAddress(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

const char* ToString(LinkState state) {
    switch (state) {
    case LinkState::Closed: return "closed";
    case LinkState::Open: return "open";
    case LinkState::Connected: return "connected";
    case LinkState::PeerDisconnected: return "disconnected by the plugin";
    }
    return "?";
}

Connection::~Connection() { Close(); }

bool Connection::Open(const std::string& host, std::uint16_t port, std::uint16_t localPort) {
    Close();
    error_.clear();
    if (port == 0) {
        error_ = "port 0 is not a valid target";
        return false;
    }

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int lookup = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (lookup != 0 || found == nullptr) {
        error_ = "cannot resolve '" + host + "': " + gai_strerror(lookup);
        if (found) freeaddrinfo(found);
        return false;
    }
    std::memcpy(&target_, found->ai_addr, sizeof target_);
    freeaddrinfo(found);
    target_.sin_family = AF_INET;
    target_.sin_port = htons(port);

    socket_ = platform::OpenUdpSocket();
    if (socket_ < 0) {
        error_ = "cannot create socket: " + platform::SocketErrorText(platform::LastSocketError());
        return false;
    }
    // Listen only on the plugin's side: the loopback for a plugin on this
    // machine, otherwise the address the route to the plugin leaves from.
    // Nobody elsewhere on the network gets a socket to talk to.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = LocalAddressTowards(target_);
    local.sin_port = htons(localPort);
    if (::bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        error_ = "cannot bind local port " + std::to_string(localPort) + ": " +
                 platform::SocketErrorText(platform::LastSocketError());
        Close();
        return false;
    }
    if (!platform::SetNonBlocking(socket_)) {
        error_ = "cannot make the socket non-blocking: " +
                 platform::SocketErrorText(platform::LastSocketError());
        Close();
        return false;
    }
    buffer_.assign(ReceiveCapacity, 0);
    state_ = LinkState::Open;
    lastDatagramAt_ = -1.0;
    strangers_ = 0;
    return true;
}

void Connection::Close() {
    platform::CloseSocket(socket_);
    socket_ = -1;
    state_ = LinkState::Closed;
}

bool Connection::Connect(std::uint8_t tagHighByte) {
    // Our own datagrams carry the same link tag the plugin will echo.
    linkTag_ = static_cast<std::uint16_t>((InitialLinkTag & 0x00FF) | (tagHighByte << 8));
    if (!Send(ConnectRequest{tagHighByte})) return false;
    state_ = LinkState::Connected;
    return true;
}

bool Connection::Disconnect() {
    if (!Send(DisconnectNotice{})) return false;
    if (state_ != LinkState::Closed) state_ = LinkState::Open;
    return true;
}

bool Connection::SendRaw(const std::uint8_t* data, std::size_t length) {
    if (socket_ < 0) {
        error_ = "socket is not open";
        return false;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        const long sent = platform::SendTo(socket_, data, length, target_);
        if (sent == static_cast<long>(length)) return true;
        const int failure = platform::LastSocketError();
        if (sent < 0 && platform::WouldBlock(failure) && attempt == 0) {
            // The send queue is full: wait briefly for room, once.
            platform::PollSocket waiter;
            waiter.Socket = socket_;
            waiter.Write = true;
            platform::Poll(&waiter, 1, 100);
            continue;
        }
        error_ = sent < 0 ? "send failed: " + platform::SocketErrorText(failure)
                          : std::string("send was cut short");
        return false;
    }
    error_ = "send queue stayed full";
    return false;
}

std::optional<Received> Connection::Receive(int timeoutMs) {
    if (socket_ < 0) return std::nullopt;
    if (timeoutMs < 0) timeoutMs = 0;
    const double deadline = MonotonicSeconds() + timeoutMs / 1000.0;
    int strangersThisCall = 0;
    for (;;) {
        const double left = deadline - MonotonicSeconds();
        const int waitMs = left > 0 ? static_cast<int>(left * 1000.0 + 0.999) : 0;
        platform::PollSocket waiter;
        waiter.Socket = socket_;
        waiter.Read = true;
        // An interrupting signal also returns, so the caller sees it.
        if (platform::Poll(&waiter, 1, waitMs) <= 0) return std::nullopt;

        sockaddr_in from{};
        // The datagram's real length, even past the buffer.
        const long got = platform::ReceiveFrom(socket_, buffer_.data(), buffer_.size(), from);
        if (got < 0) {
            const int failure = platform::LastSocketError();
            if (platform::WouldBlock(failure) || platform::Interrupted(failure)) {
                if (MonotonicSeconds() >= deadline) return std::nullopt;
                continue;
            }
            // Errors such as a refused port (ICMP) are not datagrams.
            error_ = "receive failed: " + platform::SocketErrorText(failure);
            if (MonotonicSeconds() >= deadline) return std::nullopt;
            continue;
        }
        if (!SameEndpoint(from, target_)) {
            // Dropped, and the plugin's datagrams queued behind it are still
            // read in this pass; a flood of them ends the pass when the
            // deadline has passed and nothing else is there.
            ++strangers_;
            if (++strangersThisCall > MaxStrangersPerReceive && MonotonicSeconds() >= deadline)
                return std::nullopt;
            continue;
        }
        const std::size_t length = static_cast<std::size_t>(got);
        const std::size_t kept = std::min(length, buffer_.size());
        Received received;
        received.Raw.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(kept));
        received.Length = length;
        received.From = from;
        received.Result = DecodeAny(received.Raw.data(), kept);
        lastDatagramAt_ = MonotonicSeconds();
        if (received.Result.Ok() && std::holds_alternative<DisconnectNotice>(received.Result.Value))
            state_ = LinkState::PeerDisconnected;
        return received;
    }
}

double Connection::SecondsSinceLastDatagram() const {
    if (lastDatagramAt_ < 0) return -1.0;
    return MonotonicSeconds() - lastDatagramAt_;
}

std::uint16_t Connection::LocalPort() const {
    if (socket_ < 0) return 0;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    return ntohs(local.sin_port);
}

}  // namespace velmir::client
