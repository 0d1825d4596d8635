// Small fixtures shared by the protobuf writer's tests: lookups with fixed contents, a temporary
// directory, byte-string helpers.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/event.h"
#include "core/sink.h"

namespace vespra::pbtest {

class FakeCodes : public CodeLookup {
  public:
    FakeCodes() = default;
    FakeCodes(std::initializer_list<std::pair<const uint32_t, std::string>> names)
        : names_(names) {}
    std::optional<CodeInfo> code(uint32_t id) const override {
        auto it = names_.find(id);
        if (it == names_.end()) return std::nullopt;
        return CodeInfo{it->second, "file.py", 1};
    }
    std::map<uint32_t, std::string> names_;
};

class FakeNames : public ThreadNames {
  public:
    std::optional<std::string> name(uint32_t tid) const override {
        auto it = names_.find(tid);
        if (it == names_.end()) return std::nullopt;
        return it->second;
    }
    std::vector<std::pair<uint32_t, std::string>> snapshot() const override {
        return {names_.begin(), names_.end()};
    }
    std::map<uint32_t, std::string> names_;
};

inline Event ev(uint64_t ts, uint32_t tid, uint8_t kind, uint32_t code) {
    return Event{ts, tid, pack_word(kind, code)};
}

// Builds a byte string from a list of byte values and string pieces.
struct Bytes {
    std::string s;
    Bytes& operator()(std::initializer_list<int> bytes) {
        for (int b : bytes) s.push_back(static_cast<char>(b));
        return *this;
    }
    Bytes& operator()(const std::string& text) {
        s += text;
        return *this;
    }
};

inline std::string hex(const std::string& bytes) {
    std::string out;
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        out += buf;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
  public:
    TempDir() {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "vespra-proto-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) std::abort();
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

}  // namespace vespra::pbtest
