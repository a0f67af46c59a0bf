#include "demo/Svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "demo/Format.h"

namespace velmir::demo {

namespace {

constexpr double Width = 1180, Height = 950;
constexpr double MapLeft = 20, MapTop = 96, MapWidth = 720, MapHeight = 600;
constexpr double SideLeft = 760, SideWidth = 400;
constexpr double InsetTop = 432, InsetHeight = 264;
constexpr double ChartLeft = 70, ChartTop = 752, ChartWidth = 1080, ChartHeight = 170;
constexpr double InsetSeconds = 2.5;

const char* const Palette[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e",
                               "#17becf", "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22"};

const char* ColourOf(std::size_t i) { return Palette[i % (sizeof Palette / sizeof *Palette)]; }

// Points closer than `minPixels` to the last one kept add nothing visible.
std::string PolylinePoints(const std::vector<Vec3>& points, const MapFrame& map, double minPixels) {
    std::string out;
    double lastX = -1e9, lastY = -1e9;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const double x = map.Px(points[i].X), y = map.Py(points[i].Z);
        const bool last = i + 1 == points.size();
        if (!last && std::hypot(x - lastX, y - lastY) < minPixels) continue;
        out += Format("%.1f,%.1f ", x, y);
        lastX = x;
        lastY = y;
    }
    return out;
}

// Cut at a character boundary: a UTF-8 sequence is never split.
std::string Shorten(const std::string& text, std::size_t bytes) {
    if (text.size() <= bytes) return text;
    std::size_t cut = bytes - 3;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut) + "...";
}

void Text(std::string& svg, double x, double y, const std::string& text, const char* extra = "") {
    svg += Format("<text x=\"%.1f\" y=\"%.1f\"%s>", x, y, extra) + XmlEscape(text) + "</text>\n";
}

void ScaleBar(std::string& svg, const MapFrame& map, double left, double bottom, double maxPixels) {
    const double metres = NiceLength(maxPixels / map.Scale);
    const double pixels = metres * map.Scale;
    svg += Format(
        "<path d=\"M%.1f %.1f v6 h%.1f v-6\" fill=\"none\" stroke=\"#222\" "
        "stroke-width=\"1.5\"/>\n",
        left, bottom - 6, pixels);
    Text(svg, left + pixels / 2, bottom - 10,
         metres >= 1000 ? Format("%g km", metres / 1000) : Format("%g m", metres),
         " text-anchor=\"middle\" class=\"small\"");
}

void NorthArrow(std::string& svg, double x, double y) {
    svg += Format("<path d=\"M%.1f %.1f l7 20 l-7 -5 l-7 5 z\" fill=\"#222\"/>\n", x, y);
    Text(svg, x, y + 34, "N", " text-anchor=\"middle\" class=\"small\"");
}

std::vector<Vec3> Between(const std::vector<Vec3>& points, const std::vector<double>& times,
                          double from, double to) {
    std::vector<Vec3> out;
    for (std::size_t i = 0; i < points.size() && i < times.size(); ++i)
        if (times[i] >= from && times[i] <= to) out.push_back(points[i]);
    return out;
}

void Map(std::string& svg, const ReportInput& in) {
    const Recorder& run = *in.Run;
    std::vector<Vec3> all = in.UserTrack;
    for (const auto& s : in.Samples) all.insert(all.end(), s.begin(), s.end());
    for (const AircraftTrack& t : run.Tracks())
        all.insert(all.end(), t.Track.begin(), t.Track.end());
    const MapFrame map = FitMap(all, MapLeft, MapTop, MapWidth, MapHeight, 0.04);

    svg += Format(
        "<rect x=\"%g\" y=\"%g\" width=\"%g\" height=\"%g\" fill=\"#f5f7f9\" stroke=\"#bbb\"/>\n",
        MapLeft, MapTop, MapWidth, MapHeight);
    // A grid at the scale bar's length, through the local origin.
    const double step = NiceLength(MapWidth / 4 / map.Scale);
    svg += "<g stroke=\"#e2e6ea\" stroke-width=\"1\">\n";
    const double x0 = map.MinX, x1 = map.MinX + MapWidth / map.Scale;
    const double z0 = map.MinZ, z1 = map.MinZ + MapHeight / map.Scale;
    for (double x = std::ceil(x0 / step) * step; x <= x1; x += step)
        svg += Format("<line x1=\"%.1f\" y1=\"%g\" x2=\"%.1f\" y2=\"%g\"/>\n", map.Px(x), MapTop,
                      map.Px(x), MapTop + MapHeight);
    for (double z = std::ceil(z0 / step) * step; z <= z1; z += step)
        svg += Format("<line x1=\"%g\" y1=\"%.1f\" x2=\"%g\" y2=\"%.1f\"/>\n", MapLeft, map.Py(z),
                      MapLeft + MapWidth, map.Py(z));
    svg += "</g>\n";

    for (std::size_t i = 0; i < run.Aircraft().size(); ++i) {
        const char* colour = ColourOf(i);
        const AircraftTrack& t = run.Tracks()[i];
        svg += Format("<g fill=\"%s\" fill-opacity=\"0.45\">\n", colour);
        double lastX = -1e9, lastY = -1e9;
        if (i < in.Samples.size())
            for (const Vec3& p : in.Samples[i]) {
                const double x = map.Px(p.X), y = map.Py(p.Z);
                if (std::hypot(x - lastX, y - lastY) < 2.5) continue;
                svg += Format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"2\"/>\n", x, y);
                lastX = x;
                lastY = y;
            }
        svg += "</g>\n";
        if (!t.Track.empty())
            svg += Format("<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"1.4\" points=\"",
                          colour) +
                   PolylinePoints(t.Track, map, 0.8) + "\"/>\n";
        for (const Vec3& m : t.LabelMarks)
            svg += Format(
                "<rect x=\"%.1f\" y=\"%.1f\" width=\"6\" height=\"6\" fill=\"#fff\" "
                "fill-opacity=\"0.7\" stroke=\"%s\" stroke-width=\"1.2\"/>\n",
                map.Px(m.X) - 3, map.Py(m.Z) - 3, colour);
        if (!t.Track.empty()) {
            const Vec3& end = t.Track.back();
            svg += Format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"4\" fill=\"%s\"/>\n", map.Px(end.X),
                          map.Py(end.Z), colour);
            Text(svg, map.Px(end.X) + 7, map.Py(end.Z) - 6, run.Aircraft()[i].Tail,
                 Format(" class=\"tag\" fill=\"%s\"", colour).c_str());
        }
    }
    if (!in.UserTrack.empty()) {
        svg +=
            "<polyline fill=\"none\" stroke=\"#333\" stroke-width=\"1.6\" stroke-dasharray=\"6 4\" "
            "points=\"" +
            PolylinePoints(in.UserTrack, map, 1.0) + "\"/>\n";
        const Vec3& end = in.UserTrack.back();
        svg += Format(
            "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"4.5\" fill=\"#fff\" stroke=\"#333\" "
            "stroke-width=\"2\"/>\n",
            map.Px(end.X), map.Py(end.Z));
        Text(svg, map.Px(end.X) + 8, map.Py(end.Z) + 14, "you: " + in.UserTail, " class=\"tag\"");
    }

    ScaleBar(svg, map, MapLeft + 16, MapTop + MapHeight - 10, MapWidth / 4);
    NorthArrow(svg, MapLeft + MapWidth - 24, MapTop + 12);
}

void Legend(std::string& svg, const ReportInput& in) {
    const Recorder& run = *in.Run;
    double y = MapTop + 6;
    Text(svg, SideLeft, y, "Remote aircraft", " class=\"head\"");
    y += 22;
    for (std::size_t i = 0; i < run.Aircraft().size(); ++i) {
        const AircraftInfo& a = run.Aircraft()[i];
        const AircraftTrack& t = run.Tracks()[i];
        svg += Format("<rect x=\"%g\" y=\"%.1f\" width=\"12\" height=\"12\" fill=\"%s\"/>\n",
                      SideLeft, y - 10, ColourOf(i));
        Text(svg, SideLeft + 18, y,
             Shorten(
                 Format("%d  %s  %s (%s)", a.Slot, a.Tail.c_str(), a.Name.c_str(), a.Model.c_str()),
                 56));
        const std::size_t samples = i < in.Samples.size() ? in.Samples[i].size() : 0;
        std::string detail = Format("%zu samples", samples);
        if (t.FirstShownAt >= 0)
            detail += Format(", shown after %.0f ms, error RMS %.2f m, max %.2f m",
                             t.FirstShownAt * 1000, t.ErrorRms(), t.ErrorMax);
        else
            detail += ", never shown";
        Text(svg, SideLeft + 18, y + 15, detail, " class=\"small\"");
        y += 36;
    }
    y += 8;
    const double x = SideLeft + 6;
    svg +=
        Format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"2.5\" fill=\"#555\" fill-opacity=\"0.6\"/>\n",
               x, y - 4);
    Text(svg, SideLeft + 18, y, "sample sent by the client (every 0.1 s)", " class=\"small\"");
    y += 18;
    svg += Format(
        "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#555\" "
        "stroke-width=\"1.4\"/>\n",
        x - 6, y - 4, x + 6, y - 4);
    Text(svg, SideLeft + 18, y, "track shown by the plugin (each frame)", " class=\"small\"");
    y += 18;
    svg += Format(
        "<rect x=\"%.1f\" y=\"%.1f\" width=\"6\" height=\"6\" fill=\"#fff\" stroke=\"#555\"/>\n",
        x - 3, y - 7);
    Text(svg, SideLeft + 18, y, "label drawn on screen (a mark a second)", " class=\"small\"");
    y += 18;
    svg += Format(
        "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#333\" "
        "stroke-width=\"1.6\" stroke-dasharray=\"4 3\"/>\n",
        x - 6, y - 4, x + 6, y - 4);
    Text(svg, SideLeft + 18, y, "user aircraft, from its position reports", " class=\"small\"");
}

// The first seconds of the first aircraft, close enough to see single samples.
void Inset(std::string& svg, const ReportInput& in) {
    const Recorder& run = *in.Run;
    if (run.Aircraft().empty() || in.Samples.empty() || in.SampleTimes.empty()) return;
    const AircraftTrack& t = run.Tracks()[0];
    if (t.FirstShownAt < 0) return;
    const double from = t.FirstShownAt, to = from + InsetSeconds;
    const std::vector<Vec3> samples = Between(in.Samples[0], in.SampleTimes[0], from - 0.2, to);
    const std::vector<Vec3> shown = Between(t.Track, t.TrackTimes, from, to);
    if (samples.size() < 2 || shown.size() < 2) return;
    std::vector<Vec3> all = samples;
    all.insert(all.end(), shown.begin(), shown.end());
    const double top = InsetTop + 22;
    const MapFrame map = FitMap(all, SideLeft, top, SideWidth, InsetHeight - 22, 0.08);
    Text(svg, SideLeft, InsetTop + 6,
         Format("Close-up: %s, first %.1f s, every sample", run.Aircraft()[0].Tail.c_str(),
                InsetSeconds),
         " class=\"head\"");
    svg += Format(
        "<rect x=\"%g\" y=\"%g\" width=\"%g\" height=\"%g\" fill=\"#f5f7f9\" stroke=\"#bbb\"/>\n",
        SideLeft, top, SideWidth, InsetHeight - 22);
    svg += Format("<g fill=\"%s\" fill-opacity=\"0.5\">\n", ColourOf(0));
    for (const Vec3& p : samples)
        svg += Format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"3.5\"/>\n", map.Px(p.X), map.Py(p.Z));
    svg += "</g>\n";
    svg += Format("<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"1.4\" points=\"",
                  ColourOf(0)) +
           PolylinePoints(shown, map, 0.0) + "\"/>\n";
    ScaleBar(svg, map, SideLeft + 10, top + InsetHeight - 22 - 6, SideWidth / 3);
}

void Chart(std::string& svg, const ReportInput& in) {
    const Recorder& run = *in.Run;
    double maxTime = 1, maxError = 0;
    for (const AircraftTrack& t : run.Tracks())
        for (const ErrorSample& e : t.Errors) {
            maxTime = std::max(maxTime, e.ScenarioTime);
            maxError = std::max(maxError, e.Horizontal);
        }
    const double yStep = NiceLength(std::max(maxError, 0.01) / 3);
    const double yMax = std::max(yStep, std::ceil(maxError / yStep) * yStep);
    const double xStep = NiceLength(maxTime / 6);
    auto px = [&](double t) { return ChartLeft + t / maxTime * ChartWidth; };
    auto py = [&](double e) { return ChartTop + ChartHeight - e / yMax * ChartHeight; };

    Text(svg, ChartLeft - 50, ChartTop - 14,
         "Smoothing error: horizontal distance between the shown and the scripted position (m)",
         " class=\"head\"");
    svg += Format(
        "<rect x=\"%g\" y=\"%g\" width=\"%g\" height=\"%g\" fill=\"#fff\" stroke=\"#bbb\"/>\n",
        ChartLeft, ChartTop, ChartWidth, ChartHeight);
    for (double e = 0; e <= yMax + 1e-9; e += yStep) {
        svg += Format("<line x1=\"%g\" y1=\"%.1f\" x2=\"%g\" y2=\"%.1f\" stroke=\"#eee\"/>\n",
                      ChartLeft, py(e), ChartLeft + ChartWidth, py(e));
        Text(svg, ChartLeft - 6, py(e) + 4, Format("%g", e),
             " text-anchor=\"end\" class=\"small\"");
    }
    for (double t = 0; t <= maxTime + 1e-9; t += xStep)
        Text(svg, px(t), ChartTop + ChartHeight + 15, Format("%g s", t),
             " text-anchor=\"middle\" class=\"small\"");
    for (std::size_t i = 0; i < run.Tracks().size(); ++i) {
        const std::vector<ErrorSample>& errors = run.Tracks()[i].Errors;
        if (errors.empty()) continue;
        // One point per pixel column, the largest error in it, so spikes stay.
        std::string points;
        std::size_t k = 0;
        while (k < errors.size()) {
            const int column = int(px(errors[k].ScenarioTime));
            double worst = errors[k].Horizontal;
            std::size_t j = k + 1;
            while (j < errors.size() && int(px(errors[j].ScenarioTime)) == column)
                worst = std::max(worst, errors[j++].Horizontal);
            points += Format("%d,%.1f ", column, py(worst));
            k = j;
        }
        svg += Format("<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"1.2\" points=\"",
                      ColourOf(i)) +
               points + "\"/>\n";
    }
}

}  // namespace

MapFrame FitMap(const std::vector<Vec3>& points, double left, double top, double width,
                double height, double margin) {
    double minX = std::numeric_limits<double>::max(), maxX = std::numeric_limits<double>::lowest();
    double minZ = minX, maxZ = maxX;
    for (const Vec3& p : points) {
        minX = std::min(minX, p.X);
        maxX = std::max(maxX, p.X);
        minZ = std::min(minZ, p.Z);
        maxZ = std::max(maxZ, p.Z);
    }
    if (points.empty()) minX = maxX = minZ = maxZ = 0;
    // A single point or a straight line still gets an area around it.
    const double spanX = std::max(maxX - minX, 1.0), spanZ = std::max(maxZ - minZ, 1.0);
    const double grownX = spanX * (1 + 2 * margin), grownZ = spanZ * (1 + 2 * margin);
    MapFrame map;
    map.Scale = std::min(width / grownX, height / grownZ);
    map.Left = left;
    map.Top = top;
    // Centre the box: the leftover of the tighter axis splits evenly.
    map.MinX = (minX + maxX) / 2 - width / map.Scale / 2;
    map.MinZ = (minZ + maxZ) / 2 - height / map.Scale / 2;
    return map;
}

double NiceLength(double metres) {
    if (!(metres >= 1)) return 1;
    const double power = std::pow(10.0, std::floor(std::log10(metres)));
    for (double mantissa : {5.0, 2.0, 1.0})
        if (mantissa * power <= metres * (1 + 1e-12)) return mantissa * power;
    return power;
}

std::string XmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default:
            // Control characters are not allowed in XML 1.0 text.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n')
                out += '?';
            else
                out += c;
        }
    }
    return out;
}

std::string RenderReport(const ReportInput& in) {
    std::string svg = Format(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%g\" height=\"%g\" viewBox=\"0 0 %g "
        "%g\" "
        "font-family=\"DejaVu Sans, Helvetica, Arial, sans-serif\" font-size=\"13\">\n",
        Width, Height, Width, Height);
    svg +=
        "<style>.head{font-weight:bold;font-size:14px}.small{font-size:11px;fill:#333}"
        ".tag{font-size:11px;font-weight:bold}</style>\n";
    svg += Format("<rect width=\"%g\" height=\"%g\" fill=\"#fff\"/>\n", Width, Height);
    Text(svg, 20, 30, in.Title, " font-size=\"19\" font-weight=\"bold\"");
    double y = 50;
    for (const std::string& note : in.Notes) {
        Text(svg, 20, y, note, " class=\"small\"");
        y += 15;
    }
    if (in.Run) {
        Map(svg, in);
        Legend(svg, in);
        Inset(svg, in);
        Chart(svg, in);
    }
    svg += "</svg>\n";
    return svg;
}

}  // namespace velmir::demo
