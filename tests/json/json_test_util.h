// Fixtures shared by the JSON writer's tests: lookups with fixed contents and a writer over a
// temporary file whose bytes the test can read back.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "core/output.h"
#include "core/sink.h"
#include "json/json_exporter.h"

namespace vespra::testing {

class FakeCodes : public CodeLookup {
  public:
    std::map<uint32_t, CodeInfo> infos;
    std::optional<CodeInfo> code(uint32_t id) const override {
        std::lock_guard<std::mutex> g(mu_);
        ++asked_[id];
        auto it = infos.find(id);
        if (it == infos.end()) return std::nullopt;
        return it->second;
    }
    int asked(uint32_t id) const {
        std::lock_guard<std::mutex> g(mu_);
        auto it = asked_.find(id);
        return it == asked_.end() ? 0 : it->second;
    }

  private:
    mutable std::mutex mu_;
    mutable std::map<uint32_t, int> asked_;
};

class FakeNames : public ThreadNames {
  public:
    std::vector<std::pair<uint32_t, std::string>> names;  // kept ascending by the test
    std::optional<std::string> name(uint32_t tid) const override {
        for (auto& [t, n] : names)
            if (t == tid) return n;
        return std::nullopt;
    }
    std::vector<std::pair<uint32_t, std::string>> snapshot() const override { return names; }
};

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class TempFile {
  public:
    TempFile() {
        char tmpl[] = "/tmp/vespra-json-XXXXXX";
        int fd = mkstemp(tmpl);
        ::close(fd);
        path_ = tmpl;
    }
    ~TempFile() { ::unlink(path_.c_str()); }
    const std::string& path() const { return path_; }
    std::string contents() const { return slurp(path_); }

  private:
    std::string path_;
};

inline SharedFile open_shared(const std::string& path, bool truncate) {
    Result<SharedFile> r = SharedFile::open(path, truncate);
    EXPECT_TRUE(r.ok()) << r.error().text();
    return r.take();
}

inline Event ev(uint64_t ts, uint32_t tid, uint8_t kind, uint32_t code) {
    return Event{ts, tid, pack_word(kind, code)};
}

}  // namespace vespra::testing
