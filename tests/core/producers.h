// Synthetic recording threads for pipeline tests: each records a numbered sequence through the
// real queue, then stays registered until the test stops the queue, so that the stop's flush
// (not the thread's exit) pushes its last partial batch.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "core/evqueue.h"

namespace vespra::testing {

// Event i of a thread: code id i, kinds alternating start / return.
inline uint32_t producer_word(uint32_t i) {
    return pack_word(i % 2 == 0 ? KIND_START : KIND_RETURN, i);
}
// Thread id of producer k: top bit set, so never a real one.
inline uint32_t producer_tid(size_t k) { return 0x8000'0000u + static_cast<uint32_t>(k) + 1; }

class Producers {
  public:
    // With `lockstep`, a thread that hands over a batch waits until the serializer has begun
    // two drains since, so every drain finds exactly one batch, whatever the machine's speed.
    Producers(std::shared_ptr<EventQueue> queue, size_t count, uint32_t events,
              bool lockstep = false)
        : queue_(std::move(queue)), produced_(uint64_t{count} * events) {
        for (size_t k = 0; k < count; ++k) {
            threads_.emplace_back([this, k, events, lockstep] {
                HOT.tid = producer_tid(k);  // what code resolution would have read
                for (uint32_t i = 0; i < events; ++i) {
                    record(*queue_, queue_->clock().raw(), producer_word(i));
                    if (lockstep && i > 0 && i % EventBatch::CAPACITY == 0) {
                        uint64_t seen = queue_->rotation();
                        while (queue_->rotation() < seen + 2) std::this_thread::yield();
                    }
                }
                ++done_;
                while (!release_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            });
        }
    }
    ~Producers() { join(); }

    void wait_recorded() {
        while (done_ < threads_.size()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // The tracer's stop: flush every partial batch, count what did not fit, close.
    void stop() {
        wait_recorded();
        queue_->add_dropped(tls::flush_every_thread());
        queue_->close();
        join();
    }
    uint64_t produced() const { return produced_; }

  private:
    void join() {
        release_ = true;
        for (auto& t : threads_)
            if (t.joinable()) t.join();
    }

    std::shared_ptr<EventQueue> queue_;
    uint64_t produced_;
    std::vector<std::thread> threads_;
    std::atomic<size_t> done_{0};
    std::atomic<bool> release_{false};
};

}  // namespace vespra::testing
