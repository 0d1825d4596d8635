#include "py/values.h"

#include <cstdio>
#include <string_view>
#include <utility>

#include "core/event.h"
#include "py/host.h"

namespace vespra::values {

namespace {

using host::Ref;
using marks_api::MarkArg;
using marks_api::MarkValue;

// What cut text ends with: "…".
constexpr std::string_view CUT = "\xE2\x80\xA6";

// The names of the attributes read of other objects and of the return value's argument, made
// once (prepare()) before a run with values registers its callbacks, and kept for the process's
// lifetime. Read by every recording thread.
std::atomic<PyObject*> SHAPE{nullptr};
std::atomic<PyObject*> DTYPE{nullptr};
std::atomic<PyObject*> RETURN{nullptr};

MarkValue text_value(std::string text) {
    MarkValue v;
    v.scalar.tag = marks::TAG_STRING;
    v.text = std::move(text);
    return v;
}

// The UTF-8 of a str (its characters are read, no method called), lone surrogates escaped.
std::string utf8_of(PyObject* text) {
    Py_ssize_t len = 0;
    if (const char* bytes = PyUnicode_AsUTF8AndSize(text, &len)) {
        return std::string(bytes, static_cast<size_t>(len));
    }
    PyErr_Clear();
    Ref encoded = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
    if (!encoded) {
        PyErr_Clear();
        return {};
    }
    return std::string(PyBytes_AS_STRING(encoded.get()),
                       static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
}

// `text` cut to at most `max` bytes on a character's boundary, CUT appended when cut.
std::string cut_utf8(std::string text, size_t max) {
    if (text.size() <= max) return text;
    size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    text.resize(n);
    return text.append(CUT);
}

// A str (of any subclass) cut to MAX_CHARS characters.
std::string cut_str(PyObject* text) {
    if (PyUnicode_GET_LENGTH(text) <= static_cast<Py_ssize_t>(MAX_CHARS)) return utf8_of(text);
    Ref head = Ref::steal(PyUnicode_Substring(text, 0, MAX_CHARS));
    if (!head) {
        PyErr_Clear();
        return std::string(CUT);
    }
    return utf8_of(head.get()).append(CUT);
}

// bytes as Python writes them (b'a\x00'), cut to MAX_CHARS bytes.
std::string cut_bytes(PyObject* bytes) {
    std::string_view data(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
    std::string out = "b'";
    for (unsigned char c : data.substr(0, MAX_CHARS)) {
        if (c == '\\' || c == '\'') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out.append(escaped);
        }
    }
    out.push_back('\'');
    if (data.size() > MAX_CHARS) out.append(CUT);
    return out;
}

// The type's name as a traceback shows it: qualified, with its module unless it is builtins or
// __main__.
std::string type_name(PyTypeObject* type) {
    Ref name = Ref::steal(PyType_GetFullyQualifiedName(type));
    if (!name) {
        PyErr_Clear();
        return type->tp_name;
    }
    return utf8_of(name.get());
}

// The length of a tuple, list, dict, set or frozenset (of any subclass: the object's own count is
// read, no __len__ called); -1 for anything else.
Py_ssize_t container_length(PyObject* v) {
    if (PyTuple_Check(v)) return PyTuple_GET_SIZE(v);
    if (PyList_Check(v)) return PyList_GET_SIZE(v);
    if (PyDict_Check(v)) return PyDict_GET_SIZE(v);
    if (PyAnySet_Check(v)) return PySet_GET_SIZE(v);
    return -1;
}

// `name` in the dictionaries of the type's MRO, as attribute lookup finds it, without running the
// metaclass's code (the type's own fields are read).
Ref type_attribute(PyTypeObject* type, PyObject* name) {
    Ref mro = Ref::borrow(type->tp_mro);
    if (!mro || !PyTuple_Check(mro.get())) return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro.get(), i);
        if (!PyType_Check(base)) continue;
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
        PyObject* found = nullptr;
        if (dict && PyDict_GetItemRef(dict.get(), name, &found) > 0) return Ref::steal(found);
        PyErr_Clear();
    }
    return {};
}

// The attribute `name` of `obj` where reading it runs none of the program's code: a getter or
// a slot written in C (numpy's ndarray.shape), a value in the instance's __dict__, a plain value
// of its class. A property, or any other descriptor, is code of the program: not read.
Ref plain_attribute(PyObject* obj, PyObject* name) {
    PyTypeObject* type = Py_TYPE(obj);
    Ref found = type_attribute(type, name);
    PyTypeObject* kind = found ? Py_TYPE(found.get()) : nullptr;
    if (kind == &PyGetSetDescr_Type || kind == &PyMemberDescr_Type) {
        Ref value = Ref::steal(kind->tp_descr_get(found.get(), obj, reinterpret_cast<PyObject*>(type)));
        if (!value) PyErr_Clear();
        return value;
    }
    if (kind && kind->tp_descr_get && kind->tp_descr_set) return {};  // a property: code
    // The __dict__ of an instance of a class of the program's (a class's own namespace, or a C
    // type's dictionary slot, is no instance's: left alone).
    bool has_dict = type->tp_dictoffset != 0 || (type->tp_flags & Py_TPFLAGS_MANAGED_DICT);
    if (has_dict && (type->tp_flags & Py_TPFLAGS_HEAPTYPE) && !PyType_Check(obj)) {
        Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
        PyObject* value = nullptr;
        if (dict && PyDict_Check(dict.get()) && PyDict_GetItemRef(dict.get(), name, &value) > 0) {
            return Ref::steal(value);
        }
        PyErr_Clear();
    }
    if (kind && !kind->tp_descr_get) return found;
    return {};
}

std::string int_text(PyObject* v) {
    int overflow = 0;
    long long i = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow == 0 && !PyErr_Occurred()) return std::to_string(i);
    PyErr_Clear();
    return "int";
}

// A shape or a dtype, short: a str, an int, a tuple of ints; else its type's name.
std::string attribute_text(PyObject* v) {
    if (PyUnicode_Check(v)) return cut_str(v);
    if (PyLong_CheckExact(v)) return int_text(v);
    if (PyTuple_Check(v)) {
        std::string out = "(";
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); ++i) {
            PyObject* item = PyTuple_GET_ITEM(v, i);
            out.append(i ? ", " : "");
            out.append(PyLong_CheckExact(item) ? int_text(item) : type_name(Py_TYPE(item)));
        }
        return out.append(PyTuple_GET_SIZE(v) == 1 ? ",)" : ")");
    }
    return type_name(Py_TYPE(v));
}

// The type's name, then `shape=...` and `dtype=...` when the object has them (plain_attribute).
std::string object_text(PyObject* v) {
    std::string out = type_name(Py_TYPE(v));
    for (auto [key, label] : {std::pair{SHAPE.load(std::memory_order_acquire), " shape="},
                              std::pair{DTYPE.load(std::memory_order_acquire), " dtype="}}) {
        if (Ref value = key ? plain_attribute(v, key) : Ref()) {
            out.append(label).append(attribute_text(value.get()));
        }
    }
    return out;
}

// repr(v) cut to MAX_REPR bytes, or "<repr raised T>" with the type of what it raised.
std::string repr_text(PyObject* v) {
    Ref text = Ref::steal(PyObject_Repr(v));
    if (text) return cut_utf8(utf8_of(text.get()), MAX_REPR);
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    return "<repr raised " + (raised ? type_name(Py_TYPE(raised.get())) : std::string("?")) + ">";
}

}  // namespace

bool prepare() {
    for (auto [name, text] : {std::pair{&SHAPE, "shape"}, std::pair{&DTYPE, "dtype"},
                              std::pair{&RETURN, "return"}}) {
        if (name->load(std::memory_order_acquire)) continue;
        PyObject* made = PyUnicode_InternFromString(text);
        if (!made) return false;
        name->store(made, std::memory_order_release);
    }
    return true;
}

PyObject* return_key() { return RETURN.load(std::memory_order_acquire); }

ValueOptions resolve(const ValueOptions& options, const Filter::Places& places) {
    return {Filter(FilterOptions{options.args, {}, false, false}, places).options().include,
            Filter(FilterOptions{options.returns, {}, false, false}, places).options().include,
            options.repr};
}

Matcher::Matcher(const ValueOptions& options)
    : args_(FilterOptions{options.args, {}, false, false}, {}),
      returns_(FilterOptions{options.returns, {}, false, false}, {}),
      any_args_(!options.args.empty()),
      any_returns_(!options.returns.empty()),
      repr_(options.repr),
      chunks_(new std::atomic<std::atomic<uint8_t>*>[MAX_CODE_IDS / CHUNK]()) {}

Matcher::~Matcher() {
    for (uint32_t i = 0; i < MAX_CODE_IDS / CHUNK; ++i) delete[] chunks_[i].load();
}

uint8_t Matcher::decide(uint32_t id, std::string_view module, std::string_view file) {
    uint8_t flags = KNOWN;
    if (any_args_ && args_.keeps(module, file)) flags |= ARGS;
    if (any_returns_ && returns_.keeps(module, file)) flags |= RETURNS;
    std::atomic<std::atomic<uint8_t>*>& slot = chunks_[id / CHUNK];
    std::atomic<uint8_t>* chunk = slot.load(std::memory_order_acquire);
    if (!chunk) {
        auto* fresh = new std::atomic<uint8_t>[CHUNK]();
        if (slot.compare_exchange_strong(chunk, fresh, std::memory_order_acq_rel)) {
            chunk = fresh;
        } else {
            delete[] fresh;  // another thread's chunk is in place: `chunk` holds it
        }
    }
    chunk[id % CHUNK].store(flags, std::memory_order_relaxed);
    return flags;
}

MarkValue describe(PyObject* v, bool repr) {
    MarkValue out;
    int overflow = 0;
    if (marks_api::scalar_of(v, true, out, overflow)) return out;
    if (overflow != 0) {
        // Beyond 64 bits: its size, which tells more than a cut run of digits.
        Ref bits = Ref::steal(PyObject_CallMethod(v, "bit_length", nullptr));
        size_t n = bits ? PyLong_AsSize_t(bits.get()) : 0;
        PyErr_Clear();
        return text_value((overflow < 0 ? "negative int of " : "int of ") + std::to_string(n) +
                          " bits");
    }
    if (PyUnicode_CheckExact(v)) return text_value(cut_str(v));
    if (PyBytes_CheckExact(v)) return text_value(cut_bytes(v));
    if (Py_ssize_t length = container_length(v); length >= 0) {
        return text_value(type_name(Py_TYPE(v)) + " of " + std::to_string(length));
    }
    return text_value(repr ? repr_text(v) : object_text(v));
}

std::vector<MarkArg> arguments(PyObject* code, bool repr) {
    std::vector<MarkArg> out;
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(PyThreadState_GetFrame(PyThreadState_Get())));
    if (!frame) return out;
    auto* f = reinterpret_cast<PyFrameObject*>(frame.get());
    if (Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(f))).get() != code) return out;
    auto* co = reinterpret_cast<PyCodeObject*>(code);
    Py_ssize_t count = co->co_argcount + co->co_kwonlyargcount +
                       ((co->co_flags & CO_VARARGS) ? 1 : 0) +
                       ((co->co_flags & CO_VARKEYWORDS) ? 1 : 0);
    if (count == 0) return out;
    // co_varnames begins with the parameters, in this order.
    Ref names = Ref::steal(PyCode_GetVarnames(co));
    if (!names || !PyTuple_Check(names.get()) || PyTuple_GET_SIZE(names.get()) < count) {
        PyErr_Clear();
        return out;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyTuple_GET_ITEM(names.get(), i);
        Ref value = Ref::steal(PyFrame_GetVar(f, name));
        if (!value) {
            PyErr_Clear();  // deleted before the start: nothing to show
            continue;
        }
        out.push_back({Ref::borrow(name), describe(value.get(), repr)});
    }
    return out;
}

}  // namespace vespra::values
