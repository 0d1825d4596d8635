#include "py/process_names.h"

#include <atomic>
#include <optional>
#include <utility>
#include <vector>

#include "core/process_name.h"
#include "py/host.h"

namespace vespra::naming {
namespace {

using host::Ref;

// Both inherited across a fork with the rest of memory, as what they stand for is: the name,
// and the callback in multiprocessing's registry.
std::atomic<bool> NAMED{false};
std::atomic<bool> FOLLOWING{false};

constexpr const char* MP_UTIL = "multiprocessing.util";
constexpr const char* MP_PROCESS = "multiprocessing.process";
constexpr const char* SPAWNED_MARK = "--multiprocessing-fork";  // argv[1] of a spawned worker

// UTF-8 of a str; a lone surrogate (an undecodable byte of a file name) comes out escaped, so
// that the trace's strings stay valid UTF-8.
std::optional<std::string> text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) return std::nullopt;
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(obj, "utf-8", "backslashreplace"));
    if (!bytes) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(PyBytes_AS_STRING(bytes.get()),
                       static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

// The str items of sys.<attr> (argv, orig_argv), or none when it is not a list.
std::optional<std::vector<std::string>> sys_words(const char* attr) {
    Ref sys = host::import("sys");
    Ref list = sys ? host::getattr(sys.get(), attr) : Ref();
    if (!list || !PyList_Check(list.get())) {
        PyErr_Clear();
        return std::nullopt;
    }
    Ref items = Ref::steal(PySequence_Tuple(list.get()));
    if (!items) {
        PyErr_Clear();
        return std::nullopt;
    }
    std::vector<std::string> words;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        words.push_back(text(PyTuple_GET_ITEM(items.get(), i)).value_or(""));
    }
    return words;
}

// sys.modules[name], or nothing (without an exception) when it is not loaded.
Ref loaded(const char* name) {
    Ref key = host::str(name);
    return key ? Ref::steal(PyImport_GetModule(key.get())) : Ref();
}

void set(std::string name) {
    process_name::set(
        ProcessName{std::move(name), sys_words("orig_argv").value_or(std::vector<std::string>{})});
}

// Names the process after its multiprocessing Process, when it is one of multiprocessing's
// children; false when it is not. Reads the module's globals and the Process's own attribute
// rather than calling multiprocessing's functions and properties: runs no Python code, so it
// adds nothing to the trace and may run in a process dying of SIGTERM.
bool name_worker() {
    Ref process = loaded(MP_PROCESS);
    Ref parent = process ? host::getattr(process.get(), "_parent_process") : Ref();
    Ref current = parent && parent.get() != Py_None
                      ? host::getattr(process.get(), "_current_process")
                      : Ref();
    Ref worker = current ? host::getattr(current.get(), "_name") : Ref();
    std::optional<std::string> name = worker ? text(worker.get()) : std::nullopt;
    PyErr_Clear();
    if (!name) return false;
    NAMED.store(true);
    set(std::move(*name));
    return true;
}

// What the interpreter runs, from its arguments and __main__.
std::string what_runs() {
    std::vector<std::string> argv = sys_words("argv").value_or(std::vector<std::string>{});
    std::string first = argv.empty() ? "" : argv[0];
    if (first == "-c") return "python -c";
    if (first == "-m") {
        // While the interpreter starts, `-m` stands in argv for the module, whose name is the
        // word of the full command line at the same distance from its end ("-mNAME" or NAME).
        std::vector<std::string> all = sys_words("orig_argv").value_or(std::vector<std::string>{});
        if (all.size() >= argv.size()) {
            std::string module = all[all.size() - argv.size()];
            if (module.starts_with("-m")) module.erase(0, 2);
            if (!module.empty()) return module;
        }
        return "python -m";
    }
    // Once runpy runs a module, argv[0] is its file; __main__.__spec__ still names the module.
    if (Ref main = loaded("__main__")) {
        Ref spec = host::getattr(main.get(), "__spec__");
        Ref spec_name = spec && spec.get() != Py_None ? host::getattr(spec.get(), "name") : Ref();
        PyErr_Clear();
        if (std::optional<std::string> module = spec_name ? text(spec_name.get()) : std::nullopt) {
            constexpr std::string_view PACKAGE_MAIN = ".__main__";
            if (module->ends_with(PACKAGE_MAIN))
                module->resize(module->size() - PACKAGE_MAIN.size());
            if (!module->empty()) return *module;
        }
    }
    PyErr_Clear();
    std::string file = file_name(first);
    return file.empty() ? "python" : file;
}

// multiprocessing's after-fork callback: f(obj), with this module as obj. Runs in the worker's
// bootstrap, once its Process is the current one. Never raises: multiprocessing would only log
// it.
PyObject* named_by_multiprocessing(PyObject*, PyObject*) {
    return host::boundary([]() -> PyObject* {
        name_worker();
        Py_RETURN_NONE;
    });
}

PyMethodDef NAMING_DEFS[] = {
    {"_named_by_multiprocessing", named_by_multiprocessing, METH_O,
     "_named_by_multiprocessing($module, obj, /)\n--\n\n"
     "Name this process after its multiprocessing Process (an after-fork callback)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

std::string file_name(std::string_view path) {
    size_t slash = path.find_last_of('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

void name(PyObject* what, bool is_path) {
    std::string name = text(what).value_or("");
    if (is_path) name = file_name(name);
    NAMED.store(true);
    set(name.empty() ? "python" : std::move(name));
}

void name_by_default() {
    if (NAMED.load() || name_worker()) return;
    set(what_runs());
    PyErr_Clear();
}

void follow_multiprocessing() {
    if (FOLLOWING.load()) return;
    Ref util = loaded(MP_UTIL);
    if (!util && !PyErr_Occurred()) {
        std::vector<std::string> argv = sys_words("argv").value_or(std::vector<std::string>{});
        if (argv.size() < 2 || argv[1] != SPAWNED_MARK) return;
        util = host::import(MP_UTIL);
    }
    Ref core = util ? host::import("vespra._core") : Ref();
    Ref callback = core ? host::getattr(core.get(), "_named_by_multiprocessing") : Ref();
    if (callback &&
        host::call_method(util.get(), "register_after_fork", {core.get(), callback.get()})) {
        FOLLOWING.store(true);
    }
    PyErr_Clear();
}

void settle() {
    if (!NAMED.load() && FOLLOWING.load()) name_worker();
}

int add_naming_functions(PyObject* module) { return PyModule_AddFunctions(module, NAMING_DEFS); }

}  // namespace vespra::naming
