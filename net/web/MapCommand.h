// `velmir-net map`: every pilot of the network on a map in the browser, and
// the same page for one joined pilot (`velmir-net join --web`).
#pragma once

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "net/pilot/Watch.h"

namespace CLI {
class App;
}

namespace velmir::net {

struct MapOptions {
    std::vector<std::string> Brokers;  // the first is home; the others take over when it fails
    std::string Listen = "127.0.0.1:8747", Username, PasswordFile, TlsCa;
    double Seconds = 0;
};

CLI::App* AddMapCommand(CLI::App& app, MapOptions& options);
// Runs until `stop` turns non-zero or the run time ends; returns the exit
// code (net/pilot/Exit.h).
int RunMap(const MapOptions&, const volatile std::sig_atomic_t& stop);

// The page for `join --web`, listening on `listen` (ADDR:PORT); nullptr and
// the reason when it cannot listen there.
std::unique_ptr<Watcher> MakeWebWatcher(const std::string& listen, std::string& error);

}  // namespace velmir::net
