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
constexpr uint32_t BATCH = EventBatch::CAPACITY;

TEST(BatchSwitch, AfterAFullBatchAndWhenTheDeltaLeaves32Bits) {
    auto queue = identity_queue();
    EXPECT_EQ(EventQueue::create(Clock::monotonic_with_origin(0))->id(), queue->id() + 1);
    const uint64_t far = 1ull << 40;  // then 2^32 - 1 ticks (fits), 2^32 (does not), backwards
    const uint64_t stamps[] = {far, far + 0xFFFFFFFF, far + (1ull << 32), far + 10};
    on_new_thread([&] {
        HOT.tid = 9;
        record_run(*queue, BATCH);
        EXPECT_EQ(HOT.queue_id, queue->id()) << "the first event binds";
        EXPECT_TRUE(drain_all(*queue).empty()) << "a full batch leaves only on the next event";
        for (uint32_t i = 0; i < 4; ++i) record(*queue, stamps[i], pack_word(KIND_START, BATCH + i));
    });
    std::vector<Event> out = drain_all(*queue);  // the rest was pushed by the exit flush
    ASSERT_EQ(out.size(), BATCH + 4);
    for (uint32_t i = 0; i < BATCH + 4; ++i) {
        ASSERT_EQ(out[i].ts, i < BATCH ? 1000 + i : stamps[i - BATCH]) << i;
        ASSERT_EQ(code_of(out[i].packed), i);
        ASSERT_EQ(out[i].tid, 9u);
    }
    EXPECT_EQ(queue->consumer_count(), 1u);
}

TEST(RingFull, CostsWholeBatchesAndRecordingGoesOn) {
    auto queue = identity_queue();
    const uint32_t ring_events = BATCH_RING_CAPACITY * BATCH;  // what a ring holds
    // Every event has raw value 1000 + its code id, so a timestamp shows where it was taken.
    auto record_from = [&](uint32_t code, uint32_t n) { record_run(*queue, n, 1000 + code, code); };
    uint32_t code = 0;
    on_new_thread([&] {
        record_from(code, ring_events + 10);  // the ring is full, 10 events wait
        code += ring_events + 10;
        Cold& cold = *tls::ColdBorrow();
        EXPECT_EQ(Cold::flush_partial(cold, HOT), 10u) << "a stop flush reports what it discards";
        record_from(code, BATCH + 1);  // the last event meets the full ring
        code += BATCH + 1;
        EXPECT_EQ(queue->dropped(), BATCH);
        std::vector<Event> out = drain_all(*queue);
        ASSERT_EQ(out.size(), ring_events);
        for (uint32_t i = 0; i < ring_events; ++i) ASSERT_EQ(code_of(out[i].packed), i);
        record_from(code++, 1);
    });
    // The event that met the full ring opened the reused batch; both arrive with their times.
    std::vector<Event> out = drain_all(*queue);
    ASSERT_EQ(out.size(), 2u);
    for (uint32_t i = 0; i < 2; ++i) {
        EXPECT_EQ(code_of(out[i].packed), code - 2 + i);
        EXPECT_EQ(out[i].ts, 1000 + code - 2 + i);
    }
}

// One thread per entry, each leaving that many full batches in its own ring; returns the tids.
std::vector<uint32_t> fill_rings(EventQueue& queue, const std::vector<uint32_t>& batches) {
    std::vector<uint32_t> tids;
    for (uint32_t n : batches) {
        uint32_t tid = 100 + static_cast<uint32_t>(tids.size());
        tids.push_back(tid);
        on_new_thread([&, tid] {
            HOT.tid = tid;
            record_run(queue, n * BATCH);
        });
    }
    return tids;
}

TEST(Drain, RotatesItsStartingRing) {
    auto queue = identity_queue();
    std::vector<Event> out;
    EXPECT_EQ(queue->drain_nonblocking(out, 4096), 0u);
    EXPECT_EQ(queue->rotation(), 0u) << "an empty list does not advance the rotation";
    std::vector<uint32_t> tids = fill_rings(*queue, {3, 3, 3}), starts;
    for (int i = 0; i < 4; ++i) {
        out.clear();
        EXPECT_EQ(queue->drain_nonblocking(out, 1), BATCH);
        starts.push_back(out.front().tid);
    }
    EXPECT_EQ(starts, (std::vector<uint32_t>{tids[0], tids[1], tids[2], tids[0]}));
}

TEST(Drain, StopsAfterTheBatchThatReachesTheBudget) {
    auto single = identity_queue();
    fill_rings(*single, {5});
    std::vector<Event> out;
    EXPECT_EQ(single->drain_nonblocking(out, 4096), 4096u);
    EXPECT_EQ(single->drain_nonblocking(out, 1000), 1024u) << "a batch is never split";
    EXPECT_EQ(out.size(), 5120u);

    auto pair = identity_queue();
    std::vector<uint32_t> tids = fill_rings(*pair, {3, 2});
    out.clear();
    EXPECT_EQ(pair->drain_nonblocking(out, 4096), 4096u);
    std::map<uint32_t, size_t> per_tid;
    for (const Event& e : out) ++per_tid[e.tid];
    EXPECT_EQ(per_tid, (std::map<uint32_t, size_t>{{tids[0], 3072}, {tids[1], 1024}}));
    EXPECT_EQ(pair->drain_nonblocking(out, 4096), 1024u);
}

TEST(ManyProducers, EveryEventIsDrainedInThreadOrderOrCountedAsDropped) {
    constexpr int threads = 4;
    constexpr uint32_t per_thread = 300000;
    auto queue = EventQueue::create(Clock::starting_now());
    // The consumer starts once every producer has recorded more than its ring holds, so loss
    // is certain; the second half races a live consumer.
    std::latch halfway(threads);
    std::atomic<bool> stop{false};
    std::vector<Event> drained;
    std::thread consumer([&] {
        halfway.wait();
        while (!stop.load())
            if (queue->drain_nonblocking(drained, 4096) == 0) std::this_thread::yield();
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
    while (queue->drain_nonblocking(drained, 4096) != 0) {
    }

    EXPECT_GT(queue->dropped(), 0u);
    EXPECT_EQ(drained.size() + queue->dropped(), uint64_t{threads} * per_thread);
    EXPECT_EQ((queue->dropped() - dropped_at_stop) % BATCH, 0u) << "switches drop whole batches";
    std::map<uint32_t, Event> last;
    for (const Event& e : drained) {
        ASSERT_TRUE(e.tid >= 500 && e.tid < 500 + threads) << e.tid;
        auto [it, fresh] = last.try_emplace(e.tid, e);
        if (fresh) continue;
        ASSERT_GT(code_of(e.packed), code_of(it->second.packed)) << "thread " << e.tid;
        ASSERT_GE(e.ts, it->second.ts) << "thread " << e.tid;
        it->second = e;
    }
}

}  // namespace
}  // namespace vespra
