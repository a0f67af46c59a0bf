// `velmir-net load`: many synthetic pilots, each a full Pilot of the library
// with its own MQTT connection (samples, identity, its cells, its 40 slots),
// in one process, and the figures of how the network carried them.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace velmir::net {

struct BrokerAddress {
    std::string Host;
    int Port = 1883;
};

struct LoadOptions {
    std::vector<BrokerAddress> Brokers;  // a pilot moves to the next when its broker fails
    int Pilots = 100;
    double Seconds = 20;       // measured
    double WarmUpSeconds = 5;  // flown first, not measured
    std::uint32_t Seed = 1;
    bool Spread = false;  // home brokers round-robin; otherwise all start on the first
    double RadiusNm = 40;
    long BrokerPid = 0;  // the first broker's process, for its CPU time; 0: not known
};

// What a pilot should have heard and did, over the run.
struct LoadFigures {
    int Pilots = 0, Connected = 0;
    std::uint64_t Published = 0, Skipped = 0, Delivered = 0, Echoes = 0, Expected = 0, Lost = 0,
                  Duplicates = 0;
    double P50Ms = 0, P99Ms = 0, MaxMs = 0;
    double CrossP50Ms = 0, CrossP99Ms = 0;
    std::uint64_t CrossDelivered = 0;
    double BrokerMessagesPerSecond = 0;
    double UpBytesPerPilot = 0, DownBytesPerPilot = 0;  // per second
    double Seconds = 0, CpuSeconds = 0;
    std::vector<int> MovedByHome;  // per broker in the list
    // Over the measured span (its seconds and the drain after them):
    double WallSeconds = 0;
    double BrokerCpuSeconds = -1;  // negative: unknown
    // The same broker as a bare relay just before (Relay.h); negative: unknown.
    double RelayPerCpuSecond = -1;
};

// Exit code: 0 ran; 1 the pilots could not connect.
int RunLoad(const LoadOptions&, LoadFigures&, std::ostream& log);

// The summary line, last of the output:
// pilots=N published=P delivered=D lost=L p50_ms=A p99_ms=B broker_msgs_per_s=R
// relay_msgs_per_cpu_s=C broker_cpu_s_per_pilot_s=U relay_share_pct=S half_share_pilots_est=H
// (the last four from Headroom.h, each "unknown" when it cannot be known).
std::string SummaryLine(const LoadFigures&);

// The subcommand: broker addresses as typed, parsed when it runs. With the
// broker's process id the bare relay runs first (unless NoRelay).
struct LoadCommandOptions {
    LoadOptions Load;
    std::vector<std::string> Brokers;
    bool NoRelay = false;
    double RelaySeconds = 3;
};
CLI::App* AddLoadCommand(CLI::App& app, LoadCommandOptions& options);
int RunLoadCommand(const LoadCommandOptions&);  // prints SummaryLine last

}  // namespace velmir::net
