// velmir-net: the network companion beside one simulator. Parses the command
// line and hands over to the command's room (net/join, net/load, net/web).
#include <signal.h>

#include <csignal>
#include <exception>

#include <CLI/CLI.hpp>

#include "net/join/Join.h"
#include "net/load/Load.h"
#include "net/pilot/Exit.h"
#include "net/web/MapCommand.h"

#ifndef VELMIR_NET_VERSION
#define VELMIR_NET_VERSION "0.1"
#endif

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

}  // namespace

int main(int argc, char** argv) {
    using namespace velmir::net;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    CLI::App app{"velmir-net: joins the simulator's plugin to a network of pilots over MQTT"};
    app.set_version_flag("--version", "velmir-net " VELMIR_NET_VERSION);
    app.require_subcommand(1);
    JoinOptions join;
    AddJoinCommand(app, join);
    join.Web = MakeWebWatcher;  // join --web shows the map page
    LoadCommandOptions load;
    CLI::App* loadCommand = AddLoadCommand(app, load);
    MapOptions map;
    CLI::App* mapCommand = AddMapCommand(app, map);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return ExitUsage;
    }
    try {
        if (*loadCommand) return RunLoadCommand(load);
        if (*mapCommand) return RunMap(map, g_stop);
        return RunJoin(join, g_stop);
    } catch (const std::exception& e) {
        return Fail(ExitOther, e.what());
    }
}
