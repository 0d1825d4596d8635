// Synthetic recording threads for tests of the pipeline: each records a numbered sequence of
// events through the real queue, then waits, still registered, until the test has stopped the
// queue (so that the stop's flush, not the thread's exit, pushes its last partial batch).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "core/event.h"
#include "core/evqueue.h"
#include "core/tls.h"

namespace vespra::testing {

// Event i of a thread: code id i, kind alternating start / return, so order is checkable.
inline uint32_t producer_word(uint32_t i) {
    return pack_word(i % 2 == 0 ? KIND_START : KIND_RETURN, i);
}

// Thread ids of producer k: a synthetic id with the top bit set, so it is never a real one.
inline uint32_t producer_tid(size_t k) { return 0x8000'0000u + static_cast<uint32_t>(k) + 1; }

class Producers {
  public:
    // `count` threads record `events` events each, as fast as they can. With `lockstep`, a
    // thread waits after each batch it hands over until the serializer has started two drains
    // since, so that every drain finds exactly one batch: one vector per batch, whatever the
    // speed of the machine.
    Producers(std::shared_ptr<EventQueue> queue, size_t count, uint32_t events,
              bool lockstep = false)
        : queue_(std::move(queue)) {
        for (size_t k = 0; k < count; ++k) {
            threads_.emplace_back([this, k, events, lockstep] {
                HOT.tid = producer_tid(k);  // what code resolution would have read
                for (uint32_t i = 0; i < events; ++i) {
                    record(*queue_, queue_->clock().raw(), producer_word(i));
                    if (lockstep && i > 0 && i % EventBatch::CAPACITY == 0) {
                        // Event i started a new batch: the previous one is in the ring.
                        uint64_t seen = queue_->rotation();
                        while (queue_->rotation() < seen + 2) std::this_thread::yield();
                    }
                }
                done_.fetch_add(1);
                while (!release_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            });
        }
        expected_ = uint64_t{count} * events;
    }
    ~Producers() { join(); }

    void wait_recorded() {
        while (done_.load() < threads_.size())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    // The tracer's stop sequence: flush every thread's partial batch (counting what did not
    // fit), then close the queue. The threads exit afterwards.
    void stop() {
        wait_recorded();
        queue_->add_dropped(tls::flush_every_thread());
        queue_->close();
        join();
    }

    uint64_t produced() const { return expected_; }

  private:
    void join() {
        release_.store(true);
        for (auto& t : threads_)
            if (t.joinable()) t.join();
    }

    std::shared_ptr<EventQueue> queue_;
    std::vector<std::thread> threads_;
    std::atomic<size_t> done_{0};
    std::atomic<bool> release_{false};
    uint64_t expected_ = 0;
};

}  // namespace vespra::testing
