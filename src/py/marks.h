// The marks the traced program records itself: vespra.span (a context manager and decorator),
// vespra.instant and vespra.counter, and the slices of garbage collections. While no run records
// in the process each of them returns after one atomic load; see monitoring.h (MARKING) for how
// a mark meets the start and the stop of a run, and core/marks.h for how it is recorded.
#pragma once

#include <Python.h>

namespace vespra::marks_api {

// Adds span, instant, counter and _gc_callback to the module. 0, or -1 with an exception set.
int add_marks(PyObject* module);

// Puts the garbage collector's callback into gc.callbacks (once, however often called), or takes
// it out: while it is in, each collection is a slice "gc" when a run records. Attached. False
// with an exception set.
bool watch_gc(bool on);

}  // namespace vespra::marks_api
