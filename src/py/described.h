// Function events that carry a description: the end of a slice an exception unwound (its type),
// a call with its arguments, a return with its value. Describing reads Python objects, and may
// run the program's code (a repr() asked for): what it raises or calls is never recorded.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>

#include "core/tls.h"
#include "py/marks.h"
#include "py/resolve.h"
#include "py/state.h"

namespace vespra::monitoring {

// Set while the calling thread describes an event: an exception raised meanwhile is not
// recorded, so that recording never recurses into itself.
class Describing {
  public:
    Describing();
    ~Describing();
    Describing(const Describing&) = delete;
    Describing& operator=(const Describing&) = delete;
};

// Whether the calling thread is describing an event now.
bool describing();

// The code id of `code` for an event of `kind` about to be described: on a thread's first event
// of the run the frames below the event's own begin first (see monitoring.cc's record_cold);
// then the code is resolved, and the thread settled. LEFT_OUT for what the filter leaves out,
// none when the interner is full. Arms `in_flight`: the description is read after it (in the
// free-threaded build reading a type's dictionary may wait for its lock, detached), so the
// callers keep it armed until their append is done.
std::optional<uint32_t> resolve_described(State& state, PyObject* code, Hot& hot, uint8_t kind,
                                          ColdInFlight& in_flight);

// A function's start, return or unwind of code id `id` at `now`, with `described` as its payload
// (KIND_CALL, KIND_RETURN_VALUE, KIND_EXCEPTION_END), or plain when there is none or its names
// cannot be written. The thread is settled and counted in cold_in_flight.
void record_with_values(State& state, Hot& hot, uint64_t now, uint8_t kind, uint32_t id,
                        std::span<const marks_api::MarkArg> described);

}  // namespace vespra::monitoring
