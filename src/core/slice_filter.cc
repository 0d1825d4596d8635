#include "core/slice_filter.h"

#include <algorithm>
#include <array>
#include <limits>

namespace vespra {

namespace {

// No limit is a limit no stack reaches: the depth compare stays the only test.
uint32_t depth_limit(uint32_t max_depth) {
    return max_depth == 0 ? std::numeric_limits<uint32_t>::max() : max_depth;
}

// Per kind, how much it moves its thread's depth: one table read per event on the common path.
constexpr auto DEPTH_STEP = [] {
    std::array<int8_t, 256> step{};
    for (size_t k = 0; k < step.size(); ++k) step[k] = int8_t(OPENS_SLICE[k] - CLOSES_SLICE[k]);
    return step;
}();

}  // namespace

SliceFilter::SliceFilter(SliceLimits limits)
    : limits_(limits), depth_limit_(depth_limit(limits.max_depth)) {}

bool SliceFilter::keep_within_depth(ThreadState& t, const Event& e) {
    uint8_t kind = kind_of(e.packed);
    if (kind == KIND_PAYLOAD) return t.payload == Payload::WRITE;
    bool keep = true;
    if (CLOSES_SLICE[kind]) {
        // An end with nothing open: its begin came before the run, there is nothing to pair.
        keep = t.depth == 0 || t.depth-- <= depth_limit_;
    } else if (OPENS_SLICE[kind]) {
        keep = ++t.depth <= depth_limit_;
    }
    if (!keep) ++left_out_.max_depth;
    t.payload = keep ? Payload::WRITE : Payload::LEAVE_OUT;
    return keep;
}

void SliceFilter::release(const ThreadState& t, size_t frame, std::vector<Event>& kept) const {
    size_t from = t.starts[frame];
    size_t to = frame + 1 < t.starts.size() ? t.starts[frame + 1] : t.pending.size();
    kept.insert(kept.end(), t.pending.begin() + static_cast<ptrdiff_t>(from),
                t.pending.begin() + static_cast<ptrdiff_t>(to));
}

void SliceFilter::release_until(ThreadState& t, uint64_t now, std::vector<Event>& kept) {
    // Outermost first: an outer frame began no later, so it has lasted at least as long.
    while (t.written < t.starts.size()) {
        const Event& begin = t.pending[t.starts[t.written]];
        if (now < begin.ts || now - begin.ts < limits_.min_duration) return;
        release(t, t.written++, kept);
    }
}

void SliceFilter::release_all(ThreadState& t, std::vector<Event>& kept) {
    while (t.written < t.starts.size()) release(t, t.written++, kept);
}

void SliceFilter::step(ThreadState& t, const Event& e, std::vector<Event>& kept) {
    const uint8_t kind = kind_of(e.packed);
    if (kind == KIND_PAYLOAD) {  // its `ts` holds payload bytes, not a time
        if (t.payload == Payload::WRITE) kept.push_back(e);
        if (t.payload == Payload::WAIT) t.pending.push_back(e);
        return;
    }
    if (e.ts > latest_) latest_ = e.ts;
    // Every event says that the frames open on its thread have lasted until it, the ones
    // beyond the depth limit included.
    release_until(t, e.ts, kept);
    if (OPENS_SLICE[kind]) {
        if (++t.depth > depth_limit_) {
            ++left_out_.max_depth;
            t.payload = Payload::LEAVE_OUT;
            return;
        }
        t.starts.push_back(static_cast<uint32_t>(t.pending.size()));
        t.pending.push_back(e);
        t.payload = Payload::WAIT;
        return;
    }
    if (!CLOSES_SLICE[kind] || t.depth == 0) {
        // An instant or a counter sample, kept with the slices it is in; or an end whose begin
        // came before the run.
        if (!CLOSES_SLICE[kind]) release_all(t, kept);
        kept.push_back(e);
        t.payload = Payload::WRITE;
        return;
    }
    if (t.depth-- > depth_limit_) {
        ++left_out_.max_depth;
        t.payload = Payload::LEAVE_OUT;
        return;
    }
    t.pending.resize(t.starts.back());
    t.starts.pop_back();
    if (t.written > t.starts.size()) {
        t.written = t.starts.size();
        kept.push_back(e);
        t.payload = Payload::WRITE;
    } else {
        left_out_.min_duration += 2;  // its begin and its end; what it held is counted already
        t.payload = Payload::LEAVE_OUT;
    }
}

std::span<const Event> SliceFilter::filter(std::span<const Event> events,
                                           std::vector<Event>& kept) {
    if (limits_.min_duration != 0) {
        kept.clear();
        for (const Event& e : events) step(thread(e.tid), e, kept);
        return kept;
    }
    size_t i = pass_within_depth(events);
    if (i == events.size()) return events;
    // From the first event left out on, the kept ones are copied.
    kept.assign(events.begin(), events.begin() + static_cast<ptrdiff_t>(i));
    for (; i < events.size(); ++i) {
        if (keep_within_depth(thread(events[i].tid), events[i])) kept.push_back(events[i]);
    }
    return kept;
}

size_t SliceFilter::pass_within_depth(std::span<const Event> events) {
    // A batch comes in runs of one thread's events. At depth d (within the limit) the next
    // min(d, limit - d) events can neither pass the limit nor end a frame with nothing open, so
    // they are only counted, with no compare and no chain from one event's depth to the next;
    // an event at the edge takes the checked step. The walk stops at the first event left out.
    // Everything it passes is written, the payload slots of the last mark included.
    const size_t n = events.size();
    size_t i = 0;
    while (i < n) {
        const uint32_t tid = events[i].tid;
        ThreadState& t = thread(tid);
        // The payload of a mark left out at the end of the previous batch (the recording side
        // never splits them, but nothing here relies on it) takes the checked steps.
        if (t.payload != Payload::WRITE && kind_of(events[i].packed) == KIND_PAYLOAD) return i;
        uint32_t depth = t.depth;
        while (i < n && events[i].tid == tid) {
            size_t room = depth <= depth_limit_ ? std::min(depth, depth_limit_ - depth) : 0;
            if (room > 0) {
                size_t stop = std::min(n, i + room), j = i;
                int32_t moved = 0;
                for (; j < stop && events[j].tid == tid; ++j)
                    moved += DEPTH_STEP[kind_of(events[j].packed)];
                depth = static_cast<uint32_t>(static_cast<int32_t>(depth) + moved);
                i = j;
                continue;
            }
            // An end with nothing open stays at 0: its begin came before the run.
            uint8_t kind = kind_of(events[i].packed);
            uint32_t next = depth + OPENS_SLICE[kind] - (CLOSES_SLICE[kind] & (depth != 0));
            if (std::max(depth, next) > depth_limit_) {
                t.depth = depth;
                t.payload = Payload::WRITE;
                return i;
            }
            depth = next;
            ++i;
        }
        t.depth = depth;
        t.payload = Payload::WRITE;
    }
    return n;
}

void SliceFilter::finish(std::vector<Event>& kept) {
    if (limits_.min_duration == 0) return;
    // The run stopped after its latest event: a frame open then had lasted at least until it.
    for (auto& [tid, t] : threads_) {
        release_until(t, latest_, kept);
        left_out_.min_duration += t.starts.size() - t.written;
        t.pending.clear();
        t.starts.clear();
        t.written = 0;
    }
}

Status FilteringExporter::write_batch(std::span<const Event> events, const CodeLookup& codes,
                                      const ThreadNames& names) {
    std::span<const Event> kept = filter_.filter(events, kept_);
    if (kept.empty()) return Status::success();
    return writer_->write_batch(kept, codes, names);
}

Status FilteringExporter::finish(const CodeLookup& codes, const ThreadNames& names,
                                 const RunTotals& totals) {
    kept_.clear();
    filter_.finish(kept_);
    if (!kept_.empty()) {
        if (Status st = writer_->write_batch(kept_, codes, names); !st.ok()) return st;
    }
    RunTotals with_filter = totals;
    with_filter.left_out += filter_.left_out();
    return writer_->finish(codes, names, with_filter);
}

}  // namespace vespra
