// velmir-twosims-check: reads the two velmir-sim reports of a scripts/two-sims
// run and checks that each simulator's remote aircraft 1 ended where the other
// simulator's user aircraft was: the relay carried the user aircraft across
// and the plugin placed it.
//
//   velmir-twosims-check --a A.json --b B.json [--tolerance METRES]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

// ---- just enough JSON for the report

struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } Type = Null;
    double Value = 0;
    std::string Text;
    std::vector<Json> Items;
    std::map<std::string, Json> Members;

    const Json* Get(const std::string& key) const {
        const auto it = Members.find(key);
        return it == Members.end() ? nullptr : &it->second;
    }
    double Num(const std::string& key, double fallback = NAN) const {
        const Json* j = Get(key);
        return j && j->Type == Number ? j->Value : fallback;
    }
};

class Parser {
public:
    explicit Parser(const std::string& text) : s_(text) {}
    bool Parse(Json& out, std::string& error) {
        if (!Value(out) || (Space(), i_ != s_.size())) {
            error = "bad JSON near byte " + std::to_string(i_);
            return false;
        }
        return true;
    }

private:
    const std::string& s_;
    std::size_t i_ = 0;

    void Space() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) ++i_;
    }
    bool Literal(const char* word) {
        const std::string w(word);
        if (s_.compare(i_, w.size(), w) != 0) return false;
        i_ += w.size();
        return true;
    }
    bool Str(std::string& out) {
        if (i_ >= s_.size() || s_[i_] != '"') return false;
        ++i_;
        while (i_ < s_.size() && s_[i_] != '"') {
            if (s_[i_] == '\\') {
                if (++i_ >= s_.size()) return false;
                const char c = s_[i_];
                if (c == 'u') {
                    if (i_ + 4 >= s_.size()) return false;
                    out += '?';  // the check never compares escaped text
                    i_ += 4;
                } else {
                    out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
                }
                ++i_;
            } else {
                out += s_[i_++];
            }
        }
        if (i_ >= s_.size()) return false;
        ++i_;
        return true;
    }
    bool Value(Json& v) {
        Space();
        if (i_ >= s_.size()) return false;
        const char c = s_[i_];
        if (c == '{') {
            v.Type = Json::Object;
            ++i_;
            Space();
            if (i_ < s_.size() && s_[i_] == '}') return ++i_, true;
            for (;;) {
                Space();
                std::string key;
                if (!Str(key)) return false;
                Space();
                if (i_ >= s_.size() || s_[i_++] != ':') return false;
                if (!Value(v.Members[key])) return false;
                Space();
                if (i_ < s_.size() && s_[i_] == ',') { ++i_; continue; }
                if (i_ < s_.size() && s_[i_] == '}') return ++i_, true;
                return false;
            }
        }
        if (c == '[') {
            v.Type = Json::Array;
            ++i_;
            Space();
            if (i_ < s_.size() && s_[i_] == ']') return ++i_, true;
            for (;;) {
                v.Items.emplace_back();
                if (!Value(v.Items.back())) return false;
                Space();
                if (i_ < s_.size() && s_[i_] == ',') { ++i_; continue; }
                if (i_ < s_.size() && s_[i_] == ']') return ++i_, true;
                return false;
            }
        }
        if (c == '"') return v.Type = Json::String, Str(v.Text);
        if (Literal("true")) return v.Type = Json::Bool, v.Value = 1, true;
        if (Literal("false")) return v.Type = Json::Bool, true;
        if (Literal("null")) return true;
        const char* begin = s_.c_str() + i_;
        char* end = nullptr;
        v.Value = std::strtod(begin, &end);
        if (end == begin) return false;
        v.Type = Json::Number;
        i_ += static_cast<std::size_t>(end - begin);
        return true;
    }
};

bool Load(const std::string& path, Json& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "velmir-twosims-check: cannot read %s\n", path.c_str());
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    if (!Parser(text.str()).Parse(out, error)) {
        std::fprintf(stderr, "velmir-twosims-check: %s: %s\n", path.c_str(), error.c_str());
        return false;
    }
    return true;
}

// ---- what a report says

struct Point {
    double X = NAN, Z = NAN;
    bool Valid() const { return std::isfinite(X) && std::isfinite(Z); }
};

double Distance(Point a, Point b) { return std::hypot(a.X - b.X, a.Z - b.Z); }

// The user aircraft where the run ended.
Point UserAircraft(const Json& report, std::string& source) {
    source = "report";
    if (const Json* user = report.Get("userAircraft")) return {user->Num("x"), user->Num("z")};
    return {};
}

struct Slot1 {
    Point Target, Instance;
    double LastFrame = -1;
};

// The last traffic target published for slot 1 (mode S id 1), and the last
// position of slot 1's first object instance.
Slot1 FindSlot1(const Json& report) {
    Slot1 s;
    if (const Json* targets = report.Get("tcasTargets"))
        for (const Json& t : targets->Items) {
            if (t.Num("modeS") != 1 || !t.Get("positioned") || t.Get("positioned")->Value == 0) continue;
            if (t.Num("lastFrame") < s.LastFrame) continue;
            s.LastFrame = t.Num("lastFrame");
            s.Target = {t.Num("x"), t.Num("z")};
        }
    double lastInstance = -1;
    if (const Json* instances = report.Get("instances"))
        for (const Json& i : instances->Items) {
            const Json* object = i.Get("object");
            const Json* position = i.Get("position");
            if (!object || !position || object->Text.find("inject001") == std::string::npos) continue;
            if (i.Num("lastFrame") <= lastInstance) continue;
            lastInstance = i.Num("lastFrame");
            s.Instance = {position->Num("x"), position->Num("z")};
        }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    std::string paths[2];
    double tolerance = 150;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--a") paths[0] = argv[i + 1];
        else if (arg == "--b") paths[1] = argv[i + 1];
        else if (arg == "--tolerance") tolerance = std::atof(argv[i + 1]);
    }
    if (paths[0].empty() || paths[1].empty() || !(tolerance > 0)) {
        std::fprintf(stderr, "usage: velmir-twosims-check --a A.json --b B.json [--tolerance METRES]\n");
        return 2;
    }
    Json reports[2];
    for (int k = 0; k < 2; ++k)
        if (!Load(paths[k], reports[k])) return 1;

    const char* names[2] = {"A", "B"};
    std::string sources[2];
    const Point users[2] = {UserAircraft(reports[0], sources[0]), UserAircraft(reports[1], sources[1])};
    bool ok = true;
    auto fail = [&ok](const std::string& why) {
        std::printf("  FAIL: %s\n", why.c_str());
        ok = false;
    };

    const double apart = Distance(users[0], users[1]);
    std::printf("two-sims check (tolerance %.0f m)\n", tolerance);
    std::printf("  user aircraft at the end: A (%.0f, %.0f), B (%.0f, %.0f), %.0f m apart (from the %s)\n",
                users[0].X, users[0].Z, users[1].X, users[1].Z, apart, sources[0].c_str());
    // Were they close, slot 1 could sit on the wrong aircraft and still pass.
    if (!(apart > tolerance)) fail("the two user aircraft are too close together for the check to mean anything");

    for (int k = 0; k < 2; ++k) {
        const Json& report = reports[k];
        const Point other = users[1 - k];
        const Slot1 slot = FindSlot1(report);
        const Json* run = report.Get("run");
        const double frames = run ? run->Num("frames") : NAN;
        const double fps = run ? run->Num("fps", 60) : 60;
        if (!slot.Target.Valid()) {
            fail(std::string(names[k]) + ": no traffic target for remote aircraft 1");
            continue;
        }
        const double miss = Distance(slot.Target, other);
        std::printf("  %s: remote aircraft 1 at (%.0f, %.0f), %s's user aircraft at (%.0f, %.0f): %.1f m off; "
                    "last published %.2f s before the end\n",
                    names[k], slot.Target.X, slot.Target.Z, names[1 - k], other.X, other.Z, miss,
                    (frames - slot.LastFrame) / fps);
        if (!(miss <= tolerance))
            fail(std::string(names[k]) + ": remote aircraft 1 is not where " + names[1 - k] + "'s user aircraft is");
        if (!(frames - slot.LastFrame <= fps))
            fail(std::string(names[k]) + ": remote aircraft 1 stopped being published before the end");
        if (!slot.Instance.Valid())
            fail(std::string(names[k]) + ": remote aircraft 1 has no placed object");
        else if (!(Distance(slot.Instance, slot.Target) < 30))
            fail(std::string(names[k]) + ": remote aircraft 1's object is away from its traffic target");
        const Json* errors = report.Get("hostErrors");
        if (errors && !errors->Items.empty())
            fail(std::string(names[k]) + ": host errors: " + errors->Items.front().Text);
    }
    std::printf("  %s\n", ok ? "ok: each simulator shows the other's aircraft" : "check failed");
    return ok ? 0 : 1;
}
