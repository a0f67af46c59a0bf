#include "core/Clock.h"

#include "core/Log.h"
#include "core/Platform.h"

namespace velmir {

double ClockFrequency = 0.0;
std::int64_t ClockStart = 0;
double PluginClock = 0.0;

void StartClock() {
    PluginClock = 0.0;  // until the first frame, also after a restart
    std::int64_t frequency = 0;
    if (!QueryCounterFrequency(&frequency)) {
        LogMessage("Velmir: Failed to query performance counter");
    }
    ClockFrequency = static_cast<double>(frequency);
    std::int64_t now = 0;
    QueryCounter(&now);
    ClockStart = now;
}

void RefreshPluginClock() {
    std::int64_t now = 0;
    QueryCounter(&now);
    // Without a frequency the clock cannot run; it then stays at 0.
    if (ClockFrequency > 0.0) PluginClock = static_cast<double>(now - ClockStart) / ClockFrequency;
}

}  // namespace velmir
