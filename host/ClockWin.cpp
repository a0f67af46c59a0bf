// The clock on Windows. A DLL cannot take over the C library's clock for the
// whole process as libvelmir_host.so does on Linux, and the plugin reads the
// performance counter there anyway: simulated time reaches it only through
// XPLMGetElapsedTime. The mode is still kept so the API behaves the same.
#include <atomic>

#include "host/HostState.h"

namespace velmir::host {
namespace {

std::atomic<bool> g_modeSimulated{true};

}  // namespace

namespace detail {

void PublishClock(bool, double) {}

void SetClockSimulated(bool on) { g_modeSimulated.store(on); }

}  // namespace detail

void SetClockMode(ClockMode mode) { detail::SetClockSimulated(mode == ClockMode::Simulated); }

ClockMode GetClockMode() { return g_modeSimulated.load() ? ClockMode::Simulated : ClockMode::Real; }

}  // namespace velmir::host
