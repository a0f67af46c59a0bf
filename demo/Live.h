// The demo's live view: what the plugin did this frame, read from the host,
// and the table shown in the terminal while the run goes on.
#ifndef VELMIR_DEMO_LIVE_H
#define VELMIR_DEMO_LIVE_H

#include <cstddef>
#include <string>
#include <vector>

#include "demo/DemoClient.h"
#include "demo/Recorder.h"

namespace velmir::demo {

// A world position in the host's local frame.
Vec3 ToLocal(double lat, double lon, double alt);
// The host's state after a frame: user aircraft, instances, targets, labels.
FrameView ReadFrame(const DemoClient& demoClient);
// The live table: the user aircraft as reported, then one line per aircraft.
std::vector<std::string> TableLines(const Recorder& run, const ClientState& cs, const Vec3& user);
std::string Fit(const std::string& line, std::size_t width);
// "N aircraft shown, N traffic targets, N labels on screen".
std::string Shown(const Recorder& run);
std::string Progress(double elapsed, double total, const Recorder& run);
std::size_t TerminalWidth();  // of stdout, 160 when not a terminal

}  // namespace velmir::demo

#endif
