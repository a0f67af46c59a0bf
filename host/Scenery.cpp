// Projection, terrain and probes, asynchronous objects and instances, text.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "host/HostState.h"

namespace velmir::host::detail {
namespace {

constexpr double kEarthRadius = 6378137.0;
constexpr double kRad = 3.14159265358979323846 / 180.0;

std::string CurrentDir() {
    char buf[4096];
    return getcwd(buf, sizeof buf) ? std::string(buf) : std::string(".");
}

std::string ResolvePath(const std::string& path) {
    std::string p = path;
    std::replace(p.begin(), p.end(), '\\', '/');
    if (!p.empty() && p[0] == '/') return p;
#if defined(_WIN32)
    if (p.size() > 1 && p[1] == ':') return p;  // a drive letter
#endif
    const std::string& root = S().root;
    return root.empty() ? p : root + "/" + p;
}

std::string Trim(std::string s) {
    while (!s.empty() &&
           (s.back() == '\r' || s.back() == '\n' || s.back() == ' ' || s.back() == '\t'))
        s.pop_back();
    size_t k = 0;
    while (k < s.size() && (s[k] == ' ' || s[k] == '\t')) ++k;
    return s.substr(k);
}

// An OBJ8 file starts with "I" or "A", then "800", then "OBJ".
bool IsObj8(const std::string& file) {
    FILE* f = fopen(file.c_str(), "rb");
    if (!f) return false;
    std::string lines[3];
    char buf[256];
    int n = 0;
    while (n < 3 && fgets(buf, sizeof buf, f)) lines[n++] = Trim(buf);
    fclose(f);
    return n == 3 && (lines[0] == "I" || lines[0] == "A") && lines[1] == "800" &&
           lines[2].compare(0, 3, "OBJ") == 0;
}

ObjectRecord* FindObject(XPLMObjectRef ref, const char* function) {
    if (S().objectRefs.count(ref)) return static_cast<ObjectRecord*>(ref);
    Error("%s: unknown object %p", function, ref);
    return nullptr;
}

InstanceRecord* FindInstance(XPLMInstanceRef ref, const char* function) {
    if (S().instanceRefs.count(ref)) return static_cast<InstanceRecord*>(ref);
    Error("%s: unknown instance %p", function, ref);
    return nullptr;
}

ProbeRecord* FindProbe(XPLMProbeRef ref, const char* function) {
    if (S().probeRefs.count(ref)) return static_cast<ProbeRecord*>(ref);
    Error("%s: unknown probe %p", function, ref);
    return nullptr;
}

}  // namespace

void ResetScenery() {
    State& s = S();
    s.lat0 = 47.0;
    s.lon0 = 8.0;
    s.terrain = [](double, double) { return 400.0; };
    s.probeCreationFails = false;
    s.probes.clear();
    s.probeRefs.clear();
    s.root = CurrentDir();
    s.loadDelay = 2;
    s.loadsFail = false;
    s.pending.clear();
    s.objects.clear();
    s.instances.clear();
    s.objectRefs.clear();
    s.instanceRefs.clear();
}

void CompleteDueLoads() {
    State& s = S();
    if (s.pending.empty()) return;
    // Take the due ones out first: a callback may request more loads.
    // (By hand: std::stable_partition would allocate a buffer every frame.)
    std::vector<PendingLoad>& due = s.due;
    due.clear();
    size_t keep = 0;
    for (const PendingLoad& p : s.pending) {
        if (p.dueFrame <= s.frame)
            due.push_back(p);
        else
            s.pending[keep++] = p;
    }
    s.pending.resize(keep);
    for (const PendingLoad& p : due) {
        const std::string file = ResolvePath(p.path);
        XPLMObjectRef ref = nullptr;
        if (!s.loadsFail && IsObj8(file)) {
            s.objects.push_back(ObjectRecord{p.path, file, true, 0});
            ref = &s.objects.back();
            s.objectRefs.insert(ref);
            ++s.counts.loadsSucceeded;
        } else {
            ++s.counts.loadsFailed;
        }
        p.callback(ref, p.refcon);
    }
}

void DropPendingLoads() {
    State& s = S();
    s.counts.loadsDropped += int(s.pending.size());
    s.pending.clear();
}

}  // namespace velmir::host::detail

// ================================================================ test API

namespace velmir::host {
using namespace detail;

void SetReferencePoint(double lat0, double lon0) {
    S().lat0 = lat0;
    S().lon0 = lon0;
}

// Metres per degree; forward and inverse share the same factors so that a
// round trip loses as little as doubles allow.
constexpr double kMetresPerDegree = kEarthRadius * kRad;
double MetresPerDegreeEast() { return std::cos(S().lat0 * kRad) * kMetresPerDegree; }

LocalPoint WorldToLocal(double lat, double lon, double alt) {
    const State& s = S();
    return {(lon - s.lon0) * MetresPerDegreeEast(), alt, -(lat - s.lat0) * kMetresPerDegree};
}

GeoPoint LocalToWorld(double x, double y, double z) {
    const State& s = S();
    return {s.lat0 - z / kMetresPerDegree, s.lon0 + x / MetresPerDegreeEast(), y};
}

void SetTerrain(Terrain terrain) {
    if (terrain) S().terrain = std::move(terrain);
}

void SetFlatTerrain(double elevation) {
    S().terrain = [elevation](double, double) { return elevation; };
}

double TerrainHeight(double x, double z) { return S().terrain(x, z); }
void SetProbeCreationFails(bool fail) { S().probeCreationFails = fail; }

int LiveProbes() {
    int n = 0;
    for (auto& p : S().probes) n += p.live;
    return n;
}

void SetRoot(const std::string& dir) { S().root = dir; }
std::string Root() { return S().root; }
void SetLoadDelayFrames(int frames) { S().loadDelay = std::max(0, frames); }
void SetAllLoadsFail(bool fail) { S().loadsFail = fail; }
int PendingLoads() { return int(S().pending.size()); }

std::vector<ObjectInfo> Objects() {
    std::vector<ObjectInfo> out;
    for (auto& o : S().objects)
        if (o.live) out.push_back(ObjectInfo{&o, o.path, o.file, o.liveInstances});
    return out;
}

std::vector<InstanceInfo> Instances() {
    std::vector<InstanceInfo> out;
    for (auto& i : S().instances)
        if (i.live) out.push_back(i.info);
    return out;
}

std::vector<TextDraw> TextDraws() {
    const State& s = S();
    return std::vector<TextDraw>(s.texts.begin(), s.texts.begin() + long(s.textCount));
}
float TextWidth(int chars) { return chars > 0 ? 6.0f * float(chars) : 0.0f; }

}  // namespace velmir::host

// ================================================================ SDK

using namespace velmir::host;
using namespace velmir::host::detail;

extern "C" {

XPLM_API void XPLMWorldToLocal(double inLatitude, double inLongitude, double inAltitude,
                               double* outX, double* outY, double* outZ) {
    Record("XPLMWorldToLocal");
    LocalPoint p = WorldToLocal(inLatitude, inLongitude, inAltitude);
    if (outX) *outX = p.x;
    if (outY) *outY = p.y;
    if (outZ) *outZ = p.z;
}

XPLM_API XPLMProbeRef XPLMCreateProbe(XPLMProbeType inProbeType) {
    Record("XPLMCreateProbe", nullptr, inProbeType);
    State& s = S();
    if (inProbeType != xplm_ProbeY) {
        Error("XPLMCreateProbe: unknown probe type %d", inProbeType);
        return nullptr;
    }
    if (s.probeCreationFails) return nullptr;
    s.probes.push_back(ProbeRecord{});
    ProbeRecord* p = &s.probes.back();
    s.probeRefs.insert(p);
    ++s.counts.probesCreated;
    return p;
}

XPLM_API void XPLMDestroyProbe(XPLMProbeRef inProbe) {
    Record("XPLMDestroyProbe");
    ProbeRecord* p = FindProbe(inProbe, "XPLMDestroyProbe");
    if (!p) return;
    if (!p->live) {
        Error("XPLMDestroyProbe: probe %p destroyed twice", inProbe);
        return;
    }
    p->live = false;
    ++S().counts.probesDestroyed;
}

XPLM_API XPLMProbeResult XPLMProbeTerrainXYZ(XPLMProbeRef inProbe, float inX, float inY, float inZ,
                                             XPLMProbeInfo_t* outInfo) {
    (void)inY;
    Record("XPLMProbeTerrainXYZ", nullptr, inY);
    State& s = S();
    ++s.counts.probeCalls;
    ProbeRecord* p = FindProbe(inProbe, "XPLMProbeTerrainXYZ");
    if (!p) return xplm_ProbeError;
    if (!p->live) {
        Error("XPLMProbeTerrainXYZ: probe %p used after destroy", inProbe);
        return xplm_ProbeError;
    }
    if (!outInfo) {
        Error("XPLMProbeTerrainXYZ: null info");
        return xplm_ProbeError;
    }
    if (outInfo->structSize != int(sizeof(XPLMProbeInfo_t))) return xplm_ProbeError;
    const double h = s.terrain(inX, inZ);
    if (std::isnan(h)) return xplm_ProbeMissed;
    // Normal from the terrain's slope around the point.
    const double d = 1.0;
    double dx = (s.terrain(inX + d, inZ) - s.terrain(inX - d, inZ)) / (2 * d);
    double dz = (s.terrain(inX, inZ + d) - s.terrain(inX, inZ - d)) / (2 * d);
    if (std::isnan(dx)) dx = 0;
    if (std::isnan(dz)) dz = 0;
    const double len = std::sqrt(dx * dx + 1 + dz * dz);
    outInfo->locationX = inX;
    outInfo->locationY = float(h);
    outInfo->locationZ = inZ;
    outInfo->normalX = float(-dx / len);
    outInfo->normalY = float(1 / len);
    outInfo->normalZ = float(-dz / len);
    outInfo->velocityX = outInfo->velocityY = outInfo->velocityZ = 0;
    outInfo->is_wet = 0;
    return xplm_ProbeHitTerrain;
}

XPLM_API void XPLMLoadObjectAsync(const char* inPath, XPLMObjectLoaded_f inCallback,
                                  void* inRefcon) {
    const char* path = Intern(inPath ? inPath : "");
    Record("XPLMLoadObjectAsync", path);
    State& s = S();
    ++s.counts.loadsRequested;
    if (!inPath || !inCallback) {
        Error("XPLMLoadObjectAsync: null %s", inPath ? "callback" : "path");
        return;
    }
    s.pending.push_back(PendingLoad{path, inCallback, inRefcon, s.frame + uint64_t(s.loadDelay)});
}

XPLM_API void XPLMUnloadObject(XPLMObjectRef inObject) {
    Record("XPLMUnloadObject");
    ObjectRecord* o = FindObject(inObject, "XPLMUnloadObject");
    if (!o) return;
    if (!o->live) {
        Error("XPLMUnloadObject: '%s' unloaded twice", o->path.c_str());
        return;
    }
    if (o->liveInstances > 0)
        Error("XPLMUnloadObject: '%s' still has %d instance(s)", o->path.c_str(), o->liveInstances);
    o->live = false;
    ++S().counts.objectsUnloaded;
}

XPLM_API XPLMInstanceRef XPLMCreateInstance(XPLMObjectRef obj, const char** datarefs) {
    Record("XPLMCreateInstance");
    State& s = S();
    ObjectRecord* o = FindObject(obj, "XPLMCreateInstance");
    if (!o) return nullptr;
    if (!o->live) {
        Error("XPLMCreateInstance: object '%s' was unloaded", o->path.c_str());
        return nullptr;
    }
    InstanceRecord rec;
    rec.object = o;
    rec.info.object = obj;
    rec.info.objectPath = o->path;
    if (!datarefs)
        Error("XPLMCreateInstance: null dataref list (needs a null-terminated array)");
    else
        for (const char** p = datarefs; *p; ++p) rec.info.datarefs.emplace_back(*p);
    rec.info.data.assign(rec.info.datarefs.size(), 0.0f);
    s.instances.push_back(std::move(rec));
    InstanceRecord* i = &s.instances.back();
    i->info.ref = i;
    s.instanceRefs.insert(i);
    ++o->liveInstances;
    ++s.counts.instancesCreated;
    return i;
}

XPLM_API void XPLMDestroyInstance(XPLMInstanceRef instance) {
    Record("XPLMDestroyInstance");
    InstanceRecord* i = FindInstance(instance, "XPLMDestroyInstance");
    if (!i) return;
    if (!i->live) {
        Error("XPLMDestroyInstance: instance of '%s' destroyed twice", i->info.objectPath.c_str());
        return;
    }
    if (!i->object->live)
        Error("XPLMDestroyInstance: object '%s' was unloaded before its instance",
              i->info.objectPath.c_str());
    i->live = false;
    --i->object->liveInstances;
    ++S().counts.instancesDestroyed;
}

XPLM_API void XPLMInstanceSetPosition(XPLMInstanceRef instance, const XPLMDrawInfo_t* new_position,
                                      const float* data) {
    Record("XPLMInstanceSetPosition");
    State& s = S();
    InstanceRecord* i = FindInstance(instance, "XPLMInstanceSetPosition");
    if (!i) return;
    if (!i->live || !i->object->live) {
        Error("XPLMInstanceSetPosition: instance of '%s' used after %s", i->info.objectPath.c_str(),
              i->live ? "its object was unloaded" : "destroy");
        return;
    }
    if (!new_position) {
        Error("XPLMInstanceSetPosition: null position");
        return;
    }
    if (new_position->structSize != int(sizeof(XPLMDrawInfo_t)))
        Error("XPLMInstanceSetPosition: structSize %d", new_position->structSize);
    const size_t n = i->info.datarefs.size();
    if (n > 0 && !data) {
        Error("XPLMInstanceSetPosition: null data for %zu dataref(s)", n);
    } else if (n > 0) {
        std::copy(data, data + n, i->info.data.begin());
    }
    i->info.position = *new_position;
    i->info.positioned = true;
    ++i->info.setCount;
    i->info.lastSetFrame = s.frame;
    ++s.counts.instancePositionSets;
}

XPLM_API float XPLMMeasureString(XPLMFontID inFontID, const char* inChar, int inNumChars) {
    (void)inFontID;
    Record("XPLMMeasureString", nullptr, inNumChars);
    return inChar ? TextWidth(inNumChars) : 0.0f;
}

XPLM_API void XPLMDrawString(float* inColorRGB, int inXOffset, int inYOffset, const char* inChar,
                             int* inWordWrapWidth, XPLMFontID inFontID) {
    Record("XPLMDrawString", nullptr, 0, inXOffset, inYOffset);
    State& s = S();
    ++s.counts.drawStrings;
    if (s.textCount == s.texts.size()) s.texts.emplace_back();
    TextDraw& t = s.texts[s.textCount++];
    t.text.assign(inChar ? inChar : "");
    t.x = inXOffset;
    t.y = inYOffset;
    t.r = inColorRGB ? inColorRGB[0] : 1.0f;
    t.g = inColorRGB ? inColorRGB[1] : 1.0f;
    t.b = inColorRGB ? inColorRGB[2] : 1.0f;
    t.wordWrap = inWordWrapWidth != nullptr;
    t.font = inFontID;
}

}  // extern "C"
