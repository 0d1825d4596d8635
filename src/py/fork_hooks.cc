// The fork hooks. Across a fork they park the export threads of the run in ACTIVE in the parent
// while its callbacks go on recording, and in the child abandon the inherited run and start one
// of its own that appends to the same file.
#include <unistd.h>

#include <atomic>
#include <optional>
#include <utility>

#include "core/parts.h"
#include "core/tls.h"
#include "py/child_exit.h"
#include "py/export_threads.h"
#include "py/fork_repair.h"
#include "py/host.h"
#include "py/process_names.h"
#include "py/start_lock.h"
#include "py/tracer.h"

namespace vespra::tracer {
namespace {

using host::boundary;
using host::Ref;

std::atomic<bool> HOOKS_REGISTERED{false};  // inherited by forked children

// The thread that runs a fork's hooks takes the start lock, ACTIVE's lock and the run lock of
// the tracer in ACTIVE in _before_fork and keeps them until the after hook of its side of the
// fork. Between the hooks no other thread can start, stop or install anything, and in the child
// every lock is held by the one thread that exists there, which releases it.

// Guarded by START_LOCK: only the thread holding it reads or writes them.
bool FORK_LOCKS_HELD = false;
TracerObject* FORK_TRACER = nullptr;  // ACTIVE's tracer, whose run lock is held; ACTIVE keeps it

bool take_fork_locks() {
    if (!START_LOCK.lock()) return false;
    ACTIVE_LOCK.lock();
    FORK_TRACER = ACTIVE ? as_tracer(ACTIVE) : nullptr;
    if (FORK_TRACER) FORK_TRACER->data.run_lock.lock();
    FORK_LOCKS_HELD = true;
    return true;
}

// For an after hook: the locks _before_fork took on this thread, or its own when the hooks were
// not called in pairs (the hooks were registered between the two, or called by hand).
bool ensure_fork_locks() {
    if (START_LOCK.held_by_me() && FORK_LOCKS_HELD) return true;
    return take_fork_locks();
}

void release_fork_locks() {
    if (FORK_TRACER) FORK_TRACER->data.run_lock.unlock();
    FORK_TRACER = nullptr;
    FORK_LOCKS_HELD = false;
    ACTIVE_LOCK.unlock();
    START_LOCK.unlock();
}

struct ForkLocksRelease {
    ~ForkLocksRelease() { release_fork_locks(); }
};

PyObject* before_fork(PyObject*, PyObject*) {
    return boundary([]() -> PyObject* {
        // Errors or not, the locks stay held: the interpreter forks anyway and then calls an
        // after hook, which releases them.
        if (!take_fork_locks()) return nullptr;
        // None of our threads may be there when the interpreter counts the parent's threads
        // after the fork (see export_threads.h). The callbacks stay on: switching them off for
        // the fork would lose what the parent's other threads do meanwhile, and leave their
        // stacks in the trace out of step with their calls. `forking` keeps the callbacks from
        // resuming the export threads (State::resume_parked_export) before the after hook.
        Running* run = FORK_TRACER ? FORK_TRACER->data.running.get() : nullptr;
        if (run) {
            run->state->forking_pid.store(getpid(), std::memory_order_relaxed);
            run->state->forking.store(true, std::memory_order_release);
            export_threads::park(*run);
        }
        park_sigterm_watcher();
        Py_RETURN_NONE;
    });
}

PyObject* after_fork_in_parent(PyObject*, PyObject*) {
    return boundary([]() -> PyObject* {
        if (!ensure_fork_locks()) return nullptr;
        ForkLocksRelease release;
        Running* run = FORK_TRACER ? FORK_TRACER->data.running.get() : nullptr;
        if (!run) Py_RETURN_NONE;
        // A whole batch of room, so that the events of the fork hooks that run after this one
        // do not start a batch, which would resume the export threads before the interpreter
        // counts threads (see State::resume_parked_export).
        run->queue->add_dropped(tls::flush_current_thread(run->queue->id()));
        run->state->forking.store(false, std::memory_order_release);
        Py_RETURN_NONE;
    });
}

PyObject* after_fork_in_child(PyObject*, PyObject*) {
    return boundary([]() -> PyObject* {
        // Traced or not: a trace this child starts later needs the pause mutex as much.
        vespra_release_what_the_fork_left_held();
        if (!ensure_fork_locks()) return nullptr;
        ForkLocksRelease release;
        if (!FORK_TRACER) Py_RETURN_NONE;
        TracerData& data = FORK_TRACER->data;
        // Leaked on purpose: see the docstring. Its callbacks are still registered (they have
        // recorded nothing since the fork, see State::abandoned): they give up the tool's slot
        // to the child's own run.
        Running* inherited = data.running.release();
        if (inherited && inherited->monitoring) {
            bool events_off = false;
            if (!monitoring::disable(*inherited->monitoring, &events_off)) return nullptr;
        }
        tls::forget_other_threads();
        // The parent's part stays the parent's: locked by this copy too, it would look alive
        // after the parent's death.
        parts::forget_inherited();
        // Before the start, so that what it imports stays out of the child's trace.
        if (!guard_exits()) return nullptr;
        // The child keeps its parent's name, unless multiprocessing's bootstrap names it.
        naming::follow_multiprocessing();
        std::unique_ptr<Running> run =
            start(FORK_TRACER, static_cast<uint32_t>(getpid()), true, run_clock(data, true));
        if (!run) return nullptr;
        data.running = std::move(run);
        Py_RETURN_NONE;
    });
}

PyMethodDef FORK_HOOK_DEFS[] = {
    {"_before_fork", before_fork, METH_NOARGS,
     "_before_fork($module, /)\n--\n\n"
     "Park the export threads before the address space is cloned, so that none\n"
     "is counted by the interpreter's check for a multi-threaded fork, nor runs\n"
     "in the child against the state the child is about to abandon."},
    {"_after_fork_in_parent", after_fork_in_parent, METH_NOARGS,
     "_after_fork_in_parent($module, /)\n--\n\n"},
    {"_after_fork_in_child", after_fork_in_child, METH_NOARGS,
     "_after_fork_in_child($module, /)\n--\n\n"
     "Start the child's own trace. The inherited run is deliberately leaked: its\n"
     "export threads did not survive the fork, and any lock a thread held at that\n"
     "instant is still held by nobody, so reading or dropping that state could\n"
     "block forever."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_fork_hooks(PyObject* module) { return PyModule_AddFunctions(module, FORK_HOOK_DEFS); }

bool register_fork_hooks(PyObject* module) {
    if (HOOKS_REGISTERED.exchange(true)) return true;
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return false;
    const std::pair<const char*, const char*> HOOKS[] = {
        {"before", "_before_fork"},
        {"after_in_parent", "_after_fork_in_parent"},
        {"after_in_child", "_after_fork_in_child"},
    };
    for (const auto& [key, name] : HOOKS) {
        Ref hook = host::getattr(module, name);
        if (!hook || PyDict_SetItemString(kwargs.get(), key, hook.get()) < 0) return false;
    }
    Ref os = host::import("os");
    Ref register_at_fork = os ? host::getattr(os.get(), "register_at_fork") : Ref();
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!register_at_fork || !no_args) return false;
    return static_cast<bool>(
        Ref::steal(PyObject_Call(register_at_fork.get(), no_args.get(), kwargs.get())));
}

}  // namespace vespra::tracer
