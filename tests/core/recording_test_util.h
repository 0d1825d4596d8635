// Helpers shared by the recording-core tests.
#pragma once

#include <thread>
#include <utility>
#include <vector>

#include "core/evqueue.h"

namespace vespra::testing {

// Runs `fn` on a fresh thread (fresh HOT and COLD) and waits for it, exit flush included.
template <class F>
void on_new_thread(F&& fn) {
    std::thread t(std::forward<F>(fn));
    t.join();
}

// Drains until a drain appends nothing.
inline std::vector<Event> drain_all(EventQueue& queue, uint64_t budget = 4096) {
    std::vector<Event> out;
    while (queue.drain_nonblocking(out, budget) != 0) {
    }
    return out;
}

// A queue whose timestamps equal the raw values tests feed to record().
inline std::shared_ptr<EventQueue> identity_queue() {
    return std::make_shared<EventQueue>(NEXT_QUEUE_ID.fetch_add(1), Clock::monotonic_with_origin(0));
}

// Records `n` events with raw counter values first, first+step, ... and code ids seq0, seq0+1...
inline void record_run(EventQueue& queue, uint64_t n, uint64_t first = 1000, uint64_t step = 1,
                       uint32_t seq0 = 0) {
    for (uint64_t i = 0; i < n; ++i)
        record(queue, first + i * step, pack_word(KIND_START, seq0 + static_cast<uint32_t>(i)));
}

}  // namespace vespra::testing
