// The `velmir-net load` subcommand: its options and the summary line.
#include <iostream>

#include <CLI/CLI.hpp>

#include "net/load/Load.h"
#include "net/load/Relay.h"
#include "net/pilot/Address.h"
#include "net/pilot/Exit.h"

namespace velmir::net {

CLI::App* AddLoadCommand(CLI::App& app, LoadCommandOptions& o) {
    CLI::App* load =
        app.add_subcommand("load", "synthetic pilots against a broker, with delivery figures");
    load->add_option("--broker", o.Brokers,
                     "broker HOST[:PORT]; repeat for brokers to move to when one fails")
        ->required();
    load->add_option("--pilots", o.Load.Pilots, "number of pilots")
        ->capture_default_str()
        ->check(CLI::Range(1, 100000));
    load->add_option("--seconds", o.Load.Seconds, "length of the measured run")
        ->capture_default_str()
        ->check(CLI::Range(1.0, 3600.0));
    load->add_option("--seed", o.Load.Seed, "traffic seed")->capture_default_str();
    load->add_flag("--spread", o.Load.Spread,
                   "home brokers round-robin over the list (default: all on the first)");
    load->add_option("--broker-pid", o.Load.BrokerPid,
                     "the first broker's process id: its CPU time is read (Linux, Windows), "
                     "and it is measured as a bare relay before the pilots fly")
        ->check(CLI::PositiveNumber);
    load->add_flag("--no-relay", o.NoRelay, "with --broker-pid: skip the bare relay");
    load->add_option("--relay-seconds", o.RelaySeconds, "length of the bare relay's measurement")
        ->capture_default_str()
        ->check(CLI::Range(0.5, 60.0));
    return load;
}

int RunLoadCommand(const LoadCommandOptions& command) {
    LoadOptions o = command.Load;
    for (const std::string& text : command.Brokers) {
        BrokerAddress a;
        if (!SplitHostPort(text, a.Host, a.Port))
            return Fail(ExitUsage, "bad broker address '" + text + "' (HOST[:PORT])");
        o.Brokers.push_back(a);
    }
    LoadFigures figures;
    // The relay first, on its own: the pilots' load is then a share of what
    // this broker relays per CPU-second on this machine at this hour.
    if (o.BrokerPid > 0 && !command.NoRelay) {
        RelayOptions relay;
        relay.Broker = o.Brokers.front();
        relay.BrokerPid = o.BrokerPid;
        relay.Seconds = command.RelaySeconds;
        RelayFigures r;
        if (RunRelay(relay, r, std::cout) != 0) return 1;
        figures.RelayPerCpuSecond = r.MessagesPerCpuSecond;
    }
    const int code = RunLoad(o, figures, std::cout);
    if (code == 0) std::cout << SummaryLine(figures) << std::endl;
    return code;
}

}  // namespace velmir::net
