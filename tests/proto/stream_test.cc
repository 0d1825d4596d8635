// Whole streams read back by the production reader: many threads interleaved over many batches,
// and a second writer (a forked child) appending to the same file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "../core/test_util.h"
#include "pb_reader.h"
#include "proto/proto_exporter.h"
#include "proto/proto_reader.h"

namespace vespra {
namespace {

using testing::ev;
using testing::FakeCodes;
using testing::FakeNames;

using Thread = std::pair<uint32_t, uint32_t>;                         // pid, tid
using Slices = std::vector<std::tuple<uint64_t, char, std::string>>;  // ts, B or E, begin's name

// Per thread, random well-nested calls over 60 codes, interleaved into batches in runs of
// random length, as the serializer hands them over.
struct Recording {
    std::vector<std::vector<Event>> batches;
    std::map<uint32_t, Slices> expected;  // per tid
};

Recording record(const std::vector<uint32_t>& tids, size_t per_thread, const FakeCodes& codes,
                 uint32_t seed) {
    static const uint8_t BEGINS[] = {KIND_START, KIND_RESUME, KIND_THROW};
    static const uint8_t ENDS[] = {KIND_RETURN, KIND_YIELD, KIND_UNWIND};
    std::mt19937 rng(seed);
    std::map<uint32_t, std::vector<Event>> events;
    Recording r;
    for (uint32_t tid : tids) {
        std::vector<uint32_t> stack;
        for (uint64_t ts = rng() % 1000; events[tid].size() < per_thread || !stack.empty();) {
            bool begin = stack.empty() ||
                         (stack.size() < 40 && events[tid].size() < per_thread && rng() % 2);
            uint32_t code = begin ? rng() % 60 : stack.back();
            if (begin)
                stack.push_back(code);
            else
                stack.pop_back();
            ts += 1 + rng() % 50;
            events[tid].push_back(ev(ts, tid, (begin ? BEGINS : ENDS)[rng() % 3], code));
            std::optional<CodeInfo> info = codes.code(code);
            r.expected[tid].emplace_back(ts, begin ? 'B' : 'E',
                                         !begin ? ""
                                         : info ? info->name
                                                : "<unknown>");
        }
    }
    std::map<uint32_t, size_t> next;
    r.batches.emplace_back();
    for (size_t unfinished = tids.size(); unfinished > 0;) {
        uint32_t tid = tids[rng() % tids.size()];
        for (size_t run = 1 + rng() % 300; run > 0 && next[tid] < events[tid].size(); --run) {
            std::vector<Event>& batch = r.batches.back();
            if (batch.size() == 4096 || (!batch.empty() && rng() % 700 == 0))
                r.batches.emplace_back();
            r.batches.back().push_back(events[tid][next[tid]++]);
            unfinished -= next[tid] == events[tid].size();
        }
    }
    return r;
}

// What the reader reports, per thread.
struct Read : trace::Visitor {
    std::vector<Thread> threads;  // by handle
    std::vector<std::string> functions;
    std::map<Thread, Slices> slices;
    std::map<Thread, std::string> names;
    std::map<uint32_t, uint64_t> drops;

    void process(uint32_t, std::string_view) override {}
    uint32_t thread(uint32_t pid, uint32_t tid) override {
        threads.emplace_back(pid, tid);
        return static_cast<uint32_t>(threads.size() - 1);
    }
    void thread_name(uint32_t thread, std::string_view name) override {
        names[threads[thread]] = name;
    }
    uint32_t function(std::string_view name, std::string_view, uint32_t) override {
        functions.emplace_back(name);
        return static_cast<uint32_t>(functions.size() - 1);
    }
    void begin(uint32_t thread, uint32_t function, uint64_t ts) override {
        slices[threads[thread]].emplace_back(ts, 'B', functions[function]);
    }
    void end(uint32_t thread, uint64_t ts) override {
        slices[threads[thread]].emplace_back(ts, 'E', "");
    }
    void dropped(uint32_t pid, uint64_t count) override { drops[pid] = count; }
    void left_out(uint32_t, std::string_view, uint64_t) override {}
};

// Some codes have no name, one a long one, and some are unknown to the lookup.
FakeCodes pool_of_codes() {
    FakeCodes codes;
    for (uint32_t c = 0; c < 60; ++c)
        if (c % 13 != 5)
            codes.infos[c].name = c == 3 ? "" : "mod.f" + std::to_string(c) + ".<locals>.g";
    codes.infos[4].name = std::string(150, 'x');
    return codes;
}

// Both timestamp encodings: absolute, and deltas on each sequence's clock.
struct Stream : ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Timestamps, Stream, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Incremental" : "Absolute"; });

// The parent's threads include ids with the sign bit of an int32 (bit 30 marks a task's track:
// see event.h); the child, writing with its own pid as sequence base as a forked child does,
// interleaves whole batches with the parent's and uses some of the same thread ids. The file
// stays one stream whose processes do not mix.
TEST_P(Stream, ManyThreadsAndTwoWritersReadBackAsRecorded) {
    testing::TempTrace file;
    FakeCodes codes = pool_of_codes();
    FakeNames names;
    names.names = {{11, "MainThread"}, {0x80000000u, std::string(200, 'w')}, {0, ""}};
    const uint32_t child_pid = static_cast<uint32_t>(::getpid());
    ASSERT_NE(child_pid, 4242u);
    const std::vector<uint32_t> tids{11, 12, 0x80000000u, 0xBFFFFFFFu, 0, 77777};
    Recording pr = record(tids, 3000, codes, 1), cr = record({12, 11}, 800, codes, 2);
    ASSERT_GT(pr.batches.size(), std::max<size_t>(10, cr.batches.size()));

    ProtoExporter parent(file.open(), 4242);
    Result<std::unique_ptr<ProtoExporter>> child = ProtoExporter::append(file.path);
    ASSERT_TRUE(child.ok()) << child.error().text();
    child.value()->set_sequence_base(child_pid);
    parent.set_incremental_timestamps(GetParam());
    child.value()->set_incremental_timestamps(GetParam());
    size_t size_before = 0;
    for (size_t i = 0; i < pr.batches.size(); ++i) {
        ASSERT_TRUE(parent.write_batch(pr.batches[i], codes, names).ok());
        ASSERT_TRUE(parent.flush().ok());
        // Each batch reaches the file in one flush, with its new descriptors and names.
        std::string added = file.contents().substr(size_before);
        size_t events = 0;
        for (const pbtest::Message& packet : pbtest::packets_of(added))
            events += packet.sub(pb::field::TRACK_EVENT).has_value();
        ASSERT_EQ(events, pr.batches[i].size());
        if (i < cr.batches.size()) {
            ASSERT_TRUE(child.value()->write_batch(cr.batches[i], codes, names).ok());
            ASSERT_TRUE(child.value()->flush().ok());
        }
        size_before = file.contents().size();
    }
    ASSERT_TRUE(child.value()->finish(codes, names, 7).ok());
    ASSERT_TRUE(parent.finish(codes, names, 2).ok());

    Read read;
    ProtoReader reader(read);
    std::string stream = file.contents();
    Result<trace::StreamReport> report = trace::read_bytes(testing::bytes_of(stream), reader);
    ASSERT_TRUE(report.ok()) << report.error().text();
    EXPECT_FALSE(report.value().cut());
    EXPECT_EQ(read.threads.size(), tids.size() + 2);
    for (auto [pid, r] : {std::pair{4242u, &pr}, std::pair{child_pid, &cr}}) {
        for (const auto& [tid, expected] : r->expected) {
            EXPECT_EQ(read.slices[Thread(pid, tid)], expected) << pid << "/" << tid;
            EXPECT_EQ(read.names[Thread(pid, tid)], names.name(tid).value_or(""));
        }
    }
    EXPECT_EQ(read.drops, (std::map<uint32_t, uint64_t>{{4242, 2}, {child_pid, 7}}));
}

}  // namespace
}  // namespace vespra
