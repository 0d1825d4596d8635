// Where the export pipeline meets the trace writers and the interpreter side: the Exporter
// interface every writer implements, and the two lookups a writer may consult for names.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/event.h"
#include "core/io_error.h"

namespace vespra {

// What is known about one Python code object, or about one name the program gave a mark (a
// span, instant or counter, or an argument's key; see marks.h), which shares the code ids.
struct CodeInfo {
    std::string name;   // co_qualname, or the mark's name
    std::string file;   // co_filename; empty for a mark
    uint32_t line = 0;  // co_firstlineno; 0 for a mark
    bool mark = false;
};

// Code id -> description. Called on the exporter thread while recording threads keep adding
// code objects: implementations are safe for concurrent use.
class CodeLookup {
  public:
    virtual ~CodeLookup() = default;
    virtual std::optional<CodeInfo> code(uint32_t id) const = 0;
};

// Thread id -> Python thread name. Same concurrency contract as CodeLookup.
class ThreadNames {
  public:
    virtual ~ThreadNames() = default;
    virtual std::optional<std::string> name(uint32_t tid) const = 0;
    // Every known name, ascending by tid.
    virtual std::vector<std::pair<uint32_t, std::string>> snapshot() const = 0;
};

// Events the tracer's options kept out of the trace, by the option that left them out. A writer
// records each count above 0 under the option's name (see LEFT_OUT_REASONS), so that nobody takes
// a filtered trace for a complete one.
struct LeftOut {
    // Events the interpreter delivered for code the include and exclude options leave out,
    // before the callbacks switched them off (a location's first event, every unwind and throw).
    uint64_t filter = 0;
    uint64_t max_depth = 0;     // deeper than the depth limit
    uint64_t min_duration = 0;  // begins and ends of slices shorter than the minimum duration
    // Recorded into a flight ring (see ring.h) and dropped from it, older than the window written.
    uint64_t ring = 0;

    LeftOut& operator+=(const LeftOut& o) {
        filter += o.filter;
        max_depth += o.max_depth;
        min_duration += o.min_duration;
        ring += o.ring;
        return *this;
    }
};

// The name each count is recorded under in a trace, the way readers report it back.
struct LeftOutReason {
    std::string_view name;
    uint64_t LeftOut::*count;
};
inline constexpr LeftOutReason LEFT_OUT_REASONS[] = {
    {"filter", &LeftOut::filter},
    {"max_depth", &LeftOut::max_depth},
    {"min_duration", &LeftOut::min_duration},
    {"ring", &LeftOut::ring},
};

// What a run knows of itself once the last event is written, for the record at its end.
struct RunTotals {
    // Implicit: the dropped count alone is the totals of a run without options.
    constexpr RunTotals(uint64_t dropped = 0) : dropped(dropped) {}  // NOLINT

    uint64_t dropped = 0;  // events that never reached the writer
    LeftOut left_out;
};

// A trace writer. Owned and used by the exporter thread only.
class Exporter {
  public:
    virtual ~Exporter() = default;
    // Never called with an empty span by the pipeline. One thread's events are in recording
    // order; different threads' are interleaved in no common order.
    virtual Status write_batch(std::span<const Event> events, const CodeLookup& codes,
                               const ThreadNames& names) = 0;
    // Writes out what write_batch held back. The pipeline calls it once no batch has come for
    // a short while (20 ms) and before it pauses, so a writer may gather batches into larger
    // writes.
    virtual Status flush() { return Status::success(); }
    // Once, after the last successful write_batch.
    virtual Status finish(const CodeLookup& codes, const ThreadNames& names,
                          const RunTotals& totals) = 0;
};

}  // namespace vespra
