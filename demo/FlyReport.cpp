// velmir-fly-report: reads what each simulator of a scripts/fly-together run
// wrote (its velmir-sim --track file and its velmir-net --json lines), prints
// how well each side showed the others, and draws the tracks flown against
// the tracks shown.
//
//   velmir-fly-report [--svg FILE] [--tolerance M] CALLSIGN TRACK JSON ...
//
// Shown against flown is compared at the same wall-clock moment: the error
// is the horizontal distance from where a viewer showed a pilot to where the
// pilot was. The lag is how far back along the pilot's own track the shown
// position lies (the time from a position report to its display, smoothing
// included). Exit 1 when a viewer never showed a pilot or the error's 95th
// percentile exceeds the tolerance.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "demo/Svg.h"
#include "host/Host.h"

namespace {

using velmir::demo::Vec3;

struct Sample {
    double Wall = 0;
    Vec3 At;
};

struct Pilot {
    std::string Callsign;
    std::vector<Sample> Flown;
    std::map<int, std::vector<Sample>> Shown;  // slot -> where this side showed it
    std::map<int, std::string> SlotOwner;      // slot -> callsign, from velmir-net
    std::string FinalView;                     // velmir-net's last word, readable
};

// Metres around the first point read, x east, z south: the simulator host's
// own projection, so the picture matches what each side showed.
struct Projection {
    bool Placed = false;
    Vec3 operator()(double lat, double lon, double alt) {
        if (!Placed) velmir::host::SetReferencePoint(lat, lon), Placed = true;
        const velmir::host::LocalPoint p = velmir::host::WorldToLocal(lat, lon, alt);
        return {p.x, p.y, p.z};
    }
};

bool ReadTrack(const std::string& path, Projection& project, Pilot& p) {
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string kind;
        double wall = 0, lat = 0, lon = 0, alt = 0;
        int slot = 0;
        f >> kind >> wall;
        if (kind == "s") f >> slot;
        if (!(f >> lat >> lon >> alt)) continue;  // a line cut short by the stop
        const Sample s{wall, project(lat, lon, alt)};
        if (kind == "u")
            p.Flown.push_back(s);
        else if (kind == "s")
            p.Shown[slot].push_back(s);
    }
    return true;
}

void ReadNet(const std::string& path, Pilot& p) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        // The final line comes after leaving, with every slot given up.
        if (!j.is_object() || !j.contains("pilots") || j.value("final", false)) continue;
        std::ostringstream view;
        for (const auto& o : j["pilots"]) {
            const std::string who = o.value("callsign", "?");
            if (o.contains("slot") && o["slot"].is_number()) p.SlotOwner[o["slot"]] = who;
            char text[160];
            snprintf(text, sizeof text, "%s %.2f nm %s", who.c_str(), o.value("distance_nm", NAN),
                     o.contains("slot") && o["slot"].is_number()
                         ? ("slot " + std::to_string(o["slot"].get<int>())).c_str()
                         : "no slot");
            view << (view.tellp() > 0 ? ", " : "") << text;
        }
        p.FinalView = view.str();
    }
}

// The pilot's flown position at a wall-clock moment, if the track covers it.
bool FlownAt(const std::vector<Sample>& track, double wall, Vec3& out) {
    auto after = std::lower_bound(track.begin(), track.end(), wall,
                                  [](const Sample& s, double w) { return s.Wall < w; });
    if (after == track.begin() || after == track.end()) return false;
    const Sample& a = *(after - 1);
    const Sample& b = *after;
    const double k = b.Wall > a.Wall ? (wall - a.Wall) / (b.Wall - a.Wall) : 0;
    out = {a.At.X + k * (b.At.X - a.At.X), a.At.Y + k * (b.At.Y - a.At.Y),
           a.At.Z + k * (b.At.Z - a.At.Z)};
    return true;
}

// The wall-clock moment at which the flown track passed nearest to `at`,
// searched within two seconds before `wall`.
double NearestMoment(const std::vector<Sample>& track, double wall, const Vec3& at) {
    double best = NAN, bestDistance = 1e300;
    for (size_t i = 1; i < track.size(); ++i) {
        const Sample& a = track[i - 1];
        const Sample& b = track[i];
        if (b.Wall < wall - 2 || a.Wall > wall + 0.5) continue;
        const double dx = b.At.X - a.At.X, dz = b.At.Z - a.At.Z;
        const double len2 = dx * dx + dz * dz;
        double k = len2 > 0 ? ((at.X - a.At.X) * dx + (at.Z - a.At.Z) * dz) / len2 : 0;
        k = std::clamp(k, 0.0, 1.0);
        const double d = std::hypot(a.At.X + k * dx - at.X, a.At.Z + k * dz - at.Z);
        if (d < bestDistance) bestDistance = d, best = a.Wall + k * (b.Wall - a.Wall);
    }
    return best;
}

double Percentile(std::vector<double> v, double q) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * (v.size() - 1) + 0.5))];
}

struct PairResult {
    std::string Viewer, Shown;
    std::vector<Sample> Track;         // the shown track
    std::vector<double> Errors, Lags;  // metres, seconds
    std::vector<std::pair<double, double>> ErrorOverTime;
};

const char* kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#17becf"};
const char* kDashes[] = {"7,3", "2,2", "12,3,2,3", "4,4"};

// Colour by pilot shown, dash by viewer.
struct Styles {
    const std::vector<Pilot>& Pilots;
    int Index(const std::string& callsign) const {
        for (size_t i = 0; i < Pilots.size(); ++i)
            if (Pilots[i].Callsign == callsign) return static_cast<int>(i);
        return 0;
    }
    const char* Colour(const std::string& callsign) const { return kColours[Index(callsign) % 6]; }
    std::string Dashed(const std::string& viewer, double width) const {
        return "stroke-width='" + std::to_string(width) + "' stroke-dasharray='" +
               kDashes[Index(viewer) % 4] + "'";
    }
};

void Polyline(std::ostringstream& o, const velmir::demo::MapFrame& map,
              const std::vector<Sample>& track, const char* colour, const std::string& style,
              double from = -1e300, double to = 1e300) {
    o << "<polyline fill='none' stroke='" << colour << "' " << style << " points='";
    for (const Sample& s : track)
        if (s.Wall >= from && s.Wall <= to) o << map.Px(s.At.X) << ',' << map.Py(s.At.Z) << ' ';
    o << "'/>\n";
}

void ScaleBar(std::ostringstream& o, const velmir::demo::MapFrame& map, double x, double y,
              double maxPixels) {
    const double metres = velmir::demo::NiceLength(maxPixels / map.Scale);
    o << "<line x1='" << x << "' y1='" << y << "' x2='" << x + metres * map.Scale << "' y2='" << y
      << "' stroke='black' stroke-width='2'/><text x='" << x << "' y='" << y - 5 << "'>" << metres
      << " m</text>\n";
}

std::string Svg(const std::vector<Pilot>& pilots, const std::vector<PairResult>& pairs,
                const std::string& title) {
    using namespace velmir::demo;
    const Styles style{pilots};
    const double W = 1400, H = 1000, chartTop = 790;
    std::vector<Vec3> all;
    for (const Pilot& p : pilots)
        for (const Sample& s : p.Flown) all.push_back(s.At);
    const MapFrame map = FitMap(all, 20, 70, 860, chartTop - 110, 0.03);
    std::ostringstream o;
    o << "<svg xmlns='http://www.w3.org/2000/svg' width='" << W << "' height='" << H
      << "' font-family='sans-serif' font-size='13'>\n<rect width='100%' height='100%' "
         "fill='white'/>\n<text x='20' y='25' font-size='17'>"
      << XmlEscape(title) << "</text>\n<text x='20' y='45' fill='#555'>each pilot's colour; "
      << "thick: the track it flew; dashed: where another simulator showed it (dash = the "
         "viewer). Top-down, north up.</text>\n";
    for (const Pilot& p : pilots)
        Polyline(o, map, p.Flown, style.Colour(p.Callsign),
                 "stroke-width='5' stroke-opacity='0.35'");
    for (const PairResult& r : pairs)
        Polyline(o, map, r.Track, style.Colour(r.Shown), style.Dashed(r.Viewer, 1.2));
    ScaleBar(o, map, 20, chartTop - 30, 200);
    for (size_t i = 0; i < pilots.size(); ++i)
        o << "<text x='20' y='" << 75 + 18 * i << "' fill='" << kColours[i % 6] << "'>"
          << XmlEscape(pilots[i].Callsign) << "</text>\n";

    // Close-up: one second of the first pilot's flight, where metres show.
    const Pilot& first = pilots.front();
    const double inL = 920, inT = 70, inW = 460, inH = 460;
    const double to = first.Flown.empty() ? 0 : first.Flown.back().Wall - 0.5, from = to - 1;
    std::vector<Vec3> near;
    for (const Sample& s : first.Flown)
        if (s.Wall >= from && s.Wall <= to) near.push_back(s.At);
    const MapFrame zoom = FitMap(near, inL, inT + 10, inW, inH - 10, 0.08);
    o << "<text x='" << inL << "' y='" << inT - 10 << "'>close-up: " << XmlEscape(first.Callsign)
      << ", one second; dots 0.2 s apart, the same moment joined</text>\n<svg x='" << inL << "' y='"
      << inT << "' width='" << inW << "' height='" << inH << "'><g transform='translate(" << -inL
      << ',' << -inT << ")'>\n";
    Polyline(o, zoom, first.Flown, style.Colour(first.Callsign),
             "stroke-width='5' stroke-opacity='0.35'", from, to);
    int legend = 0;
    for (const PairResult& r : pairs) {
        if (r.Shown != first.Callsign) continue;
        Polyline(o, zoom, r.Track, style.Colour(r.Shown), style.Dashed(r.Viewer, 2), from, to);
        double next = from;
        for (const Sample& s : r.Track) {
            Vec3 flown;
            if (s.Wall < next || s.Wall > to || !FlownAt(first.Flown, s.Wall, flown)) continue;
            next = s.Wall + 0.2;
            o << "<line x1='" << zoom.Px(s.At.X) << "' y1='" << zoom.Py(s.At.Z) << "' x2='"
              << zoom.Px(flown.X) << "' y2='" << zoom.Py(flown.Z)
              << "' stroke='#555' stroke-width='0.8'/><circle cx='" << zoom.Px(s.At.X) << "' cy='"
              << zoom.Py(s.At.Z) << "' r='2.5' fill='" << style.Colour(r.Shown) << "'/><circle cx='"
              << zoom.Px(flown.X) << "' cy='" << zoom.Py(flown.Z) << "' r='3' fill='black'/>\n";
        }
        o << "<line x1='" << inL + 10 << "' y1='" << inT + inH - 40 + 16 * legend << "' x2='"
          << inL + 50 << "' y2='" << inT + inH - 40 + 16 * legend << "' stroke='"
          << style.Colour(r.Shown) << "' " << style.Dashed(r.Viewer, 2) << "/><text x='" << inL + 58
          << "' y='" << inT + inH - 36 + 16 * legend << "'>shown by " << XmlEscape(r.Viewer)
          << "</text>\n";
        ++legend;
    }
    ScaleBar(o, zoom, inL + 10, inT + 25, 100);
    o << "</g></svg><rect x='" << inL << "' y='" << inT << "' width='" << inW << "' height='" << inH
      << "' fill='none' stroke='#aaa'/>\n";

    // The error of each viewer-pilot pair over the run.
    double maxError = 1, t0 = 1e300, t1 = -1e300;
    for (const PairResult& r : pairs)
        for (const auto& e : r.ErrorOverTime) {
            maxError = std::max(maxError, std::min(e.second, 200.0));
            t0 = std::min(t0, e.first), t1 = std::max(t1, e.first);
        }
    maxError = std::ceil(maxError);
    const double cx = 60, cw = W - 100, ch = H - chartTop - 50;
    o << "<text x='20' y='" << chartTop + 5
      << "'>shown - flown at the same moment (m) over the run; colour: pilot shown, dash: "
         "viewer</text>\n<rect x='"
      << cx << "' y='" << chartTop + 15 << "' width='" << cw << "' height='" << ch
      << "' fill='none' stroke='#aaa'/><text x='" << cx - 8 << "' y='" << chartTop + 24
      << "' text-anchor='end'>" << maxError << "</text><text x='" << cx - 8 << "' y='"
      << chartTop + 15 + ch << "' text-anchor='end'>0</text><text x='" << cx + cw << "' y='"
      << chartTop + 30 + ch << "' text-anchor='end'>" << std::lround(std::max(t1 - t0, 0.0))
      << " s</text>\n";
    for (const PairResult& r : pairs) {
        o << "<polyline fill='none' stroke='" << style.Colour(r.Shown) << "' "
          << style.Dashed(r.Viewer, 1.2) << " points='";
        for (size_t i = 0; i < r.ErrorOverTime.size(); i += 2) {
            const auto& e = r.ErrorOverTime[i];
            o << cx + (e.first - t0) / std::max(t1 - t0, 1.0) * cw << ','
              << chartTop + 15 + ch - std::min(e.second, maxError) / maxError * ch << ' ';
        }
        o << "'/>\n";
    }
    o << "</svg>\n";
    return o.str();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Compares the tracks each simulator of a fly-together run showed with the "
        "tracks flown."};
    std::string svgPath;
    double tolerance = 15;
    std::vector<std::string> inputs;
    app.add_option("--svg", svgPath, "picture to write");
    app.add_option("--tolerance", tolerance, "largest 95th percentile error accepted, metres");
    app.add_option("inputs", inputs, "CALLSIGN TRACK JSON, once per simulator")->required();
    CLI11_PARSE(app, argc, argv);
    if (inputs.size() % 3 != 0 || inputs.size() < 6) {
        fprintf(stderr, "velmir-fly-report: give CALLSIGN TRACK JSON for two or more sides\n");
        return 2;
    }
    Projection project;
    std::vector<Pilot> pilots;
    for (size_t i = 0; i < inputs.size(); i += 3) {
        Pilot p;
        p.Callsign = inputs[i];
        if (!ReadTrack(inputs[i + 1], project, p)) {
            fprintf(stderr, "velmir-fly-report: cannot read %s\n", inputs[i + 1].c_str());
            return 1;
        }
        ReadNet(inputs[i + 2], p);
        pilots.push_back(std::move(p));
    }

    bool ok = true;
    std::vector<PairResult> pairs;
    std::vector<double> allErrors, allLags;
    printf("what each side saw at the end (velmir-net):\n");
    for (const Pilot& viewer : pilots)
        printf("  %-10s sees %s\n", viewer.Callsign.c_str(),
               viewer.FinalView.empty() ? "nobody" : viewer.FinalView.c_str());
    printf(
        "shown against flown (error: metres at the same moment; lag: ms back along the "
        "track):\n");
    for (const Pilot& viewer : pilots) {
        for (const Pilot& other : pilots) {
            if (&other == &viewer) continue;
            PairResult r{viewer.Callsign, other.Callsign, {}, {}, {}, {}};
            for (const auto& [slot, owner] : viewer.SlotOwner)
                if (owner == other.Callsign && viewer.Shown.count(slot))
                    r.Track = viewer.Shown.at(slot);
            for (const Sample& s : r.Track) {
                Vec3 flown;
                if (!FlownAt(other.Flown, s.Wall, flown)) continue;
                const double e = std::hypot(s.At.X - flown.X, s.At.Z - flown.Z);
                r.Errors.push_back(e);
                r.ErrorOverTime.emplace_back(s.Wall, e);
                const double when = NearestMoment(other.Flown, s.Wall, s.At);
                if (!std::isnan(when)) r.Lags.push_back((s.Wall - when) * 1000);
            }
            const double p95 = Percentile(r.Errors, 0.95);
            printf(
                "  %-10s shows %-10s %5zu samples  error median %6.1f  p95 %6.1f  max %7.1f"
                "  lag median %5.0f  p99 %5.0f\n",
                viewer.Callsign.c_str(), other.Callsign.c_str(), r.Errors.size(),
                Percentile(r.Errors, 0.5), p95,
                r.Errors.empty() ? NAN : *std::max_element(r.Errors.begin(), r.Errors.end()),
                Percentile(r.Lags, 0.5), Percentile(r.Lags, 0.99));
            if (r.Errors.empty()) {
                printf("  FAIL: %s never showed %s\n", viewer.Callsign.c_str(),
                       other.Callsign.c_str());
                ok = false;
            } else if (!(p95 <= tolerance)) {
                printf("  FAIL: %s shows %s more than %.0f m away from where it flew\n",
                       viewer.Callsign.c_str(), other.Callsign.c_str(), tolerance);
                ok = false;
            }
            allErrors.insert(allErrors.end(), r.Errors.begin(), r.Errors.end());
            allLags.insert(allLags.end(), r.Lags.begin(), r.Lags.end());
            pairs.push_back(std::move(r));
        }
    }
    printf(
        "all pairs: smoothing error median %.1f m, p95 %.1f m; display lag median %.0f ms, "
        "p99 %.0f ms\n",
        Percentile(allErrors, 0.5), Percentile(allErrors, 0.95), Percentile(allLags, 0.5),
        Percentile(allLags, 0.99));
    if (!svgPath.empty()) {
        std::ofstream out(svgPath);
        out << Svg(
            pilots, pairs,
            std::to_string(pilots.size()) + " simulators flying together through one broker");
        if (!out) {
            fprintf(stderr, "velmir-fly-report: cannot write %s\n", svgPath.c_str());
            return 1;
        }
        printf("picture: %s\n", svgPath.c_str());
    }
    printf("%s\n", ok ? "ok: every side showed every other pilot where it flew" : "check failed");
    return ok ? 0 : 1;
}
