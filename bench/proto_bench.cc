// Throughput of the protobuf writer on realistic batches: 4096 decoded events (the pipeline's
// drain budget) of a few threads making nested calls over a few hundred functions, timestamps
// a few hundred nanoseconds apart some seconds into the run. The output goes to /dev/null so the
// figure is the writer's own work plus one write(2) per batch, not the disk's.
//
//   build-*/bench/proto_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only
//
// Counters: events/s (items_per_second) and bytes of trace per event.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/event.h"
#include "core/output.h"
#include "core/sink.h"
#include "core/slice_filter.h"
#include "proto/proto_exporter.h"
#include "random_walk.h"

namespace vespra {
namespace {

constexpr size_t BATCH = bench::WALK_BATCH;
constexpr size_t BATCHES = 64;  // distinct batches cycled through, ~2 MiB of events

using Codes = bench::WalkCodes;
using Names = bench::WalkNames;

std::vector<std::vector<Event>> make_batches(uint32_t threads, uint32_t codes) {
    return bench::random_walk(BATCHES, threads, codes, /*closed=*/true);
}

// Trace bytes per event once every cache is warm: the growth of a real file over a second pass
// through the same batches.
double warm_bytes_per_event(const std::vector<std::vector<Event>>& batches) {
    char path[] = "/tmp/vespra-proto-bench-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return 0;
    close(fd);
    double per_event = 0;
    {
        Result<SharedFile> file = SharedFile::open(path, /*truncate=*/true);
        if (file.ok()) {
            ProtoExporter writer(file.take());
            Codes lookup;
            Names names;
            for (const auto& batch : batches) (void)writer.write_batch(batch, lookup, names);
            struct stat first {};
            stat(path, &first);
            for (const auto& batch : batches) (void)writer.write_batch(batch, lookup, names);
            struct stat second {};
            stat(path, &second);
            per_event = static_cast<double>(second.st_size - first.st_size) / (BATCHES * BATCH);
        }
    }
    unlink(path);
    return per_event;
}

// Writes the batches over and over into /dev/null through the writer `wrap` makes of a
// ProtoExporter. False (the benchmark skipped) when /dev/null cannot be opened.
template <class Wrap>
bool write_batches(benchmark::State& state, const std::vector<std::vector<Event>>& batches,
                   Wrap wrap) {
    Result<SharedFile> file = SharedFile::open("/dev/null", /*truncate=*/false);
    if (!file.ok()) {
        state.SkipWithError(file.error().text().c_str());
        return false;
    }
    std::unique_ptr<Exporter> writer = wrap(std::make_unique<ProtoExporter>(file.take()));
    Codes lookup;
    Names names;
    // Warm the caches as a long-running trace would have them: every thread started, every
    // name interned, every tail cached. The cold path is measured separately below.
    for (const auto& batch : batches) (void)writer->write_batch(batch, lookup, names);

    size_t i = 0;
    for (auto _ : state) {
        Status st = writer->write_batch(batches[i], lookup, names);
        if (!st.ok()) state.SkipWithError(st.error().text().c_str());
        i = (i + 1) % BATCHES;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * BATCH));
    return true;
}

void BM_WriteBatch(benchmark::State& state) {
    const auto threads = static_cast<uint32_t>(state.range(0));
    const auto codes = static_cast<uint32_t>(state.range(1));
    std::vector<std::vector<Event>> batches = make_batches(threads, codes);
    if (write_batches(state, batches, [](auto writer) { return writer; })) {
        state.counters["bytes/event"] = warm_bytes_per_event(batches);
    }
}
BENCHMARK(BM_WriteBatch)
    ->ArgNames({"threads", "codes"})
    ->Args({1, 200})
    ->Args({4, 200})
    ->Args({16, 2000})
    ->Unit(benchmark::kMicrosecond);

// The writer as the tracer runs it without limits: behind the FilteringExporter, which then only
// follows each thread's open calls to end them at the stop.
void BM_WriteBatchClosingCalls(benchmark::State& state) {
    write_batches(state, make_batches(4, 200), [](std::unique_ptr<Exporter> writer) {
        return std::unique_ptr<Exporter>(std::make_unique<FilteringExporter>(
            std::move(writer), SliceLimits{0, 0}, [] { return 0; }));
    });
}
BENCHMARK(BM_WriteBatchClosingCalls)
    ->ArgNames({"threads", "codes"})
    ->Args({4, 200})
    ->Unit(benchmark::kMicrosecond);

// The writer as the tracer runs it: behind the FilteringExporter, with the default limits (a
// depth limit these walks, at most 30 deep, never reach: what every trace pays) and with a
// minimum duration of 10 us, which leaves out most of these calls of a few hundred nanoseconds.
void BM_WriteBatchFiltered(benchmark::State& state) {
    SliceLimits limits;
    limits.min_duration = static_cast<uint64_t>(state.range(0));
    write_batches(state, make_batches(4, 200), [&](std::unique_ptr<Exporter> writer) {
        return std::unique_ptr<Exporter>(
            std::make_unique<FilteringExporter>(std::move(writer), limits, [] { return 0; }));
    });
}
BENCHMARK(BM_WriteBatchFiltered)
    ->ArgName("min_duration_ns")
    ->Arg(0)
    ->Arg(10000)
    ->Unit(benchmark::kMicrosecond);

// The slice filter alone, over 64 batches (events come from memory, as a writer that follows it
// would otherwise read them itself) and over two (events in cache, as they are when the
// serializer has just decoded them).
void BM_FilterAlone(benchmark::State& state) {
    SliceLimits limits;
    limits.min_duration = static_cast<uint64_t>(state.range(0));
    const auto count = static_cast<size_t>(state.range(1));
    auto batches = bench::random_walk(count, 4, 200, /*closed=*/true);
    SliceFilter filter(limits);
    std::vector<Event> kept;
    size_t i = 0, total = 0;
    for (auto _ : state) {
        total += filter.filter(batches[i], kept).size();
        i = (i + 1) % count;
    }
    benchmark::DoNotOptimize(total);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * BATCH));
}
BENCHMARK(BM_FilterAlone)
    ->ArgNames({"min_duration_ns", "batches"})
    ->Args({0, BATCHES})
    ->Args({0, 2})
    ->Args({10000, 2})
    ->Unit(benchmark::kMicrosecond);

// The cold path: a fresh writer sees every thread and every (thread, code) for the first time,
// so every event of the first batch may cost a descriptor or interning packet.
void BM_FirstBatch(benchmark::State& state) {
    const auto threads = static_cast<uint32_t>(state.range(0));
    std::vector<std::vector<Event>> batches = make_batches(threads, 200);
    Codes lookup;
    Names names;
    for (auto _ : state) {
        state.PauseTiming();
        Result<SharedFile> file = SharedFile::open("/dev/null", false);
        auto writer = std::make_unique<ProtoExporter>(file.take());
        state.ResumeTiming();
        Status st = writer->write_batch(batches[0], lookup, names);
        benchmark::DoNotOptimize(st);
        state.PauseTiming();
        writer.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * BATCH));
}
BENCHMARK(BM_FirstBatch)->ArgName("threads")->Arg(4)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vespra

BENCHMARK_MAIN();
