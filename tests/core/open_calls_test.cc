// The ends a stopped run gives the calls still open: which calls, in what order, at what time.
#include "core/open_calls.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/pipeline.h"
#include "test_util.h"

namespace vespra {
namespace {

Event ev(uint64_t ts, uint32_t tid, uint8_t kind, uint32_t code) {
    return Event(ts, tid, pack_word(kind, code));
}

// Keeps every batch and what finish was given.
struct Recorder : Exporter {
    std::vector<std::vector<Event>>* batches;
    int* finishes;
    Recorder(std::vector<std::vector<Event>>* b, int* f) : batches(b), finishes(f) {}
    Status write_batch(std::span<const Event> events, const CodeLookup&,
                       const ThreadNames&) override {
        batches->emplace_back(events.begin(), events.end());
        return Status::success();
    }
    Status finish(const CodeLookup&, const ThreadNames&, const RunTotals&) override {
        ++*finishes;
        return Status::success();
    }
};

void expect_ends(const std::vector<Event>& got, const std::vector<Event>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].ts, want[i].ts) << i;
        EXPECT_EQ(got[i].tid, want[i].tid) << i;
        EXPECT_EQ(got[i].packed, want[i].packed) << i;
    }
}

// Calls, generators resumed and thrown into, ends with nothing open, two threads whose events
// arrive in separate batches: what is left open is closed innermost first, per thread in
// ascending order, at the stop, or at a thread's last event where that lies after it.
TEST(OpenCalls, WhatIsStillOpenIsClosedInnermostFirstAtTheStop) {
    OpenCalls open;
    open.observe(std::vector<Event>{
        ev(10, 7, KIND_RETURN, 99),  // the run began inside this call: nothing to close
        ev(11, 7, KIND_START, 1),
        ev(12, 7, KIND_START, 2),
        ev(13, 7, KIND_RETURN, 2),
        ev(14, 7, KIND_RESUME, 3),
        ev(15, 7, KIND_YIELD, 3),
        ev(16, 7, KIND_THROW, 4),
        ev(17, 7, KIND_START, 5),
        ev(18, 7, KIND_UNWIND, 5),
    });
    open.observe(std::vector<Event>{ev(20, 3, KIND_START, 6), ev(900, 3, KIND_START, 7)});
    open.observe(std::vector<Event>{ev(19, 7, KIND_START, 8)});
    EXPECT_EQ(open.open(), 5u);
    expect_ends(open.close_all(500), {
                                         ev(900, 3, KIND_RETURN, 7),
                                         ev(900, 3, KIND_RETURN, 6),
                                         ev(500, 7, KIND_RETURN, 8),
                                         ev(500, 7, KIND_RETURN, 4),
                                         ev(500, 7, KIND_RETURN, 1),
                                     });
    EXPECT_EQ(open.open(), 0u);
    EXPECT_TRUE(open.close_all(600).empty());
}

// A payload slot's `ts` holds payload bytes: a thread whose last event is one still has its open
// slices closed at the stop, not at whatever time those bytes read as.
TEST(OpenCalls, APayloadSlotIsNoTimeOfItsThread) {
    OpenCalls open;
    open.observe(std::vector<Event>{ev(10, 7, KIND_START, 1), ev(20, 7, KIND_SPAN_BEGIN, 2),
                                    Event(0x64636261, 7, pack_word(KIND_PAYLOAD, 0x656667))});
    expect_ends(open.close_all(500), {ev(500, 7, KIND_SPAN_END, 2), ev(500, 7, KIND_RETURN, 1)});
}

// Through the real pipeline, across a pause (as around a fork): the calls open when the queue
// closes reach the writer as one last batch before finish, stamped at the close, after every
// recorded event. A run that ends with nothing open writes no such batch.
TEST(OpenCalls, TheClosingWriterEndsARunsOpenCallsAtTheQueuesClose) {
    for (bool leave_open : {true, false}) {
        auto queue = EventQueue::create(Clock::starting_now());
        std::vector<std::vector<Event>> batches;
        int finishes = 0;
        std::unique_ptr<Exporter> writer =
            std::make_unique<ClosingExporter>(std::make_unique<Recorder>(&batches, &finishes),
                                              [queue] { return queue->closed_at(); });
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

        ASSERT_EQ(finishes, 1);
        uint64_t last_recorded = 0;
        for (size_t i = 0; i + 1 < batches.size(); ++i)
            for (const Event& e : batches[i]) last_recorded = std::max(last_recorded, e.ts);
        EXPECT_LE(last_recorded, queue->closed_at());
        size_t written = 0;
        for (const auto& batch : batches) written += batch.size();
        if (!leave_open) {
            EXPECT_EQ(written, 3000u + 4) << "no end made up";
            continue;
        }
        EXPECT_EQ(written, 3000u + 2 + 2);
        expect_ends(batches.back(), {
                                        Event(queue->closed_at(), 42, pack_word(KIND_RETURN, 2)),
                                        Event(queue->closed_at(), 42, pack_word(KIND_RETURN, 1)),
                                    });
    }
}

}  // namespace
}  // namespace vespra
