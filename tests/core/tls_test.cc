// Thread-local recorders: the flush at stop and at thread exit, registration, forgetting after
// fork, rebinding to a new queue, and the single-owner borrow of COLD.
#include "core/tls.h"

#include <gtest/gtest.h>

#include <barrier>
#include <map>
#include <thread>
#include <vector>

#include "core/evqueue.h"
#include "recording_test_util.h"

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

std::vector<uint32_t> iota(uint32_t from, uint32_t n) {
    std::vector<uint32_t> v;
    for (uint32_t i = 0; i < n; ++i) v.push_back(from + i);
    return v;
}

TEST(Flush, StopPushesEveryPartialBatchAndThreadsKeepRecording) {
    auto queue = identity_queue();
    size_t before = tls::recorder_count();
    const uint32_t counts[] = {10, 1500};
    std::barrier<> recorded(3), flushed(3);
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            HOT.tid = 10 + t;
            record_run(*queue, counts[t]);
            recorded.arrive_and_wait();
            flushed.arrive_and_wait();
            record_run(*queue, 5, 100000, 1, counts[t]);  // into the fresh batch left by the flush
        });
    }
    recorded.arrive_and_wait();
    EXPECT_EQ(tls::recorder_count(), before + 2);
    EXPECT_EQ(tls::flush_every_thread(), 0u);
    auto stopped = codes_by_tid(drain_all(*queue));
    EXPECT_EQ(stopped[10], iota(0, 10));
    EXPECT_EQ(stopped[11], iota(0, 1500));
    EXPECT_EQ(tls::flush_every_thread(), 0u);
    EXPECT_TRUE(drain_all(*queue).empty()) << "empty batches are not pushed";

    flushed.arrive_and_wait();
    for (auto& t : threads) t.join();
    EXPECT_EQ(tls::recorder_count(), before) << "exit unregisters";
    auto exited = codes_by_tid(drain_all(*queue));  // pushed by the exit flush
    EXPECT_EQ(exited[10], iota(10, 5));
    EXPECT_EQ(exited[11], iota(1500, 5));
    EXPECT_EQ(queue->dropped(), 0u);
}

TEST(Flush, ThreadsExitingDuringAStopFlushLoseNothing) {
    auto queue = identity_queue();
    constexpr int threads = 8;
    std::barrier<> recorded(threads + 1);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            HOT.tid = 20 + t;
            record_run(*queue, 100 + t * 300);
            recorded.arrive_and_wait();  // then exit at once, racing the flush below
        });
    }
    recorded.arrive_and_wait();
    EXPECT_EQ(tls::flush_every_thread(), 0u);
    for (auto& t : pool) t.join();
    auto got = codes_by_tid(drain_all(*queue));
    ASSERT_EQ(got.size(), size_t{threads});
    for (int t = 0; t < threads; ++t) EXPECT_EQ(got[20 + t], iota(0, 100 + t * 300)) << t;
}

// The exit flush must come after everything the thread records, including from the destructors
// of its own thread_local objects.
EventQueue* LATE_QUEUE = nullptr;
struct RecordsWhenDestroyed {
    bool armed = false;
    ~RecordsWhenDestroyed() {
        if (armed) record_run(*LATE_QUEUE, 3, 50000, 1, 100);
    }
};
thread_local RecordsWhenDestroyed LATE_RECORDER;

TEST(Flush, ExitFlushRunsAfterTheThreadsLastRecording) {
    auto queue = identity_queue();
    LATE_QUEUE = queue.get();
    on_new_thread([&] {
        HOT.tid = 30;
        LATE_RECORDER.armed = true;  // constructed before COLD, so destroyed after it would be
        record_run(*queue, 5);
    });
    auto got = codes_by_tid(drain_all(*queue));
    EXPECT_EQ(got[30], (std::vector<uint32_t>{0, 1, 2, 3, 4, 100, 101, 102}));
}

TEST(Registration, OneEntryPerThreadAndAForkedChildKeepsOnlyItsOwn) {
    auto queue = identity_queue();
    std::barrier<> bound(3), done(3);
    std::vector<std::thread> others;
    for (int t = 0; t < 2; ++t) {
        others.emplace_back([&] {
            record_run(*queue, 1);
            bound.arrive_and_wait();
            done.arrive_and_wait();
        });
    }
    bound.arrive_and_wait();
    on_new_thread([&] {
        size_t before = tls::recorder_count();
        record_run(*queue, 1);
        tls::register_current();
        tls::register_current();
        EXPECT_EQ(tls::recorder_count(), before + 1);
        tls::forget_other_threads();
        EXPECT_EQ(tls::recorder_count(), 1u);
    });
    EXPECT_EQ(tls::recorder_count(), 0u);
    on_new_thread([&] {
        tls::forget_other_threads();  // never recorded: nothing of its own to keep
        EXPECT_EQ(tls::recorder_count(), 0u);
    });
    done.arrive_and_wait();
    for (auto& t : others) t.join();
    EXPECT_EQ(tls::flush_every_thread(), 0u);
}

TEST(Rebinding, ANewQueueGetsANewRingAndOnlyItsOwnEvents) {
    auto first = identity_queue();
    auto second = identity_queue();
    auto third = identity_queue();
    on_new_thread([&] {
        HOT.tid = 40;
        record_run(*first, 10);
        EXPECT_EQ(tls::flush_every_thread(), 0u);  // the stop of the first run
        size_t registered = tls::recorder_count();
        record_run(*second, 10, 7000, 1, 100);
        EXPECT_EQ(HOT.queue_id, second->id());
        EXPECT_EQ(tls::recorder_count(), registered);
        // Rebinding without a flush, as a forked child does: the old batch's events belong to
        // the old run and are not carried over.
        record_run(*third, 4, 9000, 1, 200);
    });
    EXPECT_EQ(codes_by_tid(drain_all(*first))[40], iota(0, 10));
    EXPECT_TRUE(drain_all(*second).empty());
    EXPECT_EQ(codes_by_tid(drain_all(*third))[40], iota(200, 4));
    EXPECT_EQ(first->consumer_count() + second->consumer_count() + third->consumer_count(), 3u);
    EXPECT_EQ(second->dropped() + third->dropped(), 0u);
}

TEST(ColdBorrowDeathTest, ASecondBorrowIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            tls::ColdBorrow first;
            tls::ColdBorrow second;
        },
        "borrowed twice");
}

}  // namespace
}  // namespace vespra
