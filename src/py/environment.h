// The environment variables of a run: VESPRA_CLOCK, which picks the counter the runs read, and
// the VESPRA_CHILD_ variables through which a child process (started by exec, or a new
// interpreter) joins the run's trace with the run's options.
#pragma once

#include <cstdint>
#include <optional>

#include "core/clock.h"
#include "py/tracer.h"

namespace vespra::environment {

// Sets the variables a child needs to join the trace of `data`'s run, whose time base is
// `trace_origin` (decimal nanoseconds on CLOCK_MONOTONIC); the options not asked for are removed,
// so that a variable inherited from a traced parent of ours does not reach our children.
// Attached. False with an exception set.
bool export_for_children(const TracerData& data, uint64_t trace_origin);

// Removes every variable export_for_children sets. Attached. False with an exception set.
bool remove_child_variables();

// The clock source the environment asks for (VESPRA_CLOCK: auto, tsc or monotonic; unset or
// empty is auto). Nothing, with ValueError set, for any other value. Attached.
std::optional<ClockSource> clock_source();

}  // namespace vespra::environment
