#include "net/csl/Types.h"

#include <cctype>
#include <sstream>

namespace velmir::net::csl {

extern const char* const BuiltInTypesText;  // generated from types.txt

namespace {
bool ParseDescription(const std::string& word, TypeInfo& info) {
    if (word.size() != 3) return false;
    const std::string classes = "LSAHGT", kinds = "PTJE";
    if (classes.find(word[0]) == std::string::npos || word[1] < '1' || word[1] > '8' ||
        kinds.find(word[2]) == std::string::npos)
        return false;
    info.Class = word[0];
    info.Engines = word[1] - '0';
    info.Engine = word[2];
    return true;
}
}  // namespace

void TypeTable::Parse(const std::string& text, std::vector<std::string>& errors) {
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::vector<std::string> w;
        for (std::string word; words >> word;) w.push_back(word);
        if (w.empty()) continue;
        const std::string at = "line " + std::to_string(number) + ": ";
        if (w[0] == "FAMILY") {
            if (w.size() < 3) {
                errors.push_back(at + "FAMILY needs a name and types");
                continue;
            }
            for (std::size_t i = 2; i < w.size(); ++i) {
                const auto found = types_.find(w[i]);
                if (found == types_.end())
                    errors.push_back(at + "family type '" + w[i] + "' has no type line");
                else if (!found->second.Family.empty())
                    errors.push_back(at + "'" + w[i] + "' is already in family " +
                                     found->second.Family);
                else
                    found->second.Family = w[1];
            }
            continue;
        }
        TypeInfo info;
        const std::string wakes = "LMHJ";
        if (w.size() != 3 || !ParseDescription(w[1], info) || w[2].size() != 1 ||
            wakes.find(w[2][0]) == std::string::npos) {
            errors.push_back(at + "expected TYPE DESCRIPTION WAKE");
            continue;
        }
        info.Wake = w[2][0];
        if (!types_.emplace(w[0], info).second) errors.push_back(at + "'" + w[0] + "' again");
    }
}

const TypeInfo* TypeTable::Find(const std::string& type) const {
    const auto found = types_.find(type);
    return found == types_.end() ? nullptr : &found->second;
}

const TypeTable& TypeTable::BuiltIn() {
    static const TypeTable table = [] {
        TypeTable t;
        std::vector<std::string> errors;  // caught by the tests, not at run time
        t.Parse(BuiltInTypesText, errors);
        return t;
    }();
    return table;
}

}  // namespace velmir::net::csl
