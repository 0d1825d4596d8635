// Opening a trace file of either format: the format is told by the content, not the name.
#pragma once

#include <string>

#include "core/io_error.h"
#include "core/trace_reader.h"

namespace vespra::analysis {

enum class TraceFormat { Json, Protobuf };

struct TraceRead {
    TraceFormat format;
    trace::StreamReport report;
};

const char* format_name(TraceFormat format);

// Streams the trace at `path` into `visitor`. A JSON trace starts with "[" or "{" (after
// optional whitespace), a protobuf one with the key of Trace.packet. An empty file, a file of neither
// kind, and a corrupt trace are errors; a trace cut short is read up to the cut and reported.
Result<TraceRead> read_trace(const std::string& path, trace::Visitor& visitor);

}  // namespace vespra::analysis
