// A minimal plugin module for the host's own tests: it logs what it sees so a
// test can check entry points, SDK symbol resolution, the simulated clock and
// that an unload really drops the module's state.
#include <time.h>

#include <cstdio>
#include <cstring>

#include "XPLMDataAccess.h"
#include "XPLMProcessing.h"
#include "XPLMUtilities.h"

namespace {

int g_starts = 0;  // survives only as long as the module stays mapped

void Log(const char* format, double a, double b) {
    char line[128];
    snprintf(line, sizeof line, format, a, b);
    XPLMDebugString(line);
}

float EverySecond(float, float, int, void*) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    Log("HostTestPlugin: clock %.3f elapsed %.3f\n", double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9,
        double(XPLMGetElapsedTime()));
    return 1.0f;
}

}  // namespace

extern "C" {

PLUGIN_API int XPluginStart(char* outName, char* outSig, char* outDesc) {
    strcpy(outName, "HostTestPlugin");
    strcpy(outSig, "velmir.host.test");
    strcpy(outDesc, "Exercises the host.");
    ++g_starts;
    Log("HostTestPlugin: start %.0f latitude %.1f\n", g_starts,
        XPLMGetDatad(XPLMFindDataRef("sim/flightmodel/position/latitude")));
    XPLMRegisterFlightLoopCallback(EverySecond, 1.0f, nullptr);
    return 1;
}

PLUGIN_API void XPluginStop(void) {
    XPLMUnregisterFlightLoopCallback(EverySecond, nullptr);
    XPLMDebugString("HostTestPlugin: stop\n");
}

PLUGIN_API int XPluginEnable(void) { return 1; }
PLUGIN_API void XPluginDisable(void) {}
PLUGIN_API void XPluginReceiveMessage(int, int, void*) {}

}  // extern "C"
