// velmir-client, the reference client's command-line tool: what its commands
// share. ClientMain.cpp reads the command line (CLI11) into Arguments; each
// command checks its own values, so messages name the argument and its range.
#ifndef VELMIR_CLIENT_TOOL_H
#define VELMIR_CLIENT_TOOL_H

#include <csignal>
#include <cmath>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "client/Client.h"
#include "client/Describe.h"
#include "client/Geo.h"
#include "client/Scenario.h"
#include "client/Track.h"

namespace velmir::client::tool {

constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

constexpr double TickSeconds = 0.1;
// The plugin drops a client after 120 s without a datagram; a listener that
// only receives sends a type-7 message now and then, which the plugin drops
// without effect but counts as a sign of life.
constexpr double KeepAliveSeconds = 30.0;
constexpr double SilenceWarningSeconds = 5.0;

// Set by SIGINT and SIGTERM: loops end and the connection is closed cleanly.
extern volatile std::sig_atomic_t StopRequested;

// A bad command line: exit code 2 with the message.
struct UsageError {
    std::string Message;
};

[[noreturn]] inline void Fail(const std::string& message) { throw UsageError{message}; }

// One command's command line: positional words, "--name value" options and
// "--name" flags, as given.
struct Arguments {
    std::vector<std::string> Positional;
    std::map<std::string, std::string> Values;
    std::set<std::string> Flags;

    bool Has(const std::string& name) const { return Flags.count(name) || Values.count(name); }
};

struct Target {
    std::string Host = "127.0.0.1";
    std::uint16_t Port = DefaultPort;
    std::uint16_t LocalPort = 0;
    std::uint8_t Tag = 1;
};

// Checked conversions; Fail names `what` and the range.
long long IntegerArg(const std::string& text, const char* what, long long low, long long high);
double NumberArg(const std::string& text, const char* what, double low, double high);
double OptionalNumber(const Arguments& args, const char* name, double fallback, double low,
                      double high);
void ExpectPositional(const Arguments& args, std::size_t low, std::size_t high, const char* form);
// "host:port" or "host" (default port).
Target ParseEndpoint(const std::string& text, const char* what);

void PrintLine(const std::string& line);
void Note(const std::string& line);
bool OpenAndConnect(Connection& link, const Target& target, bool connect);
std::string ErrorLine(const Received& r, double at, bool json);
// Drains what the plugin sent; false once it has ended the connection.
bool DrainAndCheck(Connection& link);

// Waits until `until` (monotonic seconds) while handing every datagram that
// arrives to `onDatagram`; returns early when a stop signal came.
template <class OnDatagram>
void WaitUntil(Connection& link, double until, OnDatagram onDatagram) {
    while (!StopRequested) {
        const double left = until - MonotonicSeconds();
        if (left <= 0) return;
        auto received = link.Receive(static_cast<int>(std::ceil(left * 1000.0)));
        if (received) onDatagram(*received);
    }
}

// The commands; each returns the exit code.
int Monitor(const Target& target, const Arguments& args);
int Remove(const Target& target, const Arguments& args);
int Disconnect(const Target& target, const Arguments& args);
int Place(const Target& target, const Arguments& args);
int Labels(const Target& target, const Arguments& args);
int Set(const Target& target, const Arguments& args);
int Fly(const Target& target, const Arguments& args);
int Inject(const Target& target, const Arguments& args);

}  // namespace velmir::client::tool

#endif
