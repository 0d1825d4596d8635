// Whole streams read back the way a viewer reads them: many threads interleaved over many
// batches, and several writers (processes) appending to one file.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "pb_reader.h"
#include "proto/proto_exporter.h"
#include "test_support.h"

namespace vespra {
namespace {

using pbtest::ev;
using pbtest::FakeCodes;
using pbtest::FakeNames;

using Expected = std::vector<std::tuple<uint64_t, char, std::string>>;

// A synthetic recording: per thread, a well-nested run of function events over a pool of codes
// (some with empty or unknown names), interleaved into batches in no common order the way the
// serializer hands them over.
struct Recording {
    std::vector<std::vector<Event>> batches;
    std::map<uint32_t, Expected> expected;  // per tid: (ts, phase, slice name)
    std::vector<uint32_t> first_seen;       // tids in order of first appearance
};

std::string name_of(const FakeCodes& codes, uint32_t code) {
    auto info = codes.code(code);
    return info ? info->name : "<unknown>";
}

Recording record(const std::vector<uint32_t>& tids, size_t per_thread, const FakeCodes& codes,
                 uint32_t seed) {
    std::mt19937 rng(seed);
    std::map<uint32_t, std::vector<Event>> per_tid;
    Recording r;
    for (uint32_t tid : tids) {
        std::vector<uint32_t> stack;
        std::vector<Event>& out = per_tid[tid];
        Expected& exp = r.expected[tid];
        uint64_t ts = rng() % 1000;
        auto push = [&](uint8_t kind, uint32_t code, char phase, std::string name) {
            ts += 1 + rng() % 50;
            out.push_back(ev(ts, tid, kind, code));
            exp.emplace_back(ts, phase, std::move(name));
        };
        while (out.size() < per_thread || !stack.empty()) {
            bool open = stack.size() < 40 && out.size() < per_thread && rng() % 2;
            if (open || stack.empty()) {
                static const uint8_t begins[] = {KIND_START, KIND_START, KIND_RESUME, KIND_THROW};
                uint32_t code = rng() % 60;
                stack.push_back(code);
                push(begins[rng() % 4], code, 'B', name_of(codes, code));
            } else {
                static const uint8_t ends[] = {KIND_RETURN, KIND_RETURN, KIND_YIELD, KIND_UNWIND};
                uint32_t code = stack.back();
                stack.pop_back();
                push(ends[rng() % 4], code, 'E', name_of(codes, code));
            }
        }
    }
    std::map<uint32_t, size_t> next;
    size_t left = 0;
    for (const auto& [tid, events] : per_tid) left += events.size();
    std::vector<Event> batch;
    while (left > 0) {
        uint32_t tid = tids[rng() % tids.size()];
        size_t& i = next[tid];
        size_t run = 1 + rng() % 300;
        for (; run > 0 && i < per_tid[tid].size(); --run, --left) {
            if (i == 0) r.first_seen.push_back(tid);
            batch.push_back(per_tid[tid][i++]);
            if (batch.size() == 4096 || rng() % 700 == 0) {
                r.batches.push_back(std::move(batch));
                batch.clear();
            }
        }
    }
    if (!batch.empty()) r.batches.push_back(std::move(batch));
    return r;
}

FakeCodes pool_of_codes() {
    FakeCodes codes;
    for (uint32_t c = 0; c < 60; ++c) {
        if (c % 13 == 5) continue;  // unknown to the lookup
        codes.names_[c] = c == 3 ? "" : "mod.f" + std::to_string(c) + ".<locals>.g";
    }
    return codes;
}

// Each thread's track, sequence id and uuid follow the identifier table, and its slices are
// exactly the recorded ones.
void expect_process(const pbtest::Trace& t, uint32_t pid, uint32_t base, const Recording& r,
                    const FakeNames& names) {
    const uint64_t process_uuid = (uint64_t{pid} << 32) + 1;
    const pbtest::Track* process = t.process(static_cast<int32_t>(pid));
    ASSERT_NE(process, nullptr) << pid;
    EXPECT_EQ(process->uuid, process_uuid);
    EXPECT_EQ(process->sequence_id, base * 128 + 1);
    for (uint32_t k = 0; k < r.first_seen.size(); ++k) {
        uint32_t tid = r.first_seen[k];
        const pbtest::Track* thread =
            t.thread(static_cast<int32_t>(pid), static_cast<int32_t>(tid));
        ASSERT_NE(thread, nullptr) << tid;
        EXPECT_EQ(thread->uuid, process_uuid + 1 + k);
        EXPECT_EQ(thread->sequence_id, base * 128 + 2 + k);
        EXPECT_EQ(thread->parent_uuid, process_uuid);
        EXPECT_GT(thread->descriptor_index, process->descriptor_index);
        EXPECT_EQ(thread->name, names.name(tid));
        EXPECT_EQ(thread->open, 0u);
        Expected got;
        for (const auto& s : thread->events) got.emplace_back(s.ts, s.phase, s.name);
        EXPECT_EQ(got, r.expected.at(tid)) << "tid " << tid;
    }
}

TEST(Stream, ManyThreadsOverManyBatchesReadBackAsRecorded) {
    pbtest::TempDir dir;
    std::string path = dir.file("trace.pb");
    FakeCodes codes = pool_of_codes();
    FakeNames names;
    names.names_[11] = "MainThread";
    names.names_[0x80000000u] = "worker-high";
    names.names_[0] = "";
    const std::vector<uint32_t> tids{11, 12, 0x80000000u, 0xFFFFFFFFu, 0, 77777};
    Recording r = record(tids, 3000, codes, 1);
    ASSERT_GT(r.batches.size(), 10u);

    Result<SharedFile> file = SharedFile::open(path, true);
    ASSERT_TRUE(file.ok());
    ProtoExporter writer(file.take(), 4242);
    size_t size_before = 0;
    for (const auto& batch : r.batches) {
        ASSERT_TRUE(writer.write_batch(batch, codes, names).ok());
        // Each batch reaches the file in one flush: its new descriptors and names, then its
        // events in batch order.
        std::string added = pbtest::read_file(path).substr(size_before);
        size_before += added.size();
        std::vector<pbtest::Packet> ps = pbtest::decode_stream(added);
        size_t first_event = 0;
        while (first_event < ps.size() && !ps[first_event].track_event) ++first_event;
        ASSERT_EQ(ps.size() - first_event, batch.size());
        for (size_t i = 0; i < batch.size(); ++i) {
            ASSERT_TRUE(ps[first_event + i].track_event);
            EXPECT_EQ(ps[first_event + i].timestamp, batch[i].ts);
        }
    }
    ASSERT_TRUE(writer.finish(codes, names, 0).ok());

    pbtest::Trace t = pbtest::check_stream(pbtest::read_file(path));
    ASSERT_TRUE(t.errors.empty()) << t.error_text();
    expect_process(t, 4242, 0, r, names);
    EXPECT_EQ(t.tracks.size(), 1 + tids.size());
}

// Writers of different processes append to one file, interleaving whole batches; each uses its
// own pid and sequence base, so the file stays one stream whose processes do not mix, even when
// their thread ids coincide.
TEST(Stream, WritersWithDifferentBasesShareOneFile) {
    pbtest::TempDir dir;
    std::string path = dir.file("trace.pb");
    FakeCodes codes = pool_of_codes();
    FakeNames names;
    names.names_[21] = "shared-name";

    Result<SharedFile> parent_file = SharedFile::open(path, true);
    ASSERT_TRUE(parent_file.ok());
    ProtoExporter parent(parent_file.take(), 4242);
    Result<SharedFile> child_file = SharedFile::open(path, false);
    ASSERT_TRUE(child_file.ok());
    ProtoExporter child(child_file.take(), 5151);
    child.set_sequence_base(5151);
    // The same tids in both, and more threads in the parent than in the child.
    Recording pr = record({21, 22, 23, 24}, 800, codes, 2);
    Recording cr = record({22, 21}, 800, codes, 3);

    size_t pi = 0, ci = 0;
    while (pi < pr.batches.size() || ci < cr.batches.size()) {
        if (pi < pr.batches.size()) {
            ASSERT_TRUE(parent.write_batch(pr.batches[pi++], codes, names).ok());
        }
        if (ci < cr.batches.size()) {
            ASSERT_TRUE(child.write_batch(cr.batches[ci++], codes, names).ok());
        }
    }
    ASSERT_TRUE(child.finish(codes, names, 7).ok());
    ASSERT_TRUE(parent.finish(codes, names, 2).ok());

    pbtest::Trace t = pbtest::check_stream(pbtest::read_file(path));
    ASSERT_TRUE(t.errors.empty()) << t.error_text();
    expect_process(t, 4242, 0, pr, names);
    expect_process(t, 5151, 5151, cr, names);
    EXPECT_EQ(t.process(5151)->events.at(0).name, "vespra: 7 events dropped");
    EXPECT_EQ(t.process(4242)->events.at(0).name, "vespra: 2 events dropped");
}

// A forked child opens the same path with `append` and its own pid as sequence base.
TEST(Stream, ForkedChildAppendsWithItsOwnIdentifiers) {
    pbtest::TempDir dir;
    std::string path = dir.file("trace.pb");
    FakeCodes codes = pool_of_codes();
    FakeNames names;
    Recording r = record({1, 2}, 500, codes, 4);

    Result<SharedFile> file = SharedFile::open(path, true);
    ASSERT_TRUE(file.ok());
    ProtoExporter parent(file.take());
    parent.set_sequence_base(0);
    ASSERT_TRUE(parent.write_batch(r.batches[0], codes, names).ok());

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        Result<std::unique_ptr<ProtoExporter>> child = ProtoExporter::append(path);
        if (!child.ok()) _exit(3);
        child.value()->set_sequence_base(static_cast<uint32_t>(getpid()));
        for (const auto& batch : r.batches) {
            if (!child.value()->write_batch(batch, codes, names).ok()) _exit(4);
        }
        _exit(child.value()->finish(codes, names, 0).ok() ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (size_t i = 1; i < r.batches.size(); ++i) {
        ASSERT_TRUE(parent.write_batch(r.batches[i], codes, names).ok());
    }
    ASSERT_TRUE(parent.finish(codes, names, 0).ok());

    pbtest::Trace t = pbtest::check_stream(pbtest::read_file(path));
    ASSERT_TRUE(t.errors.empty()) << t.error_text();
    expect_process(t, static_cast<uint32_t>(getpid()), 0, r, names);
    expect_process(t, static_cast<uint32_t>(pid), static_cast<uint32_t>(pid), r, names);
    // The parent's first batch precedes everything the child wrote.
    EXPECT_LT(t.process(getpid())->descriptor_index, t.process(pid)->descriptor_index);
}

}  // namespace
}  // namespace vespra
