// Cost of the recording core: one event (counter read + fast append), one batch switch, and
// drain + decode throughput on the serializer side.
//
// Run: build-*/bench/core_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only
// Instructions per event: valgrind --tool=callgrind --toggle-collect='*record_events*'
//   build-*/bench/core_bench --benchmark_filter=BM_RecordEvent --benchmark_min_time=0.2, then
//   Ir / events (calls of record_events x 4096).
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "core/evqueue.h"

namespace vespra {
namespace {

enum Source { REAL_CLOCK, FORCED_TSC, NO_COUNTER_READ };

std::shared_ptr<EventQueue> queue_for(Source source) {
    // FORCED_TSC times the RDTSC path even where the processor does not qualify for it (this
    // build machine lacks RDTSCP, so the real clock is CLOCK_MONOTONIC through the vDSO).
    Clock clock = source == FORCED_TSC ? Clock::tsc_with(1ull << 31, 32, __rdtsc())
                                       : Clock::starting_now();
    return std::make_shared<EventQueue>(NEXT_QUEUE_ID.fetch_add(1), clock);
}

// Out of line so that callgrind can attribute exactly the recording loop.
[[gnu::noinline]] void record_events(EventQueue& queue, Source source, int64_t n) {
    const uint32_t word = pack_word(KIND_START, 12345);
    uint64_t fixed = queue.clock().raw();
    for (int64_t i = 0; i < n; ++i) {
        uint64_t now = source == NO_COUNTER_READ ? fixed : queue.clock().raw();
        record(queue, now, word);
    }
}

// Nobody drains: once the ring is full every 1024th event takes the full-ring switch (count
// the batch as dropped, reuse it), so the figure is the fast append plus 1/1024 of that switch.
void BM_RecordEvent(benchmark::State& state) {
    auto source = static_cast<Source>(state.range(0));
    auto queue = queue_for(source);
    constexpr int64_t chunk = 4096;
    record_events(*queue, source, 1);  // bind outside the timing
    for (auto _ : state) record_events(*queue, source, chunk);
    state.SetItemsProcessed(state.iterations() * chunk);
    state.SetLabel(source == REAL_CLOCK  ? (queue->clock().uses_tsc() ? "tsc" : "monotonic")
                   : source == FORCED_TSC ? "forced tsc"
                                          : "no counter read");
}
BENCHMARK(BM_RecordEvent)->ArgName("source")->Arg(REAL_CLOCK)->Arg(FORCED_TSC)->Arg(NO_COUNTER_READ);

// Every event is 2^32 ticks after the previous one, so every event switches batches. With a
// consumer keeping the ring from filling (drained every 32 switches, included in the figure) a
// switch pushes the batch and allocates a new one; with the ring left full it drops and reuses.
void BM_BatchSwitch(benchmark::State& state) {
    const bool drained = state.range(0) != 0;
    auto queue = std::make_shared<EventQueue>(NEXT_QUEUE_ID.fetch_add(1), Clock::monotonic_with_origin(0));
    std::vector<Event> out;
    out.reserve(8192);
    uint64_t now = 0;
    const uint32_t word = pack_word(KIND_START, 1);
    for (int i = 0; i < 100; ++i) record(*queue, now += 1ull << 32, word);
    if (drained) queue->drain_nonblocking(out, UINT64_MAX);
    int64_t switches = 0;
    for (auto _ : state) {
        for (int i = 0; i < 32; ++i) record(*queue, now += 1ull << 32, word);
        switches += 32;
        if (drained) {
            out.clear();
            queue->drain_nonblocking(out, UINT64_MAX);
        }
    }
    state.SetItemsProcessed(switches);
    state.SetLabel(drained ? "push + new batch (+ pop, free)" : "ring full: drop + reuse");
}
BENCHMARK(BM_BatchSwitch)->ArgName("drained")->Arg(1)->Arg(0);

// Drain with the serializer's budget of 4096 events from a ring refilled with 64 full batches
// per iteration (the refill excluded from the timing).
void BM_DrainDecode(benchmark::State& state) {
    const bool tsc = state.range(0) != 0;
    Clock clock = tsc ? Clock::tsc_with(3ull << 30, 32, 0) : Clock::monotonic_with_origin(0);
    auto queue = std::make_shared<EventQueue>(NEXT_QUEUE_ID.fetch_add(1), clock);
    std::vector<Event> out;
    out.reserve(4096 + EventBatch::CAPACITY);
    const int64_t per_fill = BATCH_RING_CAPACITY * EventBatch::CAPACITY;
    uint64_t now = 1ull << 40;
    int64_t drained = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (int64_t i = 0; i < per_fill; ++i) record(*queue, now += 3, pack_word(KIND_RETURN, i & 0xFFF));
        state.ResumeTiming();
        for (uint64_t n; (n = queue->drain_nonblocking(out, 4096)) != 0; drained += n) out.clear();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(drained);
    state.SetLabel(tsc ? "tsc scaling" : "monotonic");
}
BENCHMARK(BM_DrainDecode)->ArgName("tsc")->Arg(0)->Arg(1);

}  // namespace
}  // namespace vespra

BENCHMARK_MAIN();
