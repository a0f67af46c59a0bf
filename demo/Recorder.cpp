#include "demo/Recorder.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

namespace velmir::demo {

namespace {

constexpr double LabelMarkEverySeconds = 1.0;
// The plugin turns colour bytes into floats; the shadow under each label is
// grey, so only draws in our own colour are labels.
constexpr float ColourTolerance = 0.01f;
constexpr int ApproximateCharWidth = 6;  // pixels, the simulator's basic font

bool HasWord(const std::string& text, const std::string& word) {
    if (word.empty()) return false;
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        const bool startsWord = at == 0 || text[at - 1] == ' ';
        const std::size_t end = at + word.size();
        const bool endsWord = end == text.size() || text[end] == ' ';
        if (startsWord && endsWord) return true;
    }
    return false;
}

}  // namespace

int LabelOwner(const std::string& text, const std::vector<AircraftInfo>& aircraft) {
    for (const AircraftInfo& a : aircraft)
        if (HasWord(text, a.Tail)) return a.Slot;
    for (const AircraftInfo& a : aircraft)
        if (HasWord(text, a.Name)) return a.Slot;
    return -1;
}

double AircraftTrack::ErrorRms() const {
    return ErrorCount ? std::sqrt(ErrorSumSquares / ErrorCount) : 0.0;
}

double AircraftTrack::MeanHeightDifference() const {
    return ErrorCount ? HeightSum / ErrorCount : 0.0;
}

Recorder::Recorder(std::vector<AircraftInfo> aircraft, const float labelColour[3], Truth truth)
    : aircraft_(std::move(aircraft)), truth_(std::move(truth)) {
    std::copy(labelColour, labelColour + 3, labelColour_);
    tracks_.resize(aircraft_.size());
    lastMarkAt_.assign(aircraft_.size(), -1e9);
}

void Recorder::Observe(const FrameView& frame) {
    ++frames_;
    pluginSeconds_.push_back(frame.PluginSeconds);

    for (std::size_t i = 0; i < aircraft_.size(); ++i) {
        const int slot = aircraft_[i].Slot;
        AircraftTrack& t = tracks_[i];
        t.Shown = false;
        t.TargetIndex = 0;
        t.LabelDrawn = false;
        t.LabelOnScreen = false;

        // An object has offsets from the aircraft's reference point; the
        // traffic target is the reference point itself, so it wins.
        const InstanceView* instance = nullptr;
        for (const InstanceView& v : frame.Instances)
            if (v.Slot == slot) {
                instance = &v;
                break;
            }
        const TargetView* target = nullptr;
        for (const TargetView& v : frame.Targets)
            if (v.Slot == slot) {
                target = &v;
                break;
            }
        if (instance) {
            t.Track.push_back(instance->Position);
            t.TrackTimes.push_back(frame.Streaming ? frame.ScenarioTime : -1.0);
            if (t.FirstShownAt < 0 && frame.Streaming) t.FirstShownAt = frame.ScenarioTime;
        }
        if (target) {
            t.TargetIndex = target->Index;
            t.Position = target->Position;
            t.Vx = target->Vx;
            t.Vz = target->Vz;
        } else if (instance) {
            t.Position = instance->Position;
            t.Vx = t.Vz = 0;
        }
        t.Shown = target || instance;

        if (t.Shown && frame.Streaming && t.FirstShownAt >= 0) {
            const Vec3 truth = truth_(i, frame.ScenarioTime);
            const double error = std::hypot(t.Position.X - truth.X, t.Position.Z - truth.Z);
            ++t.ErrorCount;
            t.ErrorSumSquares += error * error;
            t.ErrorMax = std::max(t.ErrorMax, error);
            t.HeightSum += t.Position.Y - truth.Y;
            t.Errors.push_back({frame.ScenarioTime, error});
        }
    }

    for (const LabelView& label : frame.Labels) {
        if (std::fabs(label.R - labelColour_[0]) > ColourTolerance ||
            std::fabs(label.G - labelColour_[1]) > ColourTolerance ||
            std::fabs(label.B - labelColour_[2]) > ColourTolerance)
            continue;
        const int slot = LabelOwner(label.Text, aircraft_);
        for (std::size_t i = 0; i < aircraft_.size(); ++i) {
            if (aircraft_[i].Slot != slot) continue;
            AircraftTrack& t = tracks_[i];
            t.LabelDrawn = true;
            t.Label = label.Text;
            t.LabelX = label.X;
            t.LabelY = label.Y;
            ++t.LabelFrames;
            // The text starts at X and runs right; part of it in the window counts.
            t.LabelOnScreen =
                frame.WindowWidth <= 0 || frame.WindowHeight <= 0 ||
                (label.X < frame.WindowWidth && label.Y >= 0 && label.Y < frame.WindowHeight &&
                 label.X + int(label.Text.size()) * ApproximateCharWidth > 0);
            if (!t.LabelOnScreen) continue;
            ++t.LabelOnScreenFrames;
            if (t.Shown && frame.Time - lastMarkAt_[i] >= LabelMarkEverySeconds - 1e-9) {
                t.LabelMarks.push_back(t.Position);
                lastMarkAt_[i] = frame.Time;
            }
        }
    }
}

Spread SpreadOf(std::vector<double> values) {
    Spread s;
    s.Count = values.size();
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    auto rank = [&](double q) {
        std::size_t k = static_cast<std::size_t>(std::ceil(q * values.size()));
        return values[std::min(values.size() - 1, k == 0 ? 0 : k - 1)];
    };
    s.Min = values.front();
    s.Max = values.back();
    s.Median = rank(0.5);
    s.P99 = rank(0.99);
    s.Mean = std::accumulate(values.begin(), values.end(), 0.0) / values.size();
    return s;
}

}  // namespace velmir::demo
