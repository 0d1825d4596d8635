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

void Interner::alias(uint64_t key, PyObject* str, uint32_t id) {
    std::unique_lock lock(mutex_);
    if (!ids_.emplace(key, id).second) {
        lock.unlock();
        Py_DECREF(str);  // aliased by another thread meanwhile
        return;
    }
    aliased_.push_back(str);
}

State::State(std::shared_ptr<EventQueue> q, Filter f, bool c, bool e)
    : queue(std::move(q)),
      queue_raw(queue.get()),
      queue_id(queue->id()),
      clock(queue->clock()),
      filter(std::move(f)),
      c_calls(c),
      exceptions(e) {}

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

namespace {

std::optional<std::string> dict_str(PyObject* dict, const char* key) {
    PyObject* value = nullptr;
    if (PyDict_GetItemStringRef(dict, key, &value) <= 0) return std::nullopt;
    host::Ref held = host::Ref::steal(value);
    return PyUnicode_Check(value) ? host::utf8(value) : std::nullopt;
}

// The name of the module whose globals these are: its spec's name, which is the real one also
// for a module run as __main__ with `-m`; else __name__ ("__main__" for a script).
std::string module_name(PyObject* globals) {
    PyObject* spec = nullptr;
    if (PyDict_GetItemStringRef(globals, "__spec__", &spec) > 0) {
        host::Ref held = host::Ref::steal(spec);
        host::Ref name = spec != Py_None ? host::getattr(spec, "name") : host::Ref();
        if (name && PyUnicode_Check(name.get())) {
            if (std::optional<std::string> text = host::utf8(name.get())) return *text;
        }
    }
    return dict_str(globals, "__name__").value_or("");
}

// The globals of the frame running `code` when it is the current frame, as it is for every
// event but a thread's first (whose outer frames are resolved with their own globals).
host::Ref current_globals(PyObject* code) {
    PyFrameObject* frame = PyThreadState_GetFrame(PyThreadState_Get());
    if (!frame) return {};
    host::Ref held = host::Ref::steal(reinterpret_cast<PyObject*>(frame));
    host::Ref frame_code = host::Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    if (frame_code.get() != code) return {};
    return host::Ref::steal(PyFrame_GetGlobals(frame));
}

}  // namespace

CodePlace code_place(PyObject* code, std::string file, PyObject* globals) {
    host::Ref current;
    if (!globals) {
        current = current_globals(code);
        globals = current.get();
    }
    bool dict = globals && PyDict_Check(globals);
    std::string module = dict ? module_name(globals) : "";
    // Code made by exec or compile ("<string>") belongs where its globals' module lies.
    if (dict && (file.empty() || (file[0] == '<' && !file.starts_with("<frozen ")))) {
        file = dict_str(globals, "__file__").value_or(file);
    }
    PyErr_Clear();
    return {std::move(module), std::move(file)};
}

Sighting describe_code(const State& state, PyObject* code, PyObject* globals) {
    Sighting sighting{read_code_info(code), Py_NewRef(code)};
    if (!state.filter.active()) return sighting;
    CodePlace place = code_place(code, sighting.info->file, globals);
    if (!state.filter.keeps(place.module, place.file)) sighting.info.reset();
    return sighting;
}

void settle_thread(State& state, Hot& hot, ColdInFlight& in_flight) {
    // First resolution of this thread in this run: whatever the caches hold belongs to an
    // earlier run (ids restart at 0 with every run).
    CodeSlot* codes = tls::codes();
    if (hot.resolved_queue != state.queue_id) {
        std::memset(codes, 0, sizeof(CodeSlot) * CODE_CACHE_SLOTS);
        hot.last_code = UINT64_MAX;
        hot.named = false;
        hot.name_tries = NAME_TRIES;
        hot.resolved_queue = state.queue_id;
    }
    if (hot.tid == UINT32_MAX) hot.tid = current_os_thread_id();
    if (hot.name_tries > 0 && !hot.named) {
        --hot.name_tries;
        in_flight.arm();
        host::PreservedError keep;
        hot.named = state.threads.ensure(hot.tid);
    }
}

std::optional<uint32_t> resolve_cold(State& state, PyObject* obj, uint64_t key, Hot& hot,
                                     ColdInFlight& in_flight, Describe describe,
                                     PyObject* globals) {
    settle_thread(state, hot, in_flight);
    CodeSlot* codes = hot.codes;
    // What the filter left out sits in the thread's cache under its key with the low bit set
    // (keys are addresses of aligned objects): the recording path's probe, which compares the
    // key, never takes it for an id, and the next event of it is answered here without a lock.
    uint32_t id;
    CodeSlot* slot = key != 0 ? &codes[code_slot_index(key)] : nullptr;
    if (slot && slot->addr == key) {
        id = slot->id;
    } else if (slot && slot->addr == (key | 1)) {
        return LEFT_OUT;
    } else {
        std::optional<uint32_t> found = state.interner.find(key);
        if (!found) {
            Sighting sighting;
            in_flight.arm();
            {
                host::PreservedError keep;
                sighting = describe(state, obj, globals);
            }
            PyObject* unused = nullptr;
            found = state.interner.insert(key, sighting.keep, std::move(sighting.info), &unused);
            Py_XDECREF(unused);
            if (!found) return std::nullopt;  // full: this event is not recorded
        }
        id = *found;
        if (id == LEFT_OUT) {
            if (slot) *slot = CodeSlot{key | 1, 0, 0};
            return LEFT_OUT;
        }
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
