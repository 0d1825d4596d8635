// The message encoder, checked byte for byte on small messages and against the independent
// wire-format reader on full ones.
#include "proto/pb.h"

#include <gtest/gtest.h>

#include <limits>

#include "pb_reader.h"
#include "test_support.h"

namespace vespra::pb {
namespace {

using pbtest::Bytes;
using pbtest::hex;

template <class M>
std::string encode(const M& m) {
    std::string out;
    m.encode(out);
    EXPECT_EQ(out.size(), m.encoded_len()) << "encoded_len disagrees with encode";
    return out;
}

std::string framed(const TracePacket& p) {
    std::string out(1, '\x0A');
    put_varint(out, p.encoded_len());
    p.encode(out);
    return out;
}

TEST(Varint, GroupsOfSevenBitsLeastSignificantFirst) {
    struct Case {
        uint64_t value;
        std::string bytes;
    };
    const Case cases[] = {
        {0, Bytes()({0x00}).s},
        {1, Bytes()({0x01}).s},
        {127, Bytes()({0x7F}).s},
        {128, Bytes()({0x80, 0x01}).s},
        {300, Bytes()({0xAC, 0x02}).s},
        {16383, Bytes()({0xFF, 0x7F}).s},
        {16384, Bytes()({0x80, 0x80, 0x01}).s},
        {uint64_t{1} << 63,
         Bytes()({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}).s},
        {std::numeric_limits<uint64_t>::max(),
         Bytes()({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}).s},
    };
    for (const Case& c : cases) {
        Varint v(c.value);
        EXPECT_EQ(hex(std::string(v.as_slice())), hex(c.bytes)) << c.value;
        EXPECT_EQ(varint_size(c.value), c.bytes.size()) << c.value;
        std::string appended = "x";
        put_varint(appended, c.value);
        EXPECT_EQ(appended, "x" + c.bytes);
    }
    // Every size class boundary, read back by the test reader.
    for (int bits = 0; bits <= 64; ++bits) {
        for (uint64_t value : {bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1,
                               bits == 64 ? 0 : uint64_t{1} << bits}) {
            Varint v(value);
            pbtest::Wire w(v.as_slice(), 0);
            EXPECT_EQ(w.varint(), value);
            EXPECT_TRUE(w.done());
            EXPECT_EQ(v.len(), varint_size(value));
        }
    }
}

TEST(Presence, PresentZeroAndEmptyFieldsAreWrittenAbsentOnesAreNot) {
    TracePacket p;
    p.timestamp = 0;
    p.trusted_packet_sequence_id = 1;
    p.sequence_flags = 1;
    EXPECT_EQ(hex(encode(p)), "40 00 50 01 68 01");

    EXPECT_EQ(encode(TracePacket{}), "");
    EXPECT_EQ(encode(TrackEvent{}), "");

    EventName empty_name{0, ""};
    EXPECT_EQ(hex(encode(empty_name)), "08 00 12 00");

    // Empty nested messages are still present: key and a zero length.
    EXPECT_EQ(hex(encode(TracePacketDefaults{TrackEventDefaults{}})), "5A 00");
    EXPECT_EQ(encode(TracePacketDefaults{}), "");
    TracePacket with_empty;
    with_empty.data = TrackDescriptor{};
    with_empty.interned_data = InternedData{};
    EXPECT_EQ(hex(encode(with_empty)), "E2 03 00 62 00");
}

TEST(Integers, Int32IsSignExtendedAndUnsignedFieldsAreNot) {
    EXPECT_EQ(hex(encode(ThreadDescriptor{7, 9, std::nullopt})), "08 07 10 09");
    EXPECT_EQ(hex(encode(ProcessDescriptor{-1, std::nullopt})), "08 FF FF FF FF FF FF FF FF FF 01");
    // A thread id of 2^31 or more arrives as the negative int32 with the same bits.
    ThreadDescriptor high{1, static_cast<int32_t>(0x80000000u), std::nullopt};
    std::string bytes = encode(high);
    EXPECT_EQ(bytes.size(), 2u + 1 + 10);
    pbtest::ThreadDesc back = pbtest::detail::thread(bytes, 0);
    EXPECT_EQ(static_cast<uint32_t>(*back.tid), 0x80000000u);
    // uint32 values of 2^31 and more stay five bytes.
    TracePacket p;
    p.trusted_packet_sequence_id = 0xFFFFFFFFu;
    EXPECT_EQ(hex(encode(p)), "50 FF FF FF FF 0F");
}

TEST(Repeated, ScalarsAndStringsOneFieldPerElementInOrder) {
    TrackEvent e;
    e.type = TrackEvent::TYPE_INSTANT;
    e.categories = {"py", "dropped"};
    EXPECT_EQ(encode(e),
              Bytes()({0x48, 0x03, 0xB2, 0x01, 0x02})("py")({0xB2, 0x01, 0x07})("dropped").s);

    TrackEvent iids;
    iids.category_iids = {1, 300, 1};
    EXPECT_EQ(hex(encode(iids)), "18 01 18 AC 02 18 01");

    InternedData d;
    d.event_names = {{1, "a"}, {2, "b"}};
    d.event_categories = {{1, "py"}};
    EXPECT_EQ(hex(encode(d)), "0A 06 08 01 12 02 70 79 12 05 08 01 12 01 61 12 05 08 02 12 01 62");
}

// A packet with every field we write: the data choice sits between the sequence id and the
// interned data, whatever its field number, and lengths of every nesting level are right even
// when they need two varint bytes.
TEST(WireOrder, FullPacketsDecodeStrictlyWithEveryNestedLength) {
    TrackDescriptor desc;
    desc.uuid = (uint64_t{4242} << 32) + 2;
    desc.name = std::string(200, 'n');
    desc.process = ProcessDescriptor{4242, "python"};
    desc.thread = ThreadDescriptor{4242, -5, std::string(130, 't')};
    desc.parent_uuid = (uint64_t{4242} << 32) + 1;

    TracePacket p;
    p.timestamp = uint64_t{1} << 63;
    p.trusted_packet_sequence_id = 3;
    p.data = desc;
    p.interned_data = InternedData{{{1, "py"}}, {{1, "main"}, {2, std::string(300, 'x')}}};
    p.sequence_flags = TracePacket::SEQ_INCREMENTAL_STATE_CLEARED;
    p.trace_packet_defaults = TracePacketDefaults{TrackEventDefaults{desc.uuid}};

    std::string body = encode(p);
    EXPECT_EQ(hex(body.substr(0, 15)), "40 80 80 80 80 80 80 80 80 80 01 50 03 E2 03");
    std::string bytes = framed(p);
    EXPECT_EQ(bytes.size(), 1 + 2 + body.size());  // a packet of more than 127 bytes

    std::vector<pbtest::Packet> packets = pbtest::decode_stream(bytes);
    ASSERT_EQ(packets.size(), 1u);
    const pbtest::Packet& d = packets[0];
    EXPECT_EQ(d.timestamp, p.timestamp);
    EXPECT_EQ(d.sequence_id, 3u);
    ASSERT_TRUE(d.track_descriptor);
    EXPECT_EQ(d.track_descriptor->uuid, desc.uuid);
    EXPECT_EQ(d.track_descriptor->name, desc.name);
    EXPECT_EQ(d.track_descriptor->process->pid, 4242);
    EXPECT_EQ(d.track_descriptor->process->process_name, "python");
    EXPECT_EQ(d.track_descriptor->thread->tid, -5);
    EXPECT_EQ(d.track_descriptor->thread->thread_name, std::string(130, 't'));
    EXPECT_EQ(d.track_descriptor->parent_uuid, desc.parent_uuid);
    ASSERT_EQ(d.event_categories.size(), 1u);
    ASSERT_EQ(d.event_names.size(), 2u);
    EXPECT_EQ(d.event_names[1].iid, 2u);
    EXPECT_EQ(d.event_names[1].name->size(), 300u);
    EXPECT_EQ(d.sequence_flags, 1u);
    EXPECT_EQ(d.default_track_uuid, desc.uuid);

    TracePacket event_packet;
    event_packet.timestamp = 5;
    event_packet.trusted_packet_sequence_id = 1;
    TrackEvent e;
    e.category_iids = {1};
    e.type = TrackEvent::TYPE_SLICE_BEGIN;
    e.name_iid = 7;
    e.track_uuid = 99;
    e.categories = {"c"};
    e.name = "n";
    event_packet.data = e;
    event_packet.sequence_flags = TracePacket::SEQ_NEEDS_INCREMENTAL_STATE;
    EXPECT_EQ(hex(encode(event_packet)),
              "40 05 50 01 5A 10 18 01 48 01 50 07 58 63 B2 01 01 63 BA 01 01 6E 68 02");
    pbtest::Packet de = pbtest::decode_stream(framed(event_packet)).at(0);
    EXPECT_EQ(de.track_event->name_iid, 7u);
    EXPECT_EQ(de.track_event->track_uuid, 99u);
}

// The reader must reject what the encoder must never produce, or it could not catch it.
TEST(Reader, RejectsMalformedAndMisorderedInput) {
    auto rejects = [](const std::string& bytes) {
        EXPECT_THROW(pbtest::decode_stream(bytes), pbtest::DecodeError) << hex(bytes);
    };
    rejects(Bytes()({0x0A, 0x03, 0x40, 0x00}).s);              // truncated packet
    rejects(Bytes()({0x0A, 0x04, 0x50, 0x01, 0x40, 0x00}).s);  // timestamp after sequence
    rejects(Bytes()({0x0A, 0x04, 0x40, 0x00, 0x40, 0x00}).s);  // timestamp twice
    rejects(Bytes()({0x0A, 0x03, 0x40, 0x80, 0x00}).s);        // non-minimal varint
    rejects(Bytes()({0x0A, 0x02, 0x78, 0x01}).s);              // unknown field 15
    rejects(Bytes()({0x12, 0x00}).s);                          // not Trace.packet
    rejects(Bytes()({0x0A, 0x04, 0x1A, 0x02, 0x08, 0x01}).s);  // unknown packet field 3
    // pid -1 written as five bytes instead of sign-extended to ten
    rejects(
        Bytes()({0x0A, 0x0B, 0xE2, 0x03, 0x08, 0x1A, 0x06, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}).s);
    rejects(
        Bytes()({0x0A, 0x08, 0xE2, 0x03, 0x05, 0x1A, 0x03, 0x0A, 0x01, 0x00}).s);  // pid as bytes
    EXPECT_NO_THROW(pbtest::decode_stream(""));
}

}  // namespace
}  // namespace vespra::pb
