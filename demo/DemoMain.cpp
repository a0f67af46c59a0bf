// velmir-demo: the whole loop in one process. The built lin.xpl runs in the
// headless simulator host at real-time pace; the reference client's library,
// on a second thread, flies the scenario's aircraft into it over UDP and
// listens to what the plugin reports about the user aircraft. Every frame the
// demo reads back what the plugin did (object instances, traffic targets,
// labels), shows it live, and ends with a summary and a report picture.
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "client/Client.h"
#include "client/Scenario.h"
#include "demo/CallbackTimer.h"
#include "demo/DemoClient.h"
#include "demo/Format.h"
#include "demo/Live.h"
#include "demo/Recorder.h"
#include "demo/Svg.h"
#include "host/Host.h"
#include "velmir/Version.h"

// Where this build put them (generated beside the objects).
extern const char* const VelmirXplPath;
extern const char* const VelmirDemoScenario;

namespace host = velmir::host;
namespace client = velmir::client;
using namespace velmir::demo;

namespace {

constexpr double Fps = 60.0;
// Time left for the plugin to act on the client's disconnect before it stops.
constexpr double AfterDisconnectSeconds = 0.5;
constexpr std::uint32_t LabelColour = 0xFFD23C;

std::atomic<bool> StopRequested{false};

void OnSignal(int) { StopRequested.store(true); }

double RawNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

std::string ExecutableDir() {
    std::error_code code;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", code);
    return code ? std::string(".") : exe.parent_path().string();
}

struct Options {
    double Seconds = 30;
    std::string Svg, Scenario = VelmirDemoScenario, Plugin = VelmirXplPath;
};

// -1 to go on, else the exit code: 0 after --help or --version, 2 for a bad
// command line.
int ParseOptions(int argc, char** argv, Options& o) {
    if (const char* env = std::getenv("DEMO_SECONDS"); env && *env) {
        char* end = nullptr;
        errno = 0;
        o.Seconds = std::strtod(env, &end);
        if (errno || end == env || *end || !(o.Seconds >= 1 && o.Seconds <= 3600)) {
            std::fprintf(stderr,
                         "velmir-demo: DEMO_SECONDS must be a number of seconds from 1 to 3600\n");
            return 2;
        }
    }
    o.Svg = ExecutableDir() + "/report.svg";
    CLI::App app(
        "The built plugin, the headless simulator host and the reference client in one "
        "process.",
        "velmir-demo");
    app.set_version_flag("--version", VELMIR_VERSION);
    app.add_option("--seconds", o.Seconds, "length of the run (default: $DEMO_SECONDS, else 30)")
        ->check(CLI::Range(1.0, 3600.0));
    app.add_option("--svg", o.Svg, "report picture (default: report.svg beside this program)");
    app.add_option("--scenario", o.Scenario,
                   "aircraft to inject (default: client/scenarios/circuit.txt)");
    app.add_option("--plugin", o.Plugin, "plugin module (default: the built lin.xpl)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    return -1;
}

std::string Milliseconds(double seconds) { return Format("%.3f ms", seconds * 1000); }

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int code = ParseOptions(argc, argv, options); code >= 0) return code;

    client::Scenario scenario;
    std::string error;
    if (!client::LoadScenario(options.Scenario, scenario, error)) {
        std::fprintf(stderr, "velmir-demo: %s\n", error.c_str());
        return 2;
    }
    const std::filesystem::path svgPath = std::filesystem::absolute(options.Svg);
    const std::string pluginPath = std::filesystem::absolute(options.Plugin).string();

    // The plugin reads its slot folders relative to the current folder, as it
    // does inside the simulator: the demo runs in a simulator root of its own.
    char rootTemplate[] = "/tmp/velmir-demo-XXXXXX";
    if (!mkdtemp(rootTemplate)) {
        std::fprintf(stderr, "velmir-demo: cannot make a simulator folder: %s\n",
                     std::strerror(errno));
        return 1;
    }
    const std::string root = rootTemplate;
    if (chdir(root.c_str()) != 0) {
        std::fprintf(stderr, "velmir-demo: cannot enter %s\n", root.c_str());
        return 1;
    }
    struct RemoveRoot {
        std::string Path;
        ~RemoveRoot() {
            std::error_code ignored;
            std::filesystem::remove_all(Path, ignored);
        }
    } removeRoot{root};

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    host::Reset();
    host::SetRoot(root);
    host::SetFps(Fps);
    host::SetLogEcho(false);
    host::SetJournalEnabled(false);
    if (!host::LoadAndStart(pluginPath, &error)) {
        std::fprintf(stderr, "velmir-demo: cannot start the plugin %s: %s\n", pluginPath.c_str(),
                     error.c_str());
        host::EndSession();
        return 1;
    }

    std::vector<AircraftInfo> infos;
    for (const client::ScenarioAircraft& a : scenario.Aircraft)
        infos.push_back({a.Slot, a.TailNumber, a.DisplayName, a.ModelName});
    const float colour[3] = {float((LabelColour >> 16) & 0xFF) / 255.0f,
                             float((LabelColour >> 8) & 0xFF) / 255.0f,
                             float(LabelColour & 0xFF) / 255.0f};
    Recorder run(infos, colour, [&scenario](std::size_t i, double t) {
        const client::PathState s = client::SamplePath(scenario.Aircraft[i], t);
        return ToLocal(s.Latitude, s.Longitude, s.Altitude);
    });

    ClientOptions clientOptions;
    clientOptions.Root = root;
    clientOptions.LabelColour = LabelColour;
    DemoClient demoClient(scenario, clientOptions);
    if (!demoClient.Start(error)) {
        std::fprintf(stderr, "velmir-demo: client: %s\n", error.c_str());
        host::EndSession();
        return 1;
    }

    const bool tty = isatty(STDOUT_FILENO) == 1;
    const std::size_t width = tty ? TerminalWidth() : std::string::npos;
    const std::string heading = Format(
        "Velmir demo: lin.xpl in the headless simulator at %.0f fps, the "
        "reference client flying %s into it",
        Fps, std::filesystem::path(options.Scenario).filename().c_str());
    if (tty)
        std::fputs("\x1b[2J\x1b[?25l", stdout);
    else
        std::printf("%s\nrunning for %.0f s (status every 5 s)\n", heading.c_str(),
                    options.Seconds);
    std::fflush(stdout);

    std::size_t logShown = 0;
    std::vector<double> frameWall;
    double lastStatus = 0;
    const double started = host::SimTime();
    std::vector<std::string> logTail;
    Vec3 lastUser;
    auto afterFrame = [&] {
        frameWall.push_back(RawNow());
        const FrameView frame = ReadFrame(demoClient);
        run.Observe(frame);
        const double elapsed = frame.Time - started;
        lastUser = frame.User;
        const std::vector<std::string> log = host::LogLines();
        for (; logShown < log.size(); ++logShown) {
            if (log[logShown].empty()) continue;
            if (!tty) std::printf("  plugin log: %s\n", log[logShown].c_str());
            logTail.push_back(log[logShown]);
            if (logTail.size() > 4) logTail.erase(logTail.begin());
        }
        if (tty && host::FrameCount() % 15 == 0) {
            const ClientState cs = demoClient.State();
            std::string screen = "\x1b[H";
            std::vector<std::string> lines = {heading, Progress(elapsed, options.Seconds, run), ""};
            for (const std::string& l : TableLines(run, cs, frame.User)) lines.push_back(l);
            lines.push_back("");
            lines.push_back("plugin log (latest):");
            for (const std::string& l : logTail) lines.push_back("  " + l);
            lines.push_back("");
            lines.push_back("Ctrl-C ends the run early; the summary and report follow either way.");
            for (const std::string& l : lines) screen += Fit(l, width) + "\x1b[K\n";
            screen += "\x1b[J";
            std::fputs(screen.c_str(), stdout);
            std::fflush(stdout);
        } else if (!tty && elapsed - lastStatus >= 5.0 - 1e-9) {
            lastStatus = elapsed;
            const ClientState cs = demoClient.State();
            const Spread plugin = SpreadOf(
                std::vector<double>(run.PluginFrameSeconds().end() -
                                        std::min<std::size_t>(300, run.PluginFrameSeconds().size()),
                                    run.PluginFrameSeconds().end()));
            std::printf("[%5.1f s] %s; user position reports %llu; plugin per frame median %s\n",
                        elapsed, Shown(run).c_str(), (unsigned long long)cs.ReceivedByType[4],
                        Milliseconds(plugin.Median).c_str());
            std::fflush(stdout);
        }
    };
    host::RunRealTime(options.Seconds, &StopRequested, afterFrame);
    const std::vector<std::string> finalTable = TableLines(run, demoClient.State(), lastUser);

    // The client leaves; the plugin should take every remote aircraft away.
    demoClient.Stop();
    std::atomic<bool> noStop{false};
    host::RunRealTime(AfterDisconnectSeconds, &noStop, [] { TakeCallbackTime(); });
    const std::size_t instancesLeft = host::Instances().size();
    const bool planesHeld = host::PlanesHeld();
    const ClientState cs = demoClient.State();
    host::StopPlugin();
    const std::size_t hostErrors = host::Errors().size();

    if (tty) std::fputs("\x1b[H\x1b[J\x1b[?25h", stdout);
    std::printf("%s\n\nAt the end of the run:\n", heading.c_str());
    for (const std::string& l : finalTable) std::printf(l.empty() ? "\n" : "  %s\n", l.c_str());

    // ---- summary
    const double ran = host::SimTime() - started - AfterDisconnectSeconds;
    std::printf("\nSummary: %.1f s, %zu frames at %.0f fps\n", ran, run.Frames(), Fps);
    std::printf("  slot tail      samples  first shown  error RMS  error max  height  labelled\n");
    bool allShown = true;
    for (std::size_t i = 0; i < run.Aircraft().size(); ++i) {
        const AircraftInfo& a = run.Aircraft()[i];
        const AircraftTrack& t = run.Tracks()[i];
        const std::size_t samples = i < cs.Samples.size() ? cs.Samples[i].size() : 0;
        if (t.FirstShownAt < 0) {
            allShown = false;
            std::printf("  %4d %-8s  %7zu  never shown\n", a.Slot, a.Tail.c_str(), samples);
            continue;
        }
        std::printf("  %4d %-8s  %7zu  %8.0f ms  %7.2f m  %7.2f m  %+5.1f m  %5.1f %%\n", a.Slot,
                    a.Tail.c_str(), samples, t.FirstShownAt * 1000, t.ErrorRms(), t.ErrorMax,
                    t.MeanHeightDifference(),
                    100.0 * t.LabelOnScreenFrames / std::max<std::size_t>(1, run.Frames()));
    }
    std::printf(
        "  error: horizontal distance between the shown and the scripted position at the same "
        "moment;\n"
        "  height: shown minus scripted altitude, mean (an aircraft on the ground sits on the "
        "terrain);\n"
        "  labelled: share of frames with its label inside the window\n");
    const double reportRate = ran > 0 ? cs.ReceivedByType[4] / ran : 0;
    std::printf(
        "  user aircraft %s: %llu position reports received (%.1f a second), %llu state, %llu "
        "model, "
        "%llu info\n",
        cs.UserTail.empty() ? "(no model report)" : cs.UserTail.c_str(),
        (unsigned long long)cs.ReceivedByType[4], reportRate,
        (unsigned long long)cs.ReceivedByType[8], (unsigned long long)cs.ReceivedByType[3],
        (unsigned long long)cs.ReceivedByType[2]);
    const Spread plugin = SpreadOf(run.PluginFrameSeconds());
    if (WrappedCallbacks() > 0)
        std::printf(
            "  plugin time per frame (its flight loops and label drawing, wall clock): min %s, "
            "median %s, "
            "99%% %s, max %s\n",
            Milliseconds(plugin.Min).c_str(), Milliseconds(plugin.Median).c_str(),
            Milliseconds(plugin.P99).c_str(), Milliseconds(plugin.Max).c_str());
    else
        std::printf(
            "  plugin time per frame: not measured (the plugin registered no callback we could "
            "time)\n");
    std::vector<double> intervals;
    for (std::size_t i = 1; i < frameWall.size(); ++i)
        intervals.push_back(frameWall[i] - frameWall[i - 1]);
    const Spread pace = SpreadOf(intervals);
    const double wall = frameWall.size() > 1 ? frameWall.back() - frameWall.front() : 0;
    std::printf("  frame pace: %.1f frames a second, longest gap %s\n",
                wall > 0 ? (frameWall.size() - 1) / wall : 0.0, Milliseconds(pace.Max).c_str());
    std::printf(
        "  after the client disconnected: %zu instances left, planes %s; host errors: %zu\n",
        instancesLeft, planesHeld ? "still held" : "released", hostErrors);

    // ---- picture
    ReportInput report;
    report.Run = &run;
    for (const auto& samples : cs.Samples) {
        report.Samples.emplace_back();
        report.SampleTimes.emplace_back();
        for (const SentSample& s : samples) {
            report.Samples.back().push_back(ToLocal(s.Latitude, s.Longitude, s.Altitude));
            report.SampleTimes.back().push_back(s.Elapsed);
        }
    }
    for (const UserReport& r : cs.UserReports)
        report.UserTrack.push_back(ToLocal(r.Latitude, r.Longitude, r.Altitude));
    report.UserTail = cs.UserTail;
    report.Title = Format("Velmir demo: %zu remote aircraft, %.0f s at %.0f fps",
                          run.Aircraft().size(), ran, Fps);
    report.Notes.push_back(
        Format("Scenario %s injected by the reference client over UDP into lin.xpl running in the "
               "headless simulator host. Top-down, north up.",
               std::filesystem::path(options.Scenario).filename().c_str()));
    if (WrappedCallbacks() > 0)
        report.Notes.push_back(
            Format("Plugin time per frame: median %s, 99%% %s, max %s. User aircraft: %llu "
                   "position reports received.",
                   Milliseconds(plugin.Median).c_str(), Milliseconds(plugin.P99).c_str(),
                   Milliseconds(plugin.Max).c_str(), (unsigned long long)cs.ReceivedByType[4]));
    host::EndSession();

    std::error_code code;
    std::filesystem::create_directories(svgPath.parent_path(), code);
    std::ofstream out(svgPath, std::ios::binary);
    out << RenderReport(report);
    out.close();
    if (!out) {
        std::fprintf(stderr, "velmir-demo: cannot write %s\n", svgPath.c_str());
        return 1;
    }
    std::printf("\nReport picture: %s\n", svgPath.c_str());

    // A demo that showed nothing must not look like a success.
    int status = 0;
    if (!cs.Error.empty()) {
        std::printf("FAILED: client: %s\n", cs.Error.c_str());
        status = 1;
    }
    if (!allShown) {
        std::printf("FAILED: not every aircraft was shown\n");
        status = 1;
    }
    if (cs.ReceivedByType[4] == 0) {
        std::printf("FAILED: no position report of the user aircraft arrived\n");
        status = 1;
    }
    if (instancesLeft != 0 || planesHeld || hostErrors != 0) {
        std::printf("FAILED: the plugin did not clean up after the client left\n");
        status = 1;
    }
    return status;
}
