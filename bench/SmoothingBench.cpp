// Smoothing quality of the plugin's motion step against a known path.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "bench/BenchSimulator.h"

namespace velmir {
namespace {

using namespace bench;

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
