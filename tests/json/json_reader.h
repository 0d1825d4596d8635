// A small JSON reader for the tests, independent of the writer's routines: it parses the trace
// file back the way a viewer would. Numbers keep their source text, so "1500.250" compares
// exactly; only what trace records contain (objects, strings, numbers) is accepted.
#pragma once

#include <cctype>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace vespra::testing {

struct JsonValue {
    bool is_object = false;
    std::string text;  // a string's decoded bytes, or a number's source text
    std::map<std::string, JsonValue> members;

    const JsonValue& at(const std::string& key) const {
        auto it = members.find(key);
        if (it == members.end()) throw std::runtime_error("missing key " + key);
        return it->second;
    }
    uint64_t as_u64() const {
        if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
            (text.size() > 1 && text[0] == '0'))
            throw std::runtime_error("not an unsigned integer: " + text);
        return std::stoull(text);
    }
};

class JsonReader {
  public:
    // "[", then objects each followed by ",", up to the end of the file (the array stays open).
    static std::vector<JsonValue> read_trace(const std::string& s) {
        JsonReader r(s);
        r.expect('[');
        std::vector<JsonValue> records;
        while (r.pos_ < s.size()) {
            records.push_back(r.value());
            if (!records.back().is_object) r.fail("record is not an object");
            r.expect(',');
        }
        return records;
    }

  private:
    explicit JsonReader(const std::string& s) : s_(s) {}

    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error(what + " at offset " + std::to_string(pos_));
    }
    char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
    void expect(char c) {
        if (peek() != c) fail(std::string("expected ") + c);
        ++pos_;
    }

    JsonValue value() {
        JsonValue v;
        if (peek() == '{') {
            v.is_object = true;
            ++pos_;
            while (peek() != '}') {
                std::string key = string();
                expect(':');
                if (!v.members.emplace(key, value()).second) fail("duplicate key " + key);
                if (peek() != ',') break;
                ++pos_;
                if (peek() != '"') fail("expected a key");
            }
            expect('}');
        } else if (peek() == '"') {
            v.text = string();
        } else {
            size_t start = pos_;
            while (std::isdigit(static_cast<unsigned char>(peek())) || peek() == '.') ++pos_;
            if (pos_ == start) fail("unexpected character");
            v.text = s_.substr(start, pos_ - start);
        }
        return v;
    }

    std::string string() {
        expect('"');
        std::string out;
        for (char c; (c = s_.at(pos_++)) != '"';) {
            if (static_cast<unsigned char>(c) < 0x20) fail("raw control byte in a string");
            if (c != '\\') {
                out += c;
                continue;
            }
            static const std::map<char, char> SIMPLE = {{'"', '"'},  {'\\', '\\'}, {'/', '/'},
                                                        {'b', '\b'}, {'f', '\f'},  {'n', '\n'},
                                                        {'r', '\r'}, {'t', '\t'}};
            char e = s_.at(pos_++);
            if (e == 'u') {
                unsigned cp = std::stoul(s_.substr(pos_, 4), nullptr, 16);
                if (cp >= 0x80) fail("only ASCII \\u escapes are expected");
                out += static_cast<char>(cp);
                pos_ += 4;
            } else if (SIMPLE.count(e)) {
                out += SIMPLE.at(e);
            } else {
                fail("bad escape");
            }
        }
        return out;
    }

    const std::string& s_;
    size_t pos_ = 0;
};

}  // namespace vespra::testing
