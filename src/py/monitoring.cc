#include "py/monitoring.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iterator>
#include <new>
#include <span>
#include <thread>

#include "core/event.h"
#include "core/evqueue.h"
#include "core/tls.h"
#include "py/callables.h"
#include "py/described.h"
#include "py/exceptions.h"
#include "py/ft_lock.h"
#include "py/marks.h"
#include "py/pyapi.h"
#include "py/tasks.h"
#include "py/values.h"

namespace vespra::monitoring {

namespace {

// The `self` of every callback a run registers: one shared reference to the run's
// State. `state` is the same pointer, read by the recording path without touching the
// shared_ptr's control block.
struct CallbacksObject {
    PyObject ob_base;
    State* state;
    std::shared_ptr<State> owner;
};

void callbacks_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* obj = reinterpret_cast<CallbacksObject*>(self);
    obj->owner.~shared_ptr();  // may free the State: we are attached, as the interner needs
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot CALLBACKS_SLOTS[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(callbacks_dealloc)},
    {0, nullptr},
};

PyType_Spec CALLBACKS_SPEC = {
    .name = "vespra._core.Callbacks",
    .basicsize = sizeof(CallbacksObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = CALLBACKS_SLOTS,
};

// Created by the first enable() of the process and kept for its lifetime, as is DISABLE,
// sys.monitoring.DISABLE: what a callback returns to have the interpreter stop calling it for
// the location of its event.
DetachedMutex CALLBACKS_TYPE_LOCK;
PyObject* CALLBACKS_TYPE = nullptr;
PyObject* DISABLE = nullptr;
host::Ref new_callbacks(std::shared_ptr<State> state, PyObject* mon) {
    {
        DetachedLock lock(CALLBACKS_TYPE_LOCK);
        if (!CALLBACKS_TYPE) {
            CALLBACKS_TYPE = PyType_FromSpec(&CALLBACKS_SPEC);
            if (!CALLBACKS_TYPE) return {};
        }
        if (!DISABLE) {
            DISABLE = host::getattr(mon, "DISABLE").release();
            if (!DISABLE) return {};
        }
        if (state->c_calls && !callables::prepare()) return {};
        if (state->values && !values::prepare()) return {};
        if (state->exceptions && !exceptions::prepare()) return {};
    }
    auto* type = reinterpret_cast<PyTypeObject*>(CALLBACKS_TYPE);
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return {};
    auto* obj = reinterpret_cast<CallbacksObject*>(self);
    obj->state = state.get();
    new (&obj->owner) std::shared_ptr<State>(std::move(state));
    return host::Ref::steal(self);
}

// The part of recording that runs when the thread's one-entry code cache misses: the first
// events of a thread in a run, a change of code object, the first sighting of a code object.
// It may run Python code (the thread's name, a new code object's attributes), and while it does
// the interpreter may pause this thread -- for instance for the set_events(0) of a stopping
// run; with a GIL, this thread may hand the GIL to the stopping thread. When the world resumes
// this thread goes on to append its event, possibly while the stopping thread is already flushing
// every thread's batch. So resolution counts this callback in `cold_in_flight` from just before
// its first Python call until its append is done, and the stop sequence waits for the count to
// reach 0 before it flushes.
//
// Nothing else needs counting: a thread can only be paused, or give up the GIL, at a point where
// it checks in with the interpreter (evaluating bytecode, or detaching to block), and neither the
// fast path nor this function outside those Python calls contains such a point. So when
// set_events(0) returns (every thread was paused, or waits for the GIL the stopping thread
// holds, and no callback of ours starts afterwards) no thread is between the entry of a callback
// and its append, except those counted.
//
// A thread's first event of a run comes here too (it is not bound to the run's queue yet). The
// frames below the event's own were all open when the run started: one pushed later would have
// produced an event already. So that every end in the trace has its begin, the thread records a
// begin for each of them first, outermost first, stamped at the run's start; and for an end
// (return, yield, unwind) also for the frame that ends, whose begin came before the run. The end
// of a C function as a thread's first event is not recorded: its call began before the run, and
// its end would close the slice of the function that called it.
//
// `obj` is the event's code object (`code` too), or its C callable (`code` null) with `describe`
// reading those. Returns true when the filter leaves `obj` out: nothing was recorded.
[[gnu::noinline]] bool record_cold(State& state, PyObject* obj, PyObject* code, uint64_t key,
                                   Hot& hot, uint64_t now, uint8_t kind,
                                   Describe describe) noexcept {
    if (state.abandoned()) return false;
    try {
        ColdInFlight in_flight(state.cold_in_flight);
        // A thread whose events so far were all left out has not bound to the run: it is not
        // new to it for that.
        bool first = hot.resolved_queue != state.queue_id;
        if (first) record_open_frames(state, code, hot, kind, in_flight);
        std::optional<uint32_t> id = resolve_cold(state, obj, key, hot, in_flight, describe);
        if (id == LEFT_OUT) {
            // The queue's count of left-out events: one per event the interpreter delivered for
            // code the filter leaves out (a location's first, before DISABLE switches it off,
            // and every unwind and throw, which cannot be switched off).
            state.queue_raw->add_left_out(1);
            return true;
        }
        if (first && !code && kind != KIND_START) return false;
        const PackedEvent* batch_end = hot.end;
        if (id && code && OPENS_SLICE[kind] && tasks::is_step_coroutine(code)) {
            const void* frame = pyapi::outermost_coroutine_frame(PyThreadState_GetUnchecked());
            if (frame) tasks::record_step(state, frame, now, kind, in_flight);
        }
        if (id) record(*state.queue_raw, now, pack_word(kind, *id));
        if (hot.end != batch_end) state.resume_parked_export();  // see append_uncommon
        return false;
    } catch (const std::bad_alloc&) {
        // The traced program does not die of the tracer's memory: the event is lost, and counted
        // with the others the stop reports.
        state.queue_raw->add_dropped(1);
        return false;
    } catch (const std::exception& e) {
        fatal(e.what());
    } catch (...) {
        fatal("unknown exception");
    }
}

// The thread's code-cache entry for `key`, when resolution would take nothing else from this
// event: the thread is bound to this run (so its cache holds this run's ids and its tid is
// read) and its name is settled (known, or out of attempts).
inline const CodeSlot* cached_code(const State& state, const Hot& hot, uint64_t key) {
    if (hot.queue_id != state.queue_id || hot.codes == nullptr || key == 0) return nullptr;
    if (!hot.named && hot.name_tries != 0) return nullptr;
    const CodeSlot* slot = &hot.codes[code_slot_index(key)];
    return slot->addr == key ? slot : nullptr;
}

// The two ways out of the common case below. They return the callback's result, so that the
// callbacks end in a jump to them and need no stack frame of their own.

// Where an event comes from: a code object (the six events of Python functions), or a C callable
// (CALL, C_RETURN, C_RAISE in a run with C calls). A code object's key is its address; a
// callable's is callables::key_of. What a callback returns for what the filter leaves out:
// DISABLE where the interpreter can switch the event off for its location, else None (unwinds,
// throws and the ends of C calls cannot be switched off, and DISABLE there would be an error).
struct Source {
    bool code;
    bool can_disable;
};
constexpr Source PY_EVENT{true, true};
constexpr Source PY_EXCEPTION_EVENT{true, false};
constexpr Source C_CALL_EVENT{false, true};
constexpr Source C_END_EVENT{false, false};

PyObject* left_out_result(bool can_disable) { return Py_NewRef(can_disable ? DISABLE : Py_None); }

// An object neither of the thread's caches knows (or knows as left out), or a thread not (or no
// longer) bound to this run.
template <Source SOURCE>
[[gnu::noinline]] PyObject* append_uncommon(State& state, PyObject* obj, uint64_t key, uint64_t now,
                                            uint8_t kind, uint32_t id) noexcept;

// The begin of the outermost coroutine frame `frame` of a step: the task's fact, then the begin.
// The one-entry cache is left disarmed, so that the events of tasks of one coroutine following
// each other (with the loop's own code left out by a filter) all come to record_coroutine.
[[gnu::noinline]] PyObject* record_step_begin(State& state, const void* frame, uint64_t now,
                                              uint32_t word) noexcept {
    if (state.abandoned()) Py_RETURN_NONE;
    try {
        Hot& hot = HOT;
        ColdInFlight in_flight(state.cold_in_flight);
        const PackedEvent* batch_end = hot.end;
        tasks::record_step(state, frame, now, kind_of(word), in_flight);
        hot.last_code = UINT64_MAX;
        record(*state.queue_raw, now, word);
        if (hot.end != batch_end) state.resume_parked_export();  // see append_uncommon
        Py_RETURN_NONE;
    } catch (const std::bad_alloc&) {
        state.queue_raw->add_dropped(1);  // as in record_cold
        Py_RETURN_NONE;
    } catch (const std::exception& e) {
        fatal(e.what());
    }
}

// An event of a coroutine's code object (tagged in the thread's code cache, see py/tasks.h) by
// a thread settled in this run. A begin whose frame another coroutine awaits arms the one-entry
// cache, so that its own next events (its end, and its next start right after it, as in a loop
// of awaits) take the fast path: an event of the same code object right after one of its frames
// belongs to the same step, never to the first of another task's. An end disarms it: it may be
// a step's last, and the next task's first begin must come here. (What is left: a task whose
// coroutine awaits a coroutine of its own function ends its step by the fast path, and the next
// task of that function, when nothing was recorded between, begins unchecked and stays on the
// thread.)
template <uint8_t KIND, Source SOURCE>
[[gnu::noinline]] PyObject* record_coroutine(State& state, Hot& hot, PyObject* obj, uint64_t key,
                                             uint64_t now, uint32_t id) noexcept {
    if constexpr (OPENS_SLICE[KIND]) {
        if (const void* frame = pyapi::outermost_coroutine_frame(PyThreadState_GetUnchecked()))
            return record_step_begin(state, frame, now, pack_word(KIND, id));
        hot.last_code = key;
        hot.last_id = id;
    } else {
        hot.last_code = UINT64_MAX;
    }
    if (fast_append(hot, state.queue_id, now, pack_word(KIND, id))) [[likely]]
        Py_RETURN_NONE;
    return append_uncommon<SOURCE>(state, obj, key, now, KIND, id);
}

// The thread's code-cache entry for `key` when it holds a coroutine's code object (see
// record_coroutine), under the conditions of cached_code. Asked only where both caches missed.
inline const CodeSlot* cached_coroutine(const State& state, const Hot& hot, uint64_t key) {
    if (hot.queue_id != state.queue_id || hot.codes == nullptr || key == 0) return nullptr;
    if (!hot.named && hot.name_tries != 0) return nullptr;
    const CodeSlot* slot = &hot.codes[code_slot_index(key)];
    return slot->addr == (key | tasks::COROUTINE_TAG) ? slot : nullptr;
}

template <Source SOURCE>
[[gnu::noinline]] PyObject* record_unresolved(State& state, PyObject* obj, uint64_t key,
                                              uint64_t now, uint8_t kind) noexcept {
    bool left_out =
        SOURCE.code ? record_cold(state, obj, obj, key, HOT, now, kind, describe_code)
                    : record_cold(state, obj, nullptr, key, HOT, now, kind, callables::describe);
    if (left_out) return left_out_result(SOURCE.can_disable);
    Py_RETURN_NONE;
}

// An event of code id `id` that the fast append refused. The slow_path call (a batch switch,
// every 1024 events; in a lossless run it may wait, detached, for room in the thread's ring)
// drops and counts the event when it cannot allocate a batch.
template <Source SOURCE>
[[gnu::noinline]] PyObject* append_uncommon(State& state, PyObject* obj, uint64_t key, uint64_t now,
                                            uint8_t kind, uint32_t id) noexcept {
    Hot& hot = HOT;
    // Bound to an earlier run: its one-entry cache holds that run's id.
    if (hot.queue_id != state.queue_id)
        return record_unresolved<SOURCE>(state, obj, key, now, kind);
    if (state.abandoned()) Py_RETURN_NONE;  // a forked child's batch of its parent's run is full
    state.queue_raw->slow_path(hot, now, hot.tid, pack_word(kind, id));
    // A new batch: if a fork parked the export threads, this is where they come back, once the
    // fork's after hook has run (the interpreter counts the threads after it, and the hook gave
    // the forking thread an empty batch).
    state.resume_parked_export();
    Py_RETURN_NONE;
}

// One event at `now`. The common case -- the same code object as this thread's previous event,
// room in the batch -- is one TLS base load, the one-entry cache compare and the fast append
// (three compares, one 8-byte store, a cursor bump, a prefetch two lines ahead); a code object
// the thread's code cache knows costs one probe more. No lock, no atomic read-modify-write, no
// call, no reference count: any of those would be paid on every Python call of every thread.
// What the filter leaves out never enters either cache in a way this path can match, so the
// filter costs nothing here.
template <uint8_t KIND, Source SOURCE = PY_EVENT>
[[gnu::always_inline]] inline PyObject* record_at(State& state, PyObject* obj, uint64_t key,
                                                  uint64_t now) {
    Hot& hot = HOT;
    uint32_t id;
    // A thread bound to an earlier run can match the one-entry cache: fast_append refuses it.
    if (hot.last_code == key) [[likely]] {
        id = hot.last_id;
    } else if (const CodeSlot* slot = cached_code(state, hot, key)) {
        // What resolution would do for a thread already settled in this run whose code cache
        // knows the code object; most misses of the one-entry cache end here.
        id = slot->id;
        hot.last_id = id;
        hot.last_code = key;
    } else if (const CodeSlot* coroutine = SOURCE.code ? cached_coroutine(state, hot, key)
                                                        : nullptr) {
        return record_coroutine<KIND, SOURCE>(state, hot, obj, key, now, coroutine->id);
    } else {
        return record_unresolved<SOURCE>(state, obj, key, now, KIND);
    }
    if (fast_append(hot, state.queue_id, now, pack_word(KIND, id))) [[likely]]
        Py_RETURN_NONE;
    return append_uncommon<SOURCE>(state, obj, key, now, KIND, id);
}

// The callback of a run that reads the monotonic clock: that read is a call, and the callback
// that makes it needs a stack frame, which the TSC's callback below is spared.
template <uint8_t KIND, Source SOURCE>
[[gnu::noinline]] PyObject* on_event_monotonic(State& state, PyObject* code) noexcept {
    return record_at<KIND, SOURCE>(state, code, reinterpret_cast<uint64_t>(code),
                                   state.clock.raw());
}

// The registered callback of a Python function's event. The counter is read first, before any
// resolution: the time the callback was entered. On the TSC the whole common case runs without
// a stack frame.
template <uint8_t KIND, Source SOURCE = PY_EVENT>
PyObject* on_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs <= 0) [[unlikely]]
        Py_RETURN_NONE;
    State& state = *reinterpret_cast<CallbacksObject*>(self)->state;
#if defined(__x86_64__)
    if (state.clock.uses_tsc()) [[likely]]
        return record_at<KIND, SOURCE>(state, args[0], reinterpret_cast<uint64_t>(args[0]),
                                       Clock::tsc_raw());
#endif
    return on_event_monotonic<KIND, SOURCE>(state, args[0]);
}

// The registered callback of CALL, C_RETURN and C_RAISE (code, offset, callable, first
// argument). A call of Python code is left to its PY_START; its CALL location is switched off,
// so a call site whose first callee was Python reports no C function afterwards.
template <uint8_t KIND, Source SOURCE>
PyObject* on_c_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs < 3) [[unlikely]]
        Py_RETURN_NONE;
    State& state = *reinterpret_cast<CallbacksObject*>(self)->state;
    uint64_t now = state.clock.raw();
    uint64_t key = callables::key_of(args[2]);
    if (key == 0) return left_out_result(SOURCE.can_disable);
    return record_at<KIND, SOURCE>(state, args[2], key, now);
}

template <class F>
PyCFunction as_method(F* fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef MD_PY_START = {"_vs_py_start", as_method(on_event<KIND_START>), METH_FASTCALL, nullptr};
PyMethodDef MD_PY_RETURN = {"_vs_py_return", as_method(on_event<KIND_RETURN>), METH_FASTCALL,
                            nullptr};
PyMethodDef MD_PY_YIELD = {"_vs_py_yield", as_method(on_event<KIND_YIELD>), METH_FASTCALL, nullptr};
PyMethodDef MD_PY_RESUME = {"_vs_py_resume", as_method(on_event<KIND_RESUME>), METH_FASTCALL,
                            nullptr};
PyMethodDef MD_PY_UNWIND = {"_vs_py_unwind", as_method(on_event<KIND_UNWIND, PY_EXCEPTION_EVENT>),
                            METH_FASTCALL, nullptr};
PyMethodDef MD_PY_THROW = {"_vs_py_throw", as_method(on_event<KIND_THROW, PY_EXCEPTION_EVENT>),
                           METH_FASTCALL, nullptr};
// A C function's slice begins at its CALL and ends at its return or its raise.
PyMethodDef MD_CALL = {"_vs_call", as_method(on_c_event<KIND_START, C_CALL_EVENT>), METH_FASTCALL,
                       nullptr};
PyMethodDef MD_C_RETURN = {"_vs_c_return", as_method(on_c_event<KIND_RETURN, C_END_EVENT>),
                           METH_FASTCALL, nullptr};
PyMethodDef MD_C_RAISE = {"_vs_c_raise", as_method(on_c_event<KIND_UNWIND, C_END_EVENT>),
                          METH_FASTCALL, nullptr};

struct Registration {
    const char* event;
    PyMethodDef* def;
};

// Order of registration and of MonitoringHandle::functions: the six events of Python functions,
// then those of C functions, registered only by a run that records them (so a run without
// them pays nothing for the calls of Python functions).
const Registration REGISTRATIONS[] = {
    {"PY_START", &MD_PY_START},   {"PY_RETURN", &MD_PY_RETURN}, {"PY_YIELD", &MD_PY_YIELD},
    {"PY_RESUME", &MD_PY_RESUME}, {"PY_UNWIND", &MD_PY_UNWIND}, {"PY_THROW", &MD_PY_THROW},
    {"CALL", &MD_CALL},           {"C_RETURN", &MD_C_RETURN},   {"C_RAISE", &MD_C_RAISE},
};
constexpr size_t PY_REGISTRATIONS = 6;
constexpr size_t PY_START_ROW = 0;
constexpr size_t PY_RETURN_ROW = 1;
constexpr size_t PY_UNWIND_ROW = 4;

host::Ref sys_monitoring() {
    host::Ref sys = host::import("sys");
    return sys ? host::getattr(sys.get(), "monitoring") : host::Ref();
}

std::optional<int32_t> event_bit(PyObject* events, const char* name) {
    host::Ref value = host::getattr(events, name);
    if (!value) return std::nullopt;
    std::optional<long long> bit = host::integer_in(value.get(), INT32_MIN, INT32_MAX);
    if (!bit) return std::nullopt;
    return static_cast<int32_t>(*bit);
}

}  // namespace

namespace {

// RAISE (code, offset, exception): fires in every frame the exception passes through; recorded
// once, in the frame that raised it.
PyObject* on_raise(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs >= 3)
        exceptions::record_raise(*reinterpret_cast<CallbacksObject*>(self)->state, args[0], args[2]);
    Py_RETURN_NONE;
}

// PY_UNWIND (code, offset, exception) in a run that records exceptions.
PyObject* on_unwind_described(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    State& state = *reinterpret_cast<CallbacksObject*>(self)->state;
    if (nargs < 3 || !exceptions::record_unwind(state, args[0], args[2]))
        return on_event<KIND_UNWIND, PY_EXCEPTION_EVENT>(self, args, nargs);
    Py_RETURN_NONE;
}

// ---- values of calls --------------------------------------------------------------------------

// A start or return of `code`, code id unknown or known to record values: resolved as
// record_cold resolves, its flags decided on first sight, its values described and recorded with
// it. Describing may run the program's code (repr() with --args-repr): the callback is counted
// in `cold_in_flight` meanwhile, as resolution is, and the interpreter delivers no event of what
// it runs (a callback's own calls are not monitored). `result` is the return value (a return).
PyObject* record_values(State& state, PyObject* code, PyObject* result, uint64_t now,
                        uint8_t kind) noexcept {
    try {
        Hot& hot = HOT;
        host::PreservedError keep;
        ColdInFlight in_flight(state.cold_in_flight);
        std::optional<uint32_t> id = resolve_described(state, code, hot, kind, in_flight);
        if (id == LEFT_OUT) {
            state.queue_raw->add_left_out(1);  // as record_cold counts it
            return left_out_result(true);
        }
        if (!id) Py_RETURN_NONE;  // the interner is full
        values::Matcher& matcher = *state.values;
        uint8_t flags = matcher.flags(*id);
        if (flags == 0) {
            std::optional<CodeInfo> info = state.interner.info(*id);
            CodePlace place = code_place(code, info ? info->file : "", nullptr);
            flags = matcher.decide(*id, place.module, place.file);
        }
        std::vector<marks_api::MarkArg> described;
        {
            Describing describing;
            if (kind == KIND_START && (flags & values::ARGS)) {
                described = values::arguments(code, matcher.repr());
            } else if (kind == KIND_RETURN && (flags & values::RETURNS) && result) {
                described.push_back({host::Ref::borrow(values::return_key()),
                                     values::describe(result, matcher.repr())});
            }
        }
        // Stamped after the describing: a mark that what it ran recorded (an instant in a repr,
        // a collection) comes before this event in the thread's batch, and so must its time.
        if (!described.empty()) now = state.clock.raw();
        // A coroutine's first step begins here, not in record_cold: its task's fact first.
        if (OPENS_SLICE[kind] && tasks::is_step_coroutine(code)) {
            const void* frame = pyapi::outermost_coroutine_frame(PyThreadState_GetUnchecked());
            if (frame) tasks::record_step(state, frame, now, kind, in_flight);
        }
        record_with_values(state, hot, now, kind, *id, described);
    } catch (const std::bad_alloc&) {
        state.queue_raw->add_dropped(1);  // as in record_cold
    } catch (const std::exception& e) {
        fatal(e.what());
    }
    Py_RETURN_NONE;
}

// PY_START (code, offset) and PY_RETURN (code, offset, value) in a run that records values. A
// function whose code id the thread's caches know and whose calls record no value takes the
// common path, after one more load (its flags); the others go to record_values.
// (No check of DESCRIBING: the interpreter delivers no event of what a callback runs.)
template <uint8_t KIND>
PyObject* on_value_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs < (KIND == KIND_RETURN ? 3 : 1)) [[unlikely]]
        return on_event<KIND>(self, args, nargs);
    State& state = *reinterpret_cast<CallbacksObject*>(self)->state;
#if defined(__x86_64__)
    uint64_t now = state.clock.uses_tsc() ? Clock::tsc_raw() : state.clock.raw();
#else
    uint64_t now = state.clock.raw();
#endif
    auto key = reinterpret_cast<uint64_t>(args[0]);
    Hot& hot = HOT;
    uint32_t id;
    if (hot.last_code == key) [[likely]] {
        id = hot.last_id;  // of an earlier run when the thread is bound to one: fast_append refuses
    } else if (const CodeSlot* slot = cached_code(state, hot, key)) {
        id = slot->id;
    } else {
        return record_values(state, args[0], KIND == KIND_RETURN ? args[2] : nullptr, now, KIND);
    }
    constexpr uint8_t WANTED = KIND == KIND_START ? values::ARGS : values::RETURNS;
    uint8_t flags = state.values->flags(id);
    if (flags == 0 || (flags & WANTED) || hot.queue_id != state.queue_id) [[unlikely]]
        return record_values(state, args[0], KIND == KIND_RETURN ? args[2] : nullptr, now, KIND);
    hot.last_id = id;
    hot.last_code = key;
    if (fast_append(hot, state.queue_id, now, pack_word(KIND, id))) [[likely]]
        Py_RETURN_NONE;
    return append_uncommon<PY_EVENT>(state, args[0], key, now, KIND, id);
}

PyMethodDef MD_PY_START_VALUES = {"_vs_py_start", as_method(on_value_event<KIND_START>),
                                  METH_FASTCALL, nullptr};
PyMethodDef MD_PY_RETURN_VALUES = {"_vs_py_return", as_method(on_value_event<KIND_RETURN>),
                                   METH_FASTCALL, nullptr};

PyMethodDef MD_RAISE = {"_vs_raise", as_method(on_raise), METH_FASTCALL, nullptr};
PyMethodDef MD_PY_UNWIND_DESCRIBED = {"_vs_py_unwind", as_method(on_unwind_described),
                                      METH_FASTCALL, nullptr};

// The six events of Python functions (PY_UNWIND's callback the one that describes exceptions in
// a run that records them, PY_START's and PY_RETURN's those that record values in a run that
// records them), then RAISE in such a run, then the events of C functions in a run that records
// them (so a run without them pays nothing for the calls of Python functions).
std::vector<Registration> registrations(bool c_calls, bool exceptions, bool values) {
    std::vector<Registration> rows(REGISTRATIONS, REGISTRATIONS + PY_REGISTRATIONS);
    if (values) {
        rows[PY_START_ROW].def = &MD_PY_START_VALUES;
        rows[PY_RETURN_ROW].def = &MD_PY_RETURN_VALUES;
    }
    if (exceptions) {
        rows[PY_UNWIND_ROW].def = &MD_PY_UNWIND_DESCRIBED;
        rows.push_back({"RAISE", &MD_RAISE});
    }
    if (c_calls) rows.insert(rows.end(), REGISTRATIONS + PY_REGISTRATIONS, std::end(REGISTRATIONS));
    return rows;
}

// sys.monitoring's tool ids are 0 to 5; by convention 0 is a debugger's, 1 coverage's, 2 a
// profiler's (cProfile takes it) and 5 an optimizer's. 3 and 4 belong to nobody.
constexpr uint8_t TOOL_IDS = 6;
constexpr uint8_t UNASSIGNED_IDS[] = {3, 4};

// The tool ids' owners (None for a free one), by id. None with an exception set.
std::optional<std::vector<host::Ref>> tool_owners(PyObject* mon) {
    std::vector<host::Ref> owners;
    for (uint8_t id = 0; id < TOOL_IDS; ++id) {
        host::Ref tool = host::u64(id);
        host::Ref owner = tool ? host::call_method(mon, "get_tool", {tool.get()}) : host::Ref();
        if (!owner) return std::nullopt;
        owners.push_back(std::move(owner));
    }
    return owners;
}

bool is_ours(const host::Ref& owner) {
    return PyUnicode_Check(owner.get()) &&
           PyUnicode_CompareWithASCIIString(owner.get(), "vespra") == 0;
}

}  // namespace

std::optional<uint8_t> free_tool_id(PyObject* mon) {
    std::optional<std::vector<host::Ref>> owners = tool_owners(mon);
    if (!owners) return std::nullopt;
    // Taken by a run of ours (the caller holds the start lock, so it is running), or both free
    // ids by other tools: the program is told what is in the way.
    for (const host::Ref& owner : *owners) {
        if (is_ours(owner)) {
            PyErr_SetString(PyExc_RuntimeError,
                            "a trace is already running in this process: only one tracer can run "
                            "at a time");
            return std::nullopt;
        }
    }
    for (uint8_t id : UNASSIGNED_IDS) {
        if ((*owners)[id].get() == Py_None) return id;
    }
    PyErr_Format(PyExc_RuntimeError,
                 "sys.monitoring's tool ids 3 and 4, which vespra takes so as to leave the "
                 "debugger's, coverage's, profiler's and optimizer's to them, are held by %R "
                 "and %R",
                 (*owners)[3].get(), (*owners)[4].get());
    return std::nullopt;
}

std::optional<MonitoringHandle> enable(std::shared_ptr<State> state) {
    host::Ref mon = sys_monitoring();
    if (!mon) return std::nullopt;
    std::optional<uint8_t> tool_id = free_tool_id(mon.get());
    if (!tool_id) return std::nullopt;
    host::Ref tool = host::u64(*tool_id);
    host::Ref name = host::str("vespra");
    if (!tool || !name) return std::nullopt;
    if (!host::call_method(mon.get(), "use_tool_id", {tool.get(), name.get()})) return std::nullopt;

    host::Ref events = host::getattr(mon.get(), "events");
    if (!events) return std::nullopt;
    MonitoringHandle handle;
    handle.tool_id = *tool_id;
    handle.c_calls = state->c_calls;
    handle.exceptions = state->exceptions;
    handle.values = state->values != nullptr;
    handle.callbacks = new_callbacks(std::move(state), mon.get());
    if (!handle.callbacks) return std::nullopt;

    int64_t mask = 0;
    for (const Registration& row : registrations(handle.c_calls, handle.exceptions, handle.values)) {
        std::optional<int32_t> bit = event_bit(events.get(), row.event);
        if (!bit) return std::nullopt;
        host::Ref function =
            host::Ref::steal(PyCMethod_New(row.def, handle.callbacks.get(), nullptr, nullptr));
        if (!function) return std::nullopt;
        host::Ref bit_obj = host::Ref::steal(PyLong_FromLong(*bit));
        if (!bit_obj) return std::nullopt;
        if (!host::call_method(mon.get(), "register_callback",
                               {tool.get(), bit_obj.get(), function.get()})) {
            return std::nullopt;
        }
        handle.functions.push_back(std::move(function));
        mask |= *bit;
    }
    host::Ref mask_obj = host::Ref::steal(PyLong_FromLongLong(mask));
    if (!mask_obj) return std::nullopt;
    if (!host::call_method(mon.get(), "set_events", {tool.get(), mask_obj.get()})) {
        return std::nullopt;
    }
    marks_api::MARKING.store(reinterpret_cast<CallbacksObject*>(handle.callbacks.get())->state,
                             std::memory_order_release);
    return handle;
}

bool disable(const MonitoringHandle& handle, bool* events_off) {
    *events_off = false;
    host::Ref mon = sys_monitoring();
    if (!mon) return false;
    host::Ref tool = host::u64(handle.tool_id);
    host::Ref zero = host::u64(0);
    if (!tool || !zero) return false;
    State* mine = reinterpret_cast<CallbacksObject*>(handle.callbacks.get())->state;
    marks_api::MARKING.compare_exchange_strong(mine, nullptr, std::memory_order_acq_rel);
    if (!host::call_method(mon.get(), "set_events", {tool.get(), zero.get()})) return false;
    *events_off = true;
    host::Ref events = host::getattr(mon.get(), "events");
    if (!events) return false;
    for (const Registration& row : registrations(handle.c_calls, handle.exceptions, handle.values)) {
        std::optional<int32_t> bit = event_bit(events.get(), row.event);
        if (!bit) return false;
        host::Ref bit_obj = host::Ref::steal(PyLong_FromLong(*bit));
        if (!bit_obj) return false;
        if (!host::call_method(mon.get(), "register_callback",
                               {tool.get(), bit_obj.get(), Py_None})) {
            return false;
        }
    }
    return static_cast<bool>(host::call_method(mon.get(), "free_tool_id", {tool.get()}));
}

bool restart_events() {
    host::Ref mon = sys_monitoring();
    return mon && host::call_method(mon.get(), "restart_events", {});
}

void wait_for_cold_paths(const State& state) {
    while (state.cold_in_flight.load(std::memory_order_acquire) != 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
}

bool check_tool_slot_free() {
    host::Ref mon = sys_monitoring();
    return mon && free_tool_id(mon.get());
}

}  // namespace vespra::monitoring
