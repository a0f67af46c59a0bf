// Messages in a person's units, one line each, as text or as JSON.
#pragma once

#include <string>
#include <vector>

#include "client/Client.h"

namespace velmir::client {

struct DescribedField {
    enum class Kind { Number, Text, Boolean };
    std::string Key;  // carries the unit, e.g. "alt_ft"
    Kind Type = Kind::Number;
    double Number = 0;
    int Decimals = 0;
    std::string Text;
    bool Flag = false;
};

struct Description {
    std::string Kind;  // "position", "state", ...
    std::vector<DescribedField> Fields;
};

Description Describe(const Message& message);

// `at` is the receive time in seconds since the tool started.
// Text: "12.345 position idx=0 lat=47.000000 ...", strings quoted with
// non-printable bytes escaped. JSON: one object per line, always valid JSON
// (non-finite numbers become null, each byte of wire text one character).
std::string FormatText(const Description& description, double at);
// The text form without the time: "position idx=0 ...".
std::string FormatFields(const Description& description);
std::string FormatJson(const Description& description, double at);

// For text that came off the wire.
std::string JsonString(const std::string& text);
std::string QuotedText(const std::string& text);

}  // namespace velmir::client
