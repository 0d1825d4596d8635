#include "core/tasks.h"

#include <algorithm>

namespace vespra {

std::span<const Event> TaskTracks::split(std::span<const Event> events, std::vector<Event>& out) {
    if (in_steps_ == 0 && std::none_of(events.begin(), events.end(), [](const Event& e) {
            return kind_of(e.packed) == KIND_TASK;
        })) {
        return events;
    }
    out.clear();
    out.reserve(events.size() + 8);
    const Event* const last = events.data() + events.size();
    for (const Event* at = events.data(); at != last; ++at) {
        const Event& e = *at;
        uint8_t kind = kind_of(e.packed);
        if (kind == KIND_TASK) {
            ThreadState& t = thread(e.tid);
            if (t.trailing) end_step(t, e.tid, out);
            if (t.depth != 0) continue;  // inside a step: only its own frames can follow
            if (!t.pending) ++in_steps_;
            t.pending = true;
            t.task = code_of(e.packed);
            continue;
        }
        if (in_steps_ == 0) {
            out.push_back(e);
            continue;
        }
        ThreadState& t = thread(e.tid);
        if (t.trailing) {
            if (kind == KIND_PAYLOAD) {
                out.emplace_back(e.ts, TASK_TRACK_BIT | t.task, e.packed);
                continue;
            }
            end_step(t, e.tid, out);
        }
        if (!t.pending && t.depth == 0) {
            out.push_back(e);
        } else if (t.depth != 0) {
            at = step_run(t, at, last, out) - 1;
        } else if (OPENS_SLICE[kind]) {
            begin_step(t, e, out);
        } else {
            // A fact is always followed by its begin; anything else means that begin was lost.
            if (kind != KIND_PAYLOAD) {
                t.pending = false;
                --in_steps_;
            }
            out.push_back(e);
        }
    }
    return out;
}

void TaskTracks::begin_step(ThreadState& t, const Event& e, std::vector<Event>& out) {
    const uint32_t track = TASK_TRACK_BIT | t.task;
    auto [life, added] = alive_.try_emplace(t.task, true);
    if (added) {
        if (!std::binary_search(tracks_.begin(), tracks_.end(), track)) {
            tracks_.insert(std::upper_bound(tracks_.begin(), tracks_.end(), track), track);
        }
        out.emplace_back(e.ts, track, pack_word(KIND_START, code_of(e.packed)));
    }
    out.emplace_back(e.ts, e.tid, pack_word(KIND_SPAN_BEGIN, t.task));
    out.emplace_back(e.ts, track, e.packed);
    t.pending = false;
    t.depth = 1;
}

const Event* TaskTracks::step_run(ThreadState& t, const Event* at, const Event* last,
                                  std::vector<Event>& out) {
    // The events of a thread inside a step come in long runs (a step runs until its outermost
    // frame yields): one tight loop moves them, without the checks of the loop above.
    const uint32_t tid = at->tid;
    const uint32_t track = TASK_TRACK_BIT | t.task;
    // Room for the rest of the batch first (Event's constructor leaves it uninitialised), so
    // that the loop stores without a capacity check; what it does not fill is cut off after.
    size_t filled = out.size();
    out.resize(filled + static_cast<size_t>(last - at));
    Event* to = out.data() + filled;
    uint32_t depth = t.depth;
    bool closed = false;
    for (; at != last && at->tid == tid; ++at) {
        uint8_t kind = kind_of(at->packed);
        if (kind == KIND_TASK) [[unlikely]]
            continue;  // inside a step: only its own frames can follow
        *to++ = Event(at->ts, track, at->packed);
        depth += OPENS_SLICE[kind];
        if (CLOSES_SLICE[kind] && --depth == 0) {
            closed = true;
            break;
        }
    }
    out.resize(static_cast<size_t>(to - out.data()));
    t.depth = depth;
    if (!closed) return at;
    close_step(t, *at, out);
    return at + 1;
}

void TaskTracks::close_step(ThreadState& t, const Event& e, std::vector<Event>& out) {
    uint8_t kind = kind_of(e.packed);
    // The outermost frame ended: the step is over, and with a return or a raise the task too.
    t.end_ts = e.ts;
    // The task's life ends plainly: the step's own end carries the payload.
    t.end_word = kind == KIND_EXCEPTION_END  ? pack_word(KIND_UNWIND, code_of(e.packed))
                 : kind == KIND_RETURN_VALUE ? pack_word(KIND_RETURN, code_of(e.packed))
                                             : e.packed;
    // An exception's end and a return with its value carry their payload slots after them,
    // which go to the track too: the step ends at the thread's next other event.
    if (kind == KIND_EXCEPTION_END || kind == KIND_RETURN_VALUE) {
        t.trailing = true;
        return;
    }
    end_step(t, e.tid, out);
}

void TaskTracks::end_step(ThreadState& t, uint32_t tid, std::vector<Event>& out) {
    if (kind_of(t.end_word) != KIND_YIELD) {
        out.emplace_back(t.end_ts, TASK_TRACK_BIT | t.task, t.end_word);
        alive_.erase(t.task);
    }
    out.emplace_back(t.end_ts, tid, pack_word(KIND_SPAN_END, t.task));
    t.trailing = false;
    --in_steps_;
}

std::optional<std::string> TaskTrackNames::name(uint32_t tid) const {
    if (!is_task_track(tid)) return threads_.name(tid);
    std::optional<CodeInfo> info = codes_.code(tid & ~TASK_TRACK_BIT);
    if (!info) return std::nullopt;
    return std::move(info->name);
}

std::vector<std::pair<uint32_t, std::string>> TaskTrackNames::snapshot() const {
    std::vector<std::pair<uint32_t, std::string>> all = threads_.snapshot();
    for (uint32_t track : tracks_) {
        if (std::optional<std::string> n = name(track)) all.emplace_back(track, std::move(*n));
    }
    return all;
}

}  // namespace vespra
