#include "py/intern.h"

#include <unistd.h>

#include <cstring>
#include <mutex>
#include <random>

#include "py/host.h"

#if defined(__APPLE__)
#include <pthread.h>
#endif

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

std::optional<uint32_t> Interner::insert(uint64_t key, PyObject* code, CodeInfo info,
                                         PyObject** unused) {
    std::unique_lock lock(mutex_);
    if (auto it = ids_.find(key); it != ids_.end()) {
        *unused = code;  // another thread interned it meanwhile
        return it->second;
    }
    if (infos_.size() >= CAPACITY) {
        *unused = code;
        return std::nullopt;
    }
    auto id = static_cast<uint32_t>(infos_.size());
    infos_.push_back(std::move(info));
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

void Interner::alias(uint64_t key, PyObject* str, uint32_t id) {
    std::unique_lock lock(mutex_);
    if (!ids_.emplace(key, id).second) {
        lock.unlock();
        Py_DECREF(str);  // aliased by another thread meanwhile
        return;
    }
    aliased_.push_back(str);
}

State::State(std::shared_ptr<EventQueue> q)
    : queue(std::move(q)), queue_raw(queue.get()), queue_id(queue->id()), clock(queue->clock()) {}

namespace monitoring {

uint32_t current_os_thread_id() {
#if defined(__APPLE__)
    uint64_t id = 0;
    pthread_threadid_np(nullptr, &id);
    return static_cast<uint32_t>(id);
#else
    return static_cast<uint32_t>(gettid());
#endif
}

CodeInfo read_code_info(PyObject* code) {
    CodeInfo info;
    auto text = [code](const char* attr) -> std::optional<std::string> {
        host::Ref value = host::getattr(code, attr);
        std::optional<std::string> out = value ? host::utf8(value.get()) : std::nullopt;
        if (!out) PyErr_Clear();
        return out;
    };
    info.name = text("co_qualname").value_or("<unknown>");
    info.file = text("co_filename").value_or("");
    host::Ref line = host::getattr(code, "co_firstlineno");
    std::optional<long long> number =
        line ? host::integer_in(line.get(), 0, UINT32_MAX) : std::nullopt;
    if (!number) PyErr_Clear();
    info.line = static_cast<uint32_t>(number.value_or(0));
    return info;
}

void settle_thread(State& state, Hot& hot, ColdInFlight& in_flight) {
    // First resolution of this thread in this run: whatever the caches hold belongs to an
    // earlier run (ids restart at 0 with every run).
    CodeSlot* codes = tls::codes();
    if (hot.queue_id != state.queue_id) {
        std::memset(codes, 0, sizeof(CodeSlot) * CODE_CACHE_SLOTS);
        hot.last_code = UINT64_MAX;
        hot.named = false;
        hot.name_tries = NAME_TRIES;
    }
    if (hot.tid == UINT32_MAX) hot.tid = current_os_thread_id();
    if (hot.name_tries > 0 && !hot.named) {
        --hot.name_tries;
        in_flight.arm();
        host::PreservedError keep;
        hot.named = state.threads.ensure(hot.tid);
    }
}

std::optional<uint32_t> resolve_cold(State& state, PyObject* code, uint64_t key, Hot& hot,
                                     ColdInFlight& in_flight) {
    settle_thread(state, hot, in_flight);
    CodeSlot* codes = hot.codes;
    uint32_t id;
    CodeSlot* slot = key != 0 ? &codes[code_slot_index(key)] : nullptr;
    if (slot && slot->addr == key) {
        id = slot->id;
    } else {
        std::optional<uint32_t> found = state.interner.find(key);
        if (!found) {
            CodeInfo info;
            in_flight.arm();
            {
                host::PreservedError keep;
                info = read_code_info(code);
            }
            Py_INCREF(code);
            PyObject* unused = nullptr;
            found = state.interner.insert(key, code, std::move(info), &unused);
            Py_XDECREF(unused);
            if (!found) return std::nullopt;  // full: this event is not recorded
        }
        id = *found;
        if (slot) *slot = CodeSlot{key, id, 0};
    }

    hot.last_id = id;
    // Keep the one-entry cache disarmed while the thread's name is unknown and attempts remain,
    // so that the next events come back here and try again.
    hot.last_code = (hot.named || hot.name_tries == 0) ? key : UINT64_MAX;
    return id;
}

std::optional<uint32_t> mark_name_id(State& state, PyObject* name, Hot& hot) {
    auto key = reinterpret_cast<uint64_t>(name);
    bool stable = PyUnicode_CHECK_INTERNED(name) != 0;
    CodeSlot* slot = stable ? &hot.codes[code_slot_index(key)] : nullptr;
    if (slot && slot->addr == key) return slot->id;
    std::optional<uint32_t> id = stable ? state.interner.find(key) : std::nullopt;
    if (!id) {
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(name, &len);
        if (!text) return std::nullopt;
        id = state.interner.name_id(std::string_view(text, static_cast<size_t>(len)));
        if (!id) return std::nullopt;
        if (stable) state.interner.alias(key, Py_NewRef(name), *id);
    }
    if (slot) *slot = CodeSlot{key, *id, 0};
    return id;
}

}  // namespace monitoring
}  // namespace vespra
