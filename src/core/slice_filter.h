// SliceFilter: what reaches the writer of each thread's stack of slices, decided on the decoded
// event stream between the serializer and the writer, the same for every format. It applies the
// tracer's depth limit and minimum duration, and at the stop it ends the slices still open; and
// FilteringExporter, which puts it in front of a writer.
//
// Each thread's events form a stack of slices: a begin (start, resume, throw, a span's begin)
// opens one, an end (return, yield, unwind, a span's end) closes the innermost. A span counts as
// a slice like a call, a collection's `gc` span included. Depth counts from the thread's first
// recorded frame, the begins stamped at the start of a run included. An end with nothing open
// (its begin came before the run) is written as it is.
//
// Ends at the stop: a run that starts inside calls records a begin for each, stamped at the
// start, so every end in the trace has its begin; this is the other half. At the end of the run
// every slice still open gets an end of its own kind, stamped at the stop, and those ends pass
// through the limits like any other. A trace of a run that stopped then has no slice without an
// end (viewers show those as "did not end", and trace_processor gives them a duration of -1,
// which breaks SQL over the trace). Only a process that dies without stopping its run leaves
// begins open.
//
// Depth limit: slices deeper than `max_depth` are left out, begins and ends alike, so what is
// written stays correctly nested. Perfetto keeps at most 512 nested slices per track and, since
// our ends carry no name, after it drops a deeper begin every later end closes the wrong slice:
// the default stays well below that.
//
// Minimum duration: a slice shorter than `min_duration` is left out together with everything
// inside it (which is shorter still); a kept slice is written with exactly its own begin and end.
// A begin waits in its thread's stack until the slice is known to be long enough: when its end
// comes at least `min_duration` after it, or when any later event of that thread does (the slice
// is still open then). Released begins go out outermost first, in front of the event that
// released them, so every thread's events stay in recording order. Memory is one pending begin
// (with its payload) per open frame. A generator or coroutine is one slice per start or
// resumption, up to its yield, return or unwind; each is kept or left out by its own length. A
// slice still open at the stop is kept when it had lasted `min_duration` by then.
//
// Instants and counter samples are always written, at any depth. One inside slices that still
// wait releases them, as a kept slice inside them would: holding it until they end would make
// memory grow with the events of a slice rather than with the depth. A mark's payload slots go
// wherever its header goes, and are no event of their thread: their `ts` holds payload bytes.
//
// One walk per batch does all of this, since it runs in every trace (the depth limit is on by
// default) on the exporter thread, whose time per event is part of the product's cost
// (bench/proto_bench.cc). Used by the exporter thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "core/event.h"
#include "core/io_error.h"
#include "core/sink.h"
#include "core/tasks.h"

namespace vespra {

struct SliceLimits {
    // Perfetto keeps at most this many nested slices per track: what lies deeper is dropped,
    // and every enclosing slice gets a wrong duration.
    static constexpr uint32_t VIEWER_DEPTH = 512;
    // Deep enough for nearly every program, far enough below the 512 nested slices Perfetto
    // keeps per track to leave room for what a viewer nests itself.
    static constexpr uint32_t DEFAULT_MAX_DEPTH = 256;

    uint32_t max_depth = DEFAULT_MAX_DEPTH;  // 0: no limit
    uint64_t min_duration = 0;               // nanoseconds; 0: every slice
};

class SliceFilter {
  public:
    explicit SliceFilter(SliceLimits limits);

    // The events of `events` to write, in order: `events` itself while every event is kept and
    // none waits (the common case follows the stacks and copies nothing), else `kept`, refilled
    // here. Consecutive calls continue each thread's stream.
    std::span<const Event> filter(std::span<const Event> events, std::vector<Event>& kept);

    // At the end of the run: ends every slice still open, innermost first on each thread,
    // threads by ascending id, stamped at `stop` (or at the thread's last event, if a reading of
    // another CPU put that later), and appends to `kept` what the limits keep of those ends and
    // of the begins still waiting. Nothing is open afterwards.
    void close_all(uint64_t stop, std::vector<Event>& kept);

    // Slices open, the ones beyond the depth limit included.
    size_t open() const;
    // The deepest slice written so far when it lay deeper than VIEWER_DEPTH (which only a limit
    // above that, or none, lets through), else 0.
    uint32_t deepest_past_viewers() const { return deepest_past_viewers_; }
    const LeftOut& left_out() const { return left_out_; }

  private:
    // Where the payload slots after a mark go: after its header, with it.
    enum class Payload : uint8_t { WRITE, LEAVE_OUT, WAIT };

    struct ThreadState {
        uint32_t depth = 0;  // open frames, the ones left out included
        // codes[0, min(depth, limit)) are the words (kind and code) of the open frames' begins
        // within the depth limit, outermost first: the ends at the stop are made of them. The
        // walk writes every event's word at codes[depth] before it knows whether the event
        // opens a frame, so codes is kept longer than depth.
        std::vector<uint32_t> codes = std::vector<uint32_t>(64);
        uint64_t last_ts = 0;  // its latest event's: a thread's events come in recording order
        // With a minimum duration: the begins (and their payload slots) of the open frames
        // within the depth limit, outermost first; `starts` has the index of each frame's begin.
        std::vector<Event> pending;
        std::vector<uint32_t> starts;
        size_t written = 0;  // the first `written` frames of `starts` have gone out
        Payload payload = Payload::WRITE;
    };

    ThreadState& thread(uint32_t tid) {
        if (tid != last_tid_ || last_ == nullptr) {
            last_ = &threads_[tid];  // unordered_map nodes stay where they are
            last_tid_ = tid;
        }
        return *last_;
    }
    // The depth limit alone, while nothing is left out: applies the events up to the first one
    // it leaves out and returns that one's index (the size of `events` for none).
    size_t pass_within_depth(std::span<const Event> events);
    // Notes the depth of a slice written, when it lies deeper than viewers keep.
    void note_depth(uint32_t depth);
    // Keeps the word of the begin that has just made frame t.depth - 1 (within the limit).
    static void push_code(ThreadState& t, uint32_t word);
    // The depth limit alone: true when `e` is written.
    bool keep_within_depth(ThreadState& t, const Event& e);
    // Both limits; appends what `e` lets out to `kept`.
    void step(ThreadState& t, const Event& e, std::vector<Event>& kept);
    // Releases the pending begins of slices open `min_duration` before `now`.
    void release_until(ThreadState& t, uint64_t now, std::vector<Event>& kept);
    // Releases every pending begin.
    void release_all(ThreadState& t, std::vector<Event>& kept);
    // Appends the pending begin of frame `frame` (an index into `starts`) with its payload.
    void release(const ThreadState& t, size_t frame, std::vector<Event>& kept) const;

    SliceLimits limits_;
    uint32_t depth_limit_;  // max_depth, or the largest depth for none
    // Where the unchecked walk hands over to the checked steps: the depth limit, or
    // VIEWER_DEPTH when that is lower, so that the checked steps see a slice that lies deeper.
    uint32_t walk_limit_;
    uint32_t deepest_past_viewers_ = 0;
    std::unordered_map<uint32_t, ThreadState> threads_;
    uint32_t last_tid_ = 0;
    ThreadState* last_ = nullptr;
    LeftOut left_out_;
};

// A writer behind a SliceFilter, with TaskTracks in front of both: the limits see each task's
// track as a thread of its own, and the writer names it. Pauses pass through: the stacks are kept across them, with the
// writer. finish() writes the ends of the slices still open, stamped at the time `stop_time`
// gives then (the run's stop), that the limits keep, then finishes the writer with the filter's
// counts added to the run's totals, and leaves the filter's deepest_past_viewers() in `deepest`
// (when given: the pipeline releases the writer when it finishes).
class FilteringExporter final : public Exporter {
  public:
    FilteringExporter(std::unique_ptr<Exporter> writer, SliceLimits limits,
                      std::function<uint64_t()> stop_time,
                      std::shared_ptr<uint32_t> deepest = nullptr)
        : writer_(std::move(writer)),
          filter_(limits),
          stop_time_(std::move(stop_time)),
          deepest_(std::move(deepest)) {}

    Status write_batch(std::span<const Event> events, const CodeLookup& codes,
                       const ThreadNames& names) override;
    Status flush() override { return writer_->flush(); }
    Status finish(const CodeLookup& codes, const ThreadNames& names,
                  const RunTotals& totals) override;

  private:
    std::unique_ptr<Exporter> writer_;
    TaskTracks tasks_;
    SliceFilter filter_;
    std::function<uint64_t()> stop_time_;
    std::shared_ptr<uint32_t> deepest_;
    std::vector<Event> split_;
    std::vector<Event> kept_;
};

}  // namespace vespra
