// JsonReader: reads a trace in the JSON array form of the Trace Event Format, as JsonExporter
// writes it (several processes' records appended to one array that is never closed; a closed
// array is fine too), or in its object form, {"traceEvents": [...], ...}, as other tracers and
// browsers write it, and reports it to a trace::Visitor.
//
// Records exactly in the writer's layout take a fast path that copies nothing; anything else
// goes through a general JSON object parser, so records written or edited by other tools are
// read too. Duration records ("ph" B and E) become slices of the thread (pid, tid), those of the
// category "span" slices of spans, named without a place; counter records ("ph" C) with a
// numeric "value" argument become counter samples of their process; the metadata
// records "thread_name", "process_name" and "vespra_dropped_events" name threads and processes
// and count lost events; other records are passed over. A function is its "name" with
// "args"."file" and "args"."line". Complete records ("ph" X, with "ts" and "dur"), which other
// writers put out when a slice ends (after the slices inside it), are kept per thread and
// reported at the end, each thread's in order of time, as begins and ends.
//
// Malformed JSON, a record that is not an object, or a B, E or X record without a numeric "ts"
// is an error naming its file offset; nesting is limited so that no input exhausts the stack.
// A JSON array or object whose records have no "ph" (or an object without "traceEvents") is no
// trace: an error.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/trace_reader.h"

namespace vespra {

class JsonReader final : public trace::Parser {
  public:
    static constexpr int MAX_DEPTH = 64;

    explicit JsonReader(trace::Visitor& visitor) : visitor_(visitor) {}

    Result<size_t> parse(std::span<const uint8_t> data, uint64_t offset) override;
    Status finish(std::span<const uint8_t> rest) override;

    uint64_t records() const { return records_; }
    // Hands every record, after its visitor calls, to `sink` (none by default).
    void set_sink(trace::RecordSink* sink) { sink_ = sink; }

  private:
    enum class Step { Done, NeedMore, Slow };
    struct Record;  // the fields of one record that matter, from the general parser
    // Where the parse is outside the records: before the document, among the members of the
    // object form (before a key, or after a value), inside the array of records, past the end.
    enum class Place { Start, Key, AfterValue, Records, End };
    // A complete record: one slice, from `begin` to `end` nanoseconds.
    struct Complete {
        uint64_t begin;
        uint64_t end;
        uint32_t function;
    };

    Step fast_record(const uint8_t*& p, const uint8_t* end);
    Result<bool> slow_record(const uint8_t*& p, const uint8_t* end, uint64_t at);
    Status apply(const Record& r, uint64_t at);
    // One member of the object form at p (its key, and its value or the "[" that opens the
    // records). NeedMore leaves p where it was.
    Result<bool> member(const uint8_t*& p, const uint8_t* end, uint64_t at);
    // Reports the complete records, thread by thread, as nested begins and ends.
    void replay_complete();
    uint32_t thread(uint32_t pid, uint32_t tid);
    uint32_t function(std::string_view name, std::string_view file, std::string_view line);
    uint32_t span(const std::string& name);

    trace::Visitor& visitor_;
    Place place_ = Place::Start;
    bool object_form_ = false;                        // the records are the object's traceEvents
    bool had_records_ = false;                        // the object form's "traceEvents" seen
    bool expect_record_ = true;                       // after "[" or ","
    std::unordered_map<uint64_t, uint32_t> threads_;  // pid << 32 | tid -> handle
    std::unordered_set<uint32_t> pids_;
    uint64_t last_thread_key_ = 0;
    uint32_t last_thread_ = UINT32_MAX;                    // none yet
    std::unordered_map<std::string, uint32_t> functions_;  // name \0 file \0 line -> handle
    std::unordered_map<std::string, uint32_t> spans_;      // by name
    std::string key_;                                      // reused lookup key
    uint64_t records_ = 0;
    uint64_t events_ = 0;  // records with a "ph": what makes the document a trace
    std::unordered_map<uint32_t, std::vector<Complete>> complete_;  // by thread handle
    trace::RecordSink* sink_ = nullptr;
    trace::RecordInfo info_;  // of the record being read, when there is a sink
};

}  // namespace vespra
