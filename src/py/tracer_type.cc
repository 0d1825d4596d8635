// The Python class Tracer: checks its arguments and maps `with` onto the start and the stop.
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "py/host.h"
#include "py/tracer.h"

namespace vespra::tracer {
namespace {

using host::boundary;
using host::Ref;

// Tracer(output, format="protobuf", lossless=False): two str and a bool, positional or
// keyword.
constexpr int N_ARGS = 3;
bool parse_arguments(PyObject* args, PyObject* kwargs, PyObject* out[N_ARGS]) {
    static const char* const NAMES[N_ARGS] = {"output", "format", "lossless"};
    out[0] = out[1] = out[2] = nullptr;
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nargs + nkw > N_ARGS) {
        PyErr_Format(PyExc_TypeError, "Tracer() takes at most 3 arguments (%zd given)",
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
    if (!out[0]) {
        PyErr_SetString(PyExc_TypeError, "Tracer() missing required argument 'output' (pos 1)");
        return false;
    }
    for (int i = 0; i < 2; ++i) {  // output and format
        if (out[i] && !PyUnicode_Check(out[i])) {
            PyErr_Format(PyExc_TypeError, "Tracer() argument '%s' must be str, not %.100s",
                         NAMES[i], Py_TYPE(out[i])->tp_name);
            return false;
        }
    }
    if (out[2] && !PyBool_Check(out[2])) {
        PyErr_Format(PyExc_TypeError, "Tracer() argument 'lossless' must be bool, not %.100s",
                     Py_TYPE(out[2])->tp_name);
        return false;
    }
    return true;
}

PyObject* tracer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary([&]() -> PyObject* {
        PyObject* arg[N_ARGS];
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
        new (&as_tracer(self)->data) TracerData{
            Ref::borrow(arg[0]), std::move(output_path), *format, {}, nullptr, std::nullopt, 0, 0,
            arg[2] == Py_True};
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

PyType_Slot TRACER_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(tracer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tracer_dealloc)},
    {Py_tp_methods, TRACER_METHODS},
    {Py_tp_doc, const_cast<char*>("Tracer(output, format=..., lossless=False)\n--\n\n"
                                  "Trace every Python function start, return, yield, resume,\n"
                                  "unwind and throw, on every thread, while the `with` block\n"
                                  "runs; write them to `output` as \"protobuf\" (the default) or\n"
                                  "\"json\". With lossless=True a thread that records faster\n"
                                  "than the trace is written waits instead of dropping events.\n"
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
