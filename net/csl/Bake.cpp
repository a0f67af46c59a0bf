#include "net/csl/Bake.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>

namespace velmir::net::csl {

double BakeState::Value(const std::string& dataref) const {
    std::string name = dataref.substr(std::char_traits<char>::length(BakedPrefix));
    auto found = Values.find(name);
    if (found != Values.end()) return found->second;
    const auto bracket = name.find('[');
    if (bracket != std::string::npos) name.resize(bracket);
    while (!name.empty() && std::isdigit(static_cast<unsigned char>(name.back()))) name.pop_back();
    found = Values.find(name);
    return found == Values.end() ? 0.0 : found->second;
}

BakeState BakeState::GearDown() {
    BakeState s;
    s.Name = "gear-down";
    s.Values = {{"controls/gear_ratio", 1.0},
                {"controls/nav_lites_on", 1.0},
                {"controls/beacon_lites_on", 1.0}};
    return s;
}

BakeState BakeState::GearUp() {
    BakeState s = GearDown();
    s.Name = "gear-up";
    s.Values["controls/gear_ratio"] = 0.0;
    return s;
}

namespace {

struct Line {
    std::string Indent;  // kept so rewritten lines look like their neighbours
    std::vector<std::string> Words;
    std::string Raw;
};

bool Number(const std::string& word, double& out) {
    char* end = nullptr;
    out = std::strtod(word.c_str(), &end);
    return end != word.c_str() && *end == '\0' && std::isfinite(out);
}

bool Numbers(const std::vector<std::string>& w, std::size_t from, std::size_t count, double* out) {
    if (w.size() < from + count) return false;
    for (std::size_t i = 0; i < count; ++i)
        if (!Number(w[from + i], out[i])) return false;
    return true;
}

std::string Format(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", v);
    return text;
}

bool Baked(const std::string& dataref) { return dataref.rfind(BakedPrefix, 0) == 0; }

// Position of `v` between keys: the keys' two neighbours and the weight of
// the second. Outside the keys the end holds (no extrapolation).
struct Between {
    std::size_t A, B;
    double T;
};
Between Locate(const std::vector<double>& keys, double v) {
    const std::size_t n = keys.size();
    const bool rising = keys.front() <= keys.back();
    auto before = [&](double a, double b) { return rising ? a <= b : a >= b; };
    if (n == 1 || before(v, keys.front())) return {0, 0, 0};
    if (before(keys.back(), v)) return {n - 1, n - 1, 0};
    for (std::size_t i = 0; i + 1 < n; ++i) {
        if (before(keys[i], v) && before(v, keys[i + 1])) {
            const double span = keys[i + 1] - keys[i];
            return {i, i + 1, span == 0 ? 1.0 : (v - keys[i]) / span};
        }
    }
    return {n - 1, n - 1, 0};
}

double Loop(double v, double period) {
    if (period <= 0) return v;
    const double r = std::fmod(v, period);
    return r < 0 ? r + period : r;
}

class Baker {
  public:
    Baker(const BakeState& state, const TextureRename& texture)
        : state_(state), texture_(texture) {}

    BakeResult Run(const std::string& text) {
        Split(text);
        for (i_ = 0; i_ < lines_.size(); ++i_) One();
        if (depth_ != 0) Note("ANIM_begin and ANIM_end do not pair up");
        return std::move(out_);
    }

  private:
    void Split(const std::string& text) {
        std::istringstream in(text);
        std::string raw;
        while (std::getline(in, raw)) {
            if (!raw.empty() && raw.back() == '\r') raw.pop_back();
            Line line;
            line.Raw = raw;
            const auto first = raw.find_first_not_of(" \t");
            line.Indent = raw.substr(0, first == std::string::npos ? raw.size() : first);
            std::istringstream words(raw);
            for (std::string w; words >> w;) line.Words.push_back(w);
            lines_.push_back(std::move(line));
        }
    }

    void Note(const std::string& text) {
        if (noted_.insert(text).second) out_.Notes.push_back(text);
    }
    void Keep() { out_.Text += lines_[i_].Raw + "\n"; }
    void Emit(const std::string& words) { out_.Text += lines_[i_].Indent + words + "\n"; }

    // ANIM_keyframe_loop right after an animation (or inside its table).
    double LoopAfter(std::size_t at) {
        double period = 0;
        for (std::size_t j = at + 1; j < lines_.size(); ++j) {
            const auto& w = lines_[j].Words;
            if (w.empty()) continue;
            if (w[0] == "ANIM_keyframe_loop" && w.size() == 2) Number(w[1], period);
            break;
        }
        return period;
    }

    void One() {
        const auto& w = lines_[i_].Words;
        if (w.empty()) return Keep();
        const std::string& c = w[0];
        if (c == "VT" && w.size() >= 4) {
            double y;
            if (Number(w[2], y)) {
                out_.LowestY = out_.HasVertex ? std::min(out_.LowestY, y) : y;
                out_.HasVertex = true;
            }
            return Keep();
        }
        if (c == "TEXTURE" || c == "TEXTURE_LIT" || c == "TEXTURE_NORMAL") {
            if (c == "TEXTURE") out_.HasTexture = true;
            if (c == "TEXTURE_LIT") out_.HasLitTexture = true;
            const std::string name = w.size() > 1 ? w[1] : "";
            const std::string renamed = texture_ ? texture_(c, name) : "";
            return renamed.empty() ? Keep() : Emit(c + " " + renamed);
        }
        if (c == "ANIM_begin") ++depth_;
        if (c == "ANIM_end") --depth_;
        // Keys of a table left as it was come through here one by one.
        if (c == "ANIM_begin" || c == "ANIM_end" || c == "ANIM_keyframe_loop" ||
            c == "ANIM_rotate_key" || c == "ANIM_trans_key" || c == "ANIM_rotate_end" ||
            c == "ANIM_trans_end")
            return Keep();
        if (c == "ANIM_rotate" || c == "ANIM_trans") return TwoEnds(c == "ANIM_rotate");
        if (c == "ANIM_hide" || c == "ANIM_show") return HideShow();
        if (c == "ANIM_rotate_begin" || c == "ANIM_trans_begin")
            return Table(c == "ANIM_rotate_begin");
        if (c.rfind("ANIM_", 0) == 0) {
            Note("'" + c + "' is not understood and left as it was");
            return Keep();
        }
        if (lines_[i_].Raw.find(BakedPrefix) != std::string::npos)
            Note("'" + c + "' reads a libxplanemp/ value and is left as it was");
        Keep();
    }

    // ANIM_rotate ax ay az r1 r2 v1 v2 dataref
    // ANIM_trans  x1 y1 z1 x2 y2 z2 v1 v2 dataref
    void TwoEnds(bool rotate) {
        const auto& w = lines_[i_].Words;
        const std::size_t n = rotate ? 9 : 10;
        if (w.size() != n) {
            if (w.size() == n - 1 && w.back().find('/') == std::string::npos) return Keep();
            if (w.size() >= n && Baked(w[n - 1])) Note("'" + w[0] + "' line malformed, left");
            return Keep();
        }
        const std::string& dataref = w[n - 1];
        if (!Baked(dataref)) return Keep();
        double v[9];
        if (!Numbers(w, 1, n - 2, v)) {
            Note("'" + w[0] + "' with a non-number, left as it was");
            return Keep();
        }
        const double v1 = v[n - 4], v2 = v[n - 3];
        const double value = Loop(state_.Value(dataref), LoopAfter(i_));
        const Between at = Locate({v1, v2}, value);
        const double t = at.A == at.B ? (at.A == 0 ? 0.0 : 1.0) : at.T;
        if (rotate) {
            const std::string a = Format(v[3] + (v[4] - v[3]) * t);
            return Emit("ANIM_rotate " + w[1] + " " + w[2] + " " + w[3] + " " + a + " " + a + " " +
                        w[6] + " " + w[7] + " " + dataref);
        }
        std::string end;
        for (int k = 0; k < 3; ++k) end += " " + Format(v[k] + (v[k + 3] - v[k]) * t);
        Emit("ANIM_trans" + end + end + " " + w[7] + " " + w[8] + " " + dataref);
    }

    // The command stays where it is when it applies at the state (written
    // with no dataref, so it always applies) and goes when it does not:
    // the order of hides and shows is what decides.
    void HideShow() {
        const auto& w = lines_[i_].Words;
        if (w.size() != 4 || !Baked(w[3])) return Keep();
        double v[2];
        if (!Numbers(w, 1, 2, v)) {
            Note("'" + w[0] + "' with a non-number, left as it was");
            return Keep();
        }
        const double value = state_.Value(w[3]);
        if (value >= std::min(v[0], v[1]) && value <= std::max(v[0], v[1]))
            Emit(w[0] + " 0 0 none");
    }

    // ANIM_rotate_begin ax ay az dataref / ANIM_rotate_key value angle ...
    // ANIM_trans_begin dataref / ANIM_trans_key value x y z ... / _end
    void Table(bool rotate) {
        const auto& w = lines_[i_].Words;
        const std::string keyWord = rotate ? "ANIM_rotate_key" : "ANIM_trans_key";
        const std::string endWord = rotate ? "ANIM_rotate_end" : "ANIM_trans_end";
        const std::size_t want = rotate ? 5 : 2;
        const std::size_t begin = i_;
        std::size_t end = begin + 1;
        std::vector<std::size_t> keyLines;
        double period = 0;
        bool good = w.size() == want;
        for (; end < lines_.size(); ++end) {
            const auto& k = lines_[end].Words;
            if (k.empty()) continue;
            if (k[0] == endWord) break;
            if (k[0] == keyWord)
                keyLines.push_back(end);
            else if (k[0] == "ANIM_keyframe_loop" && k.size() == 2)
                good = good && Number(k[1], period);
            else
                good = false;
        }
        if (end >= lines_.size()) good = false;
        const std::string dataref = w.size() == want ? w.back() : "";
        if (!Baked(dataref)) {
            if (!good && Baked(w.back())) Note("'" + w[0] + "' table malformed, left as it was");
            return Keep();  // the keys pass through one by one
        }
        const std::size_t values = rotate ? 2 : 4;
        std::vector<double> keys;
        std::vector<std::vector<double>> ends;
        for (std::size_t at : keyLines) {
            double v[4];
            if (lines_[at].Words.size() != values + 1 || !Numbers(lines_[at].Words, 1, values, v)) {
                good = false;
                break;
            }
            keys.push_back(v[0]);
            ends.emplace_back(v + 1, v + values);
        }
        if (!good || keys.empty()) {
            Note("'" + w[0] + "' table malformed, left as it was");
            return Keep();
        }
        if (period == 0) period = LoopAfter(end);
        const Between at = Locate(keys, Loop(state_.Value(dataref), period));
        std::string pose;
        for (std::size_t k = 0; k + 1 < values; ++k)
            pose += " " + Format(ends[at.A][k] + (ends[at.B][k] - ends[at.A][k]) * at.T);
        for (; i_ <= end; ++i_) {
            const auto& k = lines_[i_].Words;
            if (!k.empty() && k[0] == keyWord)
                Emit(keyWord + " " + k[1] + pose);
            else
                Keep();
        }
        i_ = end;
    }

    const BakeState& state_;
    const TextureRename& texture_;
    std::vector<Line> lines_;
    std::size_t i_ = 0;
    int depth_ = 0;
    std::set<std::string> noted_;
    BakeResult out_;
};

}  // namespace

BakeResult BakeObject(const std::string& text, const BakeState& state,
                      const TextureRename& texture) {
    return Baker(state, texture).Run(text);
}

std::string InsertAfterHeader(const std::string& text, const std::string& line) {
    std::size_t at = 0;
    for (int n = 0; n < 3 && at < text.size(); ++n) {
        const auto next = text.find('\n', at);
        if (next == std::string::npos) return text + "\n" + line + "\n";
        at = next + 1;
    }
    return text.substr(0, at) + line + "\n" + text.substr(at);
}

}  // namespace velmir::net::csl
