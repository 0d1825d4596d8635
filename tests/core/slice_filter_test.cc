// The slice filter on synthetic event streams: what it keeps is exactly the unfiltered trace's
// slices that are shallow and long enough, with their own events, in each thread's order; and the
// ends a stopped run gives the slices still open: which, in what order, at what time.
#include "core/slice_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "core/pipeline.h"
#include "test_util.h"

namespace vespra {
namespace {

using testing::ev;

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

std::string describe(uint32_t seed, const SliceLimits& limits) {
    return "seed " + std::to_string(seed) + ", max_depth " + std::to_string(limits.max_depth) +
           ", min_duration " + std::to_string(limits.min_duration);
}

bool same(const Event& a, const Event& b) {
    return a.ts == b.ts && a.tid == b.tid && a.packed == b.packed;
}

// Random streams, cut into batches at random places, under each kind of limit and none (the ends
// at the stop alone); the stop comes before some threads' last events and after others'.
TEST(SliceFilter, KeepsExactlyTheShallowLongSlicesWithTheirOwnEventsAndEndsAtTheStop) {
    const SliceLimits CASES[] = {{4, 0},  {1, 0}, {0, 20},  {0, 5},
                                 {6, 20}, {0, 0}, {3, 500}, {SliceLimits::DEFAULT_MAX_DEPTH, 0}};
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        for (const SliceLimits& limits : CASES) {
            SCOPED_TRACE(describe(seed, limits));
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
                std::vector<Event> want = expected(ended_at(v, stop), limits, deep, brief);
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

// Stacks deeper than the words kept at first, grown in batches that the depth limit cuts at
// different places: every end the stop gives carries its begin's kind and code, and past the
// limit only counts.
TEST(SliceFilter, TheEndsAtTheStopOfADeepStackCarryTheirBeginsKindsAndCodes) {
    const SliceLimits CASES[] = {{0, 0}, {SliceLimits::DEFAULT_MAX_DEPTH, 0}, {100, 1}};
    for (const SliceLimits& limits : CASES) {
        SCOPED_TRACE(describe(0, limits));
        std::vector<Event> events;
        for (uint32_t i = 0; i < 1000; ++i) {
            for (uint32_t tid : {1u, 2u}) {
                uint8_t kind = i % 3 == 0 ? uint8_t{KIND_SPAN_BEGIN} : uint8_t{KIND_START};
                events.push_back(Event(i, tid, pack_word(kind, i * tid)));
            }
        }
        SliceFilter filter(limits);
        std::vector<Event> kept;
        std::vector<Event> written;
        for (size_t at = 0, size = 1; at < events.size(); at += size, size = size * 3 % 97 + 1) {
            auto batch = std::span<const Event>(events).subspan(at);
            batch = batch.first(std::min(size, batch.size()));
            for (const Event& e : filter.filter(batch, kept)) written.push_back(e);
        }
        EXPECT_EQ(filter.open(), 2000u);
        kept.clear();
        filter.close_all(5000, kept);

        const uint32_t kept_depth = limits.max_depth ? limits.max_depth : 1000;
        ASSERT_EQ(written.size() + kept.size(), 4u * kept_depth);
        ASSERT_EQ(kept.size(), 2u * kept_depth);
        for (size_t k = 0; k < kept.size(); ++k) {
            const uint32_t tid = k < kept_depth ? 1 : 2;
            const uint32_t frame = kept_depth - 1 - k % kept_depth;  // innermost first
            uint8_t kind = frame % 3 == 0 ? uint8_t{KIND_SPAN_END} : uint8_t{KIND_RETURN};
            ASSERT_TRUE(same(kept[k], Event(5000, tid, pack_word(kind, frame * tid)))) << k;
        }
        EXPECT_EQ(filter.left_out().max_depth, 2u * 2 * (1000 - kept_depth));
        EXPECT_EQ(filter.left_out().min_duration, 0u);
    }
}

// Every batch that reached the writer behind the filter, and the totals it was finished with.
struct Seen {
    std::vector<std::vector<Event>> batches;
    int finishes = 0;
    RunTotals totals;
    std::vector<Event> events() const {
        std::vector<Event> all;
        for (const auto& batch : batches) all.insert(all.end(), batch.begin(), batch.end());
        return all;
    }
};

// Records into a Seen that outlives it: the pipeline destroys its writer when it finishes.
struct Recorder : Exporter {
    Seen* seen;
    explicit Recorder(Seen* seen) : seen(seen) {}
    Status write_batch(std::span<const Event> batch, const CodeLookup&,
                       const ThreadNames&) override {
        EXPECT_FALSE(batch.empty());
        seen->batches.emplace_back(batch.begin(), batch.end());
        return Status::success();
    }
    Status finish(const CodeLookup&, const ThreadNames&, const RunTotals& t) override {
        ++seen->finishes;
        seen->totals = t;
        return Status::success();
    }
};

void expect_events(const std::vector<Event>& got, const std::vector<Event>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_TRUE(same(got[i], want[i])) << i;
}

TEST(FilteringExporter, FinishesWithWhatWasLeftOutAddedAndTheLongOpenSlicesEnded) {
    Seen seen;
    auto recorder = std::make_unique<Recorder>(&seen);
    FilteringExporter exporter(std::move(recorder), SliceLimits{2, 100}, [] { return 340; });
    testing::FakeCodes codes;
    testing::FakeNames names;
    // Thread 1: a frame of 300 by its last event, with a short call and a frame too deep inside
    // it, then a frame opened at the last event; thread 3: a frame open 190 by the stop; thread 2:
    // one open 90.
    std::vector<Event> events = {begin(1, 0), begin(1, 10),  begin(1, 20),  end(1, 30),
                                 end(1, 40),  begin(3, 150), begin(2, 250), begin(1, 300, 9)};
    ASSERT_TRUE(exporter.write_batch(events, codes, names).ok());
    expect_events(seen.events(), {begin(1, 0)});  // thread 1's outer frame, released at 300
    RunTotals totals(7);
    ASSERT_TRUE(exporter.finish(codes, names, totals).ok());
    expect_events(seen.events(), {begin(1, 0), ev(340, 1, KIND_RETURN, 1), begin(3, 150),
                                  ev(340, 3, KIND_RETURN, 1)});
    EXPECT_EQ(seen.totals.dropped, 7u);
    EXPECT_EQ(seen.totals.left_out.max_depth, 2u);
    // The short call's two events, and those of the frames open too briefly at the stop.
    EXPECT_EQ(seen.totals.left_out.min_duration, 6u);
}

// As in the tracer: the ends the stop gives the slices still open pass through the filter. Every
// begin written has exactly one end of its own kind, no end is written without its begin (but
// those whose begin came before the run), and every event is either written or counted.
TEST(FilteringExporter, EveryWrittenBeginHasItsEnd) {
    const SliceLimits CASES[] = {
        {3, 0}, {0, 20}, {5, 40}, {0, 0}, {SliceLimits::DEFAULT_MAX_DEPTH, 0}};
    constexpr uint64_t STOP = uint64_t{1} << 40;
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        for (const SliceLimits& limits : CASES) {
            SCOPED_TRACE(describe(seed, limits));
            std::mt19937 rng(seed);
            auto threads = random_threads(rng, 3, 2000);
            Seen seen;
            auto recorder = std::make_unique<Recorder>(&seen);
            FilteringExporter exporter(std::move(recorder), limits, [] { return STOP; });
            testing::FakeCodes codes;
            testing::FakeNames names;
            uint64_t recorded = 0, before_run = 0, closed_at_stop = 0;
            for (const auto& batch : interleave(rng, threads)) {
                ASSERT_TRUE(exporter.write_batch(batch, codes, names).ok());
                for (const Event& e : batch) recorded += kind_of(e.packed) != KIND_PAYLOAD;
            }
            for (const auto& [tid, v] : threads) {
                for (const Event& e : v) {
                    if (!is_end(kind_of(e.packed))) break;
                    ++before_run;
                }
                closed_at_stop += ended_at(v, 0).size() - v.size();
            }
            ASSERT_TRUE(exporter.finish(codes, names, RunTotals(0)).ok());

            std::map<uint32_t, std::vector<uint32_t>> stacks;
            uint64_t written = 0, unmatched = 0;
            for (const Event& e : seen.events()) {
                uint8_t kind = kind_of(e.packed);
                written += kind != KIND_PAYLOAD;
                std::vector<uint32_t>& stack = stacks[e.tid];
                if (OPENS_SLICE[kind]) {
                    stack.push_back(e.packed);
                } else if (CLOSES_SLICE[kind] && stack.empty()) {
                    ++unmatched;
                } else if (CLOSES_SLICE[kind]) {
                    EXPECT_EQ(kind == KIND_SPAN_END, kind_of(stack.back()) == KIND_SPAN_BEGIN);
                    if (e.ts == STOP) {
                        EXPECT_EQ(code_of(e.packed), code_of(stack.back()));
                    }
                    stack.pop_back();
                }
            }
            for (const auto& [tid, stack] : stacks) EXPECT_TRUE(stack.empty()) << "thread " << tid;
            EXPECT_EQ(unmatched, before_run);
            const LeftOut& left = seen.totals.left_out;
            EXPECT_EQ(written + left.max_depth + left.min_duration, recorded + closed_at_stop);
        }
    }
}

// Calls, generators resumed and thrown into, ends with nothing open, two threads whose events
// arrive in separate batches: what is left open is closed innermost first, per thread in
// ascending order, at the stop, or at a thread's last event where that lies after it.
TEST(OpenCalls, WhatIsStillOpenIsClosedInnermostFirstAtTheStop) {
    SliceFilter open(SliceLimits{0, 0});
    std::vector<Event> kept;
    open.filter(
        std::vector<Event>{
            ev(10, 7, KIND_RETURN, 99),  // the run began inside this call: nothing to close
            ev(11, 7, KIND_START, 1),
            ev(12, 7, KIND_START, 2),
            ev(13, 7, KIND_RETURN, 2),
            ev(14, 7, KIND_RESUME, 3),
            ev(15, 7, KIND_YIELD, 3),
            ev(16, 7, KIND_THROW, 4),
            ev(17, 7, KIND_START, 5),
            ev(18, 7, KIND_UNWIND, 5),
        },
        kept);
    open.filter(std::vector<Event>{ev(20, 3, KIND_START, 6), ev(900, 3, KIND_START, 7)}, kept);
    open.filter(std::vector<Event>{ev(19, 7, KIND_START, 8)}, kept);
    EXPECT_EQ(open.open(), 5u);
    kept.clear();
    open.close_all(500, kept);
    expect_events(kept, {
                            ev(900, 3, KIND_RETURN, 7),
                            ev(900, 3, KIND_RETURN, 6),
                            ev(500, 7, KIND_RETURN, 8),
                            ev(500, 7, KIND_RETURN, 4),
                            ev(500, 7, KIND_RETURN, 1),
                        });
    EXPECT_EQ(open.open(), 0u);
    kept.clear();
    open.close_all(600, kept);
    EXPECT_TRUE(kept.empty());
}

// A payload slot's `ts` holds payload bytes: a thread whose last event is one still has its open
// slices closed at the stop, not at whatever time those bytes read as; under either walk, the one
// that only follows the stacks and the one that leaves events out.
TEST(OpenCalls, APayloadSlotIsNoTimeOfItsThread) {
    for (const SliceLimits& limits : {SliceLimits{}, SliceLimits{0, 5}}) {
        SliceFilter open(limits);
        std::vector<Event> kept;
        open.filter(std::vector<Event>{ev(10, 7, KIND_START, 1), ev(20, 7, KIND_SPAN_BEGIN, 2),
                                       Event(0x64636261, 7, pack_word(KIND_PAYLOAD, 0x656667))},
                    kept);
        kept.clear();
        open.close_all(500, kept);
        kept.erase(std::remove_if(kept.begin(), kept.end(),
                                  [](const Event& e) { return !CLOSES_SLICE[kind_of(e.packed)]; }),
                   kept.end());
        expect_events(kept, {ev(500, 7, KIND_SPAN_END, 2), ev(500, 7, KIND_RETURN, 1)});
    }
}

// Through the real pipeline, across a pause (as around a fork): the calls open when the queue
// closes reach the writer as one last batch before finish, stamped at the close, after every
// recorded event. A run that ends with nothing open writes no such batch.
TEST(OpenCalls, TheFilteringWriterEndsARunsOpenCallsAtTheQueuesClose) {
    for (bool leave_open : {true, false}) {
        auto queue = EventQueue::create(Clock::starting_now());
        Seen seen;
        auto recorder = std::make_unique<Recorder>(&seen);
        std::unique_ptr<Exporter> writer = std::make_unique<FilteringExporter>(
            std::move(recorder), SliceLimits{}, [queue] { return queue->closed_at(); });
        auto codes = std::make_shared<testing::FakeCodes>();
        auto names = std::make_shared<testing::FakeNames>();
        auto run = [&] {
            ASSERT_TRUE(pipeline::run_pausable_pipeline(queue, codes, names, writer).ok());
        };

        // A thread opens two calls; 3000 balanced calls in between make whole batches.
        testing::Producers producers(queue, 1, 3000);
        testing::on_new_thread([&] {
            HOT.tid = 42;
            record(*queue, queue->clock().raw(), pack_word(KIND_START, 1));
            record(*queue, queue->clock().raw(), pack_word(KIND_START, 2));
            if (!leave_open) {
                record(*queue, queue->clock().raw(), pack_word(KIND_RETURN, 2));
                record(*queue, queue->clock().raw(), pack_word(KIND_RETURN, 1));
            }
            queue->add_dropped(tls::flush_current_thread(queue->id()));
        });
        producers.wait_recorded();
        std::thread first(run);
        queue->pause();
        first.join();
        queue->resume();
        std::thread second(run);
        producers.stop();
        second.join();

        ASSERT_EQ(seen.finishes, 1);
        const auto& batches = seen.batches;
        uint64_t last_recorded = 0;
        for (size_t i = 0; i + 1 < batches.size(); ++i)
            for (const Event& e : batches[i]) last_recorded = std::max(last_recorded, e.ts);
        EXPECT_LE(last_recorded, queue->closed_at());
        const size_t written = seen.events().size();
        if (!leave_open) {
            EXPECT_EQ(written, 3000u + 4) << "no end made up";
            continue;
        }
        EXPECT_EQ(written, 3000u + 2 + 2);
        expect_events(batches.back(), {
                                          ev(queue->closed_at(), 42, KIND_RETURN, 2),
                                          ev(queue->closed_at(), 42, KIND_RETURN, 1),
                                      });
    }
}

}  // namespace
}  // namespace vespra
