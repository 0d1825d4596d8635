// Whole streams read back the way a viewer reads them: many threads interleaved over many
// batches, and several writers (processes) appending to one file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "../core/test_util.h"
#include "pb_reader.h"
#include "proto/proto_exporter.h"

namespace vespra {
namespace {

using testing::ev;
using testing::FakeCodes;
using testing::FakeNames;

using Expected = std::vector<std::tuple<uint64_t, char, std::string>>;

// Per thread, random well-nested calls over 60 codes, interleaved into batches in runs of
// random length, as the serializer hands them over.
struct Recording {
    std::vector<std::vector<Event>> batches;
    std::map<uint32_t, Expected> expected;  // per tid: (ts, phase, slice name)
    std::vector<uint32_t> first_seen;       // tids in order of first appearance
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
            r.expected[tid].emplace_back(ts, begin ? 'B' : 'E', info ? info->name : "<unknown>");
        }
    }
    std::map<uint32_t, size_t> next;
    r.batches.emplace_back();
    for (size_t unfinished = tids.size(); unfinished > 0;) {
        uint32_t tid = tids[rng() % tids.size()];
        for (size_t run = 1 + rng() % 300; run > 0 && next[tid] < events[tid].size(); --run) {
            if (next[tid] == 0) r.first_seen.push_back(tid);
            std::vector<Event>& batch = r.batches.back();
            if (batch.size() == 4096 || (!batch.empty() && rng() % 700 == 0))
                r.batches.emplace_back();
            r.batches.back().push_back(events[tid][next[tid]++]);
            unfinished -= next[tid] == events[tid].size();
        }
    }
    return r;
}

// Some codes have no name, one a long one, and some are unknown to the lookup.
FakeCodes pool_of_codes() {
    FakeCodes codes;
    for (uint32_t c = 0; c < 60; ++c)
        if (c % 13 != 5)
            codes.infos[c].name = c == 3 ? "" : "mod.f" + std::to_string(c) + ".<locals>.g";
    codes.infos[4].name = std::string(150, 'x');
    return codes;
}

// Each thread's track, sequence id and uuid follow the identifier table, in order of first
// appearance, and its slices are exactly the recorded ones.
void expect_process(const pbtest::Trace& t, uint32_t pid, uint32_t base, const Recording& r,
                    const FakeNames& names) {
    const uint64_t process_uuid = (uint64_t{pid} << 32) + 1;
    const pbtest::Track* process = t.find(true, static_cast<int32_t>(pid));
    ASSERT_NE(process, nullptr) << pid;
    EXPECT_EQ(process->uuid, process_uuid);
    EXPECT_EQ(process->sequence_id, base * 128ull + 1);
    for (uint32_t k = 0; k < r.first_seen.size(); ++k) {
        uint32_t tid = r.first_seen[k];
        const pbtest::Track* thread =
            t.find(false, static_cast<int32_t>(pid), static_cast<int32_t>(tid));
        ASSERT_NE(thread, nullptr) << tid;
        EXPECT_EQ(thread->uuid, process_uuid + 1 + k);
        EXPECT_EQ(thread->sequence_id, base * 128ull + 2 + k);
        EXPECT_GT(thread->descriptor_index, process->descriptor_index);
        EXPECT_EQ(thread->name, names.name(tid));
        EXPECT_TRUE(thread->open.empty());
        Expected got;
        for (const auto& s : thread->events) got.emplace_back(s.ts, s.phase, s.name);
        EXPECT_EQ(got, r.expected.at(tid)) << "tid " << tid;
    }
}

// Every case in both timestamp encodings: absolute, and deltas on each sequence's clock.
struct Stream : ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Timestamps, Stream, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Incremental" : "Absolute"; });

TEST_P(Stream, ManyThreadsOverManyBatchesReadBackAsRecorded) {
    testing::TempTrace file;
    FakeCodes codes = pool_of_codes();
    FakeNames names;
    names.names = {{11, "MainThread"}, {0x80000000u, std::string(200, 'w')}, {0, ""}};
    // Ids with the sign bit of an int32 (bit 30 marks a task's track: see event.h).
    const std::vector<uint32_t> tids{11, 12, 0x80000000u, 0xBFFFFFFFu, 0, 77777};
    Recording r = record(tids, 3000, codes, 1);
    ASSERT_GT(r.batches.size(), 10u);

    ProtoExporter writer(file.open(), 4242);
    writer.set_incremental_timestamps(GetParam());
    size_t size_before = 0;
    for (const auto& batch : r.batches) {
        ASSERT_TRUE(writer.write_batch(batch, codes, names).ok());
        ASSERT_TRUE(writer.flush().ok());
        // Each batch reaches the file in one flush, with its new descriptors and names among its
        // events (check_stream below finds each before its use, and every thread's events in
        // order with their times).
        std::string added = file.contents().substr(size_before);
        size_before += added.size();
        size_t events = 0;
        for (const pbtest::Message& packet : pbtest::packets_of(added)) events += !!packet.sub(11);
        ASSERT_EQ(events, batch.size());
    }
    ASSERT_TRUE(writer.finish(codes, names, 0).ok());

    pbtest::Trace t = pbtest::check_stream(file.contents());
    ASSERT_TRUE(t.errors.empty()) << t.error_text();
    expect_process(t, 4242, 0, r, names);
    EXPECT_EQ(t.tracks.size(), 1 + tids.size());
}

// Writers of different processes (here the second opens the file as a forked child does, with
// its own pid as sequence base) append to one file, interleaving whole batches. The file stays
// one stream whose processes do not mix, even where their thread ids coincide.
TEST_P(Stream, WritersWithDifferentBasesShareOneFile) {
    testing::TempTrace file;
    FakeCodes codes = pool_of_codes();
    FakeNames names;
    names.names[21] = "shared-name";
    const uint32_t child_pid = static_cast<uint32_t>(::getpid());
    ASSERT_NE(child_pid, 4242u);

    ProtoExporter parent(file.open(), 4242);
    Result<std::unique_ptr<ProtoExporter>> child = ProtoExporter::append(file.path);
    ASSERT_TRUE(child.ok()) << child.error().text();
    child.value()->set_sequence_base(child_pid);
    parent.set_incremental_timestamps(GetParam());
    child.value()->set_incremental_timestamps(GetParam());
    // The same tids in both, and more threads in the parent than in the child.
    Recording pr = record({21, 22, 23, 24}, 800, codes, 2);
    Recording cr = record({22, 21}, 800, codes, 3);
    for (size_t i = 0; i < std::max(pr.batches.size(), cr.batches.size()); ++i) {
        if (i < pr.batches.size()) {
            ASSERT_TRUE(parent.write_batch(pr.batches[i], codes, names).ok());
            ASSERT_TRUE(parent.flush().ok());
        }
        if (i < cr.batches.size()) {
            ASSERT_TRUE(child.value()->write_batch(cr.batches[i], codes, names).ok());
            ASSERT_TRUE(child.value()->flush().ok());
        }
    }
    ASSERT_TRUE(child.value()->finish(codes, names, 7).ok());
    ASSERT_TRUE(parent.finish(codes, names, 2).ok());

    pbtest::Trace t = pbtest::check_stream(file.contents());
    ASSERT_TRUE(t.errors.empty()) << t.error_text();
    expect_process(t, 4242, 0, pr, names);
    expect_process(t, child_pid, child_pid, cr, names);
    EXPECT_EQ(t.find(true, 4242)->events.at(0).name, "vespra: 2 events dropped");
    EXPECT_EQ(t.find(true, static_cast<int32_t>(child_pid))->events.at(0).name,
              "vespra: 7 events dropped");
}

}  // namespace
}  // namespace vespra
