// What velmir-client's commands share: checked arguments, the target, output.
#include <csignal>
#include <cstdio>

#include "client/Tool.h"

namespace velmir::client::tool {

volatile std::sig_atomic_t StopRequested = 0;

// ------------------------------------------------------------ arguments --

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
    Description d{"error", {}};
    auto field = [&](const char* key, DescribedField::Kind kind) -> DescribedField& {
        DescribedField& f = d.Fields.emplace_back();
        f.Key = key;
        f.Type = kind;
        return f;
    };
    field("reason", DescribedField::Kind::Text).Text = ToString(r.Result.Error);
    field("length", DescribedField::Kind::Number).Number = static_cast<double>(r.Length);
    if (r.Raw.size() >= HeaderLength)
        field("message_type", DescribedField::Kind::Number).Number = r.Raw[HeaderLength - 1];
    return json ? FormatJson(d, at) : FormatText(d, at);
}

}  // namespace velmir::client::tool
