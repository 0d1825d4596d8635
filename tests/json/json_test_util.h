// Fixtures of the JSON writer's tests: a code lookup that counts its questions, fixed thread
// names, and temporary files.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/output.h"
#include "core/sink.h"

namespace vespra::testing {

// Answers from `infos` and counts the questions (single-threaded use only).
struct FakeCodes : CodeLookup {
    std::map<uint32_t, CodeInfo> infos;
    mutable std::map<uint32_t, int> asked;
    std::optional<CodeInfo> code(uint32_t id) const override {
        ++asked[id];
        auto it = infos.find(id);
        return it == infos.end() ? std::nullopt : std::optional<CodeInfo>(it->second);
    }
};

struct FakeNames : ThreadNames {
    std::vector<std::pair<uint32_t, std::string>> names;  // ascending, as the test writes them
    std::optional<std::string> name(uint32_t) const override { return std::nullopt; }
    std::vector<std::pair<uint32_t, std::string>> snapshot() const override { return names; }
};

struct TempFile {
    std::string path;
    TempFile() {
        char tmpl[] = "/tmp/vespra-json-XXXXXX";
        ::close(mkstemp(tmpl));
        path = tmpl;
    }
    ~TempFile() { ::unlink(path.c_str()); }
    std::string contents() const {
        std::ostringstream s;
        s << std::ifstream(path, std::ios::binary).rdbuf();
        return s.str();
    }
    SharedFile open(bool truncate) const {
        Result<SharedFile> r = SharedFile::open(path, truncate);
        EXPECT_TRUE(r.ok()) << r.error().text();
        return r.take();
    }
};

inline Event ev(uint64_t ts, uint32_t tid, uint8_t kind, uint32_t code) {
    return Event{ts, tid, pack_word(kind, code)};
}

}  // namespace vespra::testing
