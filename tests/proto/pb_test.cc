// The message encoder, byte for byte; whole packets are checked through the writer's tests.
#include "proto/pb.h"

#include <gtest/gtest.h>

#include "pb_reader.h"

namespace vespra::pb {
namespace {

using pbtest::hex;

template <class M>
std::string encode(const M& m) {
    std::string out;
    m.encode(out);
    EXPECT_EQ(out.size(), m.encoded_len()) << "encoded_len disagrees with encode";
    return out;
}

TEST(Varint, SevenBitGroupsLeastSignificantFirstAtEverySize) {
    const std::pair<uint64_t, const char*> cases[] = {
        {0, "00"},      {127, "7F"},         {128, "80 01"},
        {300, "AC 02"}, {16384, "80 80 01"}, {~0ull, "FF FF FF FF FF FF FF FF FF 01"},
    };
    for (auto [value, bytes] : cases) {
        EXPECT_EQ(hex(Varint(value).as_slice()), bytes) << value;
        std::string appended = "x";
        put_varint(appended, value);
        EXPECT_EQ(hex(appended), "78 " + std::string(bytes));
    }
    for (int bits = 0; bits <= 64; ++bits) {
        for (uint64_t value :
             {bits == 64 ? ~0ull : (1ull << bits) - 1, bits == 64 ? 0 : 1ull << bits}) {
            std::string field = "\x08";
            put_varint(field, value);
            EXPECT_EQ(field.size(), 1 + varint_size(value)) << value;
            EXPECT_EQ(pbtest::Message(field).u64(1), value);
        }
    }
}

TEST(Integers, Int32IsSignExtendedUint32IsNot) {
    EXPECT_EQ(hex(encode(ProcessDescriptor{-1, {}, std::nullopt})),
              "08 FF FF FF FF FF FF FF FF FF 01");
    // A thread id of 2^31 or more travels as the negative int32 with the same bits.
    std::string high = encode(ThreadDescriptor{1, static_cast<int32_t>(0x80000000u), std::nullopt});
    EXPECT_EQ(static_cast<uint32_t>(*pbtest::Message(high).i32(2)), 0x80000000u);
    TracePacket p;
    p.trusted_packet_sequence_id = 0xFFFFFFFFu;
    EXPECT_EQ(hex(encode(p)), "50 FF FF FF FF 0F");
}

}  // namespace
}  // namespace vespra::pb
