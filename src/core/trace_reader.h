// What the trace readers share: the Visitor they report a trace's contents to, the Parser
// interface of one format, and the driver that streams a file through a parser in bounded
// memory.
//
// A reader reports a trace in file order and keeps nothing of it beyond what later records
// refer to (threads, interned names), so memory is bounded by the number of distinct threads
// and functions, never by the length of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/io_error.h"

namespace vespra::trace {

// Receives a trace's contents from a reader. Handles returned by thread() and function() are
// the visitor's own; the reader passes them back unchanged.
class Visitor {
  public:
    virtual ~Visitor() = default;
    // A process appears: before the first thread of that pid (name may be empty).
    virtual void process(uint32_t pid, std::string_view name) = 0;
    // A thread starts recording. A second call for the same pid and tid is a new run of it (a
    // process that exec'd and joined the trace again).
    virtual uint32_t thread(uint32_t pid, uint32_t tid) = 0;
    virtual void thread_name(uint32_t thread, std::string_view name) = 0;
    // A function, by qualified name, file and first line; file is empty and line 0 when the
    // format does not carry them. Called once per distinct function per reader cache, so the
    // visitor must map equal arguments to one handle.
    virtual uint32_t function(std::string_view name, std::string_view file, uint32_t line) = 0;
    // A span the traced program marked (named, without file or line): its slices open and end
    // like a function's. The same caching rule as function(); distinct from any function.
    virtual uint32_t span(std::string_view name) { return function(name, "", 0); }
    // A slice of `function` opens on `thread` at `ts` nanoseconds since its run's clock origin.
    virtual void begin(uint32_t thread, uint32_t function, uint64_t ts) = 0;
    // The innermost open slice of `thread` closes.
    virtual void end(uint32_t thread, uint64_t ts) = 0;
    // The writer of process `pid` recorded that `count` events were lost before the file.
    virtual void dropped(uint32_t pid, uint64_t count) = 0;
    // A sample of the counter `name` of process `pid`, at `ts`.
    virtual void counter(uint32_t pid, std::string_view name, double value, uint64_t ts) {
        (void)pid, (void)name, (void)value, (void)ts;
    }
    // The writer of process `pid` recorded that an option of the tracer, named by `reason`
    // ("max_depth", "min_duration", ...), left `count` events out of the trace.
    virtual void left_out(uint32_t pid, std::string_view reason, uint64_t count) = 0;
    // Process `pid` ended without stopping its run (killed): the trace holds what it wrote up
    // to then.
    virtual void cut_short(uint32_t pid) { (void)pid; }
};

// What a reader tells a RecordSink of each record (a protobuf packet, a JSON record) once it
// has reported the record to its visitor: enough for a tool that copies records to decide which
// to keep.
struct RecordInfo {
    static constexpr uint32_t NONE = UINT32_MAX;
    enum class Kind : uint8_t {
        State,   // no event: names, descriptors, interned data, clocks
        Begin,   // a slice opens on `thread`
        End,     // the innermost slice of `thread` closes
        Mark,    // an instant or a counter sample, at `ts`
        Totals,  // the counts of events dropped or left out, for the process `pid`
    };
    Kind kind = Kind::State;
    uint32_t thread = NONE;       // the visitor's handle of the thread it belongs to, if any
    uint32_t pid = NONE;          // the process it belongs to, when no thread says it
    uint64_t ts = 0;              // trace time of a Begin, End or Mark
    uint32_t sequence = 0;        // protobuf: its packet sequence
    bool sequence_clock = false;  // protobuf: its timestamp is on a clock of its sequence
    // protobuf: its sequence's packets are on a clock of the sequence unless they name another
    // (as a mark's and an event's out of order do)
    bool sequence_default_clock = false;
};

class RecordSink {
  public:
    virtual ~RecordSink() = default;
    // `bytes` is the whole record as it stands in the file (a packet with its key and length).
    virtual Status record(std::span<const uint8_t> bytes, const RecordInfo& info) = 0;
};

// One trace format. The driver hands it the file in pieces, each starting where the previous
// call stopped consuming.
class Parser {
  public:
    virtual ~Parser() = default;
    // Parses the complete records at the start of `data`, whose first byte is at file offset
    // `offset`, and returns how many bytes they take. A record cut by the end of `data` is left
    // unconsumed: it comes again, with more bytes after it, in the next call. Errors name the
    // file offset of what is wrong.
    virtual Result<size_t> parse(std::span<const uint8_t> data, uint64_t offset) = 0;
    // At the end of the file, with `rest` the bytes no call consumed (empty for a whole file):
    // an error if what was read cannot be a trace of this format. A non-empty `rest` is a
    // trace cut short, not an error.
    virtual Status finish(std::span<const uint8_t> rest) {
        (void)rest;
        return Status::success();
    }
};

struct StreamReport {
    uint64_t size = 0;      // bytes read from the file
    uint64_t complete = 0;  // bytes of complete records; below `size` when the trace was cut
    bool cut() const { return complete < size; }
};

// The largest record a reader accepts: no record of a vespra trace comes near it, so a larger
// one is corruption, and the driver's buffer stays bounded.
inline constexpr size_t MAX_RECORD = 64u << 20;
// Bytes read from the file per read().
inline constexpr size_t READ_CHUNK = 4u << 20;

// Streams the file open at `fd` (from its current position, counted as offset 0) through
// `parser` in chunks of READ_CHUNK. Returns the report, or the parser's first error, an I/O
// error, or an error for a record above MAX_RECORD.
Result<StreamReport> read_stream(int fd, Parser& parser);

// The same over bytes in memory, handed over in pieces of at most `piece` bytes (tests use it
// to cut records at every position).
Result<StreamReport> read_bytes(std::span<const uint8_t> bytes, Parser& parser,
                                size_t piece = READ_CHUNK);

}  // namespace vespra::trace
