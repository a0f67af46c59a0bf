// Internal state of the host, shared by its source files. Not for tests:
// they use Host.h.
#ifndef VELMIR_HOST_HOSTSTATE_H
#define VELMIR_HOST_HOSTSTATE_H

#include <cstdarg>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/Host.h"

namespace velmir::host::detail {

struct DataRef {
    std::string name;
    DataType type = DataType::Int;
    int size = 1;
    bool missing = false;
    int i = 0;
    float f = 0;
    double d = 0;
    std::vector<int> vi;
    std::vector<float> vf;
    std::vector<uint8_t> vb;
    int reads = 0;
    int writes = 0;
};

struct FlightLoop {
    FlightLoopInfo info;
    bool registered = true;
    bool active = true;  // false once its plugin stopped: never called again
    double dueTime = 0;  // when scheduled in seconds
    uint64_t dueFrame = 0;
    bool byFrames = false;
    bool scheduled = false;
    double lastCall = 0;
};

struct DrawCallback {
    DrawCallbackInfo info;
    bool active = true;
    bool registered = true;  // false once the plugin unregistered it
};

struct JournalEntry {
    const char* function;
    const char* arg;  // interned or owned by a dataref: stable for the session
    double value;
    int offset, count;
    uint64_t frame;
};

struct ObjectRecord {
    std::string path, file;
    bool live = true;
    int liveInstances = 0;
};

struct InstanceRecord {
    ObjectRecord* object = nullptr;
    bool live = true;
    InstanceInfo info;
};

struct ProbeRecord {
    bool live = true;
};

struct PendingLoad {
    const char* path;  // interned
    XPLMObjectLoaded_f callback;
    void* refcon;
    uint64_t dueFrame;
};

struct State {
    bool initialized = false, initializing = false;
    // session and plugin
    bool session = false;
    PluginStatus plugin;
    PluginEntryPoints entries;
    void* module = nullptr;

    // time
    double fps = 60;
    uint64_t frame = 0;
    double simTime = 0;
    uint64_t epochFrame = 0;  // time = epochTime + (frame - epochFrame) / fps
    double epochTime = 0;
    double lastFlightLoopTime = 0;

    // callbacks
    std::vector<FlightLoop> loops;
    bool inFlightLoops = false;
    std::vector<DrawCallback> draws;

    // datarefs: slots never move, so handles stay valid for the process
    std::unique_ptr<DataRef[]> refs;
    int refCount = 0;
    int builtinRefCount = 0;
    std::unordered_map<std::string, int> refIndex;
    std::vector<std::string> failedLookups;
    bool writeLogOn = false;
    std::vector<DataWrite> writeLog;

    // log, journal, errors
    std::string log;
    bool logEcho = false;
    bool journalOn = true;
    size_t journalCap = 262144;
    std::vector<JournalEntry> journal;
    uint64_t journalTotal = 0;
    std::unordered_set<std::string> interned;
    std::vector<std::string> errors;
    Counters counts;

    // aircraft
    AircraftConfig aircraft;
    Track track;
    double trackTime = 0;
    bool hostFlies = true;
    std::string modelFile, modelPath;
    int xplaneVersion = 12100;

    // world
    double lat0 = 47.0, lon0 = 8.0;
    Terrain terrain;
    bool probeCreationFails = false;
    std::deque<ProbeRecord> probes;             // deque: stable addresses are the refs
    std::unordered_set<const void*> probeRefs;  // every ref issued this session

    // objects
    std::string root;
    int loadDelay = 2;
    bool loadsFail = false;
    std::vector<PendingLoad> pending;
    std::vector<PendingLoad> due;  // reused: frames allocate nothing
    std::deque<ObjectRecord> objects;
    std::deque<InstanceRecord> instances;
    std::unordered_set<const void*> objectRefs, instanceRefs;

    // planes
    bool planesAvailable = true;
    bool planesHeld = false;
    XPLMPlanesAvailable_f planesCallback = nullptr;
    void* planesRefcon = nullptr;
    bool planesCallbackPending = false;  // remembered, waiting for availability
    bool planesCallbackDue = false;      // available again: runs next frame
    int activeAircraft = 0;

    // drawing: the first textCount entries are this frame's; the rest keep
    // their string capacity so drawing allocates nothing once warmed up
    std::vector<TextDraw> texts;
    size_t textCount = 0;
    bool cameraAuto = true;
};

State& S();

// Journal and error helpers used by every SDK function.
void Record(const char* function, const char* arg = nullptr, double value = 0, int offset = 0,
            int count = 0);
const char* Intern(const char* text);
#if defined(__MINGW_PRINTF_FORMAT)
// MinGW's "printf" checks the Microsoft runtime's formats; its C++ stdio is the
// GNU-compatible one.
void Error(const char* format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));
#else
void Error(const char* format, ...) __attribute__((format(printf, 1, 2)));
#endif

// HostCore.cpp
void UpdateTime();  // sim time from the frame count
void Schedule(FlightLoop& loop, float interval);
FlightLoop* FindLoop(XPLMFlightLoop_f cb, void* refcon);
void EraseUnregistered();  // flight loops unregistered meanwhile

// HostModule.cpp
double RawSeconds();  // monotonic wall clock, not the simulated one
void SleepSeconds(double seconds);
void CloseModule();  // unloads the plugin module, noting whether it went

// DataRefs.cpp
void InitDataRefs();                    // once: builds the slots
void ResetDataRefs();                   // values to zero, custom refs dropped
DataRef* Ref(const std::string& name);  // nullptr when unknown
DataRef& RefOrThrow(const std::string& name);
const char* TypeName(DataType t);
// Host-side writes (not counted as plugin writes).
void HostSetD(DataRef& r, double v);
void HostSetF(DataRef& r, float v);
void HostSetI(DataRef& r, int v);
void HostSetFA(DataRef& r, int index, float v);
void HostSetIA(DataRef& r, int index, int v);

// Aircraft.cpp
DataRef& R(const char* name);  // a built-in dataref, looked up once
void ResetAircraft();
void StepAircraft(double dt);

// Camera.cpp
void UpdateCamera();

// Scenery.cpp
void ResetScenery();
void CompleteDueLoads();
void DropPendingLoads();

// Clock.cpp
void PublishClock(bool session, double simTime);
void SetClockSimulated(bool on);

}  // namespace velmir::host::detail

#endif
