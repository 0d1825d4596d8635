// The event queue: per-thread single-producer single-consumer rings of 1024-event batches, from
// any number of recording threads to the one serializer thread. Producers never block and take
// a lock only once, when they bind; a full ring costs the producer a whole batch, counted in
// dropped().
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "core/clock.h"
#include "core/event.h"
#include "core/spsc.h"
#include "core/tls.h"

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

    static std::unique_ptr<EventBatch> create(uint64_t base, uint32_t tid);
    PackedEvent* begin() { return events.get(); }
    PackedEvent* end_of_storage() { return events.get() + CAPACITY; }
};

// Points the fast append at `batch`: its base, its first slot, one past its last slot.
inline void point_hot_at(Hot& hot, EventBatch& batch) {
    hot.base = batch.base;
    hot.cursor = batch.begin();
    hot.end = batch.end_of_storage();
}

inline constexpr size_t BATCH_RING_CAPACITY = 64;
using BatchRing = SpscRing<std::unique_ptr<EventBatch>, BATCH_RING_CAPACITY>;

// The rarely touched part of a thread's recording state.
struct Cold {
    uint64_t queue_id = 0;
    BatchRing::Producer producer;  // empty until bound
    std::unique_ptr<EventBatch> current;

    // Hands the partly filled batch to the ring; returns the events discarded because the ring
    // was full. Only the owning thread, or a stopping thread while the owner cannot record.
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
    // Binds the thread on its first event under this queue.
    void slow_path(Hot& hot, uint64_t now, uint32_t tid, uint32_t word);
    void init_producer(Cold& cold, Hot& hot, uint64_t now, uint32_t tid);

    // Moves available batches of all rings, starting at a rotating ring, into `out` as decoded
    // events; stops after the batch that reaches `budget`. Never waits for a producer.
    uint64_t drain_nonblocking(std::vector<Event>& out, uint64_t budget);
    void decode_into(const EventBatch& batch, std::vector<Event>& out) const;

    void close() { closed_.store(true, std::memory_order_release); }
    bool closed() const { return closed_.load(std::memory_order_acquire); }
    // A pause ends the export pipeline the way a close does (what was pushed before it is
    // drained and written) but leaves the writer unfinished, for a pipeline started after
    // resume() to go on with. Producers are not affected.
    void pause() { paused_.store(true, std::memory_order_release); }
    void resume() { paused_.store(false, std::memory_order_release); }
    bool paused() const { return paused_.load(std::memory_order_acquire); }

    void add_dropped(uint64_t n) { dropped_.fetch_add(n, std::memory_order_relaxed); }
    uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

    // For tests and diagnostics.
    size_t consumer_count() const;
    uint64_t rotation() const { return rotation_.load(std::memory_order_relaxed); }

  private:
    mutable std::mutex consumers_mutex_;
    std::vector<BatchRing::Consumer> consumers_;
    std::atomic<uint64_t> rotation_{0};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<bool> closed_{false};
    std::atomic<bool> paused_{false};
    uint64_t id_;
    Clock clock_;
};

// The whole recording step after the counter read: fast append, else the slow path.
inline void record(EventQueue& queue, uint64_t now, uint32_t word) {
    Hot& hot = HOT;
    if (!fast_append(hot, queue.id(), now, word)) queue.slow_path(hot, now, hot.tid, word);
}

}  // namespace vespra
