#include "core/open_calls.h"

#include <algorithm>
#include <array>
#include <utility>

namespace vespra {

OpenCalls::Thread& OpenCalls::thread(uint32_t tid) {
    if (last_ == nullptr || last_tid_ != tid) {
        last_ = &threads_[tid];  // unordered_map nodes do not move
        last_tid_ = tid;
    }
    return *last_;
}

void OpenCalls::observe(std::span<const Event> events) {
    for (const Event& e : events) {
        Thread& t = thread(e.tid);
        uint8_t kind = kind_of(e.packed);
        // A payload slot's `ts` holds payload bytes, not a time (a select, not a branch).
        t.last_ts = kind == KIND_PAYLOAD ? t.last_ts : e.ts;
        if (t.depth + 1 >= t.codes.size()) t.codes.resize(t.codes.size() * 2);
        t.codes[t.depth] = e.packed;
        // +1 for a begin; -1 for an end with a call open, 0 for one without, or for a mark.
        t.depth += OPENS_SLICE[kind] - (CLOSES_SLICE[kind] & (t.depth != 0));
    }
}

std::vector<Event> OpenCalls::close_all(uint64_t stop) {
    std::vector<uint32_t> tids;
    for (const auto& [tid, t] : threads_) {
        if (t.depth != 0) tids.push_back(tid);
    }
    std::sort(tids.begin(), tids.end());
    std::vector<Event> ends;
    ends.reserve(open());
    for (uint32_t tid : tids) {
        Thread& t = threads_[tid];
        uint64_t ts = std::max(stop, t.last_ts);
        while (t.depth != 0) {
            uint32_t begin = t.codes[--t.depth];
            uint8_t end = kind_of(begin) == KIND_SPAN_BEGIN ? KIND_SPAN_END : KIND_RETURN;
            ends.emplace_back(ts, tid, pack_word(end, code_of(begin)));
        }
    }
    return ends;
}

size_t OpenCalls::open() const {
    size_t n = 0;
    for (const auto& [tid, t] : threads_) n += t.depth;
    return n;
}

ClosingExporter::ClosingExporter(std::unique_ptr<Exporter> inner,
                                 std::function<uint64_t()> stop_time)
    : inner_(std::move(inner)), stop_time_(std::move(stop_time)) {}

Status ClosingExporter::write_batch(std::span<const Event> events, const CodeLookup& codes,
                                    const ThreadNames& names) {
    open_.observe(events);
    return inner_->write_batch(events, codes, names);
}

Status ClosingExporter::flush() { return inner_->flush(); }

Status ClosingExporter::finish(const CodeLookup& codes, const ThreadNames& names,
                               const RunTotals& totals) {
    std::vector<Event> ends = open_.close_all(stop_time_());
    if (!ends.empty()) {
        if (Status s = inner_->write_batch(ends, codes, names); !s.ok()) return s;
    }
    return inner_->finish(codes, names, totals);
}

}  // namespace vespra
