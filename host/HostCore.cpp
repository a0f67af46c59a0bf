// Session, the frame loop, callbacks, log, journal, planes (plugin loading:
// HostModule.cpp; the simulator API itself: HostSdk.cpp).
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "host/HostState.h"

namespace velmir::host {
namespace detail {

State& S() {
    // Never destroyed: plugin statics may still call in during process exit.
    static State* state = new State;
    if (!state->initialized && !state->initializing) {
        // SDK calls before any Reset() see a complete, session-less host.
        state->initializing = true;
        Reset();
        state->session = false;
        PublishClock(false, 0);
        state->initializing = false;
        state->initialized = true;
    }
    return *state;
}

void Record(const char* function, const char* arg, double value, int offset, int count) {
    State& s = S();
    if (!s.journalOn || s.journalCap == 0) return;
    JournalEntry e{function, arg, value, offset, count, s.frame};
    if (s.journal.size() < s.journalCap)
        s.journal.push_back(e);
    else
        s.journal[s.journalTotal % s.journalCap] = e;
    ++s.journalTotal;
}

const char* Intern(const char* text) {
    if (!text) return nullptr;
    return S().interned.emplace(text).first->c_str();
}

void Error(const char* format, ...) {
    char buf[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    State& s = S();
    s.errors.emplace_back(buf);
    if (s.logEcho) fprintf(stderr, "host error: %s\n", buf);
}

void UpdateTime() {
    State& s = S();
    s.simTime = s.epochTime + double(s.frame - s.epochFrame) / s.fps;
    PublishClock(s.session, s.simTime);
}

void Schedule(FlightLoop& loop, float interval) {
    State& s = S();
    loop.info.interval = interval;
    loop.scheduled = false;
    if (!std::isfinite(interval)) {
        Error("flight loop %p returned a non-finite interval",
              reinterpret_cast<void*>(loop.info.callback));
        return;
    }
    if (interval == 0) return;
    loop.scheduled = true;
    if (interval > 0) {
        loop.byFrames = false;
        loop.dueTime = s.simTime + interval;
    } else {
        loop.byFrames = true;
        long frames = std::lround(-interval);
        loop.dueFrame = s.frame + uint64_t(frames < 1 ? 1 : frames);
    }
}

FlightLoop* FindLoop(XPLMFlightLoop_f cb, void* refcon) {
    for (auto& l : S().loops)
        if (l.registered && l.info.callback == cb && l.info.refcon == refcon) return &l;
    return nullptr;
}

void EraseUnregistered() {
    auto& v = S().loops;
    for (size_t i = 0; i < v.size();)
        if (!v[i].registered)
            v.erase(v.begin() + long(i));
        else
            ++i;
}

namespace {

void RunFlightLoops() {
    State& s = S();
    const double now = s.simTime;
    const float sinceLastLoop = float(now - s.lastFlightLoopTime);
    s.inFlightLoops = true;
    // Loops registered by a callback join from the next frame on.
    const size_t n = s.loops.size();
    for (size_t k = 0; k < n; ++k) {
        FlightLoop& l = s.loops[k];
        if (!l.registered || !l.active || !l.scheduled) continue;
        bool due = l.byFrames ? s.frame >= l.dueFrame : now >= l.dueTime - 1e-6;
        if (!due) continue;
        const float sinceLast = float(now - l.lastCall);
        XPLMFlightLoop_f cb = l.info.callback;
        void* refcon = l.info.refcon;
        l.lastCall = now;
        ++l.info.calls;
        float next = cb(sinceLast, sinceLastLoop, int(s.frame), refcon);
        FlightLoop& after = s.loops[k];  // the vector may have grown
        if (after.registered && after.active) Schedule(after, next);
    }
    s.inFlightLoops = false;
    EraseUnregistered();
    s.lastFlightLoopTime = now;
}

void RunDrawCallbacks() {
    State& s = S();
    for (int before = 1; before >= 0; --before) {
        const size_t n = s.draws.size();
        for (size_t k = 0; k < n; ++k) {
            DrawCallback& d = s.draws[k];
            if (!d.active || !d.registered || d.info.phase != xplm_Phase_Window ||
                (d.info.wantsBefore != 0) != (before != 0))
                continue;
            ++d.info.calls;
            XPLMDrawCallback_f cb = d.info.callback;
            cb(d.info.phase, before, d.info.refcon);
        }
    }
}

void RunPlanesCallback() {
    State& s = S();
    if (!s.planesCallbackDue) return;
    s.planesCallbackDue = false;
    s.planesCallbackPending = false;
    XPLMPlanesAvailable_f cb = s.planesCallback;
    void* refcon = s.planesRefcon;
    s.planesCallback = nullptr;
    if (cb) cb(refcon);
}

}  // namespace
}  // namespace detail

using namespace detail;

// ---------------------------------------------------------------- session

void Reset() {
    State& s = S();
    if (s.plugin.started) StopPlugin();
    CloseModule();
    if (!s.refs) InitDataRefs();

    s.session = true;
    s.plugin = PluginStatus{};
    s.entries = PluginEntryPoints{};
    s.fps = 60;
    s.frame = s.epochFrame = 0;
    s.simTime = s.epochTime = s.lastFlightLoopTime = 0;
    s.loops.clear();
    s.draws.clear();
    s.failedLookups.clear();
    s.writeLogOn = false;
    s.writeLog.clear();
    s.log.clear();
    s.logEcho = false;
    s.journalOn = true;
    s.journalCap = 262144;
    s.journal.clear();
    s.journal.reserve(s.journalCap);  // untouched pages until used
    s.journalTotal = 0;
    s.errors.clear();
    s.counts = Counters{};
    s.xplaneVersion = 12100;
    s.planesAvailable = true;
    s.planesHeld = false;
    s.planesCallback = nullptr;
    s.planesRefcon = nullptr;
    s.planesCallbackPending = s.planesCallbackDue = false;
    s.activeAircraft = 0;
    s.texts.clear();
    s.textCount = 0;
    s.cameraAuto = true;
    SetClockSimulated(true);

    ResetDataRefs();
    ResetScenery();
    ResetAircraft();
    s.interned.clear();  // after the journal: nothing points in any more
    UpdateTime();
}

void EndSession() {
    State& s = S();
    if (s.plugin.started) StopPlugin();
    CloseModule();
    s.session = false;
    PublishClock(false, s.simTime);
}

bool SessionActive() { return S().session; }

// ---------------------------------------------------------------- frames

void RunFrame() {
    State& s = S();
    const double before = s.simTime;
    ++s.frame;
    UpdateTime();
    s.textCount = 0;
    StepAircraft(s.simTime - before);
    CompleteDueLoads();
    RunPlanesCallback();
    RunFlightLoops();
    if (s.cameraAuto) UpdateCamera();
    RunDrawCallbacks();
}

void RunFrames(int count) {
    for (int i = 0; i < count; ++i) RunFrame();
}

void RunFor(double seconds) { RunFrames(int(std::lround(seconds * S().fps))); }

bool RunUntil(const std::function<bool()>& pred, double maxSeconds) {
    const double end = S().simTime + maxSeconds;
    while (S().simTime < end - 1e-9) {
        RunFrame();
        if (pred()) return true;
    }
    return pred();
}

void RunRealTime(double seconds, const std::atomic<bool>* stop,
                 const std::function<void()>& afterFrame) {
    State& s = S();
    const double simStart = s.simTime;
    double wallStart = RawSeconds();
    uint64_t done = 0;
    while (!(stop && stop->load())) {
        if (seconds > 0 && s.simTime - simStart >= seconds - 1e-9) break;
        RunFrame();
        if (afterFrame) afterFrame();
        ++done;
        const double target = wallStart + double(done) / s.fps;
        const double now = RawSeconds();
        if (now < target) {
            SleepSeconds(target - now);
        } else if (now - target > 0.25) {
            wallStart = now - double(done) / s.fps;  // fell behind: do not race
        }
    }
}

void SetFps(double fps) {
    State& s = S();
    if (!(fps > 0) || !std::isfinite(fps)) throw std::invalid_argument("fps must be > 0");
    s.epochTime = s.simTime;
    s.epochFrame = s.frame;
    s.fps = fps;
}

double Fps() { return S().fps; }
double SimTime() { return S().simTime; }
uint64_t FrameCount() { return S().frame; }

// ---------------------------------------------------------------- callbacks

std::vector<FlightLoopInfo> FlightLoops() {
    std::vector<FlightLoopInfo> out;
    for (auto& l : S().loops)
        if (l.registered) out.push_back(l.info);
    return out;
}

std::vector<DrawCallbackInfo> DrawCallbacks() {
    std::vector<DrawCallbackInfo> out;
    for (auto& d : S().draws)
        if (d.registered) out.push_back(d.info);
    return out;
}

// ---------------------------------------------------------------- log

std::string LogText() { return S().log; }

std::vector<std::string> LogLines() {
    std::vector<std::string> lines;
    const std::string& log = S().log;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        lines.push_back(log.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool LogContains(const std::string& text) { return S().log.find(text) != std::string::npos; }

int CountLogLines(const std::string& text) {
    int n = 0;
    for (auto& l : LogLines())
        if (l.find(text) != std::string::npos) ++n;
    return n;
}

void ClearLog() { S().log.clear(); }
void SetLogEcho(bool on) { S().logEcho = on; }

// ---------------------------------------------------------------- journal

std::vector<Call> Journal() {
    State& s = S();
    std::vector<Call> out;
    out.reserve(s.journal.size());
    const size_t n = s.journal.size();
    const size_t first = s.journalTotal > n ? size_t(s.journalTotal % s.journalCap) : 0;
    for (size_t k = 0; k < n; ++k) {
        const JournalEntry& e = s.journal[(first + k) % n];
        out.push_back(Call{e.function, e.arg ? e.arg : "", e.value, e.offset, e.count, e.frame});
    }
    return out;
}

void ClearJournal() {
    S().journal.clear();
    S().journalTotal = 0;
}

void SetJournalEnabled(bool on) { S().journalOn = on; }

void SetJournalCapacity(size_t calls) {
    State& s = S();
    ClearJournal();
    s.journalCap = calls;
    s.journal.shrink_to_fit();
    s.journal.reserve(calls);
}

int CountCalls(const std::string& function) {
    int n = 0;
    for (auto& e : S().journal)
        if (function == e.function) ++n;
    return n;
}

int CountCalls(const std::string& function, const std::string& arg) {
    int n = 0;
    for (auto& e : S().journal)
        if (function == e.function && arg == (e.arg ? e.arg : "")) ++n;
    return n;
}

std::vector<std::string> Errors() { return S().errors; }
void ClearErrors() { S().errors.clear(); }
Counters Counts() { return S().counts; }
int FindDataRefCalls() { return S().counts.findDataRef; }

// ---------------------------------------------------------------- planes

void SetPlanesAvailable(bool available) {
    State& s = S();
    s.planesAvailable = available;
    if (available && s.planesCallbackPending) s.planesCallbackDue = true;
}

bool PlanesHeld() { return S().planesHeld; }
bool PlanesCallbackPending() { return S().planesCallbackPending; }
int ActiveAircraftCount() { return S().activeAircraft; }

// ---------------------------------------------------------------- misc

void SetXPlaneVersion(int version) { S().xplaneVersion = version; }

void SetAircraftModel(const std::string& file, const std::string& path) {
    S().modelFile = file;
    S().modelPath = path;
}

}  // namespace velmir::host
