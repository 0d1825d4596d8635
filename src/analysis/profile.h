// Profile: rebuilds each thread's call stack from a trace's begin and end events and keeps, per
// thread and function, the calls, inclusive (total) and exclusive (self) time and the longest
// call; optionally also the tree of distinct call stacks with their times, for flame graphs.
//
// Rules, all in integer nanoseconds:
// - A slice is one begin and the end that closes it: a call, or one stretch of a generator or
//   coroutine between a (re)start and its next yield (the time it spends suspended is not its
//   own, and each resumption counts as a call).
// - total: the slice's length; self: total less the totals of the slices directly inside it.
//   So self + the children's totals = total, exactly.
// - Recursion: a function's total counts only its outermost slices on the thread, so time is
//   not counted once per level; self and calls count every slice.
// - asyncio tasks (the tracks whose thread id has TASK_TRACK_BIT): a task's track holds one
//   slice of its coroutine for its whole life with its steps inside. That life slice is the
//   coroutine's call: it counts once in `calls` and in TaskStats (its length is the wall time),
//   but its time is no slice's own: the steps are, so total and self count running time, the
//   stack tree starts at the steps (a flame graph shows where the task ran, not its waits), and
//   the steps are not calls. Each step after a task's first follows a wait. The same holds for
//   the coroutines a task awaits: a step's first begins that repeat, level by level, the frames
//   its last step's final run of ends closed are resumptions, not calls (a coroutine that
//   returned just before the task suspended and is called again, at the same level, right
//   after it resumes would be taken for one).
// - An end on an empty stack (the trace began inside that call) is counted and ignored. A
//   begin never ended (its process died without stopping its run) is counted, and its slice
//   is cut: it ends at the last event of its thread, and counts as a call cut short.
// - Time never runs backwards on a thread: an event stamped before the thread's latest one (a
//   file that two runs wrote into) is taken at the latest one's time. So every slice lies
//   within the slices around it, and a function's self time never exceeds its total.
// Memory: per thread its stack and the functions it ran; the stack tree grows with the number
// of distinct call paths. Nothing grows with the number of events.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/trace_reader.h"

namespace vespra::analysis {

struct Function {
    std::string name;  // qualified name, or the name the program gave a span
    std::string file;  // empty when the trace does not say (protobuf traces) and for spans
    uint32_t line = 0;
    bool span = false;  // a span the traced program marked, not a Python function
};

// The samples of one counter of one process.
struct Counter {
    uint32_t pid = 0;
    std::string name;
    uint64_t count = 0;
    double min = 0;
    double max = 0;
    double last = 0;  // the sample with the latest timestamp (the later in the file on a tie)
    uint64_t last_ts = 0;
};

struct Stats {
    uint64_t calls = 0;
    uint64_t total = 0;  // ns, outermost slices only
    uint64_t self = 0;   // ns
    uint64_t max = 0;    // ns, the longest single slice
    uint64_t cut = 0;    // of the calls, those cut short by the end of the trace

    void add(const Stats& o) {
        calls += o.calls;
        cut += o.cut;
        total += o.total;
        self += o.self;
        if (o.max > max) max = o.max;
    }
};

// The asyncio tasks of one coroutine function on a track (see above).
struct TaskStats {
    uint64_t tasks = 0;    // life slices: calls of the coroutine
    uint64_t running = 0;  // ns of their steps
    uint64_t wall = 0;     // ns from each one's first step to its end
    uint64_t waits = 0;    // steps after the first

    void add(const TaskStats& o) {
        tasks += o.tasks;
        running += o.running;
        wall += o.wall;
        waits += o.waits;
    }
};

struct Process {
    uint32_t pid = 0;
    std::string name;
    uint64_t dropped = 0;  // events the writer recorded as lost
    // Events the tracer's options left out, by option, in the order the trace names them.
    std::vector<std::pair<std::string, uint64_t>> left_out;
    bool cut_short = false;  // it ended without stopping its run (killed)
};

struct Thread {
    uint32_t pid = 0;
    uint32_t tid = 0;
    std::string name;
    uint64_t events = 0;
    uint64_t first_ts = UINT64_MAX;
    uint64_t last_ts = 0;
    uint64_t unmatched_ends = 0;                // ends with nothing open
    std::vector<uint32_t> unfinished;           // functions still open at the end, outermost first
    uint32_t root = 0;                          // this thread's root in the stack tree
    std::unordered_map<uint32_t, Stats> stats;  // by function; filled by finish()
    std::unordered_map<uint32_t, TaskStats> tasks;  // by coroutine, on a task's track
};

// One distinct call path. The root of each thread has function NO_FUNCTION.
struct StackNode {
    uint32_t function;
    uint32_t parent;
    uint64_t total = 0;  // ns of the slices on this path (every level counts: paths differ)
    uint64_t self = 0;
    uint64_t calls = 0;
};

class Profile final : public trace::Visitor {
  public:
    static constexpr uint32_t NO_FUNCTION = UINT32_MAX;

    explicit Profile(bool keep_stacks) : keep_stacks_(keep_stacks) {}

    void process(uint32_t pid, std::string_view name) override;
    uint32_t thread(uint32_t pid, uint32_t tid) override;
    void thread_name(uint32_t thread, std::string_view name) override;
    uint32_t function(std::string_view name, std::string_view file, uint32_t line) override;
    void begin(uint32_t thread, uint32_t function, uint64_t ts) override;
    void end(uint32_t thread, uint64_t ts) override;
    void dropped(uint32_t pid, uint64_t count) override;
    uint32_t span(std::string_view name) override;
    void counter(uint32_t pid, std::string_view name, double value, uint64_t ts) override;
    void left_out(uint32_t pid, std::string_view reason, uint64_t count) override;
    void cut_short(uint32_t pid) override;

    // After the last event: what is still open becomes `unfinished`, and its slices are cut at
    // their thread's last event. Call once.
    void finish();

    const std::vector<Function>& functions() const { return functions_; }
    const std::vector<Thread>& threads() const { return threads_; }
    const std::vector<Process>& processes() const { return processes_; }
    // The name the trace gives process `pid` (its last), empty when it gives none.
    std::string_view process_name(uint32_t pid) const;
    // In order of first sample.
    const std::vector<Counter>& counters() const { return counters_; }
    // Empty unless built with keep_stacks. Children of a node: see children().
    const std::vector<StackNode>& stack_nodes() const { return nodes_; }
    // Children of every node, in the order they were first entered.
    std::vector<std::vector<uint32_t>> children() const;

    uint64_t events() const { return events_; }

  private:
    struct Entry {
        Stats stats;
        uint32_t open = 0;  // slices of the function open on the thread (recursion)
    };
    struct Frame {
        uint32_t function;
        uint32_t node;
        uint64_t start;
        uint64_t child;  // totals of the slices directly inside
        Entry* entry;    // stable: unordered_map nodes do not move
        bool life = false;   // a task's life slice
        uint32_t steps = 0;  // in a life slice: the steps inside
        bool resumed = false;  // a step of a call that an earlier step began
    };
    struct Open {
        std::vector<Frame> stack;
        // On a task's track: the functions the current run of ends closed, innermost first; the
        // frames the last step suspended, outermost first; whether the begins since the step's
        // first are all resumptions of those.
        std::vector<uint32_t> closing;
        std::vector<uint32_t> suspended;
        bool resuming = false;
        std::unordered_map<uint32_t, Entry> entries;  // by function
    };

    Process& process_of(uint32_t pid);
    // Counts an event of `thread` at `ts`, which it moves up to the thread's latest time.
    Thread& touch(uint32_t thread, uint64_t& ts);
    uint32_t child_node(uint32_t parent, uint32_t function);
    // Closes the innermost open slice of `thread` at `ts`, a cut one when `cut`.
    void close(uint32_t thread, uint64_t ts, bool cut);

    bool keep_stacks_;
    std::vector<Function> functions_;
    std::unordered_map<std::string, uint32_t> function_ids_;
    std::vector<Thread> threads_;
    std::vector<Open> open_;  // parallel to threads_
    std::vector<Process> processes_;
    std::unordered_map<uint32_t, uint32_t> process_ids_;  // pid -> index
    std::vector<StackNode> nodes_;
    std::unordered_map<uint64_t, uint32_t> node_ids_;  // parent << 32 | function -> node
    std::string key_;
    uint64_t events_ = 0;
    std::vector<Counter> counters_;
    std::unordered_map<std::string, uint32_t> counter_ids_;  // pid \0 name -> index
};

}  // namespace vespra::analysis
