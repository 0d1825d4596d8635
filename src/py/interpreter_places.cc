#include "py/interpreter_places.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "py/host.h"

namespace vespra {

namespace {

using host::Ref;

// A directory as the filter compares it, and the same with its links resolved (a code object's
// file may name either).
void add_place(PyObject* os_path, PyObject* dir, std::vector<std::string>* out) {
    if (!dir || !PyUnicode_Check(dir)) return;
    Ref real = host::call_method(os_path, "realpath", {dir});
    for (PyObject* form : {dir, real.get()}) {
        if (!form || !PyUnicode_Check(form)) continue;
        std::optional<std::string> text = host::utf8(form);
        if (!text) continue;
        while (text->size() > 1 && text->back() == '/') text->pop_back();
        if (!text->empty()) out->push_back(std::move(*text));
    }
    PyErr_Clear();
}

}  // namespace

Filter::Places interpreter_places() {
    Filter::Places places;
    Ref os = host::import("os");
    Ref os_path = os ? host::getattr(os.get(), "path") : Ref();
    if (!os_path) {
        PyErr_Clear();
        return places;
    }
    Ref cwd = host::call_method(os.get(), "getcwd", {});
    if (cwd) places.cwd = host::utf8(cwd.get()).value_or("");
    PyErr_Clear();
    Ref tilde = host::str("~");
    Ref home = tilde ? host::call_method(os_path.get(), "expanduser", {tilde.get()}) : Ref();
    if (home) places.home = host::utf8(home.get()).value_or("");
    PyErr_Clear();
    Ref sysconfig = host::import("sysconfig");
    Ref paths = sysconfig ? host::call_method(sysconfig.get(), "get_paths", {}) : Ref();
    if (paths && PyDict_Check(paths.get())) {
        for (const char* key : {"stdlib", "platstdlib"})
            add_place(os_path.get(), PyDict_GetItemString(paths.get(), key), &places.stdlib);
        for (const char* key : {"purelib", "platlib"})
            add_place(os_path.get(), PyDict_GetItemString(paths.get(), key), &places.site);
    }
    PyErr_Clear();
    Ref site = host::import("site");
    Ref global = site ? host::call_method(site.get(), "getsitepackages", {}) : Ref();
    Ref items = global ? Ref::steal(PySequence_Tuple(global.get())) : Ref();
    for (Py_ssize_t i = 0; items && i < PyTuple_GET_SIZE(items.get()); ++i)
        add_place(os_path.get(), PyTuple_GET_ITEM(items.get(), i), &places.site);
    PyErr_Clear();
    Ref user = site ? host::call_method(site.get(), "getusersitepackages", {}) : Ref();
    add_place(os_path.get(), user.get(), &places.site);
    PyErr_Clear();
    return places;
}

}  // namespace vespra
