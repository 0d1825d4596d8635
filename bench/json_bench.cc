// Throughput of the JSON writer on realistic batches: 4096 events of 8 threads over 300 code
// objects, with qualified names and site-packages paths of typical length and timestamps a few
// seconds into a run. The file is /dev/null, so the figure is rendering plus one copy into the
// SharedFile and one write(2) per batch.
//
// Run: build-*/bench/json_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only
// Instructions per event: run valgrind --tool=callgrind with
//   --toggle-collect='vespra::JsonExporter::write_batch*' on --benchmark_filter=callgrind/10 and
//   on callgrind/60; (Ir of the second - Ir of the first) / (50 * 4096).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/output.h"
#include "core/sink.h"
#include "json/json_exporter.h"
#include "json/json_text.h"

namespace vespra {
namespace {

constexpr uint32_t CODES = 300;
constexpr uint32_t THREADS = 8;

struct BenchCodes : CodeLookup {
    std::optional<CodeInfo> code(uint32_t id) const override {
        return CodeInfo{
            "pkg.module_" + std::to_string(id % 17) + ".Handler.method_" + std::to_string(id),
            "/usr/lib/python3.13/site-packages/pkg/module_" + std::to_string(id % 17) + ".py",
            10 + id * 7};
    }
};

struct BenchNames : ThreadNames {
    std::optional<std::string> name(uint32_t) const override { return std::nullopt; }
    std::vector<std::pair<uint32_t, std::string>> snapshot() const override { return {}; }
};

// Call trees of 8 threads interleaved in runs, as a drain delivers them: per thread a run of
// starts and returns, timestamps 2..3 s after the origin, OS-like thread ids.
std::vector<Event> realistic_batch(size_t n) {
    std::mt19937 rng(42);
    std::vector<Event> events;
    events.reserve(n);
    std::vector<std::vector<uint32_t>> stacks(THREADS);
    uint64_t ts = 2'000'000'000;
    while (events.size() < n) {
        uint32_t t = rng() % THREADS;
        for (int k = 0; k < 64 && events.size() < n; ++k) {
            ts += 50 + rng() % 400;
            auto& stack = stacks[t];
            bool call = stack.empty() || (stack.size() < 40 && rng() % 2 == 0);
            uint32_t code = call ? rng() % CODES : stack.back();
            if (call)
                stack.push_back(code);
            else
                stack.pop_back();
            events.push_back(
                Event{ts, 181'000 + t * 13, pack_word(call ? KIND_START : KIND_RETURN, code)});
        }
    }
    return events;
}

SharedFile dev_null() {
    Result<SharedFile> r = SharedFile::open("/dev/null", false);
    if (!r.ok()) {
        std::fprintf(stderr, "%s\n", r.error().text().c_str());
        std::abort();
    }
    return r.take();
}

void BM_JsonWriteBatch(benchmark::State& state) {
    std::vector<Event> batch = realistic_batch(static_cast<size_t>(state.range(0)));
    BenchCodes codes;
    BenchNames names;
    JsonExporter exporter(dev_null());
    (void)exporter.write_batch(batch, codes, names);  // templates are built once per run anyway
    for (auto _ : state) {
        if (!exporter.write_batch(batch, codes, names).ok()) state.SkipWithError("write failed");
    }
    // Bytes per batch, measured once by rendering into a file we can size.
    char path[] = "/tmp/vespra-json-bench-XXXXXX";
    int fd = mkstemp(path);
    ::close(fd);
    size_t bytes = 0;
    {
        Result<SharedFile> f = SharedFile::open(path, true);
        JsonExporter sized(f.take());
        (void)sized.write_batch(batch, codes, names);
    }
    if (FILE* f = std::fopen(path, "rb")) {
        std::fseek(f, 0, SEEK_END);
        bytes = static_cast<size_t>(std::ftell(f));
        std::fclose(f);
    }
    std::remove(path);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(batch.size()));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
    state.counters["bytes/event"] = double(bytes) / double(batch.size());
}
BENCHMARK(BM_JsonWriteBatch)->Arg(4096)->Arg(5119);
// Fixed iteration counts for instruction counting: the difference between the two, divided by
// 50 x 4096, is the cost of one event with the template set-up taken out.
BENCHMARK(BM_JsonWriteBatch)->Name("callgrind/10")->Arg(4096)->Iterations(10);
BENCHMARK(BM_JsonWriteBatch)->Name("callgrind/60")->Arg(4096)->Iterations(60);

// The digit routines alone, on timestamps of a long run.
void BM_PushMicros(benchmark::State& state) {
    json::Buffer buf(1 << 16);
    uint64_t ts = 123'456'789'012;
    for (auto _ : state) {
        buf.clear();
        for (int i = 0; i < 1000; ++i) json::push_micros(buf, ts += 377);
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 1000);
}
BENCHMARK(BM_PushMicros);

}  // namespace
}  // namespace vespra

BENCHMARK_MAIN();
