// velmir-twosims-check: reads the two velmir-sim reports of a scripts/two-sims
// run and checks that each simulator's remote aircraft 1 ended where the other
// simulator's user aircraft was: the relay carried the user aircraft across
// and the plugin placed it.
//
//   velmir-twosims-check --a A.json --b B.json [--tolerance METRES]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "support/Json.h"

namespace {

using velmir::json::View;

bool Load(const std::string& path, nlohmann::json& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "velmir-twosims-check: cannot read %s\n", path.c_str());
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    try {
        out = velmir::json::Parse(text.str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velmir-twosims-check: %s: %s\n", path.c_str(), e.what());
        return false;
    }
    return true;
}

// ---- what a report says

struct Point {
    double X = NAN, Z = NAN;
    bool Valid() const { return std::isfinite(X) && std::isfinite(Z); }
};

double Distance(Point a, Point b) { return std::hypot(a.X - b.X, a.Z - b.Z); }

// The user aircraft where the run ended.
Point UserAircraft(const View& report) {
    const View& user = report["userAircraft"];
    return {user["x"].Number(NAN), user["z"].Number(NAN)};
}

struct Slot1 {
    Point Target, Instance;
    double LastFrame = -1;
};

// The last traffic target published for slot 1 (mode S id 1), and the last
// position of slot 1's first object instance.
Slot1 FindSlot1(const View& report) {
    Slot1 s;
    for (const View& t : report["tcasTargets"].Items()) {
        if (t["modeS"].Number(NAN) != 1 || !t["positioned"].Bool()) continue;
        if (t["lastFrame"].Number(NAN) < s.LastFrame) continue;
        s.LastFrame = t["lastFrame"].Number(NAN);
        s.Target = {t["x"].Number(NAN), t["z"].Number(NAN)};
    }
    double lastInstance = -1;
    for (const View& i : report["instances"].Items()) {
        const View& position = i["position"];
        if (position.IsNull() || i["object"].Text().find("inject001") == std::string::npos)
            continue;
        if (i["lastFrame"].Number(NAN) <= lastInstance) continue;
        lastInstance = i["lastFrame"].Number(NAN);
        s.Instance = {position["x"].Number(NAN), position["z"].Number(NAN)};
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    std::string paths[2];
    double tolerance = 150;
    CLI::App app(
        "Checks that each simulator's remote aircraft 1 ended where the other's user "
        "aircraft was.",
        "velmir-twosims-check");
    app.add_option("--a", paths[0], "report of simulator A")->required();
    app.add_option("--b", paths[1], "report of simulator B")->required();
    app.add_option("--tolerance", tolerance, "metres")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    nlohmann::json reports[2];
    for (int k = 0; k < 2; ++k)
        if (!Load(paths[k], reports[k])) return 1;

    const char* names[2] = {"A", "B"};
    const Point users[2] = {UserAircraft(reports[0]), UserAircraft(reports[1])};
    bool ok = true;
    auto fail = [&ok](const std::string& why) {
        std::printf("  FAIL: %s\n", why.c_str());
        ok = false;
    };

    const double apart = Distance(users[0], users[1]);
    std::printf("two-sims check (tolerance %.0f m)\n", tolerance);
    std::printf("  user aircraft at the end: A (%.0f, %.0f), B (%.0f, %.0f), %.0f m apart\n",
                users[0].X, users[0].Z, users[1].X, users[1].Z, apart);
    // Were they close, slot 1 could sit on the wrong aircraft and still pass.
    if (!(apart > tolerance))
        fail("the two user aircraft are too close together for the check to mean anything");

    for (int k = 0; k < 2; ++k) {
        const View report = reports[k];
        const Point other = users[1 - k];
        const Slot1 slot = FindSlot1(report);
        const double frames = report["run"]["frames"].Number(NAN);
        const double fps = report["run"]["fps"].Number(60);
        if (!slot.Target.Valid()) {
            fail(std::string(names[k]) + ": no traffic target for remote aircraft 1");
            continue;
        }
        const double miss = Distance(slot.Target, other);
        std::printf(
            "  %s: remote aircraft 1 at (%.0f, %.0f), %s's user aircraft at (%.0f, %.0f): %.1f m "
            "off; "
            "last published %.2f s before the end\n",
            names[k], slot.Target.X, slot.Target.Z, names[1 - k], other.X, other.Z, miss,
            (frames - slot.LastFrame) / fps);
        if (!(miss <= tolerance))
            fail(std::string(names[k]) + ": remote aircraft 1 is not where " + names[1 - k] +
                 "'s user aircraft is");
        if (!(frames - slot.LastFrame <= fps))
            fail(std::string(names[k]) +
                 ": remote aircraft 1 stopped being published before the end");
        if (!slot.Instance.Valid())
            fail(std::string(names[k]) + ": remote aircraft 1 has no placed object");
        else if (!(Distance(slot.Instance, slot.Target) < 30))
            fail(std::string(names[k]) +
                 ": remote aircraft 1's object is away from its traffic target");
        const View& errors = report["hostErrors"];
        if (!errors.Items().empty())
            fail(std::string(names[k]) + ": host errors: " + errors.Items().front().Text());
    }
    std::printf("  %s\n", ok ? "ok: each simulator shows the other's aircraft" : "check failed");
    return ok ? 0 : 1;
}
