// Fixtures of the protobuf writer's tests: lookups with fixed contents, a temporary trace file,
// and byte strings written as hex.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/event.h"
#include "core/sink.h"

namespace vespra::pbtest {

struct FakeCodes : CodeLookup {
    std::map<uint32_t, std::string> names;
    std::optional<CodeInfo> code(uint32_t id) const override {
        auto it = names.find(id);
        if (it == names.end()) return std::nullopt;
        return CodeInfo{it->second, "file.py", 1};
    }
};

struct FakeNames : ThreadNames {
    std::map<uint32_t, std::string> names;
    std::optional<std::string> name(uint32_t tid) const override {
        auto it = names.find(tid);
        return it == names.end() ? std::nullopt : std::optional(it->second);
    }
    std::vector<std::pair<uint32_t, std::string>> snapshot() const override {
        return {names.begin(), names.end()};
    }
};

inline Event ev(uint64_t ts, uint32_t tid, uint8_t kind, uint32_t code) {
    return Event{ts, tid, pack_word(kind, code)};
}

struct TempFile {
    std::string path = [] {
        char tmpl[] = "/tmp/vespra-proto-XXXXXX";
        ::close(mkstemp(tmpl));
        return std::string(tmpl);
    }();
    ~TempFile() { ::unlink(path.c_str()); }
    std::string contents() const {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

inline std::string hex(std::string_view bytes) {
    std::string out;
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        out += buf;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

// Bytes from hex pairs and 'quoted text': bytes("12 04 'main'") is 12 04 6D 61 69 6E.
inline std::string bytes(std::string_view spec) {
    std::string out;
    for (size_t i = 0; i < spec.size(); ++i) {
        if (spec[i] == ' ') continue;
        if (spec[i] == '\'') {
            size_t end = spec.find('\'', i + 1);
            out += spec.substr(i + 1, end - i - 1);
            i = end;
        } else {
            out += static_cast<char>(std::stoi(std::string(spec.substr(i, 2)), nullptr, 16));
            ++i;
        }
    }
    return out;
}

}  // namespace vespra::pbtest
