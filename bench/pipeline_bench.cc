// Whole-pipeline throughput: recording threads -> event queue -> serializer -> exporter ->
// JSON writer -> a file in /tmp. Producers hold back when they are more than a few rings'
// worth ahead of the writer, so the figure is the rate the pipeline sustains with no event
// lost (a run that loses any is reported as an error).
//
// Run: build-*/bench/pipeline_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "core/evqueue.h"
#include "core/pipeline.h"
#include "core/tls.h"
#include "json/json_exporter.h"

namespace vespra {
namespace {

constexpr uint32_t EVENTS_PER_THREAD = 1 << 20;
// How far producers may run ahead of the writer: well inside one thread's ring of 64 batches.
constexpr uint64_t MAX_AHEAD_EVENTS = 24 * 1024;

struct BenchCodes : CodeLookup {
    std::optional<CodeInfo> code(uint32_t id) const override {
        return CodeInfo{"pkg.module.Handler.method_" + std::to_string(id),
                        "/usr/lib/python3.13/site-packages/pkg/module.py", id};
    }
};
struct BenchNames : ThreadNames {
    std::optional<std::string> name(uint32_t) const override { return std::nullopt; }
    std::vector<std::pair<uint32_t, std::string>> snapshot() const override { return {}; }
};

// Counts what reached the writer, so producers can pace themselves.
class CountingExporter : public Exporter {
  public:
    CountingExporter(std::unique_ptr<Exporter> inner, std::atomic<uint64_t>& written,
                     std::atomic<uint64_t>& dropped)
        : inner_(std::move(inner)), written_(written), dropped_(dropped) {}
    Status write_batch(std::span<const Event> events, const CodeLookup& codes,
                       const ThreadNames& names) override {
        Status s = inner_->write_batch(events, codes, names);
        written_.fetch_add(events.size(), std::memory_order_release);
        return s;
    }
    Status finish(const CodeLookup& codes, const ThreadNames& names,
                  const RunTotals& totals) override {
        dropped_ = totals.dropped;
        return inner_->finish(codes, names, totals);
    }

  private:
    std::unique_ptr<Exporter> inner_;
    std::atomic<uint64_t>& written_;
    std::atomic<uint64_t>& dropped_;
};

void BM_PipelineToJsonFile(benchmark::State& state) {
    const size_t producers = static_cast<size_t>(state.range(0));
    std::string path = "/tmp/vespra-pipeline-bench-" + std::to_string(::getpid()) + ".json";
    uint64_t total = 0;
    for (auto _ : state) {
        auto queue = EventQueue::create(Clock::starting_now());
        std::atomic<uint64_t> written{0}, dropped{0}, recorded{0};
        Result<SharedFile> file = SharedFile::open(path, true);
        if (!file.ok()) {
            state.SkipWithError(file.error().text().c_str());
            break;
        }
        auto exporter = std::make_unique<CountingExporter>(
            std::make_unique<JsonExporter>(file.take()), written, dropped);
        Status result;
        std::thread exporter_thread([&, exporter = std::move(exporter)]() mutable {
            pipeline::set_current_thread_name("vespra-exporter");
            result = pipeline::run_pipeline(queue, std::make_shared<BenchCodes>(),
                                            std::make_shared<BenchNames>(), std::move(exporter));
        });
        std::atomic<size_t> finished{0};
        std::atomic<bool> release{false};
        std::vector<std::thread> threads;
        for (size_t k = 0; k < producers; ++k) {
            threads.emplace_back([&, k] {
                HOT.tid = 1000 + static_cast<uint32_t>(k);
                for (uint32_t i = 0; i < EVENTS_PER_THREAD; ++i) {
                    record(*queue, queue->clock().raw(),
                           pack_word(i % 2 ? KIND_RETURN : KIND_START, (i / 2) % 300));
                    if ((i & 1023) == 1023) {
                        uint64_t mine = recorded.fetch_add(1024) + 1024;
                        // Sleep rather than spin: on a small machine a spinning producer
                        // would take the core the exporter needs.
                        while (mine > written.load(std::memory_order_acquire) + MAX_AHEAD_EVENTS)
                            std::this_thread::sleep_for(std::chrono::microseconds(20));
                    }
                }
                ++finished;
                while (!release) std::this_thread::yield();  // stay registered until the stop
            });
        }
        while (finished < producers) std::this_thread::yield();
        queue->add_dropped(tls::flush_every_thread());
        queue->close();
        release = true;
        for (auto& t : threads) t.join();
        exporter_thread.join();
        if (!result.ok()) state.SkipWithError(result.error().text().c_str());
        if (dropped != 0) state.SkipWithError("events were lost");
        total += uint64_t{producers} * EVENTS_PER_THREAD;
    }
    std::remove(path.c_str());
    state.SetItemsProcessed(int64_t(total));
}
BENCHMARK(BM_PipelineToJsonFile)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vespra

BENCHMARK_MAIN();
