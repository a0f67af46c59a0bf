#include "net/csl/Match.h"

#include <algorithm>
#include <cctype>

namespace velmir::net::csl {

namespace {

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// One index holds every rule's lists; the first byte tells the rule apart
// and 0x1F (never in a code) separates the parts.
std::string Key(char rule, const std::string& a, const std::string& b = "",
                const std::string& c = "") {
    std::string key;
    key.reserve(3 + a.size() + b.size() + c.size());
    key += rule;
    key += a;
    key += '\x1f';
    key += b;
    key += '\x1f';
    key += c;
    return key;
}

}  // namespace

const char* RuleName(Rule rule) {
    switch (rule) {
    case Rule::ModelsMap: return "models map";
    case Rule::TypeAirlineLivery: return "type, operator and livery";
    case Rule::TypeAirline: return "type and operator";
    case Rule::Type: return "type";
    case Rule::FamilyAirline: return "family and operator";
    case Rule::Family: return "family";
    case Rule::ClassAirline: return "class and operator";
    case Rule::Class: return "class";
    case Rule::BuiltIn: return "built-in mesh";
    }
    return "?";
}

std::uint32_t Fnv1a(std::string_view text) {
    std::uint32_t hash = 2166136261u;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 16777619u;
    }
    return hash;
}

Matcher::Matcher(const Collection& collection, const TypeTable& types)
    : collection_(collection), types_(types) {
    for (std::uint32_t i = 0; i < collection.Models.size(); ++i) {
        for (const MatchKey& m : collection.Models[i].Matches) {
            auto add = [&](std::string key) { index_[std::move(key)].push_back(i); };
            add(Key('T', m.Type));
            if (!m.Airline.empty()) add(Key('T', m.Type, m.Airline));
            if (!m.Airline.empty() && !m.Livery.empty()) add(Key('T', m.Type, m.Airline, m.Livery));
            const TypeInfo* info = types.Find(m.Type);
            if (!info) continue;
            if (!info->Family.empty()) {
                add(Key('F', info->Family));
                if (!m.Airline.empty()) add(Key('F', info->Family, m.Airline));
            }
            add(Key('C', info->ClassKey()));
            if (!m.Airline.empty()) add(Key('C', info->ClassKey(), m.Airline));
        }
    }
    // Models come ordered by package name, then file order: the same on
    // every machine with the same packages, so the hash picks alike.
    for (auto& [key, list] : index_) {
        std::sort(list.begin(), list.end());
        list.erase(std::unique(list.begin(), list.end()), list.end());
        list.shrink_to_fit();
    }
}

const std::vector<std::uint32_t>* Matcher::Find(const std::string& key) const {
    const auto found = index_.find(key);
    return found == index_.end() ? nullptr : &found->second;
}

Choice Matcher::Match(Query q) const {
    q.Type = Upper(q.Type);
    q.Airline = q.Airline.empty() ? AirlineFromCallsign(q.Callsign) : Upper(q.Airline);
    q.Livery = Upper(q.Livery);
    const TypeInfo* info = q.Type.empty() ? nullptr : types_.Find(q.Type);
    const bool airline = !q.Airline.empty();
    struct Step {
        Rule How;
        bool Usable;
        char Kind;
        std::string A, B, C;
    };
    const std::string family = info ? info->Family : "";
    const std::string classKey = info ? info->ClassKey() : "";
    const Step steps[] = {
        {Rule::TypeAirlineLivery, !q.Type.empty() && airline && !q.Livery.empty(), 'T', q.Type,
         q.Airline, q.Livery},
        {Rule::TypeAirline, !q.Type.empty() && airline, 'T', q.Type, q.Airline, ""},
        {Rule::Type, !q.Type.empty(), 'T', q.Type, "", ""},
        {Rule::FamilyAirline, !family.empty() && airline, 'F', family, q.Airline, ""},
        {Rule::Family, !family.empty(), 'F', family, "", ""},
        {Rule::ClassAirline, info && airline, 'C', classKey, q.Airline, ""},
        {Rule::Class, info != nullptr, 'C', classKey, "", ""},
    };
    for (const Step& step : steps) {
        if (!step.Usable) continue;
        const auto* list = Find(Key(step.Kind, step.A, step.B, step.C));
        if (!list || list->empty()) continue;
        Choice choice;
        choice.How = step.How;
        choice.Candidates = list->size();
        choice.Model = &collection_.Models[(*list)[Fnv1a(Upper(q.Callsign)) % list->size()]];
        return choice;
    }
    return {};
}

Choice ChooseModel(const ModelMap* map, const std::string& modelPath, const Matcher* matcher,
                   const Query& query) {
    if (map) {
        const std::string folder = map->FolderFor(modelPath);
        if (!folder.empty()) {
            Choice choice;
            choice.How = Rule::ModelsMap;
            choice.Folder = folder;
            choice.Candidates = 1;
            return choice;
        }
    }
    return matcher ? matcher->Match(query) : Choice{};
}

}  // namespace velmir::net::csl
