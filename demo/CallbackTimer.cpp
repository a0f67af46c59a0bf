// Timed trampolines for the plugin's flight loops and draw callbacks.
#include "demo/CallbackTimer.h"

#include <dlfcn.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>

#include "XPLMDisplay.h"
#include "XPLMProcessing.h"

namespace velmir::demo {
namespace {

// The plugin registers a handful of callbacks; entries are never freed, so a
// refcon handed to the host stays valid for the life of the process.
constexpr int MaxEntries = 32;

struct LoopEntry {
    XPLMFlightLoop_f Callback;
    void* Refcon;
};
struct DrawEntry {
    XPLMDrawCallback_f Callback;
    void* Refcon;
};

LoopEntry g_loops[MaxEntries];
int g_loopCount = 0;
DrawEntry g_draws[MaxEntries];
int g_drawCount = 0;

double g_seconds = 0;
int g_calls = 0;
int g_wrapped = 0;

// CLOCK_MONOTONIC is simulated while a host session runs; the raw clock is not.
double RawNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

template <class Fn>
Fn Next(const char* name) {
    void* symbol = dlsym(RTLD_NEXT, name);
    if (!symbol) {
        // Without the host's function the plugin could not run at all.
        std::fprintf(stderr, "velmir-demo: the host does not provide %s\n", name);
        std::abort();
    }
    return reinterpret_cast<Fn>(symbol);
}

using RegisterLoopFn = void (*)(XPLMFlightLoop_f, float, void*);
using UnregisterLoopFn = void (*)(XPLMFlightLoop_f, void*);
using RegisterDrawFn = int (*)(XPLMDrawCallback_f, XPLMDrawingPhase, int, void*);

float TimedLoop(float sinceCall, float sinceLoop, int counter, void* refcon) {
    const LoopEntry* entry = static_cast<const LoopEntry*>(refcon);
    const double start = RawNow();
    const float next = entry->Callback(sinceCall, sinceLoop, counter, entry->Refcon);
    g_seconds += RawNow() - start;
    ++g_calls;
    return next;
}

int TimedDraw(XPLMDrawingPhase phase, int isBefore, void* refcon) {
    const DrawEntry* entry = static_cast<const DrawEntry*>(refcon);
    const double start = RawNow();
    const int result = entry->Callback(phase, isBefore, entry->Refcon);
    g_seconds += RawNow() - start;
    ++g_calls;
    return result;
}

// The same (callback, refcon) pair always maps to the same entry, so an
// unregistration finds what its registration handed to the host.
LoopEntry* LoopEntryFor(XPLMFlightLoop_f callback, void* refcon, bool create) {
    for (int i = 0; i < g_loopCount; ++i)
        if (g_loops[i].Callback == callback && g_loops[i].Refcon == refcon) return &g_loops[i];
    if (!create || g_loopCount == MaxEntries) return nullptr;
    g_loops[g_loopCount] = {callback, refcon};
    return &g_loops[g_loopCount++];
}

}  // namespace

CallbackTime TakeCallbackTime() {
    const CallbackTime taken{g_seconds, g_calls};
    g_seconds = 0;
    g_calls = 0;
    return taken;
}

int WrappedCallbacks() { return g_wrapped; }

}  // namespace velmir::demo

using namespace velmir::demo;

extern "C" {

XPLM_API void XPLMRegisterFlightLoopCallback(XPLMFlightLoop_f callback, float interval,
                                             void* refcon) {
    static const auto next = Next<RegisterLoopFn>("XPLMRegisterFlightLoopCallback");
    LoopEntry* entry = LoopEntryFor(callback, refcon, true);
    if (!entry) {  // table full: untimed rather than lost
        next(callback, interval, refcon);
        return;
    }
    ++g_wrapped;
    next(&TimedLoop, interval, entry);
}

XPLM_API void XPLMUnregisterFlightLoopCallback(XPLMFlightLoop_f callback, void* refcon) {
    static const auto next = Next<UnregisterLoopFn>("XPLMUnregisterFlightLoopCallback");
    if (LoopEntry* entry = LoopEntryFor(callback, refcon, false))
        next(&TimedLoop, entry);
    else
        next(callback, refcon);
}

XPLM_API int XPLMRegisterDrawCallback(XPLMDrawCallback_f callback, XPLMDrawingPhase phase,
                                      int wantsBefore, void* refcon) {
    static const auto next = Next<RegisterDrawFn>("XPLMRegisterDrawCallback");
    for (int i = 0; i < g_drawCount; ++i)
        if (g_draws[i].Callback == callback && g_draws[i].Refcon == refcon)
            return next(&TimedDraw, phase, wantsBefore, &g_draws[i]);
    if (g_drawCount == MaxEntries) return next(callback, phase, wantsBefore, refcon);
    g_draws[g_drawCount] = {callback, refcon};
    ++g_wrapped;
    return next(&TimedDraw, phase, wantsBefore, &g_draws[g_drawCount++]);
}

XPLM_API int XPLMUnregisterDrawCallback(XPLMDrawCallback_f callback, XPLMDrawingPhase phase,
                                        int wantsBefore, void* refcon) {
    static const auto next = Next<RegisterDrawFn>("XPLMUnregisterDrawCallback");
    for (int i = 0; i < g_drawCount; ++i)
        if (g_draws[i].Callback == callback && g_draws[i].Refcon == refcon)
            return next(&TimedDraw, phase, wantsBefore, &g_draws[i]);
    return next(callback, phase, wantsBefore, refcon);
}

}  // extern "C"
