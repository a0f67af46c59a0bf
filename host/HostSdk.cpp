// The simulator API as plugins call it: the general, processing and planes
// functions (datarefs: DataRefs.cpp; scenery and graphics: Scenery.cpp).
#include <cstdio>
#include <cstring>

#include "host/HostState.h"

using namespace velmir::host;
using namespace velmir::host::detail;

extern "C" {

XPLM_API void XPLMDebugString(const char* inString) {
    Record("XPLMDebugString");
    if (!inString) {
        Error("XPLMDebugString(null)");
        return;
    }
    State& s = S();
    s.log += inString;
    if (s.logEcho) {
        fputs(inString, stdout);
        fflush(stdout);
    }
}

XPLM_API float XPLMGetElapsedTime(void) {
    Record("XPLMGetElapsedTime");
    return float(S().simTime);
}

XPLM_API void XPLMGetVersions(int* outXPlaneVersion, int* outXPLMVersion,
                              XPLMHostApplicationID* outHostID) {
    Record("XPLMGetVersions");
    if (outXPlaneVersion) *outXPlaneVersion = S().xplaneVersion;
    if (outXPLMVersion) *outXPLMVersion = 400;
    if (outHostID) *outHostID = 1;
}

XPLM_API void XPLMRegisterFlightLoopCallback(XPLMFlightLoop_f inFlightLoop, float inInterval,
                                             void* inRefcon) {
    Record("XPLMRegisterFlightLoopCallback", nullptr, inInterval);
    State& s = S();
    if (!inFlightLoop) {
        Error("XPLMRegisterFlightLoopCallback(null)");
        return;
    }
    if (FlightLoop* existing = FindLoop(inFlightLoop, inRefcon)) {
        Error("flight loop %p registered twice", reinterpret_cast<void*>(inFlightLoop));
        existing->info.registeredInterval = inInterval;
        Schedule(*existing, inInterval);
        return;
    }
    FlightLoop l;
    l.info.callback = inFlightLoop;
    l.info.refcon = inRefcon;
    l.info.registeredInterval = inInterval;
    l.lastCall = s.simTime;
    Schedule(l, inInterval);
    s.loops.push_back(l);
}

XPLM_API void XPLMUnregisterFlightLoopCallback(XPLMFlightLoop_f inFlightLoop, void* inRefcon) {
    Record("XPLMUnregisterFlightLoopCallback");
    FlightLoop* l = FindLoop(inFlightLoop, inRefcon);
    if (!l) {
        Error("unregistering flight loop %p that is not registered",
              reinterpret_cast<void*>(inFlightLoop));
        return;
    }
    l->registered = false;
    if (!S().inFlightLoops) EraseUnregistered();
}

XPLM_API int XPLMRegisterDrawCallback(XPLMDrawCallback_f inCallback, XPLMDrawingPhase inPhase,
                                      int inWantsBefore, void* inRefcon) {
    Record("XPLMRegisterDrawCallback", nullptr, inPhase, inWantsBefore);
    if (!inCallback) {
        Error("XPLMRegisterDrawCallback(null)");
        return 0;
    }
    DrawCallback d;
    d.info.callback = inCallback;
    d.info.phase = inPhase;
    d.info.wantsBefore = inWantsBefore;
    d.info.refcon = inRefcon;
    S().draws.push_back(d);
    return 1;
}

XPLM_API int XPLMUnregisterDrawCallback(XPLMDrawCallback_f inCallback, XPLMDrawingPhase inPhase,
                                        int inWantsBefore, void* inRefcon) {
    Record("XPLMUnregisterDrawCallback", nullptr, inPhase, inWantsBefore);
    // Only marked: the entry may be in the middle of RunDrawCallbacks.
    for (auto& d : S().draws) {
        if (d.registered && d.info.callback == inCallback && d.info.phase == inPhase &&
            d.info.wantsBefore == inWantsBefore && d.info.refcon == inRefcon) {
            d.registered = false;
            return 1;
        }
    }
    return 0;
}

XPLM_API int XPLMAcquirePlanes(char** inAircraft, XPLMPlanesAvailable_f inCallback,
                               void* inRefcon) {
    (void)inAircraft;
    Record("XPLMAcquirePlanes");
    State& s = S();
    ++s.counts.acquirePlanes;
    if (s.planesHeld) return 1;
    if (s.planesAvailable) {
        s.planesHeld = true;
        s.planesCallbackPending = s.planesCallbackDue = false;
        s.planesCallback = nullptr;
        return 1;
    }
    s.planesCallback = inCallback;
    s.planesRefcon = inRefcon;
    s.planesCallbackPending = inCallback != nullptr;
    return 0;
}

XPLM_API void XPLMReleasePlanes(void) {
    Record("XPLMReleasePlanes");
    State& s = S();
    ++s.counts.releasePlanes;
    s.planesHeld = false;
    // Giving up also withdraws a request still waiting for the planes.
    s.planesCallbackPending = s.planesCallbackDue = false;
    s.planesCallback = nullptr;
}

XPLM_API void XPLMSetActiveAircraftCount(int inCount) {
    Record("XPLMSetActiveAircraftCount", nullptr, inCount);
    S().activeAircraft = inCount;
}

XPLM_API void XPLMGetNthAircraftModel(int inIndex, char* outFileName, char* outPath) {
    Record("XPLMGetNthAircraftModel", nullptr, inIndex);
    State& s = S();
    const std::string empty;
    const std::string& file = inIndex == 0 ? s.modelFile : empty;
    const std::string& path = inIndex == 0 ? s.modelPath : empty;
    if (outFileName) snprintf(outFileName, 256, "%s", file.c_str());
    if (outPath) snprintf(outPath, 512, "%s", path.c_str());
}

}  // extern "C"
