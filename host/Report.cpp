// RunReport: per-frame sampling of the host's state (its JSON form: ReportJson.cpp).
#include "host/Report.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace velmir::host {
namespace {

const std::string kOverridePrefix = "sim/operation/override/";
const std::string kTargetPrefix = "sim/cockpit2/tcas/targets/";
constexpr int kTargetSlots = 64;
constexpr int kFlightIdStride = 8;
// Bounds for a plugin that misbehaves for a long run: the report stays small.
constexpr size_t kMaxTargets = 512;
constexpr size_t kMaxChanges = 256;

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

void RunReport::Begin() {
    SetWriteLog(true);
    ClearWriteLog();
}

void RunReport::Observe() {
    const uint64_t frame = FrameCount();
    ++frames_;
    FoldWrites(writes_, true);

    for (const InstanceInfo& info : Instances()) {
        InstanceSeen* seen = nullptr;
        for (InstanceSeen& i : instances_)
            if (i.live && i.ref == info.ref) seen = &i;
        if (!seen) {
            instances_.emplace_back();
            seen = &instances_.back();
            seen->ref = info.ref;
            seen->objectPath = info.objectPath;
            seen->firstFrame = frame;
        }
        seen->lastFrame = frame;
        seen->positioned = info.positioned;
        seen->positionSets = info.setCount;
        seen->position = info.position;
    }
    for (InstanceSeen& i : instances_)
        if (i.live && i.lastFrame != frame) i.live = false;

    activeLast_ = ActiveAircraftCount();
    if (activeLast_ > activeMax_) activeMax_ = activeLast_;
    heldLast_ = PlanesHeld();
    heldEver_ = heldEver_ || heldLast_;
    texts_ = TextDraws();
    if (!texts_.empty()) {
        lastTexts_ = texts_;
        lastTextsFrame_ = frame;
    }
}

void RunReport::FoldWrites(std::map<std::string, WritesSeen>& into, bool duringRun) {
    for (const DataWrite& w : WriteLog()) {
        if (StartsWith(w.name, kTargetPrefix)) {
            if (duringRun) FoldTarget(w);
            continue;
        }
        WritesSeen& seen = into[w.name];
        ++seen.count;
        seen.lastFrame = w.frame;
        const bool isOverride = duringRun && StartsWith(w.name, kOverridePrefix);
        for (size_t k = 0; k < w.values.size(); ++k) {
            const int element = w.offset + int(k);
            seen.last[element] = w.values[k];
            if (!isOverride) continue;
            auto& changes = overrides_[{w.name, element}];
            if ((changes.empty() || changes.back().value != w.values[k]) &&
                changes.size() < kMaxChanges)
                changes.push_back(OverrideChange{w.frame, w.values[k]});
        }
    }
    ClearWriteLog();
}

void RunReport::FoldTarget(const DataWrite& w) {
    const std::string field = w.name.substr(kTargetPrefix.size());
    auto target = [&](int index, int modeS) -> TargetSeen* {
        for (TargetSeen& t : targets_)
            if (t.index == index && t.modeS == modeS) {
                t.lastFrame = w.frame;
                return &t;
            }
        if (targets_.size() >= kMaxTargets) return nullptr;
        TargetSeen t;
        t.index = index;
        t.modeS = modeS;
        t.firstFrame = t.lastFrame = w.frame;
        targets_.push_back(t);
        return &targets_.back();
    };
    // A target is what its index holds now: flight id and position writes
    // belong to the mode S id last written for that index.
    auto current = [&](int index) -> TargetSeen* {
        if (index < 0 || index >= kTargetSlots || currentModeS_[index] == 0) return nullptr;
        return target(index, currentModeS_[index]);
    };

    if (field == "modeS_id") {
        for (size_t k = 0; k < w.values.size(); ++k) {
            const int index = w.offset + int(k);
            if (index < 0 || index >= kTargetSlots) continue;
            currentModeS_[index] = int(w.values[k]);
            current(index);
        }
    } else if (field == "flight_id") {
        std::map<int, std::string> ids;
        for (size_t k = 0; k < w.values.size(); ++k) {
            const int byte = w.offset + int(k);
            std::string& id = ids[byte / kFlightIdStride];
            if (id.size() == size_t(byte % kFlightIdStride) && w.values[k] != 0)
                id += char(int(w.values[k]));  // up to the first zero
        }
        for (const auto& id : ids)
            if (TargetSeen* t = current(id.first)) t->flightId = id.second;
    } else if (field == "position/x" || field == "position/y" || field == "position/z") {
        const char axis = field.back();
        for (size_t k = 0; k < w.values.size(); ++k) {
            TargetSeen* t = current(w.offset + int(k));
            if (!t) continue;
            float& v = axis == 'x' ? t->x : axis == 'y' ? t->y : t->z;
            v = float(w.values[k]);
            t->positioned = true;
        }
    }
}

void RunReport::Finish() {
    FoldWrites(writes_, true);
    plugin_ = Plugin();
    simSeconds_ = SimTime();
    fps_ = Fps();
    // Where the user aircraft ended, so a run can be compared with another.
    user_.x = GetDouble("sim/flightmodel/position/local_x");
    user_.y = GetDouble("sim/flightmodel/position/local_y");
    user_.z = GetDouble("sim/flightmodel/position/local_z");
    user_.lat = GetDouble("sim/flightmodel/position/latitude");
    user_.lon = GetDouble("sim/flightmodel/position/longitude");
    user_.elevation = GetDouble("sim/flightmodel/position/elevation");
    overridesFinal_.clear();
    for (const auto& o : overrides_) {
        double value = NAN;
        try {
            value = GetDouble(o.first.first, o.first.second);
        } catch (const std::exception&) {
        }
        overridesFinal_.push_back({o.first, value});
    }
}

void RunReport::Stopped() {
    FoldWrites(stopWrites_, false);
    stopped_ = true;
    unloaded_ = Plugin().unloaded;
    loopsLeft_ = FlightLoops().size();
    instancesLeft_ = Instances().size();
    activeAfterStop_ = ActiveAircraftCount();
    heldAfterStop_ = PlanesHeld();
    log_ = LogLines();
    errors_ = Errors();
}

bool RunReport::Write(const std::string& path, std::string* error) const {
    const std::string text = Json();
    FILE* f = fopen(path.c_str(), "wb");
    bool ok = f && fwrite(text.data(), 1, text.size(), f) == text.size();
    if (f && fclose(f) != 0) ok = false;
    if (!ok && error) *error = "cannot write '" + path + "'";
    return ok;
}

}  // namespace velmir::host
