// What the demo watches every frame, reduced to the figures it prints and
// draws. It knows nothing of the host: the caller fills a FrameView from the
// host's state, so the bookkeeping can be checked with made-up frames.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace velmir::demo {

struct Vec3 {
    double X = 0, Y = 0, Z = 0;  // local frame: x east, y up, z south, metres
};

struct AircraftInfo {
    int Slot = 0;
    std::string Tail, Name, Model;
};

struct TargetView {  // one traffic target as published
    int Index = 0;   // target index, 1..
    int Slot = 0;    // its mode S id, which the plugin sets to the slot
    Vec3 Position;
    double Vx = 0, Vz = 0;
};
struct InstanceView {  // one placed 3D object instance
    int Slot = 0;
    Vec3 Position;
};
struct LabelView {  // one string drawn this frame
    std::string Text;
    int X = 0, Y = 0;
    float R = 0, G = 0, B = 0;
};

struct FrameView {
    double Time = 0;          // simulated seconds
    bool Streaming = false;   // the client has started its scenario clock
    double ScenarioTime = 0;  // seconds since scenario time 0
    Vec3 User;
    int WindowWidth = 0, WindowHeight = 0;  // 0: unknown, every label counts as on screen
    std::vector<TargetView> Targets;
    std::vector<InstanceView> Instances;
    std::vector<LabelView> Labels;
    double PluginSeconds = 0;  // wall time inside the plugin's callbacks this frame
};

// Slot of the aircraft a label belongs to: the label carries the tail number
// (or, with the tail switched off, the display name) as a whole word. -1 when
// none matches.
int LabelOwner(const std::string& text, const std::vector<AircraftInfo>& aircraft);

struct ErrorSample {
    double ScenarioTime = 0;
    double Horizontal = 0;  // m
};

struct AircraftTrack {
    // Latest frame.
    bool Shown = false;     // placed as an instance or a traffic target
    Vec3 Position;          // shown position
    double Vx = 0, Vz = 0;  // shown velocity (traffic target)
    int TargetIndex = 0;    // 0: not a traffic target
    bool LabelDrawn = false;
    bool LabelOnScreen = false;  // the plugin also draws labels outside the window
    std::string Label;
    int LabelX = 0, LabelY = 0;

    // Whole run.
    std::vector<Vec3> Track;         // instance position, every frame it was placed
    std::vector<double> TrackTimes;  // scenario time of each (-1 before streaming)
    std::vector<Vec3> LabelMarks;    // where it was when labelled on screen, at most once a second
    double FirstShownAt = -1;        // scenario time of the first placement; -1 never
    int LabelFrames = 0, LabelOnScreenFrames = 0;
    int ErrorCount = 0;
    double ErrorSumSquares = 0, ErrorMax = 0;
    double HeightSum = 0;  // shown minus scripted height, summed
    std::vector<ErrorSample> Errors;

    double ErrorRms() const;
    double MeanHeightDifference() const;
};

class Recorder {
  public:
    // truth(i, t): where scenario aircraft i really is at scenario time t.
    using Truth = std::function<Vec3(std::size_t aircraft, double scenarioTime)>;

    Recorder(std::vector<AircraftInfo> aircraft, const float labelColour[3], Truth truth);

    void Observe(const FrameView& frame);

    const std::vector<AircraftInfo>& Aircraft() const { return aircraft_; }
    const std::vector<AircraftTrack>& Tracks() const { return tracks_; }
    const std::vector<double>& PluginFrameSeconds() const { return pluginSeconds_; }
    std::size_t Frames() const { return frames_; }

  private:
    std::vector<AircraftInfo> aircraft_;
    float labelColour_[3];
    Truth truth_;
    std::vector<AircraftTrack> tracks_;
    std::vector<double> lastMarkAt_;
    std::vector<double> pluginSeconds_;
    std::size_t frames_ = 0;
};

struct Spread {
    double Min = 0, Median = 0, P99 = 0, Max = 0, Mean = 0;
    std::size_t Count = 0;
};
// Order statistics by nearest rank; all zero for no values.
Spread SpreadOf(std::vector<double> values);

}  // namespace velmir::demo
