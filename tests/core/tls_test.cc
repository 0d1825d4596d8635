// Thread-local recorders: the flush at stop and at thread exit, and rebinding to a new queue.
#include "core/tls.h"

#include <gtest/gtest.h>

#include <barrier>
#include <map>
#include <thread>
#include <vector>

#include "core/evqueue.h"
#include "test_util.h"

namespace vespra {
namespace {

using testing::drain_all;
using testing::identity_queue;
using testing::on_new_thread;
using testing::record_run;

std::map<uint32_t, std::vector<uint32_t>> codes_by_tid(const std::vector<Event>& events) {
    std::map<uint32_t, std::vector<uint32_t>> out;
    for (const Event& e : events) out[e.tid].push_back(code_of(e.packed));
    return out;
}

std::vector<uint32_t> seq(uint32_t from, uint32_t n) {
    std::vector<uint32_t> v(n);
    for (uint32_t i = 0; i < n; ++i) v[i] = from + i;
    return v;
}

TEST(Flush, AtStopAndAtExitEveryPartialBatchArrives) {
    auto queue = identity_queue();
    size_t registered = tls::recorder_count();
    constexpr int threads = 6;
    std::barrier<> recorded(threads + 1), flushed(threads / 2 + 1);
    std::vector<std::thread> pool;
    for (uint32_t t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            HOT.tid = 10 + t;
            record_run(*queue, 10 + t * 300);
            recorded.arrive_and_wait();
            // Odd threads exit at once, racing the stop flush; even ones record into the fresh
            // batch the flush left, then exit.
            if (t % 2 == 1) return;
            flushed.arrive_and_wait();
            record_run(*queue, 5, 1 << 20, 10000);
        });
    }
    recorded.arrive_and_wait();
    EXPECT_EQ(tls::flush_every_thread(), 0u);
    auto at_stop = codes_by_tid(drain_all(*queue));  // even threads are still alive here
    flushed.arrive_and_wait();
    for (auto& t : pool) t.join();
    auto at_exit = codes_by_tid(drain_all(*queue));
    for (uint32_t t = 0; t < threads; ++t) {
        std::vector<uint32_t>& stopped = at_stop[10 + t];
        std::vector<uint32_t>& exited = at_exit[10 + t];
        if (t % 2 == 1) {  // whichever flush came first, each event arrives once, in order
            stopped.insert(stopped.end(), exited.begin(), exited.end());
            exited.clear();
        }
        EXPECT_EQ(stopped, seq(0, 10 + t * 300)) << t;
        EXPECT_EQ(exited, t % 2 == 0 ? seq(10000, 5) : seq(0, 0)) << t;
    }
    EXPECT_EQ(tls::recorder_count(), registered) << "exit unregisters";
}

// The exit flush comes after everything the thread records, even from its thread_locals'
// destructors (this one is constructed before COLD, so it is destroyed after a C++ object
// constructed with COLD would be).
EventQueue* LATE_QUEUE = nullptr;
struct RecordsWhenDestroyed {
    bool armed = false;
    ~RecordsWhenDestroyed() {
        if (armed) record_run(*LATE_QUEUE, 3, 50000, 100);
    }
};
thread_local RecordsWhenDestroyed LATE_RECORDER;

TEST(Flush, ExitFlushRunsAfterTheThreadsLastRecording) {
    auto queue = identity_queue();
    LATE_QUEUE = queue.get();
    on_new_thread([&] {
        HOT.tid = 30;
        LATE_RECORDER.armed = true;
        record_run(*queue, 5);
    });
    EXPECT_EQ(codes_by_tid(drain_all(*queue))[30],
              (std::vector<uint32_t>{0, 1, 2, 3, 4, 100, 101, 102}));
}

TEST(Rebinding, ANewQueueGetsANewRingAndOnlyItsOwnEvents) {
    auto first = identity_queue(), second = identity_queue(), third = identity_queue();
    on_new_thread([&] {
        HOT.tid = 40;
        record_run(*first, 10);
        EXPECT_EQ(tls::flush_every_thread(), 0u);  // the first run stops
        size_t registered = tls::recorder_count();
        record_run(*second, 10, 7000, 100);
        EXPECT_EQ(HOT.queue_id, second->id());
        EXPECT_EQ(tls::recorder_count(), registered);
        // Rebinding without a stop, as a forked child does: the old run's events stay behind.
        record_run(*third, 4, 9000, 200);
    });
    EXPECT_EQ(second->consumer_count() + third->consumer_count(), 2u);
    EXPECT_EQ(codes_by_tid(drain_all(*first))[40], seq(0, 10));
    EXPECT_TRUE(drain_all(*second).empty());
    EXPECT_EQ(codes_by_tid(drain_all(*third))[40], seq(200, 4));
}

}  // namespace
}  // namespace vespra
