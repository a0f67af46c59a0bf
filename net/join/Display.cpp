#include "net/join/Display.h"

#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

namespace velmir::net {

namespace {
double Round(double v, double step) { return std::round(v / step) * step; }

// Model names come from strangers: on a terminal, bytes past ASCII could be
// read as control sequences, so the table shows them as '?'.
std::string Printable(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    return text;
}
}  // namespace

std::string FormatJson(const Status& s, bool final) {
    nlohmann::json j;
    if (final) j["final"] = true;
    j["t"] = Round(s.Seconds, 0.001);
    j["callsign"] = s.Callsign;
    nlohmann::json pilots = nlohmann::json::array();
    for (const PilotView& p : s.Pilots) {
        nlohmann::json row;
        row["callsign"] = p.Callsign;
        row["origin"] = p.Origin;
        row["model"] = p.Model;
        row["type"] = p.Type;
        // How its slot's model was chosen (null without a slot shown).
        row["match"] = p.Match.empty() ? nlohmann::json(nullptr) : nlohmann::json(p.Match);
        row["csl_model"] =
            p.MatchedModel.empty() ? nlohmann::json(nullptr) : nlohmann::json(p.MatchedModel);
        row["gear"] = p.GearShown ? nlohmann::json(*p.GearShown == Gear::Down ? "down" : "up")
                                  : nlohmann::json(nullptr);
        row["distance_nm"] = Round(p.DistanceNm, 0.01);
        row["bearing_deg"] = Round(p.BearingDeg, 0.1);
        row["altitude_ft"] = Round(p.AltitudeFt, 1.0);
        row["slot"] = p.Slot ? nlohmann::json(p.Slot) : nlohmann::json(nullptr);
        row["age_ms"] = Round(p.AgeMs, 1.0);
        row["latency_ms"] =
            p.LatencyMs ? nlohmann::json(Round(*p.LatencyMs, 0.01)) : nlohmann::json(nullptr);
        pilots.push_back(std::move(row));
    }
    j["pilots"] = std::move(pilots);
    nlohmann::json dropped;
    for (int r = 1; r < DropReasonCount; ++r)
        if (s.Count.DroppedBy[r])
            dropped[ToString(static_cast<DropReason>(r))] = s.Count.DroppedBy[r];
    j["counters"] = {{"published", s.Count.Published},
                     {"received", s.Count.Received},
                     {"dropped", s.Count.Dropped},
                     {"slots_used", s.SlotsUsed},
                     {"forwarded", s.Count.Forwarded},
                     {"dropped_by", dropped.is_null() ? nlohmann::json::object() : dropped},
                     {"heard", s.Heard},
                     {"limited_by",
                      {{"rate", s.Count.RateLimited},
                       {"shows", s.Count.ShowLimited},
                       {"table_full", s.Count.TableFull}}},
                     {"identity_restored", s.Count.IdentityRestored}};
    j["broker"] = s.BrokerConnected;
    j["plugin"] = s.PluginAnswering;
    // Model paths come from strangers: never let bad UTF-8 stop the output.
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string FormatStatusLine(const Status& s) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "%.0f s %s: broker %s, plugin %s, %zu pilots, %d slots, published %llu, "
                  "received %llu, dropped %llu",
                  s.Seconds, s.Callsign.c_str(), s.BrokerConnected ? "up" : "DOWN",
                  s.PluginAnswering ? "up" : "SILENT", s.Pilots.size(), s.SlotsUsed,
                  static_cast<unsigned long long>(s.Count.Published),
                  static_cast<unsigned long long>(s.Count.Received),
                  static_cast<unsigned long long>(s.Count.Dropped));
    return line;
}

std::string FormatTable(const Status& s) {
    std::string out = "\x1b[H";  // home; each line is cleared to its end
    auto add = [&out](const std::string& line) { out += line + "\x1b[K\n"; };
    add(FormatStatusLine(s));
    add("");
    char line[256];
    std::snprintf(line, sizeof line, "%-10s %-24s %-4s %-18s %8s %5s %8s %7s %7s %8s", "CALLSIGN",
                  "MODEL", "TYPE", "MATCH", "DIST nm", "BRG", "ALT ft", "SLOT", "AGE ms", "LAT ms");
    add(line);
    for (const PilotView& p : s.Pilots) {
        const std::string slot = p.Slot ? std::to_string(p.Slot) : "no slot";
        const std::string latency =
            p.LatencyMs ? std::to_string(static_cast<int>(std::lround(*p.LatencyMs))) : "-";
        const std::string type = p.Type.empty() ? "-" : p.Type;
        const std::string match = p.Match.empty() ? "-" : p.Match;
        std::snprintf(
            line, sizeof line, "%-10s %-24.24s %-4.4s %-18.18s %8.1f %5.0f %8.0f %7s %7.0f %8s",
            p.Callsign.c_str(), Printable(p.Model).c_str(), type.c_str(), match.c_str(),
            p.DistanceNm, p.BearingDeg, p.AltitudeFt, slot.c_str(), p.AgeMs, latency.c_str());
        add(line);
    }
    out += "\x1b[J";  // clear what an earlier, longer table left below
    return out;
}

}  // namespace velmir::net
