// The `velmir-net load` subcommand: its options and the summary line.
#include <iostream>

#include <CLI/CLI.hpp>

#include "net/load/Load.h"
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
    const int code = RunLoad(o, figures, std::cout);
    if (code == 0) std::cout << SummaryLine(figures) << std::endl;
    return code;
}

}  // namespace velmir::net
