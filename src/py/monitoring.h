// Registration of one run with sys.monitoring, and the six callbacks the interpreter calls for
// every traced event (the hot path).
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "py/host.h"
#include "py/intern.h"

namespace vespra::monitoring {

// Proof of one live registration. Releasing it only drops the references it holds; it does not
// unregister anything (that is disable()).
struct MonitoringHandle {
    std::vector<host::Ref> functions;  // the six bound callbacks, in registration order
    host::Ref callbacks;               // their `self`, a Callbacks object holding the State
    uint8_t tool_id = 0;
};

// Claims sys.monitoring.PROFILER_ID as "vespra", registers the six callbacks bound to a new
// Callbacks object that holds `state`, and switches their events on. Attached. On failure
// returns none with the interpreter's error set; steps already done are not undone (the tool
// id may stay claimed, some callbacks may stay registered).
std::optional<MonitoringHandle> enable(std::shared_ptr<State> state);

// Events off (stop-the-world: when it returns, no callback of this tool starts any more), the
// callbacks unregistered, the tool id freed. Attached. False with the interpreter's error set
// when a step fails; later steps are then not attempted. `events_off` tells whether the events
// were switched off (true from the first step on), whatever the outcome.
bool disable(const MonitoringHandle& handle, bool* events_off);

// Waits until no callback of `state` is inside its cold path. Must be called detached from the
// interpreter (a callback it waits for may need to run Python code to finish), after disable():
// see monitoring.cc for why that makes flushing the threads' batches safe.
void wait_for_cold_paths(const State& state);

// The tool id that enable() claims; none with an error set.
std::optional<uint8_t> profiler_tool_id(PyObject* sys_monitoring);

// Whether PROFILER_ID is free, without claiming it. False with RuntimeError set when a run of
// ours or another profiler holds it (or with any other error); true when the slot is free.
bool check_tool_slot_free();

}  // namespace vespra::monitoring
