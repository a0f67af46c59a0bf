// Reading velmir-sim's run report back in checks: nlohmann-json parses, and
// View walks the result so that missing members and wrong kinds read as
// null (a check then fails on its value, not on an exception midway).
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace velmir::json {

// Throws nlohmann::json::parse_error (a std::exception) for text that is not JSON.
inline nlohmann::json Parse(const std::string& text) { return nlohmann::json::parse(text); }

class View {
  public:
    View() = default;
    View(const nlohmann::json& j) : j_(&j) {}  // NOLINT: a view of any value

    bool IsNull() const { return !j_ || j_->is_null(); }
    View operator[](const std::string& key) const {
        if (!j_ || !j_->is_object()) return {};
        const auto found = j_->find(key);
        return found == j_->end() ? View() : View(*found);
    }
    // The elements of an array; none for anything else.
    std::vector<View> Items() const {
        std::vector<View> items;
        if (j_ && j_->is_array())
            for (const auto& item : *j_) items.emplace_back(item);
        return items;
    }
    double Number(double fallback = 0) const {
        return j_ && j_->is_number() ? j_->get<double>() : fallback;
    }
    bool Bool() const { return j_ && j_->is_boolean() && j_->get<bool>(); }
    std::string Text() const { return j_ && j_->is_string() ? j_->get<std::string>() : ""; }

  private:
    const nlohmann::json* j_ = nullptr;
};

}  // namespace velmir::json
