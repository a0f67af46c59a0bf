// Checks of the demo's own bookkeeping: what it prints and draws is only as
// good as the way it pairs labels with aircraft, lines up shown and scripted
// positions in time, and writes its picture.
#include <gtest/gtest.h>

#include <time.h>

#include <cmath>
#include <string>
#include <vector>

#include "XPLMProcessing.h"
#include "demo/CallbackTimer.h"
#include "demo/Recorder.h"
#include "demo/Svg.h"
#include "host/Host.h"

namespace velmir::demo {
namespace {

const float Yellow[3] = {1.0f, 0.8235f, 0.2353f};

std::vector<AircraftInfo> TwoAircraft() {
    return {{3, "HB-KQ", "Kilo", "Cessna 172SP"}, {7, "HB-KQA", "Alpha", "Piper PA-28"}};
}

// East at 80 m/s from the origin.
Vec3 Eastbound(std::size_t, double t) { return {80.0 * t, 1000.0, 0.0}; }

TEST(LabelOwner, MatchesWholeTailNumbersOnly) {
    const auto aircraft = TwoAircraft();
    // "HB-KQ" is a prefix of "HB-KQA": only a whole word counts.
    EXPECT_EQ(LabelOwner("Alpha HB-KQA 1.20nm 3281ft 107kt ", aircraft), 7);
    EXPECT_EQ(LabelOwner("Kilo HB-KQ 0.50nm ", aircraft), 3);
    EXPECT_EQ(LabelOwner("HB-KQA ", aircraft), 7);
    // Tail switched off: the display name decides.
    EXPECT_EQ(LabelOwner("Alpha 2.00nm ", aircraft), 7);
    EXPECT_EQ(LabelOwner("1.20nm 3281ft ", aircraft), -1);
    EXPECT_EQ(LabelOwner("", aircraft), -1);
}

FrameView Frame(double t, bool streaming = true) {
    FrameView f;
    f.Time = t;
    f.Streaming = streaming;
    f.ScenarioTime = t;
    f.WindowWidth = 1920;
    f.WindowHeight = 1080;
    return f;
}

TEST(Recorder, ErrorComparesWithTheScriptAtTheSameMoment) {
    Recorder run({{4, "HB-JQD", "Delta", "King Air"}}, Yellow, Eastbound);
    // The client started its scenario 0.5 s into the run, and the plugin
    // shows the aircraft 50 ms late: 4 m behind at 80 m/s.
    for (int k = 0; k <= 120; ++k) {
        const double t = 0.5 + k / 60.0;
        FrameView f = Frame(t);
        f.ScenarioTime = t - 0.5;
        const Vec3 shown = Eastbound(0, f.ScenarioTime - 0.05);
        f.Targets.push_back({1, 4, shown, 80, 0});
        f.Instances.push_back({4, shown});
        run.Observe(f);
    }
    const AircraftTrack& t = run.Tracks()[0];
    EXPECT_EQ(t.ErrorCount, 121);
    EXPECT_NEAR(t.ErrorRms(), 4.0, 1e-9);
    EXPECT_NEAR(t.ErrorMax, 4.0, 1e-9);
    EXPECT_NEAR(t.MeanHeightDifference(), 0.0, 1e-9);
    EXPECT_EQ(t.TargetIndex, 1);
}

TEST(Recorder, TrafficTargetIsTheReferencePointNotTheObject) {
    Recorder run({{4, "HB-JQD", "Delta", "King Air"}}, Yellow, Eastbound);
    FrameView f = Frame(1.0);
    f.Targets.push_back({2, 4, Eastbound(0, 1.0), 80, 0});
    // The fuselage object sits 1.5 m off the reference point.
    f.Instances.push_back({4, {80.0 + 1.5, 1000.0, 0.0}});
    run.Observe(f);
    EXPECT_NEAR(run.Tracks()[0].ErrorMax, 0.0, 1e-9);
    EXPECT_NEAR(run.Tracks()[0].Track.back().X, 81.5, 1e-9);
}

TEST(Recorder, FirstPlacementCountsFromTheScenarioStart) {
    Recorder run({{4, "HB-JQD", "Delta", "King Air"}}, Yellow, Eastbound);
    run.Observe(Frame(0.0, false));  // no client yet: nothing can be late
    for (int k = 0; k < 7; ++k) run.Observe(Frame(k / 60.0));
    // A traffic target alone is not a placed aircraft; the instance is.
    FrameView target = Frame(7 / 60.0);
    target.Targets.push_back({1, 4, Eastbound(0, 7 / 60.0), 80, 0});
    run.Observe(target);
    EXPECT_LT(run.Tracks()[0].FirstShownAt, 0);
    FrameView placed = Frame(8 / 60.0);
    placed.Instances.push_back({4, Eastbound(0, 8 / 60.0)});
    run.Observe(placed);
    EXPECT_NEAR(run.Tracks()[0].FirstShownAt, 8 / 60.0, 1e-12);
    // Errors are counted from the placement on, not from the target before it.
    EXPECT_EQ(run.Tracks()[0].ErrorCount, 1);
}

TEST(Recorder, LabelsIgnoreShadowsAndMarkOncePerSecondOnScreen) {
    Recorder run(TwoAircraft(), Yellow, Eastbound);
    for (int k = 0; k < 150; ++k) {  // 2.5 s
        FrameView f = Frame(k / 60.0);
        f.Instances.push_back({7, {10.0 * k, 1000, 0}});
        f.Instances.push_back({3, {0, 1000, 100}});
        // Shadow first, in grey, one pixel off; then the label in our colour.
        f.Labels.push_back({"Alpha HB-KQA 1.00nm ", 101, 199, 0.2f, 0.2f, 0.2f});
        f.Labels.push_back({"Alpha HB-KQA 1.00nm ", 100, 200, Yellow[0], Yellow[1], Yellow[2]});
        // Slot 3's label lies far right of the window: drawn, not seen.
        f.Labels.push_back({"Kilo HB-KQ 0.10nm ", 5000, 200, Yellow[0], Yellow[1], Yellow[2]});
        run.Observe(f);
    }
    const AircraftTrack& alpha = run.Tracks()[1];
    EXPECT_EQ(alpha.LabelFrames, 150);  // shadows not counted twice
    EXPECT_EQ(alpha.LabelOnScreenFrames, 150);
    ASSERT_EQ(alpha.LabelMarks.size(), 3u);  // t = 0, 1, 2
    EXPECT_NEAR(alpha.LabelMarks[1].X, 600.0, 1e-9);
    EXPECT_EQ(alpha.LabelX, 100);

    const AircraftTrack& kilo = run.Tracks()[0];
    EXPECT_TRUE(kilo.LabelDrawn);
    EXPECT_FALSE(kilo.LabelOnScreen);
    EXPECT_EQ(kilo.LabelOnScreenFrames, 0);
    EXPECT_TRUE(kilo.LabelMarks.empty());
}

TEST(Spread, NearestRankOrderStatistics) {
    Spread s = SpreadOf({5, 1, 4, 2, 3});
    EXPECT_EQ(s.Min, 1);
    EXPECT_EQ(s.Median, 3);
    EXPECT_EQ(s.Max, 5);
    EXPECT_EQ(s.Mean, 3);
    s = SpreadOf({4, 1, 3, 2});
    EXPECT_EQ(s.Median, 2);  // lower middle by nearest rank
    std::vector<double> hundred;
    for (int i = 1; i <= 100; ++i) hundred.push_back(i);
    EXPECT_EQ(SpreadOf(hundred).P99, 99);
    EXPECT_EQ(SpreadOf({}).Count, 0u);
    EXPECT_EQ(SpreadOf({}).Max, 0);
}

TEST(Map, NorthIsUpEastIsRightAndScalesMatch) {
    // A 2 km by 1 km box: north edge z = -1000, south edge z = 0.
    const std::vector<Vec3> box = {{0, 0, -1000}, {2000, 0, 0}};
    const MapFrame map = FitMap(box, 10, 20, 400, 400, 0.0);
    EXPECT_LT(map.Py(-1000), map.Py(0));  // north above south
    EXPECT_LT(map.Px(0), map.Px(2000));   // west left of east
    EXPECT_NEAR(map.Scale, 0.2, 1e-12);   // width decides: 400 px for 2000 m
    EXPECT_NEAR(map.Px(2000) - map.Px(0), 2 * (map.Py(0) - map.Py(-1000)), 1e-9);
    // The box is centred in the area.
    EXPECT_NEAR(map.Px(0) - 10, 410 - map.Px(2000), 1e-9);
    EXPECT_NEAR(map.Py(-1000) - 20, 420 - map.Py(0), 1e-9);
    // One point alone still gets a finite scale.
    EXPECT_TRUE(std::isfinite(FitMap({{5, 0, 5}}, 0, 0, 100, 100, 0.1).Scale));
}

TEST(Map, ScaleBarLengths) {
    EXPECT_EQ(NiceLength(2999), 2000);
    EXPECT_EQ(NiceLength(1000), 1000);
    EXPECT_EQ(NiceLength(999), 500);
    EXPECT_EQ(NiceLength(7.5), 5);
    EXPECT_EQ(NiceLength(0.3), 1);
}

// Enough XML to notice a cut-off element or an unescaped name.
bool WellFormed(const std::string& xml, std::string& why) {
    std::vector<std::string> open;
    std::size_t i = 0;
    while ((i = xml.find('<', i)) != std::string::npos) {
        const std::size_t end = xml.find('>', i);
        if (end == std::string::npos) return why = "unterminated tag", false;
        const std::string tag = xml.substr(i + 1, end - i - 1);
        if (tag.find('<') != std::string::npos) return why = "'<' inside a tag", false;
        std::size_t quotes = 0;
        for (char c : tag) quotes += c == '"';
        if (quotes % 2) return why = "odd quotes in <" + tag.substr(0, 40) + ">", false;
        if (tag[0] == '/') {
            if (open.empty() || open.back() != tag.substr(1))
                return why = "stray </" + tag + ">", false;
            open.pop_back();
        } else if (tag.back() != '/') {
            open.push_back(tag.substr(0, tag.find_first_of(" \n")));
        }
        // Every '&' in the text up to the next tag must start an entity.
        const std::size_t next = xml.find('<', end);
        const std::string text =
            xml.substr(end + 1, next == std::string::npos ? std::string::npos : next - end - 1);
        for (std::size_t a = text.find('&'); a != std::string::npos; a = text.find('&', a + 1))
            if (text.find(';', a) == std::string::npos) return why = "bare '&' in text", false;
        i = end + 1;
    }
    if (!open.empty()) return why = "unclosed <" + open.back() + ">", false;
    return true;
}

TEST(Report, LongRunStaysWellFormedAndEscapesNames) {
    std::vector<AircraftInfo> aircraft = {{1, "A&B<1>", "\"Q\"", "Model & Co"},
                                          {2, "HB-KQB", "Bravo", "C172"}};
    Recorder run(aircraft, Yellow, [](std::size_t i, double t) {
        return Vec3{2000 * std::sin(t / 40 + i), 1000, -2000 * std::cos(t / 40 + i)};
    });
    ReportInput in;
    in.Run = &run;
    in.Samples.resize(2);
    in.SampleTimes.resize(2);
    // Ten minutes at 60 fps: long point lists must not be cut.
    for (int k = 0; k < 36000; ++k) {
        const double t = k / 60.0;
        FrameView f = Frame(t);
        for (int i = 0; i < 2; ++i) {
            const Vec3 p{2000 * std::sin(t / 40 + i), 1000, -2000 * std::cos(t / 40 + i)};
            f.Instances.push_back({i + 1, p});
            if (k % 6 == 0) {
                in.Samples[i].push_back(p);
                in.SampleTimes[i].push_back(t);
            }
        }
        f.Labels.push_back({"\"Q\" A&B<1> ", 900, 500, Yellow[0], Yellow[1], Yellow[2]});
        run.Observe(f);
        in.UserTrack.push_back({1000 * std::cos(t / 30), 1000, 1000 * std::sin(t / 30)});
    }
    in.UserTail = "N<1>";
    in.Title = "Run & report";
    const std::string svg = RenderReport(in);
    std::string why;
    EXPECT_TRUE(WellFormed(svg, why)) << why;
    EXPECT_NE(svg.find("A&amp;B&lt;1&gt;"), std::string::npos);
    EXPECT_EQ(svg.find("A&B"), std::string::npos);
    EXPECT_NE(svg.find("&quot;Q&quot;"), std::string::npos);
    EXPECT_EQ(run.Tracks()[0].LabelMarks.size(), 600u);
}

// ---- the callback timer, with the host in this process

double Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

int g_calls = 0;
void* g_refconSeen = nullptr;

float SlowLoop(float, float, int, void* refcon) {
    ++g_calls;
    g_refconSeen = refcon;
    const double until = Now() + 0.002;
    while (Now() < until) {
    }
    return -1.0f;  // every frame
}

TEST(CallbackTimer, TimesTheCallbackAndUnregistersWhatItRegistered) {
    host::Session session;
    int token = 0;
    XPLMRegisterFlightLoopCallback(&SlowLoop, -1.0f, &token);
    TakeCallbackTime();
    host::RunFrame();
    const CallbackTime taken = TakeCallbackTime();
    EXPECT_EQ(g_calls, 1);
    EXPECT_EQ(g_refconSeen, &token);  // the plugin's refcon, not ours
    EXPECT_EQ(taken.Calls, 1);
    EXPECT_GE(taken.Seconds, 0.002);
    EXPECT_LT(taken.Seconds, 0.5);
    EXPECT_EQ(TakeCallbackTime().Calls, 0);  // taken means reset

    XPLMUnregisterFlightLoopCallback(&SlowLoop, &token);
    EXPECT_TRUE(host::FlightLoops().empty());
    host::RunFrame();
    EXPECT_EQ(g_calls, 1);
    EXPECT_TRUE(host::Errors().empty());
}

}  // namespace
}  // namespace velmir::demo
