#include "core/clock.h"

#include <pthread.h>

#include <atomic>
#include <mutex>
#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace vespra {
namespace {

// The per-process calibration result. `ready` is published with release ordering after the
// scale is written, so a reader that sees it true also sees the scale.
struct Calibration {
    std::mutex mutex;
    std::atomic<bool> ready{false};
    bool tsc = false;
    TscScale scale{0, 0};
};

Calibration& calibration() {
    // Never destroyed: a thread may start a tracer while the process runs its exit handlers.
    static Calibration* const c = [] {
        auto* fresh = new Calibration;
        // A fork in the middle of another thread's calibration would leave the mutex locked
        // forever in the child; holding it across fork() makes the child inherit it unlocked.
        pthread_atfork([] { calibration().mutex.lock(); }, [] { calibration().mutex.unlock(); },
                       [] { calibration().mutex.unlock(); });
        return fresh;
    }();
    return *c;
}

// A (tsc, monotonic) pair read as close together as we can manage: the monotonic reading is
// bracketed by two TSC reads and the tightest of a few attempts wins, so a preemption or an
// interrupt between the reads does not skew the scale.
struct Sample {
    uint64_t tsc;
    uint64_t nanos;
};

#if defined(__x86_64__)
Sample sample_pair() {
    Sample best{0, 0};
    uint64_t best_gap = UINT64_MAX;
    for (int i = 0; i < 8; ++i) {
        uint64_t before = __rdtsc();
        uint64_t nanos = Clock::monotonic_nanos();
        uint64_t after = __rdtsc();
        if (after >= before && after - before < best_gap) {
            best_gap = after - before;
            best = Sample{before + (after - before) / 2, nanos};
        }
    }
    return best;
}
#endif

}  // namespace

bool tsc_is_reliable() {
#if defined(__x86_64__)
    unsigned eax, ebx, ecx, edx;
    // __get_cpuid checks the highest supported extended leaf first and fails beyond it.
    if (!__get_cpuid(0x80000007, &eax, &ebx, &ecx, &edx)) return false;
    bool invariant = (edx >> 8) & 1;
    if (!__get_cpuid(0x80000001, &eax, &ebx, &ecx, &edx)) return false;
    bool rdtscp = (edx >> 27) & 1;
    return invariant && rdtscp;
#else
    return false;
#endif
}

TscScale measure_tsc_scale(uint64_t window_nanos) {
#if defined(__x86_64__)
    Sample first = sample_pair();
    // Sleeping rather than spinning: the two samples carry all the information, and a sleeping
    // calibration does not steal a core from the program being traced.
    uint64_t deadline = first.nanos + window_nanos;
    for (uint64_t now = Clock::monotonic_nanos(); now < deadline; now = Clock::monotonic_nanos()) {
        uint64_t left = deadline - now;
        timespec ts{static_cast<time_t>(left / 1000000000ull), static_cast<long>(left % 1000000000ull)};
        nanosleep(&ts, nullptr);
    }
    Sample second = sample_pair();
    if (second.tsc <= first.tsc || second.nanos <= first.nanos) return TscScale{0, 0};
    // A fixed shift of 32 gives a resolution of 2^-32 ns per tick, far below what a 10 ms
    // measurement can resolve; the factor stays below 2^64 for any TSC faster than 1 Hz.
    constexpr uint32_t shift = 32;
    unsigned __int128 ticks = second.tsc - first.tsc;
    unsigned __int128 nanos = second.nanos - first.nanos;
    unsigned __int128 factor = ((nanos << shift) + ticks / 2) / ticks;
    if (factor == 0 || factor > UINT64_MAX) return TscScale{0, 0};
    return TscScale{static_cast<uint64_t>(factor), shift};
#else
    (void)window_nanos;
    return TscScale{0, 0};
#endif
}

uint64_t Clock::monotonic_raw() { return monotonic_nanos(); }

Clock Clock::starting_now() { return starting_at(0, false); }

Clock Clock::starting_now(uint64_t trace_origin) { return starting_at(trace_origin, true); }

Clock Clock::starting_at(uint64_t trace_origin, bool inherit) {
    Calibration& c = calibration();
    if (!c.ready.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(c.mutex);
        if (!c.ready.load(std::memory_order_relaxed)) {
            if (tsc_is_reliable()) {
                c.scale = measure_tsc_scale();
                c.tsc = c.scale.factor != 0;
            }
            c.ready.store(true, std::memory_order_release);
        }
    }
    Clock clock(c.tsc, c.scale.factor, c.scale.shift, 0, 0);
    // The origin in both clocks at once: the TSC reading at the middle of the tightest bracket
    // around a CLOCK_MONOTONIC reading (a few tens of nanoseconds wide).
    uint64_t now_monotonic;
#if defined(__x86_64__)
    if (clock.tsc_) {
        Sample pair = sample_pair();
        clock.origin_ = pair.tsc;
        now_monotonic = pair.nanos;
    } else
#endif
    {
        clock.origin_ = monotonic_raw();
        now_monotonic = clock.origin_;
    }
    if (!inherit) trace_origin = now_monotonic;
    clock.trace_origin_ = trace_origin;
    clock.offset_ = now_monotonic > trace_origin ? now_monotonic - trace_origin : 0;
    return clock;
}

}  // namespace vespra
