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

#include "core/evqueue.h"
#include "core/io_error.h"
#include "py/format.h"
#include "py/ft_lock.h"
#include "py/host.h"
#include "py/intern.h"
#include "py/monitoring.h"

namespace vespra {

// What the exporter thread leaves behind: its result, or none when it ended by an exception.
struct ExporterOutcome {
    std::optional<Status> status;
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

    Running() = default;
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
    ~Running() {
        if (exporter.joinable()) exporter.detach();
    }
};

struct TracerData {
    host::Ref output;         // the path exactly as given (a str); exported made absolute
    std::string output_path;  // the same, as the file system's bytes (os.fsencode)
    Format format;
    DetachedMutex run_lock;            // guards `running`; plain, not reentrant
    std::unique_ptr<Running> running;  // empty while idle
    // A thread whose ring is full waits for room instead of dropping a batch.
    bool lossless = false;
};

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
// check, then start and install under the start lock. A new reference to the tracer, or null
// with an exception set.
PyObject* enter(TracerObject* self, bool as_child);

// Starts a run: clock origin, queue, State, output and writer, exporter thread, registration.
// Attached. Null with an exception set on failure (nothing left running).
std::unique_ptr<Running> start(TracerObject* self, uint32_t sequence_base, bool as_child);

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
