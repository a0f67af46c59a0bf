#include "link/Connection.h"

#include <cstring>

#include "XPLMPlanes.h"
#include "XPLMProcessing.h"
#include "link/SendBuffer.h"
#include "core/Log.h"

namespace velmir {

SocketHandle Socket = InvalidSocket;
SocketAddress ClientAddress;
SocketAddress SenderAddress;
std::uint16_t LinkTag = InitialLinkTag;
alignas(8) std::uint8_t ReceiveBuffer[ReceiveBufferSize];
float ReceiveDeadline = 0.0f;
bool PlanesAcquired = false;
XPLMDataRef OverrideTcasRef = nullptr;
LinkHookTable LinkHooks;

namespace {

SendBuffer<DisconnectLayout::Length> DisconnectBuffer;
SendBuffer<DisconnectLayout::Length> MismatchReplyBuffer;

// The shortest datagram each handler may be given: the extent of its
// layout. Anything shorter would have the handler read bytes left over
// from earlier datagrams, so it is dropped.
std::size_t RequiredLength(std::uint8_t type) { return Catalogue[type].Length; }

bool SameAddress(const SocketAddress& a, const SocketAddress& b) {
    return std::memcmp(&a, &b, sizeof(SocketAddress)) == 0;
}

void SendTo(std::uint8_t* message, std::size_t length, std::uint8_t type, const SocketAddress& to) {
    StampHeader(message, LinkTag, type);
    SocketSend(Socket, message, static_cast<int>(length), &to);
}

void Dispatch(std::uint8_t type, long length) {
    switch (type) {
    case ConnectMessage:
        if (!ClientConnected() && LinkHooks.Connect != nullptr) LinkHooks.Connect();
        LinkTag = static_cast<std::uint16_t>((LinkTag & 0x00FF) | (ReceiveBuffer[1] << 8));
        ClientAddress = SenderAddress;
        LogMessage("Velmir: Client connected.\n");
        return;
    case DisconnectMessage:
        if (!SameAddress(SenderAddress, ClientAddress)) return;
        LogMessage("Velmir: Client disconnected.\n");
        Disconnect();
        return;
    default:
        if (!SameAddress(SenderAddress, ClientAddress)) return;
        if (length < static_cast<long>(RequiredLength(type))) return;
        if (LinkHooks.Handlers[type] != nullptr) LinkHooks.Handlers[type](ReceiveBuffer);
        return;
    }
}

}  // namespace

void OpenSocket() {
    Disconnect();
    if (SocketOpen()) {
        Disconnect();
        SocketClose(Socket);
        Socket = InvalidSocket;
        SocketCleanup();
        LogMessage("Velmir: Closed Socket\n");
    }
    if (SocketStartup() != 0) {
        LogMessage("Velmir: Failed to start WinSock, %d\n", SocketLastError());
        return;
    }
    Socket = SocketCreateUdp();
    if (Socket == InvalidSocket) {
        LogMessage("Velmir: Failed to create socket, %d\n", SocketLastError());
        return;
    }
    if (SocketBind(Socket, ListenPort) != 0) {
        // The socket stays open but unbound: nothing will ever arrive on it.
        LogMessage("Velmir: Failed to bind socket, %d\n", SocketLastError());
        return;
    }
    SocketSetNonBlocking(Socket);
    LogMessage("Velmir: Listening for the client on port %d.\n", ListenPort);
}

void CloseSocket() {
    Disconnect();
    if (SocketOpen()) {
        SocketClose(Socket);
        Socket = InvalidSocket;
    }
    SocketCleanup();
}

void HandleDatagram(long length) {
    const HeaderVerdict verdict = JudgeHeader(ReceiveBuffer, length);
    if (verdict == HeaderVerdict::TooShort) return;
    if (verdict == HeaderVerdict::VersionMismatch) {
        LogMessage("Velmir: Data version mismatch.\n");
        if (SocketOpen() && WritableTest())
            SendTo(MismatchReplyBuffer.Get(), MismatchReplyBuffer.Size, DisconnectMessage,
                   SenderAddress);
        return;
    }
    // Any datagram with the right version is a sign of life, even one that
    // is dropped below.
    ReceiveDeadline = XPLMGetElapsedTime() + ClientTimeoutSeconds;
    if (verdict == HeaderVerdict::Dispatch)
        Dispatch(Get(ReceiveBuffer, HeaderLayout::MessageType), length);
}

void ReceiveLoop() {
    // Drains the socket, but never without end: a sender that could keep the
    // queue full faster than we read it would otherwise freeze the
    // simulator's frame. The bound is far above any real client's traffic
    // (40 aircraft at 10 Hz queue about 40 datagrams per pass); whatever is
    // left waits for the next pass, 0.1 s later.
    for (int handled = 0; handled < MaxDatagramsPerPass; ++handled) {
        const long length = SocketReceive(Socket, ReceiveBuffer, ReceiveBufferSize, &SenderAddress);
        if (length <= 0) break;
        HandleDatagram(length);
    }
    if (ClientConnected() && XPLMGetElapsedTime() > ReceiveDeadline) {
        Disconnect();
        LogMessage("Velmir: Client connection was dropped due to time out.\n");
    }
}

void Disconnect() {
    if (ClientConnected()) {
        if (LinkHooks.Disconnect != nullptr) LinkHooks.Disconnect();
        LogMessage("Velmir: Disconnected.\n");
        if (SocketOpen() && ClientConnected() && WritableTest())
            SendTo(DisconnectBuffer.Get(), DisconnectBuffer.Size, DisconnectMessage, ClientAddress);
    }
    std::memset(&ClientAddress, 0, sizeof ClientAddress);
}

bool WritableTest() {
    // A UDP socket refuses a datagram only when its send buffer is full, and
    // then the datagram is better dropped than waited for: every report is
    // superseded by the next within a second and nothing is queued. So the
    // test never waits and the simulator's main thread is never held up.
    return SocketWritable(Socket, 0);
}

bool SendToClient(std::uint8_t* message, std::size_t length, std::uint8_t type) {
    if (!SocketOpen() || !ClientConnected() || !WritableTest()) return false;
    SendTo(message, length, type, ClientAddress);
    return true;
}

void AcquirePlanes() {
    if (PlanesAcquired) return;
    LogMessage("Velmir: Acquiring planes\n");
    OnPlanesAvailable(nullptr);
}

void OnPlanesAvailable(void*) {
    if (XPLMAcquirePlanes(nullptr, &OnPlanesAvailable, nullptr) != 0) {
        XPLMSetDatai(OverrideTcasRef, 1);
        PlanesAcquired = true;
    } else {
        PlanesAcquired = false;
    }
}

void ReleaseAiPlanes() {
    if (PlanesAcquired) {
        LogMessage("Velmir: Releasing planes\n");
        XPLMSetActiveAircraftCount(0);
        XPLMReleasePlanes();
        PlanesAcquired = false;
    }
}

}  // namespace velmir
