// C functions as a run with C calls records them: which callables of a CALL event are C code,
// what identifies one for the interner, and the name users know it by.
//
// A CALL event comes for every call, Python functions included; those are recorded by their own
// PY_START, so only callables whose call runs no Python code of their own become slices:
// built-in functions and methods, method descriptors, and types and objects whose construction
// or call is C code. Bound methods and C functions are created anew by many attribute reads, so
// the interner's key is the long-lived object behind them: the method definition of a built-in
// function or bound built-in method, the descriptor itself, the type.
#pragma once

#include <Python.h>

#include <cstdint>

#include "py/resolve.h"

namespace vespra::callables {

// The slots that a class statement gives a type whose __init__, __new__ or __call__ is written
// in Python (read once from a probe class; null before prepare()).
struct PythonSlots {
    initproc init = nullptr;
    newfunc new_ = nullptr;
    ternaryfunc call = nullptr;
};
extern PythonSlots PYTHON_SLOTS;

// Reads PYTHON_SLOTS, once per process. Attached. False with an exception set.
bool prepare();

// The interner's key for a C callable; 0 for a callable whose work is Python code (a function,
// a bound method, a class or object whose __init__, __new__ or __call__ is Python). Cheap: a
// few type compares, no reference taken. Keys are addresses of aligned objects (low bit 0).
inline uint64_t key_of(PyObject* callable) {
    PyTypeObject* type = Py_TYPE(callable);
    if (type == &PyFunction_Type || type == &PyMethod_Type) return 0;
    if (type == &PyMethodDescr_Type || type == &PyClassMethodDescr_Type ||
        type == &PyWrapperDescr_Type) {
        return reinterpret_cast<uint64_t>(callable);
    }
    if (PyCFunction_Check(callable)) {
        return reinterpret_cast<uint64_t>(reinterpret_cast<PyCFunctionObject*>(callable)->m_ml);
    }
    if (PyType_Check(callable)) {
        auto* made = reinterpret_cast<PyTypeObject*>(callable);
        if (made->tp_init == PYTHON_SLOTS.init || made->tp_new == PYTHON_SLOTS.new_ ||
            type->tp_call == PYTHON_SLOTS.call) {
            return 0;
        }
        return reinterpret_cast<uint64_t>(callable);
    }
    if (type->tp_call == PYTHON_SLOTS.call) return 0;
    return reinterpret_cast<uint64_t>(type);
}

// The first sighting of a C callable (a Describe of resolve.h): named `module.Type.method` or
// `module.function` from its type's or its own __module__ and __qualname__, with the public
// module where the implementation lives in a private one (`_socket` -> `socket`, `posix` ->
// `os`) and no module for builtins (`len`, `list.append`). The filter judges it by both module
// names and by its module's file (none: compiled into the interpreter, the standard library).
// vespra's own callables are always left out.
monitoring::Sighting describe(const State& state, PyObject* callable, PyObject* globals);

}  // namespace vespra::callables
