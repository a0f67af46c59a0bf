// The model map (--models) and the slot folders written from it.
//
// One rule per line, '#' starts a comment: a pattern, white space, then a
// local folder that holds object_list, cog and objects/ (relative paths are
// taken from the map file's folder). The first rule whose pattern occurs in
// a pilot's model path (ignoring case) gives that pilot's objects; without a
// match the slot gets the built-in mesh.
#pragma once

#include <istream>
#include <string>
#include <vector>

namespace velmir::net {

struct ModelRule {
    std::string Pattern;  // lower case
    std::string Folder;
};

class ModelMap {
  public:
    // Errors read "line N: ...".
    bool Parse(std::istream& in, const std::string& baseFolder, std::string& error);
    bool Load(const std::string& path, std::string& error);
    // The folder for this model path; empty for the built-in mesh.
    std::string FolderFor(const std::string& modelPath) const;
    const std::vector<ModelRule>& Rules() const { return rules_; }

  private:
    std::vector<ModelRule> rules_;
};

// Fills <root>/Resources/plugins/Velmir/injectNNN from `source` (a folder
// of the map), or with the built-in mesh when `source` is empty. Files are
// written under a temporary name and renamed.
bool WriteSlotFrom(const std::string& root, int slot, const std::string& source,
                   std::string& error);

}  // namespace velmir::net
