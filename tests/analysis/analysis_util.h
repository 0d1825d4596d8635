// Helpers of the trace-reading tests: traces written by the real writers, and a visitor that
// logs what a reader reports as lines of text.
#pragma once

#include <string>
#include <vector>

#include "../core/test_util.h"
#include "core/trace_reader.h"
#include "json/json_exporter.h"
#include "proto/proto_exporter.h"

namespace vespra::testing {

enum class Fmt { Json, Proto };

// One writer's part of a trace: its pid, sequence base (protobuf), batches, dropped count and
// what options left out; the process's name, and the name it is given after its first batch, if
// any.
struct WriterRun {
    uint32_t pid;
    std::vector<std::vector<Event>> batches;
    uint64_t dropped = 0;
    std::string name = "python";
    std::string renamed = {};
    LeftOut left_out = {};
};

// The file that the writers of `runs` produce one after the other into one file, as a parent
// and its children do; JSON starts with the "[" of whoever creates the file. Protobuf
// timestamps are absolute unless `incremental` is true.
inline std::string write_trace(Fmt fmt, const std::vector<WriterRun>& runs, const FakeCodes& codes,
                               const FakeNames& names, bool incremental = false) {
    TempTrace file;
    bool first = true;
    for (const WriterRun& run : runs) {
        SharedFile out = file.open(first);
        std::unique_ptr<Exporter> writer;
        if (fmt == Fmt::Json) {
            if (first) {
                out.write("[");
                EXPECT_TRUE(out.flush().ok());
            }
            writer = std::make_unique<JsonExporter>(std::move(out), run.pid);
        } else {
            auto proto = std::make_unique<ProtoExporter>(std::move(out), run.pid);
            if (!first) proto->set_sequence_base(run.pid);
            proto->set_incremental_timestamps(incremental);
            writer = std::move(proto);
        }
        process_name::set(ProcessName{run.name, {}});
        for (size_t i = 0; i < run.batches.size(); ++i) {
            EXPECT_TRUE(writer->write_batch(run.batches[i], codes, names).ok());
            if (i == 0 && !run.renamed.empty()) process_name::set(ProcessName{run.renamed, {}});
        }
        RunTotals totals(run.dropped);
        totals.left_out = run.left_out;
        EXPECT_TRUE(writer->finish(codes, names, totals).ok());
        first = false;
    }
    process_name::set(ProcessName{});
    return file.contents();
}

inline std::span<const uint8_t> bytes_of(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Logs every call as one line; handles are the order of first appearance.
struct LogVisitor : trace::Visitor {
    std::vector<std::string> log;
    std::vector<std::string> functions;
    bool with_places = true;  // log file:line

    void process(uint32_t pid, std::string_view name) override {
        log.push_back("process " + std::to_string(pid) + " " + std::string(name));
    }
    uint32_t thread(uint32_t pid, uint32_t tid) override {
        log.push_back("thread " + std::to_string(pid) + "/" + std::to_string(tid));
        return static_cast<uint32_t>(threads++);
    }
    void thread_name(uint32_t thread, std::string_view name) override {
        log.push_back("name " + std::to_string(thread) + " " + std::string(name));
    }
    uint32_t function(std::string_view name, std::string_view file, uint32_t line) override {
        std::string f(name);
        if (with_places) f += "@" + std::string(file) + ":" + std::to_string(line);
        functions.push_back(f);
        return static_cast<uint32_t>(functions.size() - 1);
    }
    void begin(uint32_t thread, uint32_t function, uint64_t ts) override {
        log.push_back("B " + std::to_string(thread) + " " + functions[function] + " " +
                      std::to_string(ts));
    }
    void end(uint32_t thread, uint64_t ts) override {
        log.push_back("E " + std::to_string(thread) + " " + std::to_string(ts));
    }
    void dropped(uint32_t pid, uint64_t count) override {
        log.push_back("dropped " + std::to_string(pid) + " " + std::to_string(count));
    }
    void left_out(uint32_t pid, std::string_view reason, uint64_t count) override {
        log.push_back("left out " + std::to_string(pid) + " " + std::string(reason) + " " +
                      std::to_string(count));
    }

    size_t threads = 0;
};

}  // namespace vespra::testing
