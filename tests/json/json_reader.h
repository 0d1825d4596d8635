// A small JSON reader for the tests, independent of the writer's routines, that parses a trace
// back the way a viewer would.
#pragma once

#include <cctype>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace vespra::testing {

// A trace record as a viewer reads it, nested keys flattened: "name", "args.line", ... map to a
// string's decoded bytes or a number's source text (so "1500.250" compares exactly).
using Record = std::map<std::string, std::string>;

inline uint64_t as_u64(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        (text.size() > 1 && text[0] == '0'))
        throw std::runtime_error("not an unsigned integer: " + text);
    return std::stoull(text);
}

// Reads "[" and then objects, each followed by ",", to the end (the array stays open, as the
// file does while it may still grow). Throws on anything else.
class JsonReader {
  public:
    static std::vector<Record> read_trace(const std::string& s) {
        JsonReader r{s};
        r.expect('[');
        std::vector<Record> records;
        while (r.pos_ < s.size()) {
            r.object("", records.emplace_back());
            r.expect(',');
        }
        return records;
    }

  private:
    explicit JsonReader(const std::string& s) : s_(s) {}

    const std::string& s_;
    size_t pos_ = 0;

    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error(what + " at offset " + std::to_string(pos_));
    }
    char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
    char next() {
        if (pos_ >= s_.size()) fail("unexpected end");
        return s_[pos_++];
    }
    void expect(char c) {
        if (next() != c) fail(std::string("expected ") + c);
    }

    void object(const std::string& prefix, Record& out) {
        expect('{');
        for (bool first = true; peek() != '}'; first = false) {
            if (!first) expect(',');
            std::string key = prefix + string();
            expect(':');
            if (peek() == '{') {
                object(key + ".", out);
                continue;
            }
            size_t start = pos_;
            while (std::isdigit(static_cast<unsigned char>(peek())) || peek() == '.') ++pos_;
            std::string value = peek() == '"' ? string() : s_.substr(start, pos_ - start);
            if (value.empty() && pos_ == start) fail("unexpected character");
            if (!out.emplace(key, value).second) fail("duplicate key " + key);
        }
        ++pos_;
    }

    std::string string() {
        static const char ESCAPED[] = "\"\\/bfnrt", DECODED[] = "\"\\/\b\f\n\r\t";
        expect('"');
        std::string out;
        for (char c; (c = next()) != '"';) {
            if (static_cast<unsigned char>(c) < 0x20) fail("raw control byte in a string");
            if (c != '\\') {
                out += c;
            } else if ((c = next()) == 'u') {
                unsigned cp = std::stoul(s_.substr(pos_, 4), nullptr, 16);
                if (cp >= 0x80) fail("only ASCII \\u escapes are expected");
                out += static_cast<char>(cp);
                pos_ += 4;
            } else if (const char* e = std::strchr(ESCAPED, c); e && c != '\0') {
                out += DECODED[e - ESCAPED];
            } else {
                fail("bad escape");
            }
        }
        return out;
    }
};

}  // namespace vespra::testing
