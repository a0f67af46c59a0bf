// The CPU time in a Linux /proc/PID/stat line: user plus system time, in
// clock ticks. Kept apart from Platform.cpp so that it can be checked with
// literal lines on any system.
#pragma once

#include <cstdint>
#include <string_view>

namespace velmir::platform {

// False when the text is not such a line. The command name (the second
// field, in parentheses) may itself hold spaces and parentheses: fields are
// counted from the last ')'.
inline bool CpuTicksFromStat(std::string_view line, std::uint64_t& ticks) {
    const std::size_t close = line.rfind(')');
    if (close == std::string_view::npos) return false;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    std::string_view rest = line.substr(close + 1);
    std::uint64_t values[2] = {};
    int field = 2;
    std::size_t at = 0;
    while (field < 15) {
        while (at < rest.size() && rest[at] == ' ') ++at;
        if (at == rest.size()) return false;
        ++field;
        const std::size_t from = at;
        while (at < rest.size() && rest[at] != ' ' && rest[at] != '\n') ++at;
        if (field < 14) continue;
        const std::string_view word = rest.substr(from, at - from);
        if (word.empty()) return false;
        std::uint64_t v = 0;
        for (char c : word) {
            if (c < '0' || c > '9' || v > (UINT64_MAX - 9) / 10) return false;
            v = v * 10 + static_cast<std::uint64_t>(c - '0');
        }
        values[field - 14] = v;
    }
    ticks = values[0] + values[1];
    return true;
}

}  // namespace velmir::platform
