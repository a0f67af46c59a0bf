// velmir-net: the network companion beside one simulator. Parses the command
// line and hands over to the command's room (net/join, net/load, net/csl,
// net/web).
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>

#include <CLI/CLI.hpp>

#include "client/Platform.h"
#include "net/csl/ModelsCommand.h"
#include "net/csl/Source.h"
#include "net/join/Join.h"
#include "net/load/Load.h"
#include "net/pilot/Exit.h"
#include "net/web/MapCommand.h"

#ifndef VELMIR_NET_VERSION
#define VELMIR_NET_VERSION "0.1"
#endif

namespace {

volatile std::sig_atomic_t g_stop = 0;

int Run(int argc, char** argv) {
    using namespace velmir::net;
    velmir::platform::InstallStopHandler(g_stop);
    velmir::platform::PrepareConsole();
    // Paths on the command line may hold any letter, also on Windows.
    std::vector<std::string> arguments = velmir::platform::Utf8Arguments(argc, argv);
    std::vector<char*> pointers;
    // Started without arguments (a double click): join with the settings file.
    if (arguments.size() == 1) arguments.push_back("join");
    for (std::string& a : arguments) pointers.push_back(a.data());

    CLI::App app{"velmir-net: joins the simulator's plugin to a network of pilots over MQTT"};
    app.set_version_flag("--version", "velmir-net " VELMIR_NET_VERSION);
    app.require_subcommand(1);
    JoinOptions join;
    CLI::App* joinCommand = AddJoinCommand(app, join, arguments);
    std::vector<std::string> joinCsl;
    joinCommand->add_option("--csl", joinCsl,
                            "folder of CSL model packages (after --models); repeat for more");
    LoadCommandOptions load;
    CLI::App* loadCommand = AddLoadCommand(app, load);
    csl::ModelsOptions models;
    CLI::App* modelsCommand = csl::AddModelsCommand(app, models);
    join.Web = MakeWebWatcher;  // join --web shows the map page
    MapOptions map;
    CLI::App* mapCommand = AddMapCommand(app, map);
    try {
        app.parse(static_cast<int>(pointers.size()), pointers.data());
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return ExitUsage;
    }
    try {
        if (*loadCommand) return RunLoadCommand(load);
        if (*modelsCommand) return csl::RunModelsCommand(models);
        if (*mapCommand) return RunMap(map, g_stop);
        std::unique_ptr<csl::CslSlotSource> packages;
        if (!joinCsl.empty() && !join.WriteConfig) {  // writing settings reads no models
            packages = std::make_unique<csl::CslSlotSource>(joinCsl, join.Root);
            join.ModelSource = packages.get();
        }
        return RunJoin(join, g_stop);
    } catch (const std::exception& e) {
        return Fail(ExitOther, e.what());
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int code = Run(argc, argv);
    // Started by a double click, the window would close before the reason
    // could be read.
    if (code != velmir::net::ExitOk && velmir::platform::ConsoleClosesWithUs()) {
        std::fprintf(stderr, "Press Enter to close this window.\n");
        std::getchar();
    }
    return code;
}
