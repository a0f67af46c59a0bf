// The operating-system services of the client library and velmir-net, for
// Linux, macOS and Windows (MinGW-w64): sockets, the clock, stopping on
// Ctrl-C or a closed console, the console itself, and UTF-8 paths. Only
// Platform.cpp knows which system it is on; the rest speaks these terms.
// (The plugin has its own, smaller layer: core/Platform.)
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

// sockaddr_in and friends, which the client's interface shows.
#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace velmir::platform {

// ----------------------------------------------------------------- sockets --
// A socket is an int, as libmosquitto hands its own out (a Windows SOCKET
// is a small handle value); -1 is none.

// Starts the socket library once per process (Winsock); false when it cannot.
bool StartSockets();
int LastSocketError();
bool WouldBlock(int error);
bool Interrupted(int error);
std::string SocketErrorText(int error);
int OpenUdpSocket();
bool SetNonBlocking(int socket);
// Lets a listening socket bind again at once after a restart (never
// SO_REUSEPORT: a second listener on the port must fail).
bool AllowAddressReuse(int socket);
void CloseSocket(int socket);
// One datagram into `buffer`; its full length (even when longer than the
// buffer), or -1 with LastSocketError().
long ReceiveFrom(int socket, std::uint8_t* buffer, std::size_t capacity, sockaddr_in& from);
long SendTo(int socket, const std::uint8_t* data, std::size_t length, const sockaddr_in& to);
// Bytes waiting to be read, 0 when unknown.
long BytesWaiting(int socket);
// Whether select() can watch this socket (an fd_set is a bitmap of fds
// below FD_SETSIZE on POSIX, a list of up to FD_SETSIZE handles on Windows).
bool SelectCanWatch(int socket);

struct PollSocket {
    int Socket = -1;  // skipped when negative
    bool Read = false, Write = false;
    // Filled in: ready to read (or closed, or failed), ready to write.
    bool Readable = false, Writable = false;
};
// Waits up to timeoutMs for any socket; the number ready, 0 on timeout, -1
// on error (an interrupting signal included).
int Poll(PollSocket* sockets, std::size_t count, int timeoutMs);

// ------------------------------------------------------------------- clock --
double MonotonicSeconds();

// CPU time this process has used, user and system.
double ProcessCpuSeconds();

// CPU time another process has used, user and system; negative when it
// cannot be known (no such process, not allowed to look, or macOS, where
// it is not read yet). Lets a load test weigh a broker it did not start.
double OtherProcessCpuSeconds(long pid);

// This process's id, to make names no other process writes at once.
long ProcessId();

// ----------------------------------------------------------------- process --
// Sets `stop` on Ctrl-C, Ctrl-Break, SIGTERM, or the console window being
// closed (then gives the program a few seconds to leave cleanly). A peer
// closing a connection never kills the process (SIGPIPE).
void InstallStopHandler(volatile std::sig_atomic_t& stop);
// Lets one process open as many sockets as the system allows (load tests).
void RaiseOpenFileLimit();
// The command line in UTF-8 (Windows hands main() the ANSI code page).
std::vector<std::string> Utf8Arguments(int argc, char** argv);
// An environment variable in UTF-8; empty when unset.
std::string Environment(const char* name);
// The running program's own file, empty when unknown.
std::filesystem::path ProgramPath();

// ----------------------------------------------------------------- console --
// Output in UTF-8 where the console has its own code page.
void PrepareConsole();
bool IsTerminal(std::FILE* stream);
// True when the stream is a terminal that understands escape sequences
// (switching them on where that is needed, Windows 10 and later).
bool EnableTerminalSequences(std::FILE* stream);
// True when the console window is this program's alone (Windows, started
// by a double click): it closes when the program ends.
bool ConsoleClosesWithUs();

// ------------------------------------------------------------------- paths --
// Text in the program is UTF-8; these cross to and from the system's paths
// (UTF-16 on Windows, where std::string paths would mean the ANSI code page).
std::filesystem::path PathFromUtf8(const std::string& text);
std::string PathToUtf8(const std::filesystem::path& path);
bool IsDirectory(const std::string& utf8Path);
// True when the file's POSIX permissions let group or others in; always
// false on Windows, whose access lists have no such bits.
bool OthersMayRead(const std::string& utf8Path);
// A path for libraries that open files with plain fopen (libmosquitto,
// CLI11's settings reader). On Windows that means the ANSI code page: the
// short 8.3 name when the system keeps one, else the path in that code page
// (letters it lacks are lost). Elsewhere the path itself.
std::string PathForNarrowLibraries(const std::string& utf8Path);
// Where this user's settings go: %APPDATA%\Velmir, ~/Library/Application
// Support/Velmir, $XDG_CONFIG_HOME/velmir or ~/.config/velmir. Empty when
// there is no home.
std::filesystem::path UserConfigFolder();
// Where X-Plane's installer records the simulator folders it installed
// (x-plane_install_12.txt ...): %LOCALAPPDATA%, ~/Library/Preferences,
// ~/.x-plane. Empty when there is no home.
std::filesystem::path InstallerRecordFolder();

}  // namespace velmir::platform
