// The slice filter on synthetic event streams: what it keeps is exactly the unfiltered trace's
// slices that are shallow and long enough, with their own events, in each thread's order; and the
// ends a stopped run gives the slices still open: which, in what order, at what time.
#include "core/slice_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <span>
#include <vector>

#include "test_util.h"

namespace vespra {
namespace {

using testing::ev;

constexpr uint8_t BEGINS[] = {KIND_START, KIND_RESUME, KIND_THROW};
constexpr uint8_t ENDS[] = {KIND_RETURN, KIND_YIELD, KIND_UNWIND};

Event begin(uint64_t ts, uint32_t tid, uint32_t code = 1) { return ev(ts, tid, KIND_START, code); }
Event end(uint64_t ts, uint32_t tid, uint32_t code = 0) { return ev(ts, tid, KIND_RETURN, code); }

// Per thread: a random walk over a stack of calls and spans, with durations on a coarse grid so
// that many slices last exactly the minimum, now and then an instant or a counter sample, marks
// with payload slots, and some frames left open at the end.
std::map<uint32_t, std::vector<Event>> random_threads(std::mt19937& rng, int threads,
                                                      int events_each) {
    std::map<uint32_t, std::vector<Event>> out;
    for (int k = 0; k < threads; ++k) {
        uint32_t tid = 100 + static_cast<uint32_t>(k);
        std::vector<Event>& v = out[tid];
        uint64_t ts = 1000 * static_cast<uint64_t>(k);
        std::vector<bool> spans;      // the open frames: span or call
        auto slots = [&](int most) {  // a mark's payload: bytes that read as a late time
            for (int n = static_cast<int>(rng() % (most + 1)); n > 0; --n)
                v.push_back(Event(0xF0000000u + rng() % 0x1000000u, tid,
                                  pack_word(KIND_PAYLOAD, rng() % 50)));
        };
        // A thread may start inside calls of its own: ends with nothing open come first.
        for (int i = static_cast<int>(rng() % 3); i > 0; --i) v.push_back(end(ts += 5, tid));
        for (int i = 0; i < events_each; ++i) {
            ts += 5 * (rng() % 8 == 0 ? rng() % 40 : rng() % 3);
            unsigned pick = rng() % 100;
            if (pick < 2) {
                v.push_back(Event(ts, tid, pack_word(pick ? KIND_INSTANT : KIND_COUNTER, 7)));
                slots(2);
            } else if (spans.empty() || (spans.size() < 60 && pick < 53)) {
                bool span = rng() % 6 == 0;
                uint8_t kind = span ? uint8_t{KIND_SPAN_BEGIN} : BEGINS[rng() % 3];
                v.push_back(Event(ts, tid, pack_word(kind, rng() % 50)));
                if (span) slots(3);
                spans.push_back(span);
            } else {
                bool span = spans.back();
                v.push_back(
                    Event(ts, tid, pack_word(span ? uint8_t{KIND_SPAN_END} : ENDS[rng() % 3], 0)));
                if (span) slots(1);
                spans.pop_back();
            }
        }
    }
    return out;
}

// The threads' streams interleaved into batches of random length, each thread in its order.
std::vector<std::vector<Event>> interleave(std::mt19937& rng,
                                           const std::map<uint32_t, std::vector<Event>>& threads) {
    std::map<uint32_t, size_t> at;
    std::vector<std::vector<Event>> batches(1);
    for (bool left = true; left;) {
        left = false;
        for (const auto& [tid, v] : threads) {
            size_t n = std::min<size_t>(rng() % 300, v.size() - at[tid]);
            for (size_t i = 0; i < n; ++i) batches.back().push_back(v[at[tid]++]);
            left = left || at[tid] < v.size();
            if (rng() % 4 == 0) batches.emplace_back();
        }
    }
    std::erase_if(batches, [](const auto& b) { return b.empty(); });
    return batches;
}

// The time of a thread's last event; a payload slot has none.
uint64_t last_time(const std::vector<Event>& v) {
    uint64_t last = 0;
    for (const Event& e : v) {
        if (kind_of(e.packed) != KIND_PAYLOAD) last = e.ts;
    }
    return last;
}

// One thread's events as a stopped run gives them: every slice still open ends, innermost first,
// at `stop` or at the thread's last event if that is later, with an end of its begin's kind
// carrying its begin's code.
std::vector<Event> ended_at(std::vector<Event> v, uint64_t stop) {
    stop = std::max(stop, last_time(v));
    std::vector<uint32_t> open;
    for (const Event& e : v) {
        uint8_t kind = kind_of(e.packed);
        if (OPENS_SLICE[kind]) open.push_back(e.packed);
        if (CLOSES_SLICE[kind] && !open.empty()) open.pop_back();
    }
    const uint32_t tid = v.empty() ? 0 : v.front().tid;
    for (; !open.empty(); open.pop_back()) {
        uint8_t kind = kind_of(open.back()) == KIND_SPAN_BEGIN ? KIND_SPAN_END : KIND_RETURN;
        v.push_back(Event(stop, tid, pack_word(kind, code_of(open.back()))));
    }
    return v;
}

// What the filter must write of one thread whose slices have all ended: the events of the slices
// at most `max_depth` deep (any, for 0) that lasted at least `min_duration` or hold an instant or
// a counter sample, every instant and counter sample, every end whose begin came before the
// stream, and the payload slots of what is written. `left_deep` and `left_short` count the other
// events.
std::vector<Event> expected(const std::vector<Event>& v, SliceLimits limits, uint64_t& left_deep,
                            uint64_t& left_short) {
    std::vector<bool> keep(v.size(), true);
    struct Open {
        size_t at;
        bool holds_mark = false;
    };
    std::vector<Open> open;
    auto decide = [&](Open b, size_t e) {
        bool deep = limits.max_depth != 0 && open.size() + 1 > limits.max_depth;
        bool brief = !b.holds_mark && v[e].ts - v[b.at].ts < limits.min_duration;
        if (deep) left_deep += 2;
        if (!deep && brief) left_short += 2;
        if (deep || brief) keep[b.at] = keep[e] = false;
    };
    for (size_t i = 0; i < v.size(); ++i) {
        uint8_t kind = kind_of(v[i].packed);
        if (kind == KIND_INSTANT || kind == KIND_COUNTER) {
            for (Open& o : open) o.holds_mark = true;
        } else if (OPENS_SLICE[kind]) {
            open.push_back(Open{i});
        } else if (CLOSES_SLICE[kind] && !open.empty()) {
            Open b = open.back();
            open.pop_back();
            decide(b, i);
        }
    }
    std::vector<Event> out;
    size_t header = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        if (kind_of(v[i].packed) != KIND_PAYLOAD) header = i;
        if (keep[header]) out.push_back(v[i]);
    }
    return out;
}

// Random streams, cut into batches at random places, under each kind of limit and none (the ends
// at the stop alone); the stop comes before some threads' last events and after others'.
TEST(SliceFilter, KeepsExactlyTheShallowLongSlicesWithTheirOwnEventsAndEndsAtTheStop) {
    const SliceLimits CASES[] = {{4, 0},  {1, 0}, {0, 20},  {0, 5},
                                 {6, 20}, {0, 0}, {3, 500}, {SliceLimits::DEFAULT_MAX_DEPTH, 0}};
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        for (const SliceLimits& limits : CASES) {
            SCOPED_TRACE(::testing::Message()
                         << "seed " << seed << ", max_depth " << limits.max_depth << ", min "
                         << limits.min_duration);
            std::mt19937 rng(seed);
            auto threads = random_threads(rng, 4, 3000);
            auto batches = interleave(rng, threads);
            std::vector<uint64_t> lasts;
            for (const auto& [tid, v] : threads) lasts.push_back(last_time(v));
            std::sort(lasts.begin(), lasts.end());
            const uint64_t stop = lasts[lasts.size() / 2] - 1;

            SliceFilter filter(limits);
            std::map<uint32_t, std::vector<Event>> written;
            std::vector<Event> kept;
            for (const auto& batch : batches) {
                for (const Event& e : filter.filter(batch, kept)) written[e.tid].push_back(e);
            }
            kept.clear();
            filter.close_all(stop, kept);
            EXPECT_EQ(filter.open(), 0u);
            for (const Event& e : kept) written[e.tid].push_back(e);

            uint64_t deep = 0, brief = 0;
            for (const auto& [tid, v] : threads) {
                ASSERT_EQ(written[tid], expected(ended_at(v, stop), limits, deep, brief))
                    << "thread " << tid;
            }
            EXPECT_EQ(filter.left_out().max_depth, deep);
            EXPECT_EQ(filter.left_out().min_duration, brief);
        }
    }
}

// Two threads 1,000 frames deep, far past the words kept at first, grown in batches that the
// depth limit cuts at different places; then all but 200 frames end, and the stop ends the rest.
TEST(SliceFilter, DeepStacksGrowPastTheWordsKeptAtFirst) {
    for (const SliceLimits& limits : {SliceLimits{0, 0}, SliceLimits{}, SliceLimits{100, 1}}) {
        SCOPED_TRACE(limits.max_depth);
        std::vector<Event> events;
        std::map<uint32_t, std::vector<Event>> threads;
        auto both = [&](uint64_t ts, uint8_t kind, uint32_t code) {
            for (uint32_t tid : {1u, 2u})
                threads[tid].push_back(events.emplace_back(ev(ts, tid, kind, code * tid)));
        };
        for (uint32_t f = 0; f < 1000; ++f) both(f, f % 3 ? KIND_START : KIND_SPAN_BEGIN, f);
        for (uint32_t f = 999; f >= 200; --f)
            both(3000 - f, f % 3 ? KIND_RETURN : KIND_SPAN_END, 0);
        SliceFilter filter(limits);
        std::vector<Event> kept;
        std::map<uint32_t, std::vector<Event>> written;
        for (size_t at = 0, size = 1; at < events.size(); at += size, size = size * 3 % 97 + 1) {
            auto batch = std::span<const Event>(events).subspan(at);
            for (const Event& e : filter.filter(batch.first(std::min(size, batch.size())), kept))
                written[e.tid].push_back(e);
        }
        // Only without a limit does a slice lie deeper than viewers keep, and that is told.
        EXPECT_EQ(filter.deepest_past_viewers(), limits.max_depth == 0 ? 1000u : 0u);
        kept.clear();
        filter.close_all(5000, kept);
        for (const Event& e : kept) written[e.tid].push_back(e);
        uint64_t deep = 0, brief = 0;
        for (uint32_t tid : {1u, 2u})
            EXPECT_EQ(written[tid], expected(ended_at(threads[tid], 5000), limits, deep, brief));
        EXPECT_EQ(filter.left_out().max_depth, deep);
    }
}

// A begin waits until its slice is known to be long enough: by its end, or by any later event of
// its own thread, one too deep to be written included; then it goes out in front of that event.
TEST(FilteringExporter, ReleasesBeginsWhenKnownLongAndFinishesWithTheOpenOnesEndedAndCounted) {
    testing::Written seen;
    FilteringExporter exporter(std::make_unique<testing::WritingExporter>(&seen),
                               SliceLimits{2, 100}, [] { return 340; });
    testing::FakeCodes codes;
    testing::FakeNames names;
    auto write = [&](std::vector<Event> batch) {
        ASSERT_TRUE(exporter.write_batch(batch, codes, names).ok());
    };
    // Thread 1's two frames, and one too deep inside: nothing known yet, nothing to write.
    write({begin(0, 1), begin(10, 1), begin(20, 1), end(30, 1)});
    EXPECT_TRUE(seen.batches.empty());
    // At 105 (too deep) the outer frame has lasted 105, the inner one 95. Thread 2's event at 250
    // says nothing of thread 3's frame.
    write({begin(150, 3), begin(250, 2), begin(105, 1)});
    EXPECT_EQ(seen.batches, (std::vector<std::vector<Event>>{{begin(0, 1)}}));
    // The inner frame ends long; a short call; a frame opened 40 before the stop.
    write({end(106, 1), end(150, 1), begin(200, 1), end(230, 1), begin(300, 1, 9)});
    EXPECT_EQ(seen.batches.back(), (std::vector{begin(10, 1), end(150, 1)}));

    ASSERT_TRUE(exporter.finish(codes, names, RunTotals(7)).ok());
    EXPECT_EQ(seen.batches.back(), (std::vector{end(340, 1, 1), begin(150, 3), end(340, 3, 1)}));
    EXPECT_EQ(seen.totals.dropped, 7u);
    EXPECT_EQ(seen.totals.left_out.max_depth, 4u);
    // The short call, and the frames open too briefly at the stop (thread 1's last, thread 2's).
    EXPECT_EQ(seen.totals.left_out.min_duration, 6u);
}

// A payload slot's `ts` holds payload bytes: a thread whose last event is one still has its open
// slices closed at the stop, under either walk: the one that only follows the stacks and the one
// that leaves events out.
TEST(EndsAtTheStop, APayloadSlotIsNoTimeOfItsThread) {
    for (const SliceLimits& limits : {SliceLimits{}, SliceLimits{0, 5}}) {
        SliceFilter open(limits);
        std::vector<Event> kept;
        open.filter(std::vector<Event>{ev(10, 7, KIND_START, 1), ev(20, 7, KIND_SPAN_BEGIN, 2),
                                       Event(0x64636261, 7, pack_word(KIND_PAYLOAD, 0x656667))},
                    kept);
        kept.clear();
        open.close_all(500, kept);
        std::erase_if(kept, [](const Event& e) { return !CLOSES_SLICE[kind_of(e.packed)]; });
        EXPECT_EQ(kept, (std::vector{ev(500, 7, KIND_SPAN_END, 2), end(500, 7, 1)}));
    }
}

}  // namespace
}  // namespace vespra
