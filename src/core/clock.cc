#include "core/clock.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>
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
    bool tsc = false;  // the automatic rule's choice
    TscScale scale{0, 0};
    bool measured = false;  // `scale` holds the measurement
    // A forced TSC: checked at its first use; `forced_checked` published like `ready`.
    std::atomic<bool> forced_checked{false};
    bool forced_ok = false;
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

bool tsc_is_invariant() {
#if defined(__x86_64__)
    unsigned eax, ebx, ecx, edx;
    // __get_cpuid checks the highest supported extended leaf first and fails beyond it.
    if (!__get_cpuid(0x80000007, &eax, &ebx, &ecx, &edx)) return false;
    return (edx >> 8) & 1;
#else
    return false;
#endif
}

bool tsc_is_reliable() {
#if defined(__x86_64__)
    unsigned eax, ebx, ecx, edx;
    if (!tsc_is_invariant()) return false;
    if (!__get_cpuid(0x80000001, &eax, &ebx, &ecx, &edx)) return false;
    return (edx >> 27) & 1;  // RDTSCP
#else
    return false;
#endif
}

std::optional<ClockSource> parse_clock_source(std::string_view name) {
    if (name == "auto") return ClockSource::automatic;
    if (name == "tsc") return ClockSource::tsc;
    if (name == "monotonic") return ClockSource::monotonic;
    return std::nullopt;
}

namespace {

#if defined(__linux__)
bool pin_to(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

// One hand-over check between the CPUs `a` and `b`. Each side, in turn, reads the counter,
// checks it against the reading it was handed (and its own previous one) and hands it over.
bool pair_consistent(int a, int b, uint64_t (*read)(), int rounds) {
    std::atomic<uint64_t> baton{0};  // the last reading, low bit replaced by whose turn it is
    std::atomic<bool> failed{false}, gone{false};
    auto side = [&](int cpu, uint64_t mine) {
        if (!pin_to(cpu)) {  // not allowed there after all: nothing to compare
            gone = true;
            return;
        }
        uint64_t last = 0;
        for (int i = 0; i < rounds; ++i) {
            uint64_t handed;
            while (((handed = baton.load(std::memory_order_acquire)) & 1) != mine) {
                if (failed.load(std::memory_order_relaxed) || gone.load(std::memory_order_relaxed))
                    return;
            }
            uint64_t now = read() & ~uint64_t{1};
            if (now < (handed & ~uint64_t{1}) || now < last) {
                failed = true;
                return;
            }
            last = now;
            baton.store(now | (mine ^ 1), std::memory_order_release);
        }
    };
    std::thread other(side, b, uint64_t{1});
    side(a, 0);
    other.join();
    return !failed;
}
#endif

}  // namespace

bool readings_consistent_across_cpus(uint64_t (*read)(), int rounds) {
#if defined(__linux__)
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return true;
    std::vector<int> cpus;
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &allowed)) cpus.push_back(c);
    bool consistent = true;
    // Checked on a thread of its own, so the caller's affinity stays as it was.
    std::thread([&] {
        for (size_t k = 1; k < cpus.size() && consistent; ++k)
            consistent = pair_consistent(cpus[0], cpus[k], read, rounds);
    }).join();
    return consistent;
#else
    (void)read;
    (void)rounds;
    return true;
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
        timespec ts{static_cast<time_t>(left / 1000000000ull),
                    static_cast<long>(left % 1000000000ull)};
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

namespace {
// Ordered after the loads before it: RDTSC alone may execute ahead of the load that received
// the other CPU's reading, and the check would then see time going backwards on any machine.
uint64_t read_tsc_ordered() {
#if defined(__x86_64__)
    _mm_lfence();
    return __rdtsc();
#else
    return 0;
#endif
}

void warn(const char* why) {
    std::fprintf(stderr, "vespra: not using the TSC as asked: %s; reading CLOCK_MONOTONIC\n", why);
    std::fflush(stderr);
}
}  // namespace

Clock Clock::starting_now(ClockSource source) { return starting_at(0, false, source); }

Clock Clock::starting_now(uint64_t trace_origin, ClockSource source) {
    return starting_at(trace_origin, true, source);
}

Clock Clock::starting_at(uint64_t trace_origin, bool inherit, ClockSource source) {
    Calibration& c = calibration();
    bool forced = source == ClockSource::tsc;
    auto measure = [&c] {
        if (!c.measured) c.scale = measure_tsc_scale();
        c.measured = true;
    };
    if (!c.ready.load(std::memory_order_acquire) ||
        (forced && !c.forced_checked.load(std::memory_order_acquire))) {
        std::lock_guard<std::mutex> lock(c.mutex);
        if (!c.ready.load(std::memory_order_relaxed)) {
            if (tsc_is_reliable()) {
                measure();
                c.tsc = c.scale.factor != 0;
            }
            c.ready.store(true, std::memory_order_release);
        }
        if (forced && !c.forced_checked.load(std::memory_order_relaxed)) {
            if (tsc_is_invariant()) measure();
            if (!tsc_is_invariant() || c.scale.factor == 0) {
                warn("this processor does not report an invariant TSC");
            } else if (!readings_consistent_across_cpus(read_tsc_ordered)) {
                warn("TSC readings on different CPUs disagree");
            } else {
                c.forced_ok = true;
            }
            c.forced_checked.store(true, std::memory_order_release);
        }
    }
    bool tsc = source == ClockSource::automatic ? c.tsc : forced ? c.forced_ok : false;
    Clock clock(tsc, c.scale.factor, c.scale.shift, 0, 0);
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
