// The run report (velmir-sim --report): what it keeps of effects the plugin
// undoes before the run ends, and that its JSON reads back unchanged.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "host/Host.h"
#include "host/Report.h"
#include "support/Json.h"

namespace host = velmir::host;
namespace json = velmir::json;

namespace {

constexpr const char* kModeS = "sim/cockpit2/tcas/targets/modeS_id";
constexpr const char* kFlightId = "sim/cockpit2/tcas/targets/flight_id";
constexpr const char* kPlanePath = "sim/operation/override/override_planepath";

class Report : public ::testing::Test {
  protected:
    host::Session session;
    host::RunReport report;

    void SetUp() override { report.Begin(); }
    void Frame() {
        host::RunFrame();
        report.Observe();
    }
    static void SetInt(const char* name, int index, int value) {
        XPLMSetDatavi(XPLMFindDataRef(name), &value, index, 1);
    }
    static void SetTarget(int index, int modeS, const char* flightId, float x) {
        SetInt(kModeS, index, modeS);
        char id[7] = {0};  // a flight id slot is 8 bytes; the plugin writes 7
        std::memcpy(id, flightId, std::min(std::strlen(flightId), sizeof id));
        XPLMSetDatab(XPLMFindDataRef(kFlightId), id, 8 * index, 7);
        XPLMSetDatavf(XPLMFindDataRef("sim/cockpit2/tcas/targets/position/x"), &x, index, 1);
    }
    nlohmann::json Parsed() const { return json::Parse(report.Json()); }
};

void Loaded(XPLMObjectRef object, void* refcon) { *static_cast<XPLMObjectRef*>(refcon) = object; }

// Draws a label while *refcon (frames left) is positive.
int DrawOnce(XPLMDrawingPhase, int, void* refcon) {
    int& left = *static_cast<int*>(refcon);
    if (left-- > 0) {
        float colour[3] = {1, 0.5f, 0};
        XPLMDrawString(colour, 10, 20, "label", nullptr, 0);
    }
    return 1;
}

TEST_F(Report, InstancesOutliveTheirDestructionWithTheirLastPosition) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("velmir-report-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "a.obj") << "I\n800\nOBJ\n";
    host::SetRoot(dir.string());
    XPLMObjectRef object = nullptr;
    XPLMLoadObjectAsync("a.obj", &Loaded, &object);
    while (!object && host::FrameCount() < 10) Frame();
    ASSERT_NE(object, nullptr);

    const char* none[] = {nullptr};
    XPLMInstanceRef first = XPLMCreateInstance(object, none);
    XPLMDrawInfo_t at{};
    at.structSize = sizeof at;
    for (float x : {10.0f, 20.0f}) {
        at.x = x;
        XPLMInstanceSetPosition(first, &at, nullptr);
        Frame();
    }
    XPLMDestroyInstance(first);
    Frame();
    XPLMInstanceRef second = XPLMCreateInstance(object, none);
    Frame();

    const auto& seen = report.InstancesSeen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].objectPath, "a.obj");
    EXPECT_FALSE(seen[0].live);
    EXPECT_TRUE(seen[0].positioned);
    EXPECT_EQ(seen[0].positionSets, 2);
    EXPECT_EQ(seen[0].position.x, 20.0f) << "the last position, not the first";
    EXPECT_TRUE(seen[1].live);
    EXPECT_FALSE(seen[1].positioned);
    EXPECT_GT(seen[1].firstFrame, seen[0].lastFrame);

    XPLMDestroyInstance(second);
    XPLMUnloadObject(object);
    std::filesystem::remove_all(dir);
}

TEST_F(Report, TargetsBelongToTheModeSIdTheirIndexHeldWhenWritten) {
    SetTarget(1, 5, "HB-ABCD", 100.0f);
    SetTarget(2, 6, "N1", 200.0f);
    Frame();
    // Index 1 emptied: a position written now belongs to no target.
    SetInt(kModeS, 1, 0);
    float stray = -1.0f;
    XPLMSetDatavf(XPLMFindDataRef("sim/cockpit2/tcas/targets/position/x"), &stray, 1, 1);
    Frame();
    // Index 1 reused by another aircraft.
    SetTarget(1, 7, "XY", 300.0f);
    Frame();

    const auto& targets = report.TargetsSeen();
    ASSERT_EQ(targets.size(), 3u);
    EXPECT_EQ(targets[0].index, 1);
    EXPECT_EQ(targets[0].modeS, 5);
    EXPECT_EQ(targets[0].flightId, "HB-ABCD");
    EXPECT_EQ(targets[0].x, 100.0f);
    EXPECT_EQ(targets[1].modeS, 6);
    EXPECT_EQ(targets[1].flightId, "N1") << "read up to the first zero";
    EXPECT_EQ(targets[2].index, 1);
    EXPECT_EQ(targets[2].modeS, 7);
    EXPECT_EQ(targets[2].x, 300.0f);
    EXPECT_TRUE(targets[2].positioned);
    EXPECT_GT(targets[2].firstFrame, targets[0].lastFrame);
}

TEST_F(Report, OverridesKeepTheirChangesAndStopWritesStayApart) {
    for (int value : {1, 1, 1, 0}) {
        SetInt(kPlanePath, 0, value);
        Frame();
    }
    SetInt(kPlanePath, 0, 1);
    report.Finish();
    SetInt(kPlanePath, 0, 0);  // as a plugin does while stopping
    report.Stopped();

    const auto& changes = report.OverrideChanges().at({kPlanePath, 0});
    ASSERT_EQ(changes.size(), 3u) << "repeats are not changes";
    EXPECT_EQ(changes[0].value, 1);
    EXPECT_EQ(changes[1].value, 0);
    EXPECT_EQ(changes[2].value, 1);
    EXPECT_EQ(changes[1].frame, changes[0].frame + 3);
    EXPECT_EQ(report.Writes().at(kPlanePath).count, 5);

    const nlohmann::json document = Parsed();
    const json::View j(document);
    ASSERT_EQ(j["overrides"].Items().size(), 1u);
    EXPECT_EQ(j["overrides"].Items()[0]["final"].Number(-1), 1) << "the value before stopping";
    EXPECT_EQ(j["afterStop"]["writes"][kPlanePath]["0"].Number(-1), 0);
    EXPECT_TRUE(j["afterStop"]["stopped"].Bool());
}

TEST_F(Report, JsonKeepsEveryTextAndHasNoBareNonFiniteNumbers) {
    const std::string tricky = "quote \" backslash \\ tab \t bell \x07 Z\xc3\xbcrich";
    XPLMDebugString((tricky + "\n").c_str());
    XPLMDebugString("stray \xff byte\n");
    int drawFrames = 1;
    XPLMRegisterDrawCallback(&DrawOnce, xplm_Phase_Window, 0, &drawFrames);
    SetTarget(3, 9, "NAN", NAN);
    Frame();
    Frame();  // nothing drawn: the last drawing frame is still reported
    report.Finish();
    host::StopPlugin();
    report.Stopped();

    nlohmann::json document;
    ASSERT_NO_THROW(document = Parsed()) << report.Json();
    const json::View j(document);
    ASSERT_EQ(j["log"].Items().size(), 2u);
    EXPECT_EQ(j["log"].Items()[0].Text(), tricky);
    EXPECT_EQ(j["log"].Items()[1].Text(), "stray \xc3\xbf byte")
        << "an invalid byte reads as Latin-1";
    EXPECT_TRUE(j["textDraws"].Items().empty());
    ASSERT_EQ(j["lastTextDraws"]["draws"].Items().size(), 1u);
    EXPECT_EQ(j["lastTextDraws"]["draws"].Items()[0]["text"].Text(), "label");
    EXPECT_EQ(j["lastTextDraws"]["draws"].Items()[0]["colour"].Items()[1].Number(), 0.5);
    ASSERT_EQ(j["tcasTargets"].Items().size(), 1u);
    EXPECT_TRUE(j["tcasTargets"].Items()[0]["x"].IsNull());
}

}  // namespace
