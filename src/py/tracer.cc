#include "py/tracer.h"

#include <unistd.h>

#include <new>
#include <string_view>
#include <system_error>
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

// Serialises the starts of all tracers of the process, from the check that the monitoring tool
// slot is free to the installation of the new run: two threads entering tracers at once must
// not both pass the check and then truncate a file the winner is already writing.
DetachedMutex START_LOCK;
bool STOP_AT_EXIT_REGISTERED = false;  // guarded by START_LOCK

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

bool export_environment(const TracerData& data) {
    Ref env = environ();
    if (!env) return false;
    Ref format = host::str(data.format.name());
    if (!format) return false;
    Ref output_key = host::str(ENV_OUTPUT);
    Ref format_key = host::str(ENV_FORMAT);
    if (!output_key || !format_key) return false;
    if (PyObject_SetItem(env.get(), output_key.get(), data.output.get()) < 0) return false;
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

// ---- stop at interpreter exit ----------------------------------------------------------------

// A program that enters a tracer and never leaves it still gets a complete trace: at exit (after
// the interpreter has joined the threading module's threads) the run of the tracer in ACTIVE is
// stopped like __exit__ would.
PyObject* stop_at_exit(PyObject*, PyObject*) {
    return boundary([]() -> PyObject* {
        Ref tracer;
        {
            DetachedLock lock(ACTIVE_LOCK);
            tracer = Ref::borrow(ACTIVE);
        }
        if (!tracer) Py_RETURN_NONE;
        TracerObject* self = as_tracer(tracer.get());
        {
            DetachedLock lock(self->data.run_lock);
            if (!self->data.running) Py_RETURN_NONE;
        }
        Ref result = Ref::steal(stop(self));
        if (!result) return nullptr;
        Py_RETURN_NONE;
    });
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
    DetachedLock start_lock(START_LOCK);
    // Nothing may happen before this check: a second start while a run holds the tool slot would
    // otherwise truncate the running trace's file and repoint the environment at its own.
    if (!monitoring::check_tool_slot_free()) return nullptr;
    if (!register_stop_at_exit()) return nullptr;
    if (!as_child && !export_environment(self->data)) return nullptr;
    uint32_t base = as_child ? static_cast<uint32_t>(getpid()) : 0;
    std::unique_ptr<Running> run = start(self, base, as_child);
    if (!run) return nullptr;
    return install(self, std::move(run));
}

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
    set_active(nullptr);
    if (!remove_environment()) return nullptr;

    DetachedLock run_lock(self->data.run_lock);
    std::unique_ptr<Running> run = std::move(self->data.running);
    if (!run) {
        run_lock.unlock();
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
        if (events_off) {
            monitoring::wait_for_cold_paths(*run->state);
            run->queue->add_dropped(tls::flush_every_thread());
        }
        run->queue->close();
        run->exporter.join();
    }

    std::shared_ptr<ExporterOutcome> outcome = std::move(run->outcome);
    run_lock.unlock();
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

}  // namespace vespra::tracer
