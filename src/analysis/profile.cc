#include "analysis/profile.h"

#include <algorithm>
#include <charconv>

#include "core/event.h"

namespace vespra::analysis {

Process& Profile::process_of(uint32_t pid) {
    auto [it, added] = process_ids_.try_emplace(pid, static_cast<uint32_t>(processes_.size()));
    if (added) processes_.push_back(Process{pid, {}, 0, {}});
    return processes_[it->second];
}

void Profile::process(uint32_t pid, std::string_view name) {
    Process& p = process_of(pid);
    if (!name.empty()) p.name = name;
}

std::string_view Profile::process_name(uint32_t pid) const {
    auto it = process_ids_.find(pid);
    return it == process_ids_.end() ? std::string_view() : processes_[it->second].name;
}

uint32_t Profile::thread(uint32_t pid, uint32_t tid) {
    process_of(pid);
    Thread t;
    t.pid = pid;
    t.tid = tid;
    if (keep_stacks_) {
        t.root = static_cast<uint32_t>(nodes_.size());
        nodes_.push_back(StackNode{NO_FUNCTION, NO_FUNCTION});
    }
    threads_.push_back(std::move(t));
    open_.emplace_back();
    return static_cast<uint32_t>(threads_.size() - 1);
}

void Profile::thread_name(uint32_t thread, std::string_view name) { threads_[thread].name = name; }

uint32_t Profile::function(std::string_view name, std::string_view file, uint32_t line) {
    key_.assign(name);
    key_.push_back('\0');
    key_.append(file);
    key_.push_back('\0');
    char digits[16];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, line);
    key_.append(digits, end);
    auto [it, added] = function_ids_.try_emplace(key_, static_cast<uint32_t>(functions_.size()));
    if (added) functions_.push_back(Function{std::string(name), std::string(file), line});
    return it->second;
}

uint32_t Profile::span(std::string_view name) {
    // No function has an empty file and the line "span": the key cannot meet a function's.
    key_.assign(name);
    key_.append(std::string_view("\0\0span", 6));
    auto [it, added] = function_ids_.try_emplace(key_, static_cast<uint32_t>(functions_.size()));
    if (added) functions_.push_back(Function{std::string(name), {}, 0, true});
    return it->second;
}

void Profile::counter(uint32_t pid, std::string_view name, double value, uint64_t ts) {
    process_of(pid);
    key_.assign(std::to_string(pid));
    key_.push_back('\0');
    key_.append(name);
    auto [it, added] = counter_ids_.try_emplace(key_, static_cast<uint32_t>(counters_.size()));
    if (added) counters_.push_back(Counter{pid, std::string(name), 0, value, value, value, ts});
    Counter& c = counters_[it->second];
    ++c.count;
    c.min = std::min(c.min, value);
    c.max = std::max(c.max, value);
    if (ts >= c.last_ts) {
        c.last = value;
        c.last_ts = ts;
    }
}

uint32_t Profile::child_node(uint32_t parent, uint32_t function) {
    uint64_t key = (uint64_t{parent} << 32) | function;
    auto [it, added] = node_ids_.try_emplace(key, static_cast<uint32_t>(nodes_.size()));
    if (added) nodes_.push_back(StackNode{function, parent});
    return it->second;
}

Thread& Profile::touch(uint32_t thread, uint64_t& ts) {
    Thread& t = threads_[thread];
    ++events_;
    ++t.events;
    if (t.events > 1) ts = std::max(ts, t.last_ts);  // see "Time never runs backwards"
    t.first_ts = std::min(t.first_ts, ts);
    t.last_ts = ts;
    return t;
}

void Profile::begin(uint32_t thread, uint32_t function, uint64_t ts) {
    Thread& t = touch(thread, ts);
    Open& o = open_[thread];
    Entry& e = o.entries[function];
    if (o.stack.empty() && is_task_track(t.tid)) {
        // A task's life: the steps inside it are the stack tree's roots (see profile.h).
        o.stack.push_back(Frame{function, t.root, ts, 0, &e, true});
        return;
    }
    // A step resumes the frames its task's last step suspended, outermost first, before it
    // runs anything else: those begins continue their calls (see profile.h).
    bool resumed = false;
    if (!o.stack.empty() && o.stack.front().life) {
        size_t at = o.stack.size() - 1;  // position in the step, its outermost frame at 0
        if (at == 0) {
            // The task's coroutine: its life slice is its call.
            ++o.stack.back().steps;
            resumed = true;
        } else {
            resumed = o.resuming && at < o.suspended.size() && o.suspended[at] == function;
        }
        o.resuming = resumed;
        o.closing.clear();
    }
    ++e.open;
    uint32_t node = 0;
    if (keep_stacks_) node = child_node(o.stack.empty() ? t.root : o.stack.back().node, function);
    o.stack.push_back(Frame{function, node, ts, 0, &e});
    o.stack.back().resumed = resumed;
}

void Profile::end(uint32_t thread, uint64_t ts) {
    Thread& t = touch(thread, ts);
    if (open_[thread].stack.empty()) {
        ++t.unmatched_ends;
        return;
    }
    close(thread, ts, false);
}

void Profile::close(uint32_t thread, uint64_t ts, bool cut) {
    Open& o = open_[thread];
    Frame f = o.stack.back();
    o.stack.pop_back();
    uint64_t dur = ts - f.start;
    Stats& s = f.entry->stats;
    if (f.life) {
        ++s.calls;
        TaskStats& task = threads_[thread].tasks[f.function];
        ++task.tasks;
        task.running += f.child;
        task.wall += dur;
        task.waits += f.steps > 0 ? f.steps - 1 : 0;
        return;
    }
    uint64_t self = dur - f.child;
    if (!f.resumed) ++s.calls;
    s.cut += cut;
    if (!o.stack.empty() && o.stack.front().life) {
        // The frames a step's last run of ends closes are the ones it suspended, innermost
        // first; a frame that returned just before them is told apart at the next step, which
        // does not resume it.
        o.resuming = false;
        o.closing.push_back(f.function);
        if (o.stack.size() == 1) o.suspended.assign(o.closing.rbegin(), o.closing.rend());
    }
    s.self += self;
    if (--f.entry->open == 0) s.total += dur;
    s.max = std::max(s.max, dur);
    if (!o.stack.empty()) o.stack.back().child += dur;
    if (keep_stacks_) {
        StackNode& n = nodes_[f.node];
        n.total += dur;
        n.self += self;
        ++n.calls;
    }
}

void Profile::dropped(uint32_t pid, uint64_t count) { process_of(pid).dropped += count; }

void Profile::cut_short(uint32_t pid) { process_of(pid).cut_short = true; }

void Profile::left_out(uint32_t pid, std::string_view reason, uint64_t count) {
    auto& by_reason = process_of(pid).left_out;
    auto it = std::find_if(by_reason.begin(), by_reason.end(),
                           [&](const auto& r) { return r.first == reason; });
    if (it == by_reason.end()) {
        by_reason.emplace_back(reason, count);
    } else {
        it->second += count;
    }
}

void Profile::finish() {
    for (size_t i = 0; i < threads_.size(); ++i) {
        Thread& t = threads_[i];
        Open& o = open_[i];
        for (const Frame& f : o.stack) t.unfinished.push_back(f.function);
        while (!o.stack.empty()) close(static_cast<uint32_t>(i), t.last_ts, true);
        for (auto& [function, entry] : o.entries) {
            if (entry.stats.calls > 0) t.stats.emplace(function, entry.stats);
        }
        o = Open();
    }
}

std::vector<std::vector<uint32_t>> Profile::children() const {
    std::vector<std::vector<uint32_t>> out(nodes_.size());
    for (uint32_t i = 0; i < nodes_.size(); ++i) {
        if (nodes_[i].parent != NO_FUNCTION) out[nodes_[i].parent].push_back(i);
    }
    return out;
}

}  // namespace vespra::analysis
