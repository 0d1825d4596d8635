// Opening a trace file of either format: the format is told by the content, not the name.
#pragma once

#include <string>
#include <vector>

#include "core/io_error.h"
#include "core/parts.h"
#include "core/trace_reader.h"

namespace vespra::analysis {

enum class TraceFormat { Json, Protobuf };

// A part of the trace that is not joined into the file yet (core/parts.h): the first process
// was killed, or processes of the trace still run.
struct PartRead {
    uint32_t pid = 0;
    bool running = false;  // its process still writes it
    trace::StreamReport report;
};

struct TraceRead {
    TraceFormat format;
    trace::StreamReport report;   // of the file itself
    std::vector<PartRead> parts;  // read after the file, in the order of their names
};

const char* format_name(TraceFormat format);

// Streams the trace at `path` into `visitor`, and then the parts of it that are not joined yet,
// each up to its last complete record (a part of a process that is gone is also reported to
// the visitor as cut short). A JSON trace starts with "[" or "{" (after optional whitespace), a
// protobuf one with the key of Trace.packet; a file that holds nothing yet takes the format of
// its parts. An empty trace, a file of neither kind, and a corrupt trace are errors; a trace
// cut short is read up to the cut and reported. With a `sink`, the reader also hands it each
// record after reporting it.
Result<TraceRead> read_trace(const std::string& path, trace::Visitor& visitor,
                             trace::RecordSink* sink = nullptr);
// The format of the trace at `path` (or of its parts, while it holds nothing), told as
// read_trace tells it.
Result<TraceFormat> trace_format(const std::string& path);

// `vespra join`: joins into `path` the parts of the processes that are gone, and finishes the
// trace when none is left running. The format is told by the content, as above.
Result<parts::JoinReport> join_trace(const std::string& path);

}  // namespace vespra::analysis
