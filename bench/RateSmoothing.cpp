// How far the shown aircraft strays from the real one when its samples come
// 10, 5, 2, 1 or 0.5 times a second. The built lin.xpl runs in the headless host on
// the simulated clock; the reference client's library streams one aircraft
// flying a traffic circuit (climb-out, four turns, descent) into it over UDP,
// each sample arriving a few milliseconds after it was taken, as from a
// broker nearby. Every frame the placed instance is compared with where the
// aircraft really is at that moment. The figures choose the network's rate
// tiers: a rate is good enough at the distance where its error is under one
// pixel (see docs/network.md).
//
// Run inside a network namespace of its own (the plugin binds port 7472):
//   scripts/netns-run build/bench/velmir-rate-smoothing
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "client/Client.h"
#include "client/Scenario.h"
#include "host/Host.h"

// Where this build put it (generated beside the objects).
extern const char* const VelmirXplPath;

namespace host = velmir::host;
namespace client = velmir::client;

namespace {

constexpr double Pi = 3.14159265358979323846;
constexpr double Gravity = 9.80665;
constexpr double FrameRate = 60.0;
constexpr double TableStep = 1.0 / 600.0;  // ten table rows per frame
double Speed = 50.0;                       // m/s, about 100 kt; 8 for the taxiing aircraft
// The taxiing aircraft turns five times as fast and stays level.
double YawScale = 1.0, ClimbScale = 1.0;
constexpr double SenderClockOffset = 5000.0;
constexpr double NetworkDelay = 0.004;  // broker on loopback, both ways
constexpr double SettleSeconds = 20.0;  // the clock filter learns the sender's clock
// One pixel of a 1920-pixel window with a 60 degree field of view.
constexpr double PixelRadians = (60.0 / 1920.0) * Pi / 180.0;

// Light turbulence on top of the flown path: sines in east, north and up
// (amplitude m, period s), a motion no extrapolation can foresee.
struct Gust {
    int Axis;  // 0 east, 1 up, 2 north
    double Amplitude, Period, Phase;
};
const Gust Gusts[] = {
    {0, 1.0, 7.0, 0.3}, {0, 0.3, 3.0, 1.1}, {2, 0.8, 6.5, 2.0},
    {2, 0.3, 2.7, 0.4}, {1, 1.5, 6.0, 0.9}, {1, 0.4, 2.5, 2.6},
};
// Offset, velocity and acceleration of the turbulence along one axis.
void Turbulence(double t, int axis, double out[3]) {
    out[0] = out[1] = out[2] = 0;
    for (const Gust& g : Gusts) {
        if (g.Axis != axis) continue;
        const double w = 2 * Pi / g.Period, a = w * t + g.Phase;
        out[0] += g.Amplitude * std::sin(a);
        out[1] += g.Amplitude * w * std::cos(a);
        out[2] -= g.Amplitude * w * w * std::sin(a);
    }
}

// Piecewise profile: from `at` seconds on, turn at `yawRate` deg/s and climb
// at `climb` m/s. Changes are ramped over RampSeconds, as a pilot rolls in.
struct Leg {
    double At, YawRate, Climb;
};
double RampSeconds = 1.5;  // 0.3 for the abrupt pilot
// A right-hand circuit at 100 kt: standard-rate turns (3 deg/s, 15 deg of
// bank), one steeper turn onto final (6 deg/s, 28 deg).
const Leg Circuit[] = {
    {0, 0, 0},       // level lead-in while the clock filter settles
    {25, 0, 3.5},    // climb-out
    {70, 3, 3.0},    // turn crosswind
    {100, 0, 2.0},   // crosswind
    {120, 3, 0.0},   // turn downwind, level off
    {150, 0, 0.0},   // downwind
    {215, 3, -2.5},  // turn base, descend
    {245, 0, -2.5},  // base
    {260, 6, -3.0},  // tight turn onto final (28 deg of bank)
    {275, 0, -3.0},  // final
    {330, 0, 0.0},   // go around level
};
constexpr double PathSeconds = 345.0;

double Profile(double t, double Leg::*field) {
    const double scale = field == &Leg::YawRate ? YawScale : ClimbScale;
    double value = 0;
    for (const Leg& leg : Circuit) {
        if (t < leg.At) break;
        const double previous = value;
        const double ramp = std::min(1.0, (t - leg.At) / RampSeconds);
        value = previous + (leg.*field * scale - previous) * ramp;
    }
    return value;
}

struct State {
    double X, Y, Z;  // local: x east, y up, z south
    double Heading;  // rad, true
    double YawRate;  // rad/s
    double Climb, ClimbRate;
};

std::vector<State> BuildTable() {
    std::vector<State> table;
    State s{0, 1000, 0, 0, 0, 0, 0};
    const int rows = static_cast<int>(PathSeconds / TableStep) + 2;
    constexpr int Substeps = 10;
    const double dt = TableStep / Substeps;
    for (int i = 0; i < rows; ++i) {
        const double t = i * TableStep;
        s.YawRate = Profile(t, &Leg::YawRate) * Pi / 180.0;
        s.Climb = Profile(t, &Leg::Climb);
        s.ClimbRate = (Profile(t + 0.01, &Leg::Climb) - Profile(t - 0.01, &Leg::Climb)) / 0.02;
        table.push_back(s);
        for (int k = 0; k < Substeps; ++k) {  // midpoint integration
            const double tm = t + (k + 0.5) * dt;
            const double h = s.Heading + 0.5 * dt * Profile(tm, &Leg::YawRate) * Pi / 180.0;
            s.X += Speed * std::sin(h) * dt;
            s.Z -= Speed * std::cos(h) * dt;
            s.Y += Profile(tm, &Leg::Climb) * dt;
            s.Heading += Profile(tm, &Leg::YawRate) * Pi / 180.0 * dt;
        }
    }
    return table;
}

// Where the aircraft is: the path plus, when `rough`, the turbulence.
struct Flown {
    double Position[3];      // local x, y, z
    double Velocity[3];      // local
    double Acceleration[3];  // local
};
Flown FlownAt(const State& s, double t, bool rough) {
    Flown f{{s.X, s.Y, s.Z},
            {Speed * std::sin(s.Heading), s.Climb, -Speed * std::cos(s.Heading)},
            {Speed * std::cos(s.Heading) * s.YawRate, s.ClimbRate,
             Speed * std::sin(s.Heading) * s.YawRate}};
    if (!rough) return f;
    for (int axis = 0; axis < 3; ++axis) {
        double g[3];
        Turbulence(t, axis, g);
        const double sign = axis == 2 ? -1.0 : 1.0;  // north is -z
        f.Position[axis] += sign * g[0];
        f.Velocity[axis] += sign * g[1];
        f.Acceleration[axis] += sign * g[2];
    }
    return f;
}

// The sample the sender's plugin would report for its aircraft at time t.
client::PositionReport SampleOf(const State& s, double t, bool rough) {
    const Flown f = FlownAt(s, t, rough);
    const host::GeoPoint geo = host::LocalToWorld(f.Position[0], f.Position[1], f.Position[2]);
    client::PositionReport m;
    m.AircraftIndex = 1;
    m.Time = SenderClockOffset + t;
    m.Latitude = geo.lat;
    m.Longitude = geo.lon;
    m.Altitude = geo.alt;
    m.Heading = static_cast<float>(std::fmod(s.Heading * 180.0 / Pi + 360.0, 360.0));
    m.Bank = static_cast<float>(std::atan(Speed * s.YawRate / Gravity) * 180.0 / Pi);
    m.Pitch = static_cast<float>(std::atan2(s.Climb, Speed) * 180.0 / Pi);
    m.VelocityX = static_cast<float>(f.Velocity[0]);
    m.VelocityY = static_cast<float>(f.Velocity[1]);
    m.VelocityZ = static_cast<float>(f.Velocity[2]);
    m.YawRate = static_cast<float>(s.YawRate * 180.0 / Pi);
    m.AccelX = static_cast<float>(f.Acceleration[0]);
    m.AccelY = static_cast<float>(f.Acceleration[1]);
    m.AccelZ = static_cast<float>(f.Acceleration[2]);
    m.RadioAltitude = -1.0f;
    return m;
}

struct Result {
    double Rate = 0;
    std::vector<double> Horizontal, Vertical, Turning;
    // Horizontal error split along the flown track (lag) and across it.
    std::vector<double> Along, Across;
    double Error = 0;
    bool Ok = false;
    std::string Why;
};

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t rank = static_cast<std::size_t>(std::ceil(p * v.size()));
    return v[std::min(v.size() - 1, rank == 0 ? 0 : rank - 1)];
}
double Rms(const std::vector<double>& v) {
    double sum = 0;
    for (double x : v) sum += x * x;
    return v.empty() ? 0 : std::sqrt(sum / v.size());
}

bool ShownPosition(double& x, double& y, double& z) {
    for (const host::InstanceInfo& instance : host::Instances()) {
        if (!instance.positioned || instance.objectPath.find("inject001") == std::string::npos)
            continue;
        x = instance.position.x;
        y = instance.position.y;
        z = instance.position.z;
        return true;
    }
    return false;
}

Result Measure(double rate, bool rough, const std::vector<State>& table, const std::string& root) {
    Result r;
    r.Rate = rate;
    host::Session session;
    host::SetLogEcho(false);
    host::SetRoot(root);
    std::string error;
    if (!host::LoadAndStart(VelmirXplPath, &error)) {
        r.Why = "plugin: " + error;
        return r;
    }
    client::Connection link;
    if (!link.Open("127.0.0.1", client::DefaultPort) || !link.Connect(1) ||
        !client::WriteSlotFolder(root, 1, error)) {
        r.Why = "client: " + link.LastError() + error;
        return r;
    }
    auto drain = [&] {
        while (link.Receive(0)) {
        }
    };
    host::RunFor(0.5);
    drain();
    client::ModelReport model;
    model.AircraftIndex = 1;
    model.DisplayName = "Rate";
    model.TailNumber = "HB-RATE";
    model.ModelName = "Cessna 172SP";
    link.Send(model);

    const double start = host::SimTime();
    const int framesPerSample = static_cast<int>(FrameRate / rate + 0.5);
    const int rowsPerFrame = static_cast<int>(1.0 / FrameRate / TableStep + 0.5);
    const long frames = static_cast<long>(PathSeconds * FrameRate) - 1;
    long nextSample = 0;  // in frames of path time
    for (long frame = 0; frame < frames; ++frame) {
        // Samples taken up to NetworkDelay ago have arrived by now.
        while (nextSample <= frame &&
               nextSample / FrameRate + NetworkDelay <= host::SimTime() - start) {
            const double t = nextSample / FrameRate;
            link.Send(SampleOf(table[nextSample * rowsPerFrame], t, rough));
            nextSample += framesPerSample;
        }
        host::RunFrame();
        drain();
        const double t = host::SimTime() - start;
        const long row = std::lround(t / TableStep);
        if (t < SettleSeconds || row >= static_cast<long>(table.size())) continue;
        double x, y, z;
        if (!ShownPosition(x, y, z)) {
            r.Why = "aircraft not shown at t=" + std::to_string(t);
            return r;
        }
        const Flown truth = FlownAt(table[row], row * TableStep, rough);
        const double h = std::hypot(x - truth.Position[0], z - truth.Position[2]);
        r.Horizontal.push_back(h);
        const double speed = std::hypot(truth.Velocity[0], truth.Velocity[2]);
        const double ux = truth.Velocity[0] / speed, uz = truth.Velocity[2] / speed;
        const double along = (x - truth.Position[0]) * ux + (z - truth.Position[2]) * uz;
        r.Along.push_back(along);
        r.Across.push_back(std::abs((x - truth.Position[0]) * uz - (z - truth.Position[2]) * ux));
        r.Vertical.push_back(y - truth.Position[1]);
        if (std::abs(table[row].YawRate) > 0.01) r.Turning.push_back(h);
    }
    link.Disconnect();
    host::RunFor(0.2);
    r.Ok = true;
    return r;
}

}  // namespace

int main() {
    char pattern[] = "/tmp/velmir-rates-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const std::string root = pattern;
    // The plugin reads its slot folders relative to the simulator's folder.
    if (chdir(pattern) != 0) return 1;
    std::printf(
        "Circuit of %.0f s at 50 m/s (taxi: 8 m/s, turns five times as fast); figures "
        "from t=%.0f s, 60 frames a second.\n",
        PathSeconds, SettleSeconds);
    std::printf("%-6s %-5s %8s %8s %8s %8s %8s %8s %10s %10s %12s\n", "air", "rate", "rms_m",
                "p95_m", "max_m", "turn_p95", "lag_ms", "lag_sd_m", "across_p95", "vert_rms",
                "across<1px_nm");
    int failures = 0;
    struct Condition {
        const char* Name;
        double Ramp;
        bool Rough;
        double Speed, Yaw, Climb;
    };
    for (const Condition c :
         {Condition{"calm", 1.5, false, 50, 1, 1}, Condition{"rough", 1.5, true, 50, 1, 1},
          Condition{"abrupt", 0.3, true, 50, 1, 1}, Condition{"taxi", 1.0, false, 8, 5, 0}}) {
        RampSeconds = c.Ramp;
        Speed = c.Speed;
        YawScale = c.Yaw;
        ClimbScale = c.Climb;
        const std::vector<State> table = BuildTable();
        for (double rate : {10.0, 5.0, 2.0, 1.0, 0.5}) {
            const char* air = c.Name;
            const bool rough = c.Rough;
            const Result r = Measure(rate, rough, table, root);
            if (!r.Ok) {
                std::printf("%-6s %-5.1f failed: %s\n", air, rate, r.Why.c_str());
                ++failures;
                continue;
            }
            double bias = 0;
            for (double v : r.Vertical) bias += v;
            bias /= static_cast<double>(r.Vertical.size());
            double lag = 0;
            for (double a : r.Along) lag += a;
            lag /= static_cast<double>(r.Along.size());
            std::vector<double> alongSpread;  // what the lag does not explain
            for (double a : r.Along) alongSpread.push_back(a - lag);
            std::vector<double> vertical;
            for (double v : r.Vertical) vertical.push_back(v - bias);  // the model's centre offset
            const double p95 = Percentile(r.Horizontal, 0.95);
            // The lag is the same at every rate; what the rate adds is the
            // error across the track. Beyond this distance its p95 is
            // smaller than one pixel.
            const double subPixelNm = Percentile(r.Across, 0.95) / std::tan(PixelRadians) / 1852.0;
            std::printf("%-6s %-5.1f %8.2f %8.2f %8.2f %8.2f %8.1f %8.2f %10.2f %10.2f %12.2f\n",
                        air, rate, Rms(r.Horizontal), p95, Percentile(r.Horizontal, 1.0),
                        Percentile(r.Turning, 0.95), -lag / Speed * 1000.0, Rms(alongSpread),
                        Percentile(r.Across, 0.95), Rms(vertical), subPixelNm);
        }
    }
    std::filesystem::remove_all(root);
    return failures == 0 ? 0 : 1;
}
