// Marks: their payload through the batch and the serializer, and the nesting of spans with the
// function slices around them.
#include "core/marks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "core/evqueue.h"
#include "test_util.h"

namespace vespra {
namespace {

using testing::drain_all;
using testing::identity_queue;
using testing::on_new_thread;
using testing::record_run;

std::string shown(const marks::Arg& a) {
    const marks::Value& v = a.value;
    std::string value = v.tag == marks::TAG_INT      ? std::to_string(v.i)
                        : v.tag == marks::TAG_UINT   ? std::to_string(v.u)
                        : v.tag == marks::TAG_DOUBLE ? std::to_string(v.d)
                                                     : std::string(v.text);
    return std::to_string(a.name) + ":" + std::to_string(int{v.tag}) + ":" + value;
}

TEST(Payload, SurvivesTheBatchAndTheSerializerWhereverTheBatchEnds) {
    marks::PayloadBuilder b;
    b.arg_name(7), b.int64(-5), b.arg_name(8), b.uint64(UINT64_MAX), b.arg_name(9), b.float64(0.25);
    b.arg_name(10), b.string("h\xc3\xa9llo"), b.arg_name(11), b.none(), b.arg_name(12);
    b.boolean(true);
    const std::string payload(b.finish());
    // The mark comes right before the end of a batch: it must move whole into the next one.
    for (uint32_t before : {0u, 1000u, 1020u, 1023u}) {
        auto queue = identity_queue();
        std::atomic<uint32_t> in_flight{0};
        on_new_thread([&] {
            HOT.tid = 9;
            record_run(*queue, before, 1000);
            record_mark(*queue, 5000, pack_word(KIND_INSTANT, 3), payload, in_flight);
            record(*queue, 5001, pack_word(KIND_START, 4));
            tls::flush_current_thread(queue->id());
        });
        std::vector<Event> events = drain_all(*queue);
        ASSERT_EQ(events.size(), before + 1 + marks::slots_for(payload) + 1) << before;
        EXPECT_EQ(events[before], (Event{5000, 9, pack_word(KIND_INSTANT, 3)}));
        marks::Payload got = marks::gather(events, before);
        EXPECT_EQ(got.next, events.size() - 1);
        EXPECT_EQ(events.back(), (Event{5001, 9, pack_word(KIND_START, 4)}));

        marks::PayloadReader reader(got.bytes);
        std::vector<std::string> args;
        for (marks::Arg arg; reader.next_arg(&arg);) args.push_back(shown(arg));
        // The zero padding of the last slot is no argument.
        EXPECT_EQ(args,
                  (std::vector<std::string>{"7:3:-5", "8:4:18446744073709551615", "9:5:0.250000",
                                            "10:6:h\xc3\xa9llo", "11:0:", "12:2:"}));
    }
}

TEST(Payload, LongStringsAreCutAtACharacterAndTheRestStaysReadable) {
    marks::PayloadBuilder b;
    b.arg_name(1);
    b.string(std::string(marks::MAX_PAYLOAD, 'a') + "\xc3\xa9");
    EXPECT_FALSE(b.fits(1));
    std::string payload(b.finish());
    EXPECT_LE(marks::slots_for(payload), marks::MAX_SLOTS);
    marks::PayloadReader reader(payload);
    marks::Arg arg;
    ASSERT_TRUE(reader.next_arg(&arg));
    EXPECT_LT(arg.value.text.size(), marks::MAX_PAYLOAD);
    EXPECT_EQ(arg.value.text.find('\xc3'), std::string_view::npos);  // no half character
}

// ---- nesting ---------------------------------------------------------------------------------

struct Shown {
    char ph;  // B or E (function or span), I (anything else)
    uint32_t code;
    uint64_t ts;
    bool operator==(const Shown&) const = default;
};
void PrintTo(const Shown& s, std::ostream* os) { *os << s.ph << s.code << "@" << s.ts; }

std::vector<Shown> nest(marks::MarkNesting& nesting, std::vector<Event> in) {
    nesting.apply(1, in, 0);
    std::vector<Shown> out;
    for (const Event& e : in) {
        uint8_t k = kind_of(e.packed);
        out.push_back(Shown{OPENS_SLICE[k]    ? 'B'
                            : CLOSES_SLICE[k] ? 'E'
                                              : 'I',
                            code_of(e.packed), e.ts});
    }
    return out;
}

Event ev(uint64_t ts, uint8_t kind, uint32_t code) { return Event{ts, 1, pack_word(kind, code)}; }

// Batches of one thread in, what the nesting makes of each; after the last, it follows no
// thread any more.
TEST(Nesting, SpansNestWithTheFramesAroundThem) {
    const struct {
        const char* name;
        std::vector<std::vector<Event>> in;
        std::vector<std::vector<Shown>> want;
    } CASES[] = {
        {"well nested spans pass unchanged",
         {{ev(1, KIND_START, 1), ev(2, KIND_SPAN_BEGIN, 9), ev(3, KIND_START, 2),
           ev(4, KIND_RETURN, 2), ev(5, KIND_INSTANT, 8), ev(6, KIND_SPAN_END, 9),
           ev(7, KIND_RETURN, 1)}},
         {{{'B', 1, 1},
           {'B', 9, 2},
           {'B', 2, 3},
           {'E', 2, 4},
           {'I', 8, 5},
           {'E', 9, 6},
           {'E', 1, 7}}}},
        // gen (code 3) opens span 9 and yields; it resumes in a later batch, inside another
        // call, and the span ends inside it.
        {"a frame that yields ends its span and resuming opens it again",
         {{ev(1, KIND_START, 3), ev(2, KIND_SPAN_BEGIN, 9), ev(3, KIND_YIELD, 3),
           ev(4, KIND_START, 5)},
          {ev(5, KIND_RESUME, 3), ev(6, KIND_SPAN_END, 9), ev(7, KIND_RETURN, 3),
           ev(8, KIND_RETURN, 5)}},
         {{{'B', 3, 1}, {'B', 9, 2}, {'E', 9, 3}, {'E', 3, 3}, {'B', 5, 4}},
          {{'B', 3, 5}, {'B', 9, 5}, {'E', 9, 6}, {'E', 3, 7}, {'E', 5, 8}}}},
        // f opens span 9 and unwinds without ending it; the late end matches nothing and goes.
        {"a span left open by its frame ends with the frame",
         {{ev(1, KIND_START, 1), ev(2, KIND_SPAN_BEGIN, 9), ev(3, KIND_START, 2),
           ev(4, KIND_UNWIND, 2), ev(5, KIND_UNWIND, 1), ev(6, KIND_SPAN_END, 9)}},
         {{{'B', 1, 1}, {'B', 9, 2}, {'B', 2, 3}, {'E', 2, 4}, {'E', 9, 5}, {'E', 1, 5}}}},
        {"a span ended inside a deeper call waits for that call",
         {{ev(1, KIND_SPAN_BEGIN, 9), ev(2, KIND_START, 2), ev(3, KIND_SPAN_END, 9),
           ev(4, KIND_RETURN, 2), ev(5, KIND_SPAN_END, 9)}},
         {{{'B', 9, 1}, {'B', 2, 2}, {'E', 2, 4}, {'E', 9, 4}}}},
        // Two frames of code 3 each open span 9 and yield; they resume alternately, each ending
        // its span and returning.
        {"interleaved generators of one code",
         {{ev(1, KIND_START, 3), ev(2, KIND_SPAN_BEGIN, 9), ev(3, KIND_YIELD, 3),
           ev(4, KIND_START, 3), ev(5, KIND_SPAN_BEGIN, 9), ev(6, KIND_YIELD, 3),
           ev(7, KIND_RESUME, 3), ev(8, KIND_SPAN_END, 9), ev(9, KIND_RETURN, 3),
           ev(10, KIND_RESUME, 3), ev(11, KIND_SPAN_END, 9), ev(12, KIND_RETURN, 3)}},
         {{{'B', 3, 1},
           {'B', 9, 2},
           {'E', 9, 3},
           {'E', 3, 3},
           {'B', 3, 4},
           {'B', 9, 5},
           {'E', 9, 6},
           {'E', 3, 6},
           {'B', 3, 7},
           {'B', 9, 7},
           {'E', 9, 8},
           {'E', 3, 9},
           {'B', 3, 10},
           {'B', 9, 10},
           {'E', 9, 11},
           {'E', 3, 12}}}},
    };
    for (const auto& c : CASES) {
        SCOPED_TRACE(c.name);
        marks::MarkNesting nesting;
        for (size_t i = 0; i < c.in.size(); ++i) EXPECT_EQ(nest(nesting, c.in[i]), c.want[i]);
        EXPECT_EQ(nesting.threads_followed(), 0u);
    }
}

TEST(Nesting, PayloadStaysWithItsHeaderThroughASuspension) {
    marks::MarkNesting nesting;
    Event payload{0x01020304, 1, pack_word(KIND_PAYLOAD, 0x050607)};
    std::vector<Event> in = {ev(1, KIND_START, 3), ev(2, KIND_SPAN_BEGIN, 9), payload,
                             ev(3, KIND_YIELD, 3), ev(4, KIND_RESUME, 3)};
    nesting.apply(1, in, 0);
    // start, begin + payload, synthetic end, yield, resume, begin again + payload
    ASSERT_EQ(in.size(), 8u);
    EXPECT_EQ(in[6], ev(4, KIND_SPAN_BEGIN, 9));
    EXPECT_EQ(in[7], payload);
}

}  // namespace
}  // namespace vespra
