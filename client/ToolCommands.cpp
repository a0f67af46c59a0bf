// velmir-client's one-shot commands and the monitor.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>

#include "client/Tool.h"
#include "link/Variables.h"

namespace velmir::client::tool {

// -------------------------------------------------------------- commands --

int Monitor(const Target& target, const Arguments& args) {
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
    while (!StopRequested) {
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

int Remove(const Target& target, const Arguments& args) {
    ExpectPositional(args, 1, 1, "remove N");
    RemoveAircraftCommand m;
    m.AircraftIndex = static_cast<std::uint8_t>(IntegerArg(args.Positional[0], "N", 1, 40));
    return SendOnce(target, !args.Has("no-connect"), m);
}

int Disconnect(const Target& target, const Arguments& args) {
    ExpectPositional(args, 0, 0, "disconnect");
    Connection link;
    if (!OpenAndConnect(link, target, true)) return ExitFailure;
    if (!link.Disconnect()) {
        Note(link.LastError());
        return ExitFailure;
    }
    // The plugin answers a client's disconnect with one of its own.
    const double until = MonotonicSeconds() + 1.0;
    while (link.State() != LinkState::PeerDisconnected && MonotonicSeconds() < until &&
           !StopRequested)
        link.Receive(100);
    PrintLine(link.State() == LinkState::PeerDisconnected ? "disconnected; the plugin confirmed"
                                                          : "disconnect sent; no reply within 1 s");
    return ExitOk;
}

int Place(const Target& target, const Arguments& args) {
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

int Labels(const Target& target, const Arguments& args) {
    ExpectPositional(args, 2, 2, "labels FLAGS COLOUR");
    InfoReport m;
    m.LabelFlags = ParseLabelFlags(args.Positional[0]);
    m.LabelColourArgb = ParseColour(args.Positional[1]);
    return SendOnce(target, !args.Has("no-connect"), m);
}

int Set(const Target& target, const Arguments& args) {
    ExpectPositional(args, 2, 3, "set [N] ID VALUE");
    const auto& p = args.Positional;
    const std::size_t first = p.size() == 3 ? 1 : 0;
    VariableCommand m;
    m.AircraftIndex = p.size() == 3 ? static_cast<std::uint8_t>(IntegerArg(p[0], "N", 0, 40)) : 0;
    // A variable by its name (GearHandle) or by its number (24).
    const VariableName* named = nullptr;
    for (const VariableName& variable : VariableNames)
        if (p[first] == variable.Name) named = &variable;
    m.VariableId = named != nullptr
                       ? named->Id
                       : static_cast<std::int16_t>(IntegerArg(p[first], "ID", -32768, 32767));
    m.VariableValue =
        static_cast<std::int32_t>(IntegerArg(p[first + 1], "VALUE", INT32_MIN, INT32_MAX));
    return SendOnce(target, !args.Has("no-connect"), m);
}

}  // namespace velmir::client::tool
