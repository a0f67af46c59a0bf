// velmir-sim: loads a plugin .xpl into the headless host and runs it like the
// simulator would, printing the log as it grows.
#if defined(_WIN32)
#include <direct.h>
#include <io.h>
#include <windows.h>
#else
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "host/Host.h"
#include "host/Report.h"
#include "host/TrackLog.h"
#include "velmir/Version.h"

// The plugin this build made (generated beside the objects).
extern const char* const VelmirDefaultXpl;

namespace host = velmir::host;

namespace {

std::atomic<bool> StopRequested{false};

// ---- what differs between the platforms

#if defined(_WIN32)

const char kPluginFile[] = "win.xpl";

BOOL WINAPI OnConsoleEvent(DWORD) {
    StopRequested.store(true);
    return TRUE;  // handled: the frame loop ends and the plugin stops cleanly
}

void InstallStopHandlers() { SetConsoleCtrlHandler(&OnConsoleEvent, TRUE); }

bool Exists(const std::string& path) { return !path.empty() && _access(path.c_str(), 4) == 0; }

std::string ExecutableDir() {
    char buf[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    if (n == 0 || n >= sizeof buf) return ".";
    std::string p(buf, n);
    const size_t slash = p.find_last_of("\\/");
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

std::string Absolute(const std::string& path) {
    char buf[MAX_PATH];
    return _fullpath(buf, path.c_str(), sizeof buf) ? std::string(buf) : path;
}

int ChangeDir(const std::string& dir) { return _chdir(dir.c_str()); }

#else

const char kPluginFile[] = "lin.xpl";

void OnSignal(int) { StopRequested.store(true); }

void InstallStopHandlers() {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool Exists(const std::string& path) { return !path.empty() && access(path.c_str(), R_OK) == 0; }

std::string ExecutableDir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    buf[n] = '\0';
    std::string p(buf);
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

std::string Absolute(const std::string& path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? std::string(buf) : path;
}

int ChangeDir(const std::string& dir) { return chdir(dir.c_str()); }

#endif

int Usage(const std::string& problem) {
    fprintf(stderr, "velmir-sim: %s\nrun 'velmir-sim --help' for usage\n", problem.c_str());
    return 2;
}

// Refuses an empty value, which the options below never mean.
const CLI::Validator kNotEmpty(
    [](std::string& s) { return s.empty() ? std::string("needs a value") : std::string(); }, "",
    "NotEmpty");

std::string DefaultPlugin() {
    const std::string dir = ExecutableDir();
    const std::string file = kPluginFile;
    for (const std::string& p :
         {dir + "/../Velmir/64/" + file, dir + "/Velmir/64/" + file, std::string(VelmirDefaultXpl)})
        if (Exists(p)) return p;
    return VelmirDefaultXpl;
}

}  // namespace

int main(int argc, char** argv) {
    std::string plugin, root = ".", reportPath, trackPath, aircraftKind = "piston";
    double seconds = 0, fps = 60;
    std::vector<double> centre;
    bool fast = false, quiet = false;
    host::AircraftConfig aircraft;

    CLI::App app("Loads a plugin module into the headless simulator host and runs it.",
                 "velmir-sim");
    app.set_version_flag("--version", VELMIR_VERSION);
    app.add_option("--plugin", plugin,
                   "plugin module (default: Velmir/64/lin.xpl, win.xpl on Windows, of the build)")
        ->check(kNotEmpty);
    app.add_option("--root", root,
                   "simulator root folder; relative plugin paths such as "
                   "Resources/plugins/Velmir/... resolve against it")
        ->capture_default_str()
        ->check(kNotEmpty);
    app.add_option("--seconds", seconds,
                   "stop after N simulated seconds (default: until Ctrl-C or SIGTERM)")
        ->check(CLI::PositiveNumber);
    app.add_flag("--fast", fast, "run frames as fast as possible instead of in real time");
    app.add_option("--fps", fps, "frame rate")
        ->capture_default_str()
        ->check(CLI::Range(1.0, 1000.0));
    app.add_option("--aircraft", aircraftKind, "piston single or twin turboprop")
        ->capture_default_str()
        ->check(CLI::IsMember({"piston", "twin"}));
    app.add_option("--centre", centre,
                   "centre of the user aircraft's circuit: LAT (-85..85) LON (-180..180); "
                   "default 47.0 8.0")
        ->expected(2)
        ->check(CLI::Range(-180.0, 180.0));
    app.add_option("--radius", aircraft.radius, "radius of the circuit in metres")
        ->capture_default_str()
        ->check(CLI::Range(100.0, 100000.0));
    app.add_option("--altitude", aircraft.elevation, "altitude of the circuit in metres MSL")
        ->capture_default_str()
        ->check(CLI::Range(-400.0, 15000.0));
    app.add_option("--report", reportPath,
                   "write a JSON summary of what the plugin did when the run ends")
        ->check(kNotEmpty);
    app.add_option("--track", trackPath,
                   "write the user aircraft's position and each remote aircraft's shown position "
                   "20 times a second (60 fps), wall-clock stamped")
        ->check(kNotEmpty);
    app.add_option("--model", aircraft.modelPath,
                   "the user aircraft's file as the plugin is told it, below --root "
                   "(Aircraft/.../b738.acf); default: chosen by --aircraft");
    app.add_option("--tail", aircraft.tailNumber, "the user aircraft's tail number")
        ->capture_default_str();
    app.add_flag("--parked", aircraft.parked,
                 "stand still on the ground at the centre instead, engine idling");
    app.add_flag("--quiet", quiet, "do not print the log");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;  // --help and --version end well
    }
    if (!centre.empty()) {
        if (!(centre[0] > -85 && centre[0] < 85))
            return Usage("--centre needs a latitude (-85..85) and a longitude (-180..180)");
        aircraft.lat = centre[0];
        aircraft.lon = centre[1];
    }
    aircraft.engines =
        aircraftKind == "twin" ? host::Engines::TwinTurboprop : host::Engines::Piston;

    if (plugin.empty()) plugin = DefaultPlugin();
    // A relative path names a plugin inside the simulator folder, as in
    // --plugin Resources/plugins/Velmir/64/lin.xpl, or else one here.
    if (!plugin.empty() && plugin[0] != '/' && !Exists(plugin) && Exists(root + "/" + plugin))
        plugin = root + "/" + plugin;
    if (!Exists(plugin)) return Usage("plugin not found: '" + plugin + "' (use --plugin)");
    plugin = Absolute(plugin);  // before changing folder
    if (!reportPath.empty()) reportPath = Absolute(reportPath);
    host::TrackLog track;
    std::string trackError;
    if (!trackPath.empty() && !track.Open(trackPath, &trackError)) return Usage(trackError);
    if (ChangeDir(root) != 0)
        return Usage("cannot enter root folder '" + root + "': " + strerror(errno));

    host::Reset();
    host::SetRoot(Absolute("."));
    host::SetFps(fps);
    if (!aircraft.modelPath.empty())
        aircraft.modelFile = aircraft.modelPath.substr(aircraft.modelPath.find_last_of('/') + 1);
    host::ConfigureAircraft(aircraft);
    host::SetLogEcho(!quiet);
    host::SetJournalEnabled(false);  // nobody reads it here
    InstallStopHandlers();
    std::unique_ptr<host::RunReport> report;
    if (!reportPath.empty()) {
        report = std::make_unique<host::RunReport>();
        report->Begin();
    }

    std::string error;
    if (!host::LoadPlugin(plugin, &error)) {
        fprintf(stderr, "velmir-sim: cannot load plugin: %s\n", error.c_str());
        return 1;
    }
    if (!quiet) {
        printf("velmir-sim: starting %s in %s\n", plugin.c_str(), host::Root().c_str());
        fflush(stdout);
    }
    const int started = host::StartPlugin();
    const host::PluginStatus status = host::Plugin();
    if (!quiet)
        printf("velmir-sim: '%s' (%s) started: XPluginStart returned %d\n", status.name.c_str(),
               status.signature.c_str(), started);

    auto observe = [&report, &track] {
        if (report) report->Observe();
        track.Observe();
    };
    if (fast) {
        const double end = host::SimTime() + seconds;
        while (!StopRequested.load() && (seconds <= 0 || host::SimTime() < end - 1e-9)) {
            host::RunFrame();
            observe();
        }
    } else {
        host::RunRealTime(seconds, &StopRequested, observe);
    }

    if (report) report->Finish();
    host::StopPlugin();
    int result = 0;
    if (report) {
        report->Stopped();
        std::string reportError;
        if (!report->Write(reportPath, &reportError)) {
            fprintf(stderr, "velmir-sim: %s\n", reportError.c_str());
            result = 1;
        }
    }
    const host::PluginStatus after = host::Plugin();
    const auto loops = host::FlightLoops();
    const auto errors = host::Errors();
    if (!quiet) {
        printf(
            "velmir-sim: stopped after %.2f s (%llu frames); unloaded: %s; flight loops left: %zu;"
            " instances left: %zu; host errors: %zu\n",
            host::SimTime(), static_cast<unsigned long long>(host::FrameCount()),
            after.unloaded ? "yes" : "no", loops.size(), host::Instances().size(), errors.size());
    }
    host::EndSession();
    return result;
}
