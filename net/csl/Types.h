// What we know of aircraft types besides their designator: Doc 8643's
// description (class, engine count and kind), wake category and family.
// The table is net/csl/types.txt, built into the program.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

namespace velmir::net::csl {

struct TypeInfo {
    char Class = 'L';  // L S A H G T
    int Engines = 1;
    char Engine = 'P';   // P T J E
    char Wake = 'L';     // L M H J
    std::string Family;  // empty = none
    // Types of one class key stand in for each other when nothing closer fits.
    std::string ClassKey() const {
        return std::string(1, Class) + std::to_string(Engines) + Engine + '/' + Wake;
    }
};

class TypeTable {
  public:
    // Errors read "line N: ..."; a table with errors is still usable.
    void Parse(const std::string& text, std::vector<std::string>& errors);
    const TypeInfo* Find(const std::string& type) const;  // upper case
    std::size_t Size() const { return types_.size(); }
    // types.txt as built in; parsed once.
    static const TypeTable& BuiltIn();

  private:
    std::unordered_map<std::string, TypeInfo> types_;
};

}  // namespace velmir::net::csl
