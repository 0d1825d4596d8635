#include "py/dump.h"

#include <unistd.h>

#include <atomic>
#include <optional>
#include <string>

#include "core/ring.h"
#include "py/host.h"
#include "py/tracer.h"

namespace vespra::dumps {

namespace {

using host::Ref;

std::atomic<bool> WATCHING{false};

void on_dump_signal(int) { RingKeeper::request_from_signal(); }

// The ring of the run in ACTIVE and the run's state, or a null ring (with RuntimeError set) when
// there is none.
std::shared_ptr<RingKeeper> active_ring(std::shared_ptr<State>* state) {
    std::shared_ptr<RingKeeper> ring;
    bool running = false;
    {
        DetachedLock active(tracer::ACTIVE_LOCK);
        if (tracer::ACTIVE) {
            TracerData& data = tracer::as_tracer(tracer::ACTIVE)->data;
            DetachedLock run_lock(data.run_lock);
            if (data.running) {
                running = true;
                ring = data.running->ring;
                *state = data.running->state;
            }
        }
    }
    if (!running) {
        PyErr_SetString(PyExc_RuntimeError, "vespra.dump(): no trace is running in this process");
    } else if (!ring) {
        PyErr_SetString(PyExc_RuntimeError,
                        "vespra.dump() needs a run that keeps a ring: Tracer(..., ring=BYTES) or "
                        "vespra run --ring SIZE");
    }
    return ring;
}

// dump(path=None, *, wait=True): writes the run's ring as a trace and returns the path (a str).
PyObject* dump(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* KEYWORDS[] = {"path", "wait", nullptr};
    PyObject* path_arg = Py_None;
    int wait = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$p:dump", const_cast<char**>(KEYWORDS),
                                     &path_arg, &wait))
        return nullptr;
    return host::boundary([&]() -> PyObject* {
        std::optional<std::string> path;
        if (path_arg != Py_None) {
            PyObject* encoded = nullptr;
            if (!PyUnicode_FSConverter(path_arg, &encoded)) return nullptr;
            Ref bytes = Ref::steal(encoded);
            path.emplace(PyBytes_AS_STRING(bytes.get()),
                         static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
        }
        std::shared_ptr<State> state;
        std::shared_ptr<RingKeeper> ring = active_ring(&state);
        if (!ring) return nullptr;
        uint64_t ticket = ring->request(path, !wait);
        // The keeper of a run whose export a fork parked comes back with the next batch the
        // program records, which a program that waits here may never fill.
        state->resume_parked_export();
        // With wait=False the path is known only once the keeper takes the dump: none is
        // promised, and the process says where it went.
        if (!wait) Py_RETURN_NONE;
        DumpOutcome outcome;
        {
            host::Detached detached;
            outcome = ring->wait(ticket);
        }
        Ref text = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(
            outcome.path.data(), static_cast<Py_ssize_t>(outcome.path.size())));
        if (!text) return nullptr;
        if (!outcome.error.empty()) {
            PyErr_Format(PyExc_OSError, "vespra.dump(): %U: %s", text.get(),
                         outcome.error.c_str());
            return nullptr;
        }
        return text.release();
    });
}

PyMethodDef DUMP_METHODS[] = {
    {"dump", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dump)),
     METH_VARARGS | METH_KEYWORDS,
     "dump($module, /, path=None, *, wait=True)\n--\n\n"
     "Write what the running trace's ring holds now as a trace of its own, and go on\n"
     "recording. path defaults to the output's name with the process id and a\n"
     "sequence number before its extension (t.pb -> t.PID.N.pb). Returns the path\n"
     "once written; with wait=False returns None at once and the process says on\n"
     "standard error where the dump went."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void watch_dump_signal() {
    if (WATCHING.exchange(true)) return;
    struct sigaction current {};
    if (sigaction(DUMP_SIGNAL, nullptr, &current) != 0) return;
    bool program_handles = (current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL;
    if (program_handles) {
        std::string line = "vespra: the program handles SIGURG itself, so `vespra dump " +
                           std::to_string(getpid()) +
                           "` cannot reach it; call vespra.dump() from the program instead\n";
        (void)!::write(STDERR_FILENO, line.data(), line.size());
        return;
    }
    struct sigaction ours {};
    ours.sa_handler = on_dump_signal;
    ours.sa_flags = SA_RESTART;
    sigemptyset(&ours.sa_mask);
    (void)sigaction(DUMP_SIGNAL, &ours, nullptr);
}

int add_dump(PyObject* module) { return PyModule_AddFunctions(module, DUMP_METHODS); }

}  // namespace vespra::dumps
