#include "py/interner.h"

#include <mutex>
#include <random>

#include "py/host.h"

namespace vespra {

namespace {

uint64_t random_seed() {
    std::random_device device;
    return (uint64_t{device()} << 32) ^ device();
}

// Runs on a thread attached to the interpreter, called back through Py_AddPendingCall.
int release_references(void* arg) {
    auto* refs = static_cast<std::vector<PyObject*>*>(arg);
    for (PyObject* obj : *refs) Py_XDECREF(obj);
    delete refs;
    return 0;
}

}  // namespace

Interner::Interner() : ids_(0, SeededAddressHash{random_seed()}) {}

Interner::~Interner() {
    keep_.insert(keep_.end(), aliased_.begin(), aliased_.end());
    keep_.insert(keep_.end(), left_out_.begin(), left_out_.end());
    if (keep_.empty()) return;
    if (host::attached()) {
        for (PyObject* obj : keep_) Py_XDECREF(obj);
        return;
    }
    // A thread without a thread state must not release Python objects: a code object's
    // deallocation runs interpreter code. The run's owners arrange for the last reference to go
    // on an attached thread (the stop sequence joins the exporter before letting go of its own);
    // this is the safety net. Py_AddPendingCall needs no thread state. When its queue is full
    // the references are leaked, which is harmless next to releasing them unattached.
    auto* refs = new std::vector<PyObject*>(std::move(keep_));
    if (Py_AddPendingCall(release_references, refs) != 0) delete refs;
}

std::optional<uint32_t> Interner::find(uint64_t key) const {
    std::shared_lock lock(mutex_);
    auto it = ids_.find(key);
    if (it == ids_.end()) return std::nullopt;
    return it->second;
}

std::optional<CodeInfo> Interner::info(uint32_t id) const {
    std::shared_lock lock(mutex_);
    if (id >= infos_.size()) return std::nullopt;
    return infos_[id];
}

size_t Interner::size() const {
    std::shared_lock lock(mutex_);
    return infos_.size();
}

size_t Interner::left_out() const {
    std::shared_lock lock(mutex_);
    return left_out_.size();
}

std::optional<uint32_t> Interner::insert(uint64_t key, PyObject* code, std::optional<CodeInfo> info,
                                         PyObject** unused) {
    std::unique_lock lock(mutex_);
    if (auto it = ids_.find(key); it != ids_.end()) {
        *unused = code;  // another thread interned it meanwhile
        return it->second;
    }
    if (!info) {
        left_out_.push_back(code);
        ids_.emplace(key, LEFT_OUT);
        *unused = nullptr;
        return LEFT_OUT;
    }
    if (infos_.size() >= CAPACITY) {
        *unused = code;
        return std::nullopt;
    }
    auto id = static_cast<uint32_t>(infos_.size());
    infos_.push_back(std::move(*info));
    keep_.push_back(code);
    ids_.emplace(key, id);
    *unused = nullptr;
    return id;
}

std::optional<uint32_t> Interner::name_id(std::string_view name) {
    std::string key(name);
    {
        std::shared_lock lock(mutex_);
        if (auto it = names_.find(key); it != names_.end()) return it->second;
    }
    std::unique_lock lock(mutex_);
    if (auto it = names_.find(key); it != names_.end()) return it->second;
    if (infos_.size() >= CAPACITY) return std::nullopt;
    auto id = static_cast<uint32_t>(infos_.size());
    infos_.push_back(CodeInfo{key, "", 0, true});
    keep_.push_back(nullptr);
    names_.emplace(std::move(key), id);
    return id;
}

std::optional<uint32_t> Interner::task_id(std::string name) {
    std::unique_lock lock(mutex_);
    if (infos_.size() >= CAPACITY) return std::nullopt;
    auto id = static_cast<uint32_t>(infos_.size());
    infos_.push_back(CodeInfo{std::move(name), "", 0, true});
    keep_.push_back(nullptr);
    return id;
}

void Interner::alias(uint64_t key, PyObject* str, uint32_t id) {
    std::unique_lock lock(mutex_);
    if (!ids_.emplace(key, id).second) {
        lock.unlock();
        Py_DECREF(str);  // aliased by another thread meanwhile
        return;
    }
    aliased_.push_back(str);
}

}  // namespace vespra
