#include "py/threads.h"

#include <Python.h>

#include <algorithm>
#include <mutex>

#include "py/host.h"

namespace vespra {

namespace {

// threading.current_thread().name as UTF-8, or none (with the Python error cleared).
std::optional<std::string> current_thread_name() {
    host::Ref threading = host::import("threading");
    host::Ref thread =
        threading ? host::call_method(threading.get(), "current_thread", {}) : host::Ref();
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
