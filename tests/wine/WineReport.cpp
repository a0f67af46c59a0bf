// velmir-wine-check report: what the run report velmir-sim.exe wrote says
// the plugin did inside the simulator.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "client/Geo.h"
#include "support/Json.h"
#include "wine/WineCheck.h"

namespace velmir::winecheck {
namespace {

bool LogHas(const json::View report, const std::string& text) {
    for (const auto& line : report["log"].Items())
        if (line.Text().find(text) != std::string::npos) return true;
    return false;
}

// The host's projection (host/Host.h): around lat 47, lon 8, y = altitude.
void ToLocal(double lat, double lon, double alt, double& x, double& y, double& z) {
    constexpr double R = 6378137.0, Rad = 3.14159265358979323846 / 180.0;
    x = (lon - 8.0) * std::cos(47.0 * Rad) * R * Rad;
    y = alt;
    z = -(lat - 47.0) * R * Rad;
}

bool Near(double x, double y, double z, const double (&to)[3], double tolerance) {
    return std::hypot(x - to[0], z - to[2]) < tolerance && std::fabs(y - to[1]) < tolerance;
}

}  // namespace

int Report(const std::vector<std::string>& args) {
    if (args.empty()) {
        Check(false, "report needs a file");
        return Finish("report");
    }
    std::ifstream in(args[0], std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    Check(bool(in) && !text.str().empty(), "run report " + args[0] + " exists");
    nlohmann::json document;
    try {
        document = json::Parse(text.str());
        Check(true, "run report is valid JSON");
    } catch (const std::exception& e) {
        Check(false, std::string("run report is valid JSON: ") + e.what());
        return Finish("report");
    }
    const json::View report(document);

    Check(report["plugin"]["startResult"].Number() == 1 && report["plugin"]["enabled"].Bool(),
          "XPluginStart returned 1 and the plugin was enabled");
    Check(report["run"]["frames"].Number() > 60, "the simulator ran frames");
    for (const char* line :
         {"Velmir: Listening for the client on port 7472.", "Velmir: Client connected.",
          "Velmir: Acquiring planes", "Velmir: Client disconnected.", "Velmir: Releasing planes"})
        Check(LogHas(report, line), std::string("log has '") + line + "'");
    Check(report["planesHeld"]["ever"].Bool() && !report["planesHeld"]["last"].Bool(),
          "planes were held while connected and released after the disconnect");
    Check(report["hostErrors"].Items().empty(), "no misuse of the simulator API");
    for (const auto& e : report["hostErrors"].Items()) std::printf("     %s\n", e.Text().c_str());
    const auto& after = report["afterStop"];
    Check(after["unloaded"].Bool() && after["flightLoopsLeft"].Number(-1) == 0 &&
              after["instancesLeft"].Number(-1) == 0,
          "stopping unloads the plugin and leaves no flight loop or instance");

    double expected[3] = {0, 0, 0};
    const std::string expectFile = Option(args, "--expect");
    double lat = 0, lon = 0, alt = 0;
    std::ifstream expect(expectFile);
    const bool haveExpected = bool(expect >> lat >> lon >> alt);
    Check(haveExpected, "expected position of slot 1 read from " + expectFile);
    ToLocal(lat, lon, alt, expected[0], expected[1], expected[2]);

    Check(LogHas(report, "Velmir: Aircraft 1 model changed from '' to 'WineCheck'."),
          "log has slot 1's model change");
    Check(LogHas(report, "Velmir: Removing aircraft 1, model 'WineCheck'"),
          "log has slot 1's removal");
    Check(LogHas(report, "Velmir: Data version mismatch."), "log has the data version mismatch");

    int slotInstances = 0, positioned = 0, nearby = 0;
    for (const auto& i : report["instances"].Items()) {
        if (i["object"].Text().find("inject001") == std::string::npos) continue;
        ++slotInstances;
        if (!i["positioned"].Bool() || i["positionSets"].Number() < 10 || i["live"].Bool())
            continue;
        ++positioned;
        const auto& p = i["position"];
        if (Near(p["x"].Number(), p["y"].Number(), p["z"].Number(), expected, 150.0)) ++nearby;
    }
    Check(slotInstances >= 2,
          "slot 1's objects (fuselage and wings) were instanced: " + std::to_string(slotInstances));
    Check(positioned == slotInstances,
          "every slot 1 instance was positioned every frame, then destroyed");
    Check(nearby == slotInstances, "slot 1's instances were last placed where the client flew it");

    bool target = false;
    for (const auto& t : report["tcasTargets"].Items())
        if (t["modeS"].Number() == Slot && t["flightId"].Text() == TailNumber &&
            t["positioned"].Bool() &&
            Near(t["x"].Number(), t["y"].Number(), t["z"].Number(), expected, 150.0))
            target = true;
    Check(target,
          "TCAS target with mode S id 1 and flight id HB-WINE written at slot 1's position");
    Check(report["activeAircraftCount"]["max"].Number() >= 1 &&
              report["afterStop"]["activeAircraftCount"].Number(-1) == 0,
          "active aircraft count raised for slot 1 and back to 0 at the end");

    bool label = false;
    for (const auto& d : report["lastTextDraws"]["draws"].Items())
        if (d["text"].Text().find(DisplayName) != std::string::npos &&
            d["text"].Text().find(TailNumber) != std::string::npos)
            label = true;
    Check(label, "slot 1's label (name and tail) was drawn");
    return Finish("report");
}

}  // namespace velmir::winecheck
