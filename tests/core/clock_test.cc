// The clock and the decoding of packed batches into nanosecond events.
#include "core/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "core/evqueue.h"

namespace vespra {
namespace {

TEST(ClockConversion, NeverNegativeAndExactWithoutOverflow) {
    Clock mono = Clock::monotonic_with_origin(5000);
    EXPECT_EQ(mono.to_nanos(5000), 0u);
    EXPECT_EQ(mono.to_nanos(4999), 0u);
    EXPECT_EQ(mono.to_nanos(0), 0u);
    EXPECT_EQ(mono.to_nanos(5000 + 123456789), 123456789u);

    // 2.5 ns per tick as factor 5 * 2^31, shift 32. A difference near 2^62 times the factor
    // overflows 64 bits by far; the 128-bit product still gives the exact answer.
    Clock tsc = Clock::tsc_with(5ull << 31, 32, 1000);
    EXPECT_EQ(tsc.to_nanos(1000), 0u);
    EXPECT_EQ(tsc.to_nanos(1004), 10u);
    uint64_t d = 1ull << 62;
    EXPECT_EQ(tsc.to_nanos(1000 + d), d / 2 * 5);
    EXPECT_EQ(tsc.to_nanos(UINT64_MAX), static_cast<uint64_t>(
                                            (static_cast<unsigned __int128>(UINT64_MAX - 1000) * 5) >> 1));
}

TEST(ClockConversion, DecodeKeepsOrderTidAndWordAndAppends) {
    EventQueue queue(77, Clock::tsc_with(1ull << 32, 32, 100));  // one tick = one ns
    auto batch = EventBatch::create(/*base=*/(1ull << 40), /*tid=*/42);
    batch->events[0] = PackedEvent{0, pack_word(KIND_THROW, 0xFFFFFF)};
    batch->events[1] = PackedEvent{UINT32_MAX, pack_word(KIND_START, 1)};
    batch->events[2] = PackedEvent{7, pack_word(KIND_RETURN, 2)};
    batch->count = 3;

    std::vector<Event> out{Event{1, 2, 3}};
    queue.decode_into(*batch, out);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].ts, 1u);  // earlier content untouched
    uint64_t base_ns = (1ull << 40) - 100;
    EXPECT_EQ(out[1].ts, base_ns);
    EXPECT_EQ(out[2].ts, base_ns + UINT32_MAX);
    EXPECT_EQ(out[3].ts, base_ns + 7);
    for (size_t i = 1; i < 4; ++i) EXPECT_EQ(out[i].tid, 42u);
    EXPECT_EQ(out[1].packed, 0x06FFFFFFu);
    EXPECT_EQ(kind_of(out[1].packed), KIND_THROW);
    EXPECT_EQ(code_of(out[1].packed), 0xFFFFFFu);
    EXPECT_EQ(code_of(out[3].packed), 2u);
}

TEST(ClockSource, StartingNowMeasuresRealTimeFromItsOrigin) {
    // Several threads create clocks at once: the one-time calibration must be race-free and
    // every clock must agree on the source.
    std::vector<std::thread> threads;
    std::vector<Clock> clocks(4, Clock::monotonic_with_origin(0));
    for (size_t i = 0; i < clocks.size(); ++i)
        threads.emplace_back([&clocks, i] { clocks[i] = Clock::starting_now(); });
    for (auto& t : threads) t.join();
    for (const Clock& c : clocks) EXPECT_EQ(c.uses_tsc(), clocks[0].uses_tsc());

    Clock clock = Clock::starting_now();
    uint64_t wall0 = Clock::monotonic_nanos();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    uint64_t elapsed = clock.to_nanos(clock.raw());
    uint64_t wall = Clock::monotonic_nanos() - wall0;
    EXPECT_GE(elapsed, wall * 95 / 100);
    EXPECT_LE(elapsed, wall + 5000000);
}

#if defined(__x86_64__)
TEST(ClockSource, TscScaleMatchesTheMonotonicClock) {
    // Calibrate directly even where the TSC is not trusted for tracing: the scaling arithmetic
    // is what is under test, and RDTSC itself runs everywhere.
    TscScale scale = measure_tsc_scale(5000000);
    ASSERT_NE(scale.factor, 0u);
    Clock clock = Clock::tsc_with(scale.factor, scale.shift, __rdtsc());
    uint64_t wall0 = Clock::monotonic_nanos();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    uint64_t elapsed = clock.to_nanos(__rdtsc());
    uint64_t wall = Clock::monotonic_nanos() - wall0;
    EXPECT_NEAR(static_cast<double>(elapsed), static_cast<double>(wall), wall * 0.05);
}
#endif

}  // namespace
}  // namespace vespra
