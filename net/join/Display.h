// What the pilot sees: the table refreshed in place, a status line, or one
// JSON object per line (the format other tools read).
#pragma once

#include <string>
#include <vector>

#include "net/pilot/Pilot.h"

namespace velmir::net {

struct Status {
    double Seconds = 0;  // since start
    std::string Callsign;
    std::vector<PilotView> Pilots;
    Counters Count;
    std::size_t Heard = 0;  // pilots in the table; Pilots holds the nearest of them
    int SlotsUsed = 0;
    bool BrokerConnected = false;
    bool PluginAnswering = false;
};

std::string FormatJson(const Status&, bool final);
// The whole screen: cursor home, table, clear to the end.
std::string FormatTable(const Status&);
std::string FormatStatusLine(const Status&);

}  // namespace velmir::net
