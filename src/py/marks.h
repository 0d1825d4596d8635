// The marks the traced program records itself: vespra.span (a context manager and decorator),
// vespra.instant and vespra.counter, and the slices of garbage collections. While no run records
// in the process each of them returns after one atomic load; see MARKING below for how a mark
// meets the start and the stop of a run, and core/marks.h for how it is recorded.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/marks.h"
#include "core/tls.h"
#include "py/host.h"
#include "py/state.h"

namespace vespra::marks_api {

// The run whose marks are recorded: set by monitoring::enable() once the events are on,
// cleared by disable() before they go off, so a mark is recorded exactly while function events
// are. A mark that read it finishes before disable() returns, as a callback does: the events'
// switch stops the world, which waits for every thread to reach a point where it checks in
// with the interpreter, and a mark checks in only where it counts itself in cold_in_flight.
extern std::atomic<State*> MARKING;

// A mark's value as recorded: converted from Python before the mark is recorded, so that
// recording runs no Python code. A marks::Value that holds its text.
struct MarkValue {
    marks::Value scalar;  // tag and number; its `text` is left empty
    std::string text;

    marks::Value view() const {
        marks::Value v = scalar;
        v.text = text;
        return v;
    }
};

struct MarkArg {
    host::Ref key;  // a str
    MarkValue value;
};

// What a value is as a scalar of the trace: None, a bool, an int of 64 bits (signed, or unsigned
// above), a float. `exact` takes those types only, not their subclasses. False for anything else
// (an int beyond 64 bits, its `overflow` then nonzero). Runs no Python code; never raises.
bool scalar_of(PyObject* value, bool exact, MarkValue& out, int& overflow);

// Records one mark of `kind` named `name` (a str) on the calling thread, with `args` or, for a
// counter, `value`. Attached, with the thread's events on in `state`'s run. False with an
// exception set when a name cannot be written as UTF-8; a full interner drops the mark.
bool record_in_run(State& state, uint8_t kind, PyObject* name, std::span<const MarkArg> args,
                   const MarkValue* value) noexcept;

// The payload of a mark with `args` or a counter's `value`, in a buffer of the thread's that
// the next mark reuses. Empty, with an exception set, when an argument's name cannot be
// written as UTF-8.
std::string_view payload_of(State& state, Hot& hot, std::span<const MarkArg> args,
                            const MarkValue* value);

// Adds span, instant, counter and _gc_callback to the module. 0, or -1 with an exception set.
int add_marks(PyObject* module);

// Puts the garbage collector's callback into gc.callbacks (once, however often called), or takes
// it out: while it is in, each collection is a slice "gc" when a run records. Attached. False
// with an exception set.
bool watch_gc(bool on);

}  // namespace vespra::marks_api
