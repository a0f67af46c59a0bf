// RunReport: per-frame sampling of the host's state and its JSON form.
#include "host/Report.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <type_traits>

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

// Length of the valid UTF-8 sequence at s[i], or 0.
size_t Utf8Length(const std::string& s, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    if (n == 3 && c == 0xE0 && byte(i + 1) < 0xA0) return 0;   // overlong
    if (n == 3 && c == 0xED && byte(i + 1) >= 0xA0) return 0;  // surrogate
    if (n == 4 && c == 0xF0 && byte(i + 1) < 0x90) return 0;   // overlong
    if (n == 4 && c == 0xF4 && byte(i + 1) >= 0x90) return 0;  // past U+10FFFF
    return n;
}

// A small pretty-printing JSON writer: containers put each member on a line.
class JsonWriter {
  public:
    std::string out;

    void Open(char bracket) {
        Separate();
        out += bracket;
        first_.push_back(true);
    }
    void Close(char bracket) {
        const bool empty = first_.back();
        first_.pop_back();
        if (!empty) NewLine();
        out += bracket;
    }
    void Key(const std::string& key) {
        Separate();
        Quote(key);
        out += ": ";
        keyed_ = true;
    }
    void String(const std::string& text) {
        Separate();
        Quote(text);
    }
    void Number(double v) {
        Separate();
        if (!std::isfinite(v)) {
            out += "null";  // JSON has no NaN or infinity
            return;
        }
        char buf[32];
        snprintf(buf, sizeof buf, "%.10g", v);
        out += buf;
    }
    void Bool(bool v) {
        Separate();
        out += v ? "true" : "false";
    }
    template <class T>
    void Field(const std::string& key, const T& value) {
        Key(key);
        Put(value);
    }
    void Put(const std::string& v) { String(v); }
    void Put(const char* v) { String(v); }
    void Put(bool v) { Bool(v); }
    template <class T, class = std::enable_if_t<std::is_arithmetic_v<T>>>
    void Put(T v) {
        Number(double(v));
    }

  private:
    std::vector<bool> first_;
    bool keyed_ = false;

    void NewLine() {
        out += '\n';
        out.append(2 * first_.size(), ' ');
    }
    // Before a value or key: a comma and a new line inside containers, nothing
    // after a key.
    void Separate() {
        if (keyed_) {
            keyed_ = false;
            return;
        }
        if (first_.empty()) return;
        if (!first_.back()) out += ',';
        first_.back() = false;
        NewLine();
    }
    void Quote(const std::string& s) {
        out += '"';
        for (size_t i = 0; i < s.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(s[i]);
            if (c == '"' || c == '\\') {
                out += '\\';
                out += char(c);
            } else if (c == '\n') {
                out += "\\n";
            } else if (c == '\t') {
                out += "\\t";
            } else if (c < 0x20 || c == 0x7F) {
                Escape(c);
            } else if (c < 0x80) {
                out += char(c);
            } else if (size_t n = Utf8Length(s, i)) {
                out.append(s, i, n);
                i += n - 1;
            } else {
                Escape(c);  // a stray byte reads as its Latin-1 character
            }
        }
        out += '"';
    }
    void Escape(unsigned char c) {
        char buf[8];
        snprintf(buf, sizeof buf, "\\u%04x", c);
        out += buf;
    }
};

void PutTexts(JsonWriter& j, const std::vector<TextDraw>& texts) {
    j.Open('[');
    for (const TextDraw& t : texts) {
        j.Open('{');
        j.Field("text", t.text);
        j.Field("x", t.x);
        j.Field("y", t.y);
        j.Key("colour");
        j.Open('[');
        j.Number(t.r);
        j.Number(t.g);
        j.Number(t.b);
        j.Close(']');
        j.Close('}');
    }
    j.Close(']');
}

void PutElements(JsonWriter& j, const std::map<int, double>& elements) {
    j.Open('{');
    for (const auto& e : elements) j.Field(std::to_string(e.first), e.second);
    j.Close('}');
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

std::string RunReport::Json() const {
    JsonWriter j;
    j.Open('{');

    j.Key("plugin");
    j.Open('{');
    j.Field("path", plugin_.path);
    j.Field("name", plugin_.name);
    j.Field("signature", plugin_.signature);
    j.Field("description", plugin_.description);
    j.Field("startResult", plugin_.startResult);
    j.Field("enabled", plugin_.enabled);
    j.Close('}');

    j.Key("run");
    j.Open('{');
    j.Field("frames", frames_);
    j.Field("simSeconds", simSeconds_);
    j.Field("fps", fps_);
    j.Close('}');

    j.Key("userAircraft");
    j.Open('{');
    j.Field("x", user_.x);
    j.Field("y", user_.y);
    j.Field("z", user_.z);
    j.Field("lat", user_.lat);
    j.Field("lon", user_.lon);
    j.Field("elevation", user_.elevation);
    j.Close('}');

    j.Key("log");
    j.Open('[');
    for (const std::string& line : stopped_ ? log_ : LogLines()) j.String(line);
    j.Close(']');

    j.Key("instances");
    j.Open('[');
    for (const InstanceSeen& i : instances_) {
        j.Open('{');
        j.Field("object", i.objectPath);
        j.Field("firstFrame", i.firstFrame);
        j.Field("lastFrame", i.lastFrame);
        j.Field("live", i.live);
        j.Field("positioned", i.positioned);
        j.Field("positionSets", i.positionSets);
        j.Key("position");
        j.Open('{');
        j.Field("x", i.position.x);
        j.Field("y", i.position.y);
        j.Field("z", i.position.z);
        j.Field("pitch", i.position.pitch);
        j.Field("heading", i.position.heading);
        j.Field("roll", i.position.roll);
        j.Close('}');
        j.Close('}');
    }
    j.Close(']');

    j.Key("tcasTargets");
    j.Open('[');
    for (const TargetSeen& t : targets_) {
        j.Open('{');
        j.Field("index", t.index);
        j.Field("modeS", t.modeS);
        j.Field("flightId", t.flightId);
        j.Field("positioned", t.positioned);
        j.Field("x", t.x);
        j.Field("y", t.y);
        j.Field("z", t.z);
        j.Field("firstFrame", t.firstFrame);
        j.Field("lastFrame", t.lastFrame);
        j.Close('}');
    }
    j.Close(']');

    j.Key("activeAircraftCount");
    j.Open('{');
    j.Field("last", activeLast_);
    j.Field("max", activeMax_);
    j.Close('}');
    j.Key("planesHeld");
    j.Open('{');
    j.Field("last", heldLast_);
    j.Field("ever", heldEver_);
    j.Close('}');

    j.Key("textDraws");
    PutTexts(j, texts_);
    j.Key("lastTextDraws");
    j.Open('{');
    j.Field("frame", lastTextsFrame_);
    j.Key("draws");
    PutTexts(j, lastTexts_);
    j.Close('}');

    j.Key("overrides");
    j.Open('[');
    for (const auto& o : overridesFinal_) {
        j.Open('{');
        j.Field("name", o.first.first);
        j.Field("element", o.first.second);
        j.Field("final", o.second);
        j.Key("changes");
        j.Open('[');
        for (const OverrideChange& c : overrides_.at(o.first)) {
            j.Open('{');
            j.Field("frame", c.frame);
            j.Field("value", c.value);
            j.Close('}');
        }
        j.Close(']');
        j.Close('}');
    }
    j.Close(']');

    j.Key("datarefWrites");
    j.Open('{');
    for (const auto& w : writes_) {
        j.Key(w.first);
        j.Open('{');
        j.Field("count", w.second.count);
        j.Field("lastFrame", w.second.lastFrame);
        j.Key("last");
        PutElements(j, w.second.last);
        j.Close('}');
    }
    j.Close('}');

    j.Key("afterStop");
    j.Open('{');
    j.Field("stopped", stopped_);
    j.Field("unloaded", unloaded_);
    j.Field("flightLoopsLeft", loopsLeft_);
    j.Field("instancesLeft", instancesLeft_);
    j.Field("activeAircraftCount", activeAfterStop_);
    j.Field("planesHeld", heldAfterStop_);
    j.Key("writes");
    j.Open('{');
    for (const auto& w : stopWrites_) {
        j.Key(w.first);
        PutElements(j, w.second.last);
    }
    j.Close('}');
    j.Close('}');

    j.Key("hostErrors");
    j.Open('[');
    for (const std::string& e : stopped_ ? errors_ : Errors()) j.String(e);
    j.Close(']');

    j.Close('}');
    j.out += '\n';
    return j.out;
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
