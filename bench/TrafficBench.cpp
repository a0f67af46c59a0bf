// Remote aircraft: the cost of a frame's motion step (warm, and alone with
// cold caches, the plugin's share apart from the host's) and of the label
// overlay with a full table, and how closely the shown aircraft follows a
// real one when its samples come late or not at all.
#include "tests/support/LinkedPlugin.h"
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>
#if defined(__x86_64__)
#include <x86intrin.h>
#endif

#include "XPLMDataAccess.h"
#include "XPLMInstance.h"
#include "XPLMPlanes.h"
#include "host/Host.h"
#include "plugin/Schedule.h"
#include "link/Connection.h"
#include "core/Clock.h"
#include "plugin/Lifecycle.h"
#include "traffic/AircraftTable.h"
#include "traffic/Labels.h"
#include "traffic/ModelInjection.h"
#include "traffic/Motion.h"
#include "bench/BenchSimulator.h"
#include "unit/AllocationCounter.h"

// The SDK calls of a motion frame, routed here by the linker (--wrap, see
// CMakeLists.txt) so that a benchmark can make the host's side of them
// nearly free and see what the plugin's own code costs.
namespace {
bool HostCallsFree = false;
long HostCalls = 0;
}  // namespace

extern "C" {
void __real_XPLMInstanceSetPosition(XPLMInstanceRef, const XPLMDrawInfo_t*, const float*);
void __real_XPLMSetDatavi(XPLMDataRef, int*, int, int);
void __real_XPLMSetDatavf(XPLMDataRef, float*, int, int);
void __real_XPLMSetDatab(XPLMDataRef, void*, int, int);
void __real_XPLMSetActiveAircraftCount(int);

void __wrap_XPLMInstanceSetPosition(XPLMInstanceRef instance, const XPLMDrawInfo_t* position,
                                    const float* data) {
    ++HostCalls;
    if (!HostCallsFree) __real_XPLMInstanceSetPosition(instance, position, data);
}
void __wrap_XPLMSetDatavi(XPLMDataRef ref, int* values, int offset, int count) {
    ++HostCalls;
    if (!HostCallsFree) __real_XPLMSetDatavi(ref, values, offset, count);
}
void __wrap_XPLMSetDatavf(XPLMDataRef ref, float* values, int offset, int count) {
    ++HostCalls;
    if (!HostCallsFree) __real_XPLMSetDatavf(ref, values, offset, count);
}
void __wrap_XPLMSetDatab(XPLMDataRef ref, void* value, int offset, int length) {
    ++HostCalls;
    if (!HostCallsFree) __real_XPLMSetDatab(ref, value, offset, length);
}
void __wrap_XPLMSetActiveAircraftCount(int count) {
    ++HostCalls;
    if (!HostCallsFree) __real_XPLMSetActiveAircraftCount(count);
}
}

namespace velmir {
namespace {

using namespace bench;

// One per-frame loop with every slot active: 40 aircraft of 8 objects each,
// the planes held, so each frame steps, places 320 instances and writes 40
// traffic targets. The host's own SDK bookkeeping is part of the figure.
void BM_MotionFrame40x8(benchmark::State& state) {
    Simulator sim;
    sim.FillTable(8);
    AcquirePlanes();
    host::SetJournalEnabled(false);
    const int sets = host::Counts().instancePositionSets;
    // The frame reads the clock itself; moving its origin back one frame's
    // worth per call makes every call a full 60 Hz step.
    const std::int64_t frameTicks = static_cast<std::int64_t>(ClockFrequency / 60.0);
    for (auto _ : state) {
        ClockStart -= frameTicks;
        benchmark::DoNotOptimize(MotionFrame(0.0f, 0.0f, 0, nullptr));
    }
    state.counters["instances/frame"] =
        static_cast<double>(host::Counts().instancePositionSets - sets) /
        static_cast<double>(state.iterations());
    state.counters["targets"] = host::ActiveAircraftCount();
}
BENCHMARK(BM_MotionFrame40x8)->Unit(benchmark::kMicrosecond);

// Reading a buffer half again as large as the last-level cache leaves
// little of the plugin's or the host's data and code cached: what a frame
// meets after the simulator has drawn a scene.
class CacheEvictor {
  public:
    CacheEvictor() {
        const long lastLevel = sysconf(_SC_LEVEL3_CACHE_SIZE);
        buffer_.assign(lastLevel > 0 ? static_cast<std::size_t>(lastLevel) * 3 / 2 : 256u << 20, 1);
    }
    void Evict() {
        unsigned sum = 0;
        for (std::size_t i = 0; i < buffer_.size(); i += 64) sum += buffer_[i];
        benchmark::DoNotOptimize(sum);
    }

  private:
    std::vector<std::uint8_t> buffer_;
};

// A timer that touches no memory, so that it adds no cache misses of its own
// to a cold frame: the time stamp counter where there is one.
std::uint64_t Ticks() {
#if defined(__x86_64__)
    _mm_lfence();
    const std::uint64_t ticks = __rdtsc();
    _mm_lfence();
    return ticks;
#else
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
#endif
}

double TicksPerMicrosecond() {
    const auto start = std::chrono::steady_clock::now();
    const std::uint64_t first = Ticks();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(50)) {
    }
    const double elapsed =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    return static_cast<double>(Ticks() - first) / elapsed;
}

double Median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

// The same frame as above, but each one timed alone with the caches evicted
// before it (argument 1; 0 keeps them warm), and every other frame run with
// the host's side of the SDK calls skipped. The median with the host's calls
// skipped is the plugin's own cost (plugin_us); the difference to the median
// with them is the host's bookkeeping (host_us). plugin_us still holds the
// clock read, measured alone as clock_us. Allocations are counted inside the
// timed frames only.
void BM_MotionFrameAlone40x8(benchmark::State& state) {
    const bool cold = state.range(0) != 0;
    Simulator sim;
    sim.FillTable(8);
    AcquirePlanes();
    host::SetJournalEnabled(false);
    CacheEvictor* evictor = cold ? new CacheEvictor : nullptr;
    const std::int64_t frameTicks = static_cast<std::int64_t>(ClockFrequency / 60.0);
    const double perMicrosecond = TicksPerMicrosecond();
    std::vector<double> total, own, clock;
    total.reserve(static_cast<std::size_t>(state.max_iterations));
    own.reserve(static_cast<std::size_t>(state.max_iterations));
    clock.reserve(static_cast<std::size_t>(state.max_iterations));
    std::size_t allocations = 0;
    const long callsBefore = HostCalls;
    auto frame = [&](bool free) {
        if (evictor) evictor->Evict();
        ClockStart -= frameTicks;
        HostCallsFree = free;
        const std::size_t allocated = test::AllocationCount();
        const std::uint64_t start = Ticks();
        benchmark::DoNotOptimize(MotionFrame(0.0f, 0.0f, 0, nullptr));
        const std::uint64_t end = Ticks();
        allocations += test::AllocationCount() - allocated;
        HostCallsFree = false;
        return static_cast<double>(end - start) / perMicrosecond;
    };
    for (auto _ : state) {
        const double withHost = frame(false);
        own.push_back(frame(true));
        total.push_back(withHost);
        state.SetIterationTime(withHost * 1e-6);
        // The frame's first step alone: the clock read, which here passes
        // through the host's clock_gettime (it can run simulated time).
        if (evictor) evictor->Evict();
        const std::uint64_t start = Ticks();
        RefreshPluginClock();
        clock.push_back(static_cast<double>(Ticks() - start) / perMicrosecond);
    }
    delete evictor;
    const double totalMedian = Median(total), ownMedian = Median(own);
    state.counters["total_us"] = totalMedian;
    state.counters["plugin_us"] = ownMedian;
    state.counters["host_us"] = totalMedian - ownMedian;
    state.counters["clock_us"] = Median(clock);
    // The clock read goes through the host's stand-in for the system clock:
    // the simulator's (and the system's) cost, not the plugin's.
    state.counters["plugin_without_clock_us"] = ownMedian - Median(clock);
    state.counters["allocations"] = static_cast<double>(allocations);
    state.counters["sdk_calls/frame"] =
        static_cast<double>(HostCalls - callsBefore) / (2.0 * static_cast<double>(total.size()));
}
BENCHMARK(BM_MotionFrameAlone40x8)
    ->ArgName("cold")
    ->Arg(1)
    ->Arg(0)
    ->Iterations(301)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// One draw of the overlay with 40 labels of all five parts, every one in
// front of the camera.
void BM_DrawLabels40(benchmark::State& state) {
    Simulator sim;
    sim.FillTable(1);
    host::SetCameraAutoUpdate(false);
    const std::vector<float> identity = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    host::SetFloats("sim/graphics/view/world_matrix", identity);
    host::SetFloats("sim/graphics/view/projection_matrix_3d", identity);
    for (int slot = 1; slot <= SlotCount; ++slot) {
        AircraftRecord& r = AircraftTable[slot - 1];
        // Spread over the window: x from -0.9 to 0.9, in front (z > 0).
        r.ShownPosition[0] = r.Position[0] = -0.9 + 0.045 * slot;
        r.ShownPosition[1] = r.Position[1] = -3.0;
        r.ShownPosition[2] = r.Position[2] = 1.0 + slot;
        for (int i = 0; i < 3; ++i) r.Velocity[i] = r.Accel[i] = r.ShownVelocity[i] = 0.0f;
        r.LabelDistance = slot < 20 ? 0.1f * slot : 1.7f * slot;
        r.AltitudeFeet = 3000.0f + 100.0f * slot;
        r.LabelSpeed = 90.0f + slot;
    }
    ApplyLabelSettings(
        test::Wire(2, 31).At(26, std::uint8_t{31}).At(27, std::uint32_t{0xFF80FF40u}).data());
    host::SetJournalEnabled(false);

    int labels = 0;
    for (auto _ : state) {
        // The host keeps every text drawn in a frame: start a fresh frame
        // outside the measurement, then time one overlay draw.
        LabelFlags = 0;
        host::RunFrame();
        LabelFlags = static_cast<std::uint8_t>(state.range(0));
        const auto start = std::chrono::steady_clock::now();
        DrawLabels(xplm_Phase_Window, 0, nullptr);
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        labels = static_cast<int>(host::TextDraws().size()) / 2;
    }
    state.counters["labels"] = labels;
}
BENCHMARK(BM_DrawLabels40)->Arg(3)->Arg(31)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velmir
