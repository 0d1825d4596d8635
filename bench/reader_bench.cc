// Throughput of the trace readers, and of `vespra summary`'s whole analysis, on a trace written
// by the real writers: a few threads making nested calls over a few hundred functions (the
// walk of proto_bench.cc), 1 Mi events per pass.
//
//   build/bench/reader_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only
//
// BM_Read*: the reader alone, from memory, into a visitor that only counts: bytes to events.
// BM_Summary*: the reader and the Profile (stack reconstruction and per-function statistics)
// over the file in the page cache, through read_stream as the command reads it.
// items_per_second is events per second.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/profile.h"
#include "core/event.h"
#include "core/output.h"
#include "core/sink.h"
#include "core/trace_reader.h"
#include "json/json_exporter.h"
#include "json/json_reader.h"
#include "proto/proto_exporter.h"
#include "proto/proto_reader.h"
#include "random_walk.h"

namespace vespra {
namespace {

constexpr size_t BATCH = bench::WALK_BATCH;
constexpr size_t BATCHES = 256;  // 1 Mi events

using Codes = bench::WalkCodes;
using Names = bench::WalkNames;

std::vector<std::vector<Event>> make_batches(uint32_t threads, uint32_t codes) {
    return bench::random_walk(BATCHES, threads, codes);
}

// The trace file of 1 Mi events in `json` or protobuf, written once per process.
const std::string& trace_file(bool json) {
    static std::string paths[2];
    std::string& path = paths[json];
    if (!path.empty()) return path;
    char tmpl[] = "/tmp/vespra-reader-bench-XXXXXX";
    int fd = mkstemp(tmpl);
    close(fd);
    path = tmpl;
    Result<SharedFile> file = SharedFile::open(path, true);
    SharedFile out = file.take();
    std::unique_ptr<Exporter> writer;
    if (json) {
        out.write("[");
        (void)out.flush();
        writer = std::make_unique<JsonExporter>(std::move(out));
    } else {
        writer = std::make_unique<ProtoExporter>(std::move(out));
    }
    Codes codes;
    Names names;
    for (const auto& batch : make_batches(4, 200)) (void)writer->write_batch(batch, codes, names);
    (void)writer->finish(codes, names, 0);
    std::atexit([] {
        for (const std::string& p : paths) {
            if (!p.empty()) unlink(p.c_str());
        }
    });
    return path;
}

std::string contents(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

struct Counter final : trace::Visitor {
    uint64_t events = 0;
    uint32_t functions = 0;
    void process(uint32_t, std::string_view) override {}
    uint32_t thread(uint32_t, uint32_t) override { return 0; }
    void thread_name(uint32_t, std::string_view) override {}
    uint32_t function(std::string_view, std::string_view, uint32_t) override { return functions++; }
    void begin(uint32_t, uint32_t f, uint64_t ts) override { events += 1 + ((f ^ ts) == 1); }
    void end(uint32_t, uint64_t) override { ++events; }
    void dropped(uint32_t, uint64_t) override {}
    void left_out(uint32_t, std::string_view, uint64_t) override {}
};

template <class Reader>
void read_bench(benchmark::State& state, bool json) {
    std::string bytes = contents(trace_file(json));
    std::span<const uint8_t> data(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    uint64_t events = 0;
    for (auto _ : state) {
        Counter counter;
        Reader reader(counter);
        Result<trace::StreamReport> r = trace::read_bytes(data, reader);
        if (!r.ok()) state.SkipWithError(r.error().text().c_str());
        events = counter.events;
        benchmark::DoNotOptimize(events);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * events));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
    state.counters["bytes/event"] = static_cast<double>(bytes.size()) / static_cast<double>(events);
}

void BM_ReadProto(benchmark::State& state) { read_bench<ProtoReader>(state, false); }
void BM_ReadJson(benchmark::State& state) { read_bench<JsonReader>(state, true); }
BENCHMARK(BM_ReadProto)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadJson)->Unit(benchmark::kMillisecond);

template <class Reader>
void summary_bench(benchmark::State& state, bool json) {
    const std::string& path = trace_file(json);
    uint64_t events = 0;
    size_t paths = 0;
    for (auto _ : state) {
        analysis::Profile profile(/*keep_stacks=*/state.range(0) != 0);
        Reader reader(profile);
        int fd = open(path.c_str(), O_RDONLY);
        Result<trace::StreamReport> r = trace::read_stream(fd, reader);
        close(fd);
        if (!r.ok()) state.SkipWithError(r.error().text().c_str());
        profile.finish();
        events = profile.events();
        paths = profile.stack_nodes().size();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * events));
    // Distinct call paths kept for the flame graph: this random walk makes nearly every call a
    // new one, the worst case; real programs repeat a few thousand.
    state.counters["paths"] = static_cast<double>(paths);
}

void BM_SummaryProto(benchmark::State& state) { summary_bench<ProtoReader>(state, false); }
void BM_SummaryJson(benchmark::State& state) { summary_bench<JsonReader>(state, true); }
BENCHMARK(BM_SummaryProto)->ArgName("stacks")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SummaryJson)->ArgName("stacks")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vespra

BENCHMARK_MAIN();
