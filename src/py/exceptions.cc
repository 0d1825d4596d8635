#include "py/exceptions.h"

#include <algorithm>
#include <initializer_list>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/event.h"
#include "core/evqueue.h"
#include "core/tls.h"
#include "py/described.h"
#include "py/marks.h"
#include "py/resolve.h"

namespace vespra::exceptions {

namespace {

using host::Ref;

// A value whose str() and repr() are the interpreter's own code.
bool plain(PyObject* v) {
    return v == nullptr || v == Py_None || PyUnicode_CheckExact(v) || PyLong_CheckExact(v) ||
           PyFloat_CheckExact(v) || PyBool_Check(v) || PyBytes_CheckExact(v);
}

bool all_plain(std::initializer_list<PyObject*> values) {
    for (PyObject* v : values)
        if (!plain(v)) return false;
    return true;
}

// Whether the type's __str__ is the one of the nearest type the interpreter defines (a class of
// the program that does not define __str__ inherits that slot unchanged).
bool builtin_str(PyTypeObject* type) {
    PyTypeObject* base = type;
    while (base && (base->tp_flags & Py_TPFLAGS_HEAPTYPE)) base = base->tp_base;
    return base && type->tp_str == base->tp_str;
}

// The fields the interpreter's __str__ of some exception types formats beside the arguments.
bool fields_plain(PyObject* exc) {
    if (PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(PyExc_OSError))) {
        auto* e = reinterpret_cast<PyOSErrorObject*>(exc);
        return all_plain({e->myerrno, e->strerror, e->filename, e->filename2});
    }
    if (PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(PyExc_SyntaxError))) {
        auto* e = reinterpret_cast<PySyntaxErrorObject*>(exc);
        return all_plain({e->msg, e->filename, e->lineno});
    }
    if (PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(PyExc_ImportError))) {
        return plain(reinterpret_cast<PyImportErrorObject*>(exc)->msg);
    }
    if (PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(PyExc_UnicodeError))) {
        auto* e = reinterpret_cast<PyUnicodeErrorObject*>(exc);
        return all_plain({e->encoding, e->object, e->reason});
    }
    return true;
}

// The UTF-8 of a str (of any subclass: its characters are read, no method called), lone
// surrogates escaped; cut to MAX_MESSAGE bytes.
std::string utf8_cut(PyObject* text) {
    std::string out;
    Py_ssize_t len = 0;
    if (const char* bytes = PyUnicode_AsUTF8AndSize(text, &len)) {
        // One byte past the limit tells whether the cut falls inside a character.
        out.assign(bytes, std::min(static_cast<size_t>(len), MAX_MESSAGE + 1));
    } else {
        PyErr_Clear();
        Ref encoded = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
        if (!encoded) {
            PyErr_Clear();
            return out;
        }
        out.assign(PyBytes_AS_STRING(encoded.get()),
                   static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
    }
    if (out.size() > MAX_MESSAGE) {
        size_t n = MAX_MESSAGE;
        while (n > 0 && (static_cast<unsigned char>(out[n]) & 0xC0) == 0x80) --n;
        out.resize(n);
    }
    return out;
}

}  // namespace

bool recorded(PyObject* exc) {
    for (PyObject* left_out :
         {PyExc_StopIteration, PyExc_StopAsyncIteration, PyExc_GeneratorExit}) {
        if (PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(left_out))) return false;
    }
    return true;
}

bool raised_here(PyObject* exc) {
    Ref tb = Ref::steal(PyException_GetTraceback(exc));
    if (!tb || !PyTraceBack_Check(tb.get())) return true;
    auto* entry = reinterpret_cast<PyTracebackObject*>(tb.get());
    PyTracebackObject* next = entry->tb_next;
    if (!next) return true;
    if (next->tb_frame == entry->tb_frame) return true;  // caught and raised again in the frame
    Ref back = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(next->tb_frame)));
    return back.get() != reinterpret_cast<PyObject*>(entry->tb_frame);
}

Ref type_name(PyObject* exc) {
    Ref name = Ref::steal(PyType_GetFullyQualifiedName(Py_TYPE(exc)));
    if (!name) PyErr_Clear();
    return name;
}

std::string message(PyObject* exc) {
    Ref args = Ref::steal(PyException_GetArgs(exc));
    if (!args || !PyTuple_Check(args.get())) {
        PyErr_Clear();
        return {};
    }
    bool args_plain = true;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args.get()); ++i)
        args_plain = args_plain && plain(PyTuple_GET_ITEM(args.get(), i));
    if (args_plain && builtin_str(Py_TYPE(exc)) && fields_plain(exc)) {
        if (Ref text = Ref::steal(PyObject_Str(exc))) return utf8_cut(text.get());
        PyErr_Clear();  // out of memory, an int of too many digits: the first argument then
    }
    if (PyTuple_GET_SIZE(args.get()) > 0 && PyUnicode_Check(PyTuple_GET_ITEM(args.get(), 0))) {
        return utf8_cut(PyTuple_GET_ITEM(args.get(), 0));
    }
    return {};
}

namespace {

// The names of the arguments of an exception's instant and of the end of a slice it unwound.
PyObject* EXCEPTION_KEY = nullptr;
PyObject* MESSAGE_KEY = nullptr;

marks_api::MarkArg text_arg(PyObject* key, std::string text) {
    marks_api::MarkArg arg{host::Ref::borrow(key), {}};
    arg.value.scalar.tag = marks::TAG_STRING;
    arg.value.text = std::move(text);
    return arg;
}

// At a raise (`now` unused): an instant named after the exception's type, with its message.
// At an unwind: the end at `now` of the slice that `exc` unwound, carrying its type; a plain
// unwind when the type's name cannot be had. What the filter leaves out is not recorded, and its
// unwinds are counted as monitoring.cc's record_cold counts them.
void record_exception(State& state, PyObject* code, PyObject* exc, uint64_t now,
                      uint8_t kind) noexcept {
    try {
        Hot& hot = HOT;
        host::PreservedError keep;
        monitoring::ColdInFlight in_flight(state.cold_in_flight);
        std::optional<uint32_t> id = monitoring::resolve_described(state, code, hot, kind, in_flight);
        if (id == LEFT_OUT && kind == KIND_UNWIND) state.queue_raw->add_left_out(1);
        if (!id || *id == LEFT_OUT) return;
        host::Ref name = type_name(exc);
        if (kind == KIND_INSTANT) {
            marks_api::MarkArg said = text_arg(MESSAGE_KEY, message(exc));
            if (name) {
                marks_api::record_in_run(state, KIND_INSTANT, name.get(), std::span(&said, 1),
                                         nullptr);
            }
            return;
        }
        std::optional<std::string> text = name ? host::utf8(name.get()) : std::nullopt;
        std::vector<marks_api::MarkArg> type;
        if (text) type.push_back(text_arg(EXCEPTION_KEY, std::move(*text)));
        monitoring::record_with_values(state, hot, now, KIND_UNWIND, *id, type);
    } catch (const std::bad_alloc&) {
        state.queue_raw->add_dropped(1);  // as a function event's
    } catch (const std::exception& e) {
        monitoring::fatal(e.what());
    }
}

}  // namespace

bool prepare() {
    if (!EXCEPTION_KEY) EXCEPTION_KEY = PyUnicode_InternFromString("exception");
    if (!MESSAGE_KEY) MESSAGE_KEY = PyUnicode_InternFromString("message");
    return EXCEPTION_KEY && MESSAGE_KEY;
}

void record_raise(State& state, PyObject* code, PyObject* exc) noexcept {
    if (monitoring::describing() || !recorded(exc) || !raised_here(exc)) return;
    monitoring::Describing describing;
    record_exception(state, code, exc, 0, KIND_INSTANT);
}

bool record_unwind(State& state, PyObject* code, PyObject* exc) noexcept {
    if (monitoring::describing() || !recorded(exc)) return false;
    uint64_t now = state.clock.raw();
    monitoring::Describing describing;
    record_exception(state, code, exc, now, KIND_UNWIND);
    return true;
}

}  // namespace vespra::exceptions
