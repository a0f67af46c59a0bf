// Simulated CLOCK_MONOTONIC. The plugin's clock reads
// clock_gettime(CLOCK_MONOTONIC); this library defines clock_gettime itself,
// and because executables link it before libc, every such call in the process
// lands here. Other clock ids, and everything outside a session, go to the
// real function.
#include <dlfcn.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdint>

#include "host/HostState.h"

namespace {

using ClockFn = int (*)(clockid_t, timespec*);

// Atomics: other threads (test runners, sanitizers, the client) read clocks.
std::atomic<bool> g_session{false};
std::atomic<bool> g_modeSimulated{true};
std::atomic<bool> g_simulated{false};
std::atomic<int64_t> g_nanos{0};
std::atomic<ClockFn> g_real{nullptr};
thread_local bool t_resolving = false;

int SyscallClock(clockid_t id, timespec* ts) { return int(syscall(SYS_clock_gettime, id, ts)); }

int RealClock(clockid_t id, timespec* ts) {
    ClockFn fn = g_real.load(std::memory_order_acquire);
    if (!fn) {
        // dlsym could conceivably read a clock itself; do not recurse into it.
        if (t_resolving) return SyscallClock(id, ts);
        t_resolving = true;
        fn = reinterpret_cast<ClockFn>(dlsym(RTLD_NEXT, "clock_gettime"));
        t_resolving = false;
        if (!fn || fn == &clock_gettime) fn = &SyscallClock;
        g_real.store(fn, std::memory_order_release);
    }
    return fn(id, ts);
}

void Update() { g_simulated.store(g_session.load() && g_modeSimulated.load()); }

}  // namespace

extern "C" __attribute__((visibility("default"))) int clock_gettime(clockid_t id,
                                                                    struct timespec* ts) noexcept {
    if (id == CLOCK_MONOTONIC && g_simulated.load(std::memory_order_relaxed)) {
        const int64_t ns = g_nanos.load(std::memory_order_relaxed);
        ts->tv_sec = time_t(ns / 1000000000);
        ts->tv_nsec = long(ns % 1000000000);
        return 0;
    }
    return RealClock(id, ts);
}

namespace velmir::host {

namespace detail {

void PublishClock(bool session, double simTime) {
    g_nanos.store(int64_t(std::llround((kClockBase + simTime) * 1e9)), std::memory_order_relaxed);
    g_session.store(session);
    Update();
}

void SetClockSimulated(bool on) {
    g_modeSimulated.store(on);
    Update();
}

}  // namespace detail

void SetClockMode(ClockMode mode) { detail::SetClockSimulated(mode == ClockMode::Simulated); }

ClockMode GetClockMode() { return g_modeSimulated.load() ? ClockMode::Simulated : ClockMode::Real; }

}  // namespace velmir::host
