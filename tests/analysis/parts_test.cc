// How much of a dead process's part the joiner keeps: cut at any byte, a part of either format
// keeps exactly its records before the cut, whatever their strings or length fields hold.
// (Kept with the analysis tests for their sanitizer build.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "../core/test_util.h"
#include "json/json_exporter.h"
#include "proto/proto_exporter.h"

namespace vespra::testing {
namespace {

// A protobuf packet frame around `body_len` bytes (a length of two varint bytes from 128 on).
std::string packet(size_t body_len) {
    std::string p(1, static_cast<char>(pb::TRACE_PACKET_KEY));
    Varint len(body_len);
    p.append(reinterpret_cast<const char*>(len.as_slice().data()), len.len());
    return p + std::string(body_len, '\x0a');  // bodies that look like keys, too
}

TEST(Parts, EveryCutOfAPartKeepsTheWholeRecordsBeforeIt) {
    struct Case {
        const char* name;
        const parts::PartFormat& format;
        std::vector<std::string> records;
    };
    const Case CASES[] = {
        {"json",
         JSON_PARTS,
         {R"({"name":"a},{\"b\"]","ph":"B","ts":1,"pid":1,"tid":1,"args":{"file":"x}]","line":2}},)",
          R"({"name":"\\","ph":"E","ts":2,"pid":1,"tid":1},)",
          R"({"args":{"name":"{"},"name":"thread_name","ph":"M","pid":1,"tid":1},)"}},
        {"protobuf", PROTO_PARTS, {packet(3), packet(200), packet(0), packet(127)}},
    };
    TempTrace file;
    for (const Case& c : CASES) {
        std::string part;
        std::vector<size_t> ends = {0};
        for (const std::string& r : c.records) ends.push_back((part += r).size());
        for (size_t cut = 0; cut <= part.size(); ++cut) {
            std::ofstream(file.path, std::ios::binary | std::ios::trunc) << part.substr(0, cut);
            int fd = ::open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            Result<uint64_t> complete = c.format.complete(fd);
            ::close(fd);
            ASSERT_TRUE(complete.ok()) << c.name;
            size_t whole = 0;
            for (size_t end : ends) whole = end <= cut ? end : whole;
            EXPECT_EQ(complete.value(), whole) << c.name << " cut at " << cut;
        }
    }
}

}  // namespace
}  // namespace vespra::testing
