// Registration of one run with sys.monitoring, and the callbacks the interpreter calls for every
// traced event (the hot path): six for Python functions, RAISE in a run that records exceptions,
// three for C functions in a run that records them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "py/host.h"
#include "py/resolve.h"

namespace vespra::monitoring {

// Proof of one live registration. Releasing it only drops the references it holds; it does not
// unregister anything (that is disable()).
struct MonitoringHandle {
    std::vector<host::Ref> functions;  // the bound callbacks, in registration order
    host::Ref callbacks;               // their `self`, a Callbacks object holding the State
    uint8_t tool_id = 0;
    bool c_calls = false;     // the events of C functions are registered too
    bool exceptions = false;  // RAISE too, and PY_UNWIND's callback describes the exception
    bool values = false;      // PY_START's and PY_RETURN's callbacks record calls' values
};

// Claims a free tool id (free_tool_id) as "vespra", registers the run's callbacks bound to a new
// Callbacks object that holds `state`, and switches their events on. Attached. On failure
// returns none with the interpreter's error set; steps already done are not undone (the tool
// id may stay claimed, some callbacks may stay registered).
std::optional<MonitoringHandle> enable(std::shared_ptr<State> state);

// Events off (stop-the-world: when it returns, no callback of this tool starts any more), the
// callbacks unregistered, the tool id freed. Attached. False with the interpreter's error set
// when a step fails; later steps are then not attempted. `events_off` tells whether the events
// were switched off (true from the first step on), whatever the outcome.
bool disable(const MonitoringHandle& handle, bool* events_off);

// sys.monitoring.restart_events(): every location switched off with DISABLE, by any tool, gets
// its events again. Attached (it stops the world). False with the interpreter's error set.
bool restart_events();

// Waits until no callback of `state` is inside its cold path. Must be called detached from the
// interpreter (a callback it waits for may need to run Python code to finish), after disable():
// see monitoring.cc for why that makes flushing the threads' batches safe.
void wait_for_cold_paths(const State& state);

// The tool id that enable() claims: 3, or 4 when another tool holds 3, ids that no kind of tool
// is assigned, so that a debugger, coverage, a profiler (cProfile) and an optimizer can each run
// beside vespra on their own. None with RuntimeError set when a run of ours holds any id or
// other tools hold both (or with any other error).
std::optional<uint8_t> free_tool_id(PyObject* sys_monitoring);

// Whether a run can claim a tool id (free_tool_id), without claiming it.
bool check_tool_slot_free();

}  // namespace vespra::monitoring
