#include "py/resolve.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/evqueue.h"
#include "py/host.h"
#include "py/tasks.h"

#if defined(__APPLE__)
#include <pthread.h>
#endif

namespace vespra {

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
    } else if (slot && slot->addr == (key | tasks::COROUTINE_TAG)) {
        return slot->id;  // never armed in the one-entry cache
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
        if (tasks::is_step_coroutine(obj)) {
            if (slot) *slot = CodeSlot{key | tasks::COROUTINE_TAG, id, 0};
            return id;
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

namespace {

// A frame open on the calling thread: its code object and globals (what the filter asks).
struct OpenFrame {
    host::Ref code;
    host::Ref globals;
};

// The frames open on the calling thread, outermost first, without the launcher's frames of the
// run (see State) and without the innermost frame when it is the one of `code` and the event
// begins it (`code` is null for an event of a C function, which begins no frame). Attached.
// Materialising the frame objects allocates, and so can run the collector: the caller has armed
// `in_flight`.
std::vector<OpenFrame> open_frames(const State& state, PyObject* code, uint8_t kind) {
    std::vector<OpenFrame> codes;
    PyFrameObject* frame = PyThreadState_GetFrame(PyThreadState_Get());
    while (frame) {
        codes.push_back({host::Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame))),
                         host::Ref::steal(PyFrame_GetGlobals(frame))});
        PyFrameObject* back = PyFrame_GetBack(frame);
        Py_DECREF(frame);
        frame = back;
    }
    bool begins_here = kind == KIND_START || kind == KIND_RESUME || kind == KIND_THROW;
    if (!codes.empty() && begins_here && codes.front().code.get() == code) {
        codes.erase(codes.begin());
    }
    std::reverse(codes.begin(), codes.end());
    if (state.launcher_frames != 0 && state.launcher_thread == PyThread_get_thread_ident()) {
        codes.erase(codes.begin(),
                    codes.begin() + std::min<size_t>(state.launcher_frames, codes.size()));
    }
    return codes;
}

}  // namespace

void record_open_frames(State& state, PyObject* code, Hot& hot, uint8_t kind,
                        ColdInFlight& in_flight) {
    in_flight.arm();
    host::PreservedError keep;
    for (const OpenFrame& frame : open_frames(state, code, kind)) {
        auto frame_key = reinterpret_cast<uint64_t>(frame.code.get());
        std::optional<uint32_t> id = resolve_cold(state, frame.code.get(), frame_key, hot,
                                                  in_flight, describe_code, frame.globals.get());
        if (id && *id != LEFT_OUT) {
            record(*state.queue_raw, state.clock.origin(), pack_word(KIND_START, *id));
        }
    }
}

[[noreturn]] void fatal(const char* what) {
    std::fprintf(stderr, "vespra: fatal error in a monitoring callback: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

}  // namespace monitoring
}  // namespace vespra
