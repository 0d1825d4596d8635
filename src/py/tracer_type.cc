// The Python class Tracer: checks its arguments and maps `with` onto the start and the stop.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/code_filter.h"
#include "py/host.h"
#include "py/start_lock.h"
#include "py/tracer.h"

namespace vespra::tracer {
namespace {

using host::boundary;
using host::Ref;

// Tracer(output, format=None, lossless=False, process_name=None, gc=False, *, include=(),
// exclude=(), exclude_stdlib=False, exclude_site_packages=False, c_calls=False, min_duration=0,
// max_depth=256, ring=0, exceptions=False, args=(), returns=(), args_repr=False): a path (str, bytes or os.PathLike, as open() takes), a str or None (the
// format the path's name asks for), a bool, a str or None, the flags bool, the patterns sequences
// of str, the ring a size in bytes; the first five positional or keyword, the
// rest by keyword only: Tracer(out, "json", False, None, False, 1) would say nothing of what 1 is.
constexpr int N_ARGS = 17;
constexpr int N_POSITIONAL = 5;
enum Arg {
    OUTPUT,
    FORMAT,
    LOSSLESS,
    PROCESS_NAME,
    GC,
    INCLUDE,
    EXCLUDE,
    EXCLUDE_STDLIB,
    EXCLUDE_SITE,
    C_CALLS,
    MIN_DURATION,
    MAX_DEPTH,
    RING,
    EXCEPTIONS,
    ARGS,
    RETURNS,
    ARGS_REPR
};
constexpr const char* NAMES[N_ARGS] = {
    "output",       "format",   "lossless",       "process_name",          "gc",
    "include",      "exclude",  "exclude_stdlib", "exclude_site_packages", "c_calls",
    "min_duration", "max_depth", "ring",    "exceptions",
    "args",         "returns",   "args_repr"};

bool parse_arguments(PyObject* args, PyObject* kwargs, PyObject* out[N_ARGS]) {
    std::fill(out, out + N_ARGS, nullptr);
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > N_POSITIONAL) {
        PyErr_Format(PyExc_TypeError, "Tracer() takes at most %d arguments by position (%zd given)",
                     N_POSITIONAL, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        PyObject* key;
        PyObject* value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            int index = -1;
            for (int i = 0; i < N_ARGS; ++i) {
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
    if (!out[OUTPUT]) {
        PyErr_SetString(PyExc_TypeError, "Tracer() missing required argument 'output' (pos 1)");
        return false;
    }
    if (out[FORMAT] == Py_None) out[FORMAT] = nullptr;
    if (out[FORMAT] && !PyUnicode_Check(out[FORMAT])) {
        PyErr_Format(PyExc_TypeError, "Tracer() argument 'format' must be str or None, not %.100s",
                     Py_TYPE(out[FORMAT])->tp_name);
        return false;
    }
    for (int i : {LOSSLESS, GC, EXCLUDE_STDLIB, EXCLUDE_SITE, C_CALLS, EXCEPTIONS, ARGS_REPR}) {
        if (out[i] && !PyBool_Check(out[i])) {
            PyErr_Format(PyExc_TypeError, "Tracer() argument '%s' must be bool, not %.100s",
                         NAMES[i], Py_TYPE(out[i])->tp_name);
            return false;
        }
    }
    if (out[PROCESS_NAME] == Py_None) out[PROCESS_NAME] = nullptr;
    if (out[PROCESS_NAME] && !PyUnicode_Check(out[PROCESS_NAME])) {
        PyErr_Format(PyExc_TypeError,
                     "Tracer() argument 'process_name' must be str or None, not %.100s",
                     Py_TYPE(out[PROCESS_NAME])->tp_name);
        return false;
    }
    return true;
}

// min_duration: seconds, an int or a float, finite and not negative; max_depth: an int from 0
// (no limit) to 2^32 - 1. False with an exception set.
bool parse_limits(PyObject* min_duration, PyObject* max_depth, SliceLimits* limits) {
    if (min_duration) {
        if (PyBool_Check(min_duration) ||
            !(PyLong_Check(min_duration) || PyFloat_Check(min_duration))) {
            PyErr_Format(PyExc_TypeError,
                         "Tracer() argument 'min_duration' must be seconds as int or float, not "
                         "%.100s",
                         Py_TYPE(min_duration)->tp_name);
            return false;
        }
        double seconds = PyFloat_AsDouble(min_duration);
        if (seconds == -1.0 && PyErr_Occurred()) return false;
        // Up to about 292 years, what nanoseconds fit in 63 bits.
        if (!(seconds >= 0.0 && seconds < 9.2e9)) {
            PyErr_Format(PyExc_ValueError,
                         "min_duration must be a number of seconds from 0 up, not %R",
                         min_duration);
            return false;
        }
        limits->min_duration = static_cast<uint64_t>(std::llround(seconds * 1e9));
    }
    if (max_depth) {
        if (PyBool_Check(max_depth) || !PyLong_Check(max_depth)) {
            PyErr_Format(PyExc_TypeError, "Tracer() argument 'max_depth' must be int, not %.100s",
                         Py_TYPE(max_depth)->tp_name);
            return false;
        }
        int overflow = 0;
        long long depth = PyLong_AsLongLongAndOverflow(max_depth, &overflow);
        if (depth == -1 && PyErr_Occurred()) return false;
        if (overflow != 0 || depth < 0 || depth > UINT32_MAX) {
            PyErr_Format(PyExc_ValueError,
                         "max_depth must be a depth from 1 to 4294967295, or 0 for no limit, "
                         "not %R",
                         max_depth);
            return false;
        }
        limits->max_depth = static_cast<uint32_t>(depth);
    }
    return true;
}

// ring: bytes, an int from MIN_RING_BYTES up, or 0 (and absent) for none.
bool parse_ring(PyObject* arg, uint64_t* bytes) {
    if (!arg) return true;
    if (PyBool_Check(arg) || !PyLong_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "Tracer() argument 'ring' must be a size in bytes (int), not %.100s",
                     Py_TYPE(arg)->tp_name);
        return false;
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(arg, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < 0 || (value != 0 && static_cast<uint64_t>(value) < MIN_RING_BYTES)) {
        PyErr_Format(PyExc_ValueError,
                     "ring must be a size in bytes from %llu up, or 0 for none, not %R",
                     static_cast<unsigned long long>(MIN_RING_BYTES), arg);
        return false;
    }
    *bytes = static_cast<uint64_t>(value);
    return true;
}

// A sequence of non-empty str (a str alone is refused: it would be taken letter by letter).
bool patterns_of(PyObject* arg, const char* name, std::vector<std::string>* out) {
    if (!arg) return true;
    if (PyUnicode_Check(arg) || !PySequence_Check(arg)) {
        PyErr_Format(PyExc_TypeError,
                     "Tracer() argument '%s' must be a sequence of str, not %.100s", name,
                     Py_TYPE(arg)->tp_name);
        return false;
    }
    Ref items = Ref::steal(PySequence_Tuple(arg));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "Tracer() argument '%s' must hold str, not %.100s", name,
                         Py_TYPE(item)->tp_name);
            return false;
        }
        std::optional<std::string> text = host::utf8(item);
        if (!text) return false;
        if (text->empty() || text->find('\n') != std::string::npos) {
            PyErr_Format(PyExc_ValueError, "Tracer() argument '%s': %R is not a pattern", name,
                         item);
            return false;
        }
        out->push_back(std::move(*text));
    }
    return true;
}

PyObject* tracer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> PyObject* {
        PyObject* arg[N_ARGS];
        if (!parse_arguments(args, kwargs, arg)) return nullptr;
        SliceLimits limits;
        if (!parse_limits(arg[MIN_DURATION], arg[MAX_DEPTH], &limits)) return nullptr;
        uint64_t ring = 0;
        if (!parse_ring(arg[RING], &ring)) return nullptr;
        std::optional<Format> format;
        if (arg[FORMAT]) {
            std::optional<std::string> text = host::utf8(arg[FORMAT]);
            if (!text) return nullptr;
            std::string error;
            format = Format::parse(*text, &error);
            if (!format) {
                PyErr_SetString(PyExc_ValueError, error.c_str());
                return nullptr;
            }
        }
        // The file system's bytes for the path, as open() would use them (undecodable names
        // round-trip through their surrogate escapes), and the path as text for the children.
        Ref fspath = Ref::steal(PyOS_FSPath(arg[0]));
        if (!fspath) {
            PyErr_Format(PyExc_TypeError,
                         "Tracer() argument 'output' must be str, bytes or os.PathLike, not %.100s",
                         Py_TYPE(arg[0])->tp_name);
            return nullptr;
        }
        Ref path, text;
        if (PyBytes_Check(fspath.get())) {
            path = Ref::borrow(fspath.get());
            text = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(path.get()),
                                                               PyBytes_GET_SIZE(path.get())));
        } else {
            text = Ref::borrow(fspath.get());
            path = Ref::steal(PyUnicode_EncodeFSDefault(text.get()));
        }
        if (!path || !text) return nullptr;
        std::string output_path(PyBytes_AS_STRING(path.get()),
                                static_cast<size_t>(PyBytes_GET_SIZE(path.get())));
        // The operating system would stop reading the path at the first NUL and trace into
        // another file; refuse it as open() does.
        if (output_path.find('\0') != std::string::npos) {
            PyErr_SetString(PyExc_ValueError, "embedded null byte");
            return nullptr;
        }
        if (!format) format = Format::of_file_name(output_path);

        FilterOptions filter;
        if (!patterns_of(arg[INCLUDE], NAMES[INCLUDE], &filter.include) ||
            !patterns_of(arg[EXCLUDE], NAMES[EXCLUDE], &filter.exclude)) {
            return nullptr;
        }
        values::ValueOptions value_options;
        if (!patterns_of(arg[ARGS], NAMES[ARGS], &value_options.args) ||
            !patterns_of(arg[RETURNS], NAMES[RETURNS], &value_options.returns)) {
            return nullptr;
        }
        value_options.repr = arg[ARGS_REPR] == Py_True;
        filter.exclude_stdlib = arg[EXCLUDE_STDLIB] == Py_True;
        filter.exclude_site_packages = arg[EXCLUDE_SITE] == Py_True;

        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        new (&as_tracer(self)->data) TracerData{Ref::borrow(arg[0]),
                                                std::move(text),
                                                std::move(output_path),
                                                *format,
                                                {},
                                                nullptr,
                                                std::nullopt,
                                                0,
                                                0,
                                                arg[LOSSLESS] == Py_True,
                                                ClockSource::automatic,
                                                std::nullopt,
                                                false,
                                                Ref::borrow(arg[PROCESS_NAME]),
                                                arg[GC] == Py_True,
                                                limits,
                                                std::move(filter),
                                                nullptr,
                                                arg[C_CALLS] == Py_True,
                                                0,
                                                ring,
                                                arg[EXCEPTIONS] == Py_True,
                                                std::move(value_options),
                                                nullptr};
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

// _enter_as_child(origin=None): `origin` is the trace's origin the parent exported, nanoseconds
// on CLOCK_MONOTONIC; without it the child's events count from its own start.
PyObject* tracer_enter_as_child(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return boundary([&]() -> PyObject* {
        if (nargs > 1) {
            PyErr_Format(PyExc_TypeError, "_enter_as_child expected at most 1 argument, got %zd",
                         nargs);
            return nullptr;
        }
        std::optional<uint64_t> origin;
        if (nargs == 1 && args[0] != Py_None) {
            if (!PyLong_Check(args[0])) {
                PyErr_Format(PyExc_TypeError, "origin must be int or None, not %.100s",
                             Py_TYPE(args[0])->tp_name);
                return nullptr;
            }
            unsigned long long value = PyLong_AsUnsignedLongLong(args[0]);
            if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
            origin = value;
        }
        return enter(as_tracer(self), true, origin);
    });
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
    {"_enter_as_child",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tracer_enter_as_child)),
     METH_FASTCALL,
     "Enter as a process that exec'd out of a traced one: same bookkeeping,\n"
     "but writing beside the trace its parent named rather than over it."},
    {nullptr, nullptr, 0, nullptr},
};

// Tracer.dropped: what the last stop reported, read under the start lock that the stop
// writes it under. None before the first stop.
PyObject* tracer_get_dropped(PyObject* self, void*) {
    return boundary([&]() -> PyObject* {
        StartLock start_lock;
        if (!start_lock) return nullptr;
        std::optional<uint64_t> dropped = as_tracer(self)->data.dropped;
        start_lock.unlock();
        if (!dropped) Py_RETURN_NONE;
        return PyLong_FromUnsignedLongLong(*dropped);
    });
}

PyGetSetDef TRACER_GETSET[] = {
    {"dropped", tracer_get_dropped, nullptr,
     "Events the last run lost because they were recorded faster than the trace was\n"
     "written (0 when it kept every event, always 0 with lossless=True); None until the\n"
     "first run has stopped.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot TRACER_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(tracer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tracer_dealloc)},
    {Py_tp_methods, TRACER_METHODS},
    {Py_tp_getset, TRACER_GETSET},
    {Py_tp_doc,
     const_cast<char*>("Tracer(output, format=None, lossless=False, process_name=None, "
                       "gc=False, *, include=(), exclude=(), exclude_stdlib=False, "
                       "exclude_site_packages=False, c_calls=False, min_duration=0, "
                       "max_depth=256, ring=0, exceptions=False, args=(), returns=(), "
                       "args_repr=False)\n--\n\n"
                       "Trace every Python function start, return, yield, resume,\n"
                       "unwind and throw, on every thread, while the `with` block\n"
                       "runs; write them to `output` (a path) as \"protobuf\" or\n"
                       "\"json\"; by default JSON when the name ends in .json, else\n"
                       "protobuf. With lossless=True a thread that records faster\n"
                       "than the trace is written waits instead of dropping events.\n"
                       "include and exclude take module names (pkg, pkg.*) and\n"
                       "path globs (with a /); excluded code costs nothing after its\n"
                       "first call. c_calls=True records calls of C functions too.\n"
                       "With exceptions=True each exception raised is an instant named\n"
                       "after its type, with its message, and the slices it unwinds\n"
                       "carry its type.\n"
                       "args and returns take patterns as include does: the calls\n"
                       "of matching code record their arguments and return values,\n"
                       "described without running the program's code; args_repr=True\n"
                       "describes other objects by their repr().\n"
                       "process_name names the process in the trace (by default\n"
                       "after its script or module). With gc=True each garbage\n"
                       "collection is a slice \"gc\".\n"
                       "Slices shorter than min_duration seconds, and slices deeper\n"
                       "than max_depth (0: no limit), are left out; the trace counts\n"
                       "what was left out.\n"
                       "With ring=BYTES nothing is written while the block runs: the\n"
                       "newest events are kept in memory, that many bytes at most, and\n"
                       "written by vespra.dump(), SIGURG, and at the block's end.\n"
                       "The environment variable VESPRA_CLOCK (auto, tsc, monotonic)\n"
                       "chooses the timestamp source.")},
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

}  // namespace vespra::tracer
