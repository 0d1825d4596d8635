// The lifecycle of a run: start, installation in ACTIVE, the stop sequence, and the stop at
// interpreter exit.
#include "py/tracer.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "core/clock.h"
#include "core/tls.h"
#include "py/child_exit.h"
#include "py/dump.h"
#include "py/environment.h"
#include "py/export_threads.h"
#include "py/interpreter_places.h"
#include "py/marks.h"
#include "py/process_names.h"
#include "py/signals.h"
#include "py/start_lock.h"

namespace vespra::tracer {

DetachedMutex ACTIVE_LOCK;
PyObject* ACTIVE = nullptr;

namespace {

using host::boundary;
using host::Ref;
using host::TakenError;

bool STOP_AT_EXIT_REGISTERED = false;  // guarded by START_LOCK

// The reference that ACTIVE gives up is released after the lock: a release can run arbitrary
// Python code (the last reference to a tracer, and through its run to code objects with weak
// reference callbacks), which must not find ACTIVE's lock held.
void set_active(PyObject* tracer) {
    PyObject* previous;
    {
        DetachedLock lock(ACTIVE_LOCK);
        previous = std::exchange(ACTIVE, Py_XNewRef(tracer));
    }
    Py_XDECREF(previous);
}

// Empties ACTIVE if it names `tracer`: a tracer that is left while another runs (one never
// entered, say) must not take the running one's place. True if it did.
bool leave_active(PyObject* tracer) {
    PyObject* previous = nullptr;
    {
        DetachedLock lock(ACTIVE_LOCK);
        if (ACTIVE == tracer) previous = std::exchange(ACTIVE, nullptr);
    }
    Py_XDECREF(previous);
    return previous != nullptr;
}

// A lossless run's recording thread waits for room in its ring detached, so that the world can
// stop meanwhile (a stop's set_events, a fork, a garbage collection on the free-threaded build).
void* detach_waiting_thread() { return PyEval_SaveThread(); }
void attach_waiting_thread(void* state) {
    PyEval_RestoreThread(static_cast<PyThreadState*>(state));
}

// ---- stopping the run of ACTIVE ----------------------------------------------------------------

PyObject* stop_locked(TracerObject* self, StartLock& start_lock, bool idle_is_error, bool dying);

}  // namespace

// Stops the run of the tracer in ACTIVE, if it has one. None, or null with an exception set.
PyObject* stop_active(bool dying) {
    StartLock start_lock;
    if (!start_lock) return nullptr;
    Ref tracer;
    {
        DetachedLock lock(ACTIVE_LOCK);
        tracer = Ref::borrow(ACTIVE);
    }
    if (!tracer) Py_RETURN_NONE;
    Ref result = Ref::steal(stop_locked(as_tracer(tracer.get()), start_lock, false, dying));
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

namespace {

// A program that enters a tracer and never leaves it still gets a complete trace: at exit (after
// the interpreter has joined the threading module's threads) the run of the tracer in ACTIVE is
// stopped like __exit__ would.
PyObject* stop_at_exit(PyObject*, PyObject*) {
    return boundary([] { return stop_active(false); });
}

PyMethodDef STOP_AT_EXIT_DEF = {"_stop_at_exit", stop_at_exit, METH_NOARGS,
                                "Stop the run still active at interpreter exit."};

// Once per process (inherited by forked children). Called holding START_LOCK.
bool register_stop_at_exit() {
    if (STOP_AT_EXIT_REGISTERED) return true;
    Ref atexit = host::import("atexit");
    Ref function = Ref::steal(PyCFunction_New(&STOP_AT_EXIT_DEF, nullptr));
    if (!atexit || !function) return false;
    if (!host::call_method(atexit.get(), "register", {function.get()})) return false;
    STOP_AT_EXIT_REGISTERED = true;
    return true;
}

// Joins the run's part into the output once nothing writes it any more (the exporter thread
// joined, the writer released here if a pause left it): whole when the writer finished, else
// cut at its last complete record. Detached: the copy may take a while.
Status join_part(const TracerData& data, Running& run) {
    if (!run.part) return Status::success();
    bool clean = run.outcome->status && run.outcome->status->ok() && !run.outcome->writer;
    run.outcome->writer.reset();
    Result<parts::JoinReport> joined =
        parts::join(run.part.output(), data.format.parts(), &run.part, clean);
    return joined ? Status::success() : Status(joined.error());
}

// One line on standard error for a dump nobody waits for (a signal's, a slow span's): where it
// went. Written with write(2), from the dump's thread, which runs no Python code.
void announce_dump(const DumpOutcome& outcome) {
    std::string line = "vespra: dump of process " + std::to_string(getpid());
    if (outcome.error.empty()) {
        char figures[128];
        std::snprintf(figures, sizeof figures, " (%llu events, taken in %.1f ms, written in %.0f ms)",
                      static_cast<unsigned long long>(outcome.events),
                      outcome.snapshot_seconds * 1e3, outcome.write_seconds * 1e3);
        line += " written to " + outcome.path + figures + "\n";
    } else {
        line += " failed: " + outcome.path + ": " + outcome.error + "\n";
    }
    (void)!::write(STDERR_FILENO, line.data(), line.size());
}

// The ring of a run of `data`: its dumps go to fresh files of the run's format, named after the
// output; its final window to the output itself, through the run's writer.
std::shared_ptr<RingKeeper> make_ring(const TracerData& data, std::shared_ptr<EventQueue> queue,
                                      uint32_t sequence_base) {
    RingSettings settings;
    settings.bytes = data.ring;
    settings.limits = data.limits;
    settings.output = data.output_path;
    settings.open_dump = [format = data.format, sequence_base](const std::string& path) {
        return format.open_whole(path, sequence_base);
    };
    settings.announce = announce_dump;
    RingKeeper::clear_signal();
    dumps::watch_dump_signal();
    return std::make_shared<RingKeeper>(std::move(settings), std::move(queue));
}

}  // namespace

// Both entries share: the slot check, the start lock, start and install.
PyObject* enter(TracerObject* self, bool as_child, std::optional<uint64_t> trace_origin) {
    StartLock start_lock;
    if (!start_lock) return nullptr;
    // Nothing may happen before this check: a second start while a run holds the tool slot would
    // otherwise truncate the running trace's file and repoint the environment at its own.
    if (!monitoring::check_tool_slot_free()) return nullptr;
    if (!register_stop_at_exit()) return nullptr;
    // Any traced process may leave by os._exit, or be ended by SIGTERM (a pool stops its
    // workers so; timeout, kill and service managers send it to the first process).
    if (!guard_exits()) return nullptr;
    // Named before the run starts, so that its first batch carries the name.
    if (as_child) naming::follow_multiprocessing();
    if (self->data.process_name) {
        naming::name(self->data.process_name.get(), false);
    } else {
        naming::name_by_default();
    }
    // A bad clock variable fails here, before anything is exported to children.
    std::optional<ClockSource> source = environment::clock_source();
    if (!source) return nullptr;
    self->data.clock_source = *source;
    // Relative path patterns are taken from the directory of the enter, and reach children
    // made absolute.
    self->data.filter = std::make_shared<const Filter>(
        self->data.filter_options,
        self->data.filter_options.empty() ? Filter::Places{} : interpreter_places());
    self->data.values =
        self->data.value_options.empty()
            ? nullptr
            : std::make_shared<const values::ValueOptions>(
                  values::resolve(self->data.value_options, interpreter_places()));
    if (as_child) self->data.trace_origin = trace_origin;
    Clock clock = run_clock(self->data, as_child);
    if (!as_child && !environment::export_for_children(self->data, clock.trace_origin()))
        return nullptr;
    uint32_t base = as_child ? static_cast<uint32_t>(getpid()) : 0;
    std::unique_ptr<Running> run = start(self, base, as_child, clock);
    if (!run) {
        // The variables would name a trace nobody writes: a process started later must not try
        // to join it. The start's own error is the one raised.
        if (!as_child) {
            TakenError error = TakenError::take();
            if (!environment::remove_child_variables()) PyErr_Clear();
            error.restore();
        }
        return nullptr;
    }
    return install(self, std::move(run));
}

// A forked child's run reads the clock its parent's run chose, on the same time base.
Clock run_clock(TracerData& data, bool as_child) {
    Clock clock = as_child && data.trace_origin
                      ? Clock::starting_now(*data.trace_origin, data.clock_source)
                      : Clock::starting_now(data.clock_source);
    data.trace_origin = clock.trace_origin();
    return clock;
}

std::unique_ptr<Running> start(TracerObject* self, uint32_t sequence_base, bool as_child,
                               const Clock& clock) {
    std::shared_ptr<EventQueue> queue = EventQueue::create(clock);
    if (self->data.lossless) {
        queue->make_lossless(WaitHooks{detach_waiting_thread, attach_waiting_thread});
    }
    auto state = std::make_shared<State>(queue, *self->data.filter, self->data.c_calls,
                                         self->data.exceptions);
    state->launcher_thread = self->data.launcher_thread;
    state->launcher_frames = self->data.launcher_frames;
    if (self->data.values) state->values = std::make_shared<values::Matcher>(*self->data.values);

    // Detached: opening a FIFO waits until its reader opens it, and the reader may be a thread
    // of this program. The open touches no Python object.
    Result<Format::Opened> opened = [&] {
        host::Detached detached;
        return self->data.format.open(self->data.output_path, sequence_base, as_child);
    }();
    if (!opened) {
        host::raise_io_error(opened.error(), self->data.filename.get());
        return nullptr;
    }

    auto run = std::make_unique<Running>();
    run->queue = queue;
    run->state = state;
    run->outcome = std::make_shared<ExporterOutcome>();
    run->part = std::move(opened.value().part);
    // Calls still running at the stop get their ends there, stamped at the queue's close; they
    // pass through the limits like every other end, so what is written stays paired.
    run->outcome->writer =
        std::make_unique<FilteringExporter>(std::move(opened.value().writer), self->data.limits,
                                            [queue] { return queue->closed_at(); },
                                            run->outcome->deepest_past_viewers);
    if (self->data.ring != 0) {
        run->ring = make_ring(self->data, queue, sequence_base);
        state->ring = run->ring;
    }
    if (std::string error; !export_threads::spawn(*run, &error)) {
        // The part, empty, goes into the output: the trace is not left waiting for it.
        {
            host::Detached detached;
            (void)join_part(self->data, *run);
        }
        PyErr_Format(PyExc_RuntimeError, "spawn exporter: %s", error.c_str());
        return nullptr;
    }

    // Locations that an earlier run (ours or another tool's on this tool id) switched off with
    // DISABLE would stay silent: this run starts with every event on.
    std::optional<monitoring::MonitoringHandle> handle;
    if (monitoring::restart_events()) handle = monitoring::enable(state);
    if (!handle) {
        TakenError error = TakenError::take();
        {
            host::Detached detached;
            queue->close();
            run->exporter.join();
            (void)join_part(self->data, *run);
        }
        error.restore();
        return nullptr;
    }
    run->monitoring = std::move(handle);
    if (self->data.gc && !marks_api::watch_gc(true)) {
        // Stopped as if never started: the stop sequence would look for the run in the tracer.
        TakenError error = TakenError::take();
        bool events_off = false;
        if (!monitoring::disable(*run->monitoring, &events_off)) PyErr_Clear();
        {
            host::Detached detached;
            if (events_off) {
                monitoring::wait_for_cold_paths(*state);
                queue->add_dropped(tls::flush_every_thread());
            }
            queue->close();
            run->exporter.join();
            (void)join_part(self->data, *run);
        }
        error.restore();
        return nullptr;
    }
    return run;
}

PyObject* install(TracerObject* self, std::unique_ptr<Running> run) {
    std::unique_ptr<Running> previous;
    {
        DetachedLock lock(self->data.run_lock);
        previous = std::exchange(self->data.running, std::move(run));
    }
    previous.reset();  // released outside the lock, like every Python-visible release
    set_active(reinterpret_cast<PyObject*>(self));
    return Py_NewRef(reinterpret_cast<PyObject*>(self));
}

PyObject* stop(TracerObject* self) {
    StartLock start_lock;
    if (!start_lock) return nullptr;
    return stop_locked(self, start_lock, true, false);
}

namespace {

// The stop of a process that is dying of SIGTERM waits a bounded time for the callbacks in
// their cold path: one of them may be on a thread that the signal stopped for good (inside
// Python code that waits for something the process will never do again). When the wait runs
// out the threads' partial batches are left unflushed, lost, rather than flushed under a thread
// that may still be appending to one.
bool cold_paths_done(const State& state, bool dying) {
    if (!dying) {
        monitoring::wait_for_cold_paths(state);
        return true;
    }
    auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (state.cold_in_flight.load(std::memory_order_acquire) != 0) {
        if (std::chrono::steady_clock::now() > give_up) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    return true;
}

// Silent unless events were lost: then one warning, at the stop, with the count and the way to
// lose none. A Python warning rather than a line of our own on stderr: the program can filter
// it, turn it into an error in its tests or route it to logging, and the `vespra` command
// prints its own line from Tracer.dropped instead. False with an exception set (a filter that
// turns the warning into an error); the trace is complete either way.
bool warn_dropped(const TracerData& data, uint64_t dropped) {
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "vespra: %llu events were dropped from the trace %R because it was "
                            "written slower than they were recorded; Tracer(..., lossless=True) "
                            "(vespra run --lossless) keeps every event, slowing the program "
                            "instead",
                            static_cast<unsigned long long>(dropped), data.filename.get()) == 0;
}

// The stop sequence, with the start lock held by the caller (released here before anything is
// released that could run Python code). With `idle_is_error` false an idle tracer is no error:
// the result is None instead of RuntimeError. A `dying` process (SIGTERM) keeps its environment,
// which no process will be started with any more, so that the stop runs no Python code: the
// watcher thread that runs it would otherwise appear in the trace.
PyObject* stop_locked(TracerObject* self, StartLock& start_lock, bool idle_is_error, bool dying) {
    bool was_active = leave_active(reinterpret_cast<PyObject*>(self));
    naming::settle();  // before the writer finishes: it writes a new name out

    DetachedLock run_lock(self->data.run_lock);
    std::unique_ptr<Running> run = std::move(self->data.running);
    if (!run) {
        run_lock.unlock();
        // A child whose start failed after a fork still exported its parent's variables.
        if (was_active && !dying && !environment::remove_child_variables()) return nullptr;
        start_lock.unlock();
        if (!idle_is_error) Py_RETURN_NONE;
        PyErr_SetString(PyExc_RuntimeError, "tracer is not tracing");
        return nullptr;
    }

    TakenError disable_error;
    bool events_off = true;
    // The collector's callback goes first: a collection can come at any allocation.
    if (self->data.gc && !dying && !marks_api::watch_gc(false)) disable_error = TakenError::take();
    if (run->monitoring) {
        if (!monitoring::disable(*run->monitoring, &events_off)) {
            disable_error = TakenError::take();
        }
    }
    // What this run switched off with DISABLE would stay off for the next user of the tool id:
    // every location gets its events back.
    bool may_have_disabled = run->state->filter.active() || run->state->c_calls;
    if (!disable_error && may_have_disabled && !dying && !monitoring::restart_events()) {
        disable_error = TakenError::take();
    }

    std::string spawn_error;
    bool exporting = export_threads::resume(*run, &spawn_error);
    Status joined;
    {
        host::Detached detached;
        // Only once no callback can append any more may other threads' batches be touched.
        // Events that stayed on (a failed disable) keep their partial batches: lost, uncounted.
        if (events_off && cold_paths_done(*run->state, dying)) {
            // A lossless run's threads waiting for room get it from the serializer, still
            // running, and finish their event before their batches are touched. Without export
            // threads no room will come: they give up their batch instead.
            if (!exporting) run->queue->abandon();
            run->queue->wait_until_unblocked();
            run->queue->add_dropped(tls::flush_every_thread());
        }
        run->queue->close();
        if (run->exporter.joinable()) run->exporter.join();
        joined = join_part(self->data, *run);
    }

    std::shared_ptr<ExporterOutcome> outcome = std::move(run->outcome);
    uint64_t dropped = run->queue->dropped();
    self->data.dropped = dropped;
    self->data.deepest_past_viewers = *outcome->deepest_past_viewers;
    run_lock.unlock();
    // The variables go once the callbacks are off, so that taking them back (Python code:
    // os.environ) is not recorded; still under the start lock, so that they cannot be those of
    // a run that starts next.
    TakenError environment_error;
    if (!dying && !environment::remove_child_variables()) environment_error = TakenError::take();
    start_lock.unlock();
    // Released before any exception is raised: releasing may run Python code.
    run.reset();

    if (disable_error) {
        disable_error.restore();
        return nullptr;
    }
    if (!exporting) {
        PyErr_Format(PyExc_RuntimeError, "spawn exporter: %s", spawn_error.c_str());
        return nullptr;
    }
    if (!outcome->status) {
        PyErr_SetString(PyExc_RuntimeError, "exporter thread panicked");
        return nullptr;
    }
    if (!outcome->status->ok()) {
        return host::raise_io_error(outcome->status->error(), self->data.filename.get());
    }
    if (!joined.ok()) return host::raise_io_error(joined.error(), self->data.filename.get());
    if (environment_error) {
        environment_error.restore();
        return nullptr;
    }
    if (dropped > 0 && !dying && !self->data.reports_drops && !warn_dropped(self->data, dropped)) {
        return nullptr;
    }
    Py_RETURN_FALSE;
}

}  // namespace

}  // namespace vespra::tracer
