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
    : limits_(limits),
      depth_limit_(depth_limit(limits.max_depth)),
      walk_limit_(std::min(depth_limit_, SliceLimits::VIEWER_DEPTH)) {}

void SliceFilter::note_depth(uint32_t depth) {
    if (depth > SliceLimits::VIEWER_DEPTH) {
        deepest_past_viewers_ = std::max(deepest_past_viewers_, depth);
    }
}

void SliceFilter::push_code(ThreadState& t, uint32_t word) {
    if (t.depth >= t.codes.size()) t.codes.resize(2 * size_t{t.depth});
    t.codes[t.depth - 1] = word;
}

bool SliceFilter::keep_within_depth(ThreadState& t, const Event& e) {
    uint8_t kind = kind_of(e.packed);
    if (kind == KIND_PAYLOAD) return t.payload == Payload::WRITE;
    t.last_ts = e.ts;
    bool keep = true;
    if (CLOSES_SLICE[kind]) {
        // An end with nothing open: its begin came before the run, there is nothing to pair.
        keep = t.depth == 0 || t.depth-- <= depth_limit_;
    } else if (OPENS_SLICE[kind]) {
        keep = ++t.depth <= depth_limit_;
        if (keep) push_code(t, e.packed);
        if (keep) note_depth(t.depth);
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
    t.last_ts = e.ts;
    // Every event says that the frames open on its thread have lasted until it, the ones
    // beyond the depth limit included.
    release_until(t, e.ts, kept);
    if (OPENS_SLICE[kind]) {
        if (++t.depth > depth_limit_) {
            ++left_out_.max_depth;
            t.payload = Payload::LEAVE_OUT;
            return;
        }
        push_code(t, e.packed);
        note_depth(t.depth);
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
    // each only writes its word at codes[depth] and adds how its kind moves the depth, with no
    // compare; an event at the edge takes the checked step. The walk stops at the first event
    // left out, or the first to lie deeper than viewers keep (the checked steps note its depth).
    // Everything it passes is written, the payload slots of the last mark included.
    const size_t n = events.size();
    size_t i = 0;
    while (i < n) {
        const uint32_t tid = events[i].tid;
        ThreadState& t = thread(tid);
        // The payload of a mark left out at the end of the previous batch (the recording side
        // never splits them, but nothing here relies on it) takes the checked steps.
        if (t.payload != Payload::WRITE && kind_of(events[i].packed) == KIND_PAYLOAD) return i;
        const size_t first = i;
        uint32_t depth = t.depth;
        bool left_out = false;
        while (i < n && events[i].tid == tid) {
            // Beyond the limit the checked step leaves the event out before it writes a word.
            size_t room = 0;
            if (depth <= walk_limit_) {
                if (depth + size_t{1} >= t.codes.size()) t.codes.resize(2 * (depth + size_t{1}));
                room = std::min(
                    {size_t{depth}, size_t{walk_limit_ - depth}, t.codes.size() - 1 - depth});
            }
            uint32_t* codes = t.codes.data();
            if (room > 0) {
                const size_t stop = std::min(n, i + room);
                for (; i < stop && events[i].tid == tid; ++i) {
                    const uint32_t word = events[i].packed;
                    codes[depth] = word;
                    depth += static_cast<uint32_t>(DEPTH_STEP[kind_of(word)]);
                }
                continue;
            }
            // An end with nothing open stays at 0: its begin came before the run.
            const uint32_t word = events[i].packed;
            const uint8_t kind = kind_of(word);
            uint32_t next = depth + OPENS_SLICE[kind] - (CLOSES_SLICE[kind] & (depth != 0));
            if (std::max(depth, next) > walk_limit_) {
                left_out = true;
                break;
            }
            codes[depth] = word;
            depth = next;
            ++i;
        }
        t.depth = depth;
        t.payload = Payload::WRITE;
        // The run's last event that is not a payload slot is the thread's latest.
        for (size_t j = i; j > first;) {
            if (kind_of(events[--j].packed) != KIND_PAYLOAD) {
                t.last_ts = events[j].ts;
                break;
            }
        }
        if (left_out) return i;
    }
    return n;
}

void SliceFilter::close_all(uint64_t stop, std::vector<Event>& kept) {
    std::vector<uint32_t> tids;
    for (const auto& [tid, t] : threads_) {
        if (t.depth != 0) tids.push_back(tid);
    }
    std::sort(tids.begin(), tids.end());
    for (uint32_t tid : tids) {
        ThreadState& t = threads_.find(tid)->second;
        const uint64_t ts = std::max(stop, t.last_ts);
        while (t.depth != 0) {
            // A frame beyond the limit kept no word: its end is left out whatever its kind.
            uint32_t begin = t.depth <= depth_limit_ ? t.codes[t.depth - 1] : 0;
            uint8_t kind = kind_of(begin) == KIND_SPAN_BEGIN ? KIND_SPAN_END : KIND_RETURN;
            Event end(ts, tid, pack_word(kind, code_of(begin)));
            if (limits_.min_duration != 0) {
                step(t, end, kept);
            } else if (keep_within_depth(t, end)) {
                kept.push_back(end);
            }
        }
    }
}

size_t SliceFilter::open() const {
    size_t n = 0;
    for (const auto& [tid, t] : threads_) n += t.depth;
    return n;
}

Status FilteringExporter::write_batch(std::span<const Event> events, const CodeLookup& codes,
                                      const ThreadNames& names) {
    std::span<const Event> kept = filter_.filter(tasks_.split(events, split_), kept_);
    if (kept.empty()) return Status::success();
    return writer_->write_batch(kept, codes, TaskTrackNames(names, codes, tasks_.tracks()));
}

Status FilteringExporter::finish(const CodeLookup& codes, const ThreadNames& names,
                                 const RunTotals& totals) {
    kept_.clear();
    filter_.close_all(stop_time_(), kept_);
    TaskTrackNames task_names(names, codes, tasks_.tracks());
    if (!kept_.empty()) {
        if (Status st = writer_->write_batch(kept_, codes, task_names); !st.ok()) return st;
    }
    if (deepest_) *deepest_ = filter_.deepest_past_viewers();
    RunTotals with_filter = totals;
    with_filter.left_out += filter_.left_out();
    return writer_->finish(codes, task_names, with_filter);
}

}  // namespace vespra
