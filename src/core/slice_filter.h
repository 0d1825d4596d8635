// SliceFilter: what the tracer's depth limit and minimum duration leave out of a trace, decided
// on the decoded event stream between the serializer and the writer, the same for every format;
// and FilteringExporter, which puts it in front of a writer.
//
// Each thread's events form a stack of slices: a begin (start, resume, throw, a span's begin)
// opens one, an end (return, yield, unwind, a span's end) closes the innermost. A span counts as
// a slice like a call, a collection's `gc` span included. Depth counts from the thread's first
// recorded frame, the begins stamped at the start of a run included.
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
// resumption, up to its yield, return or unwind; each is kept or left out by its own length.
//
// Instants and counter samples are always written, at any depth. One inside slices that still
// wait releases them, as a kept slice inside them would: holding it until they end would make
// memory grow with the events of a slice rather than with the depth. A mark's payload slots go
// wherever its header goes.
//
// A slice still open at the end of the run is kept when it had lasted `min_duration` by the last
// event the run recorded (on any thread); otherwise it is left out (its begin is counted). In the
// tracer the open calls' ends at the stop reach the filter first (ClosingExporter in front of
// it), so every written begin has its end and nothing is left waiting here.
//
// Used by the exporter thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "core/event.h"
#include "core/io_error.h"
#include "core/sink.h"

namespace vespra {

struct SliceLimits {
    // Deep enough for nearly every program, far enough below the 512 nested slices Perfetto
    // keeps per track to leave room for what a viewer nests itself.
    static constexpr uint32_t DEFAULT_MAX_DEPTH = 256;

    uint32_t max_depth = DEFAULT_MAX_DEPTH;  // 0: no limit
    uint64_t min_duration = 0;               // nanoseconds; 0: every slice

    // Whether anything can be left out at all.
    bool any() const { return max_depth != 0 || min_duration != 0; }
};

class SliceFilter {
  public:
    explicit SliceFilter(SliceLimits limits);

    // The events of `events` to write, in order: `events` itself while every event is kept and
    // none waits (the common case counts each event and copies nothing), else `kept`, refilled
    // here. Consecutive calls continue each thread's stream.
    std::span<const Event> filter(std::span<const Event> events, std::vector<Event>& kept);

    // At the end of the run: appends to `kept` the begins of open slices that have lasted long
    // enough, and counts the others as left out. The filter is spent afterwards.
    void finish(std::vector<Event>& kept);

    const LeftOut& left_out() const { return left_out_; }
    const SliceLimits& limits() const { return limits_; }

  private:
    // Where the payload slots after a mark go: after its header, with it.
    enum class Payload : uint8_t { WRITE, LEAVE_OUT, WAIT };

    struct ThreadState {
        uint32_t depth = 0;  // open frames, the ones left out included
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
    std::unordered_map<uint32_t, ThreadState> threads_;
    uint32_t last_tid_ = 0;
    ThreadState* last_ = nullptr;
    uint64_t latest_ = 0;  // the latest timestamp seen, on any thread
    LeftOut left_out_;
};

// A writer behind a SliceFilter. finish() writes the begins the filter still holds, then
// finishes the writer with the filter's counts added to the run's totals.
class FilteringExporter final : public Exporter {
  public:
    FilteringExporter(std::unique_ptr<Exporter> writer, SliceLimits limits)
        : writer_(std::move(writer)), filter_(limits) {}

    Status write_batch(std::span<const Event> events, const CodeLookup& codes,
                       const ThreadNames& names) override;
    Status flush() override { return writer_->flush(); }
    Status finish(const CodeLookup& codes, const ThreadNames& names,
                  const RunTotals& totals) override;

  private:
    std::unique_ptr<Exporter> writer_;
    SliceFilter filter_;
    std::vector<Event> kept_;
};

}  // namespace vespra
