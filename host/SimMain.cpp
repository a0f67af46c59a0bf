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

#include "host/Host.h"
#include "host/Report.h"
#include "host/TrackLog.h"

#ifndef VELMIR_DEFAULT_XPL
#define VELMIR_DEFAULT_XPL ""
#endif

namespace host = velmir::host;

namespace {

std::atomic<bool> g_stop{false};

// ---- what differs between the platforms

#if defined(_WIN32)

const char kPluginFile[] = "win.xpl";

BOOL WINAPI OnConsoleEvent(DWORD) {
    g_stop.store(true);
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

void OnSignal(int) { g_stop.store(true); }

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

const char kUsage[] =
    "usage: velmir-sim [--plugin PATH] [--root DIR] [--seconds N] [--fast] [--fps N]\n"
    "                  [--aircraft piston|twin] [--centre LAT LON] [--radius M] [--parked]\n"
    "                  [--altitude M] [--report FILE] [--track FILE] [--quiet]\n"
    "  --plugin PATH   plugin module (default: Velmir/64/lin.xpl, win.xpl on Windows,\n"
    "                  of the build)\n"
    "  --root DIR      simulator root folder; relative plugin paths such as\n"
    "                  Resources/plugins/Velmir/... resolve against it (default: .)\n"
    "  --seconds N     stop after N simulated seconds (default: until Ctrl-C or SIGTERM)\n"
    "  --fast          run frames as fast as possible instead of in real time\n"
    "  --fps N         frame rate (default 60)\n"
    "  --aircraft KIND piston (default) or twin turboprop\n"
    "  --centre LAT LON  centre of the user aircraft's circuit (default 47.0 8.0)\n"
    "  --radius M      radius of the circuit in metres (default 2000)\n"
    "  --altitude M    altitude of the circuit in metres MSL (default 1000)\n"
    "  --parked        stand still on the ground at the centre instead, engine idling\n"
    "  --report FILE   write a JSON summary of what the plugin did when the run ends\n"
    "  --track FILE    write the user aircraft's position and each remote aircraft's\n"
    "                  shown position 20 times a second (60 fps), wall-clock stamped\n"
    "  --quiet         do not print the log\n";

int Usage(const std::string& problem) {
    fprintf(stderr, "velmir-sim: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

bool ParseNumber(const char* text, double* out) {
    errno = 0;
    char* end = nullptr;
    double v = strtod(text, &end);
    if (errno || end == text || *end != '\0') return false;
    *out = v;
    return true;
}

std::string DefaultPlugin() {
    const std::string dir = ExecutableDir();
    const std::string file = kPluginFile;
    for (const std::string& p : {dir + "/../Velmir/64/" + file, dir + "/Velmir/64/" + file,
                                 std::string(VELMIR_DEFAULT_XPL)})
        if (Exists(p)) return p;
    return VELMIR_DEFAULT_XPL;
}

}  // namespace

int main(int argc, char** argv) {
    std::string plugin, root = ".", reportPath, trackPath;
    double seconds = 0, fps = 60;
    bool fast = false, quiet = false;
    host::AircraftConfig aircraft;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char** out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        if (arg == "--help" || arg == "-h") {
            fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--plugin") {
            if (!value(&v) || !*v) return Usage("--plugin needs a path");
            plugin = v;
        } else if (arg == "--root") {
            if (!value(&v) || !*v) return Usage("--root needs a folder");
            root = v;
        } else if (arg == "--seconds") {
            if (!value(&v) || !ParseNumber(v, &seconds) || !(seconds > 0))
                return Usage("--seconds needs a positive number");
        } else if (arg == "--fps") {
            if (!value(&v) || !ParseNumber(v, &fps) || !(fps >= 1 && fps <= 1000))
                return Usage("--fps needs a number from 1 to 1000");
        } else if (arg == "--aircraft") {
            if (!value(&v)) return Usage("--aircraft needs piston or twin");
            if (std::string(v) == "piston")
                aircraft.engines = host::Engines::Piston;
            else if (std::string(v) == "twin")
                aircraft.engines = host::Engines::TwinTurboprop;
            else
                return Usage(std::string("unknown aircraft '") + v + "' (piston or twin)");
        } else if (arg == "--centre") {
            const char* lon = nullptr;
            if (!value(&v) || !value(&lon) || !ParseNumber(v, &aircraft.lat) ||
                !ParseNumber(lon, &aircraft.lon) || !(aircraft.lat > -85 && aircraft.lat < 85) ||
                !(aircraft.lon >= -180 && aircraft.lon <= 180))
                return Usage("--centre needs a latitude (-85..85) and a longitude (-180..180)");
        } else if (arg == "--radius") {
            if (!value(&v) || !ParseNumber(v, &aircraft.radius) ||
                !(aircraft.radius >= 100 && aircraft.radius <= 100000))
                return Usage("--radius needs metres from 100 to 100000");
        } else if (arg == "--altitude") {
            if (!value(&v) || !ParseNumber(v, &aircraft.elevation) ||
                !(aircraft.elevation >= -400 && aircraft.elevation <= 15000))
                return Usage("--altitude needs metres from -400 to 15000");
        } else if (arg == "--report") {
            if (!value(&v) || !*v) return Usage("--report needs a file");
            reportPath = v;
        } else if (arg == "--track") {
            if (!value(&v) || !*v) return Usage("--track needs a file");
            trackPath = v;
        } else if (arg == "--parked") {
            aircraft.parked = true;
        } else if (arg == "--fast") {
            fast = true;
        } else if (arg == "--quiet") {
            quiet = true;
        } else {
            return Usage("unknown argument '" + arg + "'");
        }
    }

    if (plugin.empty()) plugin = DefaultPlugin();
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
        while (!g_stop.load() && (seconds <= 0 || host::SimTime() < end - 1e-9)) {
            host::RunFrame();
            observe();
        }
    } else {
        host::RunRealTime(seconds, &g_stop, observe);
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
