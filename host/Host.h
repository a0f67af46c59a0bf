// Headless simulator host: implements the simulator's plugin API so that the
// real plugin binary (or the plugin's code linked into a test) can be loaded
// and driven frame by frame, with every side effect readable by tests.
//
// All host state is process-wide, like the simulator the plugin expects, and
// everything here must be called from one thread (the "main thread").
//
// Typical test:
//
//   velmir::host::Session session;             // fresh host state
//   velmir::host::LoadPlugin("build/Velmir/64/lin.xpl");
//   velmir::host::StartPlugin();               // XPluginStart, XPluginEnable
//   velmir::host::RunFor(2.0);                 // 120 frames at 60 fps
//   EXPECT_TRUE(velmir::host::LogContains("Velmir: "));
//   EXPECT_EQ(velmir::host::GetInt("sim/operation/override/override_TCAS"), 0);
//   velmir::host::StopPlugin();                // disable, stop, dlclose
//   EXPECT_TRUE(velmir::host::FlightLoops().empty());
#ifndef VELMIR_HOST_HOST_H
#define VELMIR_HOST_HOST_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "XPLMDataAccess.h"
#include "XPLMDisplay.h"
#include "XPLMGraphics.h"
#include "XPLMInstance.h"
#include "XPLMPlanes.h"
#include "XPLMProcessing.h"
#include "XPLMScenery.h"
#include "XPLMUtilities.h"

namespace velmir::host {

// ---------------------------------------------------------------- session

// Puts the whole host back to its starting state: stops and unloads a running
// plugin, rebuilds the dataref values, the aircraft, the clock (time 0), and
// clears log, journal, errors, objects, probes and planes. Starts a session:
// from here CLOCK_MONOTONIC reads simulated time (see SetClockMode).
void Reset();
// Stops and unloads a running plugin and ends the session; CLOCK_MONOTONIC
// reads the real clock again.
void EndSession();
bool SessionActive();

// RAII form of Reset()/EndSession() for tests.
class Session {
  public:
    Session() { Reset(); }
    ~Session() { EndSession(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
};

// ---------------------------------------------------------------- plugin

struct PluginEntryPoints {
    int (*start)(char* outName, char* outSig, char* outDesc) = nullptr;
    void (*stop)() = nullptr;
    int (*enable)() = nullptr;
    void (*disable)() = nullptr;
    void (*receiveMessage)(int from, int message, void* param) = nullptr;
};

// dlopen(RTLD_NOW|RTLD_LOCAL) (LoadLibrary on Windows) and look up the five
// entry points; does not start. False (with a reason in *error) when the file
// or an entry is missing.
bool LoadPlugin(const std::string& path, std::string* error = nullptr);
// Uses entry points linked into this process instead of a module.
void AttachPlugin(const PluginEntryPoints& entries);
// XPluginStart (256-byte buffers) then XPluginEnable when start returned
// non-zero. Returns XPluginStart's result.
int StartPlugin();
// XPluginDisable, XPluginStop, then dlclose for a loaded module. Callbacks
// the plugin left registered stay listed (FlightLoops(), DrawCallbacks()) but
// are never called again; pending object loads are dropped.
void StopPlugin();
// LoadPlugin + StartPlugin; false when loading failed or start returned 0.
bool LoadAndStart(const std::string& path, std::string* error = nullptr);
void SendPluginMessage(int from, int message, void* param);

struct PluginStatus {
    bool attached = false;  // entry points known (loaded or attached)
    bool started = false;   // XPluginStart ran and StopPlugin has not
    bool enabled = false;
    int startResult = 0;
    std::string path;                          // module path, empty when attached in-process
    std::string name, signature, description;  // what XPluginStart wrote
    // After StopPlugin of a loaded module: whether dlclose really unmapped it
    // (dlopen with RTLD_NOLOAD then fails), so a reload gets fresh state.
    bool unloaded = false;
};
PluginStatus Plugin();

// ---------------------------------------------------------------- frames

// One frame: time += 1/fps; the user aircraft moves; due object loads
// complete; a pending planes-available callback runs; due flight loops run in
// registration order; the camera datarefs are refreshed; draw callbacks of
// phase 50 run (wants-before ones first).
void RunFrame();
void RunFrames(int count);
void RunFor(double seconds);  // as fast as possible
// Runs frames until pred() is true (checked after each frame) or the time
// limit passes; returns pred()'s last value.
bool RunUntil(const std::function<bool()>& pred, double maxSeconds);
// Paced to wall time (CLOCK_MONOTONIC_RAW; the performance counter on
// Windows), until `seconds` of simulated time have passed (<= 0: no limit) or
// *stop becomes true. afterFrame, when given, runs after every frame.
void RunRealTime(double seconds, const std::atomic<bool>* stop,
                 const std::function<void()>& afterFrame = nullptr);

void SetFps(double fps);  // default 60
double Fps();
double SimTime();  // seconds since Reset, what XPLMGetElapsedTime shows
uint64_t FrameCount();

// ---------------------------------------------------------------- callbacks

struct FlightLoopInfo {
    XPLMFlightLoop_f callback = nullptr;
    void* refcon = nullptr;
    float registeredInterval = 0;  // as passed to XPLMRegisterFlightLoopCallback
    float interval = 0;            // in force now: last return value
    int calls = 0;
};
// Registered flight loops in registration order (also after StopPlugin:
// whatever the plugin failed to unregister).
std::vector<FlightLoopInfo> FlightLoops();

struct DrawCallbackInfo {
    XPLMDrawCallback_f callback = nullptr;
    XPLMDrawingPhase phase = 0;
    int wantsBefore = 0;
    void* refcon = nullptr;
    int calls = 0;
};
std::vector<DrawCallbackInfo> DrawCallbacks();

// ---------------------------------------------------------------- datarefs

enum class DataType { Int, Float, Double, IntArray, FloatArray, Bytes };

// Every dataref the plugin uses exists with its type and size. Names must be
// known; the accessors below throw std::out_of_range for unknown names and
// std::logic_error for a type that does not fit.
bool HasDataRef(const std::string& name);
DataType TypeOf(const std::string& name);
int SizeOf(const std::string& name);  // elements (bytes for Bytes), 1 scalar
// Adds a dataref for a test (lives until the next Reset).
void AddDataRef(const std::string& name, DataType type, int size = 1);
// Makes XPLMFindDataRef return null for the name until the next Reset.
void SetMissing(const std::string& name);

// Scalars, or element `index` of an array of the same kind.
int GetInt(const std::string& name, int index = 0);
float GetFloat(const std::string& name, int index = 0);
double GetDouble(const std::string& name, int index = 0);  // any numeric kind
std::vector<int> GetInts(const std::string& name);
std::vector<float> GetFloats(const std::string& name);
std::vector<uint8_t> GetBytes(const std::string& name);
std::string GetString(const std::string& name);  // bytes up to the first NUL

void SetInt(const std::string& name, int value, int index = 0);
void SetFloat(const std::string& name, float value, int index = 0);
void SetDouble(const std::string& name, double value, int index = 0);
void SetInts(const std::string& name, const std::vector<int>& values, int offset = 0);
void SetFloats(const std::string& name, const std::vector<float>& values, int offset = 0);
void SetBytes(const std::string& name, const void* data, int size, int offset = 0);
void SetString(const std::string& name, const std::string& text);  // zero-filled

// Accesses made by the plugin through the SDK (host and test writes are not
// counted). Cheap, always on.
int PluginReads(const std::string& name);
int PluginWrites(const std::string& name);
// Names that XPLMFindDataRef returned null for, in call order.
std::vector<std::string> FailedLookups();

// Optional detailed log of plugin writes (off by default).
struct DataWrite {
    std::string name;
    int offset = 0;              // element (byte for Bytes) offset
    std::vector<double> values;  // written values (bytes as numbers)
    uint64_t frame = 0;
};
void SetWriteLog(bool on);
std::vector<DataWrite> WriteLog();
void ClearWriteLog();

// ---------------------------------------------------------------- log

// Everything the plugin passed to XPLMDebugString, like the simulator's log.
std::string LogText();
std::vector<std::string> LogLines();  // split at '\n'; a trailing partial line counts
bool LogContains(const std::string& text);
int CountLogLines(const std::string& text);  // lines containing text
void ClearLog();
void SetLogEcho(bool on);  // also write each text to stdout as it comes

// ---------------------------------------------------------------- journal

// SDK calls made by the plugin, in order, plus markers for the entry points
// the host calls ("XPluginStart", ...). Kept in a ring (default 262144 calls);
// Get*/Set* carry the dataref name, Register* the interval.
struct Call {
    std::string function;
    std::string arg;            // dataref name, object path, ...; empty when none
    double value = 0;           // scalar written, interval, count, ...
    int offset = 0, count = 0;  // array calls
    uint64_t frame = 0;
};
std::vector<Call> Journal();
void ClearJournal();
void SetJournalEnabled(bool on);
void SetJournalCapacity(size_t calls);
int CountCalls(const std::string& function);
int CountCalls(const std::string& function, const std::string& arg);

// Misuse of the API the real simulator would punish or ignore: unknown or
// stale handles, double destroys, unloading an object that still has
// instances, a dataref read with the wrong type, ...
std::vector<std::string> Errors();
void ClearErrors();

struct Counters {
    int findDataRef = 0;
    int loadsRequested = 0, loadsSucceeded = 0, loadsFailed = 0, loadsDropped = 0;
    int objectsUnloaded = 0;
    int instancesCreated = 0, instancesDestroyed = 0, instancePositionSets = 0;
    int probesCreated = 0, probesDestroyed = 0, probeCalls = 0;
    int acquirePlanes = 0, releasePlanes = 0;
    int drawStrings = 0;
};
Counters Counts();
int FindDataRefCalls();

// ---------------------------------------------------------------- aircraft

enum class Engines { Piston, TwinTurboprop };

struct AircraftConfig {
    Engines engines = Engines::Piston;
    bool parked = false;           // on the ground at (lat, lon), engine idling
    double lat = 47.0, lon = 8.0;  // circle centre, or the parking spot
    double elevation = 1000.0;     // circle altitude, metres MSL
    double radius = 2000.0;        // metres; flown clockwise (right turns)
    double speed = 55.0;           // m/s
    double parkedHeading = 90.0;
    std::string tailNumber = "N172VM";
    int livery = 1;
    std::string modelFile;  // empty: chosen by `engines`
    std::string modelPath;
};
// Applies the config at once (engine, radios, switches, fuel, position).
void ConfigureAircraft(const AircraftConfig& config);
AircraftConfig CurrentAircraft();

struct GeoPoint {
    double lat = 0, lon = 0, alt = 0;
};
// A custom flight path: position at track time t (seconds). Velocity,
// acceleration, heading, bank and rates are derived from it.
using Track = std::function<GeoPoint(double t)>;
void SetTrack(Track track);
// The aircraft's own time along its track; it pauses while the plugin holds
// "sim/operation/override/override_planepath"[0] = 1, and so does all
// writing of position, attitude and flight instruments by the host.
double TrackTime();
bool AircraftFlownByHost();

// ---------------------------------------------------------------- world

struct LocalPoint {
    double x = 0, y = 0, z = 0;
};
// Equirectangular projection around (lat0, lon0, altitude 0), R = 6378137 m:
//   x = (lon - lon0) * cos(lat0) * R * pi/180   (east)
//   y = alt
//   z = -(lat - lat0) * R * pi/180              (south positive)
// XPLMWorldToLocal uses exactly this. Default reference: 47.0, 8.0.
void SetReferencePoint(double lat0, double lon0);
LocalPoint WorldToLocal(double lat, double lon, double alt);
GeoPoint LocalToWorld(double x, double y, double z);

// Terrain elevation (metres MSL = local y) as a function of local x, z.
// Default: flat at 400 m. NaN means "no terrain": probes miss there.
using Terrain = std::function<double(double x, double z)>;
void SetTerrain(Terrain terrain);
void SetFlatTerrain(double elevation);
double TerrainHeight(double x, double z);

void SetProbeCreationFails(bool fail);
int LiveProbes();

// ---------------------------------------------------------------- objects

// Folder that relative object paths resolve against (default: the current
// folder at Reset).
void SetRoot(const std::string& dir);
std::string Root();
void SetLoadDelayFrames(int frames);  // default 2
void SetAllLoadsFail(bool fail);
int PendingLoads();

struct ObjectInfo {
    XPLMObjectRef ref = nullptr;
    std::string path;  // as requested by the plugin
    std::string file;  // resolved file
    int liveInstances = 0;
};
std::vector<ObjectInfo> Objects();  // loaded and not unloaded, load order

struct InstanceInfo {
    XPLMInstanceRef ref = nullptr;
    XPLMObjectRef object = nullptr;
    std::string objectPath;
    std::vector<std::string> datarefs;
    bool positioned = false;
    XPLMDrawInfo_t position{};  // last XPLMInstanceSetPosition
    std::vector<float> data;    // one float per dataref, last set
    int setCount = 0;
    uint64_t lastSetFrame = 0;
};
std::vector<InstanceInfo> Instances();  // live, creation order

// ---------------------------------------------------------------- planes

// false: XPLMAcquirePlanes returns 0 and remembers its callback. Making them
// available again calls that callback on the next frame, as the simulator
// does. Default true.
void SetPlanesAvailable(bool available);
bool PlanesHeld();
bool PlanesCallbackPending();
int ActiveAircraftCount();  // last XPLMSetActiveAircraftCount

// ---------------------------------------------------------------- text, view

struct TextDraw {
    std::string text;
    int x = 0, y = 0;
    float r = 1, g = 1, b = 1;
    bool wordWrap = false;  // a word-wrap width was passed
    int font = 0;
};
std::vector<TextDraw> TextDraws();  // XPLMDrawString calls of the last frame
float TextWidth(int chars);         // what XPLMMeasureString returns (6 px/char)

// The camera sits 30 m behind and 8 m above the user aircraft and looks
// horizontally along its heading; its matrices go into
// "sim/graphics/view/world_matrix" and ".../projection_matrix_3d" (column
// major, OpenGL conventions) every frame before drawing. Window 1920x1080.
void SetCameraAutoUpdate(bool on);
struct ScreenPoint {
    float x = 0, y = 0;  // window pixels from the lower left corner
    float depth = 0;     // q.z / q.w
    bool inFront = false;
};
// Projects a local point with the current view datarefs, computed in float
// the way the plugin's label overlay does it.
ScreenPoint ProjectToWindow(double x, double y, double z);

// ---------------------------------------------------------------- versions

void SetXPlaneVersion(int version);  // default 12100; XPLM 400, host id 1
void SetAircraftModel(const std::string& file, const std::string& path);

// ---------------------------------------------------------------- clock

// While a session exists, clock_gettime(CLOCK_MONOTONIC) anywhere in the
// process (the plugin's clock uses it) returns kClockBase + SimTime() in
// Simulated mode. Other clock ids always read the real clocks.
// Windows has no such interposition: the plugin reads the real performance
// counter there, the mode is only remembered, and velmir-sim runs in real time.
enum class ClockMode { Simulated, Real };
void SetClockMode(ClockMode mode);
ClockMode GetClockMode();
constexpr double kClockBase = 1000.0;

}  // namespace velmir::host

#endif
