#include "py/child_exit.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>

#include "core/pipeline.h"
#include "py/host.h"
#include "py/signals.h"
#include "py/tracer.h"

namespace vespra::tracer {
namespace {

using host::boundary;
using host::Ref;

// Completes the trace of a process about to end; a failure is reported and does not stop the end.
// `dying`: see stop_active.
void stop_before_the_end(bool dying) {
    Ref result = Ref::steal(stop_active(dying));
    if (!result) {
        PyErr_FormatUnraisable("Exception ignored while completing the trace of process %d",
                               static_cast<int>(getpid()));
    }
}

// os._exit(status) in a traced process; `original` is the os._exit it replaced. Anything
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
        if (after_stop_at_os_exit) after_stop_at_os_exit();
        Ref code = Ref::steal(PyLong_FromLong(status));
        if (!code) return nullptr;
        return host::call(original, {code.get()}).release();
    });
}

}  // namespace

void (*after_stop_at_os_exit)() = nullptr;

namespace {

PyMethodDef EXIT_AFTER_STOP_DEF = {
    "_exit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exit_after_stop)),
    METH_FASTCALL | METH_KEYWORDS,
    "_exit($module, /, status)\n--\n\n"
    "Exit to the system with specified status, without normal exit processing.\n"
    "In a traced process, the process's trace is completed first."};

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

// The watcher of this process, if any. WATCHER_RUNNING is read and written by a fork hook or a
// run's resumption, which never run at once (see tracer.h); a forked child forgets its parent's.
pthread_t WATCHER;
bool WATCHER_RUNNING = false;
std::atomic<bool> WATCHER_PARKED{false};
std::atomic<bool> WATCHER_STOPPING{false};  // it took a SIGTERM: it ends the process

// What the pipe carries: the handler's SIGTERM, or the request to leave for a fork.
constexpr char BYTE_SIGTERM = 1;
constexpr char BYTE_PARK = 0;

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
    if (TERM_PID.load(std::memory_order_relaxed) == getpid() &&
        !WATCHER_PARKED.load(std::memory_order_relaxed)) {
        char byte = BYTE_SIGTERM;
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
    if (byte == BYTE_PARK) return;
    WATCHER_STOPPING.store(true);
    if (!Py_IsFinalizing()) {
        PyGILState_STATE gil = PyGILState_Ensure();
        stop_before_the_end(true);
        PyGILState_Release(gil);
    }
    die_of_sigterm();
}

// Starts the watcher on the current pipe. False with errno set.
bool start_watcher() {
    SignalsBlocked blocked;
    auto body = [](void* fd) -> void* {
        watch_sigterm(static_cast<int>(reinterpret_cast<intptr_t>(fd)));
        return nullptr;
    };
    int rc = pthread_create(&WATCHER, nullptr, body,
                            reinterpret_cast<void*>(static_cast<intptr_t>(TERM_READ_FD)));
    if (rc != 0) {
        errno = rc;
        return false;
    }
    WATCHER_RUNNING = true;
    return true;
}

}  // namespace

void park_sigterm_watcher() {
    if (!WATCHER_RUNNING || TERM_PID.load() != getpid()) return;
    WATCHER_PARKED.store(true);
    char byte = BYTE_PARK;
    // A SIGTERM byte already waiting makes the watcher stop the run and end the process instead.
    (void)!write(TERM_WRITE_FD.load(), &byte, 1);
    // A watcher that took a SIGTERM before our byte waits for the start lock, which the fork
    // hooks hold: it is left to end the process once the fork is through.
    host::Detached detached;
    for (;;) {
        if (pthread_tryjoin_np(WATCHER, nullptr) == 0) break;
        if (WATCHER_STOPPING.load()) return;
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    WATCHER_RUNNING = false;
}

void resume_sigterm_watcher() {
    if (!WATCHER_PARKED.load() || WATCHER_RUNNING) return;
    // Failing, SIGTERM goes on ending the process at once.
    if (start_watcher()) WATCHER_PARKED.store(false);
}

// Stays for the life of the process (and its forked children): with no run it only exits.
bool guard_os_exit() {
    Ref os = host::import("os");
    Ref current = os ? host::getattr(os.get(), "_exit") : Ref();
    if (!current) return false;
    bool wrapped = PyCFunction_Check(current.get()) &&
                   PyCFunction_GetFunction(current.get()) == EXIT_AFTER_STOP_DEF.ml_meth;
    if (wrapped) return true;
    Ref module = host::getattr(current.get(), "__module__");
    if (!module) return false;
    Ref wrapper = Ref::steal(PyCFunction_NewEx(&EXIT_AFTER_STOP_DEF, current.get(), module.get()));
    return wrapper && PyObject_SetAttrString(os.get(), "_exit", wrapper.get()) == 0;
}

// A forked child inherits the wrapper and the handler and gets a watcher of its own; where the
// start fails they only find no run to stop.
bool guard_exits() {
    if (!guard_os_exit()) return false;

    struct sigaction action;
    if (sigaction(SIGTERM, nullptr, &action) < 0) return PyErr_SetFromErrno(PyExc_OSError), false;
    bool handled_here = action.sa_handler == on_sigterm;
    if (!handled_here && action.sa_handler != SIG_DFL) return true;  // the program's own
    if (handled_here && TERM_PID.load() == getpid()) {
        // An earlier run of this process set it all up; a fork may have parked the watcher.
        resume_sigterm_watcher();
        return true;
    }
    // An inherited pipe is the parent's; its watcher did not survive the fork.
    TERM_PID.store(0);
    if (TERM_READ_FD >= 0) close(TERM_READ_FD);
    if (int fd = TERM_WRITE_FD.exchange(-1); fd >= 0) close(fd);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0) return PyErr_SetFromErrno(PyExc_OSError), false;
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    TERM_READ_FD = fds[0];
    TERM_WRITE_FD.store(fds[1]);
    WATCHER_RUNNING = false;  // a parent's watcher does not exist here
    WATCHER_PARKED.store(false);
    if (!start_watcher()) return PyErr_SetFromErrno(PyExc_OSError), false;
    TERM_PID.store(getpid());
    if (handled_here) return true;
    action = {};
    action.sa_handler = on_sigterm;
    action.sa_flags = SA_RESTART;  // the program's system calls go on as if nothing happened
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGTERM, &action, nullptr) < 0) return PyErr_SetFromErrno(PyExc_OSError), false;
    return true;
}

}  // namespace vespra::tracer
