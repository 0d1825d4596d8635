// The slice filter on synthetic event streams: what it keeps is exactly the unfiltered trace's
// slices that are shallow and long enough, with their own events, in each thread's order.
#include "core/slice_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/open_calls.h"

namespace vespra {
namespace {

constexpr uint8_t BEGINS[] = {KIND_START, KIND_RESUME, KIND_THROW};
constexpr uint8_t ENDS[] = {KIND_RETURN, KIND_YIELD, KIND_UNWIND};

Event begin(uint32_t tid, uint64_t ts, uint32_t code = 1) {
    return Event(ts, tid, pack_word(KIND_START, code));
}
Event end(uint32_t tid, uint64_t ts) { return Event(ts, tid, pack_word(KIND_RETURN, 0)); }

// A mark's payload slot: its `ts` holds payload bytes, here ones that read as a late time.
Event slot(uint32_t tid, std::mt19937& rng) {
    return Event(0xF0000000u + rng() % 0x1000000u, tid, pack_word(KIND_PAYLOAD, rng() % 50));
}

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
        std::vector<bool> spans;  // the open frames: span or call
        auto slots = [&](int most) {
            for (int n = static_cast<int>(rng() % (most + 1)); n > 0; --n)
                v.push_back(slot(tid, rng));
        };
        // A thread may start inside calls of its own: ends with nothing open come first.
        for (int i = static_cast<int>(rng() % 3); i > 0; --i) v.push_back(end(tid, ts += 5));
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

// What the filter must write of one thread: the events of the slices at most `max_depth` deep
// (any, for 0) that lasted at least `min_duration` (an open one: until `latest`) or hold an
// instant or a counter sample, every instant and counter sample, every end whose begin came
// before the stream, and the payload slots of what is written. `left_deep` and `left_short`
// count the other events.
std::vector<Event> expected(const std::vector<Event>& v, SliceLimits limits, uint64_t latest,
                            uint64_t& left_deep, uint64_t& left_short) {
    std::vector<bool> keep(v.size(), true);
    struct Open {
        size_t at;
        bool holds_mark = false;
    };
    std::vector<Open> open;
    auto decide = [&](Open b, uint64_t until, std::optional<size_t> e) {
        bool deep = limits.max_depth != 0 && open.size() + 1 > limits.max_depth;
        bool brief = !b.holds_mark && until - v[b.at].ts < limits.min_duration;
        uint64_t events = e ? 2 : 1;
        if (deep) left_deep += events;
        if (!deep && brief) left_short += events;
        if (deep || brief) {
            keep[b.at] = false;
            if (e) keep[*e] = false;
        }
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
            decide(b, v[i].ts, i);
        }
    }
    while (!open.empty()) {
        Open b = open.back();
        open.pop_back();
        decide(b, latest, std::nullopt);
    }
    std::vector<Event> out;
    size_t header = 0;
    for (size_t i = 0; i < v.size(); ++i) {
        if (kind_of(v[i].packed) != KIND_PAYLOAD) header = i;
        if (keep[header]) out.push_back(v[i]);
    }
    return out;
}

std::string describe(uint32_t seed, const SliceLimits& limits) {
    return "seed " + std::to_string(seed) + ", max_depth " + std::to_string(limits.max_depth) +
           ", min_duration " + std::to_string(limits.min_duration);
}

bool same(const Event& a, const Event& b) {
    return a.ts == b.ts && a.tid == b.tid && a.packed == b.packed;
}

TEST(SliceFilter, KeepsExactlyTheShallowLongSlicesWithTheirOwnEvents) {
    const SliceLimits CASES[] = {
        {4, 0}, {1, 0}, {0, 20}, {0, 5}, {6, 20}, {SliceLimits::DEFAULT_MAX_DEPTH, 0}, {3, 500}};
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        for (const SliceLimits& limits : CASES) {
            SCOPED_TRACE(describe(seed, limits));
            std::mt19937 rng(seed);
            auto threads = random_threads(rng, 4, 3000);
            auto batches = interleave(rng, threads);

            SliceFilter filter(limits);
            std::map<uint32_t, std::vector<Event>> written;
            std::vector<Event> kept;
            for (const auto& batch : batches) {
                for (const Event& e : filter.filter(batch, kept)) written[e.tid].push_back(e);
            }
            kept.clear();
            filter.finish(kept);
            for (const Event& e : kept) written[e.tid].push_back(e);

            uint64_t latest = 0;
            for (const auto& [tid, v] : threads) {
                for (const Event& e : v) {
                    if (kind_of(e.packed) != KIND_PAYLOAD) latest = std::max(latest, e.ts);
                }
            }
            uint64_t deep = 0, brief = 0;
            for (const auto& [tid, v] : threads) {
                std::vector<Event> want = expected(v, limits, latest, deep, brief);
                const std::vector<Event>& got = written[tid];
                ASSERT_EQ(got.size(), want.size()) << "thread " << tid;
                for (size_t i = 0; i < want.size(); ++i) {
                    ASSERT_TRUE(same(got[i], want[i])) << "thread " << tid << ", event " << i;
                }
            }
            EXPECT_EQ(filter.left_out().max_depth, deep);
            EXPECT_EQ(filter.left_out().min_duration, brief);
        }
    }
}

TEST(SliceFilter, DepthCountsFromTheThreadsFirstFrameOnEveryThread) {
    // A recursion 1,000 deep on two threads, interleaved: each keeps its outer 256 frames.
    std::vector<Event> events;
    for (uint64_t i = 0; i < 1000; ++i) {
        events.push_back(begin(1, i));
        events.push_back(begin(2, i));
    }
    for (uint64_t i = 0; i < 1000; ++i) {
        events.push_back(end(1, 5000 + i));
        events.push_back(end(2, 5000 + i));
    }
    SliceFilter filter(SliceLimits{});
    std::vector<Event> kept;
    std::span<const Event> out = filter.filter(events, kept);
    ASSERT_EQ(out.size(), 4u * SliceLimits::DEFAULT_MAX_DEPTH);
    // The first kept end closes the 256th frame, at the time the 256th-innermost frame ended.
    auto first_end = std::find_if(out.begin(), out.end(),
                                  [](const Event& e) { return is_end(kind_of(e.packed)); });
    EXPECT_EQ(first_end->ts, 5000u + 1000 - SliceLimits::DEFAULT_MAX_DEPTH);
    EXPECT_EQ(filter.left_out().max_depth, 2u * 2 * (1000 - SliceLimits::DEFAULT_MAX_DEPTH));
}

TEST(SliceFilter, ABatchWithNothingLeftOutIsPassedOnUncopied) {
    std::vector<Event> events = {begin(1, 0), begin(1, 1), end(1, 2), end(1, 3)};
    SliceFilter filter(SliceLimits{2, 0});
    std::vector<Event> kept;
    EXPECT_EQ(filter.filter(events, kept).data(), events.data());
    // One frame deeper: copied from there on, the events before it included.
    std::vector<Event> deeper = {begin(1, 4), begin(1, 5), begin(1, 6), end(1, 7), end(1, 8)};
    std::span<const Event> out = filter.filter(deeper, kept);
    EXPECT_EQ(out.data(), kept.data());
    EXPECT_EQ(out.size(), 3u);
}

TEST(SliceFilter, AnOpenSliceIsReleasedAsSoonAsAnyEventOfItsThreadIsPastTheMinimum) {
    SliceFilter filter(SliceLimits{0, 100});
    std::vector<Event> kept;
    // Outer and middle frames open; a short call inside ends at 50: nothing is known yet.
    std::vector<Event> first = {begin(1, 0), begin(1, 10), begin(1, 20), end(1, 50)};
    EXPECT_TRUE(filter.filter(first, kept).empty());
    // At 105 the outer frame has lasted 105: it goes out, in front of the event; the middle one
    // (95) still waits. Another thread's event says nothing about this one.
    std::vector<Event> second = {begin(2, 500), begin(1, 105)};
    std::span<const Event> out = filter.filter(second, kept);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(same(out[0], begin(1, 0)));
    EXPECT_EQ(filter.left_out().min_duration, 2u);
}

// Counts what reaches the writer behind the filter, and the totals it is finished with.
struct Recorder : Exporter {
    std::vector<Event> events;
    RunTotals totals;
    Status write_batch(std::span<const Event> batch, const CodeLookup&,
                       const ThreadNames&) override {
        EXPECT_FALSE(batch.empty());
        events.insert(events.end(), batch.begin(), batch.end());
        return Status::success();
    }
    Status finish(const CodeLookup&, const ThreadNames&, const RunTotals& t) override {
        totals = t;
        return Status::success();
    }
};

struct NoCodes : CodeLookup {
    std::optional<CodeInfo> code(uint32_t) const override { return std::nullopt; }
};
struct NoNames : ThreadNames {
    std::optional<std::string> name(uint32_t) const override { return std::nullopt; }
    std::vector<std::pair<uint32_t, std::string>> snapshot() const override { return {}; }
};

TEST(FilteringExporter, FinishesWithWhatWasLeftOutAddedAndTheLongOpenSlicesWritten) {
    auto recorder = std::make_unique<Recorder>();
    Recorder* seen = recorder.get();
    FilteringExporter exporter(std::move(recorder), SliceLimits{2, 100});
    NoCodes codes;
    NoNames names;
    // Thread 1: a frame of 300 by its last event, with a short call and a frame too deep inside
    // it, then a frame opened at the last event; thread 3: a frame open 150 by the end; thread 2:
    // one open 50.
    std::vector<Event> events = {begin(1, 0), begin(1, 10),  begin(1, 20),  end(1, 30),
                                 end(1, 40),  begin(3, 150), begin(2, 250), begin(1, 300)};
    ASSERT_TRUE(exporter.write_batch(events, codes, names).ok());
    ASSERT_EQ(seen->events.size(), 1u);  // thread 1's outer frame, released at 300
    EXPECT_TRUE(same(seen->events[0], begin(1, 0)));
    RunTotals totals(7);
    ASSERT_TRUE(exporter.finish(codes, names, totals).ok());
    ASSERT_EQ(seen->events.size(), 2u);
    EXPECT_TRUE(same(seen->events[1], begin(3, 150)));
    EXPECT_EQ(seen->totals.dropped, 7u);
    EXPECT_EQ(seen->totals.left_out.max_depth, 2u);
    // The short call's two events, and the begins of the frames open too briefly at the end.
    EXPECT_EQ(seen->totals.left_out.min_duration, 4u);
}

// As in the tracer: the ends the stop gives the calls still open pass through the filter. Every
// begin written then has exactly one end of its own kind, no end is written without its begin
// (but those whose begin came before the run), and every event is either written or counted.
TEST(FilteringExporter, BehindTheClosingWriterEveryWrittenBeginHasItsEnd) {
    const SliceLimits CASES[] = {{3, 0}, {0, 20}, {5, 40}, {SliceLimits::DEFAULT_MAX_DEPTH, 0}};
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        for (const SliceLimits& limits : CASES) {
            SCOPED_TRACE(describe(seed, limits));
            std::mt19937 rng(seed);
            auto threads = random_threads(rng, 3, 2000);
            auto recorder = std::make_unique<Recorder>();
            Recorder* seen = recorder.get();
            ClosingExporter exporter(
                std::make_unique<FilteringExporter>(std::move(recorder), limits),
                [] { return uint64_t{1} << 40; });
            NoCodes codes;
            NoNames names;
            uint64_t recorded = 0, before_run = 0;
            for (const auto& batch : interleave(rng, threads)) {
                ASSERT_TRUE(exporter.write_batch(batch, codes, names).ok());
                for (const Event& e : batch) recorded += kind_of(e.packed) != KIND_PAYLOAD;
            }
            OpenCalls open;
            for (const auto& [tid, v] : threads) {
                open.observe(v);
                for (const Event& e : v) {
                    if (!is_end(kind_of(e.packed))) break;
                    ++before_run;
                }
            }
            const uint64_t closed_at_stop = open.open();
            ASSERT_TRUE(exporter.finish(codes, names, RunTotals(0)).ok());

            std::map<uint32_t, std::vector<uint8_t>> stacks;
            uint64_t written = 0, unmatched = 0;
            for (const Event& e : seen->events) {
                uint8_t kind = kind_of(e.packed);
                written += kind != KIND_PAYLOAD;
                std::vector<uint8_t>& stack = stacks[e.tid];
                if (OPENS_SLICE[kind]) {
                    stack.push_back(kind);
                } else if (CLOSES_SLICE[kind] && stack.empty()) {
                    ++unmatched;
                } else if (CLOSES_SLICE[kind]) {
                    EXPECT_EQ(kind == KIND_SPAN_END, stack.back() == KIND_SPAN_BEGIN);
                    stack.pop_back();
                }
            }
            for (const auto& [tid, stack] : stacks) EXPECT_TRUE(stack.empty()) << "thread " << tid;
            EXPECT_EQ(unmatched, before_run);
            const LeftOut& left = seen->totals.left_out;
            EXPECT_EQ(written + left.max_depth + left.min_duration, recorded + closed_at_stop);
        }
    }
}

}  // namespace
}  // namespace vespra
