#include "core/evqueue.h"

#include <algorithm>
#include <thread>

namespace vespra {

std::atomic<uint64_t> NEXT_QUEUE_ID{1};

namespace {
// A blocked producer re-checks its ring this often even without a wake-up.
constexpr auto ROOM_RECHECK = std::chrono::milliseconds(10);
}  // namespace

std::unique_ptr<EventBatch> EventBatch::create(uint64_t base, uint32_t tid) {
    auto batch = std::make_unique<EventBatch>();
    // Left uninitialised: the recorder writes every slot before `count` covers it.
    batch->events = std::make_unique_for_overwrite<PackedEvent[]>(CAPACITY);
    batch->base = base;
    batch->tid = tid;
    return batch;
}

std::unique_ptr<EventBatch> Cold::next_batch(uint64_t base, uint32_t tid) {
    if (empties) {
        while (std::optional<std::unique_ptr<EventBatch>> back = empties.pop()) {
            // Past the cap the oldest spare goes: the newest are the warmest.
            if (spare.size() == MAX_SPARE_BATCHES) spare.erase(spare.begin());
            spare.push_back(std::move(*back));
        }
    }
    if (spare.empty()) return EventBatch::create(base, tid);
    std::unique_ptr<EventBatch> batch = std::move(spare.back());
    spare.pop_back();
    batch->count = 0;
    batch->base = base;
    batch->tid = tid;
    batch->marks = false;
    return batch;
}

bool QueueSignals::wait_for_room(BatchRing::Producer& producer, std::unique_ptr<EventBatch>& batch,
                                 bool detach) {
    room.enter();
    void* token = detach && hooks.detach ? hooks.detach() : nullptr;
    bool pushed = false;
    for (;;) {
        uint32_t seen = room.sequence();
        if (producer.push(batch)) {
            pushed = true;
            break;
        }
        if (abandoned.load(std::memory_order_acquire)) break;
        work.ring();  // the serializer may be asleep below its mark: this ring is full
        room.sleep(seen, ROOM_RECHECK);
    }
    if (detach && hooks.attach) hooks.attach(token);
    return pushed;
}

std::shared_ptr<EventQueue> EventQueue::create(Clock clock) {
    return std::make_shared<EventQueue>(NEXT_QUEUE_ID.fetch_add(1, std::memory_order_relaxed),
                                        clock);
}

EventQueue::EventQueue(uint64_t id, Clock clock) : id_(id), clock_(clock) {}

void EventQueue::make_lossless(WaitHooks hooks) {
    signals_->hooks = hooks;
    signals_->lossless.store(true, std::memory_order_release);
}

void EventQueue::init_producer(Cold& cold, Hot& hot, uint64_t now, uint32_t tid) {
    // Everything that allocates comes first, so that an allocation failure leaves the thread as
    // it was: unbound, its next event trying again.
    auto [producer, consumer] = BatchRing::make();
    auto [empties_in, empties_out] = BatchRing::make();
    std::unique_ptr<EventBatch> batch = EventBatch::create(now, tid);
    std::vector<std::unique_ptr<EventBatch>> spare;
    spare.reserve(MAX_SPARE_BATCHES);
    tls::register_current();
    {
        std::lock_guard<std::mutex> lock(consumers_mutex_);
        consumers_.push_back(Link{std::move(consumer), std::move(empties_in)});
    }
    cold.queue_id = id_;
    // Releasing an older producer leaves its ring to the queue that holds the consuming end.
    cold.producer = std::move(producer);
    cold.empties = std::move(empties_out);
    cold.signals = signals_;
    // Batches of an earlier binding are freed here; one being filled (empty after a stop's
    // flush; a forked child's copy of its parent's events) is dropped without being counted.
    cold.spare = std::move(spare);
    cold.current = std::move(batch);
    hot.queue_id = id_;
    point_hot_at(hot, *cold.current);
}

void EventQueue::slow_path(Hot& hot, uint64_t now, uint32_t tid, uint32_t word) noexcept {
    tls::ColdBorrow cold;
    // Only a thread recording from inside its own exit teardown gets here; its event is lost.
    if (!cold) return;
    bool waited = false;
    try {
        switch_batch(*cold, hot, now, tid, waited);
    } catch (const std::bad_alloc&) {
        // No batch to write to: the event is lost and counted, and so is each next one until an
        // allocation succeeds, since the fast append refuses a thread pointed at no batch. The
        // traced program goes on.
        hot.cursor = hot.end = nullptr;  // also a thread that failed to bind
        add_dropped(1);
        if (waited) signals_->room.leave();
        return;
    }
    *hot.cursor = PackedEvent{0, word};
    ++hot.cursor;
    // Only now are this thread's records its own again for a stopping thread.
    if (waited) signals_->room.leave();
}

void EventQueue::switch_batch(Cold& cold, Hot& hot, uint64_t now, uint32_t tid, bool& waited) {
    if (!cold.producer || cold.queue_id != id_) {
        init_producer(cold, hot, now, tid);
    } else {
        Cold::Swapping swapping(cold);  // a flight ring's snapshot may be copying the batch
        std::unique_ptr<EventBatch> batch = std::move(cold.current);
        if (batch) batch->count = static_cast<uint32_t>(hot.cursor - batch->begin());
        // Pointed at no batch until it has the next: a pushed batch is the serializer's, and a
        // snapshot must not copy it after an allocation failure ends the swap.
        hot.cursor = hot.end = nullptr;
        if (!batch) {
            batch = cold.next_batch(now, tid);
        } else {
            bool pushed = cold.producer.push(batch);
            if (pushed) {
                signals_->pushed(cold.producer);
            } else if (lossless()) {
                waited = true;
                pushed = signals_->wait_for_room(cold.producer, batch, true);
            }
            if (pushed) {
                batch = cold.next_batch(now, tid);
            } else {
                // Ring full: the whole previous batch is the price, and the batch is reused.
                add_dropped(batch->count);
                batch->count = 0;
                batch->marks = false;
                batch->base = now;
                batch->tid = tid;
            }
        }
        cold.current = std::move(batch);
        point_hot_at(hot, *cold.current);
    }
}

uint64_t EventQueue::drain_nonblocking(std::vector<Event>& out, uint64_t budget) {
    uint64_t total = 0;
    {
        std::lock_guard<std::mutex> lock(consumers_mutex_);
        size_t n = consumers_.size();
        if (n == 0) return 0;
        size_t start = static_cast<size_t>(rotation_.fetch_add(1, std::memory_order_relaxed) % n);
        for (size_t k = 0; k < n && total < budget; ++k) {
            Link& link = consumers_[(start + k) % n];
            while (std::optional<std::unique_ptr<EventBatch>> popped = link.filled.pop()) {
                decode_into(**popped, out);
                total += (*popped)->count;
                // Back to its thread, which keeps a few for reuse; freed here when the thread
                // already has enough waiting, or is gone.
                if (link.empties.backlog() < MAX_SPARE_BATCHES && !link.empties.orphaned())
                    (void)link.empties.push(*popped);
                if (total >= budget) break;
            }
        }
        // The rings of threads that are gone (exited, or rebound to another queue), once
        // drained: a program that starts many short threads keeps nothing of the finished ones.
        std::erase_if(consumers_, [](const Link& link) {
            return link.filled.orphaned() && link.filled.empty();
        });
    }
    if (total > 0) signals_->room.open();
    return total;
}

bool EventQueue::has_work() const {
    std::lock_guard<std::mutex> lock(consumers_mutex_);
    for (const Link& link : consumers_)
        if (!link.filled.empty()) return true;
    return false;
}

void EventQueue::wait_for_work(std::chrono::microseconds timeout) {
    signals_->work.sleep_unless([this] { return closed() || paused() || has_work(); }, timeout);
}

void EventQueue::wait_until_unblocked() const {
    while (blocked() != 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
}

void EventQueue::abandon() {
    signals_->abandoned.store(true, std::memory_order_release);
    signals_->room.open();
}

uint64_t EventQueue::drain_packed(std::vector<std::unique_ptr<EventBatch>>& out,
                                  const std::function<std::unique_ptr<EventBatch>()>& supply) {
    uint64_t total = 0;
    {
        std::lock_guard<std::mutex> lock(consumers_mutex_);
        for (Link& link : consumers_) {
            while (std::optional<std::unique_ptr<EventBatch>> popped = link.filled.pop()) {
                total += (*popped)->count;
                out.push_back(std::move(*popped));
            }
            if (link.empties.orphaned()) continue;
            while (link.empties.backlog() < RING_SPARE_STOCK) {
                std::unique_ptr<EventBatch> spare = supply();
                if (!spare || !link.empties.push(spare)) break;
            }
        }
        std::erase_if(consumers_, [](const Link& link) {
            return link.filled.orphaned() && link.filled.empty();
        });
    }
    if (total > 0) signals_->room.open();
    return total;
}

void EventQueue::decode_into(const EventBatch& batch, std::vector<Event>& out,
                             marks::MarkNesting& nesting) const {
    size_t needed = out.size() + batch.count;
    // Geometric growth: reserving exactly what each batch needs would copy the vector once per
    // batch when the caller did not size it up front.
    if (needed > out.capacity()) out.reserve(std::max(needed, 2 * out.capacity()));
    // Written through a pointer into reserved storage: push_back's capacity check and size
    // update were a sixth of the decoding's instructions.
    const PackedEvent* events = batch.events.get();
    size_t at = out.size();
    out.resize(needed);
    Event* to = out.data() + at;
    uint32_t tid = batch.tid;
    clock_.to_nanos_batch(
        batch.base, batch.count, [events](size_t i) { return events[i].delta; },
        [to, events, tid](size_t i, uint64_t nanos) {
            to[i] = Event{nanos, tid, events[i].packed};
        });
    if (batch.marks || nesting.follows(tid)) [[unlikely]] {
        // A payload slot's delta is data, not time.
        for (size_t i = 0; i < batch.count; ++i) {
            if (kind_of(events[i].packed) == KIND_PAYLOAD) to[i].ts = events[i].delta;
        }
        nesting.apply(tid, out, at);
    }
}

void record_mark(EventQueue& queue, uint64_t now, uint32_t word, std::string_view payload,
                 std::atomic<uint32_t>& in_flight) {
    Hot& hot = HOT;
    size_t slots = marks::slots_for(payload);
    // Header and payload share a batch: without room for both, the header starts a new one.
    bool room = hot.cursor != nullptr && static_cast<size_t>(hot.end - hot.cursor) > slots;
    bool counted = false;
    if (!room || !fast_append(hot, queue.id(), now, word)) {
        in_flight.fetch_add(1, std::memory_order_acq_rel);
        counted = true;
        queue.slow_path(hot, now, hot.tid, word);
    }
    {
        tls::ColdBorrow cold;
        if (cold && cold->current && hot.queue_id == queue.id()) {
            marks::pack(payload, hot.cursor);
            hot.cursor += slots;
            cold->current->marks = true;
        }
    }
    if (counted) in_flight.fetch_sub(1, std::memory_order_release);
}

size_t EventQueue::consumer_count() const {
    std::lock_guard<std::mutex> lock(consumers_mutex_);
    return consumers_.size();
}

}  // namespace vespra
