// The demo's report picture: a top-down map of the run (north up) with the
// samples each remote aircraft was sent, the track the plugin showed, where
// its labels were drawn and the user aircraft's own track; a close-up of the
// first seconds of one aircraft; and the smoothing error over time.
#pragma once

#include <string>
#include <vector>

#include "demo/Recorder.h"

namespace velmir::demo {

struct ReportInput {
    const Recorder* Run = nullptr;
    std::vector<std::vector<Vec3>> Samples;        // per aircraft, as sent
    std::vector<std::vector<double>> SampleTimes;  // scenario time of each sample
    std::vector<Vec3> UserTrack;
    std::string UserTail;
    std::string Title;
    std::vector<std::string> Notes;  // a line each under the title
};

std::string RenderReport(const ReportInput& input);

// Metres to pixels with the same scale on both axes, north (-z) up.
struct MapFrame {
    double MinX = 0, MinZ = 0;  // local frame at the top-left corner's origin
    double Scale = 1;           // pixels per metre
    double Left = 0, Top = 0;   // pixel offset of the drawing area
    double Px(double x) const { return Left + (x - MinX) * Scale; }
    double Py(double z) const { return Top + (z - MinZ) * Scale; }
};
// Fits the points' bounding box, grown by `margin` of its size on each side,
// centred in a width × height area at (left, top).
MapFrame FitMap(const std::vector<Vec3>& points, double left, double top, double width,
                double height, double margin);

// The longest 1, 2 or 5 × 10^k not above `metres` (at least 1).
double NiceLength(double metres);
std::string XmlEscape(const std::string& text);

}  // namespace velmir::demo
