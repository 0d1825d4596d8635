// The Tracer object: construction checks the arguments; entering starts a run (output file and
// writer, event queue, exporter thread, registration with sys.monitoring); leaving stops it in a
// fixed order and raises the first failure. Also the process-wide slot ACTIVE, naming the tracer
// installed last, which the fork hooks and the stop at interpreter exit act on.
//
// Where each part lives: tracer.cc the lifecycle of a run (start, install, stop, the stop at
// exit), running.h the record of a started run, export_threads.h its export threads' start, park
// and resume, environment.h the variables children inherit, tracer_type.cc the Python class,
// fork_hooks.cc the fork hooks, child_exit.cc the guards of a child's exits (os._exit, SIGTERM),
// start_lock.h the lock that serialises them all.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "core/clock.h"
#include "core/code_filter.h"
#include "core/evqueue.h"
#include "core/io_error.h"
#include "core/parts.h"
#include "core/ring.h"
#include "core/slice_filter.h"
#include "py/ft_lock.h"
#include "py/host.h"
#include "py/monitoring.h"
#include "py/output_format.h"
#include "py/running.h"
#include "py/state.h"
#include "py/values.h"

namespace vespra {

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
