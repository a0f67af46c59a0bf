// velmir-client: the reference client's command-line tool.
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "client/Client.h"
#include "client/Describe.h"
#include "client/Geo.h"
#include "client/Scenario.h"
#include "client/Track.h"

using namespace velmir;
using namespace velmir::client;

namespace {

constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

constexpr double TickSeconds = 0.1;
// The plugin drops a client after 120 s without a datagram; a listener that
// only receives sends a type-7 message now and then, which the plugin drops
// without effect but counts as a sign of life.
constexpr double KeepAliveSeconds = 30.0;
constexpr double SilenceWarningSeconds = 5.0;

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

void InstallSignals() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: poll() should return at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

const char* const Usage =
    "usage: velmir-client [--host ADDR] [--port N] [--local-port N] [--tag N] COMMAND ...\n"
    "\n"
    "  monitor [--json] [--seconds N]      print every message from the plugin\n"
    "  remove N                            remove remote aircraft N (1..40)\n"
    "  disconnect                          take over the connection and end it\n"
    "  place N LAT LON ALT_M [PITCH BANK HEADING]\n"
    "                                      put aircraft N (0 = user) at a position\n"
    "  labels FLAGS COLOUR                 label parts (0..255 or name,tail,distance,\n"
    "                                      altitude,speed) and colour (0xRRGGBB or #RRGGBB)\n"
    "  set [N] ID VALUE                    set variable ID of aircraft N (default 0)\n"
    "  fly TRACK                           drive the user aircraft along a track file\n"
    "  inject SCENARIO [--root DIR] [--jitter MS] [--latency MS] [--loss PCT]\n"
    "                  [--seconds N] [--seed N]\n"
    "                                      stream remote aircraft from a scenario file\n"
    "  relay --a HOST:PORT --b HOST:PORT [--a-root DIR] [--b-root DIR] [--models FILE]\n"
    "                  [--seconds N]       show each plugin's user aircraft in the other\n"
    "\n"
    "One-shot commands connect first (this tool becomes the plugin's client) unless\n"
    "--no-connect is given. Exit codes: 0 done, 1 failed, 2 bad command line.\n";

struct UsageError {
    std::string Message;
};

[[noreturn]] void Fail(const std::string& message) { throw UsageError{message}; }

// ------------------------------------------------------------ arguments --

struct Arguments {
    std::vector<std::string> Positional;
    std::map<std::string, std::string> Values;
    std::set<std::string> Flags;

    bool Has(const std::string& name) const { return Flags.count(name) || Values.count(name); }
};

// "--name value" and "--name=value" for value options, "--name" for flags.
// Anything not starting with "--" is positional, so negative numbers pass.
Arguments ParseArguments(const std::vector<std::string>& tokens,
                         const std::set<std::string>& valueOptions,
                         const std::set<std::string>& flagOptions) {
    Arguments args;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const std::string& token = tokens[i];
        if (token.rfind("--", 0) != 0 || token == "--") {
            args.Positional.push_back(token);
            continue;
        }
        std::string name = token.substr(2);
        std::string value;
        bool hasValue = false;
        const std::size_t equals = name.find('=');
        if (equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.erase(equals);
            hasValue = true;
        }
        if (valueOptions.count(name)) {
            if (!hasValue) {
                if (i + 1 >= tokens.size()) Fail("--" + name + " needs a value");
                value = tokens[++i];
            }
            if (args.Values.count(name)) Fail("--" + name + " is given twice");
            args.Values[name] = value;
        } else if (flagOptions.count(name)) {
            if (hasValue) Fail("--" + name + " takes no value");
            args.Flags.insert(name);
        } else {
            Fail("unknown option --" + name.substr(0, 40));
        }
    }
    return args;
}

long long IntegerArg(const std::string& text, const char* what, long long low, long long high) {
    long long value = 0;
    if (!ParseInteger(text, low, high, value))
        Fail(std::string(what) + " must be a whole number within " + std::to_string(low) + ".." +
             std::to_string(high) + ", not '" + text.substr(0, 40) + "'");
    return value;
}

double NumberArg(const std::string& text, const char* what, double low, double high) {
    double value = 0;
    if (!ParseNumber(text, value) || value < low || value > high) {
        char range[64];
        std::snprintf(range, sizeof range, "%g..%g", low, high);
        Fail(std::string(what) + " must be a number within " + range + ", not '" +
             text.substr(0, 40) + "'");
    }
    return value;
}

double OptionalNumber(const Arguments& args, const char* name, double fallback, double low,
                      double high) {
    const auto found = args.Values.find(name);
    if (found == args.Values.end()) return fallback;
    return NumberArg(found->second, (std::string("--") + name).c_str(), low, high);
}

void ExpectPositional(const Arguments& args, std::size_t low, std::size_t high, const char* form) {
    const std::size_t n = args.Positional.size();
    if (n < low || n > high) Fail(std::string("expected: ") + form);
}

struct Target {
    std::string Host = "127.0.0.1";
    std::uint16_t Port = DefaultPort;
    std::uint16_t LocalPort = 0;
    std::uint8_t Tag = 1;
};

// "host:port" or "host" (default port).
Target ParseEndpoint(const std::string& text, const char* what) {
    Target target;
    const std::size_t colon = text.rfind(':');
    target.Host = colon == std::string::npos ? text : text.substr(0, colon);
    if (colon != std::string::npos)
        target.Port =
            static_cast<std::uint16_t>(IntegerArg(text.substr(colon + 1), what, 1, 65535));
    if (target.Host.empty() || target.Host.size() > 255) Fail(std::string(what) + " needs a host");
    return target;
}

// --------------------------------------------------------------- helpers --

void PrintLine(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Note(const std::string& line) { std::fprintf(stderr, "velmir-client: %s\n", line.c_str()); }

bool OpenAndConnect(Connection& link, const Target& target, bool connect) {
    if (!link.Open(target.Host, target.Port, target.LocalPort)) {
        Note(link.LastError());
        return false;
    }
    if (connect && !link.Connect(target.Tag)) {
        Note(link.LastError());
        return false;
    }
    return true;
}

std::string ErrorLine(const Received& r, double at, bool json) {
    const bool hasHeader = r.Raw.size() >= HeaderLength;
    const std::string type = hasHeader ? std::to_string(r.Raw[HeaderLength - 1]) : "";
    const std::string reason = ToString(r.Result.Error);
    char head[32];
    std::snprintf(head, sizeof head, "%.3f", at);
    if (json) {
        return std::string("{\"at\":") + head +
               ",\"type\":\"error\",\"reason\":" + JsonString(reason) +
               ",\"length\":" + std::to_string(r.Length) +
               (hasHeader ? ",\"message_type\":" + type : std::string()) + "}";
    }
    return std::string(head) + " error reason=" + QuotedText(reason) +
           " length=" + std::to_string(r.Length) +
           (hasHeader ? " message_type=" + type : std::string());
}

// Waits until `until` (monotonic seconds) while handing every datagram that
// arrives to `onDatagram`; returns early when a stop signal came.
template <class OnDatagram>
void WaitUntil(Connection& link, double until, OnDatagram onDatagram) {
    while (!g_stop) {
        const double left = until - MonotonicSeconds();
        if (left <= 0) return;
        auto received = link.Receive(static_cast<int>(std::ceil(left * 1000.0)));
        if (received) onDatagram(*received);
    }
}

// -------------------------------------------------------------- commands --

int Monitor(const Target& target, const std::vector<std::string>& tokens) {
    const Arguments args = ParseArguments(tokens, {"seconds"}, {"json"});
    ExpectPositional(args, 0, 0, "monitor [--json] [--seconds N]");
    const bool json = args.Has("json");
    const double seconds = OptionalNumber(args, "seconds", 0, 0, 1e9);

    Connection link;
    if (!OpenAndConnect(link, target, true)) return ExitFailure;
    Note("connected to " + FormatAddress(link.Target()) + " from local port " +
         std::to_string(link.LocalPort()));

    const double start = MonotonicSeconds();
    double lastKeepAlive = start;
    bool silenceReported = false;
    while (!g_stop) {
        const double now = MonotonicSeconds();
        if (seconds > 0 && now - start >= seconds) break;
        if (now - lastKeepAlive >= KeepAliveSeconds) {
            link.Send(SecondaryControlsReport{});
            lastKeepAlive = now;
        }
        const double quiet =
            link.SecondsSinceLastDatagram() < 0 ? now - start : link.SecondsSinceLastDatagram();
        if (quiet >= SilenceWarningSeconds && !silenceReported) {
            Note("nothing from the plugin for " + std::to_string(static_cast<int>(quiet)) + " s");
            silenceReported = true;
        }
        auto received = link.Receive(200);
        if (!received) continue;
        silenceReported = false;
        const double at = MonotonicSeconds() - start;
        if (!received->Result.Ok()) {
            PrintLine(ErrorLine(*received, at, json));
            continue;
        }
        const Description d = Describe(received->Result.Value);
        PrintLine(json ? FormatJson(d, at) : FormatText(d, at));
        if (link.State() == LinkState::PeerDisconnected) {
            Note("the plugin ended the connection");
            return ExitOk;
        }
    }
    link.Disconnect();
    Note("disconnected");
    return ExitOk;
}

template <class T>
int SendOnce(const Target& target, bool connect, const T& message) {
    Connection link;
    if (!OpenAndConnect(link, target, connect)) return ExitFailure;
    if (!link.Send(message)) {
        Note(link.LastError());
        return ExitFailure;
    }
    PrintLine(std::string("sent ") + MessageName(TypeOf(Message(message))) + ": " +
              FormatFields(Describe(Message(message))));
    return ExitOk;
}

int Remove(const Target& target, const std::vector<std::string>& tokens) {
    const Arguments args = ParseArguments(tokens, {}, {"no-connect"});
    ExpectPositional(args, 1, 1, "remove N");
    RemoveAircraftCommand m;
    m.AircraftIndex = static_cast<std::uint8_t>(IntegerArg(args.Positional[0], "N", 1, 40));
    return SendOnce(target, !args.Has("no-connect"), m);
}

int Disconnect(const Target& target, const std::vector<std::string>& tokens) {
    const Arguments args = ParseArguments(tokens, {}, {});
    ExpectPositional(args, 0, 0, "disconnect");
    Connection link;
    if (!OpenAndConnect(link, target, true)) return ExitFailure;
    if (!link.Disconnect()) {
        Note(link.LastError());
        return ExitFailure;
    }
    // The plugin answers a client's disconnect with one of its own.
    const double until = MonotonicSeconds() + 1.0;
    while (link.State() != LinkState::PeerDisconnected && MonotonicSeconds() < until && !g_stop)
        link.Receive(100);
    PrintLine(link.State() == LinkState::PeerDisconnected ? "disconnected; the plugin confirmed"
                                                          : "disconnect sent; no reply within 1 s");
    return ExitOk;
}

int Place(const Target& target, const std::vector<std::string>& tokens) {
    const Arguments args = ParseArguments(tokens, {}, {"no-connect"});
    const char* form = "place N LAT LON ALT_M [PITCH BANK HEADING]";
    ExpectPositional(args, 4, 7, form);
    if (args.Positional.size() != 4 && args.Positional.size() != 7)
        Fail(std::string("expected: ") + form);
    const auto& p = args.Positional;
    PlacementCommand m;
    m.AircraftIndex = static_cast<std::uint8_t>(IntegerArg(p[0], "N", 0, 40));
    m.Latitude = NumberArg(p[1], "LAT", -90, 90);
    m.Longitude = NumberArg(p[2], "LON", -180, 180);
    m.Altitude = NumberArg(p[3], "ALT_M", -1000, 50000);
    if (p.size() == 7) {
        m.Pitch = static_cast<float>(NumberArg(p[4], "PITCH", -90, 90));
        m.Bank = static_cast<float>(NumberArg(p[5], "BANK", -180, 180));
        m.Heading = static_cast<float>(NormaliseHeading(NumberArg(p[6], "HEADING", -360, 360)));
    }
    m.RadioAltitude = -1.0f;
    return SendOnce(target, !args.Has("no-connect"), m);
}

std::uint8_t ParseLabelFlags(const std::string& text) {
    long long value = 0;
    if (ParseInteger(text, 0, 255, value)) return static_cast<std::uint8_t>(value);
    static const std::map<std::string, std::uint8_t> names = {
        {"none", 0},     {"name", 1},   {"tail", 2}, {"distance", 4},
        {"altitude", 8}, {"speed", 16}, {"all", 31}};
    std::uint8_t flags = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string part =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const auto found = names.find(part);
        if (found == names.end())
            Fail(
                "FLAGS must be 0..255 or names from name,tail,distance,altitude,speed,all,none; "
                "not '" +
                part.substr(0, 40) + "'");
        flags |= found->second;
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return flags;
}

std::uint32_t ParseColour(const std::string& text) {
    std::string digits;
    if (text.size() == 7 && text[0] == '#')
        digits = text.substr(1);
    else if (text.size() == 8 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        digits = text.substr(2);
    const bool hex = digits.size() == 6 && std::all_of(digits.begin(), digits.end(), [](char c) {
                         return std::isxdigit(static_cast<unsigned char>(c));
                     });
    if (!hex) Fail("COLOUR must be 0xRRGGBB or #RRGGBB, not '" + text.substr(0, 40) + "'");
    // Alpha is not used by the plugin; send it opaque.
    return 0xFF000000u | static_cast<std::uint32_t>(std::stoul(digits, nullptr, 16));
}

int Labels(const Target& target, const std::vector<std::string>& tokens) {
    const Arguments args = ParseArguments(tokens, {}, {"no-connect"});
    ExpectPositional(args, 2, 2, "labels FLAGS COLOUR");
    InfoReport m;
    m.LabelFlags = ParseLabelFlags(args.Positional[0]);
    m.LabelColourArgb = ParseColour(args.Positional[1]);
    return SendOnce(target, !args.Has("no-connect"), m);
}

int Set(const Target& target, const std::vector<std::string>& tokens) {
    const Arguments args = ParseArguments(tokens, {}, {"no-connect"});
    ExpectPositional(args, 2, 3, "set [N] ID VALUE");
    const auto& p = args.Positional;
    const std::size_t first = p.size() == 3 ? 1 : 0;
    VariableCommand m;
    m.AircraftIndex = p.size() == 3 ? static_cast<std::uint8_t>(IntegerArg(p[0], "N", 0, 40)) : 0;
    m.VariableId = static_cast<std::int16_t>(IntegerArg(p[first], "ID", -32768, 32767));
    m.VariableValue =
        static_cast<std::int32_t>(IntegerArg(p[first + 1], "VALUE", INT32_MIN, INT32_MAX));
    return SendOnce(target, !args.Has("no-connect"), m);
}

// Drains what the plugin sent; false once it has ended the connection.
bool DrainAndCheck(Connection& link) {
    while (link.Receive(0)) {
    }
    if (link.State() == LinkState::PeerDisconnected) {
        Note("the plugin ended the connection");
        return false;
    }
    return true;
}

int Fly(const Target& target, const std::vector<std::string>& tokens) {
    const Arguments args = ParseArguments(tokens, {}, {});
    ExpectPositional(args, 1, 1, "fly TRACK");
    Track track;
    std::string error;
    if (!LoadTrack(args.Positional[0], track, error)) Fail(error);

    Connection link;
    if (!OpenAndConnect(link, target, true)) return ExitFailure;
    char summary[96];
    std::snprintf(summary, sizeof summary, "flying %zu rows over %.1f s", track.Rows.size(),
                  track.Duration());
    Note(summary);

    const double start = MonotonicSeconds();
    double lastTime = 0;
    for (long tick = 0; !g_stop; ++tick) {
        const double elapsed = tick * TickSeconds;
        if (elapsed > track.Duration() + 1e-9) break;
        WaitUntil(link, start + elapsed, [](const Received&) {});
        if (g_stop) break;
        if (!DrainAndCheck(link)) return ExitFailure;

        const TrackState state = SampleTrack(track, elapsed);
        // The plugin applies a sample only when its Time is later than the last.
        double now = MonotonicSeconds();
        if (now <= lastTime) now = std::nextafter(lastTime, 1e300);
        lastTime = now;
        bool ok = link.Send(TrackPosition(state, now));
        if (track.HasInstruments) ok = link.Send(TrackInstruments(state)) && ok;
        if (track.HasPropellers)
            for (int element = 0; element < 4; ++element)
                ok = link.Send(TrackPropeller(state, element)) && ok;
        if (!ok) Note(link.LastError());
    }
    Note(g_stop ? "stopped; the simulator takes control back about 1 s from now"
                : "track done; the simulator takes control back about 1 s from now");
    return ExitOk;
}

int Inject(const Target& target, const std::vector<std::string>& tokens) {
    const Arguments args =
        ParseArguments(tokens, {"root", "jitter", "latency", "loss", "seconds", "seed"}, {});
    ExpectPositional(
        args, 1, 1,
        "inject SCENARIO [--root DIR] [--jitter MS] [--latency MS] [--loss PCT] [--seconds N]");
    Scenario scenario;
    std::string error;
    if (!LoadScenario(args.Positional[0], scenario, error)) Fail(error);
    const std::string root = args.Values.count("root") ? args.Values.at("root") : ".";
    Impairment impairment;
    impairment.JitterMs = OptionalNumber(args, "jitter", 0, 0, 10000);
    impairment.LatencyMs = OptionalNumber(args, "latency", 0, 0, 10000);
    impairment.LossPercent = OptionalNumber(args, "loss", 0, 0, 100);
    const double seconds = OptionalNumber(args, "seconds", 0, 0, 1e9);
    const auto seed = static_cast<std::uint32_t>(
        args.Values.count("seed") ? IntegerArg(args.Values.at("seed"), "--seed", 0, 4294967295LL)
                                  : 7472);

    for (const ScenarioAircraft& a : scenario.Aircraft) {
        if (!WriteSlotFolder(root, a.Slot, error)) {
            Note(error);
            return ExitFailure;
        }
    }
    Note("wrote " + std::to_string(scenario.Aircraft.size()) + " slot folders under " +
         std::filesystem::path(SlotFolder(root, 1)).parent_path().string());

    Connection link;
    if (!OpenAndConnect(link, target, true)) return ExitFailure;
    // The first models go out unimpaired so every slot is described at once.
    for (const ScenarioAircraft& a : scenario.Aircraft) link.Send(ScenarioModel(a));

    ImpairedLink network(impairment, seed);
    constexpr double ModelEverySeconds = 5.0;
    const double start = MonotonicSeconds();
    double lastModels = start;
    double lastTime = 0;
    std::uint64_t sent = 0;
    std::uint8_t buffer[MaxMessageLength];
    for (long tick = 0; !g_stop; ++tick) {
        const double elapsed = tick * TickSeconds;
        if (seconds > 0 && elapsed > seconds) break;
        // Deliver queued datagrams while waiting for the next tick.
        const double tickAt = start + elapsed;
        while (!g_stop && MonotonicSeconds() < tickAt) {
            for (const auto& datagram : network.TakeDue(MonotonicSeconds()))
                if (link.SendRaw(datagram.data(), datagram.size())) ++sent;
            link.Receive(
                std::max(1, std::min(10, static_cast<int>((tickAt - MonotonicSeconds()) * 1000))));
        }
        if (g_stop) break;
        if (!DrainAndCheck(link)) return ExitFailure;

        double now = MonotonicSeconds();
        if (now <= lastTime) now = std::nextafter(lastTime, 1e300);
        lastTime = now;
        if (now - lastModels >= ModelEverySeconds) {
            for (const ScenarioAircraft& a : scenario.Aircraft)
                network.Submit(buffer, Encode(ScenarioModel(a), buffer, link.LinkTag()), now);
            lastModels = now;
        }
        for (const ScenarioAircraft& a : scenario.Aircraft)
            network.Submit(buffer,
                           Encode(ScenarioPosition(a, elapsed, now), buffer, link.LinkTag()), now);
        for (const auto& datagram : network.TakeDue(now))
            if (link.SendRaw(datagram.data(), datagram.size())) ++sent;
    }
    link.Disconnect();
    Note("sent " + std::to_string(sent) + " datagrams, dropped " +
         std::to_string(network.Dropped()) + "; disconnected");
    return ExitOk;
}

// ----------------------------------------------------------------- relay --

struct ModelMapEntry {
    std::string Match;
    std::string Folder;
};

std::vector<ModelMapEntry> LoadModelMap(const std::string& path) {
    std::ifstream in(path);
    if (!in) Fail("cannot open model map '" + path + "'");
    std::vector<ModelMapEntry> entries;
    std::string line;
    bool tooLong = false;
    int number = 0;
    while (ReadBoundedLine(in, line, 4096, tooLong)) {
        ++number;
        if (tooLong) Fail(path + ": line " + std::to_string(number) + ": longer than 4096 bytes");
        const std::size_t hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        std::vector<std::string> words;
        std::size_t i = 0;
        while (i < line.size()) {
            while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
            std::size_t j = i;
            while (j < line.size() && !std::isspace(static_cast<unsigned char>(line[j]))) ++j;
            if (j > i) words.push_back(line.substr(i, j - i));
            i = j;
        }
        if (words.empty()) continue;
        if (words.size() != 2)
            Fail(path + ": line " + std::to_string(number) + ": expected MATCH FOLDER");
        if (!std::filesystem::is_directory(words[1]))
            Fail(path + ": line " + std::to_string(number) + ": '" + words[1].substr(0, 80) +
                 "' is not a folder");
        entries.push_back({words[0], words[1]});
    }
    return entries;
}

// Fills slot 1 under `root` for a model: a mapped folder's files, or our mesh.
bool PrepareRelaySlot(const std::string& root, const std::string& model,
                      const std::vector<ModelMapEntry>& map, std::string& error) {
    for (const ModelMapEntry& entry : map) {
        if (model.find(entry.Match) == std::string::npos) continue;
        std::error_code code;
        const std::filesystem::path folder = SlotFolder(root, 1);
        std::filesystem::create_directories(folder, code);
        if (!code)
            std::filesystem::copy(entry.Folder, folder,
                                  std::filesystem::copy_options::recursive |
                                      std::filesystem::copy_options::overwrite_existing,
                                  code);
        if (code) {
            error = "cannot copy '" + entry.Folder + "': " + code.message();
            return false;
        }
        return true;
    }
    return WriteSlotFolder(root, 1, error);
}

struct RelaySide {
    const char* Name;
    Target Where;
    std::string Root;
    Connection Link;
    std::string LastModel;
    bool HaveModel = false;
};

int Relay(const Target& base, const std::vector<std::string>& tokens) {
    const Arguments args =
        ParseArguments(tokens, {"a", "b", "a-root", "b-root", "models", "seconds"}, {});
    ExpectPositional(args, 0, 0, "relay --a HOST:PORT --b HOST:PORT");
    if (!args.Values.count("a") || !args.Values.count("b")) Fail("relay needs --a and --b");
    RelaySide sides[2];
    sides[0].Name = "a";
    sides[1].Name = "b";
    sides[0].Where = ParseEndpoint(args.Values.at("a"), "--a");
    sides[1].Where = ParseEndpoint(args.Values.at("b"), "--b");
    sides[0].Root = args.Values.count("a-root") ? args.Values.at("a-root") : ".";
    sides[1].Root = args.Values.count("b-root") ? args.Values.at("b-root") : ".";
    const std::vector<ModelMapEntry> map = args.Values.count("models")
                                               ? LoadModelMap(args.Values.at("models"))
                                               : std::vector<ModelMapEntry>{};
    const double seconds = OptionalNumber(args, "seconds", 0, 0, 1e9);
    for (RelaySide& side : sides) {
        side.Where.Tag = base.Tag;
        if (!OpenAndConnect(side.Link, side.Where, true)) return ExitFailure;
        Note(std::string("side ") + side.Name + ": " + FormatAddress(side.Link.Target()));
    }

    const double start = MonotonicSeconds();
    double lastKeepAlive = start;
    while (!g_stop) {
        const double now = MonotonicSeconds();
        if (seconds > 0 && now - start >= seconds) break;
        if (now - lastKeepAlive >= KeepAliveSeconds) {
            for (RelaySide& side : sides) side.Link.Send(SecondaryControlsReport{});
            lastKeepAlive = now;
        }
        pollfd waiters[2] = {{sides[0].Link.NativeHandle(), POLLIN, 0},
                             {sides[1].Link.NativeHandle(), POLLIN, 0}};
        if (::poll(waiters, 2, 200) <= 0) continue;
        for (int from = 0; from < 2; ++from) {
            RelaySide& source = sides[from];
            RelaySide& sink = sides[1 - from];
            while (auto received = source.Link.Receive(0)) {
                if (source.Link.State() == LinkState::PeerDisconnected) {
                    Note(std::string("side ") + source.Name + " ended the connection");
                    sink.Link.Disconnect();
                    return ExitFailure;
                }
                if (!received->Result.Ok()) continue;
                Message& message = received->Result.Value;
                if (auto* position = std::get_if<PositionReport>(&message)) {
                    if (position->AircraftIndex != 0 || !sink.HaveModel) continue;
                    PositionReport copy = *position;
                    copy.AircraftIndex = 1;
                    // The report carries a real radio altitude: let the other
                    // side set the aircraft on its own terrain when low.
                    copy.PositionFlags |= 0x02;
                    sink.Link.Send(copy);
                } else if (auto* model = std::get_if<ModelReport>(&message)) {
                    if (model->AircraftIndex != 0) continue;
                    if (!sink.HaveModel || model->ModelName != sink.LastModel) {
                        std::string error;
                        if (!PrepareRelaySlot(sink.Root, model->ModelName, map, error)) {
                            Note(error);
                            return ExitFailure;
                        }
                        sink.LastModel = model->ModelName;
                        sink.HaveModel = true;
                        Note(std::string("side ") + source.Name + " flies '" + model->ModelName +
                             "'");
                    }
                    ModelReport copy = *model;
                    copy.AircraftIndex = 1;
                    if (copy.DisplayName.empty())
                        copy.DisplayName = std::string("pilot ") + source.Name;
                    sink.Link.Send(copy);
                }
            }
        }
    }
    for (RelaySide& side : sides) side.Link.Disconnect();
    Note("disconnected both sides");
    return ExitOk;
}

int Run(const std::vector<std::string>& all) {
    // Global options may stand anywhere; the rest belongs to the command.
    Target target;
    std::vector<std::string> rest;
    bool help = false;
    for (std::size_t i = 0; i < all.size(); ++i) {
        const std::string& a = all[i];
        auto value = [&](const char* name) -> std::string {
            const std::string prefix = std::string(name) + "=";
            if (a.rfind(prefix, 0) == 0) return a.substr(prefix.size());
            if (i + 1 >= all.size()) Fail(std::string(name) + " needs a value");
            return all[++i];
        };
        auto is = [&](const char* name) {
            return a == name || a.rfind(std::string(name) + "=", 0) == 0;
        };
        if (a == "--help" || a == "-h")
            help = true;
        else if (is("--host")) {
            target.Host = value("--host");
            if (target.Host.empty() || target.Host.size() > 255) Fail("--host needs an address");
        } else if (is("--port"))
            target.Port =
                static_cast<std::uint16_t>(IntegerArg(value("--port"), "--port", 1, 65535));
        else if (is("--local-port"))
            target.LocalPort = static_cast<std::uint16_t>(
                IntegerArg(value("--local-port"), "--local-port", 0, 65535));
        else if (is("--tag"))
            target.Tag = static_cast<std::uint8_t>(IntegerArg(value("--tag"), "--tag", 0, 255));
        else
            rest.push_back(a);
    }
    if (help) {
        std::fputs(Usage, stdout);
        return ExitOk;
    }
    if (rest.empty()) Fail("no command given");
    const std::string command = rest.front();
    rest.erase(rest.begin());
    if (command == "monitor") return Monitor(target, rest);
    if (command == "remove") return Remove(target, rest);
    if (command == "disconnect") return Disconnect(target, rest);
    if (command == "place") return Place(target, rest);
    if (command == "labels") return Labels(target, rest);
    if (command == "set") return Set(target, rest);
    if (command == "fly") return Fly(target, rest);
    if (command == "inject") return Inject(target, rest);
    if (command == "relay") return Relay(target, rest);
    Fail("unknown command '" + command.substr(0, 40) + "'");
}

}  // namespace

int main(int argc, char** argv) {
    InstallSignals();
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        return Run(args);
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
