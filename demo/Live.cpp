// The demo's live view: what the plugin did this frame, read from the host,
// and the table shown in the terminal while the run goes on.
#include "demo/Live.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "demo/CallbackTimer.h"
#include "demo/Format.h"
#include "host/Host.h"

namespace host = velmir::host;

namespace velmir::demo {
namespace {

constexpr double MetresPerNauticalMile = 1852.0;
constexpr double KnotsPerMetrePerSecond = 1.943844;
constexpr double FeetPerMetre = 3.280839895;
constexpr double Pi = 3.14159265358979323846;

// Slot of an instance from its object path ".../injectNNN/objects/...".
int SlotOfObject(const std::string& path) {
    const std::size_t at = path.find("inject");
    if (at == std::string::npos || at + 9 > path.size()) return 0;
    int slot = 0;
    for (std::size_t k = at + 6; k < at + 9; ++k) {
        if (path[k] < '0' || path[k] > '9') return 0;
        slot = slot * 10 + (path[k] - '0');
    }
    return slot;
}

std::string Distance(double nm) { return nm < 10 ? Format("%.2f", nm) : Format("%.1f", nm); }

int Counted(const Recorder& run, bool (*what)(const AircraftTrack&)) {
    int n = 0;
    for (const AircraftTrack& t : run.Tracks()) n += what(t) ? 1 : 0;
    return n;
}

}  // namespace

Vec3 ToLocal(double lat, double lon, double alt) {
    const host::LocalPoint p = host::WorldToLocal(lat, lon, alt);
    return {p.x, p.y, p.z};
}

FrameView ReadFrame(const DemoClient& demoClient) {
    FrameView f;
    f.Time = host::SimTime();
    double startClock = 0;
    f.Streaming = demoClient.Streaming(startClock);
    f.ScenarioTime = host::kClockBase + f.Time - startClock;
    f.WindowWidth = host::GetInt("sim/graphics/view/window_width");
    f.WindowHeight = host::GetInt("sim/graphics/view/window_height");
    f.User = {host::GetDouble("sim/flightmodel/position/local_x"),
              host::GetDouble("sim/flightmodel/position/local_y"),
              host::GetDouble("sim/flightmodel/position/local_z")};

    // Targets are only written while the plugin holds the planes; otherwise
    // the arrays hold whatever was there before.
    if (host::PlanesHeld()) {
        const std::vector<int> modeS = host::GetInts("sim/cockpit2/tcas/targets/modeS_id");
        const auto x = host::GetFloats("sim/cockpit2/tcas/targets/position/x");
        const auto y = host::GetFloats("sim/cockpit2/tcas/targets/position/y");
        const auto z = host::GetFloats("sim/cockpit2/tcas/targets/position/z");
        const auto vx = host::GetFloats("sim/cockpit2/tcas/targets/position/vx");
        const auto vz = host::GetFloats("sim/cockpit2/tcas/targets/position/vz");
        const int count = host::ActiveAircraftCount();
        for (int i = 1; i <= count && i < int(modeS.size()); ++i) {
            if (modeS[i] <= 0) continue;
            f.Targets.push_back({i, modeS[i], {x[i], y[i], z[i]}, vx[i], vz[i]});
        }
    }
    for (const host::InstanceInfo& instance : host::Instances()) {
        if (!instance.positioned) continue;
        const int slot = SlotOfObject(instance.objectPath);
        if (slot == 0) continue;
        bool seen = false;
        for (const InstanceView& v : f.Instances) seen = seen || v.Slot == slot;
        if (!seen)
            f.Instances.push_back(
                {slot, {instance.position.x, instance.position.y, instance.position.z}});
    }
    for (const host::TextDraw& t : host::TextDraws())
        f.Labels.push_back({t.text, t.x, t.y, t.r, t.g, t.b});
    f.PluginSeconds = TakeCallbackTime().Seconds;
    return f;
}

std::string Fit(const std::string& line, std::size_t width) {
    return line.size() > width ? line.substr(0, width) : line;
}

std::vector<std::string> TableLines(const Recorder& run, const ClientState& cs, const Vec3& user) {
    std::vector<std::string> lines;
    const UserReport* last = cs.UserReports.empty() ? nullptr : &cs.UserReports.back();
    if (last)
        lines.push_back(Format(
            "you: %-8s %.5f %.5f  %5.0f ft  %3.0f kt  heading %03.0f   reports received: %llu "
            "position, "
            "%llu state, %llu model, %llu info",
            cs.UserTail.c_str(), last->Latitude, last->Longitude, last->Altitude * FeetPerMetre,
            last->GroundSpeed * KnotsPerMetrePerSecond, last->Heading,
            (unsigned long long)cs.ReceivedByType[4], (unsigned long long)cs.ReceivedByType[8],
            (unsigned long long)cs.ReceivedByType[3], (unsigned long long)cs.ReceivedByType[2]));
    else
        lines.push_back("you: no position report yet");
    lines.push_back("");
    lines.push_back(
        "slot tail     model          dist nm  brg   alt ft  speed kt  TCAS  label as drawn");
    for (std::size_t i = 0; i < run.Aircraft().size(); ++i) {
        const AircraftInfo& a = run.Aircraft()[i];
        const AircraftTrack& t = run.Tracks()[i];
        if (!t.Shown) {
            lines.push_back(Format("%4d %-8s %-14.14s  %s", a.Slot, a.Tail.c_str(), a.Model.c_str(),
                                   "not shown yet"));
            continue;
        }
        const double dx = t.Position.X - user.X, dz = t.Position.Z - user.Z;
        double bearing = std::atan2(dx, -dz) * 180.0 / Pi;
        if (bearing < 0) bearing += 360.0;
        const std::string tcas = t.TargetIndex ? Format("%d", t.TargetIndex) : "-";
        const std::string label =
            !t.LabelDrawn ? std::string("(not drawn: behind the camera)")
            : t.LabelOnScreen
                ? Format("\"%s\" at %d,%d", t.Label.c_str(), t.LabelX, t.LabelY)
                : Format("\"%s\" off-screen at %d,%d", t.Label.c_str(), t.LabelX, t.LabelY);
        lines.push_back(
            Format("%4d %-8s %-14.14s %7s  %03.0f  %7.0f  %8.0f  %4s  %s", a.Slot, a.Tail.c_str(),
                   a.Model.c_str(), Distance(std::hypot(dx, dz) / MetresPerNauticalMile).c_str(),
                   bearing, t.Position.Y * FeetPerMetre,
                   std::hypot(t.Vx, t.Vz) * KnotsPerMetrePerSecond, tcas.c_str(), label.c_str()));
    }
    return lines;
}

std::string Shown(const Recorder& run) {
    return Format("%d aircraft shown, %d traffic targets, %d labels on screen",
                  Counted(run, [](const AircraftTrack& t) { return t.Shown; }),
                  Counted(run, [](const AircraftTrack& t) { return t.TargetIndex > 0; }),
                  Counted(run, [](const AircraftTrack& t) { return t.LabelOnScreen; }));
}

std::string Progress(double elapsed, double total, const Recorder& run) {
    const int width = 24;
    const int filled = std::clamp(int(elapsed / total * width + 0.5), 0, width);
    return Format("%5.1f s of %.0f  [%s%s]  ", elapsed, total, std::string(filled, '#').c_str(),
                  std::string(width - filled, '-').c_str()) +
           Shown(run);
}

std::size_t TerminalWidth() {
    winsize w{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &w) == 0 && w.ws_col > 20) return w.ws_col;
    return 160;
}

}  // namespace velmir::demo
