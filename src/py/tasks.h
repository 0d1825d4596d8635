// asyncio tasks on the recording side: the facts the export side builds their tracks from
// (core/tasks.h). A task's step is its coroutine sent into (or thrown into) by the task, from
// the event loop: the outermost coroutine frame of the step, whose begin (start, resumption or
// throw) the callbacks see like any other. Right before that begin the thread records a
// KIND_TASK event naming the task; nothing else is recorded for tasks.
//
// What it costs: coroutines' code objects are tagged in the thread's code cache (COROUTINE_TAG),
// so the recording path's probe, which compares the plain key, never answers their events, and
// no other code pays anything. A coroutine's begin then tells an outermost frame by three loads
// (pyapi.h); a frame awaited by another arms the one-entry cache and is appended as usual. Only
// an outermost frame comes here: which task it runs is asked of asyncio once per task, at its
// first step; its later steps find it by the frame's address in the thread's table.
#pragma once

#include <Python.h>

#include <cstdint>

#include "py/resolve.h"
#include "py/state.h"

namespace vespra::tasks {

// The tag of a coroutine's code object in the thread's code cache (keys are addresses of aligned
// objects; the filter's left-out code is under key | 1).
inline constexpr uint64_t COROUTINE_TAG = 2;

// A code object whose frames can be an asyncio task's step: a coroutine function's. (asyncio
// makes tasks of coroutine objects only; async generators and types.coroutine generators are
// always awaited by one, so they keep the plain path.)
inline bool is_step_coroutine(PyObject* code) {
    return PyCode_Check(code) &&
           (reinterpret_cast<PyCodeObject*>(code)->co_flags & CO_COROUTINE) != 0;
}

// Before the begin (kind `kind`, at `now`) of the outermost coroutine frame `frame` of a step:
// records the KIND_TASK event naming the task, when an asyncio task drives it (not a coroutine
// driven by hand). Attached; may run Python code, and arms `in_flight` before it does; clears
// every error it meets and preserves one already raised.
void record_step(State& state, const void* frame, uint64_t now, uint8_t kind,
                 monitoring::ColdInFlight& in_flight);

}  // namespace vespra::tasks
