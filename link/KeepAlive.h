#pragma once

namespace velmir {

// Every 2.0 s: the InfoMessage (the simulator's version) to a connected client.
void ReportKeepAlive();

}  // namespace velmir
