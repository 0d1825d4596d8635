// The event queue: per-thread single-producer single-consumer rings of 1024-event batches, from
// any number of recording threads to the one serializer thread, and a return ring per thread
// that brings drained batches back for reuse. Producers take a lock only once, when they bind.
// By default they never block: a full ring costs the producer a whole batch, counted in
// dropped(). A lossless queue makes a producer whose ring is full wait for room instead.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "core/clock.h"
#include "core/event.h"
#include "core/marks.h"
#include "core/spsc.h"
#include "core/tls.h"
#include "core/wake.h"

namespace vespra {

// A block of packed events of one thread; owned by exactly one holder at a time (the thread's
// Cold, a ring slot, or the serializer while it decodes).
struct EventBatch {
    static constexpr size_t CAPACITY = 1024;

    // Storage for CAPACITY events, left uninitialised; `count` is brought up to date only when
    // the batch leaves its thread.
    std::unique_ptr<PackedEvent[]> events;
    uint32_t count = 0;
    uint64_t base = 0;
    uint32_t tid = 0;
    // Holds a mark (see marks.h): the serializer then decodes its payload slots and keeps its
    // spans nested.
    bool marks = false;

    static std::unique_ptr<EventBatch> create(uint64_t base, uint32_t tid);
    PackedEvent* begin() { return events.get(); }
    PackedEvent* end_of_storage() { return events.get() + CAPACITY; }
};

// Points the fast append at `batch`: its base, its first slot, one past its last slot. The
// first lines are prefetched for writing; the fast append keeps prefetching ahead of itself.
inline void point_hot_at(Hot& hot, EventBatch& batch) {
    hot.base = batch.base;
    hot.cursor = batch.begin();
    hot.end = batch.end_of_storage();
    prefetch_for_write(hot.cursor);
    prefetch_for_write(hot.cursor + 8);
}

// Batches a thread can have waiting for the serializer: 8 MiB, some 100 ms of the most
// call-dense code, which is how far a serializer or writer sharing two cores with four busy
// recording threads and other processes was seen to fall behind. Allocated only as far as a
// backlog grows; a thread keeps at most MAX_SPARE_BATCHES of them for reuse afterwards.
inline constexpr size_t BATCH_RING_CAPACITY = 1024;
inline constexpr size_t MAX_SPARE_BATCHES = 32;
// A producer wakes a sleeping serializer when its ring holds this many batches: the serializer
// then wakes about once per 8 batches of the busiest thread instead of once per batch. Batches
// below the mark wait for the serializer's idle timeout, a stop or a thread's exit.
inline constexpr size_t WAKE_AT_BATCHES = 8;
using BatchRing = SpscRing<std::unique_ptr<EventBatch>, BATCH_RING_CAPACITY>;
// The batches a flight ring keeps ready for each thread: the ring holds on to what the threads
// fill, so their next batches come from the keeper, already in memory, rather than from a fresh
// allocation whose first touch the recording thread would pay for.
inline constexpr size_t RING_SPARE_STOCK = 16;

// What a lossless queue's producer does around a wait for room: the Python layer detaches the
// thread from the interpreter, so that a stop, a fork or a garbage collection can pause the
// world while it waits. Plain functions, so that the queue knows nothing of Python.
struct WaitHooks {
    void* (*detach)() = nullptr;  // returns a token for attach
    void (*attach)(void* token) = nullptr;
};

// Shared by a queue and the Cold of every thread bound to it, which may outlive the queue.
struct QueueSignals {
    Doorbell work;  // rung by producers, slept on by the serializer
    Gate room;      // opened by the serializer after it drained, slept on by blocked producers
    std::atomic<bool> lossless{false};  // set before the first event
    WaitHooks hooks;
    // The consumer is gone (the serializer ended): no room will ever appear.
    std::atomic<bool> abandoned{false};

    // After a push: wakes the serializer when the ring has reached the mark.
    void pushed(const BatchRing::Producer& producer) {
        if (producer.backlog() >= WAKE_AT_BATCHES) work.ring();
    }
    // Lossless: pushes `batch`, waiting for room while the consumer lives. False when it gave
    // up (the batch is still the caller's). The caller leaves `room` once done with its records.
    bool wait_for_room(BatchRing::Producer& producer, std::unique_ptr<EventBatch>& batch,
                       bool detach);
};

// The rarely touched part of a thread's recording state.
struct Cold {
    uint64_t queue_id = 0;
    BatchRing::Producer producer;  // filled batches to the serializer; empty until bound
    BatchRing::Consumer empties;   // drained batches back from it
    std::shared_ptr<QueueSignals> signals;
    // Batches taken from `empties`, the most recently drained last. The next batch is the last:
    // of all the thread's batches the one most likely still in its own cache, and reusing the
    // same few keeps the thread's working set small.
    std::vector<std::unique_ptr<EventBatch>> spare;
    std::unique_ptr<EventBatch> current;
    // Odd while the slow path swaps the batch being filled, bumped twice per swap: a flight
    // ring's snapshot copies the partly filled batch of a thread that keeps recording, and keeps
    // the copy only when the count was even and unchanged across it (see tls::copy_partials).
    std::atomic<uint32_t> swaps{0};
    // Keeps `swaps` odd while it lives, and makes it even again however the swap ends (an
    // allocation failure included).
    struct Swapping {
        std::atomic<uint32_t>& swaps;
        uint32_t after;
        explicit Swapping(Cold& cold)
            : swaps(cold.swaps), after(cold.swaps.load(std::memory_order_relaxed) + 2) {
            swaps.store(after - 1, std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_release);
        }
        ~Swapping() { swaps.store(after, std::memory_order_release); }
        Swapping(const Swapping&) = delete;
        Swapping& operator=(const Swapping&) = delete;
    };

    // A batch to fill next: a spare one, else a new one.
    std::unique_ptr<EventBatch> next_batch(uint64_t base, uint32_t tid);

    // Hands the partly filled batch to the ring and wakes the serializer; returns the events
    // discarded because the ring was full (a lossless queue waits for room instead). Only the
    // owning thread, or a stopping thread while the owner cannot record; neither attached to
    // the interpreter when the queue is lossless.
    static uint64_t flush_partial(Cold& cold, Hot& hot);
};

namespace tls {
// The calling thread's Cold, initialised on first use (which arms the thread-exit flush).
// A second borrow while one is live is a fatal error (the process aborts with a message).
// After the thread's exit destructor has run the borrow is empty (false) and must not be used.
class ColdBorrow {
  public:
    ColdBorrow();
    ~ColdBorrow();
    ColdBorrow(const ColdBorrow&) = delete;
    ColdBorrow& operator=(const ColdBorrow&) = delete;
    Cold& operator*() const { return *cold_; }
    Cold* operator->() const { return cold_; }
    explicit operator bool() const { return cold_ != nullptr; }

  private:
    Cold* cold_;
};
}  // namespace tls

// Process-wide; the next queue id. Starts at 1 so that 0 means "bound to no queue".
extern std::atomic<uint64_t> NEXT_QUEUE_ID;

class alignas(64) EventQueue {
  public:
    // Draws an id from NEXT_QUEUE_ID.
    static std::shared_ptr<EventQueue> create(Clock clock);
    EventQueue(uint64_t id, Clock clock);

    uint64_t id() const { return id_; }
    const Clock& clock() const { return clock_; }

    // Records an event the fast append could not take, and leaves HOT ready for fast appends.
    // Binds the thread on its first event under this queue. On a lossless queue a full ring
    // makes it wait for room, detached through the hooks. When memory for a batch cannot be had
    // the event is dropped and counted in dropped(), never thrown into the recording thread.
    void slow_path(Hot& hot, uint64_t now, uint32_t tid, uint32_t word) noexcept;
    void init_producer(Cold& cold, Hot& hot, uint64_t now, uint32_t tid);

    // Moves available batches of all rings, starting at a rotating ring, into `out` as decoded
    // events; stops after the batch that reaches `budget`. Never waits for a producer. Drained
    // batches go back to their thread; producers waiting for room are woken.
    uint64_t drain_nonblocking(std::vector<Event>& out, uint64_t budget);
    void decode_into(const EventBatch& batch, std::vector<Event>& out) const {
        decode_into(batch, out, nesting_);
    }
    // The same with the mark nesting of a stream of one's own (a flight ring decodes its batches
    // when they leave it and again when it is dumped, each time from the state it had then).
    void decode_into(const EventBatch& batch, std::vector<Event>& out,
                     marks::MarkNesting& nesting) const;
    // A flight ring's drain: moves every available batch, packed as recorded, to `out`, each
    // thread's in order, and stocks each thread with up to RING_SPARE_STOCK batches to fill next
    // from `supply` (which may give none). Returns the events.
    uint64_t drain_packed(std::vector<std::unique_ptr<EventBatch>>& out,
                          const std::function<std::unique_ptr<EventBatch>()>& supply);
    // The serializer's idle wait: returns when a producer rang (a ring reached the mark, a
    // flush, a waiting producer, the close), after `timeout`, or spuriously.
    void wait_for_work(std::chrono::microseconds timeout);
    bool has_work() const;
    // Wakes the serializer now, below any mark (tests that hand over batches one at a time).
    void wake_consumer() { signals_->work.ring(); }

    // Before the first event: a full ring makes its producer wait for room instead of dropping
    // a batch. `hooks` detach the waiting thread from whatever it must not hold meanwhile.
    void make_lossless(WaitHooks hooks);
    bool lossless() const { return signals_->lossless.load(std::memory_order_relaxed); }
    // Producers waiting for room, or just done waiting and still finishing their event. The
    // stop sequence waits for none before it touches other threads' batches.
    uint32_t blocked() const { return signals_->room.waiting(); }
    void wait_until_unblocked() const;
    // The consumer will drain no more: waiting producers give up (the serializer's end).
    void abandon();

    // The run's stop: the time of the close is the stop's time in the trace.
    void close() {
        closed_at_ = clock_.to_nanos(clock_.raw());
        closed_.store(true, std::memory_order_release);
        signals_->work.ring();
    }
    bool closed() const { return closed_.load(std::memory_order_acquire); }
    // Nanoseconds since the clock's origin at the close; read only once closed() is seen.
    uint64_t closed_at() const { return closed_at_; }
    // A pause ends the export pipeline the way a close does (what was pushed before it is
    // drained and written) but leaves the writer unfinished, for a pipeline started after
    // resume() to go on with. Producers are not affected.
    void pause() {
        paused_.store(true, std::memory_order_release);
        signals_->work.ring();
    }
    void resume() { paused_.store(false, std::memory_order_release); }
    bool paused() const { return paused_.load(std::memory_order_acquire); }
    uint64_t wake_ups() const { return signals_->work.rings(); }
    bool consumer_asleep() const { return signals_->work.asleep(); }

    void add_dropped(uint64_t n) { dropped_.fetch_add(n, std::memory_order_relaxed); }
    uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }
    // Events that the run's options left out before they were recorded (counted where they are
    // decided, read by the writer's finish beside the dropped count). Relaxed: read after the
    // close, which follows every add.
    void add_left_out(uint64_t n) { left_out_.fetch_add(n, std::memory_order_relaxed); }
    uint64_t left_out() const { return left_out_.load(std::memory_order_relaxed); }

    // For tests and diagnostics.
    size_t consumer_count() const;
    const marks::MarkNesting& nesting() const { return nesting_; }
    uint64_t rotation() const { return rotation_.load(std::memory_order_relaxed); }

  private:
    // slow_path's part that may allocate: binds the thread, or hands the full batch over and
    // points HOT at the next one. `waited` is set once it waited for room in a lossless ring.
    void switch_batch(Cold& cold, Hot& hot, uint64_t now, uint32_t tid, bool& waited);

    // The queue's ends of one thread's two rings.
    struct Link {
        BatchRing::Consumer filled;
        BatchRing::Producer empties;
    };
    mutable std::mutex consumers_mutex_;
    std::vector<Link> consumers_;
    std::shared_ptr<QueueSignals> signals_ = std::make_shared<QueueSignals>();
    std::atomic<uint64_t> rotation_{0};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint64_t> left_out_{0};
    std::atomic<bool> closed_{false};
    uint64_t closed_at_ = 0;  // published by the release store of closed_
    std::atomic<bool> paused_{false};
    uint64_t id_;
    Clock clock_;
    // The serializer's (decode_into runs on it alone).
    mutable marks::MarkNesting nesting_;
};

// The whole recording step after the counter read: fast append, else the slow path.
inline void record(EventQueue& queue, uint64_t now, uint32_t word) {
    Hot& hot = HOT;
    if (!fast_append(hot, queue.id(), now, word)) queue.slow_path(hot, now, hot.tid, word);
}

// Records a mark: its header event and `payload` (marks::pack's slots) in one batch, after the
// events the thread recorded before it. Not for the function events' path: it borrows the
// thread's Cold to flag the batch. When the mark starts a batch (which may wait for room in a
// lossless run) it is counted in `in_flight` meanwhile, so that a stop waiting for that count
// does not flush the batch between the header and its payload.
void record_mark(EventQueue& queue, uint64_t now, uint32_t word, std::string_view payload,
                 std::atomic<uint32_t>& in_flight);

}  // namespace vespra
