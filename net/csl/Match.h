// Choosing a CSL model for a pilot: the closest model wins, best first:
// type + operator + livery; type + operator; type; same family with the
// operator; same family; same class key (class, engines, engine kind, wake)
// with the operator; same class key; else the built-in mesh. Among equals
// the callsign's FNV-1a hash decides, so every machine shows a pilot alike
// and pilots of one type spread over its liveries.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "net/csl/Package.h"
#include "net/csl/Types.h"
#include "net/pilot/Aircraft.h"
#include "net/pilot/Models.h"

namespace velmir::net::csl {

enum class Rule {
    ModelsMap,  // the --models map named a folder; it wins over packages
    TypeAirlineLivery,
    TypeAirline,
    Type,
    FamilyAirline,
    Family,
    ClassAirline,
    Class,
    BuiltIn,
};
const char* RuleName(Rule);

struct Query {
    std::string Type, Airline, Livery, Callsign;
};

struct Choice {
    Rule How = Rule::BuiltIn;
    const CslModel* Model = nullptr;  // for the package rules
    std::string Folder;               // for ModelsMap
    std::size_t Candidates = 0;       // equals the hash chose among
};

std::uint32_t Fnv1a(std::string_view text);

class Matcher {
  public:
    // Both must outlive the matcher.
    Matcher(const Collection&, const TypeTable&);
    Choice Match(Query) const;

  private:
    using Index = std::unordered_map<std::string, std::vector<std::uint32_t>>;
    const std::vector<std::uint32_t>* Find(const std::string& key) const;

    const Collection& collection_;
    const TypeTable& types_;
    Index index_;
};

// The --models map first (by the pilot's model path), then the packages.
Choice ChooseModel(const ModelMap* map, const std::string& modelPath, const Matcher* matcher,
                   const Query&);

}  // namespace velmir::net::csl
