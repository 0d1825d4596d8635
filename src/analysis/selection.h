// The part of a trace that `--from`, `--to`, `--process` and `--thread` select, as a layer
// between a reader and what consumes its events: Selector decides which threads are in and
// clips each thread's slices to the time window; SelectingVisitor applies it in front of any
// trace::Visitor (the summary's and the flame graph's profile); `vespra cut` applies it to the
// records it copies.
//
// A thread is in when its process matches `process` (its pid, or any name the trace gives it)
// and it matches `thread` (its tid, or any name it is given). Names can come after a process's
// first events (a worker learns its name after its fork), so a selection of a process or thread
// reads the trace once ahead for the names and ids; a selection of times alone reads it once.
//
// The window: a thread's events before `from` are left out, but the slices they leave open at
// `from` begin there, clipped; at its first event after `to`, the slices still open end at `to`,
// clipped, and the rest of the thread is left out. A kept slice therefore never has a wrong
// duration. Memory is one entry per open slice of each thread.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "analysis/options.h"
#include "core/io_error.h"
#include "core/trace_reader.h"

namespace vespra::analysis {

class Selector {
  public:
    explicit Selector(Selection selection);

    // Reads the trace at `path` for the ids and names of its processes and threads when the
    // selection names any; an error when no thread matches.
    Status resolve(const std::string& path);

    const Selection& selection() const { return select_; }
    bool process_in(uint32_t pid) const;
    bool thread_in(uint32_t pid, uint32_t tid) const;
    bool time_in(uint64_t ts) const {
        return (!select_.from || ts >= *select_.from) && (!select_.to || ts <= *select_.to);
    }

    // One thread's place in the window.
    struct Window {
        enum class State : uint8_t { Before, Inside, After };
        State state = State::Before;
    };
    Window window() const {
        return Window{select_.from ? Window::State::Before : Window::State::Inside};
    }

    // Before an event of the thread at `ts`, with `open` slices open on it (whether or not they
    // were shown): true when the event is inside the window. On the thread's first event at or
    // after `from`, calls begin_at(i, from) for each open slice i, outermost first; on its first
    // event after `to`, end_at(i, to) for each slice still open, innermost first.
    template <class BeginAt, class EndAt>
    bool admit(Window& w, uint64_t ts, uint32_t open, BeginAt begin_at, EndAt end_at) const {
        if (w.state == Window::State::After) return false;
        if (w.state == Window::State::Before) {
            if (ts < *select_.from) return false;
            w.state = Window::State::Inside;
            for (uint32_t i = 0; i < open; ++i) begin_at(i, *select_.from);
        }
        if (select_.to && ts > *select_.to) {
            for (uint32_t i = open; i-- > 0;) end_at(i, *select_.to);
            w.state = Window::State::After;
            return false;
        }
        return true;
    }

  private:
    static uint64_t key(uint32_t pid, uint32_t tid) { return uint64_t{pid} << 32 | tid; }

    Selection select_;
    bool by_thread_ = false;  // resolve() found the threads that are in
    std::unordered_set<uint32_t> pids_;
    std::unordered_set<uint64_t> threads_;
};

// Passes what the selection keeps of a trace on to `next`.
class SelectingVisitor final : public trace::Visitor {
  public:
    SelectingVisitor(const Selector& selector, trace::Visitor& next)
        : selector_(selector), next_(next) {}

    void process(uint32_t pid, std::string_view name) override;
    uint32_t thread(uint32_t pid, uint32_t tid) override;
    void thread_name(uint32_t thread, std::string_view name) override;
    uint32_t function(std::string_view name, std::string_view file, uint32_t line) override {
        return next_.function(name, file, line);
    }
    uint32_t span(std::string_view name) override { return next_.span(name); }
    void begin(uint32_t thread, uint32_t function, uint64_t ts) override;
    void end(uint32_t thread, uint64_t ts) override;
    void dropped(uint32_t pid, uint64_t count) override;
    void counter(uint32_t pid, std::string_view name, double value, uint64_t ts) override;
    void left_out(uint32_t pid, std::string_view reason, uint64_t count) override;
    void cut_short(uint32_t pid) override;

  private:
    struct Thread {
        bool in;
        uint32_t next;  // the next visitor's handle
        Selector::Window window;
        std::vector<uint32_t> open;  // functions of the open slices, outermost first
    };
    // Applies the window to an event of `t`; true when the event goes on.
    bool admit(Thread& t, uint64_t ts);

    const Selector& selector_;
    trace::Visitor& next_;
    std::vector<Thread> threads_;
};

}  // namespace vespra::analysis
