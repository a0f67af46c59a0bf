#include "net/pilot/Models.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "client/Platform.h"
#include "client/Scenario.h"

namespace velmir::net {

namespace fs = std::filesystem;

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool SameBytes(const fs::path& a, const fs::path& b) {
    std::error_code code;
    const auto size = fs::file_size(a, code);
    if (code || fs::file_size(b, code) != size || code) return false;
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    char bx[4096], by[4096];
    while (x && y) {
        x.read(bx, sizeof bx);
        y.read(by, sizeof by);
        if (x.gcount() != y.gcount() || !std::equal(bx, bx + x.gcount(), by)) return false;
    }
    return x.eof() && y.eof();
}

// A file already holding the same bytes is left alone: a pilot switching
// between models whose folders are alike costs the plugin's disk nothing.
bool CopyInto(const fs::path& from, const fs::path& to, std::string& error) {
    if (SameBytes(from, to)) return true;
    std::error_code code;
    fs::path temporary = to;
    temporary += ".tmp";
    fs::copy_file(from, temporary, fs::copy_options::overwrite_existing, code);
    if (!code) fs::rename(temporary, to, code);
    if (code)
        error = "cannot copy '" + platform::PathToUtf8(from) + "' to '" + platform::PathToUtf8(to) +
                "': " + code.message();
    return !code;
}

}  // namespace

bool ModelMap::Parse(std::istream& in, const std::string& baseFolder, std::string& error) {
    rules_.clear();
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string text = Trim(line.substr(0, line.find('#')));
        if (text.empty()) continue;
        const auto space = text.find_first_of(" \t");
        if (space == std::string::npos) {
            error = "line " + std::to_string(number) + ": expected PATTERN FOLDER";
            return false;
        }
        ModelRule rule{Lower(text.substr(0, space)), Trim(text.substr(space))};
        fs::path folder = platform::PathFromUtf8(rule.Folder);
        if (folder.is_relative() && !baseFolder.empty())
            folder = platform::PathFromUtf8(baseFolder) / folder;
        std::error_code code;
        if (!fs::is_regular_file(folder / "object_list", code)) {
            error = "line " + std::to_string(number) + ": no object_list in '" +
                    platform::PathToUtf8(folder) + "'";
            return false;
        }
        rule.Folder = platform::PathToUtf8(folder);
        rules_.push_back(std::move(rule));
    }
    return true;
}

bool ModelMap::Load(const std::string& path, std::string& error) {
    std::ifstream in(platform::PathFromUtf8(path));
    if (!in) {
        error = "cannot read '" + path + "'";
        return false;
    }
    if (Parse(in, platform::PathToUtf8(platform::PathFromUtf8(path).parent_path()), error))
        return true;
    error = path + ": " + error;
    return false;
}

std::string ModelMap::FolderFor(const std::string& modelPath) const {
    const std::string lower = Lower(modelPath);
    for (const ModelRule& rule : rules_)
        if (lower.find(rule.Pattern) != std::string::npos) return rule.Folder;
    return "";
}

bool WriteSlotFrom(const std::string& root, int slot, const std::string& source,
                   std::string& error) {
    if (source.empty()) return client::WriteSlotFolder(root, slot, error);
    const fs::path folder = platform::PathFromUtf8(client::SlotFolder(root, slot));
    std::error_code code;
    fs::create_directories(folder / "objects", code);
    if (code) {
        error =
            "cannot create '" + platform::PathToUtf8(folder / "objects") + "': " + code.message();
        return false;
    }
    const fs::path from = platform::PathFromUtf8(source);
    if (fs::is_directory(from / "objects", code)) {
        for (const auto& entry : fs::directory_iterator(from / "objects", code))
            if (entry.is_regular_file() &&
                !CopyInto(entry.path(), folder / "objects" / entry.path().filename(), error))
                return false;
    }
    // The list last: when it appears, the objects it names are in place.
    if (fs::is_regular_file(from / "cog", code) && !CopyInto(from / "cog", folder / "cog", error))
        return false;
    return CopyInto(from / "object_list", folder / "object_list", error);
}

}  // namespace velmir::net
