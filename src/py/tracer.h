// The Tracer object: construction checks the arguments; entering starts a run (output file and
// writer, event queue, exporter thread, registration with sys.monitoring); leaving stops it in a
// fixed order and raises the first failure. Also the process-wide slot ACTIVE, naming the tracer
// installed last, which the fork hooks and the stop at interpreter exit act on.
//
// Where each part lives: tracer.cc the lifecycle of a run (start, install, stop, the stop at
// exit), tracer_type.cc the Python class, fork_hooks.cc the fork hooks, child_exit.cc the guards
// of a child's exits (os._exit, SIGTERM), start_lock.h the lock that serialises them all.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "core/clock.h"
#include "core/evqueue.h"
#include "core/io_error.h"
#include "core/parts.h"
#include "core/ring.h"
#include "core/slice_filter.h"
#include "py/filter.h"
#include "py/format.h"
#include "py/ft_lock.h"
#include "py/host.h"
#include "py/intern.h"
#include "py/monitoring.h"
#include "py/values.h"

namespace vespra {

// What the exporter thread leaves behind: its result, or none when it ended by an exception;
// and, after a pause, the writer for the next exporter thread of the run.
struct ExporterOutcome {
    std::optional<Status> status;
    std::unique_ptr<Exporter> writer;  // the thread's while it runs
    // How deep the written slices went beyond what viewers keep (FilteringExporter), once the
    // writer has finished.
    std::shared_ptr<uint32_t> deepest_past_viewers = std::make_shared<uint32_t>(0);
};

// A started run. Releasing it only releases what it references: the callbacks stay registered,
// the queue stays open and the exporter thread (detached) keeps waiting. Only the stop sequence
// unregisters, closes and joins. Released on a thread attached to the interpreter.
struct Running {
    std::optional<monitoring::MonitoringHandle> monitoring;  // empty while suspended for a fork
    std::shared_ptr<EventQueue> queue;
    std::shared_ptr<State> state;
    std::thread exporter;
    std::shared_ptr<ExporterOutcome> outcome;  // complete once `exporter` has been joined
    // The part the writer fills, joined into the output by the stop once the writer is done;
    // none for an output that takes no parts.
    parts::OwnPart part;
    // A flight ring run's ring and dumps, kept by its exporter thread; null for a run that
    // writes as it records.
    std::shared_ptr<RingKeeper> ring;

    Running() = default;
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
    ~Running() {
        // Parked, nothing may resume it any more.
        Running* self = this;
        if (state) state->parked.compare_exchange_strong(self, nullptr);
        if (exporter.joinable()) exporter.detach();
    }
};

struct TracerData {
    host::Ref filename;       // the path exactly as given (str, bytes or os.PathLike), for errors
    host::Ref output;         // the same as a str (os.fsdecode); exported made absolute
    std::string output_path;  // the same, as the file system's bytes (os.fsencode)
    Format format;
    DetachedMutex run_lock;            // guards `running`; plain, not reentrant
    std::unique_ptr<Running> running;  // empty while idle
    // The time base of the file the runs write, on CLOCK_MONOTONIC: taken by the run that
    // creates the file, received by a child that joins it after an exec, inherited by a forked
    // child. Guarded by the start lock.
    std::optional<uint64_t> trace_origin;
    // Set by the `vespra` command before it enters the tracer: the frames of its own that are
    // open on its thread (see State). A forked child's thread keeps both.
    unsigned long launcher_thread = 0;
    size_t launcher_frames = 0;
    // A thread whose ring is full waits for room instead of dropping a batch.
    bool lossless = false;
    // The counter the runs read (VESPRA_CLOCK at the enter); a forked child's run reads the same.
    ClockSource clock_source = ClockSource::automatic;
    // Events the last run lost (Tracer.dropped); none before the first stop.
    std::optional<uint64_t> dropped;
    // Set by the `vespra` command, which tells of lost events in its own closing line: the stop
    // then issues no warning about them.
    bool reports_drops = false;
    // The name the program gave the process (a str), or none for the default (process_names.h).
    host::Ref process_name;
    // Each garbage collection becomes a slice (the collector's callbacks, see marks.h).
    bool gc = false;
    // What the runs leave out of the trace: slices deeper than a limit or shorter than a
    // minimum. Children of every kind inherit them.
    SliceLimits limits;
    // What the runs record: the filter's options as given, the filter the enter made of them
    // (with the interpreter's directories; a forked child's run keeps it), and C calls.
    FilterOptions filter_options;
    std::shared_ptr<const Filter> filter;
    bool c_calls = false;
    // The deepest slice the last run wrote, when deeper than viewers keep (see SliceLimits);
    // else 0.
    uint32_t deepest_past_viewers = 0;
    // With a size (bytes): the runs keep their newest events in a flight ring of that size and
    // write them only when asked, and at the stop (core/ring.h). Children inherit it.
    uint64_t ring = 0;
    // Each exception raised is an instant, and the slices it unwinds carry its type. Children
    // inherit it.
    bool exceptions = false;
    // Whose calls record their arguments and return values: the options as given, and as the
    // enter resolved them (relative path patterns made absolute; null when there are none).
    // Children inherit them.
    values::ValueOptions value_options;
    std::shared_ptr<const values::ValueOptions> values;
};

// The smallest ring: a few batches of each of a few threads.
inline constexpr uint64_t MIN_RING_BYTES = 64000;

struct TracerObject {
    PyObject ob_base;
    TracerData data;
};

namespace tracer {

// The clock source the environment asks for (VESPRA_CLOCK: auto, tsc or monotonic; unset or
// empty is auto). Nothing, with ValueError set, for any other value. Attached.
std::optional<ClockSource> clock_source_from_environment();

// ACTIVE and its lock. Holds a strong reference. When both ACTIVE's lock and a tracer's run lock
// are held, ACTIVE's is taken first (and the start lock of start_lock.h before either).
extern DetachedMutex ACTIVE_LOCK;
extern PyObject* ACTIVE;

inline TracerObject* as_tracer(PyObject* self) { return reinterpret_cast<TracerObject*>(self); }

// Adds the class `Tracer` to the module. 0, or -1 with an exception set.
int add_tracer_type(PyObject* module);

// __enter__, and _enter_as_child for a process that exec'd out of a traced one: the tool slot
// check, then start and install under the start lock. A child given its parent's
// `trace_origin` stamps its events on the parent's time base. A new reference to the tracer, or
// null with an exception set.
PyObject* enter(TracerObject* self, bool as_child,
                std::optional<uint64_t> trace_origin = std::nullopt);

// The clock of a new run of `data`, with the start lock held: a child run keeps the trace's time
// base when it knows one; a first run takes it.
Clock run_clock(TracerData& data, bool as_child);

// Starts a run: queue with `clock`, State, output and writer, exporter thread, registration.
// Attached. Null with an exception set on failure (nothing left running).
std::unique_ptr<Running> start(TracerObject* self, uint32_t sequence_base, bool as_child,
                               const Clock& clock);

// The fork hooks park a run's export threads (the exporter and its serializer) before a fork:
// the interpreter warns about a fork in a process that has other threads, and counts them after
// the hooks of the parent, so ours must not be there then. Parking writes everything recorded so
// far and joins both threads. The run is resumed by the first of: a recording thread starting
// its next batch (resume_parked_export), the stop sequence (resume_export). All are called
// attached; park and the stop's resume only once the run's callbacks are unregistered, which
// waits for every callback in progress, so none of them runs at the same time as another.
void park_export(Running& run);
// Spawns the exporter thread of a parked run. False when it cannot be created (the run stays
// parked, `error` tells why).
bool resume_export(Running& run, std::string* error);
// From a recording callback: resumes the run parked in `state`, if any. Never raises.
void resume_parked_export(State& state) noexcept;

// Puts the run into the tracer's slot and the tracer into ACTIVE. Returns a new reference to
// the tracer.
PyObject* install(TracerObject* self, std::unique_ptr<Running> run);

// The stop sequence. Returns a new reference to False, or null with an exception set.
PyObject* stop(TracerObject* self);

// Stops the run of the tracer in ACTIVE, if it has one. None, or null with an exception set.
// A `dying` process (SIGTERM) keeps its environment and gives the callbacks a bounded time to
// leave, so that the stop runs no Python code and cannot wait on a thread the signal stopped.
PyObject* stop_active(bool dying);

// Adds the fork hooks _before_fork, _after_fork_in_parent and _after_fork_in_child to the
// module. Across a fork they suspend the callbacks of the run in ACTIVE in the parent, and in
// the child abandon the inherited run and start one of its own that appends to the same file.
// 0, or -1 with an exception set.
int add_fork_hooks(PyObject* module);

// Registers the module's fork hooks with os.register_at_fork: tried once per process, whatever
// the outcome (a forked child inherits the registration and the flag). Called when the module
// is loaded, before any tracer can exist: registered by the first start instead, a fork on
// another thread in the middle of that start would run no hook before it and leave the child
// waiting for the start lock forever. False with an exception set.
bool register_fork_hooks(PyObject* module);

}  // namespace tracer
}  // namespace vespra
