// The client link: one UDP socket on port 7472, one client at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "XPLMDataAccess.h"
#include "link/Messages.h"
#include "core/Platform.h"

namespace velmir {

constexpr std::uint16_t ListenPort = 7472;
constexpr int ReceiveBufferSize = 1024;
constexpr float ClientTimeoutSeconds = 120.0f;
constexpr int MaxDatagramsPerPass = 16384;

extern SocketHandle Socket;
extern SocketAddress ClientAddress;  // all zero while no client is connected
extern SocketAddress SenderAddress;  // source of the datagram last received
extern std::uint16_t LinkTag;
extern std::uint8_t ReceiveBuffer[ReceiveBufferSize];
extern float ReceiveDeadline;  // XPLMGetElapsedTime seconds
extern bool PlanesAcquired;
extern XPLMDataRef OverrideTcasRef;

// Every handler gets the whole datagram, header included, in ReceiveBuffer.
using MessageHandler = void (*)(const std::uint8_t* datagram);

// The one indirection between the link and the rest of the plugin.
struct LinkHookTable {
    void (*Connect)();
    void (*Disconnect)();
    MessageHandler Handlers[MessageTypeCount];
};
extern LinkHookTable LinkHooks;

inline bool SocketOpen() { return Socket != InvalidSocket; }
inline bool ClientConnected() { return AddressPort(ClientAddress) != 0; }

void OpenSocket();
// Shut-down: disconnects, closes the socket, cleans up the socket library.
void CloseSocket();
void ReceiveLoop();
// Judges and dispatches the datagram of `length` bytes that ReceiveLoop has
// just read into ReceiveBuffer from SenderAddress. Also the entry point for
// feeding datagrams without a socket (fuzzing, benchmarks).
void HandleDatagram(long length);
void Disconnect();
bool WritableTest();

// The connect hook: takes the simulator's AI aircraft, now or once free.
void AcquirePlanes();
void OnPlanesAvailable(void* refcon);
// The link's share of the disconnect hook: gives the AI aircraft back.
void ReleaseAiPlanes();

// The sending rule: only with the socket open, a client connected and the
// socket writable; then the header is stamped and the message sent once.
// Returns whether it was handed to the socket.
bool SendToClient(std::uint8_t* message, std::size_t length, std::uint8_t type);

}  // namespace velmir
