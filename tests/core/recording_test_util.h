// Helpers shared by the recording-core tests.
#pragma once

#include <thread>
#include <vector>

#include "core/evqueue.h"

namespace vespra::testing {

// Runs `fn` on a fresh thread (fresh HOT and COLD) and waits for it, exit flush included.
template <class F>
void on_new_thread(F fn) {
    std::thread(fn).join();
}

inline std::vector<Event> drain_all(EventQueue& queue, uint64_t budget = 4096) {
    std::vector<Event> out;
    while (queue.drain_nonblocking(out, budget) != 0) {
    }
    return out;
}

// A queue whose timestamps equal the raw values the tests pass to record().
inline std::shared_ptr<EventQueue> identity_queue() {
    return std::make_shared<EventQueue>(NEXT_QUEUE_ID.fetch_add(1), Clock::monotonic_with_origin(0));
}

// `n` events at raw values first, first+1, ... with code ids seq0, seq0+1, ...
inline void record_run(EventQueue& queue, uint32_t n, uint64_t first = 1000, uint32_t seq0 = 0) {
    for (uint32_t i = 0; i < n; ++i) record(queue, first + i, pack_word(KIND_START, seq0 + i));
}

}  // namespace vespra::testing
