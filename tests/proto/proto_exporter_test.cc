// ProtoExporter's packets, byte for byte where the layout is fixed, and through the test reader
// where the behaviour is about which packets appear and when.
#include "proto/proto_exporter.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "../core/test_util.h"
#include "pb_reader.h"

namespace vespra {
namespace {

using pbtest::bytes;
using pbtest::hex;
using testing::ev;

constexpr uint32_t PID = 4242;

// The process descriptor of pid 4242 with sequence base 0: uuid 4242 * 2^32 + 1, sequence 1.
const std::string PROCESS_PACKET = bytes(
    "0A 2B 40 00 50 01 E2 03 22 08 81 80 80 80 A0 92 04 12 0B 'python:4242' "
    "1A 0B 08 92 21 32 06 'python' 68 01");

struct ProtoExporterTest : ::testing::Test {
    bool named = (process_name::set(ProcessName{}), true);  // "python", no command line
    testing::TempTrace file;
    testing::FakeCodes codes;
    testing::FakeNames names;
    std::unique_ptr<ProtoExporter> writer = open();

    ProtoExporterTest() {
        codes.infos = {{0, {"main", "m.py", 3}},
                       {1, {"helper", ""}},
                       {2, {"", ""}},
                       {7, {"seven", "s.py", 70}},
                       {8, {"eight", "e.py", 80}}};
    }

    std::unique_ptr<ProtoExporter> open() {
        return std::make_unique<ProtoExporter>(file.open(), PID);
    }
    void write(std::vector<Event> events) {
        Status st = writer->write_batch(events, codes, names);
        ASSERT_TRUE(st.ok()) << st.error().text();
        st = writer->flush();
        ASSERT_TRUE(st.ok()) << st.error().text();
    }
    pbtest::Trace trace() {
        pbtest::Trace t = pbtest::check_stream(file.contents());
        EXPECT_TRUE(t.errors.empty()) << t.error_text();
        return t;
    }
};

TEST_F(ProtoExporterTest, ProcessDescriptorComesFirstAndOnlyOnce) {
    EXPECT_EQ(file.contents(), "");  // opening writes nothing
    write({});
    EXPECT_EQ(hex(file.contents()), hex(PROCESS_PACKET));
    write({});
    ASSERT_TRUE(writer->finish(codes, names, 0).ok());
    EXPECT_EQ(file.contents().size(), PROCESS_PACKET.size());

    // A writer that gets neither a batch nor dropped events writes nothing at all.
    writer = open();
    ASSERT_TRUE(writer->finish(codes, names, 0).ok());
    writer.reset();
    EXPECT_EQ(file.contents(), "");
}

// Thread 100's interned name 1 "main" and location 1 { m.py, main, 3 }, in one packet.
const std::string MAIN_INTERNED = bytes(
    "0A 24 40 00 50 02 62 1C 12 08 08 01 12 04 'main' "
    "22 10 08 01 12 04 'm.py' 1A 04 'main' 20 03 68 02");

TEST_F(ProtoExporterTest, FirstBeginAndEndOfTheFirstThreadWithIncrementalTimestamps) {
    writer->set_incremental_timestamps(true);
    write({ev(1000, 100, KIND_START, 0), ev(1500, 100, KIND_RETURN, 0)});
    std::string expected =
        PROCESS_PACKET +
        // Thread 100: uuid process + 1, parent the process, sequence 2 with category 1 "py",
        // state cleared; stamped on the trace clock (6), its defaults the track and clock 64.
        bytes(
            "0A 3D 40 00 D0 03 06 50 02 E2 03 17 08 82 80 80 80 A0 92 04 22 05 08 92 21 10 64 "
            "28 81 80 80 80 A0 92 04 62 08 0A 06 08 01 12 02 'py' 68 01 "
            "DA 03 0D 5A 08 58 82 80 80 80 A0 92 04 D0 03 40") +
        // Alone in its packet: clock 6 at 0 is incremental clock 64 at 0.
        bytes("0A 12 50 02 32 0E 0A 04 08 06 10 00 0A 06 08 40 10 00 18 01") + MAIN_INTERNED +
        bytes("0A 12 40 E8 07 50 02 68 02 5A 09 48 01 18 01 50 01 90 02 01") +  // begin, +1000
        bytes("0A 0B 40 F4 03 50 02 68 02 5A 02 48 02");                        // end, +500
    EXPECT_EQ(hex(file.contents()), hex(expected));

    // Time going backwards is written absolute on the trace clock and leaves the sequence
    // clock where it was: the next delta counts from 1500 again.
    write({ev(1400, 100, KIND_START, 0), ev(1501, 100, KIND_RETURN, 0)});
    EXPECT_EQ(hex(file.contents().substr(expected.size())),
              "0A 15 40 F8 0A D0 03 06 50 02 68 02 5A 09 48 01 18 01 50 01 90 02 01 "
              "0A 0A 40 01 50 02 68 02 5A 02 48 02");
    pbtest::Trace t = pbtest::check_stream(file.contents());
    std::vector<uint64_t> stamps;
    for (const pbtest::Slice& slice : t.find(false, PID, 100)->events) stamps.push_back(slice.ts);
    EXPECT_EQ(stamps, (std::vector<uint64_t>{1000, 1500, 1400, 1501}));
}

TEST_F(ProtoExporterTest, FirstBeginAndEndOfTheFirstThreadWithAbsoluteTimestamps) {
    write({ev(1000, 100, KIND_START, 0), ev(1500, 100, KIND_RETURN, 0)});
    std::string expected =
        PROCESS_PACKET +
        bytes(
            "0A 37 40 00 50 02 E2 03 17 08 82 80 80 80 A0 92 04 22 05 08 92 21 10 64 "
            "28 81 80 80 80 A0 92 04 62 08 0A 06 08 01 12 02 'py' 68 01 "
            "DA 03 0A 5A 08 58 82 80 80 80 A0 92 04") +
        MAIN_INTERNED + bytes("0A 12 40 E8 07 50 02 68 02 5A 09 48 01 18 01 50 01 90 02 01") +
        bytes("0A 0B 40 DC 0B 50 02 68 02 5A 02 48 02");
    EXPECT_EQ(hex(file.contents()), hex(expected));

    write({ev(0, 100, KIND_RETURN, 0)});  // batches of one event
    write({ev(1ull << 63, 100, KIND_RETURN, 0)});
    EXPECT_EQ(hex(file.contents().substr(expected.size())),
              "0A 0A 40 00 50 02 68 02 5A 02 48 02 "
              "0A 13 40 80 80 80 80 80 80 80 80 80 01 50 02 68 02 5A 02 48 02");
}

// The same events in both encodings decode to the same timestamps: deltas of every varint
// length, three threads interleaved over batches, a step back in time, and a second process
// appending to the file in the middle of the first one's sequences, as a forked child does.
TEST_F(ProtoExporterTest, BothEncodingsDecodeToTheSameTimestamps) {
    // Per thread in time order, the threads interleaved; cut into three batches below.
    std::vector<Event> events;
    uint64_t now[3] = {0, 5, 1u << 20};
    for (unsigned bytes = 1; bytes <= 9; ++bytes) {
        for (uint64_t delta :
             {(uint64_t{1} << (7 * bytes)) - 1, uint64_t{1} << (7 * (bytes - 1))}) {
            uint32_t k = bytes % 3;
            events.push_back(ev(now[k] += delta, 100 + k, KIND_START, bytes % 2 ? 7 : 8));
            events.push_back(ev(now[k] += 1, 100 + k, KIND_RETURN, 0));
        }
    }
    events.push_back(ev(uint64_t{1} << 63, 103, KIND_START, 0));  // ten bytes from 0
    events.push_back(ev(now[0] - 10, 100, KIND_START, 0));        // back in time
    events.push_back(ev(now[0] + 10, 100, KIND_RETURN, 0));
    size_t third = events.size() / 3;
    std::vector<std::vector<Event>> parent{{events.begin(), events.begin() + third},
                                           {events.begin() + third, events.begin() + 2 * third},
                                           {events.begin() + 2 * third, events.end()}};
    std::vector<std::vector<Event>> child{
        {ev(now[1] + 3, 101, KIND_START, 0), ev(now[1] + 200, 101, KIND_RETURN, 0)}};

    auto decode = [&](bool incremental) {
        testing::TempTrace trace;
        ProtoExporter first(trace.open(), PID);
        ProtoExporter forked(trace.open(false), PID + 1);
        forked.set_sequence_base(PID + 1);
        first.set_incremental_timestamps(incremental);
        forked.set_incremental_timestamps(incremental);
        for (size_t i = 0; i < parent.size(); ++i) {
            EXPECT_TRUE(first.write_batch(parent[i], codes, names).ok());
            EXPECT_TRUE(first.flush().ok());
            if (i == 1) {
                EXPECT_TRUE(forked.write_batch(child[0], codes, names).ok());
                EXPECT_TRUE(forked.flush().ok());
            }
        }
        pbtest::Trace t = pbtest::check_stream(trace.contents());
        std::vector<std::string> out;
        for (const std::string& e : t.errors) out.push_back(e.substr(e.find(':')));  // no index
        for (const auto& [uuid, track] : t.tracks)
            for (const pbtest::Slice& slice : track.events)
                out.push_back(std::to_string(track.pid) + "/" + std::to_string(track.tid) + " " +
                              slice.phase + " " + std::to_string(slice.ts) + " " + slice.name);
        return out;
    };
    std::vector<std::string> absolute = decode(false);
    EXPECT_EQ(decode(true), absolute);
    EXPECT_EQ(absolute.size(), 1 + events.size() + 2);  // the step back is the one error
    EXPECT_EQ(absolute[0], ": time goes backwards");
}

// A batch is encoded on the assumption that its timestamps share the first one's varint length;
// timestamps of every other length, before and after, must still come out exactly.
TEST_F(ProtoExporterTest, TimestampsOfEveryLengthInOneBatch) {
    std::vector<uint64_t> stamps;
    for (unsigned bytes = 1; bytes <= 9; ++bytes) {
        stamps.push_back((uint64_t{1} << (7 * bytes)) - 1);  // the longest of `bytes` bytes
        stamps.push_back(uint64_t{1} << (7 * bytes));        // the shortest of one more
    }
    stamps.push_back(~uint64_t{0});
    // Batches led by a 4-, 5- and 6-byte timestamp (each has its own encoder), and by 1 byte.
    std::vector<Event> events;
    for (uint64_t first : {uint64_t{1} << 21, uint64_t{1} << 28, uint64_t{1} << 35, uint64_t{5}}) {
        std::vector<Event> batch{ev(first, 100, KIND_RETURN, 0)};
        for (uint64_t ts : stamps) batch.push_back(ev(ts, 100, KIND_RETURN, 0));
        write(batch);
        events.insert(events.end(), batch.begin(), batch.end());
    }
    // Time goes backwards within these batches, which a viewer would refuse: read the event
    // packets' timestamps straight off the stream.
    std::string stream = file.contents();
    std::vector<uint64_t> got;
    for (const pbtest::Message& packet : pbtest::packets_of(stream))
        if (packet.sub(pb::field::TRACK_EVENT))
            got.push_back(packet.u64(pb::field::TIMESTAMP).value());
    std::vector<uint64_t> expected;
    for (const Event& e : events) expected.push_back(e.ts);
    EXPECT_EQ(got, expected);

    // And byte for byte as batches of one event each, whose timestamp always has the length
    // the batch was encoded for: no timestamp takes more bytes than it needs.
    testing::TempTrace single;
    ProtoExporter one_by_one(single.open(), PID);
    for (const Event& e : events) ASSERT_TRUE(one_by_one.write_batch({&e, 1}, codes, names).ok());
    ASSERT_TRUE(one_by_one.flush().ok());
    EXPECT_EQ(hex(stream), hex(single.contents()));
}

TEST_F(ProtoExporterTest, DroppedEventsBecomeOneInstantOnTheProcessTrack) {
    ASSERT_TRUE(writer->finish(codes, names, 3).ok());
    EXPECT_EQ(hex(file.contents()),
              hex(PROCESS_PACKET + bytes("0A 3A 40 00 50 01 5A 34 48 03 58 81 80 80 80 A0 92 04 "
                                         "B2 01 02 'py' B2 01 07 'dropped' "
                                         "BA 01 18 'vespra: 3 events dropped'")));
    pbtest::Trace t = trace();
    const pbtest::Track* process = t.find(true, PID);
    ASSERT_NE(process, nullptr);
    ASSERT_EQ(process->events.size(), 1u);
    EXPECT_EQ(process->events[0].phase, 'I');
    EXPECT_EQ(process->events[0].categories, (std::vector<std::string>{"py", "dropped"}));
}

// The process track is named after what the process runs, with the pid in the track's name and
// the command line beside it. A name given later (a multiprocessing worker is named after the
// fork that started its run) describes the track again ahead of the next packets, once per
// change, and at the finish of a writer that wrote anything.
TEST_F(ProtoExporterTest, ProcessIsNamedAndNamedAgainOncePerChange) {
    process_name::set(ProcessName{"app.py", {"python", "app.py"}});
    write({});
    const std::string named = bytes(
        "0A 3B 40 00 50 01 E2 03 32 08 81 80 80 80 A0 92 04 12 0B 'app.py:4242' "
        "1A 1B 08 92 21 12 06 'python' 12 06 'app.py' 32 06 'app.py' 68 01");
    EXPECT_EQ(hex(file.contents()), hex(named));

    write({ev(1, 100, KIND_START, 0)});
    size_t first = file.contents().size();
    process_name::set(ProcessName{"ForkPoolWorker-3", {}});
    write({ev(2, 100, KIND_RETURN, 0)});
    std::string again = file.contents().substr(first);
    EXPECT_EQ(hex(again.substr(0, 4)), "0A 3F 40 00");  // the descriptor, ahead of the end
    write({ev(3, 100, KIND_START, 0)});                 // no change: not described again
    process_name::set(ProcessName{"ForkPoolWorker-3", {"python"}});
    ASSERT_TRUE(writer->finish(codes, names, 0).ok());
    writer.reset();

    pbtest::Trace t = trace();
    std::string stream = file.contents();
    size_t descriptors = 0;
    for (const pbtest::Message& p : pbtest::packets_of(stream)) {
        if (std::optional<pbtest::Message> d = p.sub(pb::field::TRACK_DESCRIPTOR))
            descriptors += d->sub(pb::field::TD_PROCESS).has_value();
    }
    EXPECT_EQ(descriptors, 3u);
    const pbtest::Track* process = t.find(true, PID);
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(process->name, "ForkPoolWorker-3:4242");
    EXPECT_EQ(process->process_name, "ForkPoolWorker-3");
    EXPECT_EQ(process->cmdline, (std::vector<std::string>{"python"}));
    EXPECT_EQ(t.find(false, PID, 100)->events.size(), 3u);  // events keep their tracks
    process_name::set(ProcessName{});
}

// Names are interned per thread sequence: once per (thread, code), with iids counting up from 1
// on each sequence; empty names stay empty and unknown codes get a placeholder. Each name comes
// with the code's source location under the same iid, and every begin refers to it.
TEST_F(ProtoExporterTest, NamesAndLocationsAreInternedOncePerThreadSequence) {
    write({ev(10, 100, KIND_START, 7), ev(11, 200, KIND_START, 7), ev(12, 100, KIND_START, 7),
           ev(13, 100, KIND_START, 8)});
    write({ev(14, 200, KIND_START, 2), ev(15, 200, KIND_RESUME, 99), ev(16, 100, KIND_START, 8)});
    pbtest::Trace t = trace();
    std::vector<std::string> seen;
    for (const auto& n : t.names) {
        std::string what = n.location ? n.location->file + ":" + std::to_string(n.location->line) +
                                            " " + n.location->function
                                      : n.name;
        seen.push_back(std::to_string(n.sequence_id) + ":" + std::to_string(n.iid) + ":" + what);
    }
    EXPECT_EQ(seen,
              (std::vector<std::string>{"2:1:seven", "2:1:s.py:70 seven", "3:1:seven",
                                        "3:1:s.py:70 seven", "2:2:eight", "2:2:e.py:80 eight",
                                        "3:2:", "3:2::0 ", "3:3:<unknown>", "3:3::0 <unknown>"}));
    std::vector<std::string> on_100;
    for (const auto& s : t.find(false, PID, 100)->events) {
        on_100.push_back(s.name);
        EXPECT_EQ(s.location->function, s.name);
        EXPECT_EQ(s.location->line, s.name == "seven" ? 70u : 80u);
    }
    EXPECT_EQ(on_100, (std::vector<std::string>{"seven", "seven", "eight", "eight"}));
}

// Return, yield and unwind end the innermost slice; start, resume, throw and any kind we never
// record begin one.
TEST_F(ProtoExporterTest, EventKindsMapToBeginsAndEnds) {
    write({ev(1, 100, KIND_START, 0), ev(2, 100, KIND_RESUME, 1), ev(3, 100, KIND_THROW, 0),
           ev(4, 100, 0, 1), ev(5, 100, 7, 0), ev(6, 100, KIND_UNWIND, 0),
           ev(7, 100, KIND_YIELD, 0), ev(8, 100, KIND_RETURN, 0), ev(9, 100, KIND_RETURN, 0),
           ev(10, 100, KIND_UNWIND, 0)});
    pbtest::Trace t = trace();
    const pbtest::Track* thread = t.find(false, PID, 100);
    ASSERT_NE(thread, nullptr);
    std::string phases, slices;
    for (const auto& s : thread->events) {
        phases += s.phase;
        slices += s.name + ",";
    }
    EXPECT_EQ(phases, "BBBBBEEEEE");
    EXPECT_EQ(slices, "main,helper,main,helper,main,main,helper,main,helper,main,");
    EXPECT_TRUE(thread->open.empty());
}

// A thread's name is read once, when its first event reaches the writer.
TEST_F(ProtoExporterTest, ThreadNamesAreTakenAtTheFirstEvent) {
    names.names[100] = "MainThread";
    write({ev(1, 100, KIND_START, 0), ev(2, 200, KIND_START, 0)});
    names.names[100] = "renamed";
    names.names[200] = "late";
    write({ev(3, 100, KIND_RETURN, 0), ev(4, 200, KIND_RETURN, 0)});
    pbtest::Trace t = trace();
    EXPECT_EQ(t.find(false, PID, 100)->name, "MainThread");
    EXPECT_EQ(t.find(false, PID, 200)->name, std::nullopt);
}

// Batches are gathered into writes of FLUSH_AT bytes; flush() writes what is left.
TEST_F(ProtoExporterTest, BatchesAreGatheredIntoLargeWrites) {
    std::vector<Event> batch;
    for (uint64_t i = 0; i < 4096; ++i) batch.push_back(ev(1000 + i, 100, KIND_RETURN, 0));
    size_t batches = 0;
    for (; file.contents().empty(); ++batches) {
        ASSERT_LT(batches, 1000u);
        ASSERT_TRUE(writer->write_batch(batch, codes, names).ok());
    }
    // 4096 packets of 13 bytes a batch (0A 0B 40, a two-byte timestamp, the eight-byte tail of an
    // end): the first write comes with the batch that passes the mark.
    EXPECT_EQ(batches, ProtoExporter::FLUSH_AT / (4096 * 13) + 1);
    size_t written = file.contents().size();
    EXPECT_GE(written, ProtoExporter::FLUSH_AT);
    ASSERT_TRUE(writer->write_batch(batch, codes, names).ok());
    EXPECT_EQ(file.contents().size(), written);
    ASSERT_TRUE(writer->flush().ok());
    EXPECT_EQ(file.contents().size(), written + 4096 * 13);
}

TEST_F(ProtoExporterTest, FlushFailuresAreReturned) {
    Result<SharedFile> full = SharedFile::open("/dev/full", /*truncate=*/false);
    ASSERT_TRUE(full.ok()) << full.error().text();
    ProtoExporter on_full(full.take(), PID);
    std::vector<Event> events{ev(1, 100, KIND_START, 0)};
    ASSERT_TRUE(on_full.write_batch(events, codes, names).ok());  // held back, not written
    Status st = on_full.flush();
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().os_errno(), ENOSPC);
    EXPECT_FALSE(on_full.finish(codes, names, 1).ok());
}

}  // namespace
}  // namespace vespra
