// The event queue: batch switches (and an event that finds no memory for its batch), loss when
// a ring is full, drain rotation and budget, and the lossless queue's waits. Many producers
// against a live consumer are the pipeline tests' business.
#include "core/evqueue.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "test_util.h"

// Allocation that fails on demand on the calling thread. Every unaligned form is replaced, the
// nothrow ones too (GoogleTest uses them), so that a sanitizer never sees a block of its own
// operator new released by our free; the aligned forms stay the library's, as a pair.
namespace {
thread_local bool FAIL_ALLOCATIONS = false;
void* allocate(std::size_t n) {
    void* p = FAIL_ALLOCATIONS ? nullptr : std::malloc(n ? n : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
// Out of line, so that the compiler does not pair an inlined release with the operator new of
// the call site and warn of a mismatch.
[[gnu::noinline]] void release(void* p) noexcept { std::free(p); }
}  // namespace
void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return FAIL_ALLOCATIONS ? nullptr : std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }

namespace vespra {
namespace {

using testing::drain_all;
using testing::identity_queue;
using testing::on_new_thread;
using testing::record_run;
constexpr uint32_t BATCH = EventBatch::CAPACITY;

TEST(BatchSwitch, AfterAFullBatchAndWhenTheDeltaLeaves32Bits) {
    auto queue = identity_queue();
    const uint64_t far = 1ull << 40;  // then 2^32 - 1 ticks (fits), 2^32 (does not), backwards
    const uint64_t stamps[] = {far, far + 0xFFFFFFFF, far + (1ull << 32), far + 10};
    on_new_thread([&] {
        HOT.tid = 9;
        record_run(*queue, BATCH);
        EXPECT_EQ(HOT.queue_id, queue->id()) << "the first event binds";
        EXPECT_TRUE(drain_all(*queue).empty()) << "a full batch leaves only on the next event";
        for (uint32_t i = 0; i < 4; ++i)
            record(*queue, stamps[i], pack_word(KIND_START, BATCH + i));
    });
    EXPECT_EQ(queue->consumer_count(), 1u);
    std::vector<Event> out = drain_all(*queue);  // the rest was pushed by the exit flush
    // The exited thread's rings go once drained: nothing of a finished thread is kept.
    EXPECT_EQ(queue->consumer_count(), 0u);
    ASSERT_EQ(out.size(), BATCH + 4);
    for (uint32_t i = 0; i < BATCH + 4; ++i) {
        ASSERT_EQ(out[i].ts, i < BATCH ? 1000 + i : stamps[i - BATCH]) << i;
        ASSERT_EQ(code_of(out[i].packed), i);
        ASSERT_EQ(out[i].tid, 9u);
    }
}

// Without memory for a batch the event is lost and counted, binding, switching or after a stop's
// flush, and the thread records again once memory can be had.
TEST(BatchSwitch, AnEventWithoutMemoryForItsBatchIsDroppedAndCounted) {
    auto queue = identity_queue();
    on_new_thread([&] {
        HOT.tid = 9;
        FAIL_ALLOCATIONS = true;
        record(*queue, 1000, pack_word(KIND_START, 0));  // binding
        FAIL_ALLOCATIONS = false;
        record_run(*queue, BATCH, 1001, 1);
        FAIL_ALLOCATIONS = true;
        record(*queue, 3000, pack_word(KIND_START, 0));  // the switch to a new batch
        record(*queue, 3001, pack_word(KIND_START, 0));
        FAIL_ALLOCATIONS = false;
        record(*queue, 4000, pack_word(KIND_START, BATCH + 1));
        FAIL_ALLOCATIONS = true;
        EXPECT_EQ(Cold::flush_partial(*tls::ColdBorrow(), HOT), 0u) << "the flushed batch is kept";
        record(*queue, 5000, pack_word(KIND_START, 0));
        FAIL_ALLOCATIONS = false;
        record(*queue, 6000, pack_word(KIND_START, BATCH + 2));
    });
    EXPECT_EQ(queue->dropped(), 4u);
    std::vector<Event> out = drain_all(*queue);
    ASSERT_EQ(out.size(), BATCH + 2);
    for (uint32_t i = 0; i < BATCH + 2; ++i) ASSERT_EQ(code_of(out[i].packed), i + 1);
    EXPECT_EQ(out[BATCH].ts, 4000u);
    EXPECT_EQ(out.back().ts, 6000u);
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

// Each drain starts one ring further, so no thread's backlog starves the others, and stops
// after the batch that reaches the budget, never splitting one.
TEST(Drain, RotatesItsStartingRingAndStopsAtTheBudget) {
    auto queue = identity_queue();
    std::vector<Event> out;
    std::vector<uint32_t> tids{100, 101, 102}, starts;
    for (uint32_t k = 0; k < 3; ++k) {
        on_new_thread([&] {
            HOT.tid = tids[k];
            record_run(*queue, (k == 2 ? 4 : 3) * BATCH);  // full batches stay in the ring
        });
    }
    for (int i = 0; i < 4; ++i) {
        out.clear();
        EXPECT_EQ(queue->drain_nonblocking(out, 1), BATCH);
        starts.push_back(out.front().tid);
    }
    EXPECT_EQ(starts, (std::vector<uint32_t>{tids[0], tids[1], tids[2], tids[0]}));

    // Left: 1, 2 and 3 batches. A drain stops at the batch that reaches its budget, and takes
    // that batch whole rather than split it; the last one crosses from the first ring to the third.
    const std::pair<uint64_t, uint64_t> budget_and_taken[] = {
        {2 * BATCH, 2 * BATCH}, {BATCH + 1, 2 * BATCH}, {4096, 2 * BATCH}};
    const std::pair<uint32_t, uint32_t> first_and_last[] = {
        {tids[1], tids[1]}, {tids[2], tids[2]}, {tids[0], tids[2]}};
    for (int i = 0; i < 3; ++i) {
        out.clear();
        EXPECT_EQ(queue->drain_nonblocking(out, budget_and_taken[i].first),
                  budget_and_taken[i].second);
        EXPECT_EQ(std::make_pair(out.front().tid, out.back().tid), first_and_last[i]) << i;
    }
}

std::atomic<int> DETACHES{0}, ATTACHES{0};
void* count_detach() { return &DETACHES + DETACHES.fetch_add(1) * 0; }
void count_attach(void* token) {
    EXPECT_EQ(token, &DETACHES);
    ATTACHES.fetch_add(1);
}

// A lossless queue: a producer that meets a full ring waits, detached through the hooks, until
// the consumer makes room; nothing is dropped, the last partial batch included.
TEST(Lossless, AFullRingWaitsDetachedForRoomAndNothingIsLost) {
    auto queue = identity_queue();
    DETACHES = ATTACHES = 0;
    queue->make_lossless(WaitHooks{count_detach, count_attach});
    const uint32_t total = (BATCH_RING_CAPACITY + 3) * BATCH + 5;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        record_run(*queue, total, 1000);
        done = true;
    });
    // The producer counts itself blocked just before it detaches.
    ASSERT_TRUE(testing::wait_until([&] { return DETACHES.load() == 1; }));
    EXPECT_EQ(queue->blocked(), 1u);
    EXPECT_EQ(ATTACHES.load(), 0) << "still waiting: the consumer has not drained";
    std::vector<Event> out;
    while (!done) {
        if (queue->drain_nonblocking(out, 4096) == 0) std::this_thread::yield();
    }
    producer.join();  // the exit flush pushes the last 5
    for (std::vector<Event> rest = drain_all(*queue); const Event& e : rest) out.push_back(e);
    EXPECT_EQ(queue->dropped(), 0u);
    ASSERT_EQ(out.size(), total);
    for (uint32_t i = 0; i < total; ++i) ASSERT_EQ(code_of(out[i].packed), i);
    EXPECT_GE(DETACHES.load(), 1);
    EXPECT_EQ(DETACHES.load(), ATTACHES.load());
    EXPECT_EQ(queue->blocked(), 0u);
}

// When the consumer is gone for good, a waiting producer gives up and the batch is counted,
// as on a queue that never waits.
TEST(Lossless, AnAbandonedQueueReleasesTheWaitingProducer) {
    auto queue = identity_queue();
    queue->make_lossless(WaitHooks{});
    std::thread producer([&] { record_run(*queue, (BATCH_RING_CAPACITY + 1) * BATCH + 1); });
    while (queue->blocked() == 0) testing::sleep_ms(1);
    queue->abandon();
    producer.join();
    EXPECT_EQ(queue->dropped(), BATCH);
    EXPECT_EQ(queue->blocked(), 0u);
}

// A forked child has no serializer for its copy of the parent's queue: a lossless flush into a
// full ring there (the forking thread's exit, before it records under a run of its own) gives
// up instead of waiting for ever.
TEST(Lossless, AForkedChildDoesNotWaitForTheParentsSerializer) {
    auto queue = identity_queue();
    queue->make_lossless(WaitHooks{});
    int status = -1;
    on_new_thread([&] {
        record_run(*queue, BATCH_RING_CAPACITY * BATCH + 5);  // ring full, 5 events waiting
        pid_t child = fork();
        if (child == 0) {
            alarm(10);  // a hang ends the child with SIGALRM
            uint64_t lost = Cold::flush_partial(*tls::ColdBorrow(), HOT);
            _exit(lost == 5 ? 0 : 1);
        }
        ASSERT_GT(child, 0);
        ASSERT_EQ(waitpid(child, &status, 0), child);
        drain_all(*queue);  // room for this thread's own exit flush
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace
}  // namespace vespra
