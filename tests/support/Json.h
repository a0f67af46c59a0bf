// A small strict JSON reader for the tests: enough to read velmir-sim's run
// report back and to catch a report that is not valid JSON.
#pragma once

#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmir::json {

struct Value {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Value> items;
    std::map<std::string, Value> members;

    bool IsNull() const { return kind == Kind::Null; }
    // Missing members and wrong kinds read as null, so chains never throw.
    const Value& operator[](const std::string& key) const {
        static const Value null;
        if (kind != Kind::Object) return null;
        const auto found = members.find(key);
        return found == members.end() ? null : found->second;
    }
    double Number(double fallback = 0) const { return kind == Kind::Number ? number : fallback; }
    bool Bool() const { return kind == Kind::Bool && boolean; }
    const std::string& Text() const {
        static const std::string empty;
        return kind == Kind::String ? text : empty;
    }
};

class Parser {
  public:
    explicit Parser(const std::string& text) : s_(text) {}

    // Throws std::runtime_error naming the byte offset of the first fault.
    Value Parse() {
        Value v = ParseValue(0);
        SkipSpace();
        if (i_ != s_.size()) Fail("text after the value");
        return v;
    }

  private:
    const std::string& s_;
    std::size_t i_ = 0;

    [[noreturn]] void Fail(const std::string& what) const {
        throw std::runtime_error("JSON: " + what + " at byte " + std::to_string(i_));
    }
    void SkipSpace() {
        while (i_ < s_.size() &&
               (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t'))
            ++i_;
    }
    bool Take(char c) {
        SkipSpace();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    void Expect(char c) {
        if (!Take(c)) Fail(std::string("expected '") + c + "'");
    }
    bool Word(const char* word) {
        const std::string w(word);
        if (s_.compare(i_, w.size(), w) != 0) return false;
        i_ += w.size();
        return true;
    }

    Value ParseValue(int depth) {
        if (depth > 64) Fail("nesting too deep");
        SkipSpace();
        if (i_ >= s_.size()) Fail("unexpected end");
        Value v;
        const char c = s_[i_];
        if (c == '{') {
            ++i_;
            v.kind = Value::Kind::Object;
            if (Take('}')) return v;
            do {
                SkipSpace();
                if (i_ >= s_.size() || s_[i_] != '"') Fail("expected a key");
                std::string key = ParseString();
                Expect(':');
                v.members[key] = ParseValue(depth + 1);
            } while (Take(','));
            Expect('}');
        } else if (c == '[') {
            ++i_;
            v.kind = Value::Kind::Array;
            if (Take(']')) return v;
            do v.items.push_back(ParseValue(depth + 1));
            while (Take(','));
            Expect(']');
        } else if (c == '"') {
            v.kind = Value::Kind::String;
            v.text = ParseString();
        } else if (Word("true")) {
            v.kind = Value::Kind::Bool;
            v.boolean = true;
        } else if (Word("false")) {
            v.kind = Value::Kind::Bool;
        } else if (Word("null")) {
        } else {
            v.kind = Value::Kind::Number;
            v.number = ParseNumber();
        }
        return v;
    }

    double ParseNumber() {
        const std::size_t start = i_;
        auto digits = [&] {
            const std::size_t from = i_;
            while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
            return i_ > from;
        };
        if (i_ < s_.size() && s_[i_] == '-') ++i_;
        if (i_ < s_.size() && s_[i_] == '0') {
            ++i_;
        } else if (!digits()) {
            Fail("expected a value");
        }
        if (i_ < s_.size() && s_[i_] == '.') {
            ++i_;
            if (!digits()) Fail("expected digits after '.'");
        }
        if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
            ++i_;
            if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
            if (!digits()) Fail("expected an exponent");
        }
        return std::strtod(s_.substr(start, i_ - start).c_str(), nullptr);
    }

    unsigned Hex4() {
        if (i_ + 4 > s_.size()) Fail("short \\u escape");
        unsigned v = 0;
        for (int k = 0; k < 4; ++k) {
            const char h = s_[i_++];
            v <<= 4;
            if (h >= '0' && h <= '9')
                v |= unsigned(h - '0');
            else if (h >= 'a' && h <= 'f')
                v |= unsigned(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F')
                v |= unsigned(h - 'A' + 10);
            else
                Fail("bad \\u escape");
        }
        return v;
    }

    static void AppendUtf8(std::string& out, unsigned cp) {
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | (cp >> 6));
            out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += char(0xE0 | (cp >> 12));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xF0 | (cp >> 18));
            out += char(0x80 | ((cp >> 12) & 0x3F));
            out += char(0x80 | ((cp >> 6) & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    }

    std::string ParseString() {
        ++i_;  // opening quote
        std::string out;
        for (;;) {
            if (i_ >= s_.size()) Fail("unterminated string");
            const unsigned char c = static_cast<unsigned char>(s_[i_++]);
            if (c == '"') return out;
            if (c < 0x20) Fail("raw control character in a string");
            if (c != '\\') {
                out += char(c);
                continue;
            }
            if (i_ >= s_.size()) Fail("unterminated escape");
            const char e = s_[i_++];
            switch (e) {
            case '"':
            case '\\':
            case '/': out += e; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                unsigned cp = Hex4();
                if (cp >= 0xD800 && cp < 0xDC00 && s_.compare(i_, 2, "\\u") == 0) {
                    i_ += 2;
                    const unsigned low = Hex4();
                    if (low < 0xDC00 || low > 0xDFFF) Fail("bad surrogate pair");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
                AppendUtf8(out, cp);
                break;
            }
            default: Fail("unknown escape");
            }
        }
    }
};

inline Value Parse(const std::string& text) { return Parser(text).Parse(); }

}  // namespace velmir::json
