#include "py/tasks.h"

#include <optional>
#include <string>
#include <unordered_map>

#include "py/host.h"

namespace vespra::tasks {

namespace {

inline constexpr uint32_t NOT_A_TASK = UINT32_MAX;

// The task of each outermost coroutine frame this thread has begun in the run of `queue_id`, by
// the frame's address (part of the coroutine object, so fixed for its life). A frame that is
// not a task's (a coroutine driven by hand) maps to NOT_A_TASK, so that it is asked about once.
// A coroutine's start always asks: an address that a dead coroutine left here is replaced before
// the new coroutine's resumptions can meet it.
struct StepTasks {
    uint64_t queue_id = 0;
    std::unordered_map<uint64_t, uint32_t> by_frame;
};
thread_local StepTasks STEP_TASKS;

// The asyncio task running the coroutine whose frame runs on this thread: asyncio's current
// task, when its coroutine's frame is that one; a new task id, described as "NAME (COROUTINE)".
// A program that has not imported asyncio runs no task: nothing is imported for it.
uint32_t find_task(State& state) {
    host::Ref module_name = host::str("asyncio");
    if (!module_name) return NOT_A_TASK;
    host::Ref asyncio = host::Ref::steal(PyImport_GetModule(module_name.get()));
    if (!asyncio) return NOT_A_TASK;
    host::Ref task = host::call_method(asyncio.get(), "current_task", {});
    if (!task || task.get() == Py_None) return NOT_A_TASK;
    host::Ref coro = host::call_method(task.get(), "get_coro", {});
    if (!coro || !PyCoro_CheckExact(coro.get())) return NOT_A_TASK;
    // The task's own coroutine, not one it awaits: their frame objects are one.
    host::Ref coro_frame = host::getattr(coro.get(), "cr_frame");
    host::Ref running = host::Ref::steal(
        reinterpret_cast<PyObject*>(PyThreadState_GetFrame(PyThreadState_Get())));
    if (!coro_frame || !running || coro_frame.get() != running.get()) return NOT_A_TASK;
    host::Ref task_name = host::call_method(task.get(), "get_name", {});
    host::Ref qualname = host::getattr(coro.get(), "__qualname__");
    std::optional<std::string> name = task_name ? host::utf8(task_name.get()) : std::nullopt;
    std::optional<std::string> function = qualname ? host::utf8(qualname.get()) : std::nullopt;
    std::string text = name.value_or("Task") + " (" + function.value_or("?") + ")";
    return state.interner.task_id(std::move(text)).value_or(NOT_A_TASK);
}

}  // namespace

void record_step(State& state, const void* frame, uint64_t now, uint8_t kind,
                 monitoring::ColdInFlight& in_flight) {
    StepTasks& tasks = STEP_TASKS;
    if (tasks.queue_id != state.queue_id) {
        tasks.by_frame.clear();
        tasks.queue_id = state.queue_id;
    }
    auto key = reinterpret_cast<uint64_t>(frame);
    uint32_t task;
    auto it = tasks.by_frame.find(key);
    if (it != tasks.by_frame.end() && kind != KIND_START) {
        task = it->second;
    } else {
        in_flight.arm();
        host::PreservedError keep;
        task = find_task(state);
        PyErr_Clear();
        tasks.by_frame[key] = task;
    }
    if (task != NOT_A_TASK) record(*state.queue_raw, now, pack_word(KIND_TASK, task));
}

}  // namespace vespra::tasks
