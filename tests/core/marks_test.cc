// Marks: their payload through the batch and the serializer, and the nesting of spans with the
// function slices around them.
#include "core/marks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "core/evqueue.h"
#include "core/slice_filter.h"
#include "test_util.h"

namespace vespra {
namespace {

using testing::drain_all;
using testing::identity_queue;
using testing::on_new_thread;
using testing::record_run;

std::string args_payload() {
    marks::PayloadBuilder b;
    b.arg_name(7);
    b.int64(-5);
    b.arg_name(8);
    b.uint64(UINT64_MAX);
    b.arg_name(9);
    b.float64(0.25);
    b.arg_name(10);
    b.string("h\xc3\xa9llo");
    b.arg_name(11);
    b.none();
    b.arg_name(12);
    b.boolean(true);
    return std::string(b.finish());
}

TEST(Payload, SurvivesTheBatchAndTheSerializerWhereverTheBatchEnds) {
    // The mark comes right before the end of a batch: it must move whole into the next one.
    for (uint32_t before : {0u, 1000u, 1020u, 1023u}) {
        auto queue = identity_queue();
        std::string payload = args_payload();
        std::atomic<uint32_t> in_flight{0};
        on_new_thread([&] {
            record_run(*queue, before, 1000);
            record_mark(*queue, 5000, pack_word(KIND_INSTANT, 3), payload, in_flight);
            record(*queue, 5001, pack_word(KIND_START, 4));
            tls::flush_current_thread(queue->id());
        });
        std::vector<Event> events = drain_all(*queue);
        ASSERT_EQ(events.size(), before + 1 + marks::slots_for(payload) + 1) << before;
        const Event& header = events[before];
        EXPECT_EQ(header.ts, 5000u);
        EXPECT_EQ(kind_of(header.packed), KIND_INSTANT);
        marks::Payload got = marks::gather(events, before);
        EXPECT_EQ(got.next, events.size() - 1);
        EXPECT_EQ(kind_of(events.back().packed), KIND_START);
        EXPECT_EQ(events.back().ts, 5001u);

        marks::PayloadReader reader(got.bytes);
        marks::Arg arg;
        ASSERT_TRUE(reader.next_arg(&arg));
        EXPECT_EQ(arg.name, 7u);
        EXPECT_EQ(arg.value.i, -5);
        ASSERT_TRUE(reader.next_arg(&arg));
        EXPECT_EQ(arg.value.tag, marks::TAG_UINT);
        EXPECT_EQ(arg.value.u, UINT64_MAX);
        ASSERT_TRUE(reader.next_arg(&arg));
        EXPECT_EQ(arg.value.d, 0.25);
        ASSERT_TRUE(reader.next_arg(&arg));
        EXPECT_EQ(arg.value.text, "h\xc3\xa9llo");
        ASSERT_TRUE(reader.next_arg(&arg));
        EXPECT_EQ(arg.value.tag, marks::TAG_NONE);
        ASSERT_TRUE(reader.next_arg(&arg));
        EXPECT_EQ(arg.value.tag, marks::TAG_TRUE);
        EXPECT_EQ(arg.name, 12u);
        EXPECT_FALSE(reader.next_arg(&arg));  // the zero padding of the last slot is no argument
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

std::vector<Shown> nest(marks::MarkNesting& nesting, std::vector<Event> in) {
    nesting.apply(1, in, 0);
    std::vector<Shown> out;
    for (const Event& e : in) {
        uint8_t k = kind_of(e.packed);
        char ph =
            k == KIND_START || k == KIND_RESUME || k == KIND_THROW || k == KIND_SPAN_BEGIN  ? 'B'
            : k == KIND_RETURN || k == KIND_YIELD || k == KIND_UNWIND || k == KIND_SPAN_END ? 'E'
                                                                                            : 'I';
        out.push_back(Shown{ph, code_of(e.packed), e.ts});
    }
    return out;
}

Event ev(uint64_t ts, uint8_t kind, uint32_t code) { return Event{ts, 1, pack_word(kind, code)}; }

// Every end closes the innermost open begin of the same code.
bool balanced(const std::vector<Shown>& shown) {
    std::vector<uint32_t> open;
    for (const Shown& s : shown) {
        if (s.ph == 'B') open.push_back(s.code);
        if (s.ph != 'E') continue;
        if (open.empty() || open.back() != s.code) return false;
        open.pop_back();
    }
    return true;
}

TEST(Nesting, WellNestedSpansPassUnchangedAndLeaveNothingFollowed) {
    marks::MarkNesting nesting;
    std::vector<Event> in = {ev(1, KIND_START, 1),   ev(2, KIND_SPAN_BEGIN, 9),
                             ev(3, KIND_START, 2),   ev(4, KIND_RETURN, 2),
                             ev(5, KIND_INSTANT, 8), ev(6, KIND_SPAN_END, 9),
                             ev(7, KIND_RETURN, 1)};
    std::vector<Event> copy = in;
    nesting.apply(1, copy, 0);
    ASSERT_EQ(copy.size(), in.size());
    for (size_t i = 0; i < in.size(); ++i) EXPECT_EQ(copy[i].packed, in[i].packed);
    EXPECT_EQ(nesting.threads_followed(), 0u);
}

TEST(Nesting, AFrameThatYieldsEndsItsSpanAndResumingOpensItAgain) {
    marks::MarkNesting nesting;
    // gen (code 3) opens span 9 and yields; later it resumes, and the span ends inside it.
    auto first = nest(nesting, {ev(1, KIND_START, 3), ev(2, KIND_SPAN_BEGIN, 9),
                                ev(3, KIND_YIELD, 3), ev(4, KIND_START, 5)});
    EXPECT_EQ(first, (std::vector<Shown>{
                         {'B', 3, 1}, {'B', 9, 2}, {'E', 9, 3}, {'E', 3, 3}, {'B', 5, 4}}));
    EXPECT_EQ(nesting.threads_followed(), 1u);
    // The resumption comes in a later batch, inside another call.
    auto second = nest(nesting, {ev(5, KIND_RESUME, 3), ev(6, KIND_SPAN_END, 9),
                                 ev(7, KIND_RETURN, 3), ev(8, KIND_RETURN, 5)});
    EXPECT_EQ(second, (std::vector<Shown>{
                          {'B', 3, 5}, {'B', 9, 5}, {'E', 9, 6}, {'E', 3, 7}, {'E', 5, 8}}));
    EXPECT_EQ(nesting.threads_followed(), 0u);
}

TEST(Nesting, ASpanLeftOpenByItsFrameEndsWithTheFrame) {
    marks::MarkNesting nesting;
    // f opens span 9 and returns without ending it; the late end matches nothing and goes.
    auto shown =
        nest(nesting, {ev(1, KIND_START, 1), ev(2, KIND_SPAN_BEGIN, 9), ev(3, KIND_START, 2),
                       ev(4, KIND_UNWIND, 2), ev(5, KIND_UNWIND, 1), ev(6, KIND_SPAN_END, 9)});
    EXPECT_TRUE(balanced(shown));
    EXPECT_EQ(shown.size(), 6u);
    EXPECT_EQ(shown[4], (Shown{'E', 9, 5}));
    EXPECT_EQ(shown[5], (Shown{'E', 1, 5}));
}

TEST(Nesting, ASpanEndedInsideADeeperCallWaitsForThatCall) {
    marks::MarkNesting nesting;
    auto shown =
        nest(nesting, {ev(1, KIND_SPAN_BEGIN, 9), ev(2, KIND_START, 2), ev(3, KIND_SPAN_END, 9),
                       ev(4, KIND_RETURN, 2), ev(5, KIND_SPAN_END, 9)});
    EXPECT_EQ(shown, (std::vector<Shown>{{'B', 9, 1}, {'B', 2, 2}, {'E', 2, 4}, {'E', 9, 4}}));
}

TEST(Nesting, InterleavedGeneratorsOfOneCodeStayBalanced) {
    marks::MarkNesting nesting;
    std::vector<Event> in;
    uint64_t t = 0;
    // Two frames of code 3 each open span 9 and yield; they resume alternately, each ending its
    // span and returning in its second stretch.
    for (int g = 0; g < 2; ++g) {
        in.push_back(ev(++t, KIND_START, 3));
        in.push_back(ev(++t, KIND_SPAN_BEGIN, 9));
        in.push_back(ev(++t, KIND_YIELD, 3));
    }
    for (int g = 0; g < 2; ++g) {
        in.push_back(ev(++t, KIND_RESUME, 3));
        in.push_back(ev(++t, KIND_SPAN_END, 9));
        in.push_back(ev(++t, KIND_RETURN, 3));
    }
    auto shown = nest(nesting, in);
    EXPECT_TRUE(balanced(shown));
    EXPECT_EQ(nesting.threads_followed(), 0u);
}

TEST(Nesting, PayloadStaysWithItsHeaderThroughASuspension) {
    marks::MarkNesting nesting;
    Event payload{0x01020304, 1, pack_word(KIND_PAYLOAD, 0x050607)};
    std::vector<Event> in = {ev(1, KIND_START, 3), ev(2, KIND_SPAN_BEGIN, 9), payload,
                             ev(3, KIND_YIELD, 3), ev(4, KIND_RESUME, 3)};
    nesting.apply(1, in, 0);
    // start, begin + payload, synthetic end, yield, resume, begin again + payload
    ASSERT_EQ(in.size(), 8u);
    EXPECT_EQ(kind_of(in[6].packed), KIND_SPAN_BEGIN);
    EXPECT_EQ(in[6].ts, 4u);
    EXPECT_EQ(in[7].ts, payload.ts);
    EXPECT_EQ(in[7].packed, payload.packed);
}

TEST(Nesting, SpansStillOpenAtTheStopEndAsSpansAndOtherMarksOpenNothing) {
    SliceFilter open(SliceLimits{});
    Event payload{0x01020304, 1, pack_word(KIND_PAYLOAD, 0x050607)};
    std::vector<Event> in = {ev(1, KIND_START, 1), ev(2, KIND_SPAN_BEGIN, 9), payload,
                             ev(3, KIND_INSTANT, 8), payload, ev(4, KIND_COUNTER, 7), payload,
                             ev(5, KIND_START, 2), ev(6, KIND_RETURN, 2)};
    std::vector<Event> ends;
    open.filter(in, ends);
    EXPECT_EQ(open.open(), 2u);
    ends.clear();
    open.close_all(10, ends);
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[0].packed, pack_word(KIND_SPAN_END, 9));
    EXPECT_EQ(ends[1].packed, pack_word(KIND_RETURN, 1));
}

}  // namespace
}  // namespace vespra
