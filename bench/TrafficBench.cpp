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
#include "link/Messages.h"
#include "core/Clock.h"
#include "plugin/Lifecycle.h"
#include "traffic/AircraftTable.h"
#include "traffic/Labels.h"
#include "traffic/ModelInjection.h"
#include "traffic/Motion.h"
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

namespace fs = std::filesystem;

constexpr double Pi = 3.14159265358979323846;

void Header(std::uint8_t* bytes, std::uint8_t type, int index) {
    ConstructHeader(bytes);
    Put(bytes, Field<std::uint16_t>{21}, 21007);
    Put(bytes, Field<std::uint8_t>{23}, type);
    Put(bytes, Field<std::uint8_t>{24}, index);
}

struct Sample {
    int index;
    double time, x, y, z;
    float pitch, bank, heading, vx, vy, vz, pitchRate, yawRate, rollRate, ax, ay, az;
};

// PositionMessage, offsets as the protocol tables give them.
void SendPosition(const Sample& s) {
    std::uint8_t bytes[1024] = {};
    Header(bytes, 4, s.index);
    const host::GeoPoint geo = host::LocalToWorld(s.x, s.y, s.z);
    Put(bytes, Field<double>{25}, s.time);
    Put(bytes, Field<double>{33}, geo.lat);
    Put(bytes, Field<double>{41}, geo.lon);
    Put(bytes, Field<double>{49}, geo.alt);
    const float floats[] = {s.pitch,     s.bank,    s.heading,  s.vx, s.vy, s.vz,
                            s.pitchRate, s.yawRate, s.rollRate, s.ax, s.ay, s.az};
    for (int i = 0; i < 12; ++i)
        Put(bytes, Field<float>{static_cast<std::uint16_t>(57 + 4 * i)}, floats[i]);
    Put(bytes, Field<float>{115}, -1.0f);
    HandlePosition(bytes);
}

// A host session with the plugin's code started in this process, reading
// slot folders from a scratch directory.
class Simulator {
  public:
    Simulator() {
        char pattern[] = "/tmp/velmir-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        root_ = pattern;
        previous_ = fs::current_path();
        fs::current_path(root_);
        host::Reset();
        host::SetLogEcho(false);
        host::SetRoot(root_.string());
        host::SetLoadDelayFrames(0);
        host::AttachPlugin(test::LinkedPlugin());
        host::StartPlugin();
        host::RunFrame();
        // The host's simulated clock would stop the benchmark's own timers;
        // each benchmark drives the plugin clock itself instead.
        host::SetClockMode(host::ClockMode::Real);
    }
    ~Simulator() {
        host::EndSession();
        fs::current_path(previous_);
        fs::remove_all(root_);
    }

    // Every slot gets a model of `objects` parts and a first sample.
    void FillTable(int objects) {
        std::string objectList;
        for (int i = 0; i < objects; ++i)
            objectList +=
                "part.obj 0 0 0 " + std::to_string(i % 3) + " 0.5 " + std::to_string(i - 4) + "\n";
        for (int slot = 1; slot <= SlotCount; ++slot) {
            char folder[64];
            std::snprintf(folder, sizeof folder, "Resources/plugins/Velmir/inject%03d/", slot);
            fs::create_directories(root_ / folder / "objects");
            std::ofstream(root_ / folder / "objects" / "part.obj") << "I\n800\nOBJ\n";
            std::ofstream(root_ / folder / "object_list") << objectList;
            std::ofstream(root_ / folder / "cog") << "0.5 -1 1.2\n";
            std::uint8_t model[1024] = {};
            Header(model, 3, slot);
            std::snprintf(reinterpret_cast<char*>(model + 29), 20, "Pilot %02d", slot);
            std::snprintf(reinterpret_cast<char*>(model + 49), 40, "N%05d", 10000 + slot);
            std::memcpy(model + 89, "Model", 5);
            ApplyModel(model);
        }
        host::RunFrame();
        for (int slot = 1; slot <= SlotCount; ++slot) {
            const double angle = slot * 2.0 * Pi / SlotCount;
            SendPosition(Sample{slot, 100.0, 2000.0 * std::cos(angle), 1500.0 + slot,
                                2000.0 * std::sin(angle), 2.0f, 15.0f, static_cast<float>(slot * 9),
                                50.0f, 1.0f, -20.0f, 0.5f, 3.0f, 1.0f, 0.2f, 0.0f, 0.1f});
        }
    }

  private:
    fs::path root_, previous_;
};

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
    std::uint8_t settings[1024] = {};
    Header(settings, 2, 0);
    Put(settings, Field<std::uint8_t>{26}, 31);
    Put(settings, Field<std::uint32_t>{27}, 0xFF80FF40u);
    ApplyLabelSettings(settings);
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

// Smoothing quality. A sender flies a circle of 1000 m radius at 60 m/s and
// samples it ten times a second; each sample is lost with probability
// `loss`, or delayed by up to `jitter` seconds and then waits for the next
// 0.1 s receive pass. Frames run at 60 Hz for 60 s; each frame compares the
// shown position with where the aircraft really is at that moment. The
// clock filter learns the sender's clock from arrival times, so the mean
// one-way delay shows up as lag along the track (mean_lag_s); the cross-track
// figure is what the prediction itself gets wrong.
void BM_SmoothingCircle(benchmark::State& state) {
    const double jitter = static_cast<double>(state.range(0)) / 1000.0;
    const double loss = static_cast<double>(state.range(1)) / 100.0;
    Simulator sim;
    constexpr double Radius = 1000.0, Speed = 60.0, Omega = Speed / Radius;  // rad/s
    constexpr double SenderOffset = 5000.0;  // the sender's clock runs ahead of ours
    constexpr double FrameTime = 1.0 / 60.0, SampleTime = 0.1, Duration = 60.0;
    // The clock filter takes a few seconds to settle after the first burst
    // of samples; the figures are taken over the 60 s after that.
    constexpr double WarmUp = 10.0;
    const float bank = static_cast<float>(std::atan(Speed * Omega / 9.80665) * 180.0 / Pi);

    auto truth = [&](double t, double* p) {
        const double a = Omega * t;
        p[0] = Radius * std::sin(a);
        p[1] = 1500.0;
        p[2] = -Radius * std::cos(a);
    };
    auto sampleAt = [&](double t) {
        // Flying clockwise seen from above: north at t = 0, heading east.
        const double a = Omega * t;
        Sample s{};
        s.index = 1;
        s.time = t + SenderOffset;
        s.x = Radius * std::sin(a);
        s.y = 1500.0;
        s.z = -Radius * std::cos(a);
        s.heading = static_cast<float>(std::fmod(a * 180.0 / Pi + 90.0, 360.0));
        s.bank = bank;
        s.vx = static_cast<float>(Speed * std::cos(a));
        s.vz = static_cast<float>(Speed * std::sin(a));
        s.yawRate = static_cast<float>(Omega * 180.0 / Pi);
        s.ax = static_cast<float>(-Speed * Omega * std::sin(a));
        s.az = static_cast<float>(Speed * Omega * std::cos(a));
        return s;
    };

    double rms = 0.0, worst = 0.0, warmUpWorst = 0.0, lag = 0.0, crossRms = 0.0;
    for (auto _ : state) {
        std::mt19937 random(7472);
        std::uniform_real_distribution<double> uniform(0.0, 1.0);
        ReleaseRecord(AircraftTable[0]);
        ResetRecord(AircraftTable[0]);

        struct InFlight {
            Sample sample;
            double arrival;
        };
        std::vector<InFlight> network;
        double sumSquares = 0.0, maxError = 0.0, maxWarmUp = 0.0, sumAlong = 0.0, sumCross = 0.0;
        long frames = 0;
        int nextSample = 0;
        const long totalFrames = std::lround((WarmUp + Duration) / FrameTime);
        for (long frame = 1; frame <= totalFrames; ++frame) {
            const double now = 10.0 + frame * FrameTime;
            // The sender ticks 20 ms before our receive pass: a sample that
            // is late by more than that waits one more pass.
            while (9.98 + nextSample * SampleTime <= now) {
                const double taken = 9.98 + nextSample * SampleTime;
                if (uniform(random) >= loss)
                    network.push_back({sampleAt(taken), taken + jitter * uniform(random)});
                ++nextSample;
            }
            PluginClock = now;
            // The 0.1 s receive pass.
            if (frame % 6 == 0) {
                for (std::size_t i = 0; i < network.size();) {
                    if (network[i].arrival <= now) {
                        SendPosition(network[i].sample);
                        network.erase(network.begin() + static_cast<long>(i));
                    } else {
                        ++i;
                    }
                }
            }
            UpdateMotion(AircraftTable[0]);
            if (AircraftTable[0].UpdatedAt == 0.0) continue;  // nothing shown yet
            double real[3];
            truth(now, real);
            const double* shown = AircraftTable[0].ShownPosition;
            const double d[3] = {shown[0] - real[0], shown[1] - real[1], shown[2] - real[2]};
            const double error = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
            // Split into lag along the track and deviation from it.
            const double a = Omega * now;
            const double along = d[0] * std::cos(a) + d[2] * std::sin(a);
            if (now < 10.0 + WarmUp) {
                maxWarmUp = std::max(maxWarmUp, error);
                continue;
            }
            sumSquares += error * error;
            sumAlong += along;
            sumCross += error * error - along * along;
            maxError = std::max(maxError, error);
            ++frames;
        }
        rms = std::sqrt(sumSquares / static_cast<double>(frames));
        worst = maxError;
        warmUpWorst = maxWarmUp;
        lag = -sumAlong / static_cast<double>(frames) / Speed;
        crossRms = std::sqrt(std::max(0.0, sumCross) / static_cast<double>(frames));
    }
    state.counters["rms_m"] = rms;
    state.counters["max_m"] = worst;
    state.counters["max_warmup_m"] = warmUpWorst;
    state.counters["mean_lag_s"] = lag;
    state.counters["cross_track_rms_m"] = crossRms;
}
BENCHMARK(BM_SmoothingCircle)
    ->ArgNames({"jitter_ms", "loss_pct"})
    ->Args({50, 5})
    ->Args({0, 0})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velmir
