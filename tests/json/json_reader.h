// A small JSON reader for the tests: parses the trace file back the way a Trace Event Format
// viewer would, independently of the writer's own routines. Numbers keep their source text so
// that "1500.250" can be compared exactly.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace vespra::testing {

struct JsonValue {
    enum class Type { String, Number, Object, Array, Literal } type = Type::Literal;
    std::string text;                          // String: decoded bytes; Number/Literal: source text
    std::map<std::string, JsonValue> members;  // Object
    std::vector<std::string> keys;             // Object: keys in source order
    std::vector<JsonValue> items;              // Array

    const JsonValue& at(const std::string& key) const {
        auto it = members.find(key);
        if (it == members.end()) throw std::runtime_error("missing key " + key);
        return it->second;
    }
    bool has(const std::string& key) const { return members.count(key) != 0; }
    uint64_t as_u64() const {
        if (type != Type::Number || text.find_first_not_of("0123456789") != std::string::npos)
            throw std::runtime_error("not an unsigned integer: " + text);
        return std::stoull(text);
    }
};

class JsonReader {
  public:
    explicit JsonReader(const std::string& s) : s_(s) {}

    // The trace file: "[", then records each followed by ",", then the end of the file (the
    // array is left open on purpose).
    static std::vector<JsonValue> read_trace(const std::string& s) {
        JsonReader r(s);
        r.expect('[');
        std::vector<JsonValue> records;
        while (r.pos_ < s.size()) {
            records.push_back(r.value());
            if (records.back().type != JsonValue::Type::Object) r.fail("record is not an object");
            r.expect(',');
        }
        return records;
    }

    JsonValue value() {
        if (pos_ >= s_.size()) fail("unexpected end");
        char c = s_[pos_];
        if (c == '{') return object();
        if (c == '[') return array();
        if (c == '"') {
            JsonValue v;
            v.type = JsonValue::Type::String;
            v.text = string();
            return v;
        }
        if (c == '-' || (c >= '0' && c <= '9')) return number();
        for (const char* lit : {"true", "false", "null"}) {
            if (s_.compare(pos_, std::string(lit).size(), lit) == 0) {
                pos_ += std::string(lit).size();
                JsonValue v;
                v.text = lit;
                return v;
            }
        }
        fail("unexpected character");
    }

  private:
    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error(what + " at offset " + std::to_string(pos_));
    }
    void expect(char c) {
        if (pos_ >= s_.size() || s_[pos_] != c) fail(std::string("expected ") + c);
        ++pos_;
    }
    JsonValue object() {
        JsonValue v;
        v.type = JsonValue::Type::Object;
        expect('{');
        if (s_[pos_] == '}') {
            ++pos_;
            return v;
        }
        for (;;) {
            std::string key = string();
            expect(':');
            if (v.members.count(key)) fail("duplicate key " + key);
            v.keys.push_back(key);
            v.members[key] = value();
            if (pos_ < s_.size() && s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            expect('}');
            return v;
        }
    }
    JsonValue array() {
        JsonValue v;
        v.type = JsonValue::Type::Array;
        expect('[');
        if (s_[pos_] == ']') {
            ++pos_;
            return v;
        }
        for (;;) {
            v.items.push_back(value());
            if (pos_ < s_.size() && s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            expect(']');
            return v;
        }
    }
    JsonValue number() {
        size_t start = pos_;
        if (s_[pos_] == '-') ++pos_;
        auto digits = [&] {
            size_t d = pos_;
            while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
            if (pos_ == d) fail("expected digits");
        };
        if (s_[pos_] == '0' && pos_ + 1 < s_.size() && s_[pos_ + 1] >= '0' && s_[pos_ + 1] <= '9')
            fail("leading zero");
        digits();
        if (pos_ < s_.size() && s_[pos_] == '.') {
            ++pos_;
            digits();
        }
        if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) fail("exponent");
        JsonValue v;
        v.type = JsonValue::Type::Number;
        v.text = s_.substr(start, pos_ - start);
        return v;
    }
    std::string string() {
        expect('"');
        std::string out;
        for (;;) {
            if (pos_ >= s_.size()) fail("unterminated string");
            unsigned char c = static_cast<unsigned char>(s_[pos_++]);
            if (c == '"') return out;
            if (c < 0x20) fail("raw control byte in string");
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            char e = s_[pos_++];
            switch (e) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case '/':
                    out += '/';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    unsigned cp = std::stoul(s_.substr(pos_, 4), nullptr, 16);
                    pos_ += 4;
                    if (cp >= 0x80) fail("only \\u00XX control escapes are expected");
                    out += static_cast<char>(cp);
                    break;
                }
                default:
                    fail("bad escape");
            }
        }
    }

    const std::string& s_;
    size_t pos_ = 0;
};

}  // namespace vespra::testing
