// ProtoExporter's packets, byte for byte where the layout is fixed, and through the test reader
// where the behaviour is about which packets appear and when.
#include "proto/proto_exporter.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "pb_reader.h"
#include "test_support.h"

namespace vespra {
namespace {

using pbtest::Bytes;
using pbtest::ev;
using pbtest::FakeCodes;
using pbtest::FakeNames;
using pbtest::hex;

constexpr uint32_t PID = 4242;
constexpr uint64_t PROCESS_UUID = (uint64_t{PID} << 32) + 1;

// The process descriptor of pid 4242 with sequence base 0.
const std::string PROCESS_PACKET =
    Bytes()({0x0A, 0x2B, 0x40, 0x00, 0x50, 0x01, 0xE2, 0x03, 0x22, 0x08, 0x81, 0x80, 0x80, 0x80,
             0xA0, 0x92, 0x04, 0x12, 0x0B})("python:4242")(
        {0x1A, 0x0B, 0x08, 0x92, 0x21, 0x32, 0x06})("python")({0x68, 0x01})
        .s;

// Thread descriptor of the first thread (tid 100, no name): sequence 2, uuid PROCESS_UUID + 1.
const std::string FIRST_THREAD_PACKET =
    Bytes()({0x0A, 0x37, 0x40, 0x00, 0x50, 0x02, 0xE2, 0x03, 0x17,        // ts, seq, descriptor
             0x08, 0x82, 0x80, 0x80, 0x80, 0xA0, 0x92, 0x04,              //   uuid
             0x22, 0x05, 0x08, 0x92, 0x21, 0x10, 0x64,                    //   thread {pid, tid}
             0x28, 0x81, 0x80, 0x80, 0x80, 0xA0, 0x92, 0x04,              //   parent_uuid
             0x62, 0x08, 0x0A, 0x06, 0x08, 0x01, 0x12, 0x02, 0x70, 0x79,  // category 1 "py"
             0x68, 0x01,                                       // incremental state cleared
             0xDA, 0x03, 0x0A, 0x5A, 0x08,                     // defaults
             0x58, 0x82, 0x80, 0x80, 0x80, 0xA0, 0x92, 0x04})  //   track_uuid
        .s;

const std::string MAIN_INTERNED_ON_SEQ_2 =
    Bytes()({0x0A, 0x12, 0x40, 0x00, 0x50, 0x02, 0x62, 0x0A, 0x12, 0x08, 0x08, 0x01, 0x12, 0x04})(
        "main")({0x68, 0x02})
        .s;

class ProtoExporterTest : public ::testing::Test {
  protected:
    void SetUp() override { open(); }

    void open(uint32_t pid = PID, uint32_t base = 0) {
        Result<SharedFile> file = SharedFile::open(path_, /*truncate=*/true);
        ASSERT_TRUE(file.ok()) << file.error().text();
        writer_ = std::make_unique<ProtoExporter>(file.take(), pid);
        writer_->set_sequence_base(base);
    }

    void write(std::vector<Event> events) {
        Status st = writer_->write_batch(events, codes_, names_);
        ASSERT_TRUE(st.ok()) << st.error().text();
    }

    std::string contents() const { return pbtest::read_file(path_); }
    std::vector<pbtest::Packet> packets() const { return pbtest::decode_stream(contents()); }

    pbtest::TempDir dir_;
    std::string path_ = dir_.file("trace.pb");
    FakeCodes codes_{{0, "main"}, {1, "helper"}, {2, ""}, {7, "seven"}, {8, "eight"}};
    FakeNames names_;
    std::unique_ptr<ProtoExporter> writer_;
};

TEST_F(ProtoExporterTest, ProcessDescriptorComesFirstAndOnlyOnce) {
    EXPECT_EQ(contents(), "");  // opening writes nothing
    write({});
    EXPECT_EQ(hex(contents()), hex(PROCESS_PACKET));
    write({});
    EXPECT_EQ(contents().size(), PROCESS_PACKET.size());
    ASSERT_TRUE(writer_->finish(codes_, names_, 0).ok());
    EXPECT_EQ(contents().size(), PROCESS_PACKET.size());

    // A writer that gets neither a batch nor dropped events writes nothing at all.
    open();
    ASSERT_TRUE(writer_->finish(codes_, names_, 0).ok());
    writer_.reset();
    EXPECT_EQ(contents(), "");
}

TEST_F(ProtoExporterTest, FirstBeginAndEndOfTheFirstThread) {
    write({ev(1000, 100, KIND_START, 0), ev(1500, 100, KIND_RETURN, 0)});
    std::string expected =
        PROCESS_PACKET + FIRST_THREAD_PACKET + MAIN_INTERNED_ON_SEQ_2 +
        Bytes()({0x0A, 0x0F, 0x40, 0xE8, 0x07, 0x50, 0x02, 0x68, 0x02, 0x5A, 0x06, 0x48, 0x01, 0x18,
                 0x01, 0x50, 0x01})
            .s +
        Bytes()({0x0A, 0x0B, 0x40, 0xDC, 0x0B, 0x50, 0x02, 0x68, 0x02, 0x5A, 0x02, 0x48, 0x02}).s;
    EXPECT_EQ(hex(contents()), hex(expected));
}

TEST_F(ProtoExporterTest, DroppedEventsBecomeOneInstantOnTheProcessTrack) {
    ASSERT_TRUE(writer_->finish(codes_, names_, 3).ok());
    std::string name = "vespra: 3 events dropped";
    std::string expected =
        PROCESS_PACKET +
        Bytes()({0x0A, 0x3A, 0x40, 0x00, 0x50, 0x01, 0x5A, 0x34, 0x48, 0x03, 0x58,
                 0x81, 0x80, 0x80, 0x80, 0xA0, 0x92, 0x04, 0xB2, 0x01, 0x02})("py")(
            {0xB2, 0x01, 0x07})("dropped")({0xBA, 0x01, static_cast<int>(name.size())})(name)
            .s;
    EXPECT_EQ(hex(contents()), hex(expected));

    pbtest::Trace t = pbtest::check_stream(contents());
    ASSERT_TRUE(t.errors.empty()) << t.error_text();
    const pbtest::Track* process = t.process(PID);
    ASSERT_NE(process, nullptr);
    ASSERT_EQ(process->events.size(), 1u);
    EXPECT_EQ(process->events[0].phase, 'I');
    EXPECT_EQ(process->events[0].name, name);
    EXPECT_EQ(process->events[0].categories, (std::vector<std::string>{"py", "dropped"}));
}

TEST_F(ProtoExporterTest, TimestampsAreAbsoluteVarintsOfAnySize) {
    write({ev(0, 100, KIND_RETURN, 0), ev(uint64_t{1} << 63, 100, KIND_RETURN, 0)});
    std::vector<pbtest::Packet> ps = packets();
    ASSERT_EQ(ps.size(), 4u);  // process, thread, two ends
    std::string bytes = contents();
    EXPECT_EQ(hex(bytes.substr(ps[2].offset)),
              "0A 0A 40 00 50 02 68 02 5A 02 48 02 "
              "0A 13 40 80 80 80 80 80 80 80 80 80 01 50 02 68 02 5A 02 48 02");
}

// Names are interned per thread sequence: once per (thread, code), with iids counting up from 1
// on each sequence; empty names stay empty and unknown codes get a placeholder.
TEST_F(ProtoExporterTest, NamesAreInternedOncePerThreadSequence) {
    write({ev(10, 100, KIND_START, 7), ev(11, 200, KIND_START, 7), ev(12, 100, KIND_START, 7),
           ev(13, 100, KIND_START, 8)});
    write({ev(14, 200, KIND_START, 2), ev(15, 200, KIND_RESUME, 99), ev(16, 100, KIND_START, 8)});

    struct Interning {
        uint32_t seq;
        uint64_t iid;
        std::string name;
    };
    std::vector<Interning> seen;
    std::vector<const pbtest::Packet*> begins_of_7_on_100;
    std::vector<pbtest::Packet> ps = packets();
    for (const auto& p : ps) {
        for (const auto& n : p.event_names) seen.push_back({*p.sequence_id, *n.iid, *n.name});
        if (p.track_event && p.sequence_id == 2u && p.track_event->name_iid == 1u) {
            begins_of_7_on_100.push_back(&p);
        }
    }
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ((std::vector<std::string>{seen[0].name, seen[1].name, seen[2].name, seen[3].name,
                                        seen[4].name}),
              (std::vector<std::string>{"seven", "seven", "eight", "", "<unknown>"}));
    EXPECT_EQ(seen[0].seq, 2u);
    EXPECT_EQ(seen[1].seq, 3u);
    EXPECT_EQ(seen[2].seq, 2u);
    EXPECT_EQ(
        (std::vector<uint64_t>{seen[0].iid, seen[1].iid, seen[2].iid, seen[3].iid, seen[4].iid}),
        (std::vector<uint64_t>{1, 1, 2, 2, 3}));

    // The repeated begin is the same packet apart from its timestamp.
    ASSERT_EQ(begins_of_7_on_100.size(), 2u);
    std::string bytes = contents();
    std::string first = bytes.substr(begins_of_7_on_100[0]->offset, begins_of_7_on_100[0]->size);
    std::string second = bytes.substr(begins_of_7_on_100[1]->offset, begins_of_7_on_100[1]->size);
    EXPECT_EQ(first[3], 10);
    EXPECT_EQ(second[3], 12);
    first[3] = second[3] = 0;
    EXPECT_EQ(hex(first), hex(second));

    pbtest::Trace t = pbtest::check_stream(bytes);
    EXPECT_TRUE(t.errors.empty()) << t.error_text();
}

// Return, yield and unwind end the innermost slice and share the thread's one end tail; start,
// resume, throw and any kind we never record begin one.
TEST_F(ProtoExporterTest, EventKindsMapToBeginsAndEnds) {
    write({ev(1, 100, KIND_START, 0), ev(2, 100, KIND_RESUME, 1), ev(3, 100, KIND_THROW, 0),
           ev(4, 100, 0, 1), ev(5, 100, 7, 0), ev(6, 100, KIND_UNWIND, 0),
           ev(7, 100, KIND_YIELD, 0), ev(8, 100, KIND_RETURN, 0), ev(9, 100, KIND_RETURN, 0),
           ev(10, 100, KIND_UNWIND, 0)});
    pbtest::Trace t = pbtest::check_stream(contents());
    ASSERT_TRUE(t.errors.empty()) << t.error_text();
    const pbtest::Track* thread = t.thread(PID, 100);
    ASSERT_NE(thread, nullptr);
    std::string phases, names;
    for (const auto& s : thread->events) {
        phases += s.phase;
        names += s.name + ",";
    }
    EXPECT_EQ(phases, "BBBBBEEEEE");
    EXPECT_EQ(names, "main,helper,main,helper,main,main,helper,main,helper,main,");
    EXPECT_EQ(thread->open, 0u);

    std::string bytes = contents();
    for (const auto& p : t.packets) {
        if (!p.track_event || p.track_event->type != 2u) continue;
        EXPECT_EQ(hex(bytes.substr(p.offset + p.size - 8, 8)), "50 02 68 02 5A 02 48 02");
    }
}

// Sequence ids and track uuids derive from the sequence base and the pid, in order of the
// threads' first events.
TEST_F(ProtoExporterTest, IdentifiersFollowBaseAndFirstAppearance) {
    const uint32_t base = 5151;
    open(5151, base);
    const uint32_t high_tid = 0x80000001u;
    write({ev(1, 30, KIND_START, 0), ev(2, high_tid, KIND_START, 0), ev(3, 10, KIND_START, 0)});
    write({ev(4, 0xFFFFFFFFu, KIND_START, 0), ev(5, 30, KIND_RETURN, 0)});

    pbtest::Trace t = pbtest::check_stream(contents());
    ASSERT_TRUE(t.errors.empty()) << t.error_text();
    const uint64_t process_uuid = (uint64_t{5151} << 32) + 1;
    const pbtest::Track* process = t.process(5151);
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(process->uuid, process_uuid);
    EXPECT_EQ(process->sequence_id, base * 128 + 1);
    EXPECT_EQ(process->name, "python:5151");
    EXPECT_EQ(process->descriptor_index, 0u);

    const uint32_t tids[] = {30, high_tid, 10, 0xFFFFFFFFu};
    for (uint32_t k = 0; k < 4; ++k) {
        const pbtest::Track* thread = t.thread(5151, static_cast<int32_t>(tids[k]));
        ASSERT_NE(thread, nullptr) << tids[k];
        EXPECT_EQ(thread->uuid, process_uuid + 1 + k);
        EXPECT_EQ(thread->parent_uuid, process_uuid);
        EXPECT_EQ(thread->sequence_id, base * 128 + 2 + k);
        EXPECT_EQ(thread->events.size(), k == 0 ? 2u : 1u);
    }
    // Thread ids of 2^31 and more travel as negative int32: ten varint bytes.
    std::string bytes = contents();
    EXPECT_NE(
        bytes.find(Bytes()({0x10, 0x81, 0x80, 0x80, 0x80, 0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}).s),
        std::string::npos);
}

// A thread's name is read once, when its first event reaches the writer.
TEST_F(ProtoExporterTest, ThreadNamesAreTakenAtTheFirstEvent) {
    names_.names_[100] = "MainThread";
    write({ev(1, 100, KIND_START, 0), ev(2, 200, KIND_START, 0)});
    names_.names_[100] = "renamed";
    names_.names_[200] = "late";
    write({ev(3, 100, KIND_RETURN, 0), ev(4, 200, KIND_RETURN, 0), ev(5, 300, KIND_START, 0)});

    pbtest::Trace t = pbtest::check_stream(contents());
    ASSERT_TRUE(t.errors.empty()) << t.error_text();
    EXPECT_EQ(t.thread(PID, 100)->name, "MainThread");
    EXPECT_EQ(t.thread(PID, 200)->name, std::nullopt);
    EXPECT_EQ(t.thread(PID, 300)->name, std::nullopt);
    EXPECT_EQ(contents().find("renamed"), std::string::npos);
    EXPECT_EQ(contents().find("late"), std::string::npos);
}

TEST_F(ProtoExporterTest, FlushFailuresAreReturned) {
    Result<SharedFile> full = SharedFile::open("/dev/full", /*truncate=*/false);
    if (!full.ok()) GTEST_SKIP() << "no /dev/full";
    ProtoExporter writer(full.take(), PID);
    std::vector<Event> events{ev(1, 100, KIND_START, 0)};
    Status st = writer.write_batch(events, codes_, names_);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().kind(), IoError::Kind::Os);
    EXPECT_EQ(st.error().os_errno(), ENOSPC);
    Status fin = writer.finish(codes_, names_, 1);
    EXPECT_FALSE(fin.ok());
}

}  // namespace
}  // namespace vespra
