// The headless host's own behaviour, which every other test relies on.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/Host.h"
#include "unit/HostFixture.h"

namespace host = velmir::host;

namespace {

class Host : public velmir::test::HostSessionTest {};
using velmir::test::Find;

// ---------------------------------------------------------------- datarefs

TEST_F(Host, ArrayAccessClampsToTheArrayAndReportsItsSize) {
    XPLMDataRef x = Find("sim/cockpit2/tcas/targets/position/x");
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(XPLMGetDatavf(x, nullptr, 0, 0), 64) << "null out pointer asks for the size";

    float five[5] = {1, 2, 3, 4, 5};
    XPLMSetDatavf(x, five, 62, 5);  // only elements 62 and 63 exist
    EXPECT_EQ(host::GetFloat("sim/cockpit2/tcas/targets/position/x", 62), 1.0f);
    EXPECT_EQ(host::GetFloat("sim/cockpit2/tcas/targets/position/x", 63), 2.0f);
    XPLMSetDatavf(x, five, 64, 1);
    XPLMSetDatavf(x, five, -1, 2);
    EXPECT_EQ(host::GetFloat("sim/cockpit2/tcas/targets/position/x", 0), 0.0f);

    float out[10];
    for (float& f : out) f = -7;
    EXPECT_EQ(XPLMGetDatavf(x, out, 60, 10), 4);
    EXPECT_EQ(out[2], 1.0f);
    EXPECT_EQ(out[4], -7.0f) << "nothing written past the returned count";
    EXPECT_EQ(XPLMGetDatavf(x, out, 64, 1), 0);
    EXPECT_EQ(XPLMGetDatavf(x, out, -1, 1), 0);

    // flight_id: 8 bytes for each of 64 targets.
    XPLMDataRef id = Find("sim/cockpit2/tcas/targets/flight_id");
    EXPECT_EQ(XPLMGetDatab(id, nullptr, 0, 0), 512);
    char tail[8] = "N123AB";
    XPLMSetDatab(id, tail, 8 * 63 + 4, 7);  // 4 bytes fit
    const auto ids = host::GetBytes("sim/cockpit2/tcas/targets/flight_id");
    EXPECT_EQ(std::string(ids.begin() + 508, ids.end()), "N123");
    EXPECT_EQ(host::PluginWrites("sim/cockpit2/tcas/targets/flight_id"), 1);
    EXPECT_TRUE(host::Errors().empty());
}

TEST_F(Host, NullMissingAndWronglyTypedAccessReadsZeroAndWritesNothing) {
    host::SetMissing("sim/flightmodel/position/latitude");
    EXPECT_EQ(Find("sim/flightmodel/position/latitude"), nullptr);
    EXPECT_EQ(Find("sim/no/such/ref"), nullptr);
    EXPECT_EQ(host::FailedLookups(),
              (std::vector<std::string>{"sim/flightmodel/position/latitude", "sim/no/such/ref"}));
    EXPECT_EQ(host::FindDataRefCalls(), 2);

    int values[4] = {9, 9, 9, 9};
    EXPECT_EQ(XPLMGetDatai(nullptr), 0);
    EXPECT_EQ(XPLMGetDatad(nullptr), 0.0);
    EXPECT_EQ(XPLMGetDatavi(nullptr, values, 0, 4), 0);
    EXPECT_EQ(XPLMGetDatavi(nullptr, nullptr, 0, 0), 0);
    XPLMSetDatavi(nullptr, values, 0, 4);
    XPLMSetDataf(nullptr, 1.0f);
    EXPECT_TRUE(host::Errors().empty()) << "null handles are legal";

    // Float and double scalars answer each other's accessors, as in the
    // simulator; reading an int dataref as a float is a bug worth seeing.
    EXPECT_EQ(XPLMGetDataf(Find("sim/flightmodel/position/elevation")), 1000.0f);
    XPLMDataRef engines = Find("sim/aircraft/engine/acf_num_engines");
    EXPECT_EQ(XPLMGetDataf(engines), 0.0f);
    XPLMSetDataf(engines, 3.0f);
    EXPECT_EQ(host::GetInt("sim/aircraft/engine/acf_num_engines"), 1);
    int bogus = 0;
    EXPECT_EQ(XPLMGetDatai(&bogus), 0);
    EXPECT_EQ(host::Errors().size(), 3u);
}

TEST_F(Host, HandlesStayValidAcrossResetAndOnlyPluginAccessCounts) {
    XPLMDataRef before = Find("sim/cockpit/radios/com1_freq_hz");
    host::Reset();
    EXPECT_EQ(Find("sim/cockpit/radios/com1_freq_hz"), before);
    EXPECT_EQ(XPLMGetDatai(before), 12345);

    host::SetInt("sim/cockpit/radios/com1_freq_hz", 13000);
    EXPECT_EQ(host::PluginWrites("sim/cockpit/radios/com1_freq_hz"), 0);
    host::SetWriteLog(true);
    XPLMSetDatai(before, 12500);
    EXPECT_EQ(host::PluginReads("sim/cockpit/radios/com1_freq_hz"), 1);
    EXPECT_EQ(host::PluginWrites("sim/cockpit/radios/com1_freq_hz"), 1);
    ASSERT_EQ(host::WriteLog().size(), 1u);
    EXPECT_EQ(host::WriteLog()[0].values, std::vector<double>{12500});
    EXPECT_EQ(host::CountCalls("XPLMSetDatai", "sim/cockpit/radios/com1_freq_hz"), 1);

    EXPECT_THROW(host::GetInt("sim/no/such/ref"), std::out_of_range);
    EXPECT_THROW(host::GetInt("sim/flightmodel/position/latitude"), std::logic_error);
}

// ---------------------------------------------------------------- flight loops

struct LoopProbe {
    explicit LoopProbe(std::vector<float> r) : returns(std::move(r)) {}
    std::vector<float> returns;  // consumed in order; the last one repeats
    int calls = 0;
    std::vector<float> sinceLast;
    std::vector<int> counters;
};

float ProbeLoop(float sinceLast, float, int counter, void* refcon) {
    auto* p = static_cast<LoopProbe*>(refcon);
    p->sinceLast.push_back(sinceLast);
    p->counters.push_back(counter);
    size_t k = std::min(size_t(p->calls), p->returns.size() - 1);
    ++p->calls;
    return p->returns[k];
}

TEST_F(Host, FlightLoopsRunInSecondsOrFramesAndRescheduleFromTheirResult) {
    LoopProbe tenth({0.1f}), everyFrame({-1.0f}), everyThird({-3.0f}), twice({0.5f, 0.0f});
    XPLMRegisterFlightLoopCallback(ProbeLoop, 0.1f, &tenth);
    XPLMRegisterFlightLoopCallback(ProbeLoop, -1.0f, &everyFrame);
    XPLMRegisterFlightLoopCallback(ProbeLoop, -3.0f, &everyThird);
    XPLMRegisterFlightLoopCallback(ProbeLoop, 0.25f, &twice);
    host::RunFrames(60);

    EXPECT_EQ(tenth.calls, 10);
    EXPECT_EQ(everyFrame.calls, 60);
    EXPECT_EQ(everyThird.calls, 20);
    EXPECT_EQ(twice.calls, 2) << "returning 0 stops the loop";
    EXPECT_NEAR(tenth.sinceLast[3], 0.1f, 1e-4);
    EXPECT_NEAR(twice.sinceLast[1], 0.5f, 1e-4);
    EXPECT_EQ(everyFrame.counters[1], everyFrame.counters[0] + 1);

    const auto loops = host::FlightLoops();
    ASSERT_EQ(loops.size(), 4u) << "a stopped loop stays registered";
    EXPECT_EQ(loops[3].interval, 0.0f);
    EXPECT_EQ(loops[3].registeredInterval, 0.25f);

    XPLMRegisterFlightLoopCallback(ProbeLoop, 0, &tenth);  // already there
    XPLMUnregisterFlightLoopCallback(ProbeLoop, &everyFrame);
    host::RunFrames(6);
    EXPECT_EQ(everyFrame.calls, 60);
    EXPECT_EQ(tenth.calls, 10) << "re-registering with 0 stopped it";
    EXPECT_EQ(host::FlightLoops().size(), 3u);
    EXPECT_EQ(host::Errors().size(), 1u) << "registered twice";
}

std::vector<std::string> g_events;

float SelfRemovingLoop(float, float, int, void*) {
    g_events.push_back("loop");
    XPLMUnregisterFlightLoopCallback(SelfRemovingLoop, nullptr);
    return -1;
}

float FirstLoop(float, float, int, void*) {
    g_events.push_back("first");
    return -1;
}

int Draw(XPLMDrawingPhase, int before, void*) {
    g_events.push_back(before ? "draw-before" : "draw-after");
    return 1;
}

TEST_F(Host, FrameRunsLoopsInRegistrationOrderThenDrawing) {
    g_events.clear();
    XPLMRegisterDrawCallback(Draw, xplm_Phase_Window, 0, nullptr);
    XPLMRegisterDrawCallback(Draw, xplm_Phase_Window, 1, nullptr);
    XPLMRegisterDrawCallback(Draw, 20, 0, nullptr);  // other phases are never drawn
    XPLMRegisterFlightLoopCallback(FirstLoop, -1, nullptr);
    XPLMRegisterFlightLoopCallback(SelfRemovingLoop, -1, nullptr);
    host::RunFrames(2);
    EXPECT_EQ(g_events, (std::vector<std::string>{"first", "loop", "draw-before", "draw-after",
                                                  "first", "draw-before", "draw-after"}));
    EXPECT_EQ(host::FlightLoops().size(), 1u);
    EXPECT_TRUE(host::Errors().empty());
}

// ---------------------------------------------------------------- objects

struct Loaded {
    int calls = 0;
    XPLMObjectRef object = nullptr;
};

void OnLoaded(XPLMObjectRef object, void* refcon) {
    auto* l = static_cast<Loaded*>(refcon);
    ++l->calls;
    l->object = object;
}

class HostObjects : public Host {
  protected:
    std::string dir;
    void SetUp() override {
        char tmpl[] = "/tmp/velmir-host-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        std::filesystem::create_directories(dir + "/Resources/plugins/Velmir/inject005/objects");
        Write("good.obj", "I\n800\nOBJ\n\nTEXTURE a.png\n");
        Write("crlf.obj", "A\r\n800\r\nOBJ\r\n");
        Write("bad.obj", "I\n700\nOBJ\n");
        Write("noheader.obj", "X\n800\nOBJ\n");
        host::SetRoot(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    void Write(const std::string& name, const std::string& text) {
        ASSERT_TRUE(std::ofstream(dir + "/" + name, std::ios::binary) << text) << name;
    }
};

TEST_F(HostObjects, AsyncLoadsCompleteAfterTheDelayWithNullForBadFiles) {
    Loaded good, crlf, bad, noheader, missing;
    XPLMLoadObjectAsync("good.obj", OnLoaded, &good);
    XPLMLoadObjectAsync((dir + "/crlf.obj").c_str(), OnLoaded, &crlf);
    XPLMLoadObjectAsync("bad.obj", OnLoaded, &bad);
    XPLMLoadObjectAsync("noheader.obj", OnLoaded, &noheader);
    XPLMLoadObjectAsync("none.obj", OnLoaded, &missing);
    host::RunFrame();
    EXPECT_EQ(good.calls, 0) << "never inside the request";
    EXPECT_EQ(host::PendingLoads(), 5);
    host::RunFrame();
    EXPECT_EQ(good.calls + crlf.calls + bad.calls + noheader.calls + missing.calls, 5);
    EXPECT_NE(good.object, nullptr);
    EXPECT_NE(crlf.object, nullptr);
    EXPECT_EQ(bad.object, nullptr);
    EXPECT_EQ(noheader.object, nullptr);
    EXPECT_EQ(missing.object, nullptr);
    ASSERT_EQ(host::Objects().size(), 2u);
    EXPECT_EQ(host::Objects()[0].file, dir + "/good.obj");

    host::SetAllLoadsFail(true);
    Loaded forced;
    XPLMLoadObjectAsync("good.obj", OnLoaded, &forced);
    host::RunFrames(2);
    EXPECT_EQ(forced.calls, 1);
    EXPECT_EQ(forced.object, nullptr);
}

TEST_F(HostObjects, BackslashPathsResolveAgainstTheRoot) {
    Write("Resources/plugins/Velmir/inject005/objects/a.obj", "I\n800\nOBJ\n");
    host::SetLoadDelayFrames(0);
    Loaded l;
    XPLMLoadObjectAsync("Resources\\plugins\\Velmir\\inject005\\objects\\a.obj", OnLoaded, &l);
    host::RunFrame();
    EXPECT_NE(l.object, nullptr);
}

TEST_F(HostObjects, InstancesCopyTheirDatarefsAndMisuseIsRecorded) {
    Loaded l;
    XPLMLoadObjectAsync("good.obj", OnLoaded, &l);
    host::RunFrames(2);
    ASSERT_NE(l.object, nullptr);

    std::string name = "sim/flightmodel2/wing/rudder1_deg[0]";
    const char* refs[] = {name.c_str(), nullptr};
    XPLMInstanceRef inst = XPLMCreateInstance(l.object, refs);
    name = "overwritten";
    XPLMDrawInfo_t pos{sizeof(XPLMDrawInfo_t), 1, 2, 3, 4, 5, 6};
    const float rudder = 12.5f;
    XPLMInstanceSetPosition(inst, &pos, &rudder);
    XPLMInstanceSetPosition(inst, &pos, &rudder);

    auto live = host::Instances();
    ASSERT_EQ(live.size(), 1u);
    EXPECT_EQ(live[0].datarefs, std::vector<std::string>{"sim/flightmodel2/wing/rudder1_deg[0]"});
    EXPECT_EQ(live[0].objectPath, "good.obj");
    EXPECT_EQ(live[0].position.heading, 5.0f);
    EXPECT_EQ(live[0].data, std::vector<float>{12.5f});
    EXPECT_EQ(live[0].setCount, 2);
    EXPECT_TRUE(host::Errors().empty());

    XPLMUnloadObject(l.object);  // instance still alive
    XPLMDestroyInstance(inst);   // its object is gone
    XPLMDestroyInstance(inst);   // twice
    XPLMUnloadObject(l.object);  // twice
    XPLMUnloadObject(&l);        // never loaded
    EXPECT_EQ(host::Errors().size(), 5u);
    EXPECT_TRUE(host::Instances().empty());
    EXPECT_TRUE(host::Objects().empty());
}

// ---------------------------------------------------------------- modules

namespace leaky {
int loopCalls = 0, loadCallbacks = 0;
float Loop(float, float, int, void*) { return ++loopCalls, -1.0f; }
void OnObject(XPLMObjectRef, void*) { ++loadCallbacks; }
int Start(char* name, char*, char*) {
    strcpy(name, "Leaky");
    XPLMRegisterFlightLoopCallback(Loop, -1.0f, nullptr);
    XPLMLoadObjectAsync("x.obj", OnObject, nullptr);
    return 1;
}
void Stop() {}  // forgets to unregister
int Enable() { return 1; }
void Disable() {}
void Message(int, int, void*) {}
}  // namespace leaky

TEST_F(Host, CallbacksLeftByAStoppedPluginAreListedButNeverCalled) {
    leaky::loopCalls = leaky::loadCallbacks = 0;
    host::AttachPlugin({leaky::Start, leaky::Stop, leaky::Enable, leaky::Disable, leaky::Message});
    ASSERT_EQ(host::StartPlugin(), 1);
    const auto start = host::Journal();
    ASSERT_EQ(start.size(), 4u);
    EXPECT_EQ(start[0].function, "XPluginStart");
    EXPECT_EQ(start[3].function, "XPluginEnable");
    host::RunFrame();
    host::StopPlugin();

    EXPECT_EQ(host::FlightLoops().size(), 1u) << "the leak stays visible";
    host::RunFrames(5);
    EXPECT_EQ(leaky::loopCalls, 1);
    EXPECT_EQ(leaky::loadCallbacks, 0) << "no completion into a stopped plugin";
    EXPECT_EQ(host::Counts().loadsDropped, 1);

    ASSERT_EQ(host::StartPlugin(), 1);
    EXPECT_EQ(host::FlightLoops().size(), 1u) << "only the new registration";
}

std::string TestPluginPath() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&XPLMDebugString), &info) || !info.dli_fname) return "";
    std::string lib = info.dli_fname;
    return lib.substr(0, lib.rfind('/') + 1) + "host_testplugin.xpl";
}

TEST_F(Host, LoadedModuleRunsOnSimulatedTimeAndUnloadsCompletely) {
    const std::string path = TestPluginPath();
    if (access(path.c_str(), R_OK) != 0) GTEST_SKIP() << "no " << path;
    std::string error;
    ASSERT_TRUE(host::LoadAndStart(path, &error)) << error;
    EXPECT_EQ(host::Plugin().name, "HostTestPlugin");
    EXPECT_TRUE(host::Plugin().enabled);
    host::RunFor(2.0);
    EXPECT_TRUE(host::LogContains("HostTestPlugin: start 1 latitude 47.0\n")) << host::LogText();
    EXPECT_TRUE(host::LogContains("HostTestPlugin: clock 1002.000 elapsed 2.000\n"))
        << host::LogText();

    host::ClearJournal();
    host::StopPlugin();
    const auto journal = host::Journal();
    ASSERT_EQ(journal.size(), 4u);
    EXPECT_EQ(journal[0].function, "XPluginDisable");
    EXPECT_EQ(journal[1].function, "XPluginStop");
    EXPECT_EQ(journal[2].function, "XPLMUnregisterFlightLoopCallback");
    EXPECT_TRUE(host::FlightLoops().empty());
    EXPECT_TRUE(host::Plugin().unloaded);

    ASSERT_TRUE(host::LoadAndStart(path, &error)) << error;
    EXPECT_EQ(host::CountLogLines("HostTestPlugin: start 1 "), 2) << "fresh module state";
    EXPECT_FALSE(host::LoadPlugin("/nonexistent.xpl", &error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
