// ProtoExporter's packets, byte for byte where the layout is fixed, and read back by the
// production reader where the behaviour is about which packets appear and when.
#include "proto/proto_exporter.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../core/test_util.h"
#include "pb_reader.h"
#include "proto/proto_reader.h"

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
    // What the reader reports of the file, begins and ends alone if `events_only`.
    std::vector<std::string> read(bool events_only = false) {
        testing::LogVisitor v;
        ProtoReader reader(v);
        std::string stream = file.contents();
        Result<trace::StreamReport> r = trace::read_bytes(testing::bytes_of(stream), reader);
        EXPECT_TRUE(r.ok() && !r.value().cut()) << (r.ok() ? "cut" : r.error().text());
        if (events_only) std::erase_if(v.log, [](auto& l) { return l[0] != 'B' && l[0] != 'E'; });
        return v.log;
    }
    // The packets' `field` messages that hold a `sub` field.
    size_t count(uint32_t field, uint32_t sub) {
        size_t n = 0;
        std::string stream = file.contents();
        for (const pbtest::Message& p : pbtest::packets_of(stream))
            if (std::optional<pbtest::Message> m = p.sub(field)) n += m->all(sub, false).size();
        return n;
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
    EXPECT_EQ(read(true), (std::vector<std::string>{"B 0 main@m.py:3 1000", "E 0 1500",
                                                    "B 0 main@m.py:3 1400", "E 0 1501"}));
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
    process_name::set(ProcessName{"ForkPoolWorker-3", {}});
    write({ev(2, 100, KIND_RETURN, 0)});
    write({ev(3, 100, KIND_START, 0)});  // no change: not described again
    process_name::set(ProcessName{"ForkPoolWorker-3", {"python"}});
    ASSERT_TRUE(writer->finish(codes, names, 0).ok());
    writer.reset();

    EXPECT_EQ(count(pb::field::TRACK_DESCRIPTOR, pb::field::TD_PROCESS), 3u);
    EXPECT_EQ(read(), (std::vector<std::string>{
                          "process 4242 app.py", "thread 4242/100", "B 0 main@m.py:3 1",
                          "process 4242 ForkPoolWorker-3", "E 0 2", "B 0 main@m.py:3 3",
                          "process 4242 ForkPoolWorker-3"}));
    process_name::set(ProcessName{});
}

// Names are interned per thread sequence: once per (thread, code), with iids counting up from 1
// on each sequence; empty names stay empty and unknown codes get a placeholder. Each name comes
// with the code's source location under the same iid, and every begin refers to it.
TEST_F(ProtoExporterTest, NamesAndLocationsAreInternedOncePerThreadSequence) {
    write({ev(10, 100, KIND_START, 7), ev(11, 200, KIND_START, 7), ev(12, 100, KIND_START, 7),
           ev(13, 100, KIND_START, 8)});
    write({ev(14, 200, KIND_START, 2), ev(15, 200, KIND_RESUME, 99), ev(16, 100, KIND_START, 8)});
    EXPECT_EQ(count(pb::field::INTERNED_DATA, 2), 5u);  // names: 2 on thread 100, 3 on 200
    EXPECT_EQ(count(pb::field::INTERNED_DATA, 4), 5u);  // and their locations
    EXPECT_EQ(read(true), (std::vector<std::string>{"B 0 seven@s.py:70 10", "B 1 seven@s.py:70 11",
                                                    "B 0 seven@s.py:70 12", "B 0 eight@e.py:80 13",
                                                    "B 1 @:0 14", "B 1 <unknown>@:0 15",
                                                    "B 0 eight@e.py:80 16"}));
}

// Return, yield and unwind end the innermost slice; start, resume, throw and any kind we never
// record begin one.
TEST_F(ProtoExporterTest, EventKindsMapToBeginsAndEnds) {
    write({ev(1, 100, KIND_START, 0), ev(2, 100, KIND_RESUME, 1), ev(3, 100, KIND_THROW, 0),
           ev(4, 100, 0, 1), ev(5, 100, 7, 0), ev(6, 100, KIND_UNWIND, 0),
           ev(7, 100, KIND_YIELD, 0), ev(8, 100, KIND_RETURN, 0), ev(9, 100, KIND_RETURN, 0),
           ev(10, 100, KIND_UNWIND, 0)});
    EXPECT_EQ(read(true),
              (std::vector<std::string>{"B 0 main@m.py:3 1", "B 0 helper@:0 2", "B 0 main@m.py:3 3",
                                        "B 0 helper@:0 4", "B 0 main@m.py:3 5", "E 0 6", "E 0 7",
                                        "E 0 8", "E 0 9", "E 0 10"}));
}

// A thread's name is read once, when its first event reaches the writer.
TEST_F(ProtoExporterTest, ThreadNamesAreTakenAtTheFirstEvent) {
    names.names[100] = "MainThread";
    write({ev(1, 100, KIND_START, 0), ev(2, 200, KIND_START, 0)});
    names.names[100] = "renamed";
    names.names[200] = "late";
    write({ev(3, 100, KIND_RETURN, 0), ev(4, 200, KIND_RETURN, 0)});
    std::vector<std::string> log = read();
    std::erase_if(log, [](const std::string& line) { return !line.starts_with("name "); });
    EXPECT_EQ(log, (std::vector<std::string>{"name 0 MainThread"}));
}

}  // namespace
}  // namespace vespra
