#include "py/exceptions.h"

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <string_view>

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
    for (PyObject* left_out : {PyExc_StopIteration, PyExc_StopAsyncIteration, PyExc_GeneratorExit}) {
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

}  // namespace vespra::exceptions
