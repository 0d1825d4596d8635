#include "py/threads.h"

#include <Python.h>

#include <algorithm>
#include <mutex>

#include "py/host.h"

namespace vespra {

namespace {

// The calling thread's threading.Thread, without creating one: threading.current_thread() would
// make and register a _DummyThread for a thread the threading module did not start, and one made
// inside a monitoring callback outlives its thread -- it stays in threading.enumerate() and
// complains at exit. Its name would be "Dummy-N", which is refused anyway. So look the thread up
// in threading's own table of threads, and fall back to current_thread() only where that table
// is missing. None (no error set) for a thread the table does not know.
host::Ref current_thread_object(PyObject* threading) {
    host::Ref active = host::getattr(threading, "_active");
    if (!active || !PyDict_Check(active.get())) {
        PyErr_Clear();
        return host::call_method(threading, "current_thread", {});
    }
    host::Ref ident = host::call_method(threading, "get_ident", {});
    if (!ident) return {};
    PyObject* thread = nullptr;
    if (PyDict_GetItemRef(active.get(), ident.get(), &thread) <= 0) return {};
    return host::Ref::steal(thread);
}

// The calling thread's threading name as UTF-8, or none (with the Python error cleared).
std::optional<std::string> current_thread_name() {
    host::Ref threading = host::import("threading");
    host::Ref thread = threading ? current_thread_object(threading.get()) : host::Ref();
    host::Ref name = thread ? host::getattr(thread.get(), "name") : host::Ref();
    std::optional<std::string> text = name ? host::utf8(name.get()) : std::nullopt;
    if (!text) PyErr_Clear();
    return text;
}

}  // namespace

bool is_placeholder_thread_name(const std::string& name) {
    return name.empty() || name.starts_with("Dummy-");
}

bool ThreadRegistry::ensure(uint32_t tid) {
    {
        std::shared_lock lock(mutex_);
        if (names_.contains(tid)) return true;
    }
    // No lock here: this runs Python code, during which the interpreter may pause this thread.
    std::optional<std::string> name = current_thread_name();
    if (!name || is_placeholder_thread_name(*name)) return false;
    insert(tid, std::move(*name));
    return true;
}

bool ThreadRegistry::insert(uint32_t tid, std::string name) {
    std::unique_lock lock(mutex_);
    return names_.try_emplace(tid, std::move(name)).second;
}

std::optional<std::string> ThreadRegistry::name(uint32_t tid) const {
    std::shared_lock lock(mutex_);
    auto it = names_.find(tid);
    if (it == names_.end()) return std::nullopt;
    return it->second;
}

std::vector<std::pair<uint32_t, std::string>> ThreadRegistry::snapshot() const {
    std::vector<std::pair<uint32_t, std::string>> out;
    {
        std::shared_lock lock(mutex_);
        out.assign(names_.begin(), names_.end());
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    return out;
}

}  // namespace vespra
