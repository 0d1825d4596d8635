#include "py/marks.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <new>
#include <span>

#include "core/event.h"
#include "core/evqueue.h"
#include "core/ring.h"
#include "py/host.h"
#include "py/resolve.h"

namespace vespra::marks_api {

namespace {

using host::Ref;

// A repr longer than this is cut: an argument is a label, not a dump of the object.
constexpr size_t MAX_REPR = 256;

// The run that records marks now, if any: the only work of a mark while none does.
inline State* marking() { return MARKING.load(std::memory_order_acquire); }

MarkValue repr_of(PyObject* value) {
    MarkValue v;
    v.scalar.tag = marks::TAG_STRING;
    Ref text = Ref::steal(PyObject_Repr(value));
    std::optional<std::string> utf8 = text ? host::utf8(text.get()) : std::nullopt;
    if (!utf8) {
        // An object whose repr fails still leaves a trace of what it was.
        PyErr_Clear();
        utf8 = std::string("<") + Py_TYPE(value)->tp_name + " object>";
    }
    if (utf8->size() > MAX_REPR) {
        size_t n = MAX_REPR;
        while (n > 0 && (static_cast<uint8_t>((*utf8)[n]) & 0xC0) == 0x80) --n;
        utf8->resize(n);
        *utf8 += "...";
    }
    v.text = std::move(*utf8);
    return v;
}

// An argument's value as the trace keeps it. May run Python code (a repr); never fails.
MarkValue convert(PyObject* value) {
    MarkValue v;
    int overflow = 0;
    if (scalar_of(value, false, v, overflow)) return v;
    if (PyUnicode_Check(value)) {
        Py_ssize_t len = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(value, &len)) {
            v.scalar.tag = marks::TAG_STRING;
            v.text.assign(text, static_cast<size_t>(len));
            return v;
        }
        PyErr_Clear();  // lone surrogates: the repr escapes them
    }
    return repr_of(value);
}

// Keyword arguments of a fast call, converted. False with an exception set.
bool convert_kwargs(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::vector<MarkArg>* out) {
    if (!kwnames) return true;
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    out->reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        out->push_back(
            MarkArg{Ref::borrow(PyTuple_GET_ITEM(kwnames, i)), convert(args[nargs + i])});
    }
    return true;
}

bool check_name(PyObject* name, const char* who) {
    if (PyUnicode_Check(name)) return true;
    PyErr_Format(PyExc_TypeError, "%s() name must be str, not %.100s", who, Py_TYPE(name)->tp_name);
    return false;
}

// Records a mark when a run records; the run is looked up again after the arguments' conversion,
// which may have run Python code (and so let a stop happen).
PyObject* record(uint8_t kind, PyObject* name, const std::vector<MarkArg>& args,
                 const MarkValue* value) {
    State* state = marking();
    if (!state) Py_RETURN_NONE;
    if (!record_in_run(*state, kind, name, args, value)) return nullptr;
    Py_RETURN_NONE;
}

// ---- instant and counter -----------------------------------------------------------------------

PyObject* instant(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "instant() takes one positional argument (%zd given)", nargs);
        return nullptr;
    }
    if (!check_name(args[0], "instant")) return nullptr;
    if (!marking()) Py_RETURN_NONE;
    return host::boundary([&]() -> PyObject* {
        std::vector<MarkArg> converted;
        convert_kwargs(args, nargs, kwnames, &converted);
        return record(KIND_INSTANT, args[0], converted, nullptr);
    });
}

PyObject* counter(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "counter() takes 2 positional arguments (%zd given)", nargs);
        return nullptr;
    }
    if (!check_name(args[0], "counter")) return nullptr;
    PyObject* value = args[1];
    bool number = (PyLong_Check(value) && !PyBool_Check(value)) || PyFloat_Check(value);
    if (!number) {
        PyErr_Format(PyExc_TypeError, "counter() value must be int or float, not %.100s",
                     Py_TYPE(value)->tp_name);
        return nullptr;
    }
    if (!marking()) Py_RETURN_NONE;
    return host::boundary([&]() -> PyObject* {
        MarkValue v;
        if (PyFloat_Check(value)) {
            v.scalar.tag = marks::TAG_DOUBLE;
            v.scalar.d = PyFloat_AS_DOUBLE(value);
        } else {
            v = convert(value);
            // Beyond 64 bits a counter is a float, as a line chart shows it anyway.
            if (v.scalar.tag == marks::TAG_STRING || v.scalar.tag == marks::TAG_UINT) {
                double d = PyLong_AsDouble(value);
                if (d == -1.0 && PyErr_Occurred()) return nullptr;  // OverflowError
                v = MarkValue{};
                v.scalar.tag = marks::TAG_DOUBLE;
                v.scalar.d = d;
            }
        }
        return record(KIND_COUNTER, args[0], {}, &v);
    });
}

// ---- span ------------------------------------------------------------------------------------

struct SpanObject {
    PyObject ob_base;
    PyObject* name;
    std::vector<MarkArg>* args;
    // dump_if_longer, in nanoseconds; 0 for none.
    uint64_t dump_if_longer;
};

// The spans with dump_if_longer open on this thread, innermost last, and when each began: one
// span object may be open on several threads at once (a decorated function).
thread_local std::vector<std::pair<SpanObject*, std::chrono::steady_clock::time_point>> TIMED;

// A span with dump_if_longer that ended late asks the ring of the run for a dump; the dump's
// thread writes it and says where it went.
void dump_if_late(SpanObject* span) {
    for (size_t i = TIMED.size(); i-- > 0;) {
        if (TIMED[i].first != span) continue;
        auto took = std::chrono::steady_clock::now() - TIMED[i].second;
        TIMED.erase(TIMED.begin() + static_cast<std::ptrdiff_t>(i));
        State* state = marking();
        if (state && state->ring && took > std::chrono::nanoseconds(span->dump_if_longer))
            state->ring->request(std::nullopt, true);
        return;
    }
}

PyTypeObject* SPAN_TYPE = nullptr;
PyTypeObject* SPAN_FUNCTION_TYPE = nullptr;
PyTypeObject* SPAN_COROUTINE_TYPE = nullptr;

PyObject* span_begin(SpanObject* span) {
    if (span->dump_if_longer != 0) TIMED.emplace_back(span, std::chrono::steady_clock::now());
    return host::boundary(
        [&] { return record(KIND_SPAN_BEGIN, span->name, *span->args, nullptr); });
}

PyObject* span_end(SpanObject* span) {
    if (!marking()) Py_RETURN_NONE;
    if (span->dump_if_longer != 0) dump_if_late(span);
    return host::boundary([&] { return record(KIND_SPAN_END, span->name, {}, nullptr); });
}

// dump_if_longer: seconds, an int or a float above 0. False with an exception set.
bool seconds_to_nanos(PyObject* value, uint64_t* nanos) {
    if (PyBool_Check(value) || !(PyLong_Check(value) || PyFloat_Check(value))) {
        PyErr_Format(PyExc_TypeError, "span() dump_if_longer must be seconds as int or float, not %.100s",
                     Py_TYPE(value)->tp_name);
        return false;
    }
    double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) return false;
    if (!(seconds > 0 && seconds < 1e9)) {
        PyErr_Format(PyExc_ValueError, "span() dump_if_longer must be a number of seconds above 0, not %R",
                     value);
        return false;
    }
    *nanos = std::max<uint64_t>(1, static_cast<uint64_t>(seconds * 1e9));
    return true;
}

PyObject* span_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* name;
    if (!PyArg_ParseTuple(args, "U:span", &name)) return nullptr;
    return host::boundary([&]() -> PyObject* {
        auto converted = std::make_unique<std::vector<MarkArg>>();
        uint64_t dump_if_longer = 0;
        if (kwargs) {
            PyObject* key;
            PyObject* value;
            Py_ssize_t pos = 0;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                if (PyUnicode_Check(key) &&
                    PyUnicode_CompareWithASCIIString(key, "dump_if_longer") == 0) {
                    if (!seconds_to_nanos(value, &dump_if_longer)) return nullptr;
                    continue;
                }
                converted->push_back(MarkArg{Ref::borrow(key), convert(value)});
            }
        }
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        auto* span = reinterpret_cast<SpanObject*>(self);
        span->name = Py_NewRef(name);
        span->args = converted.release();
        span->dump_if_longer = dump_if_longer;
        return self;
    });
}

void span_dealloc(PyObject* self) {
    auto* span = reinterpret_cast<SpanObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(span->name);
    delete span->args;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* span_enter(PyObject* self, PyObject*) {
    if (!marking()) return Py_NewRef(self);
    PyObject* done = span_begin(reinterpret_cast<SpanObject*>(self));
    if (!done) return nullptr;
    Py_DECREF(done);
    return Py_NewRef(self);
}

PyObject* span_exit(PyObject* self, PyObject* const*, Py_ssize_t) {
    PyObject* done = span_end(reinterpret_cast<SpanObject*>(self));
    if (!done) return nullptr;
    Py_DECREF(done);
    Py_RETURN_FALSE;
}

// A span's function: the span, the function and its vectorcall entry; a managed __dict__ takes
// what functools.update_wrapper copies.
struct SpanFunction {
    PyObject ob_base;
    PyObject* span;
    PyObject* function;
    vectorcallfunc vectorcall;
    // A coroutine function: its call only makes the coroutine, whose steps run in the span.
    bool coroutine;
};

PyObject* span_function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                                   PyObject* kwnames);

// span(...)(function): the function called inside the span; a coroutine function's coroutine
// runs each of its steps inside it.
PyObject* span_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* function;
    if (kwargs && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "a span decorates a function: span(...)(function)");
        return nullptr;
    }
    if (!PyArg_ParseTuple(args, "O:span", &function)) return nullptr;
    if (!PyCallable_Check(function)) {
        PyErr_Format(PyExc_TypeError, "a span decorates a callable, not %.100s",
                     Py_TYPE(function)->tp_name);
        return nullptr;
    }
    return host::boundary([&]() -> PyObject* {
        Ref inspect = host::import("inspect");
        Ref is_async =
            inspect ? host::call_method(inspect.get(), "iscoroutinefunction", {function}) : Ref();
        if (!is_async) return nullptr;
        PyObject* wrapper = PyType_GenericAlloc(SPAN_FUNCTION_TYPE, 0);
        if (!wrapper) return nullptr;
        Ref owned = Ref::steal(wrapper);
        auto* f = reinterpret_cast<SpanFunction*>(wrapper);
        f->span = Py_NewRef(self);
        f->function = Py_NewRef(function);
        f->vectorcall = span_function_vectorcall;
        f->coroutine = is_async.get() == Py_True;
        Ref functools = host::import("functools");
        if (!functools ||
            !host::call_method(functools.get(), "update_wrapper", {wrapper, function}))
            return nullptr;
        if (is_async.get() == Py_True &&
            !host::call_method(inspect.get(), "markcoroutinefunction", {wrapper}))
            return nullptr;
        return owned.release();
    });
}

PyMethodDef SPAN_METHODS[] = {
    {"__enter__", span_enter, METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(span_exit)),
     METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot SPAN_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(span_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(span_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(span_call)},
    {Py_tp_methods, SPAN_METHODS},
    {Py_tp_doc,
     const_cast<char*>("span(name, /, **args)\n--\n\n"
                       "A slice of the current thread named `name`, nested with the function\n"
                       "slices around and inside it, while a trace is recorded (else nothing).\n"
                       "Use it as a context manager, or as a decorator of a function or a\n"
                       "coroutine function. `args` (str, int, float, bool, None; other values\n"
                       "by their repr) are shown with the slice.")},
    {0, nullptr},
};

PyType_Spec SPAN_SPEC = {
    .name = "vespra._core.span",
    .basicsize = sizeof(SpanObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = SPAN_SLOTS,
};

// ---- the decorator's wrapper and its coroutine -----------------------------------------------

struct SpanCoroutine {
    PyObject ob_base;
    PyObject* span;
    PyObject* coroutine;
};

PyObject* new_span_coroutine(PyObject* span, PyObject* coroutine) {
    PyObject* self = PyType_GenericAlloc(SPAN_COROUTINE_TYPE, 0);
    if (!self) return nullptr;
    auto* c = reinterpret_cast<SpanCoroutine*>(self);
    c->span = Py_NewRef(span);
    c->coroutine = Py_NewRef(coroutine);
    return self;
}

// Around a call made inside a span (when `on`): the begin, and the end, which is recorded
// whatever the call left raised (an error of the end's own wins). False with an exception set.
bool step_begins(SpanObject* span, bool on) {
    if (!on) return true;
    PyObject* done = span_begin(span);
    Py_XDECREF(done);
    return done != nullptr;
}

bool step_ends(SpanObject* span, bool on) {
    if (!on) return true;
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* done = span_end(span);
    if (!done) {
        Py_XDECREF(exc);
        return false;
    }
    Py_DECREF(done);
    PyErr_SetRaisedException(exc);
    return true;
}

PyObject* span_function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                                   PyObject* kwnames) {
    auto* f = reinterpret_cast<SpanFunction*>(self);
    auto* span = reinterpret_cast<SpanObject*>(f->span);
    bool on = !f->coroutine && marking() != nullptr;
    if (!step_begins(span, on)) return nullptr;
    PyObject* result = PyObject_Vectorcall(f->function, args, nargsf, kwnames);
    if (!step_ends(span, on)) {
        Py_XDECREF(result);
        return nullptr;
    }
    if (f->coroutine && result && PyCoro_CheckExact(result)) {
        PyObject* wrapped = new_span_coroutine(f->span, result);
        Py_DECREF(result);
        return wrapped;
    }
    return result;
}

PyObject* span_function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return PyVectorcall_Call(self, args, kwargs);
}

PyObject* span_function_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int span_function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<SpanFunction*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->span);
    Py_VISIT(f->function);
    return PyObject_VisitManagedDict(self, visit, arg);
}

int span_function_clear(PyObject* self) {
    auto* f = reinterpret_cast<SpanFunction*>(self);
    Py_CLEAR(f->span);
    Py_CLEAR(f->function);
    PyObject_ClearManagedDict(self);
    return 0;
}

// The deallocation of a collected object whose references `clear` drops.
template <int (*clear)(PyObject*)>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef SPAN_FUNCTION_MEMBERS[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(SpanFunction, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef SPAN_FUNCTION_GETSET[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SPAN_FUNCTION_SLOTS[] = {
    {Py_tp_getset, SPAN_FUNCTION_GETSET},
    {Py_tp_call, reinterpret_cast<void*>(span_function_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(span_function_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(span_function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(span_function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<span_function_clear>)},
    {Py_tp_members, SPAN_FUNCTION_MEMBERS},
    {0, nullptr},
};

// Each step of the coroutine (a send, a throw) runs inside the span, so the span never stays
// open while the coroutine waits.
PySendResult span_coroutine_send(PyObject* self, PyObject* arg, PyObject** result) {
    auto* c = reinterpret_cast<SpanCoroutine*>(self);
    auto* span = reinterpret_cast<SpanObject*>(c->span);
    bool on = marking() != nullptr;
    *result = nullptr;
    if (!step_begins(span, on)) return PYGEN_ERROR;
    PySendResult r = PyIter_Send(c->coroutine, arg, result);
    if (!step_ends(span, on)) {
        Py_CLEAR(*result);
        return PYGEN_ERROR;
    }
    return r;
}

// The send protocol as a method or iterator step: a return becomes StopIteration.
PyObject* step_result(PySendResult r, PyObject* result) {
    if (r == PYGEN_RETURN && result != nullptr) {
        // An instance, so that a tuple is not taken for the exception's arguments.
        PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, result);
        Py_DECREF(result);
        if (stop) {
            PyErr_SetObject(PyExc_StopIteration, stop);
            Py_DECREF(stop);
        }
        return nullptr;
    }
    return result;
}

PyObject* span_coroutine_next(PyObject* self) {
    PyObject* result = nullptr;
    PySendResult r = span_coroutine_send(self, Py_None, &result);
    if (r == PYGEN_RETURN && result == Py_None) {
        Py_DECREF(result);
        return nullptr;  // exhausted, no value: no StopIteration needed
    }
    return step_result(r, result);
}

PyObject* span_coroutine_send_method(PyObject* self, PyObject* arg) {
    PyObject* result = nullptr;
    return step_result(span_coroutine_send(self, arg, &result), result);
}

PyObject* span_coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    auto* c = reinterpret_cast<SpanCoroutine*>(self);
    auto* span = reinterpret_cast<SpanObject*>(c->span);
    bool on = marking() != nullptr;
    if (!step_begins(span, on)) return nullptr;
    Ref method = host::getattr(c->coroutine, "throw");
    PyObject* result = method ? PyObject_Vectorcall(method.get(), args, nargs, nullptr) : nullptr;
    if (!step_ends(span, on)) {
        Py_XDECREF(result);
        return nullptr;
    }
    return result;
}

PyObject* span_coroutine_close(PyObject* self, PyObject*) {
    auto* c = reinterpret_cast<SpanCoroutine*>(self);
    return host::call_method(c->coroutine, "close", {}).release();
}

PyObject* span_coroutine_await(PyObject* self) { return Py_NewRef(self); }

int span_coroutine_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* c = reinterpret_cast<SpanCoroutine*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->span);
    Py_VISIT(c->coroutine);
    return 0;
}

int span_coroutine_clear(PyObject* self) {
    auto* c = reinterpret_cast<SpanCoroutine*>(self);
    Py_CLEAR(c->span);
    Py_CLEAR(c->coroutine);
    return 0;
}

PyMethodDef SPAN_COROUTINE_METHODS[] = {
    {"send", span_coroutine_send_method, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(span_coroutine_throw)),
     METH_FASTCALL, nullptr},
    {"close", span_coroutine_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot SPAN_COROUTINE_SLOTS[] = {
    {Py_am_await, reinterpret_cast<void*>(span_coroutine_await)},
    {Py_am_send, reinterpret_cast<void*>(span_coroutine_send)},
    {Py_tp_iter, reinterpret_cast<void*>(span_coroutine_await)},
    {Py_tp_iternext, reinterpret_cast<void*>(span_coroutine_next)},
    {Py_tp_methods, SPAN_COROUTINE_METHODS},
    {Py_tp_traverse, reinterpret_cast<void*>(span_coroutine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(span_coroutine_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<span_coroutine_clear>)},
    {0, nullptr},
};

PyType_Spec SPAN_FUNCTION_SPEC = {
    .name = "vespra._core.span_function",
    .basicsize = sizeof(SpanFunction),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = SPAN_FUNCTION_SLOTS,
};

PyType_Spec SPAN_COROUTINE_SPEC = {
    .name = "vespra._core.span_coroutine",
    .basicsize = sizeof(SpanCoroutine),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = SPAN_COROUTINE_SLOTS,
};

// ---- garbage collections ---------------------------------------------------------------------

PyObject* GC_NAME = nullptr;
PyObject* GC_CALLBACK = nullptr;

MarkArg info_arg(PyObject* info, const char* key) {
    MarkArg arg{Ref::steal(PyUnicode_InternFromString(key)), MarkValue{}};
    PyObject* value = PyDict_Check(info) ? PyDict_GetItemString(info, key) : nullptr;
    if (value) arg.value = convert(value);
    return arg;
}

// gc.callbacks call it with ("start" or "stop", info): the generation at the start, the counts
// at the stop (Perfetto and the JSON readers merge an end's arguments into its slice).
PyObject* gc_phase(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    State* state = marking();
    if (!state || nargs != 2 || !PyUnicode_Check(args[0])) Py_RETURN_NONE;
    return host::boundary([&]() -> PyObject* {
        std::vector<MarkArg> converted;
        bool start = PyUnicode_CompareWithASCIIString(args[0], "start") == 0;
        if (start) {
            converted.push_back(info_arg(args[1], "generation"));
        } else {
            converted.push_back(info_arg(args[1], "collected"));
            converted.push_back(info_arg(args[1], "uncollectable"));
        }
        for (const MarkArg& arg : converted)
            if (!arg.key) return nullptr;
        State* now = marking();
        if (!now) Py_RETURN_NONE;
        // A collection's callback must not raise: a name that cannot be recorded is dropped.
        if (!record_in_run(*now, start ? KIND_SPAN_BEGIN : KIND_SPAN_END, GC_NAME, converted,
                           nullptr))
            PyErr_Clear();
        Py_RETURN_NONE;
    });
}

PyMethodDef GC_CALLBACK_DEF = {
    "_gc_callback", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gc_phase)),
    METH_FASTCALL, "_gc_callback($module, phase, info, /)\n--\n\n"};

PyMethodDef MARK_METHODS[] = {
    {"instant", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(instant)),
     METH_FASTCALL | METH_KEYWORDS,
     "instant($module, name, /, **args)\n--\n\n"
     "A zero-length event named `name` on the current thread's track, while a\n"
     "trace is recorded (else nothing). `args` as for span."},
    {"counter", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(counter)), METH_FASTCALL,
     "counter($module, name, value, /)\n--\n\n"
     "A sample of the counter `name` (int or float) of this process, while a trace\n"
     "is recorded (else nothing): a line chart in the viewer."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* make_type(PyObject* module, PyType_Spec* spec) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, spec, nullptr));
}

}  // namespace

bool scalar_of(PyObject* value, bool exact, MarkValue& out, int& overflow) {
    overflow = 0;
    if (value == Py_None) return true;
    if (PyBool_Check(value)) {
        out.scalar.tag = value == Py_True ? marks::TAG_TRUE : marks::TAG_FALSE;
        return true;
    }
    if (exact ? PyLong_CheckExact(value) : PyLong_Check(value)) {
        long long i = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow == 0 && !(i == -1 && PyErr_Occurred())) {
            out.scalar.tag = marks::TAG_INT;
            out.scalar.i = i;
            return true;
        }
        PyErr_Clear();
        if (overflow > 0) {
            unsigned long long u = PyLong_AsUnsignedLongLong(value);
            if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
                out.scalar.tag = marks::TAG_UINT;
                out.scalar.u = u;
                return true;
            }
            PyErr_Clear();
        }
        if (overflow == 0) overflow = 1;  // an int all the same, whatever failed
        return false;
    }
    if (exact ? PyFloat_CheckExact(value) : PyFloat_Check(value)) {
        out.scalar.tag = marks::TAG_DOUBLE;
        out.scalar.d = PyFloat_AS_DOUBLE(value);
        return true;
    }
    return false;
}

std::atomic<State*> MARKING{nullptr};

std::string_view payload_of(State& state, Hot& hot, std::span<const MarkArg> args,
                            const MarkValue* value) {
    thread_local marks::PayloadBuilder payload;
    payload.clear();
    if (value) payload.value(value->view());
    for (const MarkArg& arg : args) {
        size_t text = arg.value.scalar.tag == marks::TAG_STRING ? arg.value.text.size() : 8;
        if (!payload.fits(std::min<size_t>(text, 64))) break;  // the rest would not fit
        std::optional<uint32_t> key = monitoring::mark_name_id(state, arg.key.get(), hot);
        if (!key) {
            if (PyErr_Occurred()) return {};
            continue;  // the interner is full: this argument is left out
        }
        payload.arg_name(*key);
        payload.value(arg.value.view());
    }
    return payload.empty() ? std::string_view() : payload.finish();
}

bool record_in_run(State& state, uint8_t kind, PyObject* name, std::span<const MarkArg> args,
                   const MarkValue* value) noexcept {
    if (state.abandoned()) return true;
    try {
        Hot& hot = HOT;
        monitoring::ColdInFlight in_flight(state.cold_in_flight);
        // The thread's first event of the run: the frames open below the mark begin first, as
        // they do before a function event (see monitoring.cc's record_cold).
        if (hot.resolved_queue != state.queue_id) {
            monitoring::record_open_frames(state, nullptr, hot, KIND_INSTANT, in_flight);
        }
        monitoring::settle_thread(state, hot, in_flight);
        std::optional<uint32_t> id = monitoring::mark_name_id(state, name, hot);
        if (!id) return !PyErr_Occurred();
        std::string_view bytes;
        if (value || !args.empty()) bytes = payload_of(state, hot, args, value);
        if (PyErr_Occurred()) return false;
        const PackedEvent* batch_end = hot.end;
        vespra::record_mark(*state.queue_raw, state.clock.raw(), pack_word(kind, *id), bytes,
                            state.cold_in_flight);
        if (hot.end != batch_end) state.resume_parked_export();  // a new batch
        return true;
    } catch (const std::bad_alloc&) {
        state.queue_raw->add_dropped(1);  // as a function event's
        return true;
    } catch (const std::exception& e) {
        monitoring::fatal(e.what());
    }
}

int add_marks(PyObject* module) {
    if (!SPAN_TYPE) {
        SPAN_TYPE = make_type(module, &SPAN_SPEC);
        SPAN_FUNCTION_TYPE = make_type(module, &SPAN_FUNCTION_SPEC);
        SPAN_COROUTINE_TYPE = make_type(module, &SPAN_COROUTINE_SPEC);
        if (!SPAN_TYPE || !SPAN_FUNCTION_TYPE || !SPAN_COROUTINE_TYPE) return -1;
        GC_NAME = PyUnicode_InternFromString("gc");
        GC_CALLBACK = PyCFunction_New(&GC_CALLBACK_DEF, nullptr);
        if (!GC_NAME || !GC_CALLBACK) return -1;
    }
    if (PyModule_AddObjectRef(module, "span", reinterpret_cast<PyObject*>(SPAN_TYPE)) < 0)
        return -1;
    if (PyModule_AddObjectRef(module, "_gc_callback", GC_CALLBACK) < 0) return -1;
    return PyModule_AddFunctions(module, MARK_METHODS);
}

bool watch_gc(bool on) {
    if (!GC_CALLBACK) return true;  // the module was never loaded: nothing to put or take
    Ref gc = host::import("gc");
    Ref callbacks = gc ? host::getattr(gc.get(), "callbacks") : Ref();
    if (!callbacks) return false;
    for (;;) {
        int present = PySequence_Contains(callbacks.get(), GC_CALLBACK);
        if (present < 0) return false;
        if (on) {
            return present || host::call_method(callbacks.get(), "append", {GC_CALLBACK});
        }
        if (!present) return true;
        if (!host::call_method(callbacks.get(), "remove", {GC_CALLBACK})) return false;
    }
}

}  // namespace vespra::marks_api
