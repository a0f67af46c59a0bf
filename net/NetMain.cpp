// velmir-net: the network companion beside one simulator. It is the plugin's
// client and one pilot on the MQTT network (see docs/network.md).
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <random>

#include <CLI/CLI.hpp>

#include "net/Display.h"
#include "net/Failover.h"
#include "net/Load.h"
#include "net/Mqtt.h"
#include "net/PluginLink.h"
#include "net/Tiers.h"

#ifndef VELMIR_NET_VERSION
#define VELMIR_NET_VERSION "0.1"
#endif

namespace {

using namespace velmir;
using namespace velmir::net;

constexpr int ExitOk = 0, ExitOther = 1, ExitUsage = 2, ExitRefused = 3, ExitTls = 4,
              ExitNoPlugin = 5;
constexpr double TickSeconds = 0.1;
constexpr double PluginAnswerSeconds = 5.0;

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

int Fail(int code, const std::string& message) {
    std::fprintf(stderr, "velmir-net: %s\n", message.c_str());
    return code;
}

// "host", "host:port" or "[v6]:port"; false on a malformed port.
bool SplitHostPort(const std::string& text, std::string& host, int& port) {
    std::string portText;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') return false;
            portText = text.substr(close + 2);
        }
    } else {
        const auto colon = text.find(':');
        host = text.substr(0, colon);
        if (colon != std::string::npos) portText = text.substr(colon + 1);
        if (colon != std::string::npos && portText.find(':') != std::string::npos) return false;
    }
    if (host.empty()) return false;
    if (text.find(':') != std::string::npos && !text.empty() && text.back() == ':') return false;
    if (portText.empty()) return true;
    if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::stoi(portText);
    return port >= 1 && port <= 65535;
}

struct JoinOptions {
    std::vector<std::string> Brokers;  // the first is home; the others take over when it fails
    std::string Callsign, Root, Plugin = "127.0.0.1:7472", Username, PasswordFile, TlsCa, Models;
    double RadiusNm = 40.0, Seconds = 0;
    bool Json = false;
};

int Join(const JoinOptions& o) {
    if (!IsValidCallsign(o.Callsign))
        return Fail(ExitUsage, "callsign '" + o.Callsign + "' is not 1 to 10 of A-Z 0-9 -");
    BrokerOptions broker;
    std::string pluginHost;
    int pluginPort = client::DefaultPort;
    if (!SplitHostPort(o.Plugin, pluginHost, pluginPort))
        return Fail(ExitUsage, "bad plugin address '" + o.Plugin + "' (HOST:PORT)");
    struct stat info {};
    if (stat(o.Root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return Fail(ExitUsage, "simulator folder '" + o.Root + "' does not exist");
    if (!o.PasswordFile.empty()) {
        std::ifstream in(o.PasswordFile);
        if (!in || !std::getline(in, broker.Password))
            return Fail(ExitUsage, "cannot read password file '" + o.PasswordFile + "'");
        if (!broker.Password.empty() && broker.Password.back() == '\r') broker.Password.pop_back();
        broker.Username = o.Username.empty() ? o.Callsign : o.Username;
    } else {
        broker.Username = o.Username;
    }
    broker.TlsCa = o.TlsCa;
    broker.WillTopic = IdentityTopic(o.Callsign);
    char suffix[9];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(std::random_device{}()));
    broker.ClientId = "vn-" + o.Callsign + "-" + suffix;  // 23 bytes at most
    std::vector<BrokerOptions> brokers;
    for (const std::string& text : o.Brokers) {
        broker.Port = o.TlsCa.empty() ? 1883 : 8883;
        if (!SplitHostPort(text, broker.Host, broker.Port))
            return Fail(ExitUsage, "bad broker address '" + text + "' (HOST[:PORT])");
        brokers.push_back(broker);
    }

    ModelMap models;
    std::string error;
    if (!o.Models.empty() && !models.Load(o.Models, error)) return Fail(ExitUsage, error);

    PluginLink plugin(o.Root, std::move(models));
    if (!plugin.Open(pluginHost, static_cast<std::uint16_t>(pluginPort), error))
        return Fail(ExitUsage, "plugin address '" + o.Plugin + "': " + error);

    // Pilot, then the rate tiers, then the broker (the next one when it fails).
    FailoverSession session(brokers);
    TieredNetwork tiers(session);
    PilotOptions pilotOptions;
    pilotOptions.Callsign = o.Callsign;
    pilotOptions.RadiusNm = o.RadiusNm;
    Pilot pilot(pilotOptions, tiers, plugin);
    const double start = client::MonotonicSeconds();
    session.SetMessageHandler([&](const char* topic, const std::uint8_t* data, std::size_t n) {
        tiers.Deliver(topic, data, n,
                      [&](std::string_view t, const std::uint8_t* d, std::size_t k) {
                          pilot.OnMessage(t, d, k, client::MonotonicSeconds(), WallMicros());
                      });
    });
    switch (session.Start(start, error)) {
    case BrokerFailure::None:
        if (!error.empty()) std::fprintf(stderr, "velmir-net: %s\n", error.c_str());
        break;
    case BrokerFailure::BadAddress: return Fail(ExitUsage, error);
    case BrokerFailure::Refused: return Fail(ExitRefused, error);
    case BrokerFailure::Tls: return Fail(ExitTls, error);
    case BrokerFailure::Other: return Fail(ExitOther, error);
    }

    const bool tty = !o.Json && isatty(STDOUT_FILENO);
    if (tty) std::fputs("\x1b[2J", stdout);
    const double outputEvery = o.Json ? 1.0 : tty ? 0.5 : 5.0;
    auto status = [&](double now) {
        Status s;
        s.Seconds = now - start;
        s.Callsign = o.Callsign;
        s.Pilots = pilot.View(now);
        s.Count = pilot.GetCounters();
        s.SlotsUsed = pilot.SlotsUsed();
        s.BrokerConnected = session.Connected();
        s.PluginAnswering = plugin.Answered();
        return s;
    };

    int exitCode = ExitOk;
    bool wasConnected = false;
    double nextTick = start, nextOutput = start + outputEvery;
    while (!g_stop) {
        double now = client::MonotonicSeconds();
        if (o.Seconds > 0 && now - start >= o.Seconds) break;
        pollfd fds[2] = {{plugin.Handle(), POLLIN, 0}, {session.Socket(), POLLIN, 0}};
        if (session.WantsWrite()) fds[1].events |= POLLOUT;
        const int waitMs =
            static_cast<int>(std::max(0.0, std::min(nextTick, nextOutput) - now) * 1000) + 1;
        ::poll(fds, fds[1].fd >= 0 ? 2 : 1, std::min(waitMs, 100));
        now = client::MonotonicSeconds();

        const BrokerFailure failure = session.Service(now, error);
        if (failure == BrokerFailure::Refused) {
            exitCode = Fail(ExitRefused, error);
            break;
        }
        if (failure == BrokerFailure::Tls) {
            exitCode = Fail(ExitTls, error);
            break;
        }
        if (session.TakeJustConnected()) {
            if (!o.Json)
                std::fprintf(stderr, "velmir-net: joined broker %s:%d\n",
                             session.CurrentBroker().Host.c_str(), session.CurrentBroker().Port);
            tiers.OnBrokerConnected();
            pilot.OnBrokerConnected();
        }
        if (wasConnected && !session.Connected()) {
            pilot.OnBrokerLost(now);
            if (!o.Json) std::fprintf(stderr, "velmir-net: lost the broker, reconnecting\n");
        }
        wasConnected = session.Connected();

        plugin.Poll(pilot, now, WallMicros());
        if (!plugin.Answered() && now - start > PluginAnswerSeconds) {
            exitCode = Fail(ExitNoPlugin, "the plugin at " + o.Plugin +
                                              " does not answer (no report within 5 s)");
            break;
        }
        if (now >= nextTick) {
            pilot.Tick(now);
            nextTick = std::max(nextTick + TickSeconds, now);
        }
        if (now >= nextOutput) {
            const Status s = status(now);
            const std::string text = o.Json ? FormatJson(s, false) + "\n"
                                     : tty  ? FormatTable(s)
                                            : FormatStatusLine(s) + "\n";
            std::fputs(text.c_str(), stdout);
            std::fflush(stdout);
            nextOutput += outputEvery;
        }
    }

    // Leaving: no slot left behind, identity cleared, both links closed.
    pilot.Leave();
    plugin.Close();
    session.Disconnect();
    const double end = client::MonotonicSeconds();
    if (o.Json) {
        std::puts(FormatJson(status(end), true).c_str());
    } else {
        std::puts(FormatStatusLine(status(end)).c_str());
    }
    std::fflush(stdout);
    return exitCode;
}

int Load(LoadOptions o, const std::vector<std::string>& brokers) {
    for (const std::string& text : brokers) {
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

}  // namespace

int main(int argc, char** argv) {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    CLI::App app{"velmir-net: joins the simulator's plugin to a network of pilots over MQTT"};
    app.set_version_flag("--version", "velmir-net " VELMIR_NET_VERSION);
    app.require_subcommand(1);
    JoinOptions o;
    CLI::App* join = app.add_subcommand("join", "fly with the pilots around you");
    join->add_option("--broker", o.Brokers,
                     "broker HOST[:PORT] (1883, or 8883 with --tls-ca); repeat for brokers to "
                     "move to when one fails")
        ->required();
    join->add_option("--callsign", o.Callsign, "your callsign: 1 to 10 of A-Z 0-9 -")->required();
    join->add_option("--root", o.Root, "the simulator's folder (slot folders go below it)")
        ->required();
    join->add_option("--plugin", o.Plugin, "the plugin's HOST:PORT")->capture_default_str();
    join->add_option("--username", o.Username, "broker user name (default: the callsign)");
    join->add_option("--password-file", o.PasswordFile, "file whose first line is the password");
    join->add_option("--tls-ca", o.TlsCa, "CA certificate: connect to the broker over TLS");
    join->add_option("--models", o.Models, "model map: PATTERN FOLDER per line");
    join->add_option("--radius", o.RadiusNm, "listening radius, nautical miles")
        ->capture_default_str()
        ->check(CLI::Range(1.0, 1000.0));
    join->add_option("--seconds", o.Seconds, "run time, 0 = until interrupted")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    join->add_flag("--json", o.Json, "one JSON object per line, every second");
    LoadOptions load;
    std::vector<std::string> loadBrokers;
    CLI::App* loadCommand =
        app.add_subcommand("load", "synthetic pilots against a broker, with delivery figures");
    loadCommand
        ->add_option("--broker", loadBrokers,
                     "broker HOST[:PORT]; repeat for brokers to move to when one fails")
        ->required();
    loadCommand->add_option("--pilots", load.Pilots, "number of pilots")
        ->capture_default_str()
        ->check(CLI::Range(1, 100000));
    loadCommand->add_option("--seconds", load.Seconds, "length of the measured run")
        ->capture_default_str()
        ->check(CLI::Range(1.0, 3600.0));
    loadCommand->add_option("--seed", load.Seed, "traffic seed")->capture_default_str();
    loadCommand->add_flag("--spread", load.Spread,
                          "home brokers round-robin over the list (default: all on the first)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return ExitUsage;
    }
    try {
        if (*loadCommand) return Load(load, loadBrokers);
        return Join(o);
    } catch (const std::exception& e) {
        return Fail(ExitOther, e.what());
    }
}
