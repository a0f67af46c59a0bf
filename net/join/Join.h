// `velmir-net join`: one pilot on the network beside one simulator. It is
// the plugin's client and a pilot on the MQTT network (docs/network.md).
#pragma once

#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/pilot/Watch.h"

namespace CLI {
class App;
}

namespace velmir::net {

class SlotModelSource;

struct JoinOptions {
    std::vector<std::string> Brokers;  // the first is home; the others take over when it fails
    std::string Callsign, Root, Plugin = "127.0.0.1:7472", Username, PasswordFile, TlsCa, Models;
    // What we publish about our aircraft; empty = from the aircraft file,
    // the callsign and the tail number (net/pilot/Aircraft.h).
    std::string Icao, Airline, Livery;
    double RadiusNm = 40.0, Seconds = 0;
    bool Json = false;
    SlotModelSource* ModelSource = nullptr;  // CSL packages (--csl), set up by NetMain
    std::string WebListen;                   // --web: the map page's ADDR:PORT; empty = none
    // Makes the view for --web (set by the program: the page lives in another room).
    std::function<std::unique_ptr<Watcher>(const std::string& listen, std::string& error)> Web;
    // --write-config: the settings file to write, and what goes in it.
    bool WriteConfig = false;
    std::string ConfigFile, ConfigText;
};

// Adds the `join` subcommand, filling `options` when it is parsed, and the
// settings file (--config; by default velmir-net.ini beside the program or
// in the user's settings folder) whose [join] section gives its options.
// `arguments` is the command line to be parsed (UTF-8), kept by reference:
// it tells the file's paths, read beside the file, from the command line's.
CLI::App* AddJoinCommand(CLI::App& app, JoinOptions& options,
                         const std::vector<std::string>& arguments);

// Runs until `stop` turns non-zero, the run time ends or a link fails for
// good; returns the exit code (net/pilot/Exit.h).
// Without --root, the simulator folder comes from X-Plane's installer files.
int RunJoin(JoinOptions, const volatile std::sig_atomic_t& stop);

}  // namespace velmir::net
