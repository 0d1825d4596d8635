#include "py/tracer.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "core/clock.h"
#include "core/pipeline.h"
#include "core/tls.h"

namespace vespra::tracer {

DetachedMutex ACTIVE_LOCK;
PyObject* ACTIVE = nullptr;

namespace {

using host::Ref;
using host::TakenError;

constexpr const char* ENV_OUTPUT = "VESPRA_CHILD_OUTPUT";
constexpr const char* ENV_FORMAT = "VESPRA_CHILD_FORMAT";

// The start lock serialises every start and stop of every tracer of the process, from the
// check that the monitoring tool slot is free to the installation of the new run (two threads
// entering tracers at once must not both pass the check and then truncate a file the winner is
// already writing), and from clearing ACTIVE to the join of the exporter thread. Because the fork
// hooks hold it across fork(), no other thread can be half-way through a start or a stop at the
// instant of a fork, and no lock of the extension is inherited locked by a thread that does not
// exist in the child. Lock order: the start lock, then ACTIVE's, then a tracer's run lock.
//
// It remembers its holder: code that runs on a thread holding it (a signal handler, another
// library's fork hook or a finalizer, run by Python code called in the middle of a start, a stop
// or a fork) gets an error if it tries to start or stop a tracer, instead of waiting for itself.

class StartMutex {
  public:
    // False, with RuntimeError raised, when the calling thread holds it already.
    bool lock() {
        unsigned long me = PyThread_get_thread_ident();
        if (owner_.load(std::memory_order_relaxed) == me) {
            PyErr_SetString(PyExc_RuntimeError,
                            "tracer started or stopped on a thread that is already starting, "
                            "stopping or forking one");
            return false;
        }
        mutex_.lock();
        owner_.store(me, std::memory_order_relaxed);
        return true;
    }
    void unlock() {
        owner_.store(0, std::memory_order_relaxed);
        mutex_.unlock();
    }
    // A thread can only read its own id here if it stored it itself. A forked child's only
    // thread keeps the id of the thread that forked.
    bool held_by_me() const {
        return owner_.load(std::memory_order_relaxed) == PyThread_get_thread_ident();
    }

  private:
    DetachedMutex mutex_;
    std::atomic<unsigned long> owner_{0};
};

StartMutex START_LOCK;
bool STOP_AT_EXIT_REGISTERED = false;       // guarded by START_LOCK
std::atomic<bool> HOOKS_REGISTERED{false};  // inherited by forked children

class StartLock {
  public:
    StartLock() : held_(START_LOCK.lock()) {}
    ~StartLock() {
        if (held_) START_LOCK.unlock();
    }
    StartLock(const StartLock&) = delete;
    StartLock& operator=(const StartLock&) = delete;
    // False (with the error raised) when the thread held the lock already.
    explicit operator bool() const { return held_; }
    void unlock() {
        if (held_) START_LOCK.unlock();
        held_ = false;
    }

  private:
    bool held_;
};

// Any C++ exception that reaches a Python entry point becomes a Python exception there.
template <class F>
PyObject* boundary(F&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_RuntimeError, "vespra internal error: %s", e.what());
        return nullptr;
    }
}

TracerObject* as_tracer(PyObject* self) { return reinterpret_cast<TracerObject*>(self); }

// ---- ACTIVE ----------------------------------------------------------------------------------

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

// ---- environment -----------------------------------------------------------------------------

Ref environ() {
    Ref os = host::import("os");
    return os ? host::getattr(os.get(), "environ") : Ref();
}

// The output path as a process started in another working directory must see it to write into
// the same file: a relative path is resolved against the current directory now (os.path.join
// leaves an absolute one as it is, and does not normalise, so symbolic links resolve as they
// would for open()). Without a current directory (it was removed) the path goes out as given.
Ref exported_output(const TracerData& data) {
    Ref os = host::import("os");
    if (!os) return {};
    Ref cwd = host::call_method(os.get(), "getcwd", {});
    if (!cwd) {
        PyErr_Clear();
        return Ref::borrow(data.output.get());
    }
    Ref path = host::getattr(os.get(), "path");
    return path ? host::call_method(path.get(), "join", {cwd.get(), data.output.get()}) : Ref();
}

bool export_environment(const TracerData& data) {
    Ref env = environ();
    if (!env) return false;
    Ref output = exported_output(data);
    Ref format = host::str(data.format.name());
    if (!output || !format) return false;
    Ref output_key = host::str(ENV_OUTPUT);
    Ref format_key = host::str(ENV_FORMAT);
    if (!output_key || !format_key) return false;
    if (PyObject_SetItem(env.get(), output_key.get(), output.get()) < 0) return false;
    return PyObject_SetItem(env.get(), format_key.get(), format.get()) == 0;
}

bool remove_environment() {
    Ref env = environ();
    if (!env) return false;
    for (const char* key : {ENV_OUTPUT, ENV_FORMAT}) {
        Ref name = host::str(key);
        if (!name || !host::call_method(env.get(), "pop", {name.get(), Py_None})) return false;
    }
    return true;
}

// ---- stopping the run of ACTIVE ----------------------------------------------------------------

PyObject* stop_locked(TracerObject* self, StartLock& start_lock, bool idle_is_error, bool dying);

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

// Blocks, on the calling thread and for the object's lifetime, every signal but those a fault
// raises; a thread created meanwhile starts with them blocked. Threads of ours (a run's exporter
// and the serializer it creates, a forked child's SIGTERM watcher) must take none of the
// program's signals: the kernel hands a signal sent to the process to any thread that does not
// block it, and a Python handler interrupts the main thread's blocking call only when the main
// thread itself receives the signal. Caught by one of ours, a Ctrl-C would wait for the end of
// the main thread's time.sleep or lock acquire.
class SignalsBlocked {
  public:
    SignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT})
            sigdelset(&all, fault);
        pthread_sigmask(SIG_BLOCK, &all, &previous_);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

  private:
    sigset_t previous_;
};

// ---- the exits of a forked child ----------------------------------------------------------------
//
// A forked child does not always end through the interpreter's exit handlers: multiprocessing's
// fork workers clear them and leave with os._exit, and a pool stops its workers with SIGTERM. A
// child that starts a run in the fork hook therefore gets os._exit replaced by a wrapper that
// stops the run first (a function of this module: a Python function would begin in the trace and
// never end), and, unless the program handles SIGTERM itself, a SIGTERM handler that has the run
// stopped before the process dies of the signal as it would have.

// Completes the trace of a process about to end; a failure is reported and does not stop the end.
// `dying`: see stop_locked.
void stop_before_the_end(bool dying) {
    Ref result = Ref::steal(stop_active(dying));
    if (!result) {
        PyErr_FormatUnraisable("Exception ignored while completing the trace of process %d",
                               static_cast<int>(getpid()));
    }
}

// os._exit(status) in a traced forked child; `original` is the os._exit it replaced. Anything
// the original would refuse (a missing or surplus argument, a status that is not a C int) goes
// to it unchanged, before the run is touched, so that it raises exactly its own error.
PyObject* exit_after_stop(PyObject* original, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        PyObject* value = nullptr;
        if (nargs == 1 && nkw == 0) {
            value = args[0];
        } else if (nargs == 0 && nkw == 1) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, 0);
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "status") == 0) {
                value = args[0];
            }
        }
        if (!value) return PyObject_Vectorcall(original, args, nargs, kwnames);
        int status = PyLong_AsInt(value);
        if (status == -1 && PyErr_Occurred()) return nullptr;
        stop_before_the_end(false);
        Ref code = Ref::steal(PyLong_FromLong(status));
        if (!code) return nullptr;
        return host::call(original, {code.get()}).release();
    });
}

PyMethodDef EXIT_AFTER_STOP_DEF = {
    "_exit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exit_after_stop)),
    METH_FASTCALL | METH_KEYWORDS,
    "_exit($module, /, status)\n--\n\n"
    "Exit to the system with specified status, without normal exit processing.\n"
    "In a traced forked process, the process's trace is completed first."};

// SIGTERM is not handled by a Python signal handler: the interpreter runs those on its main
// thread, between two instructions, and a SIGTERM that comes while the main thread is about to
// block (in a monitoring callback before a semaphore acquire, say: a pool worker reading its
// next task) is then noticed only when the wait ends, which for a worker of a terminated pool is
// never. Instead the handler writes one byte to a pipe, and a watcher thread of this process
// stops the run, whatever the main thread is doing, then lets the signal kill the process. The
// Python handler table is left as it was: the program still sees the default action there, and
// handlers it installs replace this one.

// The write end of the current process's pipe, and that process's id: a process forked from a
// traced child inherits the handler before its own fork hook gives it a pipe of its own.
std::atomic<int> TERM_WRITE_FD{-1};
std::atomic<pid_t> TERM_PID{0};
int TERM_READ_FD = -1;  // the fork hooks only

void die_of_sigterm() {
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    sigaction(SIGTERM, &default_action, nullptr);
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &term, nullptr);
    raise(SIGTERM);
}

extern "C" void on_sigterm(int) {
    int saved_errno = errno;
    if (TERM_PID.load(std::memory_order_relaxed) == getpid()) {
        char byte = 1;
        // Non-blocking: a second signal finds the pipe holding a byte already, and that is enough.
        (void)!write(TERM_WRITE_FD.load(std::memory_order_relaxed), &byte, 1);
    } else {
        die_of_sigterm();  // nothing of this process is traced yet
    }
    errno = saved_errno;
}

// Sleeps until the handler writes; then stops the run (unless the interpreter is already shutting
// down, when its exit handlers have stopped it) and dies of the signal. Runs outside the
// interpreter until then, and attaches with a thread state of its own.
void watch_sigterm(int read_fd) {
    pipeline::set_current_thread_name("vespra-sigterm");
    char byte;
    ssize_t n;
    do {
        n = read(read_fd, &byte, 1);
    } while (n < 0 && errno == EINTR);
    if (n != 1) return;  // the pipe was closed: a later fork hook gave the process a new one
    if (!Py_IsFinalizing()) {
        PyGILState_STATE gil = PyGILState_Ensure();
        stop_before_the_end(true);
        PyGILState_Release(gil);
    }
    die_of_sigterm();
}

// Installs both in a forked child that is about to start its run. A grandchild inherits the
// wrapper and the handler and gets a watcher of its own; where the start fails they only find no
// run to stop.
bool guard_exits_of_child() {
    Ref os = host::import("os");
    Ref current = os ? host::getattr(os.get(), "_exit") : Ref();
    if (!current) return false;
    bool wrapped = PyCFunction_Check(current.get()) &&
                   PyCFunction_GetFunction(current.get()) == EXIT_AFTER_STOP_DEF.ml_meth;
    if (!wrapped) {
        Ref module = host::getattr(current.get(), "__module__");
        if (!module) return false;
        Ref wrapper =
            Ref::steal(PyCFunction_NewEx(&EXIT_AFTER_STOP_DEF, current.get(), module.get()));
        if (!wrapper || PyObject_SetAttrString(os.get(), "_exit", wrapper.get()) < 0) return false;
    }

    struct sigaction action;
    if (sigaction(SIGTERM, nullptr, &action) < 0) return PyErr_SetFromErrno(PyExc_OSError), false;
    bool handled_here = action.sa_handler == on_sigterm;
    if (!handled_here && action.sa_handler != SIG_DFL) return true;  // the program's own
    // The inherited pipe is the parent's; its watcher did not survive the fork.
    TERM_PID.store(0);
    if (TERM_READ_FD >= 0) close(TERM_READ_FD);
    if (int fd = TERM_WRITE_FD.exchange(-1); fd >= 0) close(fd);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0) return PyErr_SetFromErrno(PyExc_OSError), false;
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    TERM_READ_FD = fds[0];
    TERM_WRITE_FD.store(fds[1]);
    {
        SignalsBlocked blocked;
        std::thread(watch_sigterm, fds[0]).detach();
    }
    TERM_PID.store(getpid());
    if (handled_here) return true;
    action = {};
    action.sa_handler = on_sigterm;
    action.sa_flags = SA_RESTART;  // the program's system calls go on as if nothing happened
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGTERM, &action, nullptr) < 0) return PyErr_SetFromErrno(PyExc_OSError), false;
    return true;
}

// ---- start ------------------------------------------------------------------------------------

// The exporter thread's body: names the thread and runs the pipeline. Every reference it was
// given is moved into run_pipeline, whose parameters die when it returns: the thread holds
// nothing of the run once it has ended, so the last reference to the State is always dropped by
// a thread attached to the interpreter.
void exporter_main(std::shared_ptr<EventQueue> queue, std::shared_ptr<State> state,
                   std::unique_ptr<Exporter> writer, std::shared_ptr<ExporterOutcome> outcome) {
    pipeline::set_current_thread_name("vespra-exporter");
    try {
        std::shared_ptr<const CodeLookup> codes = state;
        std::shared_ptr<const ThreadNames> names = std::move(state);
        outcome->status = pipeline::run_pipeline(std::move(queue), std::move(codes),
                                                 std::move(names), std::move(writer));
    } catch (...) {
        // Ended abnormally: `status` stays empty and the stop sequence reports it.
    }
}

// Both entries share: the slot check, the start lock, start and install.
PyObject* enter(TracerObject* self, bool as_child) {
    StartLock start_lock;
    if (!start_lock) return nullptr;
    // Nothing may happen before this check: a second start while a run holds the tool slot would
    // otherwise truncate the running trace's file and repoint the environment at its own.
    if (!monitoring::check_tool_slot_free()) return nullptr;
    if (!register_stop_at_exit()) return nullptr;
    // A process that joins its parent's trace ends the ways a forked one does: a pool stops its
    // spawned workers with SIGTERM, too.
    if (as_child && !guard_exits_of_child()) return nullptr;
    if (!as_child && !export_environment(self->data)) return nullptr;
    uint32_t base = as_child ? static_cast<uint32_t>(getpid()) : 0;
    std::unique_ptr<Running> run = start(self, base, as_child);
    if (!run) return nullptr;
    return install(self, std::move(run));
}

// ---- fork --------------------------------------------------------------------------------------
//
// The thread that runs a fork's hooks takes the start lock, ACTIVE's lock and the run lock of
// the tracer in ACTIVE in _before_fork and keeps them until the after hook of its side of the
// fork. Between the hooks no other thread can start, stop or install anything, and in the child
// every lock is held by the one thread that exists there, which releases it.

// Guarded by START_LOCK: only the thread holding it reads or writes them.
bool FORK_LOCKS_HELD = false;
TracerObject* FORK_TRACER = nullptr;  // ACTIVE's tracer, whose run lock is held; ACTIVE keeps it

bool take_fork_locks() {
    if (!START_LOCK.lock()) return false;
    ACTIVE_LOCK.lock();
    FORK_TRACER = ACTIVE ? as_tracer(ACTIVE) : nullptr;
    if (FORK_TRACER) FORK_TRACER->data.run_lock.lock();
    FORK_LOCKS_HELD = true;
    return true;
}

// For an after hook: the locks _before_fork took on this thread, or its own when the hooks were
// not called in pairs (the hooks were registered between the two, or called by hand).
bool ensure_fork_locks() {
    if (START_LOCK.held_by_me() && FORK_LOCKS_HELD) return true;
    return take_fork_locks();
}

void release_fork_locks() {
    if (FORK_TRACER) FORK_TRACER->data.run_lock.unlock();
    FORK_TRACER = nullptr;
    FORK_LOCKS_HELD = false;
    ACTIVE_LOCK.unlock();
    START_LOCK.unlock();
}

struct ForkLocksRelease {
    ~ForkLocksRelease() { release_fork_locks(); }
};

PyObject* before_fork(PyObject*, PyObject*) {
    return boundary([]() -> PyObject* {
        // Errors or not, the locks stay held: the interpreter forks anyway and then calls an
        // after hook, which releases them.
        if (!take_fork_locks()) return nullptr;
        Running* run = FORK_TRACER ? FORK_TRACER->data.running.get() : nullptr;
        if (!run || !run->monitoring) Py_RETURN_NONE;
        std::optional<monitoring::MonitoringHandle> handle = std::move(run->monitoring);
        run->monitoring.reset();
        bool events_off = false;
        TakenError error;
        if (!monitoring::disable(*handle, &events_off)) error = TakenError::take();
        handle.reset();
        if (error) {
            error.restore();
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* after_fork_in_parent(PyObject*, PyObject*) {
    return boundary([]() -> PyObject* {
        if (!ensure_fork_locks()) return nullptr;
        ForkLocksRelease release;
        Running* run = FORK_TRACER ? FORK_TRACER->data.running.get() : nullptr;
        if (!run) Py_RETURN_NONE;
        std::optional<monitoring::MonitoringHandle> handle = monitoring::enable(run->state);
        if (!handle) return nullptr;
        run->monitoring = std::move(handle);
        Py_RETURN_NONE;
    });
}

PyObject* after_fork_in_child(PyObject*, PyObject*) {
    return boundary([]() -> PyObject* {
        if (!ensure_fork_locks()) return nullptr;
        ForkLocksRelease release;
        if (!FORK_TRACER) Py_RETURN_NONE;
        TracerData& data = FORK_TRACER->data;
        // Leaked on purpose, never read: see the docstring.
        (void)data.running.release();
        tls::forget_other_threads();
        // Before the start, so that what it imports stays out of the child's trace.
        if (!guard_exits_of_child()) return nullptr;
        std::unique_ptr<Running> run = start(FORK_TRACER, static_cast<uint32_t>(getpid()), true);
        if (!run) return nullptr;
        data.running = std::move(run);
        Py_RETURN_NONE;
    });
}

PyMethodDef FORK_HOOK_DEFS[] = {
    {"_before_fork", before_fork, METH_NOARGS,
     "_before_fork($module, /)\n--\n\n"
     "Stop delivering callbacks before the address space is cloned, so that no\n"
     "callback can run in the child against state the child is about to abandon."},
    {"_after_fork_in_parent", after_fork_in_parent, METH_NOARGS,
     "_after_fork_in_parent($module, /)\n--\n\n"},
    {"_after_fork_in_child", after_fork_in_child, METH_NOARGS,
     "_after_fork_in_child($module, /)\n--\n\n"
     "Start the child's own trace. The inherited run is deliberately leaked: its\n"
     "exporter thread did not survive the fork, and any lock it held at that\n"
     "instant is still held by nobody, so reading or dropping that state could\n"
     "block forever."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- the Python type -------------------------------------------------------------------------

// Tracer(output, format="protobuf"): both str, positional or keyword.
bool parse_arguments(PyObject* args, PyObject* kwargs, PyObject* out[2]) {
    static const char* const NAMES[2] = {"output", "format"};
    out[0] = out[1] = nullptr;
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nargs + nkw > 2) {
        PyErr_Format(PyExc_TypeError, "Tracer() takes at most 2 arguments (%zd given)",
                     nargs + nkw);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        PyObject* key;
        PyObject* value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            int index = -1;
            for (int i = 0; i < 2; ++i) {
                if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, NAMES[i]) == 0) {
                    index = i;
                }
            }
            if (index < 0) {
                PyErr_Format(PyExc_TypeError, "Tracer() got an unexpected keyword argument '%S'",
                             key);
                return false;
            }
            if (out[index]) {
                PyErr_Format(PyExc_TypeError,
                             "argument for Tracer() given by name ('%s') and position (%d)",
                             NAMES[index], index + 1);
                return false;
            }
            out[index] = value;
        }
    }
    if (!out[0]) {
        PyErr_SetString(PyExc_TypeError, "Tracer() missing required argument 'output' (pos 1)");
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        if (out[i] && !PyUnicode_Check(out[i])) {
            PyErr_Format(PyExc_TypeError, "Tracer() argument '%s' must be str, not %.100s",
                         NAMES[i], Py_TYPE(out[i])->tp_name);
            return false;
        }
    }
    return true;
}

PyObject* tracer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> PyObject* {
        PyObject* arg[2];
        if (!parse_arguments(args, kwargs, arg)) return nullptr;
        std::string format_text = "protobuf";
        if (arg[1]) {
            std::optional<std::string> text = host::utf8(arg[1]);
            if (!text) return nullptr;
            format_text = std::move(*text);
        }
        std::string error;
        std::optional<Format> format = Format::parse(format_text, &error);
        if (!format) {
            PyErr_SetString(PyExc_ValueError, error.c_str());
            return nullptr;
        }
        // The file system's bytes for the path, as open() would use them (undecodable names
        // round-trip through their surrogate escapes).
        Ref path = Ref::steal(PyUnicode_EncodeFSDefault(arg[0]));
        if (!path) return nullptr;
        std::string output_path(PyBytes_AS_STRING(path.get()),
                                static_cast<size_t>(PyBytes_GET_SIZE(path.get())));
        // The operating system would stop reading the path at the first NUL and trace into
        // another file; refuse it as open() does.
        if (output_path.find('\0') != std::string::npos) {
            PyErr_SetString(PyExc_ValueError, "embedded null byte");
            return nullptr;
        }

        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        new (&as_tracer(self)->data)
            TracerData{Ref::borrow(arg[0]), std::move(output_path), *format, {}, nullptr};
        return self;
    });
}

void tracer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    // A run still in the slot is released, not stopped (see Running).
    as_tracer(self)->data.~TracerData();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* tracer_enter(PyObject* self, PyObject*) {
    return boundary([&] { return enter(as_tracer(self), false); });
}

PyObject* tracer_enter_as_child(PyObject* self, PyObject*) {
    return boundary([&] { return enter(as_tracer(self), true); });
}

PyObject* tracer_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return boundary([&]() -> PyObject* {
        if (nargs != 3) {
            PyErr_Format(PyExc_TypeError, "__exit__ expected 3 arguments, got %zd", nargs);
            return nullptr;
        }
        if (args[0] != Py_None && !PyType_Check(args[0])) {
            PyErr_Format(PyExc_TypeError,
                         "__exit__() argument 1 must be a type or None, not %.100s",
                         Py_TYPE(args[0])->tp_name);
            return nullptr;
        }
        return stop(as_tracer(self));
    });
}

PyMethodDef TRACER_METHODS[] = {
    {"__enter__", tracer_enter, METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tracer_exit)),
     METH_FASTCALL, nullptr},
    {"_enter_as_child", tracer_enter_as_child, METH_NOARGS,
     "Enter as a process that exec'd out of a traced one: same bookkeeping,\n"
     "but writing beside the trace its parent named rather than over it."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot TRACER_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(tracer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tracer_dealloc)},
    {Py_tp_methods, TRACER_METHODS},
    {Py_tp_doc, const_cast<char*>("Tracer(output, format=...)\n--\n\n"
                                  "Trace every Python function start, return, yield, resume,\n"
                                  "unwind and throw, on every thread, while the `with` block\n"
                                  "runs; write them to `output` as \"protobuf\" (the default) or\n"
                                  "\"json\".")},
    {0, nullptr},
};

PyType_Spec TRACER_SPEC = {
    .name = "vespra._core.Tracer",
    .basicsize = sizeof(TracerObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = TRACER_SLOTS,
};

}  // namespace

int add_tracer_type(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &TRACER_SPEC, nullptr);
    if (!type) return -1;
    int rc = PyModule_AddObjectRef(module, "Tracer", type);
    Py_DECREF(type);
    return rc;
}

std::unique_ptr<Running> start(TracerObject* self, uint32_t sequence_base, bool as_child) {
    Clock clock = Clock::starting_now();
    std::shared_ptr<EventQueue> queue = EventQueue::create(clock);
    auto state = std::make_shared<State>(queue);

    Result<std::unique_ptr<Exporter>> writer =
        self->data.format.open(self->data.output_path, sequence_base, as_child);
    if (!writer) {
        host::raise_io_error(writer.error());
        return nullptr;
    }

    auto run = std::make_unique<Running>();
    run->queue = queue;
    run->state = state;
    run->outcome = std::make_shared<ExporterOutcome>();
    try {
        SignalsBlocked blocked;
        run->exporter = std::thread(exporter_main, queue, state, writer.take(), run->outcome);
    } catch (const std::system_error& e) {
        // The writer went with the thread's arguments; the file stays as opened.
        std::string text = e.code().category() == std::generic_category() ||
                                   e.code().category() == std::system_category()
                               ? IoError::os(e.code().value()).text()
                               : std::string(e.what());
        PyErr_Format(PyExc_RuntimeError, "spawn exporter: %s", text.c_str());
        return nullptr;
    }

    std::optional<monitoring::MonitoringHandle> handle = monitoring::enable(state);
    if (!handle) {
        TakenError error = TakenError::take();
        {
            host::Detached detached;
            queue->close();
            run->exporter.join();
        }
        error.restore();
        return nullptr;
    }
    run->monitoring = std::move(handle);
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

// The stop sequence, with the start lock held by the caller (released here before anything is
// released that could run Python code). With `idle_is_error` false an idle tracer is no error:
// the result is None instead of RuntimeError. A `dying` process (SIGTERM) keeps its environment,
// which no process will be started with any more, so that the stop runs no Python code: the
// watcher thread that runs it would otherwise appear in the trace.
PyObject* stop_locked(TracerObject* self, StartLock& start_lock, bool idle_is_error, bool dying) {
    set_active(nullptr);
    if (!dying && !remove_environment()) return nullptr;

    DetachedLock run_lock(self->data.run_lock);
    std::unique_ptr<Running> run = std::move(self->data.running);
    if (!run) {
        run_lock.unlock();
        start_lock.unlock();
        if (!idle_is_error) Py_RETURN_NONE;
        PyErr_SetString(PyExc_RuntimeError, "tracer is not tracing");
        return nullptr;
    }

    TakenError disable_error;
    bool events_off = true;
    if (run->monitoring) {
        if (!monitoring::disable(*run->monitoring, &events_off)) {
            disable_error = TakenError::take();
        }
    }

    {
        host::Detached detached;
        // Only once no callback can append any more may other threads' batches be touched.
        // Events that stayed on (a failed disable) keep their partial batches: lost, uncounted.
        if (events_off && cold_paths_done(*run->state, dying)) {
            run->queue->add_dropped(tls::flush_every_thread());
        }
        run->queue->close();
        run->exporter.join();
    }

    std::shared_ptr<ExporterOutcome> outcome = std::move(run->outcome);
    run_lock.unlock();
    start_lock.unlock();
    // Released before any exception is raised: releasing may run Python code.
    run.reset();

    if (disable_error) {
        disable_error.restore();
        return nullptr;
    }
    if (!outcome->status) {
        PyErr_SetString(PyExc_RuntimeError, "exporter thread panicked");
        return nullptr;
    }
    if (!outcome->status->ok()) return host::raise_io_error(outcome->status->error());
    Py_RETURN_FALSE;
}

}  // namespace

int add_fork_hooks(PyObject* module) { return PyModule_AddFunctions(module, FORK_HOOK_DEFS); }

bool register_fork_hooks(PyObject* module) {
    if (HOOKS_REGISTERED.exchange(true)) return true;
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return false;
    const std::pair<const char*, const char*> HOOKS[] = {
        {"before", "_before_fork"},
        {"after_in_parent", "_after_fork_in_parent"},
        {"after_in_child", "_after_fork_in_child"},
    };
    for (const auto& [key, name] : HOOKS) {
        Ref hook = host::getattr(module, name);
        if (!hook || PyDict_SetItemString(kwargs.get(), key, hook.get()) < 0) return false;
    }
    Ref os = host::import("os");
    Ref register_at_fork = os ? host::getattr(os.get(), "register_at_fork") : Ref();
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!register_at_fork || !no_args) return false;
    return static_cast<bool>(
        Ref::steal(PyObject_Call(register_at_fork.get(), no_args.get(), kwargs.get())));
}

}  // namespace vespra::tracer
