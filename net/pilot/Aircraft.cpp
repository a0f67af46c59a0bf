#include "net/pilot/Aircraft.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace velmir::net {

namespace {

bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

}  // namespace

bool IsValidIcaoType(std::string_view type) {
    if (type.size() < 2 || type.size() > MaxIcaoTypeLength || !IsUpper(type[0])) return false;
    for (char c : type)
        if (!IsUpper(c) && !IsDigit(c)) return false;
    return true;
}

bool IsValidAirline(std::string_view airline) {
    if (airline.size() != MaxAirlineLength) return false;
    for (char c : airline)
        if (!IsUpper(c)) return false;
    return true;
}

bool IsValidLivery(std::string_view livery) {
    if (livery.empty() || livery.size() > MaxLiveryLength) return false;
    if (livery.front() == ' ' || livery.back() == ' ') return false;
    for (char c : livery)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

std::string AirlineFromCallsign(std::string_view callsign) {
    // EZY45TF flies for EZY too: flight numbers may end in letters.
    if (callsign.size() < 4 || !IsDigit(callsign[3])) return "";
    std::string airline(callsign.substr(0, 3));
    for (char& c : airline) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (!IsUpper(c)) return "";
    }
    return airline;
}

std::string ReadAcfIcaoType(const std::string& path, std::string& error, std::size_t maxBytes) {
    constexpr std::size_t MaxLine = 4096;
    constexpr std::string_view Property = "P acf/_ICAO";
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         &std::fclose);
    if (!file) {
        error = "cannot read '" + path + "': " + std::strerror(errno);
        return "";
    }
    std::string line;
    std::size_t read = 0;
    bool longLine = false, found = false;
    std::string value;
    // True when the line is the property: `value` is then its word.
    auto property = [&]() {
        if (longLine || line.compare(0, Property.size(), Property) != 0 ||
            line.size() <= Property.size() ||
            (line[Property.size()] != ' ' && line[Property.size()] != '\t'))
            return false;
        value.assign(Trim(std::string_view(line).substr(Property.size())));
        for (char& v : value)
            if (v >= 'a' && v <= 'z') v = static_cast<char>(v - 'a' + 'A');
        return true;
    };
    char buffer[8192];
    // Line by line without holding more than one line: .acf files run to
    // tens of megabytes and the property sits wherever its name sorts.
    while (!found && read < maxBytes) {
        const std::size_t n =
            std::fread(buffer, 1, std::min(sizeof buffer, maxBytes - read), file.get());
        if (n == 0) break;
        read += n;
        for (std::size_t i = 0; i < n && !found; ++i) {
            const char c = buffer[i];
            if (c != '\n') {
                if (line.size() < MaxLine)
                    line += c;
                else
                    longLine = true;
                continue;
            }
            found = property();
            line.clear();
            longLine = false;
        }
    }
    if (!found && read < maxBytes) found = property();  // the last line, without a newline
    if (!found) return "";
    if (IsValidIcaoType(value)) return value;
    error = "'" + path + "': acf/_ICAO '" + value.substr(0, 16) + "' is not a type designator";
    return "";
}

}  // namespace velmir::net
