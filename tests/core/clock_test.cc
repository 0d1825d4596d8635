// The clock: conversion of raw counter values to nanoseconds, and calibration.
#include "core/clock.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <chrono>
#include <thread>
#include <utility>
#include <vector>

namespace vespra {
namespace {

TEST(ClockConversion, CountsFromTheOriginNeverNegativeAndExactWithoutOverflow) {
    Clock mono = Clock::monotonic_with_origin(5000, 700);
    EXPECT_EQ(mono.to_nanos(4000), 700u);
    EXPECT_EQ(mono.to_nanos(5000 + 123456789), 700u + 123456789);
    // 2.5 ns per tick. Differences near 2^62 overflow 64 bits once multiplied by the factor;
    // the 128-bit product still gives the exact answer.
    Clock tsc = Clock::tsc_with(5ull << 31, 32, 1000);
    EXPECT_EQ(tsc.to_nanos(999), 0u);
    EXPECT_EQ(tsc.to_nanos(1004), 10u);
    EXPECT_EQ(tsc.to_nanos(1000 + (1ull << 62)), (1ull << 61) * 5);
    EXPECT_EQ(Clock::tsc_with(5ull << 31, 32, 1000, 700).to_nanos(1004), 710u);
}

// A batch converts each reading exactly as to_nanos does, whatever the batch's base: before
// the origin, where the per-batch product is large, and with a factor too big for the short form.
TEST(ClockConversion, ABatchConvertsExactlyAsOneReadingAtATime) {
    const std::vector<Clock> clocks = {
        Clock::monotonic_with_origin(5000, 700),
        Clock::tsc_with(0x62C4B5A1ull, 32, 1000, 700),  // about 0.386 ns per tick
        Clock::tsc_with(0x62C4B5A1ull >> 1, 31, 1000),  // the same with another shift
        Clock::tsc_with(5ull << 31, 32, 1000),          // 2.5 ns per tick: the long form
    };
    const std::vector<uint64_t> bases = {
        0, 999, 1000, 4990, 123456789, (1ull << 40) + 3, (1ull << 62) + 17};
    std::vector<uint32_t> deltas = {0, 1, 2, 3, 7, 1000, 65537, 0x7FFFFFFF, 0xFFFFFFFF};
    for (uint32_t x = 12345; deltas.size() < 64;) deltas.push_back(x *= 2654435761u);
    for (const Clock& clock : clocks) {
        for (uint64_t base : bases) {
            std::vector<uint64_t> got(deltas.size());
            clock.to_nanos_batch(
                base, deltas.size(), [&](size_t i) { return deltas[i]; },
                [&](size_t i, uint64_t nanos) { got[i] = nanos; });
            for (size_t i = 0; i < deltas.size(); ++i)
                EXPECT_EQ(got[i], clock.to_nanos(base + deltas[i])) << base << " + " << deltas[i];
        }
    }
}

// A clock that joins a trace stamps on the trace's time base: an event it reads at the same
// moment as the trace's first clock gets the same timestamp (both go through this process's
// counter, as a forked child's would; an exec'd child's calibration is measured in
// bench/alignment.py).
TEST(ClockTimeBase, AJoiningClockStampsOnTheTracesOrigin) {
    Clock first = Clock::starting_now();
    EXPECT_EQ(first.to_nanos(first.origin()), 0u);  // a trace's own first clock starts at 0
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Clock joined = Clock::starting_now(first.trace_origin());
    EXPECT_EQ(joined.trace_origin(), first.trace_origin());
    EXPECT_GE(joined.to_nanos(joined.origin()), 20'000'000u);
    uint64_t before = first.to_nanos(first.raw());
    uint64_t during = joined.to_nanos(joined.raw());
    uint64_t after = first.to_nanos(first.raw());
    EXPECT_GE(during + 20'000, before);
    EXPECT_LE(during, after + 20'000);
    // A time base ahead of this process's clock (another boot's, say) counts from 0.
    Clock ahead = Clock::starting_now(Clock::monotonic_nanos() + 1'000'000'000'000ull);
    EXPECT_EQ(ahead.to_nanos(ahead.origin()), 0u);
}

// A reading of `clock` and of CLOCK_MONOTONIC taken together: a pair that the scheduler split
// (a preemption between the two reads, common on a loaded machine) is taken again.
std::pair<uint64_t, uint64_t> paired_reading(const Clock& clock) {
    for (;;) {
        uint64_t before = Clock::monotonic_nanos();
        uint64_t reading = clock.to_nanos(clock.raw());
        uint64_t after = Clock::monotonic_nanos();
        if (after - before < 20'000) return {reading, before + (after - before) / 2};
    }
}

// `clock` must agree with CLOCK_MONOTONIC over a 30 ms sleep, within 5%.
void expect_tracks_real_time(const Clock& clock) {
    auto [start, wall0] = paired_reading(clock);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    auto [end, wall1] = paired_reading(clock);
    uint64_t elapsed = end - start, wall = wall1 - wall0;
    EXPECT_NEAR(static_cast<double>(elapsed), static_cast<double>(wall), wall * 0.05);
}

TEST(ClockSource, ClocksTrackRealTime) {
    // Threads racing into the one-time calibration all get a working clock.
    std::vector<Clock> clocks(3, Clock::monotonic_with_origin(0));
    std::vector<std::thread> threads;
    for (Clock& c : clocks) threads.emplace_back([&c] { c = Clock::starting_now(); });
    for (auto& t : threads) t.join();
    for (const Clock& c : clocks) EXPECT_EQ(c.uses_tsc(), clocks[0].uses_tsc());
    expect_tracks_real_time(clocks[0]);
#if defined(__x86_64__)
    // The scale arithmetic, even where the TSC is not trusted for tracing.
    TscScale scale = measure_tsc_scale(5000000);
    ASSERT_NE(scale.factor, 0u);
    expect_tracks_real_time(Clock::tsc_with(scale.factor, scale.shift, __rdtsc()));
#endif
}

#if defined(__x86_64__) && defined(__linux__)
// The check behind a forced TSC: a counter that agrees across CPUs passes, one that runs a
// second behind on one CPU (as a TSC with per-CPU offsets does) is refused.
int SKEWED_CPU = -1;
uint64_t skewed_tsc() {
    _mm_lfence();
    uint64_t t = __rdtsc() + (1ull << 40);
    return sched_getcpu() == SKEWED_CPU ? t - 3'000'000'000ull : t;
}

TEST(ClockSource, AForcedTscIsRefusedWhenCpusDisagree) {
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    std::vector<int> cpus;
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &allowed)) cpus.push_back(c);
    if (cpus.size() < 2) GTEST_SKIP() << "one CPU: nothing to compare";
    EXPECT_TRUE(readings_consistent_across_cpus([] { return Clock::monotonic_nanos(); }));
    for (int skewed : {cpus[0], cpus.back()}) {
        SKEWED_CPU = skewed;
        EXPECT_FALSE(readings_consistent_across_cpus(skewed_tsc)) << "behind on CPU " << skewed;
    }
    EXPECT_FALSE(Clock::starting_now(ClockSource::monotonic).uses_tsc());
    // Where the processor reports an invariant TSC, forcing it gives the TSC on a machine whose
    // CPUs agree (as every machine we run tests on does), and a clock that tracks real time.
    Clock forced = Clock::starting_now(ClockSource::tsc);
    EXPECT_EQ(forced.uses_tsc(), tsc_is_invariant() && readings_consistent_across_cpus([] {
                                     _mm_lfence();
                                     return uint64_t{__rdtsc()};
                                 }));
    expect_tracks_real_time(forced);
}
#endif

}  // namespace
}  // namespace vespra
