#include "net/join/Join.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include <CLI/CLI.hpp>

#include "client/Platform.h"
#include "net/join/Display.h"
#include "net/join/Settings.h"
#include "net/pilot/Address.h"
#include "net/pilot/Aircraft.h"
#include "net/pilot/Exit.h"
#include "net/pilot/Failover.h"
#include "net/pilot/Mqtt.h"
#include "net/pilot/PluginLink.h"
#include "net/pilot/Tiers.h"

namespace velmir::net {

namespace {

constexpr double TickSeconds = 0.1;
constexpr double PluginAnswerSeconds = 5.0;

// The broker does not send a pilot its own messages back (no-local), so the
// map page (--web) is shown the own samples and identity as they leave.
class ShownPort : public NetworkPort {
  public:
    ShownPort(NetworkPort& inner, Watcher* watcher) : inner_(inner), watcher_(watcher) {}
    bool Publish(const std::string& topic, const std::uint8_t* data, std::size_t length, int qos,
                 bool retain) override {
        const bool queued = inner_.Publish(topic, data, length, qos, retain);
        if (queued && watcher_)
            watcher_->OnMessage(topic, data, length, client::MonotonicSeconds());
        return queued;
    }
    void Subscribe(const std::string& filter, int qos) override { inner_.Subscribe(filter, qos); }
    void Unsubscribe(const std::string& filter) override { inner_.Unsubscribe(filter); }

  private:
    NetworkPort& inner_;
    Watcher* watcher_;
};

// The option's paths made full, relative ones read from `folder`, and its
// variable set again.
void AnchorPaths(CLI::Option& option, const std::filesystem::path& folder) {
    const std::vector<std::string> given = option.results();
    option.clear();
    for (const std::string& value : given)
        option.add_result(value.empty()
                              ? value
                              : platform::PathToUtf8(
                                    (folder / platform::PathFromUtf8(value)).lexically_normal()));
    option.run_callback();
}

// The options that name files or folders (`--csl` is added by the program).
constexpr const char* PathOptions[] = {"root", "password-file", "tls-ca", "models", "csl"};

bool OnCommandLine(const std::vector<std::string>& arguments, const std::string& name) {
    const std::string option = "--" + name;
    return std::any_of(arguments.begin(), arguments.end(), [&](const std::string& a) {
        return a == option || a.rfind(option + "=", 0) == 0;
    });
}

// A relative path in the settings file means beside the file, wherever the
// program was started from. An option on the command line keeps its own
// value (CLI11 takes the file's only for options not given).
void ResolveBesideSettings(const std::filesystem::path& file, CLI::App& join,
                           const std::vector<std::string>& arguments) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return;
    std::vector<CLI::ConfigItem> items;
    try {
        items = CLI::ConfigINI().from_config(in);
    } catch (const CLI::Error&) {
        return;  // CLI11 has already read this file; nothing of it to mend
    }
    std::error_code code;
    const std::filesystem::path folder = std::filesystem::absolute(file, code).parent_path();
    if (code) return;
    for (const CLI::ConfigItem& item : items) {
        if (item.parents != std::vector<std::string>{"join"} ||
            std::find(std::begin(PathOptions), std::end(PathOptions), item.name) ==
                std::end(PathOptions))
            continue;
        CLI::Option* option = join.get_option_no_throw("--" + item.name);
        if (option && !OnCommandLine(arguments, item.name)) AnchorPaths(*option, folder);
    }
}

}  // namespace

CLI::App* AddJoinCommand(CLI::App& app, JoinOptions& o, const std::vector<std::string>& arguments) {
    CLI::App* join = app.add_subcommand("join", "fly with the pilots around you");
    join->add_option("--broker", o.Brokers,
                     "broker HOST[:PORT] (1883, or 8883 with --tls-ca); repeat for brokers to "
                     "move to when one fails")
        ->required();
    join->add_option("--callsign", o.Callsign, "your callsign: 1 to 10 of A-Z 0-9 -")->required();
    join->add_option("--root", o.Root,
                     "the simulator's folder (slot folders go below it); default: the first "
                     "folder X-Plane's installer recorded that holds Resources/plugins/Velmir");
    join->add_option("--plugin", o.Plugin, "the plugin's HOST:PORT")->capture_default_str();
    join->add_option("--username", o.Username, "broker user name (default: the callsign)");
    join->add_option("--password-file", o.PasswordFile, "file whose first line is the password");
    join->add_option("--tls-ca", o.TlsCa, "CA certificate: connect to the broker over TLS");
    join->add_option("--models", o.Models, "model map: PATTERN FOLDER per line");
    join->add_option("--icao", o.Icao,
                     "your aircraft's ICAO type (B738); default: acf/_ICAO of its .acf file");
    join->add_option("--airline", o.Airline,
                     "your operator's ICAO code (SWR); default: from a callsign like SWR123");
    join->add_option("--livery", o.Livery, "your livery's name; default: the tail number");
    join->add_option("--radius", o.RadiusNm, "listening radius, nautical miles")
        ->capture_default_str()
        ->check(CLI::Range(1.0, 1000.0));
    join->add_option("--seconds", o.Seconds, "run time, 0 = until interrupted")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    join->add_flag("--json", o.Json, "one JSON object per line, every second");
    join->add_option("--web", o.WebListen, "show the map page on ADDR:PORT")
        ->expected(0, 1)
        ->default_str("127.0.0.1:8747");

    // Settings: command-line options win over the file's.
    const std::filesystem::path settings =
        DefaultSettingsFile(platform::ProgramPath().parent_path(), platform::UserConfigFolder());
    app.set_config("--config", platform::PathForNarrowLibraries(platform::PathToUtf8(settings)),
                   "settings file, its [join] section: key = value, the options' long names");
    join->fallthrough();
    join->add_flag("--write-config", o.WriteConfig,
                   "write the options given into the settings file (--config, or " +
                       platform::PathToUtf8(platform::UserConfigFolder() / SettingsFileName) +
                       ") and stop")
        ->configurable(false);
    join->callback([&app, join, &o, &arguments, settings] {
        const CLI::Option* config = app.get_config_ptr();
        const bool named = config && config->count() > 0;
        ResolveBesideSettings(named ? platform::PathFromUtf8(config->as<std::string>()) : settings,
                              *join, arguments);
        if (!o.WriteConfig) return;
        o.ConfigFile = named
                           ? config->as<std::string>()
                           : platform::PathToUtf8(platform::UserConfigFolder() / SettingsFileName);
        // The file is read wherever the program starts (a double click picks
        // the folder: its own on Windows, the home folder on macOS), so the
        // files it names are kept absolute.
        std::error_code code;
        const std::filesystem::path here = std::filesystem::current_path(code);
        for (const char* name : PathOptions) {
            CLI::Option* option = join->get_option_no_throw(std::string("--") + name);
            if (option && option->count() > 0 && !code) AnchorPaths(*option, here);
        }
        o.ConfigText = "[join]\n" + join->config_to_str(false, true);
    });
    return join;
}

namespace {

int WriteSettings(const JoinOptions& o) {
    const std::filesystem::path file = platform::PathFromUtf8(o.ConfigFile);
    std::error_code code;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), code);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << o.ConfigText;
    out.close();
    if (code || !out) return Fail(ExitOther, "cannot write settings file '" + o.ConfigFile + "'");
    std::fprintf(stderr, "velmir-net: wrote %s\n", o.ConfigFile.c_str());
    return ExitOk;
}

}  // namespace

int RunJoin(JoinOptions o, const volatile std::sig_atomic_t& stop) {
    if (o.WriteConfig) return WriteSettings(o);
    if (o.Root.empty()) {
        std::vector<std::string> read;
        const auto found = FindSimulatorRoot(platform::InstallerRecordFolder(), read);
        if (!found) {
            std::string names;
            for (const std::string& f : read) names += (names.empty() ? "" : ", ") + f;
            return Fail(
                ExitUsage,
                "no --root given, and no simulator folder holding "
                "Resources/plugins/Velmir is listed in " +
                    (names.empty() ? std::string("X-Plane's installer files (no home folder)")
                                   : names));
        }
        o.Root = found->Root;
        std::fprintf(stderr, "velmir-net: simulator folder %s (from %s)\n", o.Root.c_str(),
                     found->From.c_str());
    }
    if (!IsValidCallsign(o.Callsign))
        return Fail(ExitUsage, "callsign '" + o.Callsign + "' is not 1 to 10 of A-Z 0-9 -");
    if (!o.Icao.empty() && !IsValidIcaoType(o.Icao))
        return Fail(ExitUsage, "--icao '" + o.Icao + "' is not 2 to 4 of A-Z 0-9 (B738)");
    if (!o.Airline.empty() && !IsValidAirline(o.Airline))
        return Fail(ExitUsage, "--airline '" + o.Airline + "' is not three letters A-Z (SWR)");
    if (!o.Livery.empty() && !IsValidLivery(o.Livery))
        return Fail(ExitUsage,
                    "--livery '" + o.Livery + "' is not 1 to 39 printable ASCII characters");
    BrokerOptions broker;
    std::string pluginHost;
    int pluginPort = client::DefaultPort;
    if (!SplitHostPort(o.Plugin, pluginHost, pluginPort))
        return Fail(ExitUsage, "bad plugin address '" + o.Plugin + "' (HOST:PORT)");
    if (!platform::IsDirectory(o.Root))
        return Fail(ExitUsage, "simulator folder '" + o.Root + "' does not exist");
    // The broker's ACL lets a login write only under its own user name as
    // callsign (config/broker/acl): with another name nothing we send would
    // arrive, yet it would count as published.
    if (!o.Username.empty() && o.Username != o.Callsign)
        return Fail(ExitUsage, "--username '" + o.Username + "' must be the callsign '" +
                                   o.Callsign +
                                   "': the broker lets a pilot publish only as itself");
    std::string error;
    if (!o.PasswordFile.empty()) {
        if (!ReadPasswordFile(o.PasswordFile, broker.Password, error))
            return Fail(ExitUsage, error);
        broker.Username = o.Callsign;
    } else {
        broker.Username = o.Username;
    }
    broker.TlsCa = o.TlsCa;
    broker.WillTopic = IdentityTopic(o.Callsign);
    // One client id per callsign: a new run takes over the session of an
    // old, hung one, and the broker sends that one's last will before our
    // identity, not seconds later on top of it.
    broker.ClientId = "vn-" + o.Callsign;  // 13 bytes at most
    std::vector<BrokerOptions> brokers;
    if (!BrokerList(o.Brokers, broker, brokers, error)) return Fail(ExitUsage, error);

    ModelMap models;
    if (!o.Models.empty() && !models.Load(o.Models, error)) return Fail(ExitUsage, error);

    std::unique_ptr<Watcher> watcher;
    if (!o.WebListen.empty() && !o.Web)
        return Fail(ExitUsage, "--web: this build of velmir-net has no map page");
    if (!o.WebListen.empty() && !(watcher = o.Web(o.WebListen, error)))
        return Fail(ExitUsage, error);

    PluginLink plugin(o.Root, std::move(models));
    plugin.SetModelSource(o.ModelSource);
    if (!plugin.Open(pluginHost, static_cast<std::uint16_t>(pluginPort), error))
        return Fail(ExitUsage, "plugin address '" + o.Plugin + "': " + error);

    // Pilot, then the rate tiers, then the broker (the next one when it fails).
    FailoverSession session(brokers);
    ShownPort shown(session, watcher.get());
    TieredNetwork tiers(shown, o.RadiusNm);
    PilotOptions pilotOptions;
    pilotOptions.Callsign = o.Callsign;
    pilotOptions.RadiusNm = o.RadiusNm;
    pilotOptions.IcaoType = o.Icao;
    pilotOptions.Airline = o.Airline;
    pilotOptions.Livery = o.Livery;
    // The plugin names the aircraft file as the simulator does: a full path,
    // or one below the simulator's folder. Read once per file.
    std::string typePath, typeRead;
    pilotOptions.ReadType = [&](const std::string& model) {
        if (model.empty() || model == typePath) return typeRead;
        typePath = model;
        const std::string path = model.front() == '/' ? model : o.Root + "/" + model;
        std::string why;
        typeRead = ReadAcfIcaoType(path, why);
        if (!why.empty() && !o.Json) std::fprintf(stderr, "velmir-net: %s\n", why.c_str());
        return typeRead;
    };
    Pilot pilot(pilotOptions, tiers, plugin);
    const double start = client::MonotonicSeconds();
    session.SetMessageHandler(
        [&](const char* topic, const std::uint8_t* data, std::size_t n, bool retained) {
            pilot.OnMessage(topic, data, n, client::MonotonicSeconds(), WallMicros(), retained);
            if (watcher) watcher->OnMessage(topic, data, n, client::MonotonicSeconds());
        });
    if (const BrokerFailure failure = session.Start(start, error); failure != BrokerFailure::None)
        return Fail(ExitCodeOf(failure), error);
    if (!error.empty()) std::fprintf(stderr, "velmir-net: %s\n", error.c_str());

    const bool tty = !o.Json && platform::EnableTerminalSequences(stdout);
    if (tty) std::fputs("\x1b[2J", stdout);
    const double outputEvery = o.Json ? 1.0 : tty ? 0.5 : 5.0;
    auto status = [&](double now) {
        Status s;
        s.Seconds = now - start;
        s.Callsign = o.Callsign;
        s.Pilots = pilot.View(now);
        s.Count = pilot.GetCounters();
        s.Heard = pilot.Heard();
        s.SlotsUsed = pilot.SlotsUsed();
        s.BrokerConnected = session.Connected();
        s.PluginAnswering = plugin.Answered();
        return s;
    };

    int exitCode = ExitOk;
    bool wasConnected = false;
    double nextTick = start, nextOutput = start + outputEvery, nextWatch = start;
    while (!stop) {
        double now = client::MonotonicSeconds();
        if (o.Seconds > 0 && now - start >= o.Seconds) break;
        platform::PollSocket sockets[2];
        sockets[0].Socket = plugin.Handle();
        sockets[1].Socket = session.Socket();
        sockets[0].Read = sockets[1].Read = true;
        sockets[1].Write = session.WantsWrite();
        const int waitMs =
            static_cast<int>(std::max(0.0, std::min(nextTick, nextOutput) - now) * 1000) + 1;
        platform::Poll(sockets, 2, std::min(waitMs, 100));
        now = client::MonotonicSeconds();

        // Fatal only when every broker refused us; anything else retries.
        const BrokerFailure failure = session.Service(now, error);
        if (failure == BrokerFailure::Refused || failure == BrokerFailure::Tls) {
            exitCode = Fail(ExitCodeOf(failure), error);
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
            tiers.Tick(pilot, now);
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
        if (watcher && now >= nextWatch) {
            const Status s = status(now);
            WatchedStatus w{
                s.Seconds,
                s.Callsign,
                session.CurrentBroker().Host + ":" + std::to_string(session.CurrentBroker().Port),
                s.Pilots,
                s.Count,
                s.SlotsUsed,
                s.BrokerConnected,
                s.PluginAnswering};
            watcher->OnStatus(w, now);
            nextWatch = std::max(nextWatch + 1.0, now);
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

}  // namespace velmir::net
