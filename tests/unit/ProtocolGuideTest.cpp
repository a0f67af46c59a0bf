// Keeps the client authors' guide, docs/protocol.md, in step with the wire
// format in link/Messages.h: every "| Byte | Width | Type | Field |" table in
// the guide must list exactly the fields of its message, at the same offsets,
// widths and types, and each message's heading must give its true length.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <utility>
#include <sstream>
#include <string>
#include <vector>

#include "link/Messages.h"
#include "link/Variables.h"

// Where this build put it (generated beside the objects).
extern const char* const VelmirSourceDir;

using namespace velmir;

namespace {

const char* KindName(FieldKind kind) {
    static const char* const names[] = {"u8",  "u16", "i16", "u32",  "i32",
                                        "u64", "f32", "f64", "bytes"};
    return names[static_cast<int>(kind)];
}

std::string Describe(int offset, int width, const std::string& type) {
    return "byte " + std::to_string(offset) + ", width " + std::to_string(width) + ", " + type;
}

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t`");
    const auto last = text.find_last_not_of(" \t`");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

std::vector<std::string> Cells(const std::string& row) {
    std::vector<std::string> cells;
    std::istringstream in(row.substr(1));  // past the leading '|'
    for (std::string cell; std::getline(in, cell, '|');) cells.push_back(Trim(cell));
    return cells;
}

struct Layout {
    std::string Name;
    int Type;  // -1 for the header
    std::size_t Length;
    const FieldInfo* Fields;
    std::size_t FieldCount;
};

struct GuideMessage {
    std::vector<int> Lengths, Types;  // from "(N bytes)" and "Type N" in its headings
    int Tables = 0;
    std::vector<std::pair<std::string, std::string>> Rows;  // field, Describe()
};

// One line per disagreement between the guide's text and the code, naming
// the message and, where there is one, the field.
std::vector<std::string> CompareGuide(const std::string& guide) {
    std::vector<Layout> layouts{{"MessageHeader", -1, HeaderLayout::Length, HeaderLayout::Fields,
                                 std::size(HeaderLayout::Fields)}};
    for (const MessageDescription& m : Catalogue)
        layouts.push_back({m.Name, m.Type, m.Length, m.Fields, m.FieldCount});
    std::map<std::string, GuideMessage> messages;
    std::vector<std::string> problems;

    static const std::regex backticked("`([^`]+)`"), length("\\((\\d+) bytes\\)"),
        type("Type (\\d+)");
    std::string current;  // the message the latest heading names, if any
    bool inTable = false;
    std::istringstream in(guide);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind('#', 0) == 0) {
            inTable = false;
            current.clear();
            for (std::sregex_iterator it(line.begin(), line.end(), backticked), end;
                 it != end && current.empty(); ++it)
                for (const Layout& layout : layouts)
                    if ((*it)[1] == layout.Name) current = layout.Name;
            if (current.empty()) continue;
            GuideMessage& message = messages[current];
            std::smatch match;
            if (std::regex_search(line, match, length))
                message.Lengths.push_back(std::stoi(match[1]));
            if (std::regex_search(line, match, type)) message.Types.push_back(std::stoi(match[1]));
        } else if (line.rfind("| Byte | Width | Type | Field |", 0) == 0) {
            inTable = !current.empty();
            if (current.empty())
                problems.push_back("a layout table under a heading that names no message: " + line);
            else
                ++messages[current].Tables;
        } else if (inTable && line.rfind('|', 0) != 0) {
            inTable = false;
        } else if (inTable) {
            const std::vector<std::string> cells = Cells(line);
            if (cells.size() < 4 || cells[0].rfind("---", 0) == 0) continue;
            try {
                messages[current].Rows.emplace_back(
                    cells[3], Describe(std::stoi(cells[0]), std::stoi(cells[1]), cells[2]));
            } catch (const std::exception&) {
                problems.push_back(current + ": unreadable layout row: " + line);
            }
        }
    }

    for (const Layout& layout : layouts) {
        const auto found = messages.find(layout.Name);
        if (found == messages.end()) {
            problems.push_back(layout.Name + ": no heading names it in the guide");
            continue;
        }
        const GuideMessage& guide = found->second;
        if (guide.Lengths.empty())
            problems.push_back(layout.Name + ": no heading gives its \"(N bytes)\"");
        for (int n : guide.Lengths)
            if (n != static_cast<int>(layout.Length))
                problems.push_back(layout.Name + ": heading says " + std::to_string(n) +
                                   " bytes, code has " + std::to_string(layout.Length));
        for (int t : guide.Types)
            if (t != layout.Type)
                problems.push_back(layout.Name + ": heading says type " + std::to_string(t) +
                                   ", code has " + std::to_string(layout.Type));
        if (guide.Tables > 1 || (guide.Tables == 0 && layout.FieldCount > 0))
            problems.push_back(layout.Name + ": " + std::to_string(guide.Tables) +
                               " layout tables, not one");

        std::map<std::string, std::string> rows;
        for (const auto& [field, text] : guide.Rows)
            if (!rows.emplace(field, text).second)
                problems.push_back(layout.Name + "." + field + ": listed twice in the guide");
        for (std::size_t i = 0; i < layout.FieldCount; ++i) {
            const FieldInfo& field = layout.Fields[i];
            const std::string name = layout.Name + "." + field.Name;
            const std::string code = Describe(field.Offset, field.Width, KindName(field.Kind));
            const auto row = rows.find(field.Name);
            if (row == rows.end()) {
                problems.push_back(name + ": missing from the guide");
                continue;
            }
            if (row->second != code)
                problems.push_back(name + ": guide has " + row->second + "; code has " + code);
            rows.erase(row);
        }
        for (const auto& extra : rows)
            problems.push_back(layout.Name + "." + extra.first +
                               ": in the guide but not in the code");
    }
    return problems;
}

std::string ReadGuide() {
    std::ifstream file(std::string(VelmirSourceDir) + "/docs/protocol.md");
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The guide with the first line that starts with `prefix` replaced.
std::string WithLine(std::string guide, const std::string& prefix, const std::string& replacement) {
    const auto start = guide.find("\n" + prefix);
    if (start == std::string::npos) {
        ADD_FAILURE() << "the guide has no line starting with " << prefix;
        return guide;
    }
    const auto end = guide.find('\n', start + 1);
    return guide.replace(start + 1, end - start - 1, replacement);
}

bool Reports(const std::vector<std::string>& problems, const std::string& subject,
             const std::string& what) {
    for (const std::string& p : problems)
        if (p.rfind(subject, 0) == 0 && p.find(what) != std::string::npos) return true;
    return false;
}

}  // namespace

TEST(ProtocolGuide, EveryLayoutTableMatchesTheCode) {
    const std::string guide = ReadGuide();
    ASSERT_FALSE(guide.empty()) << "docs/protocol.md not found next to the sources";
    for (const std::string& problem : CompareGuide(guide)) ADD_FAILURE() << problem;
}

TEST(ProtocolGuide, ComparisonCatchesEveryKindOfDrift) {
    const std::string guide = ReadGuide();
    ASSERT_FALSE(guide.empty());
    const std::string bank = "| 61 | 4 | f32 | Bank |";
    const struct {
        std::string line, replacement, subject, what;
    } drifts[] = {
        {bank, "", "PositionMessage.Bank", "missing"},
        {bank, bank + " |\n| 120 | 1 | u8 | Spare | |", "PositionMessage.Spare", "not in the code"},
        {bank, "| 61 | 4 | i32 | Bank |", "PositionMessage.Bank", "i32"},
        {"| 21 | 2 | u16 | DataVersion |", "| 22 | 2 | u16 | DataVersion |",
         "MessageHeader.DataVersion", "byte 22"},
        {"### Type 13:", "### Type 13: `RemoveAircraftMessage` (26 bytes)", "RemoveAircraftMessage",
         "26 bytes"},
        {"### Type 1:", "### Type 1: DisconnectMessage", "DisconnectMessage", "no heading"}};
    for (const auto& d : drifts)
        EXPECT_TRUE(
            Reports(CompareGuide(WithLine(guide, d.line, d.replacement)), d.subject, d.what))
            << d.subject << " " << d.what;
}

// The guide's table of the user aircraft's cockpit variables lists exactly
// the ids the plugin acts on (link/Variables.h), no more and no fewer.
TEST(ProtocolGuide, VariableTableListsTheNamedIds) {
    const std::string guide = ReadGuide();
    const std::size_t start = guide.find("Variables of the user aircraft");
    ASSERT_NE(start, std::string::npos);
    std::set<int> documented;
    std::istringstream in(guide.substr(start));
    bool inTable = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind('|', 0) != 0) {
            if (inTable) break;
            continue;
        }
        inTable = true;
        const std::vector<std::string> cells = Cells(line);
        if (cells.empty() || cells[0] == "Id" || cells[0].rfind("---", 0) == 0) continue;
        std::istringstream ids(cells[0]);
        for (std::string id; std::getline(ids, id, ',');) documented.insert(std::stoi(id));
    }
    std::set<int> named;
    for (const VariableName& variable : VariableNames) named.insert(variable.Id);
    EXPECT_EQ(documented, named);
}
