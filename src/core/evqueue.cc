#include "core/evqueue.h"

#include <algorithm>

namespace vespra {

std::atomic<uint64_t> NEXT_QUEUE_ID{1};

std::unique_ptr<EventBatch> EventBatch::create(uint64_t base, uint32_t tid) {
    auto batch = std::make_unique<EventBatch>();
    // Left uninitialised: the recorder writes every slot before `count` covers it.
    batch->events = std::make_unique_for_overwrite<PackedEvent[]>(CAPACITY);
    batch->base = base;
    batch->tid = tid;
    return batch;
}

std::shared_ptr<EventQueue> EventQueue::create(Clock clock) {
    return std::make_shared<EventQueue>(NEXT_QUEUE_ID.fetch_add(1, std::memory_order_relaxed), clock);
}

EventQueue::EventQueue(uint64_t id, Clock clock) : id_(id), clock_(clock) {}

void EventQueue::init_producer(Cold& cold, Hot& hot, uint64_t now, uint32_t tid) {
    auto [producer, consumer] = BatchRing::make();
    {
        std::lock_guard<std::mutex> lock(consumers_mutex_);
        consumers_.push_back(std::move(consumer));
    }
    cold.queue_id = id_;
    // Releasing an older producer leaves its ring to the queue that holds the consuming end.
    cold.producer = std::move(producer);
    // A batch from an earlier binding (empty after a stop's flush; a forked child's copy of its
    // parent's events) is dropped here without being pushed or counted.
    cold.current = EventBatch::create(now, tid);
    tls::register_current();
    hot.queue_id = id_;
    point_hot_at(hot, *cold.current);
}

void EventQueue::slow_path(Hot& hot, uint64_t now, uint32_t tid, uint32_t word) {
    tls::ColdBorrow cold;
    // Only a thread recording from inside its own exit teardown gets here; its event is lost.
    if (!cold) return;
    if (!cold->producer || cold->queue_id != id_) {
        init_producer(*cold, hot, now, tid);
    } else {
        std::unique_ptr<EventBatch> batch = std::move(cold->current);
        if (!batch) {
            batch = EventBatch::create(now, tid);
        } else {
            batch->count = static_cast<uint32_t>(hot.cursor - batch->begin());
            if (cold->producer.push(batch)) {
                batch = EventBatch::create(now, tid);
            } else {
                // Ring full: the whole previous batch is the price, and the batch is reused.
                add_dropped(batch->count);
                batch->count = 0;
                batch->base = now;
                batch->tid = tid;
            }
        }
        cold->current = std::move(batch);
        point_hot_at(hot, *cold->current);
    }
    *hot.cursor = PackedEvent{0, word};
    ++hot.cursor;
}

uint64_t EventQueue::drain_nonblocking(std::vector<Event>& out, uint64_t budget) {
    std::lock_guard<std::mutex> lock(consumers_mutex_);
    size_t n = consumers_.size();
    if (n == 0) return 0;
    size_t start = static_cast<size_t>(rotation_.fetch_add(1, std::memory_order_relaxed) % n);
    uint64_t total = 0;
    for (size_t k = 0; k < n; ++k) {
        BatchRing::Consumer& ring = consumers_[(start + k) % n];
        while (std::optional<std::unique_ptr<EventBatch>> popped = ring.pop()) {
            const EventBatch& batch = **popped;
            decode_into(batch, out);
            total += batch.count;
            if (total >= budget) return total;
        }
    }
    return total;
}

void EventQueue::decode_into(const EventBatch& batch, std::vector<Event>& out) const {
    size_t needed = out.size() + batch.count;
    // Geometric growth: reserving exactly what each batch needs would copy the vector once per
    // batch when the caller did not size it up front.
    if (needed > out.capacity()) out.reserve(std::max(needed, 2 * out.capacity()));
    const PackedEvent* events = batch.events.get();
    for (uint32_t i = 0; i < batch.count; ++i) {
        const PackedEvent& e = events[i];
        out.push_back(Event{clock_.to_nanos(batch.base + e.delta), batch.tid, e.packed});
    }
}

size_t EventQueue::consumer_count() const {
    std::lock_guard<std::mutex> lock(consumers_mutex_);
    return consumers_.size();
}

}  // namespace vespra
