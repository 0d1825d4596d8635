// The event queue: batch switches, loss when a ring is full, drain rotation and budget, and
// many producers against a draining consumer.
#include "core/evqueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <latch>
#include <map>
#include <thread>
#include <vector>

#include "recording_test_util.h"

namespace vespra {
namespace {

using testing::drain_all;
using testing::identity_queue;
using testing::on_new_thread;
using testing::record_run;

TEST(BatchSwitch, FirstEventBindsAndTheNext1024thStartsANewBatch) {
    auto queue = identity_queue();
    uint64_t first_id = queue->id();
    EXPECT_EQ(EventQueue::create(Clock::monotonic_with_origin(0))->id(), first_id + 1);
    on_new_thread([&] {
        HOT.tid = 9;
        EXPECT_EQ(HOT.queue_id, 0u);
        record_run(*queue, 1);
        EXPECT_EQ(HOT.queue_id, queue->id());
        EXPECT_EQ(queue->consumer_count(), 1u);
        record_run(*queue, 1023, 1001, 1, 1);
        EXPECT_EQ(HOT.cursor, HOT.end);
        EXPECT_TRUE(drain_all(*queue).empty()) << "a full batch leaves only on the next event";
        record_run(*queue, 1, 5000, 1, 1024);
        std::vector<Event> out = drain_all(*queue);
        ASSERT_EQ(out.size(), 1024u);
        for (uint32_t i = 0; i < 1024; ++i) {
            ASSERT_EQ(out[i].ts, 1000u + i);
            ASSERT_EQ(code_of(out[i].packed), i);
            ASSERT_EQ(out[i].tid, 9u);
        }
        EXPECT_EQ(HOT.base, 5000u);
    });
    std::vector<Event> rest = drain_all(*queue);  // pushed by the thread's exit flush
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].ts, 5000u);
    EXPECT_EQ(queue->consumer_count(), 1u);
}

TEST(BatchSwitch, DeltaThatDoesNotFit32BitsOrGoesBackwardsStartsANewBatch) {
    auto queue = identity_queue();
    const uint64_t base = 1ull << 40;
    const uint64_t stamps[] = {base, base + 0xFFFFFFFF, base + (1ull << 32), base + 10, base + 11};
    on_new_thread([&] {
        uint32_t seq = 0;
        for (uint64_t now : stamps) record(*queue, now, pack_word(KIND_START, seq++));
    });
    std::vector<Event> out = drain_all(*queue);
    ASSERT_EQ(out.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(out[i].ts, stamps[i]) << i;
        EXPECT_EQ(code_of(out[i].packed), i);
    }
    EXPECT_EQ(queue->dropped(), 0u);
}

TEST(RingFull, DropsTheWholePreviousBatchAndKeepsRecording) {
    auto queue = identity_queue();
    const uint64_t ring_events = BATCH_RING_CAPACITY * EventBatch::CAPACITY;
    on_new_thread([&] {
        // Fill the ring, fill one more batch, then one event forces a push into the full ring.
        record_run(*queue, ring_events + EventBatch::CAPACITY + 1);
        EXPECT_EQ(queue->dropped(), EventBatch::CAPACITY);
        // The event that hit the full ring opens the reused batch at delta 0.
        EXPECT_EQ(HOT.base, 1000 + ring_events + EventBatch::CAPACITY);
        EXPECT_EQ(HOT.cursor, HOT.end - (EventBatch::CAPACITY - 1));
        // A stop flush into the still-full ring reports what it had to discard.
        Cold& cold = *tls::ColdBorrow();
        EXPECT_EQ(Cold::flush_partial(cold, HOT), 1u);
        EXPECT_EQ(Cold::flush_partial(cold, HOT), 0u) << "an empty batch is never pushed";
        std::vector<Event> out = drain_all(*queue);
        ASSERT_EQ(out.size(), ring_events);
        for (uint32_t i = 0; i < ring_events; ++i) ASSERT_EQ(code_of(out[i].packed), i);
        record_run(*queue, 2, 1ull << 20, 1, 7000000);
    });
    std::vector<Event> out = drain_all(*queue);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(code_of(out[0].packed), 7000000u);
    EXPECT_EQ(queue->dropped(), EventBatch::CAPACITY);
}

// Three bound threads, each leaving `batches` full batches in its ring.
std::vector<uint32_t> fill_rings(EventQueue& queue, const std::vector<int>& batches) {
    std::vector<uint32_t> tids;
    for (size_t t = 0; t < batches.size(); ++t) {
        uint32_t tid = 100 + static_cast<uint32_t>(t);
        tids.push_back(tid);
        on_new_thread([&, tid] {
            HOT.tid = tid;
            record_run(queue, batches[t] * EventBatch::CAPACITY);  // the last leaves at exit
        });
    }
    return tids;
}

TEST(Drain, RotatesItsStartingRing) {
    auto queue = identity_queue();
    std::vector<Event> out;
    EXPECT_EQ(queue->drain_nonblocking(out, 4096), 0u);
    EXPECT_EQ(queue->rotation(), 0u) << "an empty list does not advance the rotation";

    std::vector<uint32_t> tids = fill_rings(*queue, {3, 3, 3});
    std::vector<uint32_t> starts;
    for (int i = 0; i < 4; ++i) {
        out.clear();
        EXPECT_EQ(queue->drain_nonblocking(out, 1), EventBatch::CAPACITY);
        starts.push_back(out.front().tid);
    }
    EXPECT_EQ(starts, (std::vector<uint32_t>{tids[0], tids[1], tids[2], tids[0]}));
}

TEST(Drain, StopsAfterTheBatchThatReachesTheBudget) {
    auto single = identity_queue();
    fill_rings(*single, {5});
    std::vector<Event> out;
    EXPECT_EQ(single->drain_nonblocking(out, 4096), 4096u);
    out.clear();
    EXPECT_EQ(single->drain_nonblocking(out, 1000), 1024u) << "a batch is never split";
    EXPECT_EQ(out.size(), 1024u);
    out.clear();
    EXPECT_EQ(single->drain_nonblocking(out, 4096), 0u);

    auto pair = identity_queue();
    std::vector<uint32_t> tids = fill_rings(*pair, {3, 2});
    out.clear();
    EXPECT_EQ(pair->drain_nonblocking(out, 4096), 4096u);
    std::map<uint32_t, size_t> per_tid;
    for (const Event& e : out) ++per_tid[e.tid];
    EXPECT_EQ(per_tid[tids[0]], 3072u);
    EXPECT_EQ(per_tid[tids[1]], 1024u);
    out.clear();
    EXPECT_EQ(pair->drain_nonblocking(out, 4096), 1024u);
}

TEST(ManyProducers, EveryEventIsDrainedInThreadOrderOrCountedAsDropped) {
    constexpr int threads = 4;
    constexpr uint32_t per_thread = 300000;
    auto queue = EventQueue::create(Clock::starting_now());
    // The consumer starts only when every producer has recorded half its events, more than its
    // ring holds, so loss is certain; the second half races a live consumer.
    std::latch halfway(threads);
    std::atomic<bool> stop{false};
    std::vector<Event> drained;
    std::thread consumer([&] {
        halfway.wait();
        std::vector<Event> out;
        while (!stop.load()) {
            out.clear();
            if (queue->drain_nonblocking(out, 4096) == 0) std::this_thread::yield();
            drained.insert(drained.end(), out.begin(), out.end());
        }
    });
    // Producers stay alive until the stop flush, as recording threads do under a tracer.
    std::barrier<> recorded(threads + 1), flushed(threads + 1);
    std::vector<std::thread> producers;
    for (int t = 0; t < threads; ++t) {
        producers.emplace_back([&, t] {
            HOT.tid = 500 + t;
            for (uint32_t i = 0; i < per_thread; ++i) {
                record(*queue, queue->clock().raw(), pack_word(KIND_START, i));
                if (i == per_thread / 2) halfway.count_down();
                if (i % 4096 == 0) std::this_thread::yield();
            }
            recorded.arrive_and_wait();
            flushed.arrive_and_wait();
        });
    }
    recorded.arrive_and_wait();
    uint64_t dropped_at_stop = tls::flush_every_thread();
    queue->add_dropped(dropped_at_stop);
    queue->close();
    flushed.arrive_and_wait();
    for (auto& p : producers) p.join();
    stop = true;
    consumer.join();
    std::vector<Event> rest = drain_all(*queue);
    drained.insert(drained.end(), rest.begin(), rest.end());

    EXPECT_GT(queue->dropped(), 0u);
    EXPECT_EQ(drained.size() + queue->dropped(), uint64_t{threads} * per_thread);
    EXPECT_EQ((queue->dropped() - dropped_at_stop) % EventBatch::CAPACITY, 0u)
        << "a batch switch drops whole batches";
    std::map<uint32_t, std::pair<int64_t, uint64_t>> last;  // tid -> (last code, last ts)
    for (const Event& e : drained) {
        ASSERT_GE(e.tid, 500u);
        ASSERT_LT(e.tid, 500u + threads);
        auto [it, fresh] = last.try_emplace(e.tid, -1, 0);
        ASSERT_GT(int64_t{code_of(e.packed)}, it->second.first) << "thread " << e.tid;
        ASSERT_GE(e.ts, it->second.second) << "thread " << e.tid;
        it->second = {code_of(e.packed), e.ts};
    }
}

}  // namespace
}  // namespace vespra
