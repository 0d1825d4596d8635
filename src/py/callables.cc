#include "py/callables.h"

#include <optional>
#include <string>

#include "py/host.h"

namespace vespra::callables {

PythonSlots PYTHON_SLOTS;

namespace {

using host::Ref;

constexpr const char* PROBE =
    "class Probe:\n"
    "    def __new__(cls): return object.__new__(cls)\n"
    "    def __init__(self): pass\n"
    "    def __call__(self): pass\n";

std::optional<std::string> text_of(Ref value) {
    if (!value || !PyUnicode_Check(value.get())) return std::nullopt;
    return host::utf8(value.get());
}

// The module a C function is implemented in, and the name users import it by.
struct Module {
    std::string real;
    std::string shown;  // empty for builtins
};

Module module_named(std::string real) {
    std::string shown = real;
    if (real == "builtins") {
        shown.clear();
    } else if (real == "posix" || real == "nt") {
        shown = "os";  // os re-exports the platform's module whole
    } else if (real.size() > 1 && real[0] == '_') {
        Ref name = host::str(std::string_view(real).substr(1));
        Ref public_module = name ? Ref::steal(PyImport_GetModule(name.get())) : Ref();
        if (public_module) shown = real.substr(1);
    }
    return {std::move(real), std::move(shown)};
}

// The file the filter judges a module by: its __file__, or "<built-in>" for a module compiled
// into the interpreter; empty when the module is not imported.
std::string module_file(const std::string& module) {
    Ref name = host::str(module);
    Ref loaded = name ? Ref::steal(PyImport_GetModule(name.get())) : Ref();
    if (!loaded) return "";
    return text_of(host::getattr(loaded.get(), "__file__")).value_or("<built-in>");
}

struct Named {
    std::string module;
    std::string qualname;
};

Named type_name(PyTypeObject* type) {
    return {text_of(Ref::steal(PyType_GetModuleName(type))).value_or(""),
            text_of(Ref::steal(PyType_GetQualName(type))).value_or(type->tp_name)};
}

// The first type along `type`'s method resolution order whose method table holds `def`; `type`
// itself when none does (a method added some other way).
PyTypeObject* defining_type(PyTypeObject* type, const PyMethodDef* def) {
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro && PyTuple_Check(mro) && i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        for (const PyMethodDef* m = base->tp_methods; m && m->ml_name; ++m) {
            if (m == def) return base;
        }
    }
    return type;
}

// The name and the object the interner keeps, by kind of callable (see key_of).
Named name_of(PyObject* callable, PyObject** keep) {
    PyTypeObject* type = Py_TYPE(callable);
    if (type == &PyMethodDescr_Type || type == &PyClassMethodDescr_Type ||
        type == &PyWrapperDescr_Type) {
        auto* descr = reinterpret_cast<PyDescrObject*>(callable);
        Named owner = type_name(descr->d_type);
        *keep = Py_NewRef(callable);
        std::string method = text_of(Ref::borrow(descr->d_name)).value_or("?");
        return {owner.module, owner.qualname + "." + method};
    }
    if (PyCFunction_Check(callable)) {
        auto* function = reinterpret_cast<PyCFunctionObject*>(callable);
        std::string method = function->m_ml->ml_name;
        PyObject* self = function->m_self;
        if (self == nullptr || PyModule_Check(self)) {
            // A module's function: what defines its name lives as long as the function object.
            *keep = Py_NewRef(callable);
            return {text_of(host::getattr(callable, "__module__")).value_or(""), method};
        }
        // Bound to an instance (or a class, for a class method): named by the type that defines
        // the method, which is kept instead of the bound object so the instance is not kept
        // alive. The key is the method's definition, shared by every subclass: the first call
        // through a subclass's instance must not name (and judge) list.append as Items.append.
        PyTypeObject* owner = defining_type(
            PyType_Check(self) ? reinterpret_cast<PyTypeObject*>(self) : Py_TYPE(self),
            function->m_ml);
        *keep = Py_NewRef(reinterpret_cast<PyObject*>(owner));
        Named named = type_name(owner);
        return {named.module, named.qualname + "." + method};
    }
    PyTypeObject* named = PyType_Check(callable) ? reinterpret_cast<PyTypeObject*>(callable) : type;
    *keep = Py_NewRef(reinterpret_cast<PyObject*>(named));
    return type_name(named);
}

}  // namespace

bool prepare() {
    if (PYTHON_SLOTS.init) return true;
    Ref globals = Ref::steal(PyDict_New());
    if (!globals) return false;
    Ref builtins = host::import("builtins");
    if (!builtins || PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) < 0) {
        return false;
    }
    Ref done = Ref::steal(PyRun_String(PROBE, Py_file_input, globals.get(), globals.get()));
    if (!done) return false;
    PyObject* probe = PyDict_GetItemString(globals.get(), "Probe");  // borrowed
    if (!probe || !PyType_Check(probe)) {
        PyErr_SetString(PyExc_RuntimeError, "vespra: the probe class was not made");
        return false;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(probe);
    PYTHON_SLOTS = {type->tp_init, type->tp_new, type->tp_call};
    return true;
}

monitoring::Sighting describe(const State& state, PyObject* callable, PyObject*) {
    monitoring::Sighting sighting;
    Named named = name_of(callable, &sighting.keep);
    Module module = module_named(std::move(named.module));
    CodeInfo info;
    info.name = module.shown.empty() ? named.qualname : module.shown + "." + named.qualname;
    bool ours = module.real == "vespra" || module.real.starts_with("vespra.");
    bool kept = !ours;
    if (kept && state.filter.active()) {
        kept = state.filter.keeps(module.real, module_file(module.real), module.shown);
    }
    PyErr_Clear();
    if (kept) sighting.info = std::move(info);
    return sighting;
}

}  // namespace vespra::callables
