// Every call into the interpreter that the extension makes goes through the helpers here: an
// owning reference, imports, attribute access, method calls, text conversion, saving and
// restoring the raised exception, and detaching around blocking waits.
//
// Contract: every function here is called on a thread attached to the interpreter, except
// `Ref`'s destructor on an empty Ref. Functions returning an empty Ref or false leave a Python
// exception set; nothing here throws a C++ exception except std::bad_alloc.
#pragma once

#include <Python.h>

#include <cerrno>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/io_error.h"
#include "py/pyapi.h"

namespace vespra::host {

// An owned (strong) reference, released on destruction. Empty means "an exception is set" when
// returned by the helpers below.
class Ref {
  public:
    Ref() = default;
    static Ref steal(PyObject* obj) { return Ref(obj); }
    static Ref borrow(PyObject* obj) {
        Py_XINCREF(obj);
        return Ref(obj);
    }
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) reset(std::exchange(other.obj_, nullptr));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const { return obj_; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(obj_, nullptr); }
    void reset(PyObject* obj = nullptr) { Py_XDECREF(std::exchange(obj_, obj)); }
    explicit operator bool() const { return obj_ != nullptr; }

  private:
    explicit Ref(PyObject* obj) : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// `import name`, through the interpreter's import machinery (so sys.modules and import hooks
// apply).
inline Ref import(const char* name) {
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text) return {};
    return Ref::steal(PyImport_Import(text.get()));
}

inline Ref getattr(PyObject* obj, const char* name) {
    return Ref::steal(PyObject_GetAttrString(obj, name));
}

// obj.name(*args)
inline Ref call_method(PyObject* obj, const char* name, std::initializer_list<PyObject*> args) {
    Ref method_name = Ref::steal(PyUnicode_FromString(name));
    if (!method_name) return {};
    // Vectorcall wants the receiver in slot 0 of the argument array.
    PyObject* stack[8];
    size_t n = 0;
    stack[n++] = obj;
    for (PyObject* arg : args) {
        if (n == std::size(stack)) {
            PyErr_SetString(PyExc_SystemError, "too many arguments");
            return {};
        }
        stack[n++] = arg;
    }
    return Ref::steal(PyObject_VectorcallMethod(method_name.get(), stack,
                                                n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*args)
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
    PyObject* stack[8];
    size_t n = 0;
    for (PyObject* arg : args) {
        if (n == std::size(stack)) {
            PyErr_SetString(PyExc_SystemError, "too many arguments");
            return {};
        }
        stack[n++] = arg;
    }
    return Ref::steal(PyObject_Vectorcall(callable, stack, n, nullptr));
}

inline Ref str(std::string_view text) {
    return Ref::steal(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

inline Ref u64(uint64_t value) { return Ref::steal(PyLong_FromUnsignedLongLong(value)); }

// The UTF-8 bytes of a str; none (with an exception set) for anything else, or for a str that
// cannot be encoded (lone surrogates).
inline std::optional<std::string> utf8(PyObject* obj) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "expected str, not %.100s", Py_TYPE(obj)->tp_name);
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!data) return std::nullopt;
    return std::string(data, static_cast<size_t>(size));
}

// An integer in [lo, hi]; none with an exception set otherwise (OverflowError when out of range).
inline std::optional<long long> integer_in(PyObject* obj, long long lo, long long hi) {
    long long value = PyLong_AsLongLong(obj);
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    if (value < lo || value > hi) {
        PyErr_Format(PyExc_OverflowError, "%lld is out of range [%lld, %lld]", value, lo, hi);
        return std::nullopt;
    }
    return value;
}

// Holds the exception that was raised when it was created and puts it back on destruction,
// discarding any exception raised in between. Used where the recording path runs Python code
// on behalf of a thread that may be in the middle of handling its own exception.
class PreservedError {
  public:
    PreservedError() : saved_(PyErr_GetRaisedException()) {}
    ~PreservedError() {
        PyErr_Clear();
        PyErr_SetRaisedException(saved_);  // steals; a null pointer leaves no exception set
    }
    PreservedError(const PreservedError&) = delete;
    PreservedError& operator=(const PreservedError&) = delete;

  private:
    PyObject* saved_;
};

// The currently raised exception, taken out of the thread so that more Python calls can be
// made, and raised again with `restore` (or dropped with the object).
class TakenError {
  public:
    TakenError() = default;
    static TakenError take() { return TakenError(PyErr_GetRaisedException()); }
    TakenError(TakenError&& other) noexcept : exc_(std::exchange(other.exc_, nullptr)) {}
    TakenError& operator=(TakenError&& other) noexcept {
        std::swap(exc_, other.exc_);
        return *this;
    }
    ~TakenError() { Py_XDECREF(exc_); }
    explicit operator bool() const { return exc_ != nullptr; }
    PyObject* get() const { return exc_; }  // borrowed
    // Raises the taken exception again (in place of any other).
    void restore() { PyErr_SetRaisedException(std::exchange(exc_, nullptr)); }

  private:
    explicit TakenError(PyObject* exc) : exc_(exc) {}
    PyObject* exc_ = nullptr;
};

// Raises the error about the file `filename` (the path as the program gave it) the way open()
// would: an OS error becomes the OSError subclass of its errno (FileNotFoundError,
// IsADirectoryError, PermissionError, ...) with `errno`, `strerror` and `filename` set; any
// other failure an OSError whose text names the file. Returns nullptr so that callers can
// `return raise_io_error(e, filename);`.
inline PyObject* raise_io_error(const IoError& error, PyObject* filename) {
    if (error.kind() == IoError::Kind::Os) {
        errno = error.os_errno();
        return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    }
    if (error.kind() == IoError::Kind::InUse) {
        // OSError(EBUSY, message, filename): the message stands where the OS's would.
        PyObject* args = Py_BuildValue("(isO)", error.os_errno(), error.text().c_str(), filename);
        if (args) PyErr_SetObject(PyExc_OSError, args);
        Py_XDECREF(args);
        return nullptr;
    }
    PyErr_Format(PyExc_OSError, "%s: %R", error.text().c_str(), filename);
    return nullptr;
}

// Runs the body of a Python entry point: any C++ exception that reaches it becomes a Python
// exception there.
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

// Detaches the calling thread from the interpreter for the lifetime of the object: while
// detached the thread must not touch any Python object. Stop-the-world pauses and other
// threads' Python code proceed meanwhile (on the build with a GIL, the GIL is released).
class Detached {
  public:
    Detached() : state_(PyEval_SaveThread()) {}
    ~Detached() { PyEval_RestoreThread(state_); }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

  private:
    PyThreadState* state_;
};

// True when the calling thread is attached to the interpreter (holds a thread state).
inline bool attached() { return PyThreadState_GetUnchecked() != nullptr; }

}  // namespace vespra::host
