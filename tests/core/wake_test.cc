// Sleeping without polling: no wake-up is lost between a sleeper's last check and its sleep.
#include "core/wake.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace vespra {
namespace {

using std::chrono::steady_clock;

// Thousands of hand-overs, each racing the sleeper's announcement against the waker's ring.
// A lost wake-up would cost its full 10 s timeout; the run would take minutes instead of
// milliseconds.
TEST(Doorbell, NoWakeUpIsLostAndAnIdleRingTakesNoSystemCall) {
    Doorbell bell;
    bell.ring();
    EXPECT_EQ(bell.rings(), 0u) << "nobody asleep: no futex wake";
    constexpr int ROUNDS = 3000;
    std::atomic<int> posted{0};
    auto t0 = steady_clock::now();
    std::thread waker([&] {
        for (int i = 1; i <= ROUNDS; ++i) {
            posted.store(i, std::memory_order_relaxed);
            bell.ring();
            if (i % 3 == 0) std::this_thread::yield();
        }
    });
    for (int seen = 0; seen < ROUNDS;) {
        bell.sleep_unless([&] { return posted.load(std::memory_order_relaxed) > seen; },
                          std::chrono::seconds(10));
        seen = posted.load(std::memory_order_relaxed);
    }
    waker.join();
    EXPECT_LT(steady_clock::now() - t0, std::chrono::seconds(5));
}

TEST(Gate, EveryCountedSleeperIsReleasedByOneOpen) {
    Gate gate;
    std::atomic<bool> open{false};
    std::vector<std::thread> sleepers;
    auto t0 = steady_clock::now();
    for (int k = 0; k < 4; ++k) {
        sleepers.emplace_back([&] {
            gate.enter();
            for (;;) {
                uint32_t seen = gate.sequence();
                if (open.load()) break;
                gate.sleep(seen, std::chrono::seconds(10));
            }
            gate.leave();
        });
    }
    while (gate.waiting() < 4) std::this_thread::yield();
    open = true;
    gate.open();
    for (auto& t : sleepers) t.join();
    EXPECT_LT(steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(gate.waiting(), 0u);
}

}  // namespace
}  // namespace vespra
