// velmir-client: the reference client's command-line tool. CLI11 reads the
// command line; the commands (Tool*.cpp) check their own values.
#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "client/Tool.h"
#include "velmir/Version.h"

using namespace velmir::client::tool;

namespace {

void OnSignal(int) { StopRequested = 1; }

void InstallSignals() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: poll() should return at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

struct Command {
    const char* Name;
    const char* Help;
    const char* Form;  // the positional words, or "" for none
    std::vector<std::pair<const char*, const char*>> Values, Flags;
    int (*Run)(const Target&, const Arguments&);
};

const std::pair<const char*, const char*> NoConnect = {
    "no-connect", "send without connecting first (another client holds the connection)"};

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"monitor",
         "print every message from the plugin",
         "",
         {{"seconds", "stop after N seconds (default: until Ctrl-C)"}},
         {{"json", "one JSON object a line"}},
         Monitor},
        {"remove", "remove remote aircraft N (1..40)", "N", {}, {NoConnect}, Remove},
        {"disconnect", "take over the connection and end it", "", {}, {}, Disconnect},
        {"place",
         "put aircraft N (0 = user) at a position",
         "N LAT LON ALT_M [PITCH BANK HEADING]",
         {},
         {NoConnect},
         Place},
        {"labels",
         "label parts (0..255 or name,tail,distance,altitude,speed) and colour (0xRRGGBB or "
         "#RRGGBB)",
         "FLAGS COLOUR",
         {},
         {NoConnect},
         Labels},
        {"set",
         "set variable ID (a number or a name such as GearHandle) of aircraft N (default 0)",
         "[N] ID VALUE",
         {},
         {NoConnect},
         Set},
        {"fly", "drive the user aircraft along a track file", "TRACK", {}, {}, Fly},
        {"inject",
         "stream remote aircraft from a scenario file",
         "SCENARIO",
         {{"root", "simulator root for the slot folders (default .)"},
          {"jitter", "random extra delay per datagram, MS"},
          {"latency", "fixed delay per datagram, MS"},
          {"loss", "datagrams dropped, PCT"},
          {"seconds", "stop after N seconds (default: until Ctrl-C)"},
          {"seed", "seed of the simulated network (default 7472)"}},
         {},
         Inject},
    };
    return commands;
}

int Run(int argc, char** argv) {
    CLI::App app("The reference client of the Velmir plugin.", "velmir-client");
    app.set_version_flag("--version", VELMIR_VERSION);
    app.footer(
        "One-shot commands connect first (this tool becomes the plugin's client) unless\n"
        "--no-connect is given. Exit codes: 0 done, 1 failed, 2 bad command line.");
    app.require_subcommand(1);
    app.fallthrough();  // the global options may stand anywhere
    std::string host = "127.0.0.1", port, localPort, tag;
    app.add_option("--host", host, "address of the simulator running the plugin")
        ->capture_default_str();
    app.add_option("--port", port, "its port (default 7472)");
    app.add_option("--local-port", localPort, "our port (default: any)");
    app.add_option("--tag", tag, "link tag 0..255 of the connect message (default 1)");

    std::map<std::string, Arguments> arguments;
    std::vector<std::pair<const Command*, CLI::App*>> subcommands;
    for (const Command& c : Commands()) {
        CLI::App* sub =
            app.add_subcommand(c.Name, *c.Form ? std::string(c.Form) + ": " + c.Help : c.Help);
        Arguments& a = arguments[c.Name];
        if (*c.Form) sub->add_option("words", a.Positional, c.Form)->type_name("");
        for (const auto& v : c.Values)
            sub->add_option(std::string("--") + v.first, a.Values[v.first], v.second);
        for (const auto& f : c.Flags) sub->add_flag(std::string("--") + f.first, f.second);
        subcommands.push_back({&c, sub});
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
        Fail(e.what());
    }

    Target target;
    target.Host = host;
    if (target.Host.empty() || target.Host.size() > 255) Fail("--host needs an address");
    if (!port.empty()) target.Port = std::uint16_t(IntegerArg(port, "--port", 1, 65535));
    if (!localPort.empty())
        target.LocalPort = std::uint16_t(IntegerArg(localPort, "--local-port", 0, 65535));
    if (!tag.empty()) target.Tag = std::uint8_t(IntegerArg(tag, "--tag", 0, 255));

    for (const auto& [command, sub] : subcommands) {
        if (!sub->parsed()) continue;
        Arguments& a = arguments[command->Name];
        // Only what was given: a command's defaults are its own.
        for (const auto& v : command->Values)
            if (sub->count(std::string("--") + v.first) == 0) a.Values.erase(v.first);
        for (const auto& f : command->Flags)
            if (sub->count(std::string("--") + f.first) > 0) a.Flags.insert(f.first);
        return command->Run(target, a);
    }
    Fail("no command given");
}

}  // namespace

int main(int argc, char** argv) {
    InstallSignals();
    try {
        return Run(argc, argv);
    } catch (const UsageError& e) {
        // Messages quote what the user gave us, which may be any bytes.
        std::string shown = e.Message;
        for (char& c : shown)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
        std::fprintf(stderr, "velmir-client: %s\nrun 'velmir-client --help' for usage\n",
                     shown.c_str());
        return ExitUsage;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velmir-client: %s\n", e.what());
        return ExitFailure;
    }
}
