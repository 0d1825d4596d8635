// Helpers of the trace-reading tests: traces written by the real writers, and a reader of
// either format.
#pragma once

#include <string>
#include <vector>

#include "../core/test_util.h"
#include "json/json_exporter.h"
#include "json/json_reader.h"
#include "proto/proto_exporter.h"
#include "proto/proto_reader.h"

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

inline std::unique_ptr<trace::Parser> reader(Fmt fmt, trace::Visitor& v) {
    if (fmt == Fmt::Json) return std::make_unique<JsonReader>(v);
    return std::make_unique<ProtoReader>(v);
}

}  // namespace vespra::testing
