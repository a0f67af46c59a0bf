// RunReport's JSON form, written with nlohmann-json: members in a fixed order,
// one per line, so a report reads and diffs well.
#include <algorithm>
#include <string>

#include <nlohmann/json.hpp>

#include "host/Report.h"

namespace velmir::host {
namespace {

using JsonValue = nlohmann::ordered_json;

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

// Plugins log any bytes; JSON text is UTF-8. A byte that starts no valid
// sequence reads as its Latin-1 character, so nothing is lost or refused.
std::string Text(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            out += char(c);
        } else if (const size_t n = Utf8Length(s, i)) {
            out.append(s, i, n);
            i += n - 1;
        } else {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

JsonValue Texts(const std::vector<std::string>& lines) {
    JsonValue a = JsonValue::array();
    for (const std::string& line : lines) a.push_back(Text(line));
    return a;
}

JsonValue Draws(const std::vector<TextDraw>& texts) {
    JsonValue a = JsonValue::array();
    for (const TextDraw& t : texts)
        a.push_back({{"text", Text(t.text)}, {"x", t.x}, {"y", t.y}, {"colour", {t.r, t.g, t.b}}});
    return a;
}

JsonValue Elements(const std::map<int, double>& elements) {
    JsonValue o = JsonValue::object();
    for (const auto& e : elements) o[std::to_string(e.first)] = e.second;
    return o;
}

}  // namespace

std::string RunReport::Json() const {
    JsonValue j;
    j["plugin"] = {
        {"path", Text(plugin_.path)},           {"name", Text(plugin_.name)},
        {"signature", Text(plugin_.signature)}, {"description", Text(plugin_.description)},
        {"startResult", plugin_.startResult},   {"enabled", plugin_.enabled}};
    j["run"] = {{"frames", frames_}, {"simSeconds", simSeconds_}, {"fps", fps_}};
    j["userAircraft"] = {{"x", user_.x},     {"y", user_.y},     {"z", user_.z},
                         {"lat", user_.lat}, {"lon", user_.lon}, {"elevation", user_.elevation}};
    j["log"] = Texts(stopped_ ? log_ : LogLines());

    JsonValue& instances = j["instances"] = JsonValue::array();
    for (const InstanceSeen& i : instances_) {
        const XPLMDrawInfo_t& p = i.position;
        instances.push_back({{"object", Text(i.objectPath)},
                             {"firstFrame", i.firstFrame},
                             {"lastFrame", i.lastFrame},
                             {"live", i.live},
                             {"positioned", i.positioned},
                             {"positionSets", i.positionSets},
                             {"position",
                              {{"x", p.x},
                               {"y", p.y},
                               {"z", p.z},
                               {"pitch", p.pitch},
                               {"heading", p.heading},
                               {"roll", p.roll}}}});
    }

    // The object files each remote slot's instances were made of (slot
    // folders are .../injectNNN/objects/), in order of first use: what a
    // slot showed, without reading every instance.
    JsonValue& slots = j["slotObjects"] = JsonValue::object();
    for (const InstanceSeen& i : instances_) {
        const std::string& path = i.objectPath;
        const size_t at = path.rfind("inject");
        if (at == std::string::npos || path.size() < at + 18) continue;
        const std::string digits = path.substr(at + 6, 3), rest = path.substr(at + 9);
        if (digits.find_first_not_of("0123456789") != std::string::npos ||
            (rest.compare(0, 9, "/objects/") != 0 && rest.compare(0, 9, "\\objects\\") != 0))
            continue;
        JsonValue& list = slots[std::to_string(std::stoi(digits))];
        const JsonValue name = Text(rest.substr(9));
        if (std::find(list.begin(), list.end(), name) == list.end()) list.push_back(name);
    }

    JsonValue& targets = j["tcasTargets"] = JsonValue::array();
    for (const TargetSeen& t : targets_)
        targets.push_back({{"index", t.index},
                           {"modeS", t.modeS},
                           {"flightId", Text(t.flightId)},
                           {"positioned", t.positioned},
                           {"x", t.x},
                           {"y", t.y},
                           {"z", t.z},
                           {"firstFrame", t.firstFrame},
                           {"lastFrame", t.lastFrame}});

    j["activeAircraftCount"] = {{"last", activeLast_}, {"max", activeMax_}};
    j["planesHeld"] = {{"last", heldLast_}, {"ever", heldEver_}};
    j["textDraws"] = Draws(texts_);
    j["lastTextDraws"] = {{"frame", lastTextsFrame_}, {"draws", Draws(lastTexts_)}};

    JsonValue& overrides = j["overrides"] = JsonValue::array();
    for (const auto& o : overridesFinal_) {
        JsonValue changes = JsonValue::array();
        for (const OverrideChange& c : overrides_.at(o.first))
            changes.push_back({{"frame", c.frame}, {"value", c.value}});
        overrides.push_back({{"name", Text(o.first.first)},
                             {"element", o.first.second},
                             {"final", o.second},
                             {"changes", changes}});
    }

    JsonValue& writes = j["datarefWrites"] = JsonValue::object();
    for (const auto& w : writes_)
        writes[Text(w.first)] = {{"count", w.second.count},
                                 {"lastFrame", w.second.lastFrame},
                                 {"last", Elements(w.second.last)}};

    JsonValue stopWrites = JsonValue::object();
    for (const auto& w : stopWrites_) stopWrites[Text(w.first)] = Elements(w.second.last);
    j["afterStop"] = {{"stopped", stopped_},
                      {"unloaded", unloaded_},
                      {"flightLoopsLeft", loopsLeft_},
                      {"instancesLeft", instancesLeft_},
                      {"activeAircraftCount", activeAfterStop_},
                      {"planesHeld", heldAfterStop_},
                      {"writes", stopWrites}};
    j["hostErrors"] = Texts(stopped_ ? errors_ : Errors());
    // NaN and infinity, which JSON lacks, come out as null.
    return j.dump(2) + '\n';
}

}  // namespace velmir::host
